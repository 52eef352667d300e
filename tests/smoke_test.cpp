#include <gtest/gtest.h>

#include "engine_harness.h"
#include "module_builder.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::test;

TEST(Smoke, MkModuleLoadsAndFirstTickFallsAt3528) {
    ModuleBuilder b(4);
    b.sample(1, {.data = std::vector<std::int8_t>(64, 100), .volume = 64});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1});
    EXPECT_EQ(load(b.build()), "channels: 00000004 \r\nsamples: 0000001F \r\n");
    auto frames = render(1);
    // Frames before the first tick are silent; the tick's frame sounds.
    EXPECT_EQ(frames[2 * 880], 0);
    // The tick's own frame glides to volume 1: 100 x 1, smoothed at step 776
    // (0 + 100 x 776 >> 12 = 18), halved onto the left side only.
    EXPECT_EQ(frames[2 * 881], 9);
    EXPECT_EQ(frames[2 * 881 + 1], 0);
}
