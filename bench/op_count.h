// op_count.h: the vector operations the engine issues, counted from its code, and the limit
// they put on a frame's speed on this machine
//
// One "vector" op works on 8 lanes, that is 8 frame pixels (one per strip). Ops are put in three
// classes: add (vaddps, vsubps), mul (vmulps) and other (compares, ands, conversions, the
// approximate reciprocal, the integer inserts, widenings, packs and shuffles of staging,
// packing and write-back). Loads and stores are counted apart and do not enter the limit.
#pragma once

#include <stdint.h>

struct OpCount {
    double Add = 0, Mul = 0, Other = 0, Loads = 0, Stores = 0;
    double Arithmetic() const { return Add + Mul + Other; }
    OpCount& operator+=(const OpCount& o);
};
OpCount operator*(double k, const OpCount& o);

// Vector-op throughput of this machine, in ops per nanosecond, measured by dependency-free
// loops: 8-lane adds alone, 8-lane multiplies alone, and both interleaved one to one. Store
// is aligned 32-byte stores to L1 alone; it does not enter the limit, but tells how close the
// kernel's credits (two stores each) come to another wall.
struct Throughput {
    double Add = 0, Mul = 0, Mixed = 0, Store = 0;
};
Throughput MeasureThroughput();

// The ops of one pixel-offset pair as the chunk step spends them (both ends credited), for the
// per-pixel figure quoted in the output.
OpCount ChunkPairOps(bool gaussian);

// The ops of a whole W x H frame at Range R, planned for `threads` threads as ProcessFrame does
// (same band height), counted operation by operation from the engine's loops.
OpCount FrameOps(int W, int H, int R, bool gaussian, int threads);

// Shortest time the ops can take on one core, in nanoseconds: the longest of adds at the add
// rate, multiplies at the multiply rate and all arithmetic at the mixed rate.
double LimitNanoseconds(const OpCount& ops, const Throughput& peak);

// Measured once by main before any benchmark runs.
extern Throughput Peak;
