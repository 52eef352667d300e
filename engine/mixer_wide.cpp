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

// Eight lanes in the eight 32-bit parts of a 256-bit vector, the same
// chain; the frame's sums over both halves meet in one 128-bit add.
class EightKernel {
public:
    [[gnu::always_inline]] EightKernel(const LaneSetup& s, std::int32_t* out) : out_(out) {
        coefficients_ = _mm256_or_si256(_mm256_slli_epi32(load(s.keep), 16), load(s.weight));
        coefficients_b_ = coefficients_;
        // Halved values of frames i, i + 1 come packed per half as lanes
        // 0-3 of both frames, then lanes 4-7 of both.
        left_ = pack_pairs(load(s.left));
        right_ = pack_pairs(load(s.right));
        p_ = _mm256_slli_epi32(load(s.last), 12);
        before_ = p_;
    }

    [[gnu::always_inline]] void silence(std::uint32_t l, bool second) {
        alignas(32) std::int32_t mask[WIDE_LANES] = {-1, -1, -1, -1, -1, -1, -1, -1};
        mask[l] = 0;
        const __m256i m = load(mask);
        coefficients_b_ = _mm256_and_si256(coefficients_b_, m);
        if (!second) coefficients_ = _mm256_and_si256(coefficients_, m);
    }
    [[gnu::always_inline]] void begin_pair() { coefficients_b_ = coefficients_; }

    [[gnu::always_inline]] void pair(std::uint32_t i) {
        const __m256i pa = step(p_, i, coefficients_);
        const __m256i pb = step(pa, i + 1, coefficients_b_);
        before_ = pa;
        p_ = pb;
        coefficients_ = coefficients_b_;
        add_heard(_mm256_packs_epi32(_mm256_srai_epi32(pa, 13), _mm256_srai_epi32(pb, 13)), i, true);
    }

    [[gnu::always_inline]] void single(std::uint32_t i) {
        before_ = p_;
        p_ = step(p_, i, coefficients_);
        add_heard(_mm256_packs_epi32(_mm256_srai_epi32(p_, 13), _mm256_setzero_si256()), i, false);
    }

    [[gnu::always_inline]] void finish(std::int32_t* p, std::int32_t* before) const {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), p_);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(before), before_);
    }

private:
    [[gnu::always_inline]] static __m256i load(const std::int32_t* v) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
    }
    [[gnu::always_inline]] static __m256i pack_pairs(__m256i v) { return _mm256_packs_epi32(v, v); }

    [[gnu::always_inline]] static __m256i step(__m256i p, std::uint32_t i, __m256i coefficients) {
        const __m256i x =
            _mm256_cvtepu16_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(staged + WIDE_LANES * i)));
        return _mm256_madd_epi16(_mm256_blend_epi16(_mm256_slli_epi32(p, 4), x, 0x55), coefficients);
    }

    [[gnu::always_inline]] void add_heard(__m256i heard, std::uint32_t i, bool two) {
        const __m256i sides = _mm256_hadd_epi32(_mm256_madd_epi16(heard, left_), _mm256_madd_epi16(heard, right_));
        const __m128i both = _mm_add_epi32(_mm256_castsi256_si128(sides), _mm256_extracti128_si256(sides, 1));
        const __m128i sums = _mm_shuffle_epi32(both, 0xD8);
        auto* to = reinterpret_cast<__m128i*>(out_ + 2 * i);
        if (two)
            _mm_storeu_si128(to, _mm_add_epi32(_mm_loadu_si128(to), sums));
        else
            _mm_storel_epi64(to, _mm_add_epi32(_mm_loadl_epi64(to), sums));
    }

    std::int32_t* out_;
    __m256i coefficients_, coefficients_b_, left_, right_, p_, before_;
};

// The eight rows side by side, 8 frames at a time (an 8 x 8 transpose).
void interleave_eight(std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; i += 8) {
        __m128i r[8];
        for (std::uint32_t l = 0; l < 8; ++l) r[l] = _mm_load_si128(reinterpret_cast<const __m128i*>(lane_rows[l] + i));
        __m128i a[8], b[8];
        for (std::uint32_t k = 0; k < 4; ++k) {
            a[2 * k] = _mm_unpacklo_epi16(r[2 * k], r[2 * k + 1]);
            a[2 * k + 1] = _mm_unpackhi_epi16(r[2 * k], r[2 * k + 1]);
        }
        // b[0..3]: lanes 0-3 of frames 0-1, 2-3, 4-5, 6-7; b[4..7]: lanes 4-7.
        for (std::uint32_t h = 0; h < 2; ++h) {
            b[4 * h] = _mm_unpacklo_epi32(a[4 * h], a[4 * h + 2]);
            b[4 * h + 1] = _mm_unpackhi_epi32(a[4 * h], a[4 * h + 2]);
            b[4 * h + 2] = _mm_unpacklo_epi32(a[4 * h + 1], a[4 * h + 3]);
            b[4 * h + 3] = _mm_unpackhi_epi32(a[4 * h + 1], a[4 * h + 3]);
        }
        auto* to = reinterpret_cast<__m128i*>(staged + WIDE_LANES * i);
        for (std::uint32_t k = 0; k < 4; ++k) {
            _mm_store_si128(to + 2 * k, _mm_unpacklo_epi64(b[k], b[k + 4]));
            _mm_store_si128(to + 2 * k + 1, _mm_unpackhi_epi64(b[k], b[k + 4]));
        }
    }
}

// Four rows side by side, 8 frames at a time.
void interleave_four(std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; i += 8) {
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
}

}  // namespace

void smooth_lanes_eight(const Lane* lanes, std::uint32_t count, std::int32_t* out, std::uint32_t frames) {
    interleave_eight(frames);
    smooth_lanes<EightKernel>(lanes, count, out, frames);
}

void smooth_lanes_wide(const Lane* lanes, std::uint32_t count, std::int32_t* out, std::uint32_t frames) {
    interleave_four(frames);
    smooth_lanes<WideKernel>(lanes, count, out, frames);
}

}  // namespace zindle::mixing
