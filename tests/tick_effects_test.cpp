// Ticks after the row tick: tone portamento, period slides, arpeggio,
// vibrato against arpeggio at the next row, tremolo, volume slides, note
// cut, retrigger, and what speed 1 leaves of them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine_case.h"
#include "engine_harness.h"
#include "module_builder.h"
#include "player_state.h"
#include "sequencer.h"

using namespace zindle;
using namespace zindle::test;

namespace {

ModuleBuilder song() {
    ModuleBuilder b(4);
    b.sample(1, looped(256, 50));
    b.orders({0});
    return b;
}

// Periods after each of the next n ticks on channel c, row ticks skipped.
std::vector<std::uint16_t> periods_on_effect_ticks(int c, int n) {
    std::vector<std::uint16_t> out;
    while (static_cast<int>(out.size()) < n) {
        const bool row_tick = player.song.tick == 0;
        run_tick();
        EXPECT_EQ(player.channels.step[c], PERIOD_STEP_CONSTANT / player.channels.period[c]);
        if (!row_tick) out.push_back(player.channels.period[c]);
    }
    return out;
}

}  // namespace

TEST(TonePortamento, From6848DownTo3424By16ArrivesExactly) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1});
    b.cell(0, 1, 0, {.period = 214, .effect = 3, .param = 0x10});
    b.cell(0, 2, 0, {.effect = 3, .param = 0x00});  // speed from memory
    b.cell(0, 3, 0, {.effect = 3, .param = 0x00});
    load(b.build());
    ticks(6);
    ticks(1);                                    // row 1
    EXPECT_EQ(player.channels.period[0], 6848);  // the row tick itself does not slide
    EXPECT_EQ(player.channels.porta_target[0], 3424);
    EXPECT_EQ(player.channels.tick_param[0], 0xF0);  // -16
    const auto p = periods_on_effect_ticks(0, 15);
    // 6848 - 256 k down to 3520, then the target; there it stays.
    std::vector<std::uint16_t> expected;
    for (int k = 1; k <= 13; ++k) expected.push_back(static_cast<std::uint16_t>(6848 - 256 * k));
    expected.push_back(3424);
    expected.push_back(3424);
    EXPECT_EQ(p, expected);
    EXPECT_EQ(player.channels.tick_mode[0], MODE_FINISHED);
}

TEST(TonePortamento, UpwardLandingExactlyGoesOneTickFurtherDownwardStopsAtOnce) {
    {
        ModuleBuilder b = song();
        b.cell(0, 0, 0, {.period = 214, .sample = 1});
        b.cell(0, 1, 0, {.period = 246, .effect = 3, .param = 0x10});  // 3424 -> 3936
        load(b.build());
        ticks(7);
        EXPECT_EQ(player.channels.tick_param[0], 0x10);
        ticks(1);
        EXPECT_EQ(player.channels.period[0], 3680);
        ticks(1);
        EXPECT_EQ(player.channels.period[0], 3936);
        EXPECT_EQ(player.channels.tick_mode[0], MODE_PERIOD_SLIDE);
        ticks(1);
        EXPECT_EQ(player.channels.period[0], 3936);
        EXPECT_EQ(player.channels.tick_mode[0], MODE_FINISHED);
    }
    {
        ModuleBuilder b = song();
        b.cell(0, 0, 0, {.period = 246, .sample = 1});
        b.cell(0, 1, 0, {.period = 214, .effect = 3, .param = 0x10});  // 3936 -> 3424
        load(b.build());
        ticks(8);
        EXPECT_EQ(player.channels.period[0], 3680);
        ticks(1);
        EXPECT_EQ(player.channels.period[0], 3424);
        EXPECT_EQ(player.channels.tick_mode[0], MODE_FINISHED);
    }
}

