// The WebAssembly kernels of the mixer's table (mixer_kernels.h): SIMD128
// for the smoothing in groups of four and the clip, as the SSE2 kernels do
// it on x86, and for the staging by byte swizzle, as the SSSE3 stagers do.
// The simd128 files alone are built with the SIMD128 flag.
#pragma once

#include <cstdint>

#include "mixer_kernels.h"

namespace zindle::mixing::wasm {

// simd128.cpp
void smooth_four_simd128(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames);
// The same, long runs of lanes that all sound cut in two chains at once.
void smooth_four_split_simd128(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames);
void clip_simd128(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames);

// simd128_stage.cpp
void stage_simd128(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                   std::int16_t* to, std::uint32_t frames);
void stage_slope_simd128(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                         std::int32_t change, std::int16_t* to, std::uint32_t frames);
void stage_loop_simd128(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end,
                        std::uint32_t loop_length, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                        std::uint32_t frames);

}  // namespace zindle::mixing::wasm
