// The smoothing kernel for processors with AVX2, built with it: the same
// lanes and frames as the SSE2 kernel of the mixer, in fewer instructions.
// x is blended into the lower 16 bits of P << 4 (which holds last in its
// upper 16), so one multiply-add by weight | keep << 16 gives the next P;
// the sides are summed by one horizontal add.
#include <immintrin.h>

#include "mixer_lanes.h"

namespace zindle::mixing {

namespace {

// Where the kernels put their frame sums, clipped into the samples: `put` takes left, right of
// frame i, then of i + 1 with `two`; `put_one` a frame's sums one by one.
// Saturating to 16 bits first changes nothing: the bounds lie inside.
struct ClipSums {
    std::int16_t* samples;
    [[gnu::always_inline]] void put(std::uint32_t i, __m128i two_sums, bool two) const {
        const __m128i packed = _mm_packs_epi32(two_sums, two_sums);
        const __m128i clipped = _mm_max_epi16(_mm_min_epi16(packed, _mm_set1_epi16(CLIP_HIGH)), _mm_set1_epi16(CLIP_LOW));
        if (two)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(samples + 2 * i), clipped);
        else
            _mm_storeu_si32(samples + 2 * i, clipped);
    }
    void put_one(std::uint32_t i, std::int32_t left, std::int32_t right) const {
        samples[2 * i] = clip(left);
        samples[2 * i + 1] = clip(right);
    }
    static std::int16_t clip(std::int32_t sum) {
        return static_cast<std::int16_t>(sum > CLIP_HIGH ? CLIP_HIGH : sum < CLIP_LOW ? CLIP_LOW : sum);
    }
};


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
        out_.put(i, _mm_shuffle_epi32(sides, 0xD8), two);
    }

    ClipSums out_;
    __m128i coefficients_, coefficients_b_, left_, right_, p_, before_;
};

// Eight lanes in the eight 32-bit parts of a 256-bit vector, the same
// chain; the frame's sums over both halves meet in one 128-bit add. With
// more chains, lanes 8 to 15, 16 to 23 and 24 to 31 form more beside the
// first: one chain waits on its multiply-adds from frame to frame, several
// keep the processor busy while they do.
template <std::uint32_t CHAINS>
class EightKernel {
public:
    static constexpr std::uint32_t WIDTH = WIDE_LANES * CHAINS;

    [[gnu::always_inline]] EightKernel(const LaneSetup& s, ClipSums out) : out_(out) {
        for (std::uint32_t n = 0; n < CHAINS; ++n) {
            const std::uint32_t at = WIDE_LANES * n;
            coefficients_[n] = _mm256_or_si256(_mm256_slli_epi32(load(s.keep + at), 16), load(s.weight + at));
            coefficients_b_[n] = coefficients_[n];
            // Halved values of frames i, i + 1 come packed per half as lanes
            // 0-3 of both frames, then lanes 4-7 of both.
            left_[n] = pack_pairs(load(s.left + at));
            right_[n] = pack_pairs(load(s.right + at));
            p_[n] = _mm256_slli_epi32(load(s.last + at), 12);
            before_[n] = p_[n];
        }
    }

    [[gnu::always_inline]] void silence(std::uint32_t l, bool second) {
        alignas(32) std::int32_t mask[WIDE_LANES] = {-1, -1, -1, -1, -1, -1, -1, -1};
        mask[l % WIDE_LANES] = 0;
        const __m256i m = load(mask);
        const std::uint32_t n = CHAINS == 1 ? 0 : l / WIDE_LANES;
        coefficients_b_[n] = _mm256_and_si256(coefficients_b_[n], m);
        if (!second) coefficients_[n] = _mm256_and_si256(coefficients_[n], m);
    }
    [[gnu::always_inline]] void begin_pair() {
        for (std::uint32_t n = 0; n < CHAINS; ++n) coefficients_b_[n] = coefficients_[n];
    }

