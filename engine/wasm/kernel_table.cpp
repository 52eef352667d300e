// The WebAssembly kernels chosen into the mixer's table. A module either
// has SIMD128 or fails to load at all, so there is nothing to detect: a
// build with the kernels runs them, at every cap (the x86 cap's lowest
// level, too, keeps the four-lane smoothing). ZINDLE_KERNELS=OFF builds a
// module without SIMD128 for runtimes that lack it.
#include "mixer_kernels.h"
#include "mixer_rules.h"
#include "wasm/kernels.h"

namespace zindle::mixing {

void choose_processor_kernels(MixerExtensions, MixerKernels& k) {
    k.smooth_group = wasm::smooth_four_simd128;
    k.group_lanes = LANES;
    k.clip = wasm::clip_simd128;
}

}  // namespace zindle::mixing
