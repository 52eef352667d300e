// Processor detection, built without any extension of its own.
#include "x86/cpu_features.h"

#include <cpuid.h>

namespace zindle::mixing::x86 {

CpuFeatures cpu_features() {
    CpuFeatures found{};
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return found;
    found.sse2 = (d & bit_SSE2) != 0;
    found.ssse3 = (c & bit_SSSE3) != 0;
    // AVX2 needs the system to save the wide registers too.
    if ((c & bit_AVX) != 0 && (c & bit_OSXSAVE) != 0) {
        unsigned low = 0, high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        found.avx2 = (low & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_AVX2) != 0;
    }
    return found;
}

}  // namespace zindle::mixing::x86
