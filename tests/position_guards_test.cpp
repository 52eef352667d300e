// Positions the song data cannot reach by itself: jumps past the song's
// end, loops whose start lies in another pattern, order entries past the
// 128th and patterns past the file area. The song must stay on its rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "engine_case.h"
#include "engine_harness.h"
#include "module_builder.h"
#include "player_state.h"
#include "sequencer.h"

using namespace zindle;
using namespace zindle::test;

namespace {

constexpr std::uint32_t ROW = 16;
constexpr std::uint32_t PATTERN = 1024;

using Recorder = RowRecorder;
auto& decoded = RowRecorder::decoded;

// row_offset lies on a row of the current entry's pattern.
::testing::AssertionResult on_its_pattern() {
    const SongState& s = player.song;
    const std::uint32_t start = *s.order_pos * s.pattern_bytes;
    const std::uint32_t into = s.row_offset - start;
    if (entry() < s.song_length && into < s.pattern_bytes && into % (s.channel_count * 4u) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "entry " << entry() << " row_offset " << s.row_offset;
}

}  // namespace

TEST(OrderJump, BackToTheCurrentEntryAndPastTheSongEndRestartWithoutSilencing) {
    for (std::uint8_t target : std::vector<std::uint8_t>{0x00, 0x03, 0x7F, 0xFF}) {
        ModuleBuilder b = with_sample();
        b.orders({0, 2, 1});
        b.cell(0, 0, 0, {.period = 428, .sample = 1});
        b.cell(0, 3, 1, {.effect = 0xB, .param = target});
        load(b.build());
        ticks(1);
        player.song.loop_row_offset = 2 * ROW;
        player.song.loop_count = 3;
        ticks(18);  // rows 1 to 3
        EXPECT_EQ(entry(), 0u) << int(target);
        EXPECT_EQ(player.song.row_offset, 0u) << int(target);
        EXPECT_EQ(player.channels.play_state[0], STATE_PLAYING) << int(target);
        EXPECT_EQ(player.song.loop_row_offset, 2 * ROW) << int(target);
        EXPECT_EQ(player.song.loop_count, 3) << int(target);
    }
    ModuleBuilder b = with_sample();
    b.orders({0, 2, 1});
    b.cell(0, 0, 1, {.effect = 0xB, .param = 2});  // the last entry is still inside
    load(b.build());
    ticks(1);
    EXPECT_EQ(entry(), 2u);
    EXPECT_EQ(player.song.row_offset, PATTERN);
}

TEST(PatternLoop, AfterAJumpIntoAPatternWithoutALoopStartLoopsToItsRowZero) {
    ModuleBuilder b = with_sample();
    b.orders({0, 1});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 1});
    b.cell(0, 2, 1, {.effect = 0xE, .param = 0x60});
    b.cell(0, 3, 1, {.effect = 0xB, .param = 1});
    b.cell(1, 4, 1, {.effect = 0xE, .param = 0x61});
    load(b.build());
    ticks(4);
    EXPECT_EQ(player.song.loop_row_offset, 2 * ROW);  // the jump kept it
    Recorder rec;
    ticks(11);
    const std::uint32_t rows[] = {0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 5};
    ASSERT_EQ(decoded.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(decoded[i].first, 1u) << i;
        EXPECT_EQ(decoded[i].second, PATTERN + rows[i] * ROW) << i;
    }
    EXPECT_EQ(player.song.loop_row_offset, PATTERN);
}

TEST(ImageBounds, PatternRowsPastTheImageReadAsEmpty) {
    // Pattern 200 of a 32-channel file starts at 1084 + 200 x 8192, past
    // the file area, where the memory behind it is not part of the file.
    ModuleBuilder b(32);
    b.sample(1, looped(256, 50));
    b.orders({200});
    load(b.build());
    const std::uint32_t row = image_offset(player.song.pattern_base) + 200u * 8192u;
    ASSERT_GE(row, IMAGE_BYTES);
    // Something that would start a note on channel 0 if it were read.
    module_image[row] = 0x01;
    module_image[row + 1] = 0xAC;
    module_image[row + 2] = 0x10;
    ticks(1);
    module_image[row] = module_image[row + 1] = module_image[row + 2] = 0;
    EXPECT_EQ(player.channels.sample_num[0], 0);
    EXPECT_EQ(player.channels.play_state[0], STATE_STOPPED);
    EXPECT_EQ(player.channels.period[0], 61440);
}

