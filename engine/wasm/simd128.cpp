// The SIMD128 kernels: the smoothing of up to four lanes at once into the
// accumulator, and the clip of the accumulated sums into the samples. The
// same steps as the SSE2 kernels (x86/sse2.cpp), instruction for
// instruction: i32x4.dot_i16x8_s is pmaddwd, the narrowing is packssdw and
// the shuffles are the unpacks, so every value is the plain formulas'.
#include <wasm_simd128.h>

#include "mixer_kernels.h"
#include "mixer_rules.h"
#include "wasm/kernels.h"

namespace zindle::mixing::wasm {

namespace {

// The unpacks of SSE2: the low or high halves of a and b interleaved, in
// 16-, 32- and 64-bit parts.
inline v128_t lo16(v128_t a, v128_t b) { return wasm_i16x8_shuffle(a, b, 0, 8, 1, 9, 2, 10, 3, 11); }
inline v128_t hi16(v128_t a, v128_t b) { return wasm_i16x8_shuffle(a, b, 4, 12, 5, 13, 6, 14, 7, 15); }
inline v128_t lo32(v128_t a, v128_t b) { return wasm_i32x4_shuffle(a, b, 0, 4, 1, 5); }
inline v128_t hi32(v128_t a, v128_t b) { return wasm_i32x4_shuffle(a, b, 2, 6, 3, 7); }
inline v128_t lo64(v128_t a, v128_t b) { return wasm_i64x2_shuffle(a, b, 0, 2); }
inline v128_t hi64(v128_t a, v128_t b) { return wasm_i64x2_shuffle(a, b, 1, 3); }

// The first four lane rows side by side, frame after frame, in blocks of
// 8 frames from the block holding frame `from` to frame `to_frame`.
[[gnu::always_inline]] inline void interleave_four(std::uint32_t from, std::uint32_t to_frame) {
    for (std::uint32_t i = from & ~7u; i < to_frame; i += 8) {
        const auto row = [i](std::uint32_t l) { return wasm_v128_load(mixer_scratch.lane_rows[l] + i); };
        const v128_t r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
        const v128_t a = lo16(r0, r1), b = hi16(r0, r1);
        const v128_t c = lo16(r2, r3), d = hi16(r2, r3);
        std::int16_t* to = mixer_scratch.staged + LANES * i;
        wasm_v128_store(to, lo32(a, c));
        wasm_v128_store(to + 8, hi32(a, c));
        wasm_v128_store(to + 16, lo32(b, d));
        wasm_v128_store(to + 24, hi32(b, d));
    }
}

// Lanes in the four 32-bit parts of a vector. The chain from frame to frame
// is P << 4, which holds last in its upper 16 bits, times keep << 16 in one
// dot product (the lower 16 bits meet 0), plus x * weight formed beside it.
// The `_b` coefficients are those of the second frame of a pair.
class LaneKernel {
public:
    static constexpr std::uint32_t WIDTH = LANES;

