// The WebAssembly kernels put into the mixer's table over the plain ones.
// A module either has SIMD128 or fails to load at all, so there is nothing
// to detect: the SIMD128 kernels do what the SSE2 ones do on x86 and stand
// at that level, so a cap at plain leaves the plain kernels and any higher
// cap takes them. ZINDLE_KERNELS=OFF builds a module without SIMD128 for
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
}

}  // namespace zindle::mixing
