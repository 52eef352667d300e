// The tick clock and the mixer: tick times, the de-click fades around a
// tick, smoothing, sample ends, pan routing and clipping. Frame-level cases
// run through the production mixer and through the reference one.
#include <gtest/gtest.h>

#include <array>
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

using RowTickRecorder = RowRecorder;
auto& row_tick_clocks = RowRecorder::decoded_at;

using Renderer = std::vector<std::int16_t> (*)(int);

class Mixing : public ::testing::TestWithParam<Renderer> {
protected:
    std::vector<std::int16_t> frames(int buffers) { return GetParam()(buffers); }
};

INSTANTIATE_TEST_SUITE_P(BothMixers, Mixing, ::testing::Values(&render, &render_reference),
                         [](const ::testing::TestParamInfo<Renderer>& param_info) {
                             return param_info.index == 0 ? std::string("Production") : std::string("Reference");
                         });

}  // namespace

TEST(TickClock, FirstTickAt3528ThenEvery3528Bytes) {
    ModuleBuilder b(4);
    b.orders({0});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 0x01});  // speed 1: every tick decodes a row
    load(b.build());
    RowTickRecorder rec;
    render(3);  // 24576 bytes
    EXPECT_EQ(row_tick_clocks, (std::vector<std::uint32_t>{3528, 7056, 10584, 14112, 17640, 21168}));
}

TEST(TickClock, HeaderTempo131RunsEachTickAtTheFirstFrameAtOrAfterItsExactTime) {
    ModuleBuilder b(4);
    b.orders({1});
    b.extended(1, 131);
    load(b.build());
    EXPECT_EQ(player.song.speed, 1);
    EXPECT_EQ(player.song.bytes_per_tick, 3366u);
    RowTickRecorder rec;
    render(3);
    // 3366 k rounded up to a whole frame, never accumulating the error.
    EXPECT_EQ(row_tick_clocks, (std::vector<std::uint32_t>{3368, 6732, 10100, 13464, 16832, 20196, 23564}));
}

TEST(TickClock, HeaderTempo0Keeps3528AndSpeed0MakesEveryTickARowTick) {
    ModuleBuilder b(4);
    b.orders({1});
    b.extended(0, 0);
    load(b.build());
    EXPECT_EQ(player.song.bytes_per_tick, 3528u);
    EXPECT_EQ(player.song.speed, 0);
    RowTickRecorder rec;
    render(3);
    EXPECT_EQ(row_tick_clocks, (std::vector<std::uint32_t>{3528, 7056, 10584, 14112, 17640, 21168}));
    // Six rows decoded: row 6 of pattern 1 is next.
    EXPECT_EQ(player.song.row_offset, 1024u + 6 * 16);
}

TEST(TickClock, LookAheadFadesOnlyChannelsWhoseNextCellStartsANoteOrSwitchesSample) {
    ModuleBuilder b(8);
    b.sample(1, looped(256, 100));
    b.sample(2, looped(256, 50));
    b.orders({0});
    for (int c = 0; c < 8; ++c) b.cell(0, 0, c, {.period = 80, .sample = 1});
    b.cell(0, 1, 0, {.sample = 1});                                  // same sample, no note
    b.cell(0, 1, 1, {});                                             // empty
    b.cell(0, 1, 2, {.period = 1});                                  // key-off
    b.cell(0, 1, 3, {.period = 2});                                  // vibrato continue
    b.cell(0, 1, 4, {.period = 28, .effect = 0xC, .param = 0});      // not a note
    b.cell(0, 1, 5, {.period = 29, .effect = 3, .param = 0x10});     // tone portamento note
    b.cell(0, 1, 6, {.sample = 2});                                  // another sample
    b.cell(0, 1, 7, {.period = 428, .effect = 0xE, .param = 0xD3});  // delayed note
    load(b.build());
    ticks(5);
    for (int c = 0; c < 8; ++c) EXPECT_EQ(player.channels.ramp_floor[c], 128) << c;
    ticks(1);  // last tick of row 0: the look-ahead runs
    const std::uint8_t expected[8] = {128, 128, 128, 128, 128, 32, 32, 32};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(player.channels.mix_target[c], 128) << c;
        EXPECT_EQ(player.channels.ramp_floor[c], expected[c]) << c;
    }
    ticks(1);  // row 1 resets every floor
    for (int c = 0; c < 8; ++c) EXPECT_EQ(player.channels.ramp_floor[c], 128) << c;
}