    [[gnu::always_inline]] void pair(std::uint32_t i) {
        __m256i heard[CHAINS];
        for (std::uint32_t n = 0; n < CHAINS; ++n) {
            const __m256i pa = step(p_[n], n, i, coefficients_[n]);
            const __m256i pb = step(pa, n, i + 1, coefficients_b_[n]);
            before_[n] = pa;
            p_[n] = pb;
            coefficients_[n] = coefficients_b_[n];
            heard[n] = _mm256_packs_epi32(_mm256_srai_epi32(pa, 13), _mm256_srai_epi32(pb, 13));
        }
        add_heard(heard, i, true);
    }

    [[gnu::always_inline]] void single(std::uint32_t i) {
        __m256i heard[CHAINS];
        for (std::uint32_t n = 0; n < CHAINS; ++n) {
            before_[n] = p_[n];
            p_[n] = step(p_[n], n, i, coefficients_[n]);
            heard[n] = _mm256_packs_epi32(_mm256_srai_epi32(p_[n], 13), _mm256_setzero_si256());
        }
        add_heard(heard, i, false);
    }

    [[gnu::always_inline]] void finish(std::int32_t* p, std::int32_t* before) const {
        for (std::uint32_t n = 0; n < CHAINS; ++n) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + WIDE_LANES * n), p_[n]);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(before + WIDE_LANES * n), before_[n]);
        }
    }

private:
    [[gnu::always_inline]] static __m256i load(const std::int32_t* v) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
    }
    [[gnu::always_inline]] static __m256i pack_pairs(__m256i v) { return _mm256_packs_epi32(v, v); }

    [[gnu::always_inline]] static __m256i step(__m256i p, std::uint32_t n, std::uint32_t i, __m256i coefficients) {
        const __m256i x = _mm256_cvtepu16_epi32(
            _mm_load_si128(reinterpret_cast<const __m128i*>(staged + CHAIN_STRIDE * n + WIDE_LANES * i)));
        return _mm256_madd_epi16(_mm256_blend_epi16(_mm256_slli_epi32(p, 4), x, 0x55), coefficients);
    }

    // The chains' side sums add up before the horizontal add.
    [[gnu::always_inline]] void add_heard(const __m256i* heard, std::uint32_t i, bool two) {
        __m256i left = _mm256_madd_epi16(heard[0], left_[0]);
        __m256i right = _mm256_madd_epi16(heard[0], right_[0]);
        for (std::uint32_t n = 1; n < CHAINS; ++n) {
            left = _mm256_add_epi32(left, _mm256_madd_epi16(heard[n], left_[n]));
            right = _mm256_add_epi32(right, _mm256_madd_epi16(heard[n], right_[n]));
        }
        const __m256i sides = _mm256_hadd_epi32(left, right);
        const __m128i both = _mm_add_epi32(_mm256_castsi256_si128(sides), _mm256_extracti128_si256(sides, 1));
        out_.put(i, _mm_shuffle_epi32(both, 0xD8), two);
    }

    ClipSums out_;
    __m256i coefficients_[CHAINS], coefficients_b_[CHAINS], left_[CHAINS], right_[CHAINS], p_[CHAINS],
        before_[CHAINS];
};

// Eight rows side by side into `to`, 16 frames at a time: an 8 x 8
// transpose in each 128-bit half, frames 0-7 in the lower and 8-15 in the
// upper, whose frame pairs are put back in order on the store.
void interleave_rows(const std::int16_t* const* rows, std::int16_t* to_chain, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; i += 16) {
        __m256i r[8];
        for (std::uint32_t l = 0; l < 8; ++l)
            r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[l] + i));
        __m256i a[8], b[8];
        for (std::uint32_t k = 0; k < 4; ++k) {
            a[2 * k] = _mm256_unpacklo_epi16(r[2 * k], r[2 * k + 1]);
            a[2 * k + 1] = _mm256_unpackhi_epi16(r[2 * k], r[2 * k + 1]);
        }
        // b[0..3]: lanes 0-3 of frames 0-1, 2-3, 4-5, 6-7; b[4..7]: lanes 4-7.
        for (std::uint32_t h = 0; h < 2; ++h) {
            b[4 * h] = _mm256_unpacklo_epi32(a[4 * h], a[4 * h + 2]);
            b[4 * h + 1] = _mm256_unpackhi_epi32(a[4 * h], a[4 * h + 2]);
            b[4 * h + 2] = _mm256_unpacklo_epi32(a[4 * h + 1], a[4 * h + 3]);
            b[4 * h + 3] = _mm256_unpackhi_epi32(a[4 * h + 1], a[4 * h + 3]);
        }
        auto* to = reinterpret_cast<__m256i*>(to_chain + WIDE_LANES * i);
        for (std::uint32_t k = 0; k < 4; ++k) {
            const __m256i even = _mm256_unpacklo_epi64(b[k], b[k + 4]);  // frames 2k and 8 + 2k
            const __m256i odd = _mm256_unpackhi_epi64(b[k], b[k + 4]);   // frames 2k + 1 and 9 + 2k
            _mm256_store_si256(to + k, _mm256_permute2x128_si256(even, odd, 0x20));
            _mm256_store_si256(to + 4 + k, _mm256_permute2x128_si256(even, odd, 0x31));
        }
    }
}