TEST(TonePortamento, FromTheInitialPeriodSlidesDownAndParametersAreBounded) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 3, .param = 0x10});
    b.cell(0, 0, 1, {.period = 428, .sample = 1, .effect = 3, .param = 0xC0});  // at most 0x7F
    b.cell(0, 0, 2, {.sample = 1, .effect = 5, .param = 0x30});                 // no target yet
    b.cell(0, 0, 3, {.period = 428, .sample = 1, .effect = 3, .param = 0x00});  // memory 0
    load(b.build());
    ticks(1);
    ChannelState& ch = player.channels;
    // 6848 - 61440 is negative in 32 bits: the slide goes down.
    EXPECT_EQ(ch.period[0], 61440);
    EXPECT_EQ(ch.tick_param[0], 0xF0);
    EXPECT_EQ(ch.play_state[0], STATE_PLAYING);  // the new sample starts, at the old pitch
    EXPECT_EQ(ch.tick_param[1], 0x81);           // -0x7F
    EXPECT_EQ(ch.porta_memory[1], 0x7F);
    EXPECT_EQ(ch.tick_mode[2], MODE_NONE);
    EXPECT_EQ(ch.vol_slide[2], 6);
    EXPECT_EQ(ch.tick_param[3], 0);
    ticks(1);
    EXPECT_EQ(ch.period[0], 61440 - 256);
    EXPECT_EQ(ch.period[1], 61440 - 16 * 0x7F);
    EXPECT_EQ(ch.note_volume[2], 64);  // clamped
    // Speed 0 from memory: n = 61440 is past the target, so it is reached at once.
    EXPECT_EQ(ch.period[3], 6848);
    EXPECT_EQ(ch.tick_mode[3], MODE_FINISHED);
}

TEST(PeriodSlide, ClampsAt912And61440AndSignedParameters) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 113, .sample = 1, .effect = 1, .param = 0x80});    // 1808 - 2048
    b.cell(0, 0, 1, {.period = 3800, .sample = 1, .effect = 2, .param = 0x40});   // 60800 + 1024
    b.cell(0, 0, 2, {.period = 428, .sample = 1, .effect = 2, .param = 0x90});    // -0x70
    b.cell(0, 0, 3, {.period = 428, .sample = 1, .effect = 0xE, .param = 0x13});  // once, -3
    load(b.build());
    ticks(1);
    EXPECT_EQ(player.channels.period[0], 1808);
    EXPECT_EQ(player.channels.period[1], 60800);
    ticks(1);
    EXPECT_EQ(player.channels.period[0], 912);
    EXPECT_EQ(player.channels.period[1], 61440);
    EXPECT_EQ(player.channels.period[2], 6848 - 16 * 0x70);
    EXPECT_EQ(player.channels.period[3], 6848 - 48);
    EXPECT_EQ(player.channels.step[0], PERIOD_STEP_CONSTANT / 912);
    ticks(1);
    EXPECT_EQ(player.channels.period[2], 6848 - 32 * 0x70);
    EXPECT_EQ(player.channels.period[3], 6848 - 48);  // one-shot
}

TEST(Arpeggio, Plays037InTurnAndKeepsItsLastStepIntoTheNextRow) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0, .param = 0x37});
    b.cell(0, 1, 0, {.effect = 0, .param = 0x37});  // continues without a note
    b.cell(0, 2, 0, {});                            // ends: the pitch stays
    load(b.build());
    // 6848: 776; +3 semitones: 5319479 / (6848 x 27554 >> 15 = 5758) = 923;
    // +7: 5319479 / (6848 x 21870 >> 15 = 4570) = 1163.
    const std::uint32_t steps[] = {776, 923, 1163, 776, 923, 1163, 1163, 923};
    for (std::size_t t = 0; t < std::size(steps); ++t) {
        run_tick();
        EXPECT_EQ(player.channels.step[0], steps[t]) << t;
        EXPECT_EQ(player.channels.period[0], 6848) << t;
    }
    ticks(10);  // through row 2, which has no effect
    EXPECT_EQ(player.channels.tick_mode[0], MODE_NONE);
    EXPECT_EQ(player.channels.step[0], 1163u);
}

TEST(Arpeggio, BeyondTwelveSemitonesOfAWrappedPeriodDividesByOne) {
    // Period field 3951 at finetune -5: 3951 x 33972 >> 11 = 65538, kept as 2.
    ModuleBuilder b(4);
    b.sample(1, {.data = flat(256, 50), .finetune = 0x0B, .loop_start_words = 0, .loop_length_words = 128});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 3951, .sample = 1, .effect = 0, .param = 0xD0});
    load(b.build());
    ticks(1);
    EXPECT_EQ(player.channels.period[0], 2);
    EXPECT_EQ(player.channels.step[0], PERIOD_STEP_CONSTANT / 2);
    ticks(1);  // 2 x 15464 >> 15 = 0
    EXPECT_EQ(player.channels.step[0], PERIOD_STEP_CONSTANT);
    ticks(1);
    EXPECT_EQ(player.channels.step[0], PERIOD_STEP_CONSTANT / 2);
}

