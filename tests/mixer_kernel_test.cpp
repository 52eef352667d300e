// Each kernel of the mixer's table on its own, at every extension level
// this processor has, against the plain formulas: random and edge inputs,
// odd run lengths, lanes falling silent at every frame, the steps at the
// smoothing and staging limits, and loops from 1 byte to the longest the
// staging lays out. A level whose kernel is absent skips that check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mixer.h"
#include "mixer_kernels.h"
#include "mixer_lanes.h"
#include "mixer_rules.h"
#include "module_builder.h"
#include "player_state.h"

using namespace zindle;
using namespace zindle::mixing;

namespace {

constexpr std::uint32_t EDGE_STEPS[] = {1, 4095, 4096, 4097, 8191, 8192};
constexpr std::uint32_t LOOP_BYTES[] = {1, 2, 3, 7, 15, 16, 17, 100, 1023, LAID_OUT_MAX};

class Kernels : public ::testing::TestWithParam<MixerExtensions> {
protected:
    void SetUp() override {
        reset_engine();
        choose_processor_kernels(GetParam(), k_);
    }
    void TearDown() override {
        EXPECT_EQ(test::submitted_buffers(), 0) << "a kernel hands no buffer over";
        reset_engine();
    }

    MixerKernels k_{};
    std::mt19937 rng_{20261209};
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }
};

