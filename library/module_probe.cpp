// zindle_probe: whether some bytes look like a module that zindle plays,
// read from the caller's bytes alone (nothing is loaded or changed).
#include <cstddef>
#include <cstdint>

#include "module_format.h"
#include "zindle.h"

namespace zindle {

namespace {

constexpr char channel_tags[][TAG_BYTES] = {
    {'M', '.', 'K', '.'}, {'6', 'C', 'H', 'N'}, {'8', 'C', 'H', 'N'}, {'1', '0', 'C', 'H'}, {'1', '2', 'C', 'H'},
    {'1', '4', 'C', 'H'}, {'1', '6', 'C', 'H'}, {'1', '8', 'C', 'H'}, {'2', '0', 'C', 'H'}, {'2', '2', 'C', 'H'},
    {'2', '4', 'C', 'H'}, {'2', '6', 'C', 'H'}, {'2', '8', 'C', 'H'}, {'3', '0', 'C', 'H'}, {'3', '2', 'C', 'H'},
};

// A 15-sample file's header ends here: 15 sample headers, the song length,
// one more byte and the order list.
constexpr std::uint32_t OLD_HEADER_BYTES = order_table_at(16) + ORDER_ENTRIES;
static_assert(OLD_HEADER_BYTES == 600);
constexpr std::uint32_t OLD_PATTERN_BYTES = 4 * ROWS * CELL_BYTES;
constexpr std::uint32_t MOST_SAMPLE_WORDS = 0x8000;  // 64 KiB, the format's limit for a sample
constexpr std::uint32_t MOST_OLD_PATTERNS = 64;

std::uint32_t word_at(const std::uint8_t* at) { return at[0] * 256u + at[1]; }

bool tagged(const std::uint8_t* bytes, std::size_t size) {
    if (size < CHANNEL_TAG_AT + TAG_BYTES) return false;
    for (const auto& tag : channel_tags) {
        bool same = true;
        for (std::uint32_t i = 0; i < TAG_BYTES; ++i)
            same = same && bytes[CHANNEL_TAG_AT + i] == static_cast<std::uint8_t>(tag[i]);
        if (same) return true;
    }
    return false;
}

// An untagged 15-sample file: every sample header in range, a song length
// of 1 to 128 whose entries name one of the 64 patterns the format allows,
// and at least the header and part of the first pattern, at most what the
// header declares plus one pattern of slack (files cut short are common,
// longer ones are something else).
bool plausible_old_module(const std::uint8_t* bytes, std::size_t size) {
    if (size <= OLD_HEADER_BYTES) return false;
    std::uint64_t declared = OLD_HEADER_BYTES;
    for (std::uint32_t s = 1; s < 16; ++s) {
        const std::uint8_t* h = bytes + sample_header_at(s);
        const std::uint32_t length = word_at(h + SAMPLE_LENGTH_AT);
        const std::uint32_t loop_start = word_at(h + SAMPLE_LOOP_START_AT);
        const std::uint32_t loop_length = word_at(h + SAMPLE_LOOP_LENGTH_AT);
        if (h[SAMPLE_FINETUNE_AT] > 15 || h[SAMPLE_VOLUME_AT] > 64 || length > MOST_SAMPLE_WORDS) return false;
        // Old files often give the loop start in bytes rather than words.
        if (loop_length > 1 && (loop_length > length || loop_start > 2 * length)) return false;
        declared += 2ull * length;
    }
    const std::uint32_t song_length = bytes[song_length_at(16)];
    if (song_length == 0 || song_length > ORDER_ENTRIES) return false;
    const std::uint8_t* orders = bytes + order_table_at(16);
    std::uint32_t patterns = 0;
    for (std::uint32_t i = 0; i < ORDER_ENTRIES; ++i) {
        if (orders[i] >= MOST_OLD_PATTERNS && (i < song_length || orders[i] >= 2 * MOST_OLD_PATTERNS)) return false;
        if (orders[i] >= patterns) patterns = orders[i] + 1u;
    }
    declared += std::uint64_t{patterns} * OLD_PATTERN_BYTES;
    return size <= declared + OLD_PATTERN_BYTES;
}

}  // namespace

}  // namespace zindle

extern "C" int zindle_probe(const void* data, size_t size) {
    if (data == nullptr) return 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return zindle::tagged(bytes, size) || zindle::plausible_old_module(bytes, size) ? 1 : 0;
}