// Splitting a run. The smoothing of a lane forgets where it started: two
// chains fed the same x move closer every frame by keep / 4096 and mostly
// meet. So the second half of a long run can start from a guess W frames
// early, beside the first half in the upper 128 bits, and both halves go at
// once (or four pieces in two chains). When a piece ends, its true P is
// compared with the next piece's at the same frame; equal values mean the
// next piece was exact from there on. Otherwise its frames are done again
// from the true value, over what they wrote, so the result is always
// exact. (Under a constant x a chain can settle on any of up to 4096 / step
// values, so some guesses never meet; those are the mended ones.)

// Warm-up frames for chains to meet, as frames of the slowest lane: about
// 16 times the 4096 / step frames that shrink a difference by e.
constexpr std::uint32_t WARM_UP_STEPS = 16 * 4096;
// Runs shorter than this times the warm-up are not split.
constexpr std::uint32_t SPLIT_MIN_FACTOR = 2;
std::uint32_t warm_up_override = 0;

// Frames t, t + 1 from the lower half of `sums` and u, u + 1 from the upper.
[[gnu::always_inline]] inline __m256i clip_pairs(__m256i sums, __m256i more_sums) {
    const __m256i packed = _mm256_packs_epi32(sums, more_sums);
    return _mm256_max_epi16(_mm256_min_epi16(packed, _mm256_set1_epi16(CLIP_HIGH)), _mm256_set1_epi16(CLIP_LOW));
}
[[gnu::always_inline]] inline void put_halves(ClipSums out, std::uint32_t t, std::uint32_t u, __m256i sums) {
    const __m256i clipped = clip_pairs(sums, sums);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out.samples + 2 * t), _mm256_castsi256_si128(clipped));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out.samples + 2 * u), _mm256_extracti128_si256(clipped, 1));
}
// The same for frames t to t + 3 and u to u + 3, from two pairs' sums.
[[gnu::always_inline]] inline void put_halves(ClipSums out, std::uint32_t t, std::uint32_t u, __m256i sums,
                                              __m256i more_sums) {
    const __m256i clipped = clip_pairs(sums, more_sums);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.samples + 2 * t), _mm256_castsi256_si128(clipped));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.samples + 2 * u), _mm256_extracti128_si256(clipped, 1));
}

// Frame f of the four lanes one by one from P values `p`, its sums put.
[[gnu::noinline]] void replay(const LaneSetup& s, std::int32_t* p, std::int32_t* before, std::uint32_t f, ClipSums out) {
    std::int32_t left = 0, right = 0;
    for (std::uint32_t l = 0; l < LANES; ++l) {
        before[l] = p[l];
        p[l] = (p[l] >> 12) * s.keep[l] + lane_rows[l][f] * s.weight[l];
        const std::int32_t heard = p[l] >> 13;
        left += heard * s.left[l];
        right += heard * s.right[l];
    }
    out.put_one(f, left, right);
}

// Frames [from, to), an even number of them, by the kernel from the lanes'
// `last`; P of the last frame and the one before into p and before.
[[gnu::noinline]] void pairs(const LaneSetup& s, ClipSums out, std::uint32_t from, std::uint32_t to, std::int32_t* p,
                             std::int32_t* before) {
    WideKernel k(s, out);
    for (std::uint32_t i = from; i < to; i += 2) k.pair(i);
    k.finish(p, before);
}

