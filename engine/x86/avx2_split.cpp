// Splitting a run, for up to four lanes with AVX2. One lane's smoothing is
// a chain from frame to frame that cannot overlap itself, so four lanes
// fill only half of a 256-bit vector and wait on each multiply-add; cutting
// the run into pieces that go side by side fills the vector and overlaps
// the waits. It makes the renderer about twice as fast on 4-channel songs,
// which are most of the real modules.
//
// The smoothing of a lane forgets where it started: two
// chains fed the same x move closer every frame by keep / 4096 and mostly
// meet. So the second half of a long run can start from a guess W frames
// early, beside the first half in the upper 128 bits, and both halves go at
// once (or four pieces in two chains). When a piece ends, its true P is
// compared with the next piece's at the same frame; equal values mean the
// next piece was exact from there on. Otherwise its frames are done again
// from the true value, over what they wrote, so the result is always
// exact. (Under a constant x a chain can settle on any of up to 4096 / step
// values, so some guesses never meet; those are the mended ones.)
#include <immintrin.h>

#include "mixer_kernels.h"
#include "x86/avx2_lanes.h"
#include "x86/interleave.h"
#include "x86/kernels.h"

namespace zindle::mixing::x86 {

namespace {

// Frames t, t + 1 from the lower half of `sums` and u, u + 1 from the upper.
[[gnu::always_inline]] inline __m256i clip_pairs(__m256i sums, __m256i more_sums) {
    const __m256i packed = _mm256_packs_epi32(sums, more_sums);
    return _mm256_max_epi16(_mm256_min_epi16(packed, _mm256_set1_epi16(CLIP_HIGH)), _mm256_set1_epi16(CLIP_LOW));
}
[[gnu::always_inline]] inline void put_halves(ClipSums out, std::size_t t, std::size_t u, __m256i sums) {
    const __m256i clipped = clip_pairs(sums, sums);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out.samples + 2 * t), _mm256_castsi256_si128(clipped));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out.samples + 2 * u), _mm256_extracti128_si256(clipped, 1));
}
// The same for frames t to t + 3 and u to u + 3, from two pairs' sums.
[[gnu::always_inline]] inline void put_halves(ClipSums out, std::size_t t, std::size_t u, __m256i sums,
                                              __m256i more_sums) {
    const __m256i clipped = clip_pairs(sums, more_sums);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.samples + 2 * t), _mm256_castsi256_si128(clipped));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.samples + 2 * u), _mm256_extracti128_si256(clipped, 1));
}

// Frame f of the four lanes one by one from P values `p`, its sums put.
[[gnu::noinline]] void replay(const LaneSetup& s, std::int32_t* p, std::int32_t* before, std::uint32_t f,
                              ClipSums out) {
    std::int32_t left = 0, right = 0;
    for (std::uint32_t l = 0; l < LANES; ++l) {
        before[l] = p[l];
        p[l] = (p[l] >> 12) * s.keep[l] + mixer_scratch.lane_rows[l][f] * s.weight[l];
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

// Eight rows side by side into `to_chain` by frame pairs, 16 frames at a
// time: the 32-bit word of lane l in pair j holds frame 2j in its lower 16
// bits and 2j + 1 in its upper 16, as the row itself holds them, so this is
// an 8 x 8 transpose of 32-bit words. The smoothing blends each frame's x
// straight out of them (see smooth_pieces).
void interleave_pairs(const std::int16_t* const* rows, std::int16_t* to_chain, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; i += 16) {
        __m256i r[8];
        for (std::uint32_t l = 0; l < 8; ++l) r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[l] + i));
        // lo[k], hi[k]: rows 2k and 2k + 1 of pairs 0-1 and 2-3 (4-5, 6-7 above).
        __m256i lo[4], hi[4];
        for (std::uint32_t k = 0; k < 4; ++k) {
            lo[k] = _mm256_unpacklo_epi32(r[2 * k], r[2 * k + 1]);
            hi[k] = _mm256_unpackhi_epi32(r[2 * k], r[2 * k + 1]);
        }
        // c[h][j]: rows 4h to 4h + 3 of pair j, and of pair j + 4 above.
        __m256i c[2][4];
        for (std::uint32_t h = 0; h < 2; ++h) {
            c[h][0] = _mm256_unpacklo_epi64(lo[2 * h], lo[2 * h + 1]);
            c[h][1] = _mm256_unpackhi_epi64(lo[2 * h], lo[2 * h + 1]);
            c[h][2] = _mm256_unpacklo_epi64(hi[2 * h], hi[2 * h + 1]);
            c[h][3] = _mm256_unpackhi_epi64(hi[2 * h], hi[2 * h + 1]);
        }
        auto* to = reinterpret_cast<__m256i*>(to_chain + WIDE_LANES * i);
        for (std::uint32_t j = 0; j < 4; ++j) {
            _mm256_store_si256(to + j, _mm256_permute2x128_si256(c[0][j], c[1][j], 0x20));
            _mm256_store_si256(to + 4 + j, _mm256_permute2x128_si256(c[0][j], c[1][j], 0x31));
        }
    }
}

