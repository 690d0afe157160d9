// bench_noise.cpp: the noise estimate of one frame, to set beside the frame's filter time
//
// BenchEstimateNoise/1920/1080 times EstimateNoise on an 8-bit 1920x1080 frame (a ramp with
// Gaussian noise of sigma 10); BenchPlane (bench_frames.cpp, the entry the program uses) at
// Range 1 on one thread is the filter time it should stay under 5 % of. The program measures
// every frame of a stream with it, on its reader's thread. 1280x720: 135 us against 3.15 ms
// (4.3 %), 1920x1080: 207 us against 7.10 ms (2.9 %), Gaussian, on the 2-core Intel Xeon VM,
// shuffled runs; 10-bit planes take the same vector path (docs/strength.md).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "../noise/noise_estimate.h"

namespace {

void BenchEstimateNoise(benchmark::State& state) {
    const int W = int(state.range(0)), H = int(state.range(1));
    std::vector<uint8_t> plane(size_t(W) * H);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 10.0);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const double v = 40 + 170.0 * (x + y) / (W + H) + noise(rng);
            plane[size_t(y) * W + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
    for (auto _ : state) {
        const NoiseEstimate e = EstimateNoise(plane.data(), W, H, W, 8);
        benchmark::DoNotOptimize(e.Sigma);
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(W) * H * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BenchEstimateNoise)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

// The same for a 10-bit plane (16-bit samples, below 1024: the same vector path as bytes).
void BenchEstimateNoise10(benchmark::State& state) {
    const int W = int(state.range(0)), H = int(state.range(1));
    std::vector<uint16_t> plane(size_t(W) * H);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 40.0);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const double v = 160 + 680.0 * (x + y) / (W + H) + noise(rng);
            plane[size_t(y) * W + x] = uint16_t(v < 0 ? 0 : v > 1023 ? 1023 : v);
        }
    }
    for (auto _ : state) {
        const NoiseEstimate e = EstimateNoise(plane.data(), W, H, W, 10);
        benchmark::DoNotOptimize(e.Sigma);
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(W) * H * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BenchEstimateNoise10)->Args({1280, 720})->Unit(benchmark::kMicrosecond);

}  // namespace