// Warm-up frames the lanes need, or 0 where a lane never forgets (step 0).
std::uint32_t warm_up(const LaneSetup& s) {
    if (warm_up_override != 0) return warm_up_override;
    std::uint32_t most = 2;
    for (std::uint32_t l = 0; l < LANES; ++l) {
        if (s.keep[l] == 0) continue;
        if (s.weight[l] == 0) return 0;
        const std::uint32_t need = WARM_UP_STEPS / static_cast<std::uint32_t>(s.weight[l]) + 1;
        if (need > most) most = need;
    }
    return most;
}

// Where the lanes are each heard on one side only, at most two on each,
// the halved values of a frame pair can be shuffled by side: words 0-1 the
// first frame's left ones, 2-3 its right ones, 4-7 the same for the second
// frame, 0 where a side has fewer. One multiply-add by 1 then gives left,
// right, left, right, the frames' sums in their order. The shuffle's bytes
// into `order`, or false where the sides do not fit.
bool sort_by_side(const LaneSetup& s, std::uint8_t* order) {
    std::uint32_t lefts = 0, rights = 0;
    for (std::uint32_t b = 0; b < 16; ++b) order[b] = 0x80;
    for (std::uint32_t l = 0; l < LANES; ++l) {
        if (s.left[l] != 0 && s.right[l] != 0) return false;
        std::uint32_t slot;
        if (s.left[l] != 0)
            slot = lefts++;
        else if (s.right[l] != 0)
            slot = 2 + rights++;
        else
            continue;
        if (lefts > 2 || rights > 2) return false;
        for (std::uint32_t frame = 0; frame < 2; ++frame) {
            order[8 * frame + 2 * slot] = static_cast<std::uint8_t>(8 * frame + 2 * l);
            order[8 * frame + 2 * slot + 1] = static_cast<std::uint8_t>(8 * frame + 2 * l + 1);
        }
    }
    return true;
}

// A run cut into `parts` pieces of `steps` frames each: piece k starts at
// k * spacing, and its first steps - spacing frames (for k > 0) are the
// warm-up of its guess. Both are even.
struct Pieces {
    std::uint32_t steps;
    std::uint32_t spacing;
};

// The shortest pieces that leave every guess `warm` frames to meet, or
// steps 0 where the run is too short to cut.
Pieces cut(std::uint32_t even, std::uint32_t warm, std::uint32_t parts) {
    std::uint32_t steps = (even + (parts - 1) * warm + parts - 1) / parts;
    steps += steps & 1;
    while (steps < even && (even - steps) % (2 * (parts - 1)) != 0) steps += 2;
    // Each guess is read from the frame before its piece.
    if (steps >= even) return {0, 0};
    return {steps, (even - steps) / (parts - 1)};
}

template <std::uint32_t PARTS, bool SIDED>
void smooth_pieces(LaneSetup& s, const Lane* lanes, std::uint32_t count, ClipSums out, std::uint32_t frames,
                   Pieces pieces, const std::uint8_t* order);

// Two pieces fill one 256-bit chain; four, in two chains that keep each
// other's multiply-adds busy, are worth their longer warm-ups in longer
// runs.
constexpr std::uint32_t FOUR_PIECES_MIN_FACTOR = 6;

bool smooth_split(const Lane* lanes, std::uint32_t count, ClipSums out, std::uint32_t frames) {
    for (std::uint32_t l = 0; l < count; ++l)
        if (lanes[l].sounding != frames) return false;
    LaneSetup s;
    set_up(lanes, count, LANES, s);
    const std::uint32_t warm = warm_up(s);
    const std::uint32_t even = frames & ~1u;
    if (warm == 0 || warm * SPLIT_MIN_FACTOR > even) return false;
    alignas(16) std::uint8_t order[16];
    const bool sided = sort_by_side(s, order);
    if (sided && warm * FOUR_PIECES_MIN_FACTOR <= even) {
        const Pieces four = cut(even, warm, 4);
        if (four.steps != 0) {
            smooth_pieces<4, true>(s, lanes, count, out, frames, four, order);
            return true;
        }
    }
    const Pieces two = cut(even, warm, 2);
    if (two.steps == 0) return false;
    if (sided)
        smooth_pieces<2, true>(s, lanes, count, out, frames, two, order);
    else
        smooth_pieces<2, false>(s, lanes, count, out, frames, two, order);
    return true;
}