TEST(PositionGuards, OddPositionCommandsKeepTheSongOnItsPatterns) {
    ModuleBuilder b = with_sample();
    b.orders({0, 1, 2});
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xF, .param = 1});
    b.cell(0, 3, 1, {.effect = 0xE, .param = 0x60});
    b.cell(0, 5, 2, {.effect = 0xB, .param = 2});     // into pattern 2, loop start left in 0
    b.cell(2, 2, 1, {.effect = 0xE, .param = 0x62});  // loops to pattern 2's row 0
    b.cell(2, 4, 3, {.effect = 0xD, .param = 0xFF});  // past row 63, in the last entry: wraps
    b.cell(1, 7, 0, {.effect = 0xB, .param = 0x80});
    load(b.build());
    Recorder rec;
    for (int t = 0; t < 400; ++t) {
        run_tick();
        ASSERT_TRUE(on_its_pattern()) << t;
    }
    // Rows 0-5 of pattern 0, then pattern 2 rows 0-2 three times, 3, 4.
    const std::pair<std::uint32_t, std::uint32_t> start[] = {{0, 0},
                                                             {0, 16},
                                                             {0, 32},
                                                             {0, 48},
                                                             {0, 64},
                                                             {0, 80},
                                                             {2, 2 * PATTERN},
                                                             {2, 2 * PATTERN + 16},
                                                             {2, 2 * PATTERN + 32},
                                                             {2, 2 * PATTERN},
                                                             {2, 2 * PATTERN + 16},
                                                             {2, 2 * PATTERN + 32},
                                                             {2, 2 * PATTERN},
                                                             {2, 2 * PATTERN + 16},
                                                             {2, 2 * PATTERN + 32},
                                                             {2, 2 * PATTERN + 48},
                                                             {2, 2 * PATTERN + 64},
                                                             {0, 0}};
    for (std::size_t i = 0; i < std::size(start); ++i) EXPECT_EQ(decoded[i], start[i]) << i;
}

TEST(PositionGuards, OrderEntriesPastThe128thAreTheBytesAfterTheList) {
    ModuleBuilder b = with_sample();
    b.orders({0});
    b.song_length(130);
    load(b.build());
    // Entries 128 and 129 are the tag bytes 'M' and '.': patterns 77 and 46.
    player.song.order_pos = player.song.order_table + 127;
    player.song.row_offset = 63 * ROW;
    ticks(1);
    EXPECT_EQ(entry(), 128u);
    EXPECT_EQ(player.song.row_offset, 77 * PATTERN);
    player.song.row_offset = 77 * PATTERN + 63 * ROW;
    player.song.tick = 0;
    ticks(1);
    EXPECT_EQ(entry(), 129u);
    EXPECT_EQ(player.song.row_offset, 46 * PATTERN);
    player.song.row_offset = 46 * PATTERN + 63 * ROW;
    player.song.tick = 0;
    ticks(1);
    EXPECT_EQ(entry(), 0u);
    EXPECT_EQ(player.song.row_offset, 0u);
}

TEST(PositionGuards, EntriesNamingPatternsBeyondTheImageReadAsEmptyRows) {
    // 32 channels, 255 entries: entry 254 is byte 122 of pattern 0, and
    // pattern 255 starts 2 MB into the file, past all of the image.
    ModuleBuilder b(32);
    b.sample(1, looped(256, 50));
    b.orders({0});
    b.song_length(255);
    load(b.build());
    module_image[image_offset(player.song.order_table) + 254] = 255;
    player.song.order_pos = player.song.order_table + 254;
    player.song.row_offset = 255u * 8192u;
    player.song.speed = 1;
    ticks(63);
    EXPECT_EQ(entry(), 254u);
    EXPECT_EQ(player.song.row_offset, 255u * 8192u + 63u * 128u);
    for (int c = 0; c < 32; ++c) EXPECT_EQ(player.channels.tick_mode[c], MODE_NONE) << c;
    ticks(1);  // its last row is the song's last: wrap
    EXPECT_EQ(entry(), 0u);
    EXPECT_EQ(player.song.row_offset, 0u);
}

