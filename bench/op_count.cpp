// op_count.cpp: count the engine's vector operations per frame and measure what the core can do
//
// The counts follow engine/ loop by loop (chunk geometry, band plan, run lengths); when a loop
// there changes, its count here must change with it.
#include "op_count.h"

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "../host/process_frame.h"

Throughput Peak;

OpCount& OpCount::operator+=(const OpCount& o) {
    Add += o.Add;
    Mul += o.Mul;
    Other += o.Other;
    Loads += o.Loads;
    Stores += o.Stores;
    return *this;
}

OpCount operator*(double k, const OpCount& o) {
    OpCount r;
    r.Add = k * o.Add;
    r.Mul = k * o.Mul;
    r.Other = k * o.Other;
    r.Loads = k * o.Loads;
    r.Stores = k * o.Stores;
    return r;
}

static OpCount Ops(double add, double mul, double other, double loads, double stores) {
    OpCount r;
    r.Add = add;
    r.Mul = mul;
    r.Other = other;
    r.Loads = loads;
    r.Stores = stores;
    return r;
}

// Pass 1 of a one-row run of len columns (DistanceRun): len + 2 column terms, each three
// squared differences plus ColumnTerms; per output one add (partial + side), one multiply by c
// and one add for the next partial.
static OpCount RunOps(bool gaussian, int len) {
    const OpCount terms = gaussian ? Ops(3 + 3, 3 + 3, 0, 6, 0) : Ops(3 + 2, 3, 0, 6, 0);
    OpCount r = double(len + 2) * terms;
    r += double(len) * Ops(2, 1, 0, 0, 1);
    return r;
}

// Pass 1 of a two-row run over the four-row window (DistanceRunPair).
static OpCount RunPairOps(bool gaussian, int len) {
    const OpCount terms = gaussian ? Ops(4 + 6, 4 + 6, 0, 8, 0) : Ops(4 + 4, 4, 0, 8, 0);
    OpCount r = double(len + 2) * terms;
    r += double(2 * len) * Ops(2, 1, 0, 0, 1);
    return r;
}

// Pass 2 per pair: FastExpWeight (add, compare, convert, and) and one or two Credits (multiply,
// two adds, two loads, two stores each).
static OpCount WeightOps(int credits) {
    OpCount r = Ops(1, 0, 3, 1, 0);
    r += double(credits) * Ops(2, 1, 0, 3, 2);
    return r;
}

OpCount ChunkPairOps(bool gaussian) {
    const int len = 40;
    OpCount r = (1.0 / (2 * len)) * RunPairOps(gaussian, len);
    r += WeightOps(2);
    return r;
}

static OpCount AboveBandOps(bool gaussian, int R, int n) {
    const double runs = double(2 * R + 1) * R * (R + 1) / 2;
    OpCount run = RunOps(gaussian, n);
    run += double(n) * WeightOps(1);
    return runs * run;
}

static OpCount RowPairOps(bool gaussian, int R, int n) {
    OpCount chunkRun = RunPairOps(gaussian, n);
    chunkRun += double(2 * n) * WeightOps(2);
    OpCount marginRun = RunPairOps(gaussian, R);
    marginRun += double(2 * R) * WeightOps(1);
    OpCount r = double(2 * R * R + 2 * R) * chunkRun;
    r += double((R + 1) * R + R * R) * marginRun;
    return r;
}

OpCount FrameOps(int W, int H, int R, bool gaussian, int threads) {
    const int BH = PlanBandHeight(H, threads, R);
    const int V = (W + 63) / 64 * 8;
    // StageRow per plain vector: two 128-bit inserts, two shuffles, an and, a convert and the
    // multiply by 2^-16 (the few margin vectors take word inserts instead).
    const OpCount stage = Ops(0, 1, 6, 4, 1);
    // InitAccumulatorRow per entry: one load, three stores.
    const OpCount init = Ops(0, 0, 0, 1, 3);
    // PackRowPair per vector: reciprocal, multiply, convert, extract, pack.
    const OpCount pack = Ops(0, 1, 4, 2, 1);
    // WriteBackBand per vector column: 3 of the 24 unpacks of an 8x8 transpose, 3 shuffles and
    // 3 blends, three 16-byte loads and stores of pixels.
    const OpCount writeBack = Ops(0, 0, 9, 4, 4);
    OpCount total;
    for (int b = 0; b < H; b += BH) {
        const int m = std::min(b + BH, H) - b, pairs = (m + 1) / 2;
        for (int c0 = 0; c0 < V; c0 += 40) {
            const int n = std::min(40, V - c0);
            total += double((2 * R + 2 + 2 * pairs) * (n + 2 * R + 2)) * stage;
            total += double((R + 2 * pairs) * (n + 2 * R)) * init;
            total += AboveBandOps(gaussian, R, n);
            total += double(pairs) * RowPairOps(gaussian, R, n);
            total += double(2 * pairs * n) * pack;
        }
        total += double(m) * double(V) * writeBack;
    }
    return total;
}

