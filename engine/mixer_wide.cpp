// The smoothing kernel for processors with AVX2, built with it: the same
// lanes and frames as the SSE2 kernel of the mixer, in fewer instructions.
// x is blended into the lower 16 bits of P << 4 (which holds last in its
// upper 16), so one multiply-add by weight | keep << 16 gives the next P;
// the sides are summed by one horizontal add.
#include <immintrin.h>

#include "mixer_lanes.h"

namespace zindle::mixing {

namespace {

class WideKernel {
public:
    [[gnu::always_inline]] WideKernel(const LaneSetup& s, std::int32_t* out) : out_(out) {
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
        const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(staged + LANES * i));
        const __m128i zero = _mm_setzero_si128();
        const __m128i pa =
            _mm_madd_epi16(_mm_blend_epi16(_mm_slli_epi32(p_, 4), _mm_unpacklo_epi16(x, zero), 0x55), coefficients_);
        const __m128i pb = _mm_madd_epi16(_mm_blend_epi16(_mm_slli_epi32(pa, 4), _mm_unpackhi_epi16(x, zero), 0x55),
                                          coefficients_b_);
        before_ = pa;
        p_ = pb;
        coefficients_ = coefficients_b_;
        add_heard(_mm_packs_epi32(_mm_srai_epi32(pa, 13), _mm_srai_epi32(pb, 13)), i, true);
    }

    // Frame i alone, the last of an odd run.
    [[gnu::always_inline]] void single(std::uint32_t i) {
        const __m128i x = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(staged + LANES * i)));
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
        const __m128i sums = _mm_shuffle_epi32(sides, 0xD8);
        auto* to = reinterpret_cast<__m128i*>(out_ + 2 * i);
        if (two)
            _mm_storeu_si128(to, _mm_add_epi32(_mm_loadu_si128(to), sums));
        else
            _mm_storel_epi64(to, _mm_add_epi32(_mm_loadl_epi64(to), sums));
    }

    std::int32_t* out_;
    __m128i coefficients_, coefficients_b_, left_, right_, p_, before_;
};

}  // namespace

void smooth_lanes_wide(const Lane* lanes, std::uint32_t count, std::int32_t* out, std::uint32_t frames) {
    smooth_lanes<WideKernel>(lanes, count, out, frames);
}

}  // namespace zindle::mixing
