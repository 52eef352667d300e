// reset_engine(): every record of engine state back as a fresh process has
// it, so a song loaded after any amount of playing, with any hook or cap
// left behind, renders exactly as in a new process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "busy_module.h"
#include "engine_harness.h"
#include "mixer.h"
#include "mixer_kernels.h"
#include "mixer_lanes.h"
#include "module_loader.h"
#include "player_state.h"
#include "sequencer.h"

using namespace zindle;
using namespace zindle::test;

namespace {

template <class T>
bool all_zero(const T& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    return std::all_of(bytes, bytes + sizeof record, [](unsigned char b) { return b == 0; });
}

std::vector<std::uint8_t> busy(int channels, bool extended, std::uint32_t seed) {
    BusyOptions o;
    o.channels = channels;
    o.extended = extended;
    o.seed = seed;
    o.patterns = 2;
    return busy_module(o);
}

void noticed(const std::uint8_t*, std::uint32_t) {}

// Plays a song with a row hook and the kernels capped, leaving state in
// every record.
void play_and_leave_state_behind() {
    load(busy(32, true, 7));
    engine_hooks.row_tick = noticed;
    cap_mixer_level(MixerLevel::ssse3);
    set_mixer_split_warm_up(2);
    render(40);
    // What the production mixer leaves in its scratch, and more.
    std::memset(&mixing::mixer_scratch, 0x5A, sizeof mixing::mixer_scratch);
}

TEST(ResetEngine, LeavesEveryRecordAsAFreshProcessHasIt) {
    play_and_leave_state_behind();
    ASSERT_FALSE(all_zero(player));
    ASSERT_FALSE(all_zero(row_work));
    ASSERT_FALSE(all_zero(mixing::mixer_scratch));
    reset_engine();
    EXPECT_TRUE(all_zero(player));
    EXPECT_TRUE(all_zero(row_work));
    // The program's seams are wiring, not state: they stay.
    EXPECT_EQ(engine_hooks.row_tick, noticed);
    engine_hooks.row_tick = nullptr;
    EXPECT_TRUE(all_zero(mixing::mixer_scratch));
    EXPECT_TRUE(all_zero(output_buffers));
    EXPECT_EQ(next_buffer, 0);
    EXPECT_FALSE(mixing::mixer_choice.chosen);
    EXPECT_EQ(mixing::mixer_choice.most, TOP_MIXER_LEVEL);
    EXPECT_EQ(mixing::mixer_choice.split_warm_up, 0u);
}

TEST(ResetEngine, ASongLoadedAfterItRendersAsInANewProcess) {
    const std::vector<std::uint8_t> song = busy(8, false, 3);
    load(song);
    const std::vector<std::int16_t> fresh = render(120);

    play_and_leave_state_behind();
    reset_engine();
    std::memset(module_image, 0, sizeof module_image);
    std::memcpy(module_image, song.data(), song.size());
    ASSERT_TRUE(load_module());
    EXPECT_TRUE(render(120) == fresh);
}

}  // namespace