// Samples 1 to 11 claim 131070 bytes each and sample 12 128984, none of it
// in the file: sample 13 (2 bytes) then ends exactly at the end of the file
// area, and sample 14 and later start there.
ModuleBuilder filled_to_the_image_end() {
    ModuleBuilder b(4);
    for (int s = 1; s <= 11; ++s) b.sample(s, {.length_words = 0xFFFF});
    b.sample(12, {.length_words = 64492});
    b.sample(13, {.length_words = 1, .loop_start_words = 0, .loop_length_words = 2});  // clamped to 2 bytes
    b.sample(14, {.length_words = 1});
    b.orders({0});
    return b;
}

TEST(SampleReads, OffsetPastASampleReadsTheBytesThatFollowIt) {
    // 9FF is 65280 bytes in: into sample 2, whose byte 65276 is heard once.
    std::vector<std::int8_t> next(65280, 0);
    next[65276] = 77;
    ModuleBuilder b(4);
    b.sample(1, {.data = flat(4, 10)});
    b.sample(2, {.data = next});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 81, .sample = 1, .effect = 9, .param = 0xFF});
    load(b.build());
    const auto f = render_reference(1);
    EXPECT_EQ(left(f, 881), 77 >> 1);  // mix volume 1 in the tick's frame
    EXPECT_EQ(left(f, 882), 0);
    EXPECT_EQ(player.channels.play_state[0], STATE_STOPPED);
}

TEST(SampleReads, OffsetPastTheLastSampleOfTheImageReadsTheZeroTail) {
    ModuleBuilder b = filled_to_the_image_end();
    b.cell(0, 0, 0, {.period = 81, .sample = 13, .effect = 9, .param = 0xFF});
    for (auto fill : {&render, &render_reference}) {
        load(b.build());
        ASSERT_EQ(image_offset(player.samples.sample_data[13]), IMAGE_BYTES - 2);
        module_image[IMAGE_BYTES - 2] = 100;
        module_image[IMAGE_BYTES - 1] = 100;
        const auto f = fill(1);
        // The offset frame reads 65280 bytes past the end of the file area
        // (0); the first arrival then puts the voice on its 2-byte loop.
        EXPECT_EQ(left(f, 881), 0);
        EXPECT_EQ(left(f, 882), 100 * 2 / 2);
        EXPECT_EQ(left(f, 883), 100 * 3 / 2);
        EXPECT_EQ(left(f, 884), 100 * 4 / 2);
        EXPECT_EQ(player.channels.play_state[0], STATE_LOOPING);
        EXPECT_EQ(player.channels.end_pos[0], 2u << 12);
    }
}

TEST(SampleReads, StaleEndOfALongSampleOnASampleAtTheImageEndStaysInTheTail) {
    // Sample 1 (131070 bytes) plays; then sample 14, which starts at the end
    // of the file area, takes over through a note delay that wraps to 248
    // without a trigger, so the voice keeps sample 1's end: it reads 131069
    // bytes past the file area before it stops.
    ModuleBuilder b = filled_to_the_image_end();
    b.cell(0, 0, 0, {.period = 29, .sample = 1});
    b.cell(0, 1, 0, {.sample = 14, .effect = 0xE, .param = 0xDF});
    b.cell(0, 2, 0, {.effect = 0xE, .param = 0xDF});
    for (auto fill : {&render, &render_reference}) {
        load(b.build());
        ASSERT_EQ(image_offset(player.samples.sample_data[14]), IMAGE_BYTES);
        ASSERT_EQ(image_offset(player.samples.sample_data[20]), IMAGE_BYTES);
        const auto f = fill(30);
        EXPECT_EQ(player.channels.play_state[0], STATE_STOPPED);
        // Row 2 at T = 13 x 3528 starts it at pos 0 with 11464 per frame;
        // (n + 1) x 11464 reaches 131070 x 4096 at n = 46830.
        EXPECT_EQ(player.channels.pos[0], 46830u * 11464u);
        for (std::size_t i = 11465; i < 30 * 2048; ++i) ASSERT_EQ(left(f, i), 0) << i;
    }
}
