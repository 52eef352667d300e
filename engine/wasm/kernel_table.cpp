// The WebAssembly kernels put into the mixer's table over the plain ones.
// A module either has SIMD128 or fails to load at all, so there is nothing
// to detect: the SIMD128 smoothing and clip do what the SSE2 kernels do on
// x86 and stand at that level, the stagers do what the SSSE3 ones do and
// stand at that one, and the smoothing that splits long runs stands where
// the AVX2 one that does so stands, so each cap leaves the kernels above
// it out. ZINDLE_KERNELS=OFF builds a module without SIMD128 for
// runtimes that lack it.
#include "mixer_kernels.h"
#include "mixer_rules.h"
#include "wasm/kernels.h"

namespace zindle::mixing {

void choose_processor_kernels(MixerLevel most, MixerKernels& k) {
    if (most < MixerLevel::sse2) return;
    k.smooth_group = wasm::smooth_four_simd128;
    k.group_lanes = LANES;
    k.clip = wasm::clip_simd128;
    if (most < MixerLevel::ssse3) return;
    k.stage = wasm::stage_simd128;
    k.stage_loop = wasm::stage_loop_simd128;
    k.lay_out_loops = true;
    k.stage_slope = wasm::stage_slope_simd128;
    if (most < MixerLevel::avx2) return;
    k.smooth_group = wasm::smooth_four_split_simd128;
}

}  // namespace zindle::mixing
