// The SSE2 kernels: the smoothing of up to four lanes at once into the
// accumulator, and the clip of the accumulated sums into the samples.
#include <emmintrin.h>

#include "mixer_kernels.h"
#include "mixer_rules.h"
#include "x86/interleave.h"
#include "x86/kernels.h"

namespace zindle::mixing::x86 {

namespace {

// Adds the left and right sums of frame i (and i + 1 with `two`) into the
// accumulator at `out`.
[[gnu::always_inline]] inline void add_sums(std::int32_t* out, std::uint32_t i, __m128i sums, bool two) {
    auto* to = reinterpret_cast<__m128i*>(out + 2 * i);
    if (two)
        _mm_storeu_si128(to, _mm_add_epi32(_mm_loadu_si128(to), sums));
    else
        _mm_storel_epi64(to, _mm_add_epi32(_mm_loadl_epi64(to), sums));
}

// Lanes in the four 32-bit parts of a vector. The chain from frame to frame
// is P << 4, which holds last in its upper 16 bits, times keep << 16 in one
// multiply-add (the lower 16 bits meet 0), plus x * weight formed beside it.
// The `_b` coefficients are those of the second frame of a pair.
class LaneKernel {
public:
    static constexpr std::uint32_t WIDTH = LANES;

    LaneKernel(const LaneSetup& s, std::int32_t* out) : out_(out) {
        keep_ = _mm_slli_epi32(load(s.keep), 16);
        weight_ = load(s.weight);
        keep_b_ = keep_;
        weight_b_ = weight_;
        left_ = _mm_packs_epi32(load(s.left), load(s.left));
        right_ = _mm_packs_epi32(load(s.right), load(s.right));
        p_ = _mm_slli_epi32(load(s.last), 12);
        before_ = p_;
    }

    // Lane l silent from the frame after the next pair's first (`second`)
    // or from the next pair on.
    void silence(std::uint32_t l, bool second) {
        alignas(16) std::int32_t mask[LANES] = {-1, -1, -1, -1};
        mask[l] = 0;
        const __m128i m = load(mask);
        keep_b_ = _mm_and_si128(keep_b_, m);
        weight_b_ = _mm_and_si128(weight_b_, m);
        if (!second) {
            keep_ = _mm_and_si128(keep_, m);
            weight_ = _mm_and_si128(weight_, m);
        }
    }
    void begin_pair() {
        keep_b_ = keep_;
        weight_b_ = weight_;
    }

    // Frames i and i + 1.
    void pair(std::uint32_t i) {
        const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(mixer_scratch.staged + LANES * i));
        const __m128i zero = _mm_setzero_si128();
        const __m128i xa = _mm_madd_epi16(_mm_unpacklo_epi16(x, zero), weight_);
        const __m128i xb = _mm_madd_epi16(_mm_unpackhi_epi16(x, zero), weight_b_);
        const __m128i pa = _mm_add_epi32(_mm_madd_epi16(_mm_slli_epi32(p_, 4), keep_), xa);
        const __m128i pb = _mm_add_epi32(_mm_madd_epi16(_mm_slli_epi32(pa, 4), keep_b_), xb);
        before_ = pa;
        p_ = pb;
        keep_ = keep_b_;
        weight_ = weight_b_;
        add_heard(_mm_packs_epi32(_mm_srai_epi32(pa, 13), _mm_srai_epi32(pb, 13)), i, true);
    }

    // Frame i alone, the last of an odd run.
    void single(std::uint32_t i) {
        const __m128i x = _mm_unpacklo_epi16(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mixer_scratch.staged + LANES * i)), _mm_setzero_si128());
        before_ = p_;
        p_ = _mm_add_epi32(_mm_madd_epi16(_mm_slli_epi32(p_, 4), keep_), _mm_madd_epi16(x, weight_));
        add_heard(_mm_packs_epi32(_mm_srai_epi32(p_, 13), _mm_setzero_si128()), i, false);
    }

    void finish(std::int32_t* p, std::int32_t* before) const {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), p_);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(before), before_);
    }

private:
    static __m128i load(const std::int32_t* v) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v)); }

    // heard: the lanes' halved values of frames i and i + 1 as 16-bit
    // numbers; each side's sum is one multiply-add by its 0/1 weights and
    // the fold of the two pairs it leaves per frame.
    void add_heard(__m128i heard, std::uint32_t i, bool two) {
        const __m128i l = _mm_madd_epi16(heard, left_);
        const __m128i r = _mm_madd_epi16(heard, right_);
        const __m128i lr_a = _mm_unpacklo_epi32(l, r);  // frame i: left, right of lanes 0-1, of 2-3
        const __m128i lr_b = _mm_unpackhi_epi32(l, r);  // frame i + 1
        const __m128i sums = _mm_add_epi32(_mm_unpacklo_epi64(lr_a, lr_b), _mm_unpackhi_epi64(lr_a, lr_b));
        add_sums(out_, i, sums, two);
    }

    std::int32_t* out_;
    __m128i keep_, keep_b_, weight_, weight_b_, left_, right_, p_, before_;
};

}  // namespace

void smooth_four_sse2(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames) {
    interleave_four(0, frames);
    smooth_lanes<LaneKernel>(lanes, count, sums, frames);
}

// Saturating to 16 bits first changes nothing, the bounds lie inside.
void clip_sse2(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames) {
    std::uint32_t i = 0;
    const std::uint32_t count = 2 * frames;
    const __m128i high = _mm_set1_epi16(CLIP_HIGH);
    const __m128i low = _mm_set1_epi16(CLIP_LOW);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) {
        auto* from = reinterpret_cast<__m128i*>(sums + i);
        const __m128i packed = _mm_packs_epi32(_mm_loadu_si128(from), _mm_loadu_si128(from + 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + i), _mm_max_epi16(_mm_min_epi16(packed, high), low));
        _mm_storeu_si128(from, zero);
        _mm_storeu_si128(from + 1, zero);
    }
    for (; i < count; ++i) {
        samples[i] = clip_sample(sums[i]);
        sums[i] = 0;
    }
}

}  // namespace zindle::mixing::x86
