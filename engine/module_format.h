// Where each field of a module file's header lies: the loader, the library
// and the probe read them by these names.
#pragma once

#include <cstdint>

namespace zindle {

inline constexpr std::uint32_t TITLE_BYTES = 20;  // the title opens the file
inline constexpr std::uint32_t SAMPLE_HEADERS_AT = 20;
inline constexpr std::uint32_t SAMPLE_HEADER_BYTES = 30;
// Inside a sample header: its name, then big-endian words counting 2 bytes.
inline constexpr std::uint32_t SAMPLE_NAME_BYTES = 22;
inline constexpr std::uint32_t SAMPLE_LENGTH_AT = 22;
inline constexpr std::uint32_t SAMPLE_FINETUNE_AT = 24;  // low 4 bits
inline constexpr std::uint32_t SAMPLE_VOLUME_AT = 25;
inline constexpr std::uint32_t SAMPLE_LOOP_START_AT = 26;
inline constexpr std::uint32_t SAMPLE_LOOP_LENGTH_AT = 28;

// Sample s's header, s from 1.
constexpr std::uint32_t sample_header_at(std::uint32_t s) { return SAMPLE_HEADERS_AT + SAMPLE_HEADER_BYTES * (s - 1); }
// Behind the last sample header (slots - 1 of them): the song length, one
// byte more, then the order list; with 31 samples a 4-byte tag follows it.
constexpr std::uint32_t song_length_at(std::uint32_t sample_slots) { return sample_header_at(sample_slots); }
constexpr std::uint32_t order_table_at(std::uint32_t sample_slots) { return song_length_at(sample_slots) + 2; }
inline constexpr std::uint32_t ORDER_ENTRIES = 128;
inline constexpr std::uint32_t TAG_BYTES = 4;

inline constexpr std::uint32_t CHANNEL_TAG_AT = 1080;  // "M.K.", "6CHN", "16CH", ...
static_assert(CHANNEL_TAG_AT == order_table_at(32) + ORDER_ENTRIES);
inline constexpr std::uint32_t EXTENSION_TAG_AT = 1084;
inline constexpr std::uint32_t EXTENSION_SPEED_AT = 1094;
inline constexpr std::uint32_t EXTENSION_TEMPO_AT = 1095;

inline constexpr std::uint32_t ROWS = 64;            // rows of a pattern
inline constexpr std::uint32_t CELL_BYTES = 4;       // one channel's cell in a row
inline constexpr std::uint32_t PATTERN_SLOTS = 256;  // pattern numbers 0 to 255

}  // namespace zindle
