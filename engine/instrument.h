// The 32-byte instrument record of the extended mode, read in place.
#pragma once

#include <cstdint>

namespace zindle {

// Bytes 0..23: twelve envelope pairs (duration, change); a duration of 0x80
// is a loop marker whose second byte sets the level; 0,0 is a sustain point.
struct InstrumentExtension {
    std::uint8_t bytes[32];
};

inline constexpr std::uint32_t FADE_SPEED = 24;  // big-endian 16-bit
inline constexpr std::uint32_t ENV_LOOP = 26;
inline constexpr std::uint32_t AUTOVIB_DEPTH = 27;  // signed
inline constexpr std::uint32_t AUTOVIB_SPEED = 28;

// A note starts its envelope two bytes before pair 0: the first step adds
// 2, and the 8-bit index wraps to 0.
inline constexpr std::uint8_t ENVELOPE_START_INDEX = 254;
static_assert(static_cast<std::uint8_t>(ENVELOPE_START_INDEX + 2) == 0);

// The record of a sample: 32 bytes at pattern_base + 32 x sample.
const InstrumentExtension& instrument_record(std::uint8_t sample);

}  // namespace zindle