TEST_P(Mixing, PreTickFadeTo32ThenGlideToTheNewTarget) {
    // A constant sample at step 4155 (period 80), no smoothing: the left
    // output is 100 x mix_volume / 2 = 50 x mix_volume.
    ModuleBuilder b(4);
    b.sample(1, looped(256, 100));
    b.orders({0});
    b.cell(0, 0, 0, {.period = 80, .sample = 1});
    b.cell(0, 1, 0, {.period = 80, .effect = 0xC, .param = 0x20});  // note at volume 32: target 64
    load(b.build());
    const auto f = frames(4);
    for (std::size_t i = 0; i < 881; ++i) ASSERT_EQ(left(f, i), 0) << i;
    // New sample: from 0 up one unit per frame, 128 in the 128th frame.
    for (std::size_t k = 0; k < 128; ++k) ASSERT_EQ(left(f, 881 + k), 50 * (k + 1)) << k;
    EXPECT_EQ(left(f, 1009), 6400);
    EXPECT_EQ(left(f, 6076), 6400);
    EXPECT_EQ(right(f, 3000), 0);
    // Row 1 at T = 7 x 3528 = 24696 (frame 6173); its window is the 96
    // frames before: 127 down to 32.
    for (std::size_t j = 0; j < 96; ++j) ASSERT_EQ(left(f, 6077 + j), 50 * (127 - j)) << j;
    // At the tick the volume is back at the old target 128 and glides down
    // to 64, which it reaches in the 64th frame.
    for (std::size_t j = 0; j < 64; ++j) ASSERT_EQ(left(f, 6173 + j), 50 * (127 - j)) << j;
    EXPECT_EQ(left(f, 6237), 3200);
    EXPECT_EQ(left(f, 7000), 3200);
}

TEST_P(Mixing, SmoothingOnlyBelowStep4096AndRoundingTowardMinusInfinity) {
    ModuleBuilder b(4);
    b.sample(1, looped(64, 100));
    b.sample(2, looped(64, -1));
    b.orders({0});
    load(b.build());
    poke_voice(0, 1, 128, 4095, PAN_LEFT);
    poke_voice(1, 1, 128, 4096, PAN_RIGHT);
    auto f = frames(1);
    // 12800 x 4095 >> 12 = 12796; then 12796 + (4 x 4095 >> 12) = 12799,
    // where the remaining step of 1 rounds to 0. Halved for one side.
    EXPECT_EQ(left(f, 0), 6398);
    EXPECT_EQ(left(f, 1), 6399);
    EXPECT_EQ(left(f, 2), 6399);
    EXPECT_EQ(right(f, 0), 6400);
    EXPECT_EQ(right(f, 1), 6400);

    load(b.build());
    poke_voice(0, 2, 1, 4095, PAN_LEFT);
    f = frames(1);
    // -4095 >> 12 is -1, and -1 >> 1 is -1 again.
    EXPECT_EQ(left(f, 0), -1);
    EXPECT_EQ(left(f, 1), -1);
}

TEST_P(Mixing, UnloopedSampleEndSoundsItsLastFrameThenStops) {
    ModuleBuilder b(4);
    b.sample(1, {.data = {10, 20, 30, 40, 50, 60, 70, 80}});
    b.orders({0});
    load(b.build());
    poke_voice(0, 1, 2, 4096, PAN_LEFT);
    const auto f = frames(1);
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(left(f, k), 10 * (k + 1)) << k;
    for (std::size_t k = 8; k < 2048; ++k) ASSERT_EQ(left(f, k), 0) << k;
    EXPECT_EQ(player.channels.play_state[0], STATE_STOPPED);
    EXPECT_EQ(player.channels.pos[0], 7u * 4096);  // not advanced in the last frame
    EXPECT_EQ(player.channels.last_out[0], 0);
    EXPECT_EQ(player.channels.mix_volume[0], 0);
    EXPECT_EQ(player.channels.mix_target[0], 0);
}

