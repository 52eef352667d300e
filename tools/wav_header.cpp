#include "wav_header.h"

#include <cstring>

#include "zindle.h"

namespace zindle {

namespace {

constexpr std::uint32_t SAMPLE_RATE = ZINDLE_SAMPLE_RATE;
constexpr std::uint32_t BYTES_PER_FRAME = 4;
constexpr std::uint64_t LARGEST_RIFF_SIZE = 0xFFFFFFFFull;
// A 32-bit size that says "see the ds64 chunk".
constexpr std::uint32_t SIZE_IN_DS64 = 0xFFFFFFFFu;

std::uint8_t* put(std::uint8_t* at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return at + bytes;
}

std::uint8_t* put_tag(std::uint8_t* at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
    return at + 4;
}

std::uint8_t* put_format(std::uint8_t* at) {
    at = put_tag(at, "fmt ");
    at = put(at, 16, 4);
    at = put(at, 1, 2);  // PCM
    at = put(at, 2, 2);  // stereo
    at = put(at, SAMPLE_RATE, 4);
    at = put(at, SAMPLE_RATE * BYTES_PER_FRAME, 4);
    at = put(at, BYTES_PER_FRAME, 2);
    return put(at, 16, 2);
}

}  // namespace

std::size_t make_wav_header(std::uint64_t data_bytes, std::uint8_t* out) {
    std::uint8_t* at = out;
    if (data_bytes + (WAV_HEADER_BYTES - 8) <= LARGEST_RIFF_SIZE) {
        at = put_tag(at, "RIFF");
        at = put(at, data_bytes + (WAV_HEADER_BYTES - 8), 4);
        at = put_tag(at, "WAVE");
        at = put_format(at);
        at = put_tag(at, "data");
        at = put(at, data_bytes, 4);
        return static_cast<std::size_t>(at - out);
    }
    at = put_tag(at, "RF64");
    at = put(at, SIZE_IN_DS64, 4);
    at = put_tag(at, "WAVE");
    at = put_tag(at, "ds64");
    at = put(at, 28, 4);
    at = put(at, data_bytes + (RF64_HEADER_BYTES - 8), 8);  // RIFF size
    at = put(at, data_bytes, 8);                            // data size
    at = put(at, data_bytes / BYTES_PER_FRAME, 8);          // frames
    at = put(at, 0, 4);                                     // no table of other sizes
    at = put_format(at);
    at = put_tag(at, "data");
    at = put(at, SIZE_IN_DS64, 4);
    return static_cast<std::size_t>(at - out);
}

}  // namespace zindle