double LimitNanoseconds(const OpCount& ops, const Throughput& peak) {
    return std::max({ops.Add / peak.Add, ops.Mul / peak.Mul, ops.Arithmetic() / peak.Mixed});
}

// ---- throughput loops --------------------------------------------------------------------
// Independent chains, more than latency x pipes, so only throughput limits them. Written in
// assembly so that the compiler can neither merge the chains nor drop a multiply by 1.

// Best of many short trials: other processes on the machine only ever slow a trial down.
template <typename Body>
static double OpsPerNanosecond(Body body, double opsPerCall) {
    const auto t0 = std::chrono::steady_clock::now();
    const int calls = 200;
    for (int i = 0; i < calls; i++) body();
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    return opsPerCall * calls / ns;
}

// 1000 iterations of 14 independent 8-lane ops: chains on ymm0 to ymm13, operand ymm15. Add and
// multiply latency is 3 to 4 cycles on current cores, so 7 chains of each keep two pipes of
// each kind busy.
#define OP(op, r) op " %%ymm15, %%ymm" #r ", %%ymm" #r "\n\t"
#define CHAINS(op0, op1) \
    __asm__ volatile("vxorps %%ymm15, %%ymm15, %%ymm15\n\t"                                       \
                     "mov $1000, %%ecx\n\t"                                                       \
                     "1:\n\t" OP(op0, 0) OP(op1, 1) OP(op0, 2) OP(op1, 3) OP(op0, 4) OP(op1, 5)  \
                         OP(op0, 6) OP(op1, 7) OP(op0, 8) OP(op1, 9) OP(op0, 10) OP(op1, 11)     \
                             OP(op0, 12) OP(op1, 13) "dec %%ecx\n\t"                              \
                                                     "jnz 1b\n\t"                                 \
                                                     "vzeroupper"                                 \
                     :                                                                            \
                     :                                                                            \
                     : "ecx", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7",     \
                       "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm15", "cc")

__attribute__((noinline)) static void AddChains() {
    CHAINS("vaddps", "vaddps");
}
__attribute__((noinline)) static void MulChains() {
    CHAINS("vmulps", "vmulps");
}
__attribute__((noinline)) static void MixedChains() {
    CHAINS("vaddps", "vmulps");
}

alignas(64) static float StoreTarget[64];

// 1000 iterations of 8 aligned 32-byte stores to one 256-byte block of L1.
__attribute__((noinline)) static void StoreStream() {
    __asm__ volatile(
        "vxorps %%ymm0, %%ymm0, %%ymm0\n\t"
        "mov $1000, %%ecx\n\t"
        "1:\n\t"
        "vmovaps %%ymm0, (%0)\n\tvmovaps %%ymm0, 32(%0)\n\tvmovaps %%ymm0, 64(%0)\n\t"
        "vmovaps %%ymm0, 96(%0)\n\tvmovaps %%ymm0, 128(%0)\n\tvmovaps %%ymm0, 160(%0)\n\t"
        "vmovaps %%ymm0, 192(%0)\n\tvmovaps %%ymm0, 224(%0)\n\t"
        "dec %%ecx\n\t"
        "jnz 1b\n\t"
        "vzeroupper"
        :
        : "r"(StoreTarget)
        : "ecx", "xmm0", "memory", "cc");
}

Throughput MeasureThroughput() {
    // 600 trials over about half a second, pausing now and then: a busy machine takes the core
    // away in time slices, and the best trials fall between them.
    Throughput t;
    for (int trial = 0; trial < 600; trial++) {
        if (trial % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        t.Add = std::max(t.Add, OpsPerNanosecond(AddChains, 14000));
        t.Mul = std::max(t.Mul, OpsPerNanosecond(MulChains, 14000));
        t.Mixed = std::max(t.Mixed, OpsPerNanosecond(MixedChains, 14000));
        t.Store = std::max(t.Store, OpsPerNanosecond(StoreStream, 8000));
    }
    return t;
}