// Sample bytes with room for the blocks a stager may load past its frames.
std::vector<std::uint8_t> sample_bytes(std::mt19937& rng, std::size_t n) {
    std::vector<std::uint8_t> v(n + 64);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

std::int16_t staged_value(const std::uint8_t* data, std::uint32_t pos, std::int32_t volume) {
    return static_cast<std::int16_t>(static_cast<std::int8_t>(data[pos >> 12]) * volume);
}

std::vector<std::uint32_t> steps_up_to(std::uint32_t most, std::mt19937& rng) {
    std::vector<std::uint32_t> steps;
    for (std::uint32_t s : EDGE_STEPS)
        if (s <= most) steps.push_back(s);
    for (int i = 0; i < 6; ++i) steps.push_back(1 + static_cast<std::uint32_t>(rng() % most));
    return steps;
}

TEST_P(Kernels, StageGivesByteTimesVolume) {
    if (k_.stage == nullptr) GTEST_SKIP() << "no staging kernel at this level";
    for (std::uint32_t step : steps_up_to(k_.stage_max_step, rng_))
        for (std::uint32_t frames : {1u, 2u, 15u, 16u, 17u, 31u, 33u, 63u, 2047u}) {
            const auto data = sample_bytes(rng_, frames * step / 4096 + 2);
            const std::uint32_t pos = below(4096);
            const auto volume = static_cast<std::uint8_t>(below(256));
            std::vector<std::int16_t> to(frames + BLOCK_SLACK);
            k_.stage(data.data(), pos, step, volume, to.data(), frames);
            for (std::uint32_t i = 0; i < frames; ++i)
                ASSERT_EQ(to[i], staged_value(data.data(), pos + i * step, volume))
                    << "step " << step << " frames " << frames << " frame " << i;
        }
}

TEST_P(Kernels, SlopeMovesTheVolumeBeforeEachFrame) {
    if (k_.stage_slope == nullptr) GTEST_SKIP() << "no sloped staging kernel at this level";
    for (std::uint32_t step : steps_up_to(ONE_BYTE_STEP, rng_))
        for (std::int32_t change : {1, -1})
            for (std::uint32_t frames : {1u, 7u, 16u, 17u, 96u, 127u, 128u}) {
                const auto data = sample_bytes(rng_, frames * step / 4096 + 2);
                const std::uint32_t pos = below(4096);
                // The volume never reaches 0 nor passes 255 on the way.
                const auto volume =
                    static_cast<std::uint8_t>(change > 0 ? below(256 - frames) : frames + below(256 - frames));
                std::vector<std::int16_t> to(frames + BLOCK_SLACK);
                k_.stage_slope(data.data(), pos, step, volume, change, to.data(), frames);
                for (std::uint32_t i = 0; i < frames; ++i)
                    ASSERT_EQ(to[i], staged_value(data.data(), pos + i * step,
                                                  volume + change * static_cast<std::int32_t>(i + 1)))
                        << "step " << step << " change " << change << " frame " << i;
            }
}

TEST_P(Kernels, LoopWrapsEveryFrameIntoTheLoop) {
    if (k_.stage_loop == nullptr) GTEST_SKIP() << "no loop staging kernel at this level";
    for (std::uint32_t bytes : LOOP_BYTES) {
        const std::uint32_t loop_length = bytes << 12;
        const std::uint32_t loop_start = (1 + below(64)) << 12;
        const std::uint32_t loop_end = loop_start + loop_length;
        std::vector<std::uint8_t> laid(bytes + 16);
        for (std::uint32_t b = 0; b < bytes; ++b) laid[b] = static_cast<std::uint8_t>(rng_());
        for (std::uint32_t b = bytes; b < bytes + 16; ++b) laid[b] = laid[b - bytes];
        // Steps shorter than the loop, as the mixer hands them over.
        const std::uint32_t most = std::min(k_.stage_max_step, loop_length - 1);
        for (std::uint32_t step : steps_up_to(most, rng_))
            for (std::uint32_t frames : {1u, 17u, 33u, 1001u}) {
                const std::uint32_t start = loop_start + below(loop_length);
                const auto volume = static_cast<std::uint8_t>(1 + below(255));
                std::vector<std::int16_t> to(frames + BLOCK_SLACK);
                k_.stage_loop(laid.data(), start, loop_end, loop_length, step, volume, to.data(), frames);
                std::uint32_t pos = start;
                for (std::uint32_t i = 0; i < frames; ++i) {
                    ASSERT_EQ(to[i], staged_value(laid.data(), pos - loop_start, volume))
                        << "loop " << bytes << " bytes, step " << step << " frame " << i;
                    pos += step;
                    if (pos >= loop_end) pos -= loop_length;
                }
            }
    }
}

TEST_P(Kernels, ClipBoundsEverySumAndClearsIt) {
    if (k_.clip == nullptr) GTEST_SKIP() << "no clip kernel at this level";
    for (std::uint32_t frames : {1u, 3u, 4u, 5u, 2048u}) {
        std::vector<std::int32_t> sums(2 * frames);
        const std::int32_t edges[] = {30718, 30719, 30720, -30720, -30721, -30719, 0, 1 << 20, -(1 << 20)};
        for (std::size_t i = 0; i < sums.size(); ++i)
            sums[i] = i < std::size(edges) ? edges[i] : static_cast<std::int32_t>(below(200000)) - 100000;
        const std::vector<std::int32_t> before = sums;
        std::vector<std::int16_t> samples(2 * frames);
        k_.clip(sums.data(), samples.data(), frames);
        for (std::size_t i = 0; i < sums.size(); ++i) {
            ASSERT_EQ(samples[i], clip_sample(before[i])) << "sum " << before[i];
            ASSERT_EQ(sums[i], 0);
        }
    }
}

// The lanes' frames by the plain smoothing rule; sums per frame and side,
// and the last value each channel keeps.
struct Smoothed {
    std::vector<std::int32_t> sums;
    std::vector<std::int16_t> lasts;
};

Smoothed smooth_plainly(const Lane* lanes, std::uint32_t count, std::uint32_t frames) {
    const ChannelState& ch = player.channels;
    Smoothed out{std::vector<std::int32_t>(2 * frames), std::vector<std::int16_t>(count)};
    for (std::uint32_t l = 0; l < count; ++l) {
        const std::uint32_t c = lanes[l].channel;
        std::int32_t last = ch.last_out[c];
        for (std::uint32_t i = 0; i < lanes[l].sounding; ++i) {
            std::int32_t x = mixer_scratch.lane_rows[l][i];
            if (ch.step[c] <= SMOOTHING_MAX_STEP)
                x = last + (((x - last) * static_cast<std::int32_t>(ch.step[c])) >> 12);
            if ((ch.pan[c] & PAN_LEFT) != 0) out.sums[2 * i] += x >> 1;
            if ((ch.pan[c] & PAN_RIGHT) != 0) out.sums[2 * i + 1] += x >> 1;
            // A sample that ends sounds in its last frame but keeps the value before.
            if (!(lanes[l].ended && i + 1 == lanes[l].sounding)) last = x;
        }
        out.lasts[l] = static_cast<std::int16_t>(lanes[l].sounding == frames ? last : 0);
    }
    return out;
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

// Runs one smoothing kernel of the table over the lanes and checks sums or
// samples and the channels' last values against the plain rule.
void check_smoothing(const MixerKernels& k, const std::vector<Lane>& lanes, std::uint32_t frames,
                     const std::string& what) {
    const auto count = static_cast<std::uint32_t>(lanes.size());
    const Smoothed want = smooth_plainly(lanes.data(), count, frames);
    std::vector<std::int16_t> samples(2 * frames + 8, 0x5555);
    if (k.smooth_all != nullptr) {
        k.smooth_all(lanes.data(), count, samples.data(), frames);
        for (std::uint32_t i = 0; i < 2 * frames; ++i)
            ASSERT_EQ(samples[i], clip_sample(want.sums[i])) << what << ", frame " << i / 2;
    } else {
        std::vector<std::int32_t> sums(2 * frames + 8, 7);
        // Each group is staged in the first rows, as the mixer does.
        for (std::uint32_t at = 0; at < count; at += k.group_lanes) {
            const std::uint32_t group = std::min(k.group_lanes, count - at);
            for (std::uint32_t l = 0; l < group; ++l)
                std::copy_n(mixer_scratch.lane_rows[at + l], frames + BLOCK_SLACK, mixer_scratch.lane_rows[l]);
            k.smooth_group(lanes.data() + at, group, sums.data(), frames);
        }
        for (std::uint32_t i = 0; i < 2 * frames; ++i)
            ASSERT_EQ(sums[i], want.sums[i] + 7) << what << ", frame " << i / 2;
    }
    for (std::uint32_t l = 0; l < count; ++l)
        ASSERT_EQ(player.channels.last_out[lanes[l].channel], want.lasts[l]) << what << ", lane " << l;
}

TEST_P(Kernels, SmoothingWithALaneFallingSilentAtEveryFrame) {
    if (k_.smooth_all == nullptr && k_.smooth_group == nullptr) GTEST_SKIP() << "no smoothing kernel at this level";
    for (std::uint32_t frames : {1u, 2u, 5u, 16u, 33u}) {
        // The mixer hands over only lanes heard in the first frame.
        for (std::uint32_t silent = 1; silent <= frames; ++silent) {
            const auto lanes = random_lanes(rng_, 4, frames, {frames, silent, frames, frames}, {100, 4095, 4096, 8192});
            check_smoothing(k_, lanes, frames, "silent at " + std::to_string(silent) + " of " + std::to_string(frames));
        }
    }
}

TEST_P(Kernels, SmoothingOfEveryLaneCountAndStep) {
    if (k_.smooth_all == nullptr && k_.smooth_group == nullptr) GTEST_SKIP() << "no smoothing kernel at this level";
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
    if (k_.smooth_all == nullptr) GTEST_SKIP() << "no split smoothing at this level";
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

INSTANTIATE_TEST_SUITE_P(Levels, Kernels,
                         ::testing::Values(MixerExtensions::none, MixerExtensions::byte_shuffle, MixerExtensions::all),
                         [](const ::testing::TestParamInfo<MixerExtensions>& p) {
                             return p.param == MixerExtensions::none           ? std::string("none")
                                    : p.param == MixerExtensions::byte_shuffle ? std::string("byte_shuffle")
                                                                               : std::string("all");
                         });

}  // namespace
