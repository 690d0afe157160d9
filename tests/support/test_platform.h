// test_platform.h: switches and counters of the in-process tests' platform layer
#pragma once

#include "../../host/platform.h"

extern int TestAllocationsToFail;  // the next this many allocations return null
extern int TestAllocationCount;    // successful allocations so far
extern int TestLiveBlocks;         // allocated and not yet released