template <std::uint32_t PARTS, bool SIDED>
void smooth_pieces(LaneSetup& s, const Lane* lanes, std::uint32_t count, ClipSums out, std::uint32_t frames,
                   Pieces pieces, const std::uint8_t* order) {
    constexpr std::uint32_t CHAINS = PARTS / 2;
    const std::uint32_t even = frames & ~1u;
    const std::uint32_t steps = pieces.steps;
    const std::uint32_t spacing = pieces.spacing;
    const std::uint32_t warm = steps - spacing;  // frames of each guess not heard
    // Frame t of two pieces side by side: the four rows from each piece's
    // start on, as the eight rows of one chain.
    for (std::uint32_t n = 0; n < CHAINS; ++n) {
        const std::uint32_t first = 2 * n * spacing, next = first + spacing;
        const std::int16_t* const rows[WIDE_LANES] = {lane_rows[0] + first, lane_rows[1] + first, lane_rows[2] + first,
                                                      lane_rows[3] + first, lane_rows[0] + next,  lane_rows[1] + next,
                                                      lane_rows[2] + next,  lane_rows[3] + next};
        interleave_rows(rows, staged + CHAIN_STRIDE * n, steps);
    }

    alignas(32) std::int32_t start[PARTS * LANES];
    for (std::uint32_t l = 0; l < LANES; ++l) {
        start[l] = s.last[l] * 4096;
        for (std::uint32_t k = 1; k < PARTS; ++k)
            start[LANES * k + l] = lane_rows[l][k * spacing - 1] * 4096;  // the guess: last = x
    }
    const auto twice = [](const std::int32_t* v) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(four), four, 1);
    };
    const __m256i coefficients = _mm256_or_si256(_mm256_slli_epi32(twice(s.keep), 16), twice(s.weight));
    const __m256i left = _mm256_packs_epi32(twice(s.left), twice(s.left));
    const __m256i right = _mm256_packs_epi32(twice(s.right), twice(s.right));
    const __m256i by_side = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(order)));
    __m256i p[CHAINS], pa[CHAINS];
    for (std::uint32_t n = 0; n < CHAINS; ++n)
        p[n] = pa[n] = _mm256_load_si256(reinterpret_cast<const __m256i*>(start + WIDE_LANES * n));
    // Frames t, t + 1 of chain n's two pieces; their side sums, the first
    // piece's in the lower 128 bits.
    const auto pair = [&](std::uint32_t n, std::uint32_t t) {
        const auto x = [n](std::uint32_t i) {
            return _mm256_cvtepu16_epi32(
                _mm_load_si128(reinterpret_cast<const __m128i*>(staged + CHAIN_STRIDE * n + WIDE_LANES * i)));
        };
        pa[n] = _mm256_madd_epi16(_mm256_blend_epi16(_mm256_slli_epi32(p[n], 4), x(t), 0x55), coefficients);
        p[n] = _mm256_madd_epi16(_mm256_blend_epi16(_mm256_slli_epi32(pa[n], 4), x(t + 1), 0x55), coefficients);
        const __m256i heard = _mm256_packs_epi32(_mm256_srai_epi32(pa[n], 13), _mm256_srai_epi32(p[n], 13));
        if constexpr (SIDED) return _mm256_madd_epi16(_mm256_shuffle_epi8(heard, by_side), _mm256_set1_epi16(1));
        const __m256i sides = _mm256_hadd_epi32(_mm256_madd_epi16(heard, left), _mm256_madd_epi16(heard, right));
        return _mm256_shuffle_epi32(sides, 0xD8);
    };
    // The guesses' warm-ups are not heard: only the first piece is, until
    // they end together.
    std::uint32_t t = 0;
    for (; t < warm; t += 2) {
        out.put(t, _mm256_castsi256_si128(pair(0, t)), true);
        for (std::uint32_t n = 1; n < CHAINS; ++n) pair(n, t);
    }
    __m256i met[CHAINS];  // each piece at the frame before it is heard
    for (std::uint32_t n = 0; n < CHAINS; ++n) met[n] = p[n];
    const auto at = [spacing](std::uint32_t k, std::uint32_t i) { return k * spacing + i; };
    for (; t + 4 <= steps; t += 4)
        for (std::uint32_t n = 0; n < CHAINS; ++n) {
            const __m256i sums = pair(n, t);
            put_halves(out, at(2 * n, t), at(2 * n + 1, t), sums, pair(n, t + 2));
        }
    if (t < steps)
        for (std::uint32_t n = 0; n < CHAINS; ++n) put_halves(out, at(2 * n, t), at(2 * n + 1, t), pair(n, t));

    alignas(32) std::int32_t ends[PARTS * LANES];
    alignas(32) std::int32_t befores[PARTS * LANES];
    alignas(32) std::int32_t guessed[PARTS * LANES];
    for (std::uint32_t n = 0; n < CHAINS; ++n) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(ends + WIDE_LANES * n), p[n]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(befores + WIDE_LANES * n), pa[n]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(guessed + WIDE_LANES * n), met[n]);
    }
    // Piece by piece, the end of the one before (exact by then) against
    // where the guess stood at that frame: equal values make this piece
    // exact too. Otherwise its heard frames are done again from the truth,
    // over what they wrote, by the four-lane kernel and its own
    // side-by-side frames (the pieces' are no longer needed).
    std::int32_t* last_p = ends;
    std::int32_t* before = befores;
    for (std::uint32_t k = 1; k < PARTS; ++k) {
        bool same = true;
        for (std::uint32_t l = 0; l < LANES; ++l) same = same && (last_p[l] >> 12) == (guessed[LANES * k + l] >> 12);
        if (!same) {
            for (std::uint32_t l = 0; l < LANES; ++l) s.last[l] = last_p[l] >> 12;
            interleave_four(at(k - 1, steps), at(k, steps));
            pairs(s, out, at(k - 1, steps), at(k, steps), ends + LANES * k, befores + LANES * k);
        }
        last_p = ends + LANES * k;
        before = befores + LANES * k;
    }
    if (frames != even) replay(s, last_p, before, even, out);
    store_lasts(lanes, count, frames, last_p, before);
}

}  // namespace

