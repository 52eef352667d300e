// The row tick: pattern and song ends, position commands and how several
// of them in one row combine, pattern loop and delay, note delay, speed and
// tempo commands.
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

// 4 channels: one row is 16 bytes, one pattern 1024.
constexpr std::uint32_t ROW = 16;
constexpr std::uint32_t PATTERN = 1024;

using Recorder = RowRecorder;
auto& decoded = RowRecorder::decoded;
auto& decoded_at = RowRecorder::decoded_at;

}  // namespace

TEST(PatternEnd, NextEntryRowZeroWithoutSilencing) {
    ModuleBuilder b = with_sample();
    b.orders({0, 1});
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xF, .param = 1});
    load(b.build());
    ticks(64);
    EXPECT_EQ(entry(), 1u);
    EXPECT_EQ(player.song.row_offset, PATTERN);
    EXPECT_EQ(player.channels.play_state[0], STATE_PLAYING);
}

TEST(SongWrap, LastRowSilencesEveryChannelBeforeItsCellsAreDecoded) {
    ModuleBuilder b = with_sample();
    b.orders({0, 1});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 1});
    b.cell(1, 62, 0, {.period = 428, .sample = 1});
    b.cell(1, 63, 1, {.period = 428, .sample = 1});
    load(b.build());
    ticks(64 + 63);
    EXPECT_EQ(player.channels.play_state[0], STATE_PLAYING);
    ticks(1);  // the song's last row
    EXPECT_EQ(player.channels.play_state[0], STATE_STOPPED);
    EXPECT_EQ(player.channels.mix_target[0], 0);
    EXPECT_EQ(player.channels.play_state[1], STATE_PLAYING);
    EXPECT_EQ(entry(), 0u);
    EXPECT_EQ(player.song.row_offset, 0u);
}

TEST(PatternBreak, OnTheLastRowGoesToTheNextEntryNotTheOneAfter) {
    ModuleBuilder b = with_sample();
    b.orders({0, 2, 1});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 1});
    b.cell(0, 63, 0, {.effect = 0xD, .param = 0x12});
    load(b.build());
    ticks(64);
    EXPECT_EQ(entry(), 1u);
    EXPECT_EQ(player.song.row_offset, 2 * PATTERN + 12 * ROW);
}

TEST(PatternBreak, InTheLastEntryWrapsMidRowSilencingLowerChannelsAndItsOwnNote) {
    ModuleBuilder b = with_sample();
    b.orders({0});
    b.cell(0, 5, 0, {.period = 428, .sample = 1});
    b.cell(0, 5, 1, {.period = 428, .sample = 1, .effect = 0xD, .param = 0});
    b.cell(0, 5, 2, {.period = 428, .sample = 1});
    load(b.build());
    player.song.row_offset = 5 * ROW;
    ticks(1);
    EXPECT_EQ(player.channels.play_state[0], STATE_STOPPED);
    EXPECT_EQ(player.channels.play_state[1], STATE_STOPPED);
    EXPECT_EQ(player.channels.play_state[2], STATE_PLAYING);
    EXPECT_EQ(player.song.row_offset, 0u);
}

TEST(PatternBreak, RowFromDecimalNibblesAndBreaksPastRow63GoToRowZero) {
    const std::pair<std::uint8_t, std::uint32_t> cases[] = {{0x63, 63}, {0x1F, 25}, {0x64, 0}, {0x70, 0}, {0xFF, 0}};
    for (const auto& [param, row] : cases) {
        ModuleBuilder b = with_sample();
        b.orders({0, 2});
        b.cell(0, 0, 3, {.effect = 0xD, .param = param});
        load(b.build());
        ticks(1);
        EXPECT_EQ(entry(), 1u) << int(param);
        EXPECT_EQ(player.song.row_offset, 2 * PATTERN + row * ROW) << int(param);
        EXPECT_EQ(player.song.loop_row_offset, 2 * PATTERN) << int(param);
    }
}

