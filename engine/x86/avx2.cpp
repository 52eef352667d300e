// The AVX2 kernels: the staging of 16 or 32 frames at a time, and the
// smoothing of every channel heard in a stretch at once, in chains of
// eight lanes in 256-bit vectors, clipped straight into the samples.
#include <immintrin.h>

#include "mixer_kernels.h"
#include "x86/avx2_lanes.h"
#include "x86/interleave.h"
#include "x86/kernels.h"

namespace zindle::mixing::x86 {

namespace {

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
            _mm_load_si128(reinterpret_cast<const __m128i*>(mixer_scratch.staged + CHAIN_STRIDE * n + WIDE_LANES * i)));
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
    __m256i coefficients_[CHAINS], coefficients_b_[CHAINS], left_[CHAINS], right_[CHAINS], p_[CHAINS], before_[CHAINS];
};

}  // namespace

// Eight rows side by side into `to`, 16 frames at a time: an 8 x 8
// transpose in each 128-bit half, frames 0-7 in the lower and 8-15 in the
// upper, whose frame pairs are put back in order on the store.
void interleave_rows(const std::int16_t* const* rows, std::int16_t* to_chain, std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; i += 16) {
        __m256i r[8];
        for (std::uint32_t l = 0; l < 8; ++l) r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[l] + i));
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

namespace {

// The SSSE3 staging's 16-frame blocks (see ssse3.cpp) in 256-bit
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
        const __m256i frames =
            _mm256_add_epi16(_mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7),
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
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                            _mm256_maddubs_epi16(scale_, _mm256_shuffle_epi8(bytes, offsets)));
    }

    __m256i ramp_, scale_;
};

}  // namespace

void stage_avx2(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                std::uint32_t frames) {
    if (step > AVX2_STAGE_MAX_STEP) return plain::stage(data, pos, step, volume, to, frames);
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

// The same over a loop laid out from `laid` (see stage_laid_loop in the
// mixer): every block's start is wrapped into the loop, whose bytes follow
// one another there, the first 16 repeated behind it.
void stage_loop_avx2(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end, std::uint32_t loop_length,
                     std::uint32_t step, std::uint8_t volume, std::int16_t* to, std::uint32_t frames) {
    if (step > AVX2_STAGE_MAX_STEP)
        return plain::stage_loop(laid, pos, loop_end, loop_length, step, volume, to, frames);
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

// Every channel heard in a stretch. Runs are split only for up to four
// lanes (two pieces of four fill one 256-bit chain); more lanes go in
// chains of eight, all at once.
void smooth_all_avx2(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames) {
    const ClipSums sink{samples};
    if (count <= LANES) {
        if (smooth_split_avx2(lanes, count, samples, frames)) return;
        interleave_four(0, frames);
        smooth_lanes<WideKernel>(lanes, count, sink, frames);
        return;
    }
    const std::uint32_t chains = (count + WIDE_LANES - 1) / WIDE_LANES;
    for (std::uint32_t n = 0; n < chains; ++n) {
        const std::int16_t* rows[WIDE_LANES];
        for (std::uint32_t l = 0; l < WIDE_LANES; ++l) rows[l] = mixer_scratch.lane_rows[WIDE_LANES * n + l];
        interleave_rows(rows, mixer_scratch.staged + CHAIN_STRIDE * n, frames);
    }
    switch (chains) {
    case 1: smooth_lanes<EightKernel<1>>(lanes, count, sink, frames); break;
    case 2: smooth_lanes<EightKernel<2>>(lanes, count, sink, frames); break;
    case 3: smooth_lanes<EightKernel<3>>(lanes, count, sink, frames); break;
    default: smooth_lanes<EightKernel<MOST_CHAINS>>(lanes, count, sink, frames); break;
    }
}

}  // namespace zindle::mixing::x86
