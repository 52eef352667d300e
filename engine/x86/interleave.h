// The first four lane rows side by side, frame after frame, as the
// four-lane kernels read them. Included only by files built with SSE2 or
// more; each keeps its own copy.
#pragma once

#include <emmintrin.h>

#include "mixer_lanes.h"

namespace zindle::mixing::x86 {

namespace {

// In blocks of 8 frames, from the block holding frame `from` to frame
// `to_frame`.
[[gnu::always_inline]] inline void interleave_four(std::uint32_t from, std::uint32_t to_frame) {
    for (std::uint32_t i = from & ~7u; i < to_frame; i += 8) {
        const auto row = [i](std::uint32_t l) {
            return _mm_load_si128(reinterpret_cast<const __m128i*>(mixer_scratch.lane_rows[l] + i));
        };
        const __m128i r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
        const __m128i a = _mm_unpacklo_epi16(r0, r1), b = _mm_unpackhi_epi16(r0, r1);
        const __m128i c = _mm_unpacklo_epi16(r2, r3), d = _mm_unpackhi_epi16(r2, r3);
        auto* to = reinterpret_cast<__m128i*>(mixer_scratch.staged + LANES * i);
        _mm_store_si128(to, _mm_unpacklo_epi32(a, c));
        _mm_store_si128(to + 1, _mm_unpackhi_epi32(a, c));
        _mm_store_si128(to + 2, _mm_unpacklo_epi32(b, d));
        _mm_store_si128(to + 3, _mm_unpackhi_epi32(b, d));
    }
}

}  // namespace

}  // namespace zindle::mixing::x86
