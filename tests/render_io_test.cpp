// The renderer's numbers and headers at their bounds, which the command
// line cannot reach without rendering for days.
#include <gtest/gtest.h>

#include <cstdint>

#include "strict_number.h"
#include "wav_header.h"

namespace {

using namespace zindle;

TEST(StrictNumber, WholeNumbersAreDigitsUpToTheBoundAndNothingElse) {
    std::uint64_t value = 7;
    EXPECT_TRUE(parse_whole_number("0", MAX_BUFFERS, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(parse_whole_number("000001000000000", MAX_BUFFERS, value));
    EXPECT_EQ(value, MAX_BUFFERS);
    for (const char* bad : {"", "1000000001", "99999999999999999999999", "18446744073709551615", "-0", "+1", " 1", "1 ",
                            "1\n", "1.0", "0x1", "1e3", "\xd9\xa1"}) {
        SCOPED_TRACE(bad);
        value = 7;
        EXPECT_FALSE(parse_whole_number(bad, MAX_BUFFERS, value));
        EXPECT_EQ(value, 7u);
    }
    // The bound itself may sit where one more digit overflows 64 bits.
    EXPECT_TRUE(parse_whole_number("18446744073709551615", UINT64_MAX, value));
    EXPECT_EQ(value, UINT64_MAX);
    EXPECT_FALSE(parse_whole_number("18446744073709551616", UINT64_MAX, value));
}

TEST(StrictNumber, SecondsUpToTheBoundBecomeBuffersExactly) {
    std::uint64_t buffers = 0;
    EXPECT_TRUE(parse_seconds_as_buffers("46000000", buffers));
    EXPECT_EQ(buffers, (46000000ull * 44100 + 2047) / 2048);
    EXPECT_LE(buffers, MAX_BUFFERS);
    EXPECT_TRUE(parse_seconds_as_buffers("46000000.000", buffers));
    EXPECT_TRUE(parse_seconds_as_buffers("45999999.999999999999999", buffers));
    EXPECT_EQ(buffers, (46000000ull * 44100 + 2047) / 2048);
    EXPECT_TRUE(parse_seconds_as_buffers(".5", buffers));
    EXPECT_EQ(buffers, 11u);  // 22050 frames
    for (const char* bad : {"46000000.0000000000001", "46000001", "", ".", "1..", "-1", "+1", " 1", "1 ", "1,5"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_seconds_as_buffers(bad, buffers));
    }
}

TEST(WavHeader, PlainUpToTheLargest32BitSizeThenRf64) {
    std::uint8_t header[MAX_WAV_HEADER_BYTES];
    // The largest data size whose RIFF size still fits 32 bits.
    EXPECT_EQ(make_wav_header(0xFFFFFFFFull - 36, header), WAV_HEADER_BYTES);
    std::uint64_t riff_size = 0;
    for (int i = 7; i >= 4; --i) riff_size = riff_size * 256 + header[i];
    EXPECT_EQ(riff_size, 0xFFFFFFFFull);
    EXPECT_EQ(make_wav_header(0xFFFFFFFFull - 35, header), RF64_HEADER_BYTES);
    EXPECT_EQ(header[0], 'R');
    EXPECT_EQ(header[1], 'F');
}

}  // namespace
