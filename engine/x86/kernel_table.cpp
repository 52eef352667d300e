// The x86 kernels put into the mixer's table over the plain ones: SSE2 for
// the smoothing in groups of four and the clip, SSSE3 for the staging by
// byte shuffle, AVX2 for wider staging and for the smoothing of every
// channel at once. The cap (MixerLevel) leaves out the later sets, so tests
// reach every path.
#include "mixer_kernels.h"
#include "mixer_rules.h"
#include "x86/cpu_features.h"
#include "x86/kernels.h"

namespace zindle::mixing {

void choose_processor_kernels(MixerLevel most, MixerKernels& k) {
    const x86::CpuFeatures cpu = x86::cpu_features();
    if (most < MixerLevel::sse2 || !cpu.sse2) return;
    k.smooth_group = x86::smooth_four_sse2;
    k.group_lanes = LANES;
    k.clip = x86::clip_sse2;
    if (most < MixerLevel::ssse3 || !cpu.ssse3) return;
    k.stage = x86::stage_ssse3;
    k.stage_loop = x86::stage_loop_ssse3;
    k.lay_out_loops = true;
    k.stage_slope = x86::stage_slope_ssse3;
    if (most < MixerLevel::avx2 || !cpu.avx2) return;
    k.stage = x86::stage_avx2;
    k.stage_loop = x86::stage_loop_avx2;
    k.all_at_once = true;
    k.smooth_all = x86::smooth_all_avx2;
}

}  // namespace zindle::mixing
