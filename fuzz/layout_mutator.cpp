// A mutator that knows where a module keeps its fields: half the time it
// rewrites one of them with a value that matters (a channel tag, the
// extension tag, a sample header extreme, a song length, a cell with an
// interesting effect or period, an envelope byte), otherwise it leaves the
// input to libFuzzer's own mutations.
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

constexpr const char* TAGS[] = {"M.K.", "6CHN", "8CHN", "10CH", "12CH", "14CH", "16CH", "18CH",
                                "20CH", "22CH", "24CH", "26CH", "28CH", "30CH", "32CH"};
constexpr std::uint32_t CHANNELS[] = {4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32};
constexpr std::uint16_t PERIODS[] = {0, 1, 2, 3, 28, 113, 428, 856, 907, 1712, 4095};
constexpr std::uint8_t PARAMS[] = {0x00, 0x01, 0x0F, 0x10, 0x20, 0x21, 0x40, 0x60, 0x61, 0x64, 0x7F,
                                   0x80, 0x99, 0xD9, 0xDF, 0xE0, 0xEF, 0xF0, 0xFF, 0x6F, 0xC0, 0x9F};
constexpr std::uint8_t EXTREMES[] = {0x00, 0x01, 0x02, 0x7F, 0x80, 0xFE, 0xFF};

std::uint32_t rng;
std::uint32_t next(std::uint32_t bound) {
    rng = rng * 1103515245u + 12345u;
    return (rng >> 8) % bound;
}

void put(std::uint8_t* data, std::size_t size, std::size_t at, std::uint8_t value) {
    if (at < size) data[at] = value;
}

std::uint32_t channels_of(const std::uint8_t* data, std::size_t size) {
    if (size < 1084) return 4;
    for (int t = 0; t < 15; ++t)
        if (std::memcmp(data + 1080, TAGS[t], 4) == 0) return CHANNELS[t];
    return 4;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
    rng = seed;
    if (next(2) == 0 || max_size < 1084) return LLVMFuzzerMutate(data, size, max_size);
    if (size < 1084) {
        std::memset(data + size, 0, 1084 - size);
        size = 1084;
    }
    const std::uint32_t channels = channels_of(data, size);
    constexpr std::size_t pattern_at = 1084;  // also the instrument records in the extended mode
    switch (next(8)) {
    case 0: std::memcpy(data + 1080, TAGS[next(15)], 4); break;
    case 1:
        if (size < 1096 && max_size >= 1096) {
            std::memset(data + size, 0, 1096 - size);
            size = 1096;
        }
        if (size >= 1096) {
            std::memcpy(data + 1084, "qorv", 4);
            data[1094] = EXTREMES[next(7)];
            data[1095] = next(2) ? EXTREMES[next(7)] : static_cast<std::uint8_t>(next(256));
        }
        break;
    case 2: {  // a sample header field at an extreme
        const std::size_t header = 20 + 30 * next(31);
        put(data, size, header + 22 + next(8), EXTREMES[next(7)]);
        break;
    }
    case 3:  // song length and order bytes
        data[950] = next(2) ? EXTREMES[next(7)] : static_cast<std::uint8_t>(next(129));
        data[952 + next(128)] = static_cast<std::uint8_t>(next(4));
        break;
    default: {  // a cell of pattern 0..3 with an interesting effect
        const std::size_t pattern_bytes = static_cast<std::size_t>(channels) * 256;
        const std::size_t at = pattern_at + next(4) * pattern_bytes + next(64) * channels * 4u + next(channels) * 4u;
        if (at + 4 > max_size) break;
        if (at + 4 > size) {
            std::memset(data + size, 0, at + 4 - size);
            size = at + 4;
        }
        const std::uint16_t period = next(3) ? PERIODS[next(11)] : static_cast<std::uint16_t>(next(4096));
        const std::uint8_t sample = static_cast<std::uint8_t>(next(32));
        data[at] = static_cast<std::uint8_t>((next(4) << 6) | (sample & 0x10) | (period >> 8));
        data[at + 1] = static_cast<std::uint8_t>(period);
        data[at + 2] = static_cast<std::uint8_t>(((sample & 15u) << 4) | next(16));
        data[at + 3] = next(2) ? PARAMS[next(sizeof PARAMS)] : static_cast<std::uint8_t>(next(256));
        break;
    }
    }
    return size;
}