// Two pieces fill one 256-bit chain; four, in two chains that keep each
// other's multiply-adds busy, are worth their longer warm-ups in longer
// runs.
constexpr std::uint32_t FOUR_PIECES_MIN_FACTOR = 6;

bool smooth_split(const Lane* lanes, std::uint32_t count, ClipSums out, std::uint32_t frames) {
    for (std::uint32_t l = 0; l < count; ++l)
        if (lanes[l].sounding != frames) return false;
    LaneSetup s;
    set_up(lanes, count, LANES, s);
    const std::uint32_t warm = split_warm_up(s);
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
        const std::int16_t* const rows[WIDE_LANES] = {
            mixer_scratch.lane_rows[0] + first, mixer_scratch.lane_rows[1] + first, mixer_scratch.lane_rows[2] + first,
            mixer_scratch.lane_rows[3] + first, mixer_scratch.lane_rows[0] + next,  mixer_scratch.lane_rows[1] + next,
            mixer_scratch.lane_rows[2] + next,  mixer_scratch.lane_rows[3] + next};
        interleave_pairs(rows, mixer_scratch.staged + CHAIN_STRIDE * n, steps);
    }

    alignas(32) std::int32_t start[PARTS * LANES];
    for (std::uint32_t l = 0; l < LANES; ++l) {
        start[l] = s.last[l] * 4096;
        for (std::uint32_t k = 1; k < PARTS; ++k)
            start[LANES * k + l] = mixer_scratch.lane_rows[l][k * spacing - 1] * 4096;  // the guess: last = x
    }
    const auto twice = [](const std::int32_t* v) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(four), four, 1);
    };
    // A frame pair's x sit in the lower and upper 16 bits of each lane's
    // word. The first frame takes last from the upper 16 bits of P << 4 and
    // x from the lower ones; the second last from the lower 16 bits of
    // P >> 12 and x from the upper ones, with keep and weight swapped.
    const __m256i coefficients = _mm256_or_si256(_mm256_slli_epi32(twice(s.keep), 16), twice(s.weight));
    const __m256i swapped = _mm256_or_si256(_mm256_slli_epi32(twice(s.weight), 16), twice(s.keep));
    const __m256i left = _mm256_packs_epi32(twice(s.left), twice(s.left));
    const __m256i right = _mm256_packs_epi32(twice(s.right), twice(s.right));
    const __m256i by_side = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(order)));
    __m256i p[CHAINS], pa[CHAINS];
    for (std::uint32_t n = 0; n < CHAINS; ++n)
        p[n] = pa[n] = _mm256_load_si256(reinterpret_cast<const __m256i*>(start + WIDE_LANES * n));
    // Frames t, t + 1 of chain n's two pieces; their side sums, the first
    // piece's in the lower 128 bits.
    const auto pair = [&](std::size_t n, std::size_t t) {
        const __m256i x = _mm256_load_si256(
            reinterpret_cast<const __m256i*>(mixer_scratch.staged + CHAIN_STRIDE * n + WIDE_LANES * t));
        pa[n] = _mm256_madd_epi16(_mm256_blend_epi16(_mm256_slli_epi32(p[n], 4), x, 0x55), coefficients);
        const __m256i last_a = _mm256_srai_epi32(pa[n], 12);
        p[n] = _mm256_madd_epi16(_mm256_blend_epi16(last_a, x, 0xAA), swapped);
        // Each last fits 16 bits; halved, it is what the frame heard.
        const __m256i heard = _mm256_srai_epi16(_mm256_packs_epi32(last_a, _mm256_srai_epi32(p[n], 12)), 1);
        if constexpr (SIDED) return _mm256_madd_epi16(_mm256_shuffle_epi8(heard, by_side), _mm256_set1_epi16(1));
        const __m256i sides = _mm256_hadd_epi32(_mm256_madd_epi16(heard, left), _mm256_madd_epi16(heard, right));
        return _mm256_shuffle_epi32(sides, 0xD8);
    };
    // The guesses' warm-ups are not heard: only the first piece is, until
    // they end together.
    std::size_t t = 0;
    for (; t < warm; t += 2) {
        out.put(static_cast<std::uint32_t>(t), _mm256_castsi256_si128(pair(0, t)), true);
        for (std::uint32_t n = 1; n < CHAINS; ++n) pair(n, t);
    }
    __m256i met[CHAINS];  // each piece at the frame before it is heard
    for (std::uint32_t n = 0; n < CHAINS; ++n) met[n] = p[n];
    // Frame i of piece k. Indices in std::size_t: the addresses then need no
    // widening of 32-bit sums in the loop (about 4 % of the mixer's
    // instructions).
    const auto at = [spacing](std::size_t k, std::size_t i) { return k * spacing + i; };
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
            const std::uint32_t from = k * spacing - spacing + steps, to = from + spacing;
            interleave_four(from, to);
            pairs(s, out, from, to, ends + LANES * k, befores + LANES * k);
        }
        last_p = ends + LANES * k;
        before = befores + LANES * k;
    }
    if (frames != even) replay(s, last_p, before, even, out);
    store_lasts(lanes, count, frames, last_p, before);
}

}  // namespace

bool smooth_split_avx2(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames) {
    return smooth_split(lanes, count, ClipSums{samples}, frames);
}

}  // namespace zindle::mixing::x86
