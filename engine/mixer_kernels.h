// The production mixer's kernels, chosen once into a table: the stagers
// that walk a channel into its lane, the smoothing of the lanes and the
// clip of the summed frames. The table starts with the plain kernels
// (mixer_plain.cpp), and the processor's ladder puts its own in their
// slots, so every slot always holds a kernel. Each kernel gives exactly the
// plain kernel's values for every input of its slot;
// tests/mixer_kernel_test.cpp checks each one against the plain one.
#pragma once

#include <cstdint>

#include "mixer.h"
#include "mixer_lanes.h"

namespace zindle::mixing {

// `frames` frames of a channel at constant volume from `to` on: the sample
// byte at data[pos >> 12] times `volume`, pos moving on by `step` (any step)
// per frame. Up to BLOCK_SLACK - 1 frames past `frames` may be written.
using StageKernel = void (*)(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                             std::int16_t* to, std::uint32_t frames);
// The same with the volume moving by `change` before each frame.
using SlopeKernel = void (*)(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                             std::int32_t change, std::int16_t* to, std::uint32_t frames);
// The same inside a loop of whole bytes [loop_end - loop_length, loop_end)
// laid out at `laid` with its first 16 bytes repeated behind it; pos lies
// inside the loop and wraps by the loop's length, which is longer than the
// step.
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
    StageKernel stage;
    LoopKernel stage_loop;
    // Whether loops of whole bytes go through stage_loop, laid out: the copy
    // pays for stagers that read blocks of bytes, not for the plain one.
    bool lay_out_loops;
    SlopeKernel stage_slope;
    // The smoothing takes either every channel heard in a stretch at once
    // (smooth_all, where all_at_once), or groups of up to group_lanes lanes
    // into the accumulator (smooth_group), which `clip` then moves into the
    // samples.
    bool all_at_once;
    AllKernel smooth_all;
    GroupKernel smooth_group;
    std::uint32_t group_lanes;
    ClipKernel clip;

    bool operator==(const MixerKernels&) const = default;
};

// The plain kernels: every rule written out frame by frame, lane by lane.
// They are the table in builds without processor kernels, the kernels of
// the plain level, and what a processor's kernel hands the inputs it does
// not take (a step longer than its blocks hold).
namespace plain {
void stage(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
           std::uint32_t frames);
void stage_slope(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                 std::int32_t change, std::int16_t* to, std::uint32_t frames);
void stage_loop(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end, std::uint32_t loop_length,
                std::uint32_t step, std::uint8_t volume, std::int16_t* to, std::uint32_t frames);
void smooth_group(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames);
void smooth_all(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames);
void clip(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames);
}  // namespace plain

inline constexpr MixerKernels PLAIN_KERNELS{.stage = plain::stage,
                                            .stage_loop = plain::stage_loop,
                                            .lay_out_loops = false,
                                            .stage_slope = plain::stage_slope,
                                            .all_at_once = false,
                                            .smooth_all = plain::smooth_all,
                                            .smooth_group = plain::smooth_group,
                                            .group_lanes = LANES,
                                            .clip = plain::clip};

// The kernels chosen and what chose them.
struct MixerChoice {
    MixerKernels kernels;
    bool chosen;  // false: choose before the next buffer
    MixerLevel most = TOP_MIXER_LEVEL;
    // Tests: the warm-up, in frames, with which split runs are cut; 0 lets
    // the lanes' steps decide.
    std::uint32_t split_warm_up;
};
extern MixerChoice mixer_choice;

// Split runs (the smoothing cut in halves, the second from a guess): the
// warm-up after which a guessed chain has met the true one, in frames of
// the slowest lane, about 16 times the 4096 / step frames that shrink a
// difference by e; runs shorter than SPLIT_MIN_FACTOR warm-ups are not
// split.
constexpr std::uint32_t WARM_UP_STEPS = 16 * 4096;
constexpr std::uint32_t SPLIT_MIN_FACTOR = 2;

// Warm-up frames the lanes need, or 0 where a lane never forgets (step 0).
inline std::uint32_t split_warm_up(const LaneSetup& s) {
    if (mixer_choice.split_warm_up != 0) return mixer_choice.split_warm_up;
    std::uint32_t most = 2;
    for (std::uint32_t l = 0; l < LANES; ++l) {
        if (s.keep[l] == 0) continue;
        if (s.weight[l] == 0) return 0;
        const std::uint32_t need = WARM_UP_STEPS / static_cast<std::uint32_t>(s.weight[l]) + 1;
        if (need > most) most = need;
    }
    return most;
}

// The kernels this processor has, up to `most`, into the slots of `k`,
// which holds the plain kernels or those of a lower level; the slots it has
// nothing for keep what they hold. Defined by the processor's kernel
// folder, or by mixer_no_kernels.cpp in builds without one.
void choose_processor_kernels(MixerLevel most, MixerKernels& k);

// The table for `most`: the plain kernels, then the processor's up to it.
MixerKernels kernels_up_to(MixerLevel most);

}  // namespace zindle::mixing
