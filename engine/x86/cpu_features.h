// What this x86 processor offers the mixer's kernels.
#pragma once

namespace zindle::mixing::x86 {

struct CpuFeatures {
    bool sse2;
    bool ssse3;
    bool avx2;  // with the system saving the 256-bit registers
};

CpuFeatures cpu_features();

}  // namespace zindle::mixing::x86
