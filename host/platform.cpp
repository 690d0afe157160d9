// platform.cpp: aligned allocation and the atomic increment for Windows and POSIX
#include "platform.h"

#if defined(_WIN32)
#include <malloc.h>
#include <windows.h>
#else
#include <stdlib.h>
#endif

void* AlignedAlloc(size_t bytes, size_t alignment) {
#if defined(_WIN32)
    return _aligned_malloc(bytes, alignment);
#else
    void* block = nullptr;
    return posix_memalign(&block, alignment, bytes) == 0 ? block : nullptr;
#endif
}

void AlignedFree(void* block) {
#if defined(_WIN32)
    _aligned_free(block);
#else
    free(block);
#endif
}

int32_t AtomicIncrement(volatile int32_t* value) {
#if defined(_WIN32)
    return InterlockedIncrement(reinterpret_cast<volatile LONG*>(value));
#else
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
#endif
}
