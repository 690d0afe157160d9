// platform.h: the few services the filter takes from the operating system and runtime
//
// The engine includes only this header for them, so it builds the same on Windows and Linux.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Aligned heap block; null on failure. Release only with AlignedFree.
void* AlignedAlloc(size_t bytes, size_t alignment);
void AlignedFree(void* block);

// Atomically adds 1 to *value and returns the new value.
int32_t AtomicIncrement(volatile int32_t* value);

// True when the processor and the operating system support AVX (CPUID and XGETBV, asked once).
bool CpuHasAvx();
