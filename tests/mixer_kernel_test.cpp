// Each slot of the mixer's table at every level this processor has,
// against the plain kernel of that slot: random and edge inputs, odd run
// lengths, lanes falling silent at every frame, the steps at the smoothing
// and staging limits and past them (which a processor's stager hands to the
// plain one), and loops from 1 byte to the longest the staging lays out. A
// slot that still holds the plain kernel at a level is the reference there
// and is not compared with itself; the plain kernels are held to the
// reference mixer by the identity and golden tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine_harness.h"
#include "mixer.h"
#include "mixer_kernels.h"
#include "mixer_lanes.h"
#include "mixer_rules.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::mixing;

namespace {

constexpr std::uint32_t EDGE_STEPS[] = {1, 4095, 4096, 4097, 8191, 8192, 8193, 12288, 20000};
constexpr std::uint32_t LOOP_BYTES[] = {1, 2, 3, 7, 15, 16, 17, 100, 1023, LAID_OUT_MAX};
// Longest step the tests hand a stager: past every processor's blocks.
constexpr std::uint32_t MOST_STEP = 3 * 8192;

class Kernels : public ::testing::TestWithParam<MixerLevel> {
protected:
    void SetUp() override {
        reset_engine();
        k_ = kernels_up_to(GetParam());
    }
    void TearDown() override {
        EXPECT_EQ(test::submitted_buffers(), 0) << "a kernel hands no buffer over";
        reset_engine();
    }

    MixerKernels k_{};
    const MixerKernels& plain_ = PLAIN_KERNELS;
    std::mt19937 rng_{20261209};
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }
};

#define SKIP_IF_PLAIN(slot) \
    if (k_.slot == plain_.slot) GTEST_SKIP() << "the plain " #slot " is the reference at this level"