TEST(PositionCommands, TheLastOfSeveralInOneRowWins) {
    // Entries 0..3 hold patterns 0, 2, 3, 1.
    struct Case {
        Cell lower, higher;
        std::uint32_t entry, row_offset, loop_row_offset, loop_count;
    };
    const Case cases[] = {
        // Two jumps: the higher channel's.
        {{.effect = 0xB, .param = 2}, {.effect = 0xB, .param = 1}, 1, 2 * PATTERN, 0, 9},
        // Jump then break: the break, counted from the entry the row began in.
        {{.effect = 0xB, .param = 3}, {.effect = 0xD, .param = 5}, 1, 2 * PATTERN + 5 * ROW, 2 * PATTERN, 0},
        // Break then jump: the jump's row 0, the break's loop reset stays.
        {{.effect = 0xD, .param = 5}, {.effect = 0xB, .param = 2}, 2, 3 * PATTERN, 2 * PATTERN, 0},
        // Two breaks: the higher channel's row.
        {{.effect = 0xD, .param = 5}, {.effect = 0xD, .param = 0x10}, 1, 2 * PATTERN + 10 * ROW, 2 * PATTERN, 0},
        // Break then loop: row 0 of the break's pattern, loop counting.
        {{.effect = 0xD, .param = 5}, {.effect = 0xE, .param = 0x62}, 1, 2 * PATTERN, 2 * PATTERN, 2},
        // Loop then jump: the jump; the loop still counted down from 9.
        {{.effect = 0xE, .param = 0x62}, {.effect = 0xB, .param = 3}, 3, PATTERN, 0, 8},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ModuleBuilder b = with_sample();
        b.orders({0, 2, 3, 1});
        b.cell(0, 0, 1, cases[i].lower);
        b.cell(0, 0, 2, cases[i].higher);
        load(b.build());
        player.song.loop_count = 9;
        ticks(1);
        EXPECT_EQ(entry(), cases[i].entry) << i;
        EXPECT_EQ(player.song.row_offset, cases[i].row_offset) << i;
        EXPECT_EQ(player.song.loop_row_offset, cases[i].loop_row_offset) << i;
        EXPECT_EQ(player.song.loop_count, cases[i].loop_count) << i;
    }
}

TEST(PatternLoop, PlaysTheSectionYPlusOneTimesAndASecondLoopNotAtAll) {
    ModuleBuilder b = with_sample();
    b.orders({0});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 1});
    b.cell(0, 2, 1, {.effect = 0xE, .param = 0x60});
    b.cell(0, 5, 2, {.effect = 0xE, .param = 0x62});
    b.cell(0, 7, 1, {.effect = 0xE, .param = 0x60});
    b.cell(0, 8, 2, {.effect = 0xE, .param = 0x61});
    load(b.build());
    Recorder rec;
    ticks(18);
    const std::uint32_t rows[] = {0, 1, 2, 3, 4, 5, 2, 3, 4, 5, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(decoded.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(decoded[i].second, rows[i] * ROW) << i;
    EXPECT_EQ(player.song.loop_count, 1);
}

TEST(PatternLoop, OnALastRowJumpsToTheNextPatternsFirstRowWithTheCountSet) {
    ModuleBuilder b = with_sample();
    b.orders({0, 1});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 1});
    b.cell(0, 10, 1, {.effect = 0xE, .param = 0x60});
    b.cell(0, 63, 1, {.effect = 0xE, .param = 0x62});
    b.cell(1, 3, 1, {.effect = 0xE, .param = 0x61});
    load(b.build());
    ticks(64);
    EXPECT_EQ(entry(), 1u);
    EXPECT_EQ(player.song.row_offset, PATTERN);
    EXPECT_EQ(player.song.loop_row_offset, PATTERN);
    EXPECT_EQ(player.song.loop_count, 2);
    // Pattern 1's own E61 then jumps back once more, to its row 0.
    Recorder rec;
    ticks(12);
    const std::uint32_t rows[] = {0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7};
    for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(decoded[i].second, PATTERN + rows[i] * ROW) << i;
}

TEST(PatternDelay, EE1PausesTheTicksForOneRowUsingTheValuesSetByLowerChannels) {
    {
        ModuleBuilder b = with_sample();
        b.orders({0});
        b.cell(0, 0, 1, {.effect = 0xE, .param = 0xE1});
        load(b.build());
        Recorder rec;
        render(6);  // 49152 bytes
        // Row 1 after 7 + 5 intervals instead of 6.
        EXPECT_EQ(decoded_at, (std::vector<std::uint32_t>{3528, 13 * 3528}));
    }
    {
        ModuleBuilder b = with_sample();
        b.orders({0});
        b.cell(0, 0, 0, {.effect = 0xF, .param = 3});
        b.cell(0, 0, 1, {.effect = 0xE, .param = 0xE2});
        load(b.build());
        ticks(1);
        EXPECT_EQ(player.song.tick_window_at, 3144u + 3 * 3528 * 2 + 3528);
    }
    {
        ModuleBuilder b = with_sample();
        b.orders({0});
        b.cell(0, 0, 0, {.effect = 0xE, .param = 0xE1});
        b.cell(0, 0, 1, {.effect = 0xF, .param = 3});
        b.cell(0, 0, 2, {.effect = 0xF, .param = 0x83});  // tempo 131 after the delay
        load(b.build());
        ticks(1);
        EXPECT_EQ(player.song.tick_window_at, 3144u + 6 * 3528 + 3366);
    }
}