TEST_P(Mixing, LoopEntersAtItsStartThenWrapsKeepingTheOvershoot) {
    // 16 bytes 1..16, loop from byte 4 to byte 12, 1.5 bytes per frame.
    std::vector<std::int8_t> data;
    for (int i = 1; i <= 16; ++i) data.push_back(static_cast<std::int8_t>(i));
    ModuleBuilder b(4);
    b.sample(1, {.data = data, .loop_start_words = 2, .loop_length_words = 4});
    b.orders({0});
    load(b.build());
    poke_voice(0, 1, 2, 6144, PAN_LEFT);
    const auto f = frames(1);
    // Bytes read: to the end at 16.5 -> loop start 4 (overshoot dropped),
    // then 13 -> 5 and 12.5 -> 4.5 (overshoot kept).
    const int read[] = {0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 4, 5, 7, 8, 10, 11, 5, 6, 8, 9, 11, 4};
    for (std::size_t k = 0; k < std::size(read); ++k) EXPECT_EQ(left(f, k), read[k] + 1) << k;
    EXPECT_EQ(player.channels.play_state[0], STATE_LOOPING);
    EXPECT_EQ(player.channels.end_pos[0], 12u * 4096);
}

TEST_P(Mixing, StepLongerThanTheLoopStaysInsideIt) {
    // 8 bytes, loop from 4 to 8, steps of 10.5 bytes.
    ModuleBuilder b(4);
    b.sample(1, {.data = {10, 20, 30, 40, 50, 60, 70, 80}, .loop_start_words = 2, .loop_length_words = 2});
    b.orders({0});
    load(b.build());
    poke_voice(0, 1, 2, 10 * 4096 + 2048, PAN_LEFT);
    const auto f = frames(1);
    // Positions 0, 4, 4 + 10.5 % 4 = 6.5, 4 + 13 % 4 = 5, 7.5, 6, 4.5, ...
    const int byte[] = {0, 4, 6, 5, 7, 6, 4};
    for (std::size_t k = 0; k < std::size(byte); ++k) EXPECT_EQ(left(f, k), 10 * (byte[k] + 1)) << k;
    for (std::size_t k = 1; k < 2048; ++k) {
        ASSERT_GE(left(f, k), 50) << k;
        ASSERT_LE(left(f, k), 80) << k;
    }
}

TEST_P(Mixing, PanRoutesHalvedValuesAndHalvesEachChannelBeforeSumming) {
    ModuleBuilder b(4);
    b.sample(1, looped(100, 101));
    b.sample(2, looped(100, 20));
    b.sample(3, looped(100, 7));
    b.sample(4, looped(100, 100));
    b.orders({0});
    load(b.build());
    poke_voice(0, 1, 1, 4096, PAN_CENTRE);
    poke_voice(1, 2, 1, 4096, PAN_LEFT);
    poke_voice(2, 3, 1, 4096, PAN_RIGHT);
    poke_voice(3, 4, 1, 4096, 0x3F);  // neither side: computed, not heard
    auto f = frames(1);
    EXPECT_EQ(left(f, 0), 50 + 10);
    EXPECT_EQ(right(f, 0), 50 + 3);
    // The silent channel still moved: 2048 bytes through a 100-byte loop.
    EXPECT_EQ(player.channels.pos[3], 48u * 4096);

    ModuleBuilder n(4);
    n.sample(1, looped(64, 1));
    n.sample(2, looped(64, -1));
    n.orders({0});
    load(n.build());
    poke_voice(0, 1, 1, 4096, PAN_LEFT);
    poke_voice(1, 1, 1, 4096, PAN_LEFT);
    poke_voice(2, 2, 1, 4096, PAN_RIGHT);
    poke_voice(3, 2, 1, 4096, PAN_RIGHT);
    f = frames(1);
    EXPECT_EQ(left(f, 0), 0);
    EXPECT_EQ(right(f, 0), -2);
}

