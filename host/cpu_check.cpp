// cpu_check.cpp: does this processor and operating system run AVX code?
//
// Compiled without -mavx: it runs before any AVX instruction may execute.
#include "platform.h"

#include <cpuid.h>

static bool ProbeAvx() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((ecx & (osxsave | avx)) != (osxsave | avx)) return false;
    // XCR0 bits 1 and 2: the system saves SSE and AVX state across context switches.
    unsigned xcr0Low = 0, xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    return (xcr0Low & 6u) == 6u;
}

bool CpuHasAvx() {
    // Asked once; every later answer is the same, so a race on the first call is harmless.
    static int known = 0;  // 0: not asked yet, 1: no AVX, 2: AVX
    if (known == 0) known = ProbeAvx() ? 2 : 1;
    return known == 2;
}
