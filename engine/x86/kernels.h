// The x86 kernels of the mixer's table (mixer_kernels.h), one instruction
// set per file: each file is built with its own flag and runs only where
// the processor has that set (cpu_features.cpp decides, kernel_table.cpp
// chooses).
#pragma once

#include <cstdint>

#include "mixer_kernels.h"

namespace zindle::mixing::x86 {

// sse2.cpp
void smooth_four_sse2(const Lane* lanes, std::uint32_t count, std::int32_t* sums, std::uint32_t frames);
void clip_sse2(std::int32_t* sums, std::int16_t* samples, std::uint32_t frames);

// ssse3.cpp: steps up to ONE_BYTE_STEP in blocks, longer ones by the plain
// stagers.
void stage_ssse3(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                 std::uint32_t frames);
void stage_slope_ssse3(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume,
                       std::int32_t change, std::int16_t* to, std::uint32_t frames);
void stage_loop_ssse3(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end, std::uint32_t loop_length,
                      std::uint32_t step, std::uint8_t volume, std::int16_t* to, std::uint32_t frames);

// avx2.cpp: steps up to AVX2_STAGE_MAX_STEP, two sample bytes per frame, in
// blocks; longer ones by the plain stagers.
inline constexpr std::uint32_t AVX2_STAGE_MAX_STEP = 8192;
void stage_avx2(const std::uint8_t* data, std::uint32_t pos, std::uint32_t step, std::uint8_t volume, std::int16_t* to,
                std::uint32_t frames);
void stage_loop_avx2(const std::uint8_t* laid, std::uint32_t pos, std::uint32_t loop_end, std::uint32_t loop_length,
                     std::uint32_t step, std::uint8_t volume, std::int16_t* to, std::uint32_t frames);
void smooth_all_avx2(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames);

// avx2_split.cpp: up to LANES lanes that all sound through a long run, cut
// into pieces that go side by side; false where the run is not split.
bool smooth_split_avx2(const Lane* lanes, std::uint32_t count, std::int16_t* samples, std::uint32_t frames);

}  // namespace zindle::mixing::x86