// Sample bytes with room for the blocks a stager may load past its frames.
std::vector<std::uint8_t> sample_bytes(std::mt19937& rng, std::size_t n) {
    std::vector<std::uint8_t> v(n + 64);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

std::vector<std::uint32_t> steps_up_to(std::uint32_t most, std::mt19937& rng) {
    std::vector<std::uint32_t> steps;
    for (std::uint32_t s : EDGE_STEPS)
        if (s <= most) steps.push_back(s);
    for (int i = 0; i < 6; ++i) steps.push_back(1 + static_cast<std::uint32_t>(rng() % most));
    return steps;
}

// The frames a stager is asked for, where a kernel and the plain one must
// agree; what a kernel writes past them is its own slack.
void expect_same_frames(const std::vector<std::int16_t>& got, const std::vector<std::int16_t>& want,
                        std::uint32_t frames, const std::string& what) {
    for (std::uint32_t i = 0; i < frames; ++i) ASSERT_EQ(got[i], want[i]) << what << ", frame " << i;
}

TEST(KernelTable, EverySlotHoldsAKernelAtEveryLevelAndPlainIsTheFloor) {
    EXPECT_EQ(kernels_up_to(MixerLevel::plain), PLAIN_KERNELS);
    for (const MixerLevel level : MIXER_LEVELS) {
        const MixerKernels k = kernels_up_to(level);
        EXPECT_NE(k.stage, nullptr) << mixer_level_name(level);
        EXPECT_NE(k.stage_loop, nullptr) << mixer_level_name(level);
        EXPECT_NE(k.stage_slope, nullptr) << mixer_level_name(level);
        EXPECT_NE(k.smooth_all, nullptr) << mixer_level_name(level);
        EXPECT_NE(k.smooth_group, nullptr) << mixer_level_name(level);
        EXPECT_NE(k.clip, nullptr) << mixer_level_name(level);
        EXPECT_GE(k.group_lanes, 1u) << mixer_level_name(level);
        EXPECT_LE(k.group_lanes, LANES) << mixer_level_name(level);
    }
}

TEST_P(Kernels, StageGivesThePlainFrames) {
    SKIP_IF_PLAIN(stage);
    for (std::uint32_t step : steps_up_to(MOST_STEP, rng_))
        for (std::uint32_t frames : {1u, 2u, 15u, 16u, 17u, 31u, 33u, 63u, 2047u}) {
            const auto data = sample_bytes(rng_, std::uint64_t{frames} * step / 4096 + 2);
            const std::uint32_t pos = below(4096);
            const auto volume = static_cast<std::uint8_t>(below(256));
            std::vector<std::int16_t> got(frames + BLOCK_SLACK), want(frames);
            k_.stage(data.data(), pos, step, volume, got.data(), frames);
            plain_.stage(data.data(), pos, step, volume, want.data(), frames);
            expect_same_frames(got, want, frames, "step " + std::to_string(step) + ", " + std::to_string(frames));
        }
}

TEST_P(Kernels, SlopeGivesThePlainFrames) {
    SKIP_IF_PLAIN(stage_slope);
    for (std::uint32_t step : steps_up_to(MOST_STEP, rng_))
        for (std::int32_t change : {1, -1})
            for (std::uint32_t frames : {1u, 7u, 16u, 17u, 96u, 127u, 128u}) {
                const auto data = sample_bytes(rng_, std::uint64_t{frames} * step / 4096 + 2);
                const std::uint32_t pos = below(4096);
                // The volume never reaches 0 nor passes 255 on the way.
                const auto volume =
                    static_cast<std::uint8_t>(change > 0 ? below(256 - frames) : frames + below(256 - frames));
                std::vector<std::int16_t> got(frames + BLOCK_SLACK), want(frames);
                k_.stage_slope(data.data(), pos, step, volume, change, got.data(), frames);
                plain_.stage_slope(data.data(), pos, step, volume, change, want.data(), frames);
                expect_same_frames(got, want, frames,
                                   "step " + std::to_string(step) + ", change " + std::to_string(change));
            }
}

TEST_P(Kernels, LoopGivesThePlainFrames) {
    SKIP_IF_PLAIN(stage_loop);
    for (std::uint32_t bytes : LOOP_BYTES) {
        const std::uint32_t loop_length = bytes << 12;
        const std::uint32_t loop_start = (1 + below(64)) << 12;
        const std::uint32_t loop_end = loop_start + loop_length;
        std::vector<std::uint8_t> laid(bytes + 16);
        for (std::uint32_t b = 0; b < bytes; ++b) laid[b] = static_cast<std::uint8_t>(rng_());
        for (std::uint32_t b = bytes; b < bytes + 16; ++b) laid[b] = laid[b - bytes];
        // Steps shorter than the loop, as the mixer hands them over.
        for (std::uint32_t step : steps_up_to(std::min(MOST_STEP, loop_length - 1), rng_))
            for (std::uint32_t frames : {1u, 17u, 33u, 1001u}) {
                const std::uint32_t start = loop_start + below(loop_length);
                const auto volume = static_cast<std::uint8_t>(1 + below(255));
                std::vector<std::int16_t> got(frames + BLOCK_SLACK), want(frames);
                k_.stage_loop(laid.data(), start, loop_end, loop_length, step, volume, got.data(), frames);
                plain_.stage_loop(laid.data(), start, loop_end, loop_length, step, volume, want.data(), frames);
                expect_same_frames(got, want, frames,
                                   "loop " + std::to_string(bytes) + " bytes, step " + std::to_string(step));
            }
    }
}

TEST_P(Kernels, ClipGivesThePlainSamplesAndClearsTheSums) {
    SKIP_IF_PLAIN(clip);
    for (std::uint32_t frames : {1u, 3u, 4u, 5u, 2048u}) {
        std::vector<std::int32_t> sums(2 * frames);
        const std::int32_t edges[] = {30718, 30719, 30720, -30720, -30721, -30719, 0, 1 << 20, -(1 << 20)};
        for (std::size_t i = 0; i < sums.size(); ++i)
            sums[i] = i < std::size(edges) ? edges[i] : static_cast<std::int32_t>(below(200000)) - 100000;
        std::vector<std::int32_t> plain_sums = sums;
        std::vector<std::int16_t> got(2 * frames), want(2 * frames);
        k_.clip(sums.data(), got.data(), frames);
        plain_.clip(plain_sums.data(), want.data(), frames);
        EXPECT_EQ(got, want) << frames << " frames";
        EXPECT_EQ(sums, plain_sums) << frames << " frames";
    }
}

// Sets up `count` channels with random staged rows, steps from `steps`,
// pans and last values, the lanes falling silent where `sounding` says.
std::vector<Lane> random_lanes(std::mt19937& rng, std::uint32_t count, std::uint32_t frames,
                               const std::vector<std::uint32_t>& sounding, const std::vector<std::uint32_t>& steps) {
    constexpr std::uint8_t pans[] = {PAN_LEFT, PAN_RIGHT, PAN_CENTRE, 0};
    ChannelState& ch = player.channels;
    std::vector<Lane> lanes;
    for (std::uint32_t l = 0; l < count; ++l) {
        ch.step[l] = steps[l % steps.size()];
        ch.pan[l] = pans[rng() % 4];
        ch.last_out[l] = static_cast<std::int16_t>(static_cast<std::int32_t>(rng() % 65281) - 32640);
        for (std::uint32_t i = 0; i < frames + BLOCK_SLACK; ++i)
            mixer_scratch.lane_rows[l][i] = static_cast<std::int16_t>((static_cast<std::int32_t>(rng() % 256) - 128) *
                                                                      static_cast<std::int32_t>(rng() % 256));
        const std::uint32_t s = sounding[l % sounding.size()];
        lanes.push_back({l, s, s > 0 && rng() % 2 == 0});
    }
    return lanes;
}

// What a smoothing leaves: the sums (left, right per frame) or the clipped
// samples, and each lane's last value.
struct Smoothed {
    std::vector<std::int32_t> sums;
    std::vector<std::int16_t> samples;
    std::vector<std::int16_t> lasts;
};

// The staged rows and last values random_lanes set up, put back before
// each smoothing.
struct Staged {
    std::vector<std::vector<std::int16_t>> rows;
    std::vector<std::int16_t> lasts;

    explicit Staged(std::uint32_t count) {
        for (std::uint32_t l = 0; l < count; ++l) {
            rows.emplace_back(std::begin(mixer_scratch.lane_rows[l]), std::end(mixer_scratch.lane_rows[l]));
            lasts.push_back(player.channels.last_out[l]);
        }
    }
    void put_back() const {
        for (std::uint32_t l = 0; l < rows.size(); ++l) {
            std::copy(rows[l].begin(), rows[l].end(), mixer_scratch.lane_rows[l]);
            player.channels.last_out[l] = lasts[l];
        }
    }
};

// The lanes through a group slot of up to `width` lanes, each group staged
// in the first rows as the mixer does, into sums that start at 7.
Smoothed smooth_in_groups(GroupKernel group, std::uint32_t width, const Staged& staged, const std::vector<Lane>& lanes,
                          std::uint32_t frames) {
    staged.put_back();
    const auto count = static_cast<std::uint32_t>(lanes.size());
    Smoothed out;
    out.sums.assign(2 * frames + 8, 7);
    for (std::uint32_t at = 0; at < count; at += width) {
        const std::uint32_t n = std::min(width, count - at);
        for (std::uint32_t l = 0; l < n; ++l)
            std::copy(staged.rows[at + l].begin(), staged.rows[at + l].end(), mixer_scratch.lane_rows[l]);
        group(lanes.data() + at, n, out.sums.data(), frames);
    }
    for (const Lane& lane : lanes) out.lasts.push_back(player.channels.last_out[lane.channel]);
    return out;
}

// The lanes through a slot that takes them all, into samples.
Smoothed smooth_at_once(AllKernel all, const Staged& staged, const std::vector<Lane>& lanes, std::uint32_t frames) {
    staged.put_back();
    Smoothed out;
    out.samples.assign(2 * frames + 8, 0x5555);
    all(lanes.data(), static_cast<std::uint32_t>(lanes.size()), out.samples.data(), frames);
    for (const Lane& lane : lanes) out.lasts.push_back(player.channels.last_out[lane.channel]);
    return out;
}

// Each smoothing slot that is not the plain one against the plain one.
void check_smoothing(const MixerKernels& k, const std::vector<Lane>& lanes, std::uint32_t frames,
                     const std::string& what) {
    const MixerKernels& plain = PLAIN_KERNELS;
    const Staged staged(static_cast<std::uint32_t>(lanes.size()));
    if (k.smooth_group != plain.smooth_group) {
        const Smoothed want = smooth_in_groups(plain.smooth_group, k.group_lanes, staged, lanes, frames);
        const Smoothed got = smooth_in_groups(k.smooth_group, k.group_lanes, staged, lanes, frames);
        for (std::uint32_t i = 0; i < 2 * frames + 8; ++i)
            ASSERT_EQ(got.sums[i], want.sums[i]) << what << ", smooth_group, frame " << i / 2;
        ASSERT_EQ(got.lasts, want.lasts) << what << ", smooth_group's last values";
    }
    if (k.smooth_all != plain.smooth_all) {
        const Smoothed want = smooth_at_once(plain.smooth_all, staged, lanes, frames);
        const Smoothed got = smooth_at_once(k.smooth_all, staged, lanes, frames);
        for (std::uint32_t i = 0; i < 2 * frames + 8; ++i)
            ASSERT_EQ(got.samples[i], want.samples[i]) << what << ", smooth_all, frame " << i / 2;
        ASSERT_EQ(got.lasts, want.lasts) << what << ", smooth_all's last values";
    }
}

#define SKIP_IF_PLAIN_SMOOTHING()                                                     \
    if (k_.smooth_group == plain_.smooth_group && k_.smooth_all == plain_.smooth_all) \
    GTEST_SKIP() << "the plain smoothing is the reference at this level"

TEST_P(Kernels, SmoothingWithALaneFallingSilentAtEveryFrame) {
    SKIP_IF_PLAIN_SMOOTHING();
    for (std::uint32_t frames : {1u, 2u, 5u, 16u, 33u}) {
        // The mixer hands over only lanes heard in the first frame.
        for (std::uint32_t silent = 1; silent <= frames; ++silent) {
            const auto lanes = random_lanes(rng_, 4, frames, {frames, silent, frames, frames}, {100, 4095, 4096, 8192});
            check_smoothing(k_, lanes, frames, "silent at " + std::to_string(silent) + " of " + std::to_string(frames));
        }
    }
}

TEST_P(Kernels, SmoothingOfEveryLaneCountAndStep) {
    SKIP_IF_PLAIN_SMOOTHING();
    for (std::uint32_t count = 1; count <= CHANNEL_SLOTS; ++count)
        for (std::uint32_t frames : {3u, 882u, 2047u}) {
            std::vector<std::uint32_t> steps{0, 1, 4095, 4096, 8192, 1 + below(4095), 1 + below(4095)};
            std::vector<std::uint32_t> sounding{frames, frames, 1 + below(frames), frames};
            const auto lanes = random_lanes(rng_, count, frames, sounding, steps);
            check_smoothing(k_, lanes, frames, std::to_string(count) + " lanes, " + std::to_string(frames) + " frames");
        }
}

// Long runs of up to four lanes that all sound are split into pieces that
// start from a guess; a warm-up of 2 frames makes most guesses miss and
// takes the path that mends them.
TEST_P(Kernels, SplitRunsGiveThePlainFramesWhetherGuessesMeetOrNot) {
    if (!k_.all_at_once || k_.smooth_all == plain_.smooth_all) GTEST_SKIP() << "no split smoothing at this level";
    for (std::uint32_t warm_up : {0u, 2u, 6u})
        for (std::uint32_t count = 1; count <= LANES; ++count)
            for (std::uint32_t frames : {2048u, 2047u, 1500u}) {
                mixer_choice.split_warm_up = warm_up;
                std::vector<std::uint32_t> steps{1 + below(4095), 4095, 2000 + below(2000), 4096};
                const auto lanes = random_lanes(rng_, count, frames, {frames}, steps);
                check_smoothing(k_, lanes, frames,
                                "warm-up " + std::to_string(warm_up) + ", " + std::to_string(count) + " lanes");
            }
    mixer_choice.split_warm_up = 0;
}

INSTANTIATE_TEST_SUITE_P(Levels, Kernels, ::testing::ValuesIn(MIXER_LEVELS),
                         [](const ::testing::TestParamInfo<MixerLevel>& p) {
                             return std::string(mixer_level_name(p.param));
                         });

}  // namespace