    LaneKernel(const LaneSetup& s, std::int32_t* out) : out_(out) {
        keep_ = wasm_i32x4_shl(wasm_v128_load(s.keep), 16);
        weight_ = wasm_v128_load(s.weight);
        keep_b_ = keep_;
        weight_b_ = weight_;
        left_ = wasm_i16x8_narrow_i32x4(wasm_v128_load(s.left), wasm_v128_load(s.left));
        right_ = wasm_i16x8_narrow_i32x4(wasm_v128_load(s.right), wasm_v128_load(s.right));
        p_ = wasm_i32x4_shl(wasm_v128_load(s.last), 12);
        before_ = p_;
    }
    // Lane l silent from the frame after the next pair's first (`second`)
    // or from the next pair on.
    void silence(std::uint32_t l, bool second) {
        alignas(16) std::int32_t mask[LANES] = {-1, -1, -1, -1};
        mask[l] = 0;
        const v128_t m = wasm_v128_load(mask);
        keep_b_ = wasm_v128_and(keep_b_, m);
        weight_b_ = wasm_v128_and(weight_b_, m);
        if (!second) {
            keep_ = wasm_v128_and(keep_, m);
            weight_ = wasm_v128_and(weight_, m);
        }
    }
    void begin_pair() {
        keep_b_ = keep_;
        weight_b_ = weight_;
    }
    // Frames i and i + 1; `heard` false leaves the accumulator alone (a
    // guess warming up).
    template <bool heard = true>
    void pair(std::uint32_t i) {
        const v128_t x = wasm_v128_load(mixer_scratch.staged + LANES * i);
        const v128_t zero = wasm_i32x4_splat(0);
        const v128_t xa = wasm_i32x4_dot_i16x8(lo16(x, zero), weight_);
        const v128_t xb = wasm_i32x4_dot_i16x8(hi16(x, zero), weight_b_);
        const v128_t pa = wasm_i32x4_add(wasm_i32x4_dot_i16x8(wasm_i32x4_shl(p_, 4), keep_), xa);
        const v128_t pb = wasm_i32x4_add(wasm_i32x4_dot_i16x8(wasm_i32x4_shl(pa, 4), keep_b_), xb);
        before_ = pa;
        p_ = pb;
        keep_ = keep_b_;
        weight_ = weight_b_;
        if constexpr (heard)
            add_heard(wasm_i16x8_narrow_i32x4(wasm_i32x4_shr(pa, 13), wasm_i32x4_shr(pb, 13)), i, true);
    }
    // Frame i alone, the last of an odd run.
    void single(std::uint32_t i) {
        const v128_t x = lo16(wasm_v128_load64_zero(mixer_scratch.staged + LANES * i), wasm_i32x4_splat(0));
        before_ = p_;
        p_ = wasm_i32x4_add(wasm_i32x4_dot_i16x8(wasm_i32x4_shl(p_, 4), keep_), wasm_i32x4_dot_i16x8(x, weight_));
        add_heard(wasm_i16x8_narrow_i32x4(wasm_i32x4_shr(p_, 13), wasm_i32x4_splat(0)), i, false);
    }
    v128_t p() const { return p_; }
    void finish(std::int32_t* p, std::int32_t* before) const {
        wasm_v128_store(p, p_);
        wasm_v128_store(before, before_);
    }

private:
    // heard: the lanes' halved values of frames i and i + 1 as 16-bit
    // numbers; each side's sum is one dot product by its 0/1 weights and
    // the fold of the two pairs it leaves per frame, added into the
    // accumulator (frame i + 1 only with `two`).
    void add_heard(v128_t heard, std::uint32_t i, bool two) {
        const v128_t l = wasm_i32x4_dot_i16x8(heard, left_);
        const v128_t r = wasm_i32x4_dot_i16x8(heard, right_);
        const v128_t lr_a = lo32(l, r);
        const v128_t lr_b = hi32(l, r);
        const v128_t sums = wasm_i32x4_add(lo64(lr_a, lr_b), hi64(lr_a, lr_b));
        std::int32_t* to = out_ + 2 * i;
        if (two)
            wasm_v128_store(to, wasm_i32x4_add(wasm_v128_load(to), sums));
        else
            wasm_v128_store64_lane(to, wasm_i32x4_add(wasm_v128_load64_zero(to), sums), 0);
    }
    std::int32_t* out_;
    v128_t keep_, keep_b_, weight_, weight_b_, left_, right_, p_, before_;
};

// Splitting a run of up to four lanes, as the AVX2 smoothing does on x86
// (x86/avx2_split.cpp): one lane's smoothing is a chain from frame to frame
// that cannot overlap itself, so four lanes in one vector wait on each
// dot product. The smoothing forgets where it started, so the second half
// of a long run can start from a guess (last = the frame's x) some frames
// early, and both halves go at once as two independent chains. Where the
// guess has not met the first half's true value by the frame before it is
// heard, what it added is taken out again and the frames are done from the
// truth, so the result is always exact.


// Runs where every lane sounds to the end, long enough for the warm-up,
// cut in two: the first half's `steps` frames from frame 0, the second's
// as many from `spacing` on, heard from frame `steps` (both even).
bool smooth_split(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames) {
    for (std::uint32_t l = 0; l < count; ++l)
        if (lanes[l].sounding != frames) return false;
    LaneSetup s;
    set_up(lanes, count, LANES, s);
    const std::uint32_t warm = split_warm_up(s);
    const std::uint32_t even = frames & ~1u;
    if (warm == 0 || warm * SPLIT_MIN_FACTOR > even) return false;
    std::uint32_t steps = (even + warm + 1) / 2;
    steps += steps & 1;
    if (steps >= even) return false;
    const std::uint32_t spacing = even - steps;

    interleave_four(0, frames);
    LaneSetup guess = s;
    for (std::uint32_t l = 0; l < LANES; ++l) guess.last[l] = mixer_scratch.lane_rows[l][spacing - 1];
    LaneKernel first(s, sums), second(guess, sums);
    std::uint32_t t = 0;
    for (; t < steps - spacing; t += 2) {
        first.pair(t);
        second.pair<false>(spacing + t);
    }
    const v128_t met = second.p();  // the guess at the frame before it is heard
    for (; t < steps; t += 2) {
        first.pair(t);
        second.pair(spacing + t);
    }

    alignas(16) std::int32_t p[LANES], before[LANES];
    const v128_t truth = first.p();
    if (!wasm_i32x4_all_true(wasm_i32x4_eq(wasm_i32x4_shr(truth, 12), wasm_i32x4_shr(met, 12)))) {
        // The guess's frames taken out (its sides negated) and the truth's
        // put in, again side by side.
        LaneSetup undo = s, mend = s;
        alignas(16) std::int32_t from[LANES], truth_p[LANES];
        wasm_v128_store(from, wasm_i32x4_shr(met, 12));
        wasm_v128_store(truth_p, wasm_i32x4_shr(truth, 12));
        for (std::uint32_t l = 0; l < LANES; ++l) {
            undo.last[l] = from[l];
            undo.left[l] = -s.left[l];
            undo.right[l] = -s.right[l];
            mend.last[l] = truth_p[l];
        }
        LaneKernel out(undo, sums), in(mend, sums);
        for (t = steps; t < even; t += 2) {
            out.pair(t);
            in.pair(t);
        }
        in.finish(p, before);
    } else {
        second.finish(p, before);
    }
    if (frames != even) {
        // The odd last frame from where the pairs left off.
        for (std::uint32_t l = 0; l < LANES; ++l) s.last[l] = p[l] >> 12;
        LaneKernel last(s, sums);
        last.single(even);
        last.finish(p, before);
    }
    store_lasts(lanes, count, frames, p, before);
    return true;
}

}  // namespace

// Not inlined into the split one below, which falls back on it: one copy
// of the frame-by-frame loop is enough.
[[gnu::noinline]] void smooth_four_simd128(const Lane* lanes, std::uint32_t count, std::int32_t* sums,
                                           std::uint32_t frames) {
    interleave_four(0, frames);
    smooth_lanes<LaneKernel>(lanes, count, sums, frames);
}

void smooth_four_split_simd128(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames) {
    if (!smooth_split(lanes, count, sums, frames)) smooth_four_simd128(lanes, count, sums, frames);
}

// Saturating to 16 bits first changes nothing, the bounds lie inside.
void clip_simd128(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames) {
    std::uint32_t i = 0;
    const std::uint32_t count = 2 * frames;
    const v128_t high = wasm_i16x8_splat(CLIP_HIGH);
    const v128_t low = wasm_i16x8_splat(CLIP_LOW);
    const v128_t zero = wasm_i32x4_splat(0);
    for (; i + 8 <= count; i += 8) {
        const v128_t packed = wasm_i16x8_narrow_i32x4(wasm_v128_load(sums + i), wasm_v128_load(sums + i + 4));
        wasm_v128_store(samples + i, wasm_i16x8_max(wasm_i16x8_min(packed, high), low));
        wasm_v128_store(sums + i, zero);
        wasm_v128_store(sums + i + 4, zero);
    }
    for (; i < count; ++i) {
        samples[i] = clip_sample(sums[i]);
        sums[i] = 0;
    }
}

}  // namespace zindle::mixing::wasm
