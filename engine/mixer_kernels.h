// The production mixer's processor kernels, chosen once into a table: the
// stagers that walk a channel into its lane, the smoothing of the lanes
// and the clip of the summed frames. Each kernel gives exactly the values
// of the plain formulas (mixer_rules.h); tests/mixer_kernel_test.cpp checks
// each one on its own.
#pragma once

#include <cstdint>

#include "mixer.h"
#include "mixer_lanes.h"

namespace zindle::mixing {

// `frames` frames of a channel at constant volume from `to` on: the sample
// byte at data[pos >> 12] times `volume`, pos moving on by `step` per
// frame. Up to BLOCK_SLACK - 1 frames past `frames` may be written.
using StageKernel = void (*)(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                             std::int16_t* to, std::uint32_t frames);
// The same with the volume moving by `change` before each frame.
using SlopeKernel = void (*)(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                             std::int32_t change, std::int16_t* to, std::uint32_t frames);
// The same inside a loop of whole bytes [loop_end - loop_length, loop_end)
// laid out at `laid` with its first 16 bytes repeated behind it; pos lies
// inside the loop and wraps by the loop's length.
using LoopKernel = void (*)(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end,
                            std::uint32_t loop_length, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                            std::uint32_t frames);
// The walked lanes (their rows in mixer_scratch.lane_rows) through the
// smoothing: added into `sums` (left, right per frame), or clipped straight
// into `samples`.
using GroupKernel = void (*)(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames);
using AllKernel = void (*)(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames);
// `frames` frames of sums clipped into their samples; the sums left at 0.
using ClipKernel = void (*)(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames);

struct MixerKernels {
    StageKernel stage;      // steps up to stage_max_step; null: none
    LoopKernel stage_loop;  // the same steps
    std::uint32_t stage_max_step;
    SlopeKernel stage_slope;  // steps up to ONE_BYTE_STEP; null: none
    // The smoothing takes either every channel heard in a stretch at once
    // (smooth_all), or groups of up to group_lanes lanes into the
    // accumulator (smooth_group), which `clip` then moves into the samples.
    // With neither, the production mixer is the reference mixer.
    AllKernel smooth_all;
    GroupKernel smooth_group;
    std::uint32_t group_lanes;
    ClipKernel clip;

    bool operator==(const MixerKernels&) const = default;
};

// The kernels chosen and what chose them.
struct MixerChoice {
    MixerKernels kernels;
    bool chosen;  // false: choose before the next buffer
    MixerExtensions most = MixerExtensions::all;
    // Tests: the warm-up, in frames, with which split runs are cut; 0 lets
    // the lanes' steps decide.
    std::uint32_t split_warm_up;
};
extern MixerChoice mixer_choice;

// The kernels this processor has, up to `most`, into `k` (all null where
// it has none). Defined by the processor's kernel folder, or by
// mixer_no_kernels.cpp in builds without one.
void choose_processor_kernels(MixerExtensions most, MixerKernels& k);

}  // namespace zindle::mixing
