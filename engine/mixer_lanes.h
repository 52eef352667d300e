// The mixer's lanes: what a channel's walk over a run leaves for the
// smoothing, and the loop that drives a smoothing kernel over a run. Shared
// by the mixer and its AVX2 kernel, which is built on its own with the
// wider instruction set; everything with code here has internal linkage,
// so each build keeps its own copy.
#pragma once

#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "mixer.h"

namespace zindle::mixing {

// Lanes of the SSE2 kernel; the AVX2 kernels take up to WIDE_LANES in each
// chain of 256-bit vectors, and up to MOST_CHAINS chains side by side: all
// the channels there can be.
inline constexpr std::uint32_t LANES = 4;
inline constexpr std::uint32_t WIDE_LANES = 8;
inline constexpr std::uint32_t MOST_CHAINS = 4;
inline constexpr std::uint32_t MOST_LANES = WIDE_LANES * MOST_CHAINS;
// Frames the staging may write past the end of a run, and the smoothing
// read past it, in whole blocks.
inline constexpr std::uint32_t BLOCK_SLACK = 32;
// The bounds of an output sample.
inline constexpr std::int16_t CLIP_HIGH = 30719;
inline constexpr std::int16_t CLIP_LOW = -30720;

// Per lane and frame, x of the smoothing (the sample byte times the frame's
// volume), as a channel's walk writes it.
extern std::int16_t lane_rows[MOST_LANES][FRAMES_PER_BUFFER + BLOCK_SLACK];
// The same side by side for the kernel: frame i of lane l at n * i + l for
// a kernel of n lanes; chain k's eight lanes start at k * CHAIN_STRIDE.
inline constexpr std::uint32_t CHAIN_STRIDE = (FRAMES_PER_BUFFER + BLOCK_SLACK) * WIDE_LANES;
extern std::int16_t staged[MOST_CHAINS * CHAIN_STRIDE];

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

// The AVX2 kernels (mixer_wide.cpp), where the build has them: up to LANES
// lanes, and up to MOST_LANES, each interleaving the rows itself. They
// take every channel heard in a stretch at once and clip the frames
// straight into its samples.
void smooth_lanes_wide(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames);
void smooth_lanes_chained(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames);
// Steps of up to one sample byte per frame, and the AVX2 staging's limit.
inline constexpr std::uint32_t ONE_BYTE_STEP = 4096;
inline constexpr std::uint32_t WIDE_SHUFFLE_MAX_STEP = 8192;
// Steps up to WIDE_SHUFFLE_MAX_STEP; up to 31 frames past `frames` may be
// staged.
void stage_shuffled_wide(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                         std::int16_t* to, std::uint32_t frames);
void stage_shuffled_loop_wide(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end,
                              std::uint32_t loop_length, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                              std::uint32_t frames);


namespace {

#ifdef __SSE2__
// Adds the left and right sums of frame i (and i + 1 with `two`) into the
// accumulator at `out`.
[[gnu::always_inline]] inline void add_sums(std::int32_t* out, std::uint32_t i, __m128i sums, bool two) {
    auto* to = reinterpret_cast<__m128i*>(out + 2 * i);
    if (two)
        _mm_storeu_si128(to, _mm_add_epi32(_mm_loadu_si128(to), sums));
    else
        _mm_storel_epi64(to, _mm_add_epi32(_mm_loadl_epi64(to), sums));
}
#endif

// The first four rows side by side, frame after frame, in blocks of 8
// frames from the block holding frame `from` to frame `to` (each build with
// its own instruction set).
[[gnu::always_inline]] inline void interleave_four(std::uint32_t from, std::uint32_t to_frame) {
#if defined(__SSE2__) && !defined(ZINDLE_PORTABLE_LANES)
    for (std::uint32_t i = from & ~7u; i < to_frame; i += 8) {
        const auto row = [i](std::uint32_t l) { return _mm_load_si128(reinterpret_cast<const __m128i*>(lane_rows[l] + i)); };
        const __m128i r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
        const __m128i a = _mm_unpacklo_epi16(r0, r1), b = _mm_unpackhi_epi16(r0, r1);
        const __m128i c = _mm_unpacklo_epi16(r2, r3), d = _mm_unpackhi_epi16(r2, r3);
        auto* to = reinterpret_cast<__m128i*>(staged + LANES * i);
        _mm_store_si128(to, _mm_unpacklo_epi32(a, c));
        _mm_store_si128(to + 1, _mm_unpackhi_epi32(a, c));
        _mm_store_si128(to + 2, _mm_unpacklo_epi32(b, d));
        _mm_store_si128(to + 3, _mm_unpackhi_epi32(b, d));
    }
#else
    for (std::uint32_t i = from; i < to_frame; ++i)
        for (std::uint32_t l = 0; l < LANES; ++l) staged[LANES * i + l] = lane_rows[l][i];
#endif
}

// Up to four walked channels through the smoothing, into the accumulator,
// by a kernel of either build: the frames in pairs, and the lanes that fall
// silent on the way switched off at their frame.
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
