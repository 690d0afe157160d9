// test_platform.cpp: the platform layer for in-process tests, with a failing allocator on demand
#include "test_platform.h"

#include <stdlib.h>

#include <atomic>

int TestAllocationsToFail = 0;
int TestAllocationCount = 0;
int TestLiveBlocks = 0;

void* AlignedAlloc(size_t bytes, size_t alignment) {
    if (TestAllocationsToFail > 0) {
        TestAllocationsToFail--;
        return nullptr;
    }
    void* block = nullptr;
    if (posix_memalign(&block, alignment, bytes) != 0) return nullptr;
    TestAllocationCount++;
    TestLiveBlocks++;
    return block;
}

void AlignedFree(void* block) {
    if (block != nullptr) TestLiveBlocks--;
    free(block);
}

int32_t AtomicIncrement(volatile int32_t* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}
