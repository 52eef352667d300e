// The production mixer must give exactly the frames of the per-frame
// reference mixer: busy generated modules of every channel count, the
// extended mode, the real modules when present, and across the 32-bit
// wrap of the output clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "busy_module.h"
#include "engine_harness.h"
#include "mixer.h"
#include "module_builder.h"
#include "module_files.h"
#include "module_loader.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::test;

namespace {

namespace fs = std::filesystem;

using Renderer = std::vector<std::int16_t> (*)(int);

std::vector<std::int16_t> render_at(const std::vector<std::uint8_t>& file, std::uint32_t clock, Renderer how,
                                    int buffers) {
    load_at_clock(file, clock);
    return how(buffers);
}

// Names the first frame that differs instead of dumping both renders.
void expect_frames(const std::vector<std::int16_t>& fast, const std::vector<std::int16_t>& reference,
                   const char* path) {
    ASSERT_EQ(fast.size(), reference.size()) << path;
    const auto diff = std::mismatch(fast.begin(), fast.end(), reference.begin());
    if (diff.first != fast.end()) {
        const auto at = diff.first - fast.begin();
        ADD_FAILURE() << path << ": first difference at frame " << at / 2 << (at % 2 ? " right" : " left") << ": fast "
                      << *diff.first << ", reference " << *diff.second;
    }
}

// The fast mixer at every level of its kernels that this processor has,
// the highest first.
void expect_same(const std::vector<std::uint8_t>& file, int buffers, std::uint32_t clock = 0, bool audible = true) {
    const std::vector<std::int16_t> fast = render_at(file, clock, render, buffers);
    const std::uint32_t fast_clock = player.out_clock;
    std::vector<std::vector<std::int16_t>> capped;
    for (const MixerLevel level : MIXER_LEVELS) {
        cap_mixer_level(level);
        capped.push_back(render_at(file, clock, render, buffers));
    }
    cap_mixer_level(TOP_MIXER_LEVEL);
    // Split runs whose halves miss each other and are mended.
    set_mixer_split_warm_up(2);
    const std::vector<std::int16_t> mended = render_at(file, clock, render, buffers);
    set_mixer_split_warm_up(0);
    const std::vector<std::int16_t> reference = render_at(file, clock, render_reference, buffers);
    EXPECT_EQ(fast_clock, player.out_clock);
    expect_frames(fast, reference, "fast");
    for (const MixerLevel level : MIXER_LEVELS)
        expect_frames(capped[static_cast<unsigned>(level)], reference,
                      (std::string("fast at most ") + mixer_level_name(level)).c_str());
    expect_frames(mended, reference, "fast with split runs mended");
    // A generated song that renders silence would make the comparison worthless.
    if (audible) {
        EXPECT_TRUE(std::any_of(reference.begin(), reference.end(), [](std::int16_t v) { return v != 0; }));
    }
}

struct Busy {
    int channels;
    bool extended;
    std::uint32_t seed;
};

class BusyIdentity : public ::testing::TestWithParam<Busy> {};

TEST_P(BusyIdentity, FastMixerGivesTheReferenceFrames) {
    const Busy b = GetParam();
    test::BusyOptions o;
    o.channels = b.channels;
    o.extended = b.extended;
    o.seed = b.seed;
    o.patterns = 2;
    expect_same(test::busy_module(o), 160);
}

TEST_P(BusyIdentity, AcrossTheClockWrap) {
    const Busy b = GetParam();
    test::BusyOptions o;
    o.channels = b.channels;
    o.extended = b.extended;
    o.seed = b.seed + 100;
    o.patterns = 1;
    expect_same(test::busy_module(o), 60, 0xFFFFFFFFu - 200000u);
}

std::vector<Busy> busy_cases() {
    std::vector<Busy> cases;
    for (int channels : {4, 6, 8, 16, 32})
        for (bool extended : {false, true})
            for (std::uint32_t seed : {1u, 2u}) cases.push_back({channels, extended, seed});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Modules, BusyIdentity, ::testing::ValuesIn(busy_cases()),
                         [](const ::testing::TestParamInfo<Busy>& p) {
                             return std::to_string(p.param.channels) + "ch_" +
                                    (p.param.extended ? "extended_" : "normal_") + std::to_string(p.param.seed);
                         });

// Channel states the busy songs reach only by chance: a 2-byte loop played
// far faster than one byte per frame, a one-shot sample that ends, the
// smoothing boundary and every pan bit combination.
TEST(MixerIdentity, ShortLoopsHighNotesAndPans) {
    ModuleBuilder b(4);
    Sample tiny;
    tiny.data = {100, -100};
    tiny.loop_start_words = 0;
    tiny.loop_length_words = 1;
    tiny.length_words = 1;
    b.sample(1, tiny);
    Sample shot;
    for (int i = 0; i < 300; ++i) shot.data.push_back(static_cast<std::int8_t>((i * 37) % 256 - 128));
    b.sample(2, shot);
    Sample tail;
    for (int i = 0; i < 64; ++i) tail.data.push_back(static_cast<std::int8_t>(i * 4 - 128));
    tail.loop_start_words = 8;
    tail.loop_length_words = 2;
    b.sample(3, tail);
    b.orders({0});
    const std::uint8_t pans[4] = {0x40, 0x80, 0xC0, 0x40};
    for (int row = 0; row < 64; ++row)
        for (int c = 0; c < 4; ++c) {
            Cell cell;
            if (row % 4 == c) {
                cell.period = static_cast<std::uint16_t>(row % 8 < 4 ? 29 + row : 1300 - row * 10);
                cell.sample = static_cast<std::uint8_t>(1 + (row + c) % 3);
                cell.pan_bits = pans[(row / 4 + c) % 4];
            }
            if (row % 7 == 0) cell.effect = 0, cell.param = 0x7C;
            b.cell(0, row, c, cell);
        }
    expect_same(b.build(), 120);
}

TEST(MixerIdentity, CorpusModules) {
    const std::vector<fs::path> files = module_files_in(ZINDLE_CORPUS_DIR);
    if (files.empty()) GTEST_SKIP() << "no corpus at " << ZINDLE_CORPUS_DIR;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<std::uint8_t> bytes = read_module_file(file);
        expect_same(bytes, 200, 0, false);
        expect_same(bytes, 40, 0xFFFFFFFFu - 100000u, false);
    }
}

}  // namespace
