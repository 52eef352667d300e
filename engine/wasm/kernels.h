// The WebAssembly kernels of the mixer's table (mixer_kernels.h): SIMD128
// for the smoothing in groups of four and the clip, as the SSE2 kernels do
// it on x86. simd128.cpp alone is built with the SIMD128 flag.
#pragma once

#include <cstdint>

#include "mixer_kernels.h"

namespace zindle::mixing::wasm {

// simd128.cpp
void smooth_four_simd128(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames);
void clip_simd128(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames);

}  // namespace zindle::mixing::wasm
