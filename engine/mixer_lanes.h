// The mixer's lanes: what a channel's walk over a stretch leaves for the
// smoothing, the scratch it is staged in, and the loop that drives a
// smoothing kernel over a run. Nothing here is specific to a processor;
// the kernels that include it are each built with their own instruction
// set, and everything with code here has internal linkage or is a
// template, so each build keeps its own copy.
#pragma once

#include <cstdint>

#include "mixer.h"
#include "player_state.h"

namespace zindle::mixing {

// Lanes of the four-lane kernels; the eight-lane kernels take up to
// WIDE_LANES in each chain of vectors, and up to MOST_CHAINS chains side by
// side: all the channels there can be.
inline constexpr std::uint32_t LANES = 4;
inline constexpr std::uint32_t WIDE_LANES = 8;
inline constexpr std::uint32_t MOST_CHAINS = 4;
inline constexpr std::uint32_t MOST_LANES = WIDE_LANES * MOST_CHAINS;
static_assert(MOST_LANES >= CHANNEL_SLOTS);
// Frames the staging may write past the end of a run, and the smoothing
// read past it, in whole blocks.
inline constexpr std::uint32_t BLOCK_SLACK = 32;
// The staged frames of chain k's eight lanes start at k * CHAIN_STRIDE.
inline constexpr std::uint32_t CHAIN_STRIDE = (FRAMES_PER_BUFFER + BLOCK_SLACK) * WIDE_LANES;
// Longest loop, in bytes, that the shuffled staging lays out.
inline constexpr std::uint32_t LAID_OUT_MAX = 1024;

// The production mixer's working memory; nothing in it outlives a stretch.
struct MixerScratch {
    // Per lane and frame, x of the smoothing (the sample byte times the
    // frame's volume), as a channel's walk writes it.
    alignas(32) std::int16_t lane_rows[MOST_LANES][FRAMES_PER_BUFFER + BLOCK_SLACK];
    // The same side by side for a kernel: frame i of lane l at n * i + l
    // for a kernel of n lanes.
    alignas(32) std::int16_t staged[MOST_CHAINS * CHAIN_STRIDE];
    // Left and right sums of the stretch being rendered, where the channels
    // are summed in groups; 0 between stretches.
    alignas(32) std::int32_t accumulator[FRAMES_PER_BUFFER * 2];
    // A short loop laid out once more, its first 16 bytes repeated behind.
    alignas(16) std::uint8_t laid_out[LAID_OUT_MAX + 16];
};
extern MixerScratch mixer_scratch;

// What a channel's walk over a run leaves for its lane.
struct Lane {
    std::uint32_t channel;
    std::uint32_t sounding;  // frames before the channel falls silent
    bool ended;              // its sample ended in frame sounding - 1
};

// The smoothing of a lane,
//   last + (((x - last) * step) >> 12),  x = sample * volume,
// is computed as P = last * keep + x * weight, last = P >> 12, with keep =
// 4096 - step and weight = step: the same value, since last * 4096 is a
// whole multiple of the divisor. Without smoothing keep is 0 and the weight
// 4096, which gives x. The value heard is P >> 13, which is last >> 1.
// When a lane falls silent its keep and weight become 0, so P stays 0.
struct LaneSetup {
    std::int32_t keep[MOST_LANES];
    std::int32_t weight[MOST_LANES];
    std::int32_t left[MOST_LANES];  // 1 if heard on that side
    std::int32_t right[MOST_LANES];
    std::int32_t last[MOST_LANES];
};

// Coefficients of the lanes from their channels into lanes 0 to width - 1
// of s (lanes past count are 0).
void set_up(const Lane* lanes, std::uint32_t count, std::uint32_t width, LaneSetup& s);
// The frame at which the next lane falls silent, after `from`.
std::uint32_t next_silence(const Lane* lanes, std::uint32_t count, std::uint32_t from, std::uint32_t frames);
// The lanes' last values into their channels once a run is mixed.
void store_lasts(const Lane* lanes, std::uint32_t count, std::uint32_t frames, const std::int32_t* p,
                 const std::int32_t* before);

namespace {

// Walked channels through the smoothing, by a kernel of up to
// Kernel::WIDTH lanes: the frames in pairs, and the lanes that fall silent
// on the way switched off at their frame.
template <class Kernel, class Target>
[[gnu::always_inline]] inline void smooth_lanes(const Lane* lanes, std::uint32_t count, Target out,
                                                std::uint32_t frames) {
    LaneSetup s;
    set_up(lanes, count, Kernel::WIDTH, s);
    Kernel k(s, out);
    std::uint32_t i = 0;
    std::uint32_t silent_at = next_silence(lanes, count, 0, frames);
    while (i + 1 < frames) {
        k.begin_pair();
        // Lanes falling silent in this pair's first or second frame.
        while (silent_at <= i + 1) {
            for (std::uint32_t l = 0; l < count; ++l)
                if (lanes[l].sounding == silent_at) k.silence(l, silent_at == i + 1);
            silent_at = next_silence(lanes, count, silent_at, frames);
        }
        k.pair(i);
        i += 2;
        // Between silences nothing changes from pair to pair.
        const std::uint32_t steady_end = silent_at < frames ? silent_at : frames;
        while (i + 1 < steady_end) {
            k.pair(i);
            i += 2;
        }
    }
    if (i < frames) {
        k.begin_pair();
        while (silent_at <= i) {
            for (std::uint32_t l = 0; l < count; ++l)
                if (lanes[l].sounding == silent_at) k.silence(l, false);
            silent_at = next_silence(lanes, count, silent_at, frames);
        }
        k.single(i);
    }
    alignas(32) std::int32_t p[Kernel::WIDTH];
    alignas(32) std::int32_t before[Kernel::WIDTH];
    k.finish(p, before);
    store_lasts(lanes, count, frames, p, before);
}

}  // namespace

}  // namespace zindle::mixing