TEST_P(Mixing, ClipsAt30719AndMinus30720) {
    ModuleBuilder b(8);
    b.sample(1, looped(64, 126));
    b.sample(2, looped(64, 107));
    b.sample(3, looped(64, 102));
    b.sample(4, looped(64, -128));
    b.sample(5, looped(64, -96));
    b.sample(6, looped(64, -1));
    b.orders({0});
    load(b.build());
    // Both sides 3 x 8064; left + 107 x 122 / 2 = 30719, right + 6528 = 30720.
    for (std::uint32_t c = 0; c < 3; ++c) poke_voice(c, 1, 128, 4096, PAN_CENTRE);
    poke_voice(3, 2, 122, 4096, PAN_LEFT);
    poke_voice(4, 3, 128, 4096, PAN_RIGHT);
    auto f = frames(1);
    EXPECT_EQ(left(f, 0), 30719);
    EXPECT_EQ(right(f, 0), 30719);

    load(b.build());
    // Both sides 3 x -8192 - 6144 = -30720; the right one more: -30721.
    for (std::uint32_t c = 0; c < 3; ++c) poke_voice(c, 4, 128, 4096, PAN_CENTRE);
    poke_voice(3, 5, 128, 4096, PAN_CENTRE);
    poke_voice(4, 6, 1, 4096, PAN_RIGHT);
    f = frames(1);
    EXPECT_EQ(left(f, 0), -30720);
    EXPECT_EQ(right(f, 0), -30720);

    load(b.build());
    // Far beyond the bounds: 4 x -8192 on the left, 4 x 8064 on the right.
    for (std::uint32_t c = 0; c < 4; ++c) poke_voice(c, 4, 128, 4096, PAN_LEFT);
    for (std::uint32_t c = 4; c < 8; ++c) poke_voice(c, 1, 128, 4096, PAN_RIGHT);
    f = frames(1);
    EXPECT_EQ(left(f, 0), -30720);
    EXPECT_EQ(right(f, 0), 30719);
}

TEST_P(Mixing, AVolumeAbove128IsPulledTo128BeforeEveryTickAndRestoredAtIt) {
    // Extended mode, one-sided channel, envelope marker 200 held to the end:
    // mix_target 200. Period 80 an octave up is 640, step 8311: unsmoothed.
    ModuleBuilder b(4);
    b.extended(6, 125);
    b.orders({1});
    b.sample(1, looped(256, 100));
    std::array<std::uint8_t, 32> record{};
    record[0] = 0x80;
    record[1] = 200;
    record[26] = 10;
    b.instrument(1, record);
    b.cell(1, 0, 0, {.period = 80, .sample = 1, .pan_bits = 0x40});
    load(b.build());
    const auto f = frames(2);
    // The glide from 0 lasts 128 frames: it stops at 128.
    EXPECT_EQ(left(f, 1008), 6400);
    EXPECT_EQ(left(f, 1762), 6400);
    EXPECT_EQ(left(f, 1763), 10000);  // tick 1: the previous target, 200
    EXPECT_EQ(left(f, 2548), 10000);
    for (std::size_t j = 0; j < 72; ++j) ASSERT_EQ(left(f, 2549 + j), 50 * (199 - j)) << j;
    EXPECT_EQ(left(f, 2644), 6400);
    EXPECT_EQ(left(f, 2645), 10000);
    EXPECT_EQ(right(f, 2645), 0);
}

TEST(TickClock, TempoCommandSpacesTheScheduleNotTheClock) {
    ModuleBuilder b(4);
    b.orders({0});
    b.cell(0, 0, 0, {.effect = 0xF, .param = 0x01});
    b.cell(0, 0, 1, {.effect = 0xF, .param = 131});  // 3366 bytes from the next interval on
    load(b.build());
    RowTickRecorder rec;
    render(3);
    // 3528, then 3528 + 3366 k rounded up to whole frames: 6894, 10260,
    // 13626, 16992, 20358, 23724.
    EXPECT_EQ(row_tick_clocks, (std::vector<std::uint32_t>{3528, 6896, 10260, 13628, 16992, 20360, 23724}));
}