TEST(Vibrato, SoundsOnTheRowTickAndIsUndoneByTheNextRow) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 4, .param = 0x44});
    b.cell(0, 1, 0, {.period = 2});  // continue from memory
    b.cell(0, 2, 0, {});
    load(b.build());
    run_tick();  // lfo_phase 1: index 4, f = 2064, 2064 x 6848 >> 11 = 6901
    EXPECT_EQ(player.channels.step[0], 770u);
    run_tick();  // lfo_phase 2: index 8, f = 2080, exactly 6955
    EXPECT_EQ(player.channels.step[0], 764u);
    EXPECT_EQ(player.channels.period[0], 6848);
    ticks(4);
    run_tick();  // row 1, lfo_phase 7: index 28, table 4, f = 2064 again
    EXPECT_EQ(player.channels.tick_mode[0], MODE_VIBRATO);
    EXPECT_EQ(player.channels.step[0], 770u);
    ticks(5);
    run_tick();  // row 2 without vibrato: back to 6848
    EXPECT_EQ(player.channels.step[0], 776u);
}

TEST(Tremolo, DriftsDownAndIsNotRestored) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 7, .param = 0x41});
    b.cell(0, 1, 0, {.effect = 7, .param = 0x00});
    b.cell(0, 2, 0, {.effect = 7, .param = 0x00});
    load(b.build());
    player.samples.sample_volume[1] = 32;
    // Phase n reads index 4n: +1 only at n = 4 (16 >> 4); -1 at every
    // negative entry; the row ticks (n = 1, 7, 13) do not run it.
    const std::uint8_t volume[] = {32, 32, 32, 33, 33, 33, 33, 33, 32, 31, 30, 29, 29, 28, 27, 27};
    for (std::size_t n = 0; n < std::size(volume); ++n) {
        run_tick();
        EXPECT_EQ(player.channels.note_volume[0], volume[n]) << n + 1;
    }
}

TEST(VolumeSlide, EvenCodesEveryTickOddOnceAndClamped) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.sample = 1, .effect = 0xE, .param = 0xA2});  // fine up 2
    b.cell(0, 0, 1, {.sample = 1, .effect = 0xE, .param = 0xB2});  // fine down 2
    b.cell(0, 0, 2, {.sample = 1, .effect = 0xA, .param = 0x20});  // up 2 per tick
    b.cell(0, 0, 3, {.sample = 1, .effect = 0xA, .param = 0x0F});  // down 15 per tick
    load(b.build());
    player.samples.sample_volume[1] = 30;
    ticks(1);
    EXPECT_EQ(player.channels.vol_slide[0], 5);
    EXPECT_EQ(player.channels.vol_slide[1], -3);
    const std::uint8_t up_once[] = {32, 32, 32, 32, 32};
    const std::uint8_t down_once[] = {28, 28, 28, 28, 28};
    const std::uint8_t up[] = {32, 34, 36, 38, 40};
    const std::uint8_t down[] = {15, 0, 0, 0, 0};
    for (int t = 0; t < 5; ++t) {
        run_tick();
        EXPECT_EQ(player.channels.note_volume[0], up_once[t]) << t;
        EXPECT_EQ(player.channels.note_volume[1], down_once[t]) << t;
        EXPECT_EQ(player.channels.note_volume[2], up[t]) << t;
        EXPECT_EQ(player.channels.note_volume[3], down[t]) << t;
    }
}

