// The frame each tick hands its observer: the same from both mixers and
// from the scan that runs ticks without mixing, and where the schedule
// puts it.
#include <gtest/gtest.h>

#include <vector>

#include "busy_module.h"
#include "engine_harness.h"
#include "mixer.h"
#include "module_builder.h"
#include "player_state.h"
#include "sequencer.h"
#include "tick_clock.h"

using namespace zindle;
using namespace zindle::test;

namespace {

std::vector<std::pair<std::uint64_t, int>> ticks_seen;

void record(const TickStart& t) { ticks_seen.emplace_back(t.frame, t.tick); }

std::vector<std::pair<std::uint64_t, int>> ticks_of(const std::vector<std::uint8_t>& song, void (*fill)(),
                                                    int buffers) {
    load(song);
    ticks_seen.clear();
    engine_hooks.tick = record;
    for (int i = 0; i < buffers; ++i) fill();
    engine_hooks.tick = nullptr;
    return ticks_seen;
}

}  // namespace

TEST(TickFrames, BothMixersAndTheUnmixedScanAgree) {
    for (const bool extended : {false, true}) {
        const auto song = busy_module({.channels = 8, .seed = 5, .extended = extended});
        const auto fast = ticks_of(song, fill_buffer, 30);
        EXPECT_EQ(ticks_of(song, fill_buffer_reference, 30), fast);
        ASSERT_GT(fast.size(), 50u);
        // The scan: the same ticks in the same frames, with nothing mixed.
        load(song);
        ticks_seen.clear();
        engine_hooks.tick = record;
        while (next_tick_frame() < 30 * FRAMES_PER_BUFFER) run_next_tick_unmixed();
        engine_hooks.tick = nullptr;
        EXPECT_EQ(ticks_seen, fast);
    }
}

TEST(TickFrames, TheFirstTicksFallWhereTheTempoPutsThem) {
    ModuleBuilder b(4);
    b.orders({0});
    b.cell(0, 1, 0, {.effect = 0xF, .param = 250});  // from row 1: 1764 bytes, 441 frames a tick
    const auto ticks = ticks_of(b.build(), fill_buffer, 4);
    ASSERT_GE(ticks.size(), 8u);
    // 3528 bytes a tick at tempo 125: the first runs in frame 881, the
    // next ones 882 frames apart; row 1 sets the faster tempo.
    for (std::size_t k = 0; k < 7; ++k)
        EXPECT_EQ(ticks[k], std::make_pair(std::uint64_t{881 + 882 * k}, int(k % 6))) << k;
    EXPECT_EQ(ticks[7].first - ticks[6].first, 441u);
}
