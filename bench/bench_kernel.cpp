// bench_kernel.cpp: the engine's operations one at a time, in nanoseconds per chunk pixel
//
// A chunk pixel is one frame pixel of the chunk: 8 per vector column (one per strip). Every
// benchmark works on a full chunk (n = 40) of noisy 12-bit content at Strength 40 and reports
// per_px, the time per pixel the operation produces or credits:
//   StageRow            one staged row of n + 2R + 2 vectors (per staged pixel)
//   AccumulateAboveBand the band's first R rows (per pixel of those R rows)
//   AccumulateRowPair   the pair's two rows (per pixel of the two rows)
#include <benchmark/benchmark.h>

#include <string.h>

#include <random>
#include <vector>

#include "../engine/band_worker.h"
#include "../engine/patch_kernel.h"
#include "../engine/row_staging.h"
#include "../host/platform.h"
#include "op_count.h"

namespace {

// Staged rows, accumulators and distances of one chunk, as a thread slice lays them out.
struct ChunkSetup {
    float* block = nullptr;
    Chunk chunk{};
    alignas(32) float coefficient[8];
    float lowerBound, exponentBias;

    ChunkSetup(int R, int n, int stagedRows, bool gaussian) {
        const size_t floats = DistanceFloats + size_t(R + 2) * AccumulatorRowFloats +
                              size_t(stagedRows) * StagedRowFloats;
        block = static_cast<float*>(AlignedAlloc(floats * sizeof(float), 128));
        std::mt19937 rng(7);
        std::normal_distribution<float> noise(0.0f, 160.0f);
        for (size_t i = 0; i < floats; i++) block[i] = 0.0f;
        float* staged = block + DistanceFloats + size_t(R + 2) * AccumulatorRowFloats;
        for (int r = 0; r < stagedRows; r++)
            for (int k = 0; k < 50 * 8; k++)
                staged[r * StagedRowFloats + k] =
                    float(int(1600.0f + 8.0f * float(k / 8 + r) + noise(rng)));
        // Strength 40: v = 0.4^2 * 40, c = -(2^23 / ln 2) / (K v^2).
        const double v = 0.16 * 40.0, K = gaussian ? 1253.79584 : 2304.0;
        for (float& c : coefficient)
            c = float((-1.0 / ((v * K) * v)) * 8388608.0 / 0.6931471805599453);
        uint32_t lower = 0xCE7B0768, bias = 0x4E7DE000;
        memcpy(&lowerBound, &lower, 4);
        memcpy(&exponentBias, &bias, 4);
        chunk.R = R;
        chunk.n = n;
        chunk.Distance = block;
        chunk.Staged = staged;
        chunk.Coefficient = coefficient;
        chunk.LowerBound = &lowerBound;
        chunk.ExponentBias = &exponentBias;
        for (int i = 0; i < R + 2; i++)
            chunk.Ring[i] = block + DistanceFloats + i * AccumulatorRowFloats + EntryFloats * R;
        for (int i = 0; i < R + 2; i++) InitAccumulatorRow(chunk, chunk.Ring[i], i);
    }
    ~ChunkSetup() { AlignedFree(block); }
};

void PerPixel(benchmark::State& state, double pixels) {
    // Seconds per pixel, printed with an SI prefix ("4.2n" is 4.2 ns).
    state.counters["per_px"] = benchmark::Counter(
        pixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BenchStageRow(benchmark::State& state) {
    const int R = int(state.range(0)), n = 40, V = 240;  // a 1920-wide row, middle chunk
    std::vector<YcPixel> row(size_t(8 * V));
    std::mt19937 rng(3);
    for (YcPixel& p : row) p = YcPixel{int16_t(rng() % 4096), 0, 0};
    ChunkSetup setup(R, n, 2 * R + 4, true);
    const char* source = reinterpret_cast<const char*>(row.data()) + 6 * (80 - R - 1);
    for (auto _ : state) {
        StageRow(0, n + 2 * R + 2, 0, 6 * V, source, setup.chunk.Staged);
        benchmark::ClobberMemory();
    }
    PerPixel(state, 8.0 * (n + 2 * R + 2));
}

template <bool Gaussian>
void BenchAccumulateAboveBand(benchmark::State& state) {
    const int R = int(state.range(0)), n = 40;
    ChunkSetup setup(R, n, 2 * R + 4, Gaussian);
    for (auto _ : state) {
        AccumulateAboveBand<Gaussian>(setup.chunk);
        benchmark::ClobberMemory();
    }
    PerPixel(state, 8.0 * n * R);
}

template <bool Gaussian>
void BenchAccumulateRowPair(benchmark::State& state) {
    const int R = int(state.range(0)), n = 40;
    ChunkSetup setup(R, n, 2 * R + 4, Gaussian);
    for (auto _ : state) {
        AccumulateRowPair<Gaussian>(setup.chunk, 0);
        benchmark::ClobberMemory();
    }
    PerPixel(state, 8.0 * n * 2);
    // The arithmetic floor of the chunk step alone, from the counted ops and the measured peak.
    const OpCount pair = ChunkPairOps(Gaussian);
    const double offsets = 2.0 * R * R + 2.0 * R;
    state.counters["limit_per_px"] = LimitNanoseconds(offsets * pair, Peak) / 8.0 * 1e-9;
}

void PackAndInit(benchmark::State& state) {
    const int R = 2, n = 40;
    ChunkSetup setup(R, n, 2 * R + 4, true);
    alignas(16) static int16_t packed[2][8 * 40];
    for (auto _ : state) {
        InitAccumulatorRow(setup.chunk, setup.chunk.Ring[R], R);
        InitAccumulatorRow(setup.chunk, setup.chunk.Ring[R + 1], R + 1);
        PackRowPair(setup.chunk, packed[0], packed[1], 0);
        benchmark::ClobberMemory();
    }
    PerPixel(state, 8.0 * n * 2);
}

}  // namespace

BENCHMARK(BenchStageRow)->DenseRange(1, 4);
BENCHMARK(BenchAccumulateAboveBand<true>)
    ->Name("BenchAccumulateAboveBand/gaussian")
    ->DenseRange(1, 4);
BENCHMARK(BenchAccumulateAboveBand<false>)->Name("BenchAccumulateAboveBand/box")->DenseRange(1, 4);
BENCHMARK(BenchAccumulateRowPair<true>)->Name("BenchAccumulateRowPair/gaussian")->DenseRange(1, 4);
BENCHMARK(BenchAccumulateRowPair<false>)->Name("BenchAccumulateRowPair/box")->DenseRange(1, 4);
BENCHMARK(PackAndInit)->Name("BenchInitAndPackRowPair");