TEST(NoteCut, CutsOnTickYAtOnceForZeroAndNotAtOrPastSpeed) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xE, .param = 0xC3});
    b.cell(0, 0, 1, {.period = 428, .sample = 1, .effect = 0xE, .param = 0xC0});
    b.cell(0, 0, 2, {.period = 428, .sample = 1, .effect = 0xE, .param = 0xC6});
    load(b.build());
    ChannelState& ch = player.channels;
    ticks(1);
    EXPECT_EQ(ch.play_state[0], STATE_PLAYING);
    EXPECT_EQ(ch.play_state[1], STATE_STOPPED);  // cancels the note of its own cell
    ticks(2);
    EXPECT_EQ(ch.play_state[0], STATE_PLAYING);
    ticks(1);  // tick 3
    EXPECT_EQ(ch.play_state[0], STATE_STOPPED);
    EXPECT_EQ(ch.tick_mode[0], MODE_FINISHED);
    // The target falls to 0, the volume starts from the old target.
    EXPECT_EQ(ch.mix_volume[0], 128);
    EXPECT_EQ(ch.mix_target[0], 0);
    ticks(2);
    EXPECT_EQ(ch.play_state[2], STATE_PLAYING);
    ticks(1);  // next row rewrites the mode
    EXPECT_EQ(ch.play_state[2], STATE_PLAYING);
    EXPECT_EQ(ch.tick_mode[2], MODE_NONE);
}

TEST(Retrigger, RestartsEveryYTicksAndEveryTickFor0And1) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xE, .param = 0x93});
    b.cell(0, 0, 1, {.period = 428, .sample = 1, .effect = 0xE, .param = 0x90});
    b.cell(0, 0, 2, {.period = 428, .sample = 1, .effect = 0xE, .param = 0x91});
    load(b.build());
    ticks(1);
    ChannelState& ch = player.channels;
    const bool restart0[] = {false, false, true, false, false};
    for (int t = 1; t <= 5; ++t) {
        for (int c = 0; c < 3; ++c) {
            ch.end_pos[c] = 1;  // a restart puts the full length back
            ch.pos[c] = 4096;
        }
        run_tick();
        EXPECT_EQ(ch.end_pos[0] != 1, restart0[t - 1]) << t;
        EXPECT_EQ(ch.pos[0] == 0, restart0[t - 1]) << t;
        EXPECT_EQ(ch.end_pos[1], 256u * 4096) << t;
        EXPECT_EQ(ch.end_pos[2], 256u * 4096) << t;
        EXPECT_EQ(ch.play_state[0], STATE_PLAYING) << t;
    }
}

TEST(SpeedOne, OnlyVibratoAndImmediateCommandsAct) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xF, .param = 1});
    b.cell(0, 0, 1, {.period = 428, .sample = 1});
    b.cell(0, 0, 2, {.period = 428, .sample = 1});
    b.cell(0, 0, 3, {.period = 428, .sample = 1});
    for (int r = 1; r < 8; ++r) {
        b.cell(0, r, 0, {.effect = 0xA, .param = 0x0F});
        b.cell(0, r, 1, {.effect = 0, .param = 0x37});
        b.cell(0, r, 2, {.effect = 4, .param = 0x44});
        b.cell(0, r, 3, {.effect = 0xE, .param = 0x91});
    }
    load(b.build());
    ticks(7);
    ChannelState& ch = player.channels;
    EXPECT_EQ(player.song.tick, 0);
    // Row 6, lfo_phase 7: index 28, table 4, f = 2064.
    EXPECT_EQ(ch.step[2], 770u);
    ticks(1);  // row 7, phase 8: index 32, table 0: the plain pitch
    EXPECT_EQ(ch.step[2], 776u);
    EXPECT_EQ(ch.note_volume[0], 64);
    EXPECT_EQ(ch.step[1], 776u);
    EXPECT_EQ(ch.end_pos[3], 256u * 4096);
    ch.end_pos[3] = 1;
    ticks(1);
    EXPECT_EQ(ch.end_pos[3], 1u);  // the retrigger never ran
}

TEST(SpeedOne, TheLookAheadRunsAfterEveryTick) {
    ModuleBuilder b = song();
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 0xF, .param = 1});
    b.cell(0, 1, 0, {.period = 428});
    b.cell(0, 2, 0, {.period = 428});
    load(b.build());
    const std::uint8_t floor[] = {32, 32, 128, 128};
    for (std::size_t t = 0; t < std::size(floor); ++t) {
        run_tick();
        EXPECT_EQ(player.song.tick, 0) << t;
        EXPECT_EQ(player.channels.ramp_floor[0], floor[t]) << t;
    }
}