namespace {

// The mixer's 16-frame staging (see stage_shuffled there) in one 256-bit
// vector. Steps of up to one sample byte per frame stage one block of 16
// frames: its 16 bytes sit in both halves, frames 0-7 are shuffled out of
// the lower copy and frames 8-15 out of the upper one. Steps of up to two
// bytes stage two blocks of 8 frames, one in each half, since 8 frames
// then lie within 16 bytes.
class Blocks {
public:
    // `upper`: the frame of the block at which the upper half starts, 8 or
    // 0 (two blocks).
    Blocks(std::uint32_t step, std::uint8_t volume, std::int16_t upper) {
        const __m256i frames = _mm256_add_epi16(_mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7),
                                                _mm256_inserti128_si256(_mm256_setzero_si256(), _mm_set1_epi16(upper), 1));
        ramp_ = _mm256_mullo_epi16(_mm256_set1_epi16(static_cast<std::int16_t>(step)), frames);
        scale_ = _mm256_set1_epi16(volume);
    }

    // 16 frames from position `pos`, whose byte is at `from`.
    void stage(const std::uint8_t* from, std::uint32_t pos, std::int16_t* to) const {
        put(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from))),
            _mm256_set1_epi16(static_cast<std::int16_t>(pos & 0xFFF)), to);
    }

    // 8 frames from position `pos`, whose byte is at `from`, then 8 from
    // `next`, whose byte is at `next_from`.
    void stage(const std::uint8_t* from, std::uint32_t pos, const std::uint8_t* next_from, std::uint32_t next,
               std::int16_t* to) const {
        put(_mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(next_from), reinterpret_cast<const __m128i*>(from)),
            _mm256_inserti128_si256(_mm256_set1_epi16(static_cast<std::int16_t>(pos & 0xFFF)),
                                    _mm_set1_epi16(static_cast<std::int16_t>(next & 0xFFF)), 1),
            to);
    }