TEST(NoteDelay, StartsOnTickYAndCountsIntoTheNextRow) {
    ModuleBuilder b = with_sample();
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xE, .param = 0xD3});
    b.cell(0, 0, 1, {.period = 428, .sample = 1, .effect = 0xE, .param = 0xD8});
    load(b.build());
    ChannelState& ch = player.channels;
    const std::uint8_t ch0[] = {14, 15, 16, 17, 17, 17};
    for (int t = 0; t < 6; ++t) {
        ticks(1);
        EXPECT_EQ(ch.play_state[0], ch0[t]) << t;
        EXPECT_EQ(ch.end_pos[0], t < 3 ? 0u : 256u * 4096) << t;
        EXPECT_EQ(ch.mix_target[0], t < 3 ? 0 : 128) << t;
    }
    EXPECT_EQ(ch.play_state[1], 14);
    ticks(2);  // row 1, ticks 0 and 1
    EXPECT_EQ(ch.play_state[1], 16);
    ticks(1);
    EXPECT_EQ(ch.play_state[1], 17);
}

TEST(NoteDelay, ASecondDelayDropsTheCountingNoteOrWrapsIt) {
    for (std::uint8_t y : std::vector<std::uint8_t>{7, 15}) {
        ModuleBuilder b = with_sample();
        b.orders({0});
        b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xE, .param = 0xDF});
        b.cell(0, 1, 0, {.effect = 0xE, .param = static_cast<std::uint8_t>(0xD0 | y)});
        load(b.build());
        ticks(6);
        EXPECT_EQ(player.channels.play_state[0], 7);
        ticks(1);
        ChannelState& ch = player.channels;
        if (y == 7) {
            EXPECT_EQ(ch.play_state[0], STATE_STOPPED);
            EXPECT_EQ(ch.mix_target[0], 0);
        } else {
            // 7 - 15 wraps to 248: counts as playing, though nothing started.
            EXPECT_EQ(ch.play_state[0], 248);
            EXPECT_EQ(ch.mix_target[0], 128);
            EXPECT_EQ(ch.end_pos[0], 0u);
            ticks(1);
            EXPECT_EQ(ch.play_state[0], 248);
        }
    }
}

TEST(SpeedAndTempo, F00IsSpeed1F20Speed32F21AndFFFTempos) {
    struct Case {
        std::uint8_t param, speed;
        std::uint32_t bytes_per_tick;
    };
    const Case cases[] = {{0x00, 1, 3528}, {0x20, 32, 3528}, {0x21, 6, 13363}, {0xFF, 6, 1729}, {0x7D, 6, 3528}};
    for (const Case& c : cases) {
        ModuleBuilder b = with_sample();
        b.orders({0});
        b.cell(0, 0, 2, {.effect = 0xF, .param = c.param});
        load(b.build());
        ticks(1);
        EXPECT_EQ(player.song.speed, c.speed) << int(c.param);
        EXPECT_EQ(player.song.bytes_per_tick, c.bytes_per_tick) << int(c.param);
        // The new tempo already spaces the next tick.
        EXPECT_EQ(player.song.tick_window_at, 3144u + c.bytes_per_tick) << int(c.param);
    }
    // Two of a kind: the higher channel's; speed and tempo independently.
    ModuleBuilder b = with_sample();
    b.orders({0});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 0x03});
    b.cell(0, 0, 1, {.effect = 0xF, .param = 0x96});
    b.cell(0, 0, 2, {.effect = 0xF, .param = 0x04});
    b.cell(0, 0, 3, {.effect = 0xF, .param = 0x21});
    load(b.build());
    ticks(1);
    EXPECT_EQ(player.song.speed, 4);
    EXPECT_EQ(player.song.bytes_per_tick, 13363u);
}

TEST(Cells, SampleOffsetVibratoContinueWithSlideAndKeyOff) {
    ModuleBuilder b = with_sample();
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 9, .param = 0x04});
    b.cell(0, 0, 1, {.period = 428, .sample = 1, .effect = 4, .param = 0x23});
    b.cell(0, 0, 2, {.period = 428, .sample = 1});
    b.cell(0, 1, 0, {.effect = 9, .param = 0x00});  // no memory: from the start
    b.cell(0, 1, 1, {.period = 2, .effect = 0xA, .param = 0x01});
    b.cell(0, 1, 2, {.period = 1});
    load(b.build());
    ChannelState& ch = player.channels;
    ticks(1);
    EXPECT_EQ(ch.pos[0], 4u << 20);  // 1024 sample bytes in
    EXPECT_EQ(ch.play_state[0], STATE_PLAYING);
    EXPECT_EQ(ch.vibrato_memory[1], 0x23);
    ticks(5);
    ch.pos[0] = 5000;
    ticks(1);
    EXPECT_EQ(ch.pos[0], 0u);
    EXPECT_EQ(ch.tick_mode[1], MODE_VIBRATO);
    EXPECT_EQ(ch.tick_param[1], 0x23);
    EXPECT_EQ(ch.vol_slide[1], -2);
    EXPECT_EQ(ch.key_on[2], 0);
    EXPECT_EQ(ch.play_state[2], STATE_PLAYING);  // the normal mode plays on
    EXPECT_EQ(ch.mix_target[2], 128);
}