TEST(TickClock, PlaybackAcrossTheClockWrapIsTheSameAsFromZero) {
    // Notes, vibrato, a tempo change, a pattern delay and slides, rendered
    // from clock 0 and from clocks at which out_clock wraps mid-song.
    std::vector<std::int8_t> wave(64);
    for (std::size_t i = 0; i < wave.size(); ++i) wave[i] = static_cast<std::int8_t>(static_cast<int>(i) * 4 - 128);
    ModuleBuilder b(4);
    b.sample(1, {.data = wave, .volume = 48, .loop_start_words = 0, .loop_length_words = 32});
    b.sample(2, looped(128, 40));
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1, .effect = 4, .param = 0x44});
    b.cell(0, 0, 1, {.period = 320, .sample = 2, .effect = 0xF, .param = 140});
    b.cell(0, 1, 2, {.period = 214, .sample = 1, .effect = 0xE, .param = 0xE1});
    b.cell(0, 2, 3, {.period = 160, .sample = 2, .effect = 0xA, .param = 0x02});
    b.cell(0, 3, 0, {.period = 381, .sample = 2});
    b.cell(0, 4, 1, {.period = 339, .sample = 1, .effect = 3, .param = 8});
    b.cell(0, 6, 2, {.effect = 0xF, .param = 3});
    const std::vector<std::uint8_t> file = b.build();

    std::vector<std::uint32_t> ticks_from_zero;
    std::vector<std::int16_t> from_zero;
    {
        load(file);
        RowTickRecorder rec;
        from_zero = render(70);  // about 3.25 s
        ticks_from_zero = row_tick_clocks;
    }
    ASSERT_GT(ticks_from_zero.size(), 8u);
    // Two seconds before the wrap, one frame before it, and off the frame
    // grid so that a tick lands right across it.
    for (const std::uint32_t start : {0u - 4u * 44100u * 2u, 0u - 4u, 0u - 3528u + 2u}) {
        SCOPED_TRACE(start);
        for (const Renderer how : {&render, &render_reference}) {
            load_at_clock(file, start);
            RowTickRecorder rec;
            const std::vector<std::int16_t> wrapped = how(70);
            EXPECT_TRUE(wrapped == from_zero);
            ASSERT_EQ(row_tick_clocks.size(), ticks_from_zero.size());
            for (std::size_t i = 0; i < row_tick_clocks.size(); ++i)
                EXPECT_EQ(row_tick_clocks[i] - start, ticks_from_zero[i]) << i;
        }
    }
}

TEST_P(Mixing, AVoiceAtMixVolume0StandsStillAndItsSmoothingRestartsFrom0) {
    // Step 4095 (finetune 3, period field 83): smoothed. C00 in row 1 glides
    // the voice to 0; C40 in row 2 (T = 13 x 3528, frame 11465) brings it back.
    ModuleBuilder b(4);
    b.sample(1, {.data = flat(256, 100), .finetune = 3, .volume = 64, .loop_start_words = 0, .loop_length_words = 128});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 83, .sample = 1});
    b.cell(0, 1, 0, {.effect = 0xC, .param = 0x00});
    b.cell(0, 2, 0, {.effect = 0xC, .param = 0x40});
    load(b.build());
    auto f = frames(4);  // to frame 8191; the volume is 0 from frame 6173 + 127
    EXPECT_EQ(player.channels.step[0], 4095u);
    // Gliding down, volume 1 follows volume 2 (x = 199): 199 + (-99 x 4095 >> 12) = 100.
    EXPECT_EQ(left(f, 6299), 100 >> 1);
    EXPECT_EQ(left(f, 6300), 0);
    const std::uint32_t pos = player.channels.pos[0];
    f = frames(2);  // frames 8192 to 12287
    EXPECT_EQ(left(f, 11464 - 8192), 0);
    // Smoothing from 0: 100 x 4095 >> 12 = 99, not 100 as it would be from
    // the last stored value.
    EXPECT_EQ(left(f, 11465 - 8192), 99 >> 1);
    EXPECT_EQ(left(f, 11466 - 8192), 199 >> 1);
    // The position moved only in the 823 frames from row 2 on, round the
    // 256-byte loop.
    EXPECT_EQ(player.channels.pos[0], (pos + (12287u - 11465u + 1u) * 4095u) % (256u << 12));
}