private:
    // Each frame's byte out of `bytes` by its offset from the fraction of
    // its half's first frame, times the volume.
    void put(__m256i bytes, __m256i frac, std::int16_t* to) const {
        const __m256i offsets = _mm256_srli_epi16(_mm256_add_epi16(frac, ramp_), 12);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_maddubs_epi16(scale_, _mm256_shuffle_epi8(bytes, offsets)));
    }

    __m256i ramp_, scale_;
};

}  // namespace

void stage_shuffled_wide(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                         std::int16_t* to, std::uint32_t frames) {
    if (step > ONE_BYTE_STEP) {
        const Blocks blocks(step, volume, 0);
        const std::uint32_t block = 8 * step;
        for (std::uint32_t i = 0; i < frames; i += 16, pos += 2 * block)
            blocks.stage(data + (pos >> 12), pos, data + ((pos + block) >> 12), pos + block, to + i);
        return;
    }
    const Blocks blocks(step, volume, 8);
    const std::uint32_t block = 16 * step;
    for (std::uint32_t i = 0; i < frames; i += 32, pos += 2 * block) {
        blocks.stage(data + (pos >> 12), pos, to + i);
        blocks.stage(data + ((pos + block) >> 12), pos + block, to + i + 16);
    }
}

// The same over a loop laid out from `laid` (see stage_shuffled_loop in the
// mixer): every block's start is wrapped into the loop, whose bytes follow
// one another there, the first 16 repeated behind it.
void stage_shuffled_loop_wide(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end,
                              std::uint32_t loop_length, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                              std::uint32_t frames) {
    const std::uint32_t loop_start = loop_end - loop_length;
    // A position inside the loop moved on by less than the loop length
    // wraps with one subtraction; the loop is whole bytes, so the wrap
    // leaves the fraction alone.
    const auto advance = [=](std::uint32_t p, std::uint32_t by) {
        p += by;
        return p >= loop_end ? p - loop_length : p;
    };
    if (step > ONE_BYTE_STEP) {
        const Blocks blocks(step, volume, 0);
        const std::uint32_t block = 8 * step % loop_length;
        for (std::uint32_t i = 0; i < frames; i += 16) {
            const std::uint32_t next = advance(pos, block);
            blocks.stage(laid + ((pos - loop_start) >> 12), pos, laid + ((next - loop_start) >> 12), next, to + i);
            pos = advance(next, block);
        }
        return;
    }
    const Blocks blocks(step, volume, 8);
    const std::uint32_t block = 16 * step % loop_length;
    for (std::uint32_t i = 0; i < frames; i += 32) {
        const std::uint32_t next = advance(pos, block);
        blocks.stage(laid + ((pos - loop_start) >> 12), pos, to + i);
        blocks.stage(laid + ((next - loop_start) >> 12), next, to + i + 16);
        pos = advance(next, block);
    }
}

// Runs are split only for up to four lanes: two pieces of four fill one
// 256-bit chain. More lanes go in chains of eight, all at once.
void smooth_lanes_wide(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames) {
    const ClipSums sink{samples};
    if (smooth_split(lanes, count, sink, frames)) return;
    interleave_four(0, frames);
    smooth_lanes<WideKernel>(lanes, count, sink, frames);
}

void smooth_lanes_chained(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames) {
    const std::uint32_t chains = (count + WIDE_LANES - 1) / WIDE_LANES;
    for (std::uint32_t n = 0; n < chains; ++n) {
        const std::int16_t* rows[WIDE_LANES];
        for (std::uint32_t l = 0; l < WIDE_LANES; ++l) rows[l] = lane_rows[WIDE_LANES * n + l];
        interleave_rows(rows, staged + CHAIN_STRIDE * n, frames);
    }
    const ClipSums sink{samples};
    switch (chains) {
    case 1: smooth_lanes<EightKernel<1>>(lanes, count, sink, frames); break;
    case 2: smooth_lanes<EightKernel<2>>(lanes, count, sink, frames); break;
    case 3: smooth_lanes<EightKernel<3>>(lanes, count, sink, frames); break;
    default: smooth_lanes<EightKernel<MOST_CHAINS>>(lanes, count, sink, frames); break;
    }
}

}  // namespace zindle::mixing

void zindle::set_mixer_split_warm_up(std::uint32_t frames) { mixing::warm_up_override = frames; }
