// The AVX2 kernels' shared parts: where their frame sums go, and the
// four-lane smoothing kernel that both the plain and the split smoothing
// use. Included only by the files built with AVX2.
#pragma once

#include <immintrin.h>

#include "mixer_lanes.h"
#include "mixer_rules.h"

namespace zindle::mixing::x86 {

// Eight rows side by side into `to_chain`, 16 frames at a time.
void interleave_rows(const std::int16_t* const* rows, std::int16_t* to_chain, std::uint32_t frames);

namespace {

// Where the kernels put their frame sums, clipped into the samples: `put`
// takes left, right of frame i, then of i + 1 with `two`; `put_one` a
// frame's sums one by one.
// Saturating to 16 bits first changes nothing: the bounds lie inside.
struct ClipSums {
    std::int16_t* samples;
    [[gnu::always_inline]] void put(std::uint32_t i, __m128i two_sums, bool two) const {
        const __m128i packed = _mm_packs_epi32(two_sums, two_sums);
        const __m128i clipped =
            _mm_max_epi16(_mm_min_epi16(packed, _mm_set1_epi16(CLIP_HIGH)), _mm_set1_epi16(CLIP_LOW));
        if (two)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(samples + 2 * i), clipped);
        else
            _mm_storeu_si32(samples + 2 * i, clipped);
    }
    void put_one(std::uint32_t i, std::int32_t left, std::int32_t right) const {
        samples[2 * i] = clip_sample(left);
        samples[2 * i + 1] = clip_sample(right);
    }
};

// Four lanes in the four 32-bit parts of a 128-bit vector. x is blended
// into the lower 16 bits of P << 4 (which holds last in its upper 16), so
// one multiply-add by weight | keep << 16 gives the next P; the sides are
// summed by one horizontal add.
class WideKernel {
public:
    static constexpr std::uint32_t WIDTH = LANES;

    [[gnu::always_inline]] WideKernel(const LaneSetup& s, ClipSums out) : out_(out) {
        coefficients_ = _mm_or_si128(_mm_slli_epi32(load(s.keep), 16), load(s.weight));
        coefficients_b_ = coefficients_;
        left_ = _mm_packs_epi32(load(s.left), load(s.left));
        right_ = _mm_packs_epi32(load(s.right), load(s.right));
        p_ = _mm_slli_epi32(load(s.last), 12);
        before_ = p_;
    }

    // Lane l silent from the frame after the next pair's first (`second`)
    // or from the next pair on: its coefficients become 0, and so does P.
    [[gnu::always_inline]] void silence(std::uint32_t l, bool second) {
        alignas(16) std::int32_t mask[LANES] = {-1, -1, -1, -1};
        mask[l] = 0;
        const __m128i m = load(mask);
        coefficients_b_ = _mm_and_si128(coefficients_b_, m);
        if (!second) coefficients_ = _mm_and_si128(coefficients_, m);
    }
    [[gnu::always_inline]] void begin_pair() { coefficients_b_ = coefficients_; }

    // Frames i and i + 1.
    [[gnu::always_inline]] void pair(std::uint32_t i) {
        const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(mixer_scratch.staged + LANES * i));
        const __m128i zero = _mm_setzero_si128();
        const __m128i pa =
            _mm_madd_epi16(_mm_blend_epi16(_mm_slli_epi32(p_, 4), _mm_unpacklo_epi16(x, zero), 0x55), coefficients_);
        const __m128i pb =
            _mm_madd_epi16(_mm_blend_epi16(_mm_slli_epi32(pa, 4), _mm_unpackhi_epi16(x, zero), 0x55), coefficients_b_);
        before_ = pa;
        p_ = pb;
        coefficients_ = coefficients_b_;
        add_heard(_mm_packs_epi32(_mm_srai_epi32(pa, 13), _mm_srai_epi32(pb, 13)), i, true);
    }

    // Frame i alone, the last of an odd run.
    [[gnu::always_inline]] void single(std::uint32_t i) {
        const __m128i x =
            _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mixer_scratch.staged + LANES * i)));
        before_ = p_;
        p_ = _mm_madd_epi16(_mm_blend_epi16(_mm_slli_epi32(p_, 4), x, 0x55), coefficients_);
        add_heard(_mm_packs_epi32(_mm_srai_epi32(p_, 13), _mm_setzero_si128()), i, false);
    }

    [[gnu::always_inline]] void finish(std::int32_t* p, std::int32_t* before) const {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), p_);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(before), before_);
    }

private:
    [[gnu::always_inline]] static __m128i load(const std::int32_t* v) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
    }

    // heard: the lanes' halved values of frames i and i + 1 as 16-bit
    // numbers. The multiply-adds leave two partial sums per frame and side;
    // the horizontal add gives left of both frames, then right of both.
    [[gnu::always_inline]] void add_heard(__m128i heard, std::uint32_t i, bool two) {
        const __m128i sides = _mm_hadd_epi32(_mm_madd_epi16(heard, left_), _mm_madd_epi16(heard, right_));
        out_.put(i, _mm_shuffle_epi32(sides, 0xD8), two);
    }

    ClipSums out_;
    __m128i coefficients_, coefficients_b_, left_, right_, p_, before_;
};

}  // namespace

}  // namespace zindle::mixing::x86
