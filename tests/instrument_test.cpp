// The extended mode: envelopes with sustain, markers and loops, fade-out
// after key-off, instruments without envelope, automatic vibrato, centred
// half level and the header's speed and tempo.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
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

struct Record {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs;
    std::uint16_t fade_speed = 0;
    std::uint8_t env_loop = 0;
    std::uint8_t autovib_depth = 0;
    std::uint8_t autovib_speed = 0;
};

std::array<std::uint8_t, 32> bytes(const Record& r) {
    std::array<std::uint8_t, 32> out{};
    for (std::size_t k = 0; k < r.pairs.size(); ++k) {
        out[2 * k] = r.pairs[k].first;
        out[2 * k + 1] = r.pairs[k].second;
    }
    out[24] = static_cast<std::uint8_t>(r.fade_speed >> 8);
    out[25] = static_cast<std::uint8_t>(r.fade_speed);
    out[26] = r.env_loop;
    out[27] = r.autovib_depth;
    out[28] = r.autovib_speed;
    return out;
}

// Extended songs play pattern 1: pattern 0 holds the instrument records.
ModuleBuilder extended_song(std::initializer_list<Record> records, std::uint8_t speed = 6, std::uint8_t tempo = 125) {
    ModuleBuilder b(4);
    b.extended(speed, tempo);
    b.orders({1});
    int s = 1;
    for (const Record& r : records) {
        b.sample(s, looped(256, 50));
        b.instrument(s, bytes(r));
        ++s;
    }
    return b;
}

constexpr std::uint8_t MINUS_2 = 0xFE;

}  // namespace

TEST(Instrument, HeaderSpeedTempoCentredChannelsAndHalfLevel) {
    ModuleBuilder b = extended_song({Record{}}, 3, 131);
    b.cell(1, 0, 0, {.period = 428, .sample = 1});
    b.cell(1, 0, 1, {.period = 428, .sample = 1, .pan_bits = 0x40});
    b.cell(1, 0, 2, {.period = 428, .sample = 1, .effect = 0xC, .param = 33});
    load(b.build());
    EXPECT_EQ(player.song.speed, 3);
    EXPECT_EQ(player.song.bytes_per_tick, 3366u);
    for (int c = 0; c < 32; ++c) EXPECT_EQ(player.channels.pan[c], PAN_CENTRE) << c;
    ticks(1);
    ChannelState& ch = player.channels;
    // The finetune block one octave up: 428 x 16384 >> 11.
    EXPECT_EQ(ch.period[0], 3424);
    EXPECT_EQ(ch.env_volume[0], 128);
    EXPECT_EQ(ch.mix_target[0], 64);   // centred: half
    EXPECT_EQ(ch.mix_target[1], 128);  // one side
    EXPECT_EQ(ch.mix_target[2], 33);   // 33 x 32 = 1056, halved 528, >> 4
}

TEST(Instrument, SustainHoldsUntilKeyOffThenTheFadeRunsOutAfter256Ticks) {
    ModuleBuilder b = extended_song({
        Record{.pairs = {{1, 64}, {0, 0}}, .fade_speed = 0x0100},
        Record{.pairs = {{1, 64}, {0, 0}, {2, 10}}, .fade_speed = 0}, Record{},  // no envelope
    });
    for (int c = 0; c < 3; ++c) {
        b.cell(1, 0, c, {.period = 428, .sample = static_cast<std::uint8_t>(c + 1)});
        b.cell(1, 1, c, {.period = 1});
    }
    // No envelope, delayed note on a channel that never had key_on.
    b.cell(1, 0, 3, {.period = 428, .sample = 3, .effect = 0xE, .param = 0xD2});
    load(b.build());
    ChannelState& ch = player.channels;
    ticks(1);
    EXPECT_EQ(ch.env_volume[0], 64);
    EXPECT_EQ(ch.env_volume[2], 128);
    EXPECT_EQ(ch.play_state[3], STATE_STOPPED);
    ticks(5);
    EXPECT_EQ(ch.env_volume[0], 64);
    EXPECT_EQ(ch.env_index[0], 0);  // held before the sustain pair
    EXPECT_EQ(ch.env_volume[1], 64);
    EXPECT_EQ(ch.mix_target[0], 32);  // 1024 x 64 >> 7 >> 4
    EXPECT_EQ(ch.mix_target[2], 64);
    EXPECT_EQ(ch.play_state[3], STATE_STOPPED);

    ticks(1);  // key-off row
    EXPECT_EQ(ch.key_on[0], 0);
    EXPECT_EQ(ch.fade_volume[0], 65535 - 256);
    EXPECT_EQ(ch.env_volume[0], 64);  // past the sustain, pairs 2.. empty: the end
    EXPECT_EQ(ch.env_index[0], 22);
    EXPECT_EQ(ch.mix_target[0], 31);  // 65280 x 1024 >> 16 = 1020, x 64 >> 7 = 510
    EXPECT_EQ(ch.play_state[0], STATE_PLAYING);
    // fade 0: only the sustain is released, on to pair 2 (+10).
    EXPECT_EQ(ch.fade_volume[1], 0xFFFF);
    EXPECT_EQ(ch.env_volume[1], 74);
    EXPECT_EQ(ch.env_index[1], 4);
    // No envelope: silenced on the key-off tick itself.
    EXPECT_EQ(ch.play_state[2], STATE_STOPPED);
    EXPECT_EQ(ch.mix_target[2], 0);
    EXPECT_EQ(ch.mix_volume[2], 64);

    ticks(254);  // 255 ticks since the key-off
    EXPECT_EQ(ch.fade_volume[0], 255);
    ticks(1);
    EXPECT_EQ(ch.fade_volume[0], 0);
    EXPECT_EQ(ch.mix_target[0], 0);
    EXPECT_EQ(ch.play_state[0], STATE_PLAYING);
    EXPECT_EQ(ch.env_volume[1], 84);
    EXPECT_EQ(ch.mix_target[1], 42);  // 1024 x 84 >> 7 = 672, >> 4
}

TEST(Instrument, RiseFallAndAMarkerLoopingBackToPair1) {
    ModuleBuilder b = extended_song({Record{.pairs = {{8, 16}, {16, MINUS_2}, {0x80, 96}}, .env_loop = 0}});
    b.cell(1, 0, 0, {.period = 428, .sample = 1});
    load(b.build());
    std::vector<int> levels;
    for (int t = 1; t <= 41; ++t) {
        run_tick();
        levels.push_back(player.channels.env_volume[0]);
    }
    std::vector<int> expected;
    for (int k = 1; k <= 8; ++k) expected.push_back(16 * k);
    for (int k = 1; k <= 16; ++k) expected.push_back(128 - 2 * k);
    // The marker sets 96 and pair 1's first change follows on the same tick.
    for (int k = 1; k <= 16; ++k) expected.push_back(96 - 2 * k);
    expected.push_back(94);
    EXPECT_EQ(levels, expected);
}

TEST(Instrument, MarkerAbove128StaysAndRaisesTheTarget) {
    ModuleBuilder b = extended_song({Record{.pairs = {{0x80, 200}}, .env_loop = 10}});
    b.cell(1, 0, 0, {.period = 428, .sample = 1, .pan_bits = 0x40});
    load(b.build());
    ticks(1);
    EXPECT_EQ(player.channels.env_volume[0], 200);
    EXPECT_EQ(player.channels.env_index[0], 22);
    EXPECT_EQ(player.channels.mix_target[0], 200);  // 2048 x 200 >> 7 >> 4
    ticks(5);
    EXPECT_EQ(player.channels.env_volume[0], 200);
}

TEST(Instrument, MarkerWhoseLoopTargetLiesPastTheEnvelopeEndsIt) {
    for (std::uint8_t loop : std::vector<std::uint8_t>{11, 60, 126, 139, 254}) {
        ModuleBuilder b =
            extended_song({Record{.pairs = {{2, 10}, {0x80, 50}}, .fade_speed = 0x0303, .env_loop = loop}});
        b.cell(1, 0, 0, {.period = 428, .sample = 1});
        load(b.build());
        ChannelState& ch = player.channels;
        ticks(2);
        EXPECT_EQ(ch.env_volume[0], 20) << int(loop);
        ticks(1);
        EXPECT_EQ(ch.env_volume[0], 50) << int(loop);
        EXPECT_EQ(ch.env_index[0], 22) << int(loop);
        EXPECT_EQ(ch.env_countdown[0], 0) << int(loop);
        ticks(10);
        EXPECT_EQ(ch.env_volume[0], 50) << int(loop);
        EXPECT_EQ(ch.env_index[0], 22) << int(loop);
    }
    // 127 and 255 go back to pair 0, 138 acts like 10.
    ModuleBuilder b = extended_song({Record{.pairs = {{2, 10}, {0x80, 50}}, .env_loop = 255}});
    b.cell(1, 0, 0, {.period = 428, .sample = 1});
    load(b.build());
    ticks(3);
    EXPECT_EQ(player.channels.env_volume[0], 60);
    EXPECT_EQ(player.channels.env_index[0], 0);
}

TEST(Instrument, AMarkerCirclingThroughEmptyPairsEndsTheWalk) {
    ModuleBuilder b = extended_song({Record{.pairs = {{0, 1}, {0x80, 77}}, .env_loop = 255}});
    b.cell(1, 0, 0, {.period = 428, .sample = 1});
    load(b.build());
    ticks(1);
    EXPECT_EQ(player.channels.env_volume[0], 77);
    EXPECT_EQ(player.channels.env_index[0], 22);
    EXPECT_EQ(player.channels.env_countdown[0], 0);
    ticks(3);
    EXPECT_EQ(player.channels.env_volume[0], 77);
}

TEST(Instrument, AutomaticVibratoReplacesArpeggioButNotVibrato) {
    const Record vib{.autovib_depth = 0x80, .autovib_speed = 4};  // depth -128
    ModuleBuilder b = extended_song({vib});
    b.cell(1, 0, 0, {.period = 428, .sample = 1});
    b.cell(1, 0, 1, {.period = 428, .sample = 1, .effect = 4, .param = 0x44});
    b.cell(1, 0, 2, {.period = 428, .sample = 1, .effect = 0, .param = 0x37});
    b.cell(1, 0, 3, {.period = 428, .sample = 1, .effect = 1, .param = 0x01});
    load(b.build());
    ChannelState& ch = player.channels;
    run_tick();  // phase 1: f = 16384 - 128, 16256 x 3424 >> 14 = 3397
    EXPECT_EQ(ch.step[0], 1565u);
    EXPECT_EQ(ch.step[1], 1541u);  // vibrato: 2064 x 3424 >> 11 = 3450
    EXPECT_EQ(ch.step[2], 1565u);
    run_tick();                    // phase 2: f = 16128, 3370
    EXPECT_EQ(ch.step[2], 1578u);  // the arpeggio's +3 is not heard
    // The slide moved period to 3408: 16128 x 3408 >> 14 = 3354.
    EXPECT_EQ(ch.period[3], 3408);
    EXPECT_EQ(ch.step[3], PERIOD_STEP_CONSTANT / 3354);
    ticks(14);  // phase 16: table 16, f = 14336, 2996
    EXPECT_EQ(ch.step[0], 1775u);
    EXPECT_EQ(ch.period[0], 3424);
}
