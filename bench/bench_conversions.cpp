// bench_conversions.cpp: the host's conversions between callers' pixels and its luma images
//
// 1920x1080 frames, one thread: an 8-bit and a 10-bit plane, 8-bit RGB (as a PNG holds it, in
// 16-bit samples) and 8-bit RGBA bytes, each way. Reports MP/s.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "../subhost/luma_planes.h"

namespace {

const int W = 1920, H = 1080;

struct Shape {
    int Bits, Bytes, Channels;
};

const Shape Shapes[] = {{8, 1, 1}, {10, 2, 1}, {8, 2, 3}, {8, 1, 4}};

PixelLayout LayoutOf(const Shape& s) {
    PixelLayout l;
    l.Bits = s.Bits;
    l.Bytes = s.Bytes;
    l.Channels = s.Channels;
    return l;
}

std::vector<uint8_t> RandomPixels(const Shape& s) {
    std::vector<uint8_t> bytes(size_t(W) * H * s.Channels * s.Bytes);
    std::mt19937 random(1);
    if (s.Bytes == 1) {
        for (uint8_t& b : bytes) b = uint8_t(random());
    } else {
        uint16_t* v = reinterpret_cast<uint16_t*>(bytes.data());
        for (size_t i = 0; i < bytes.size() / 2; i++) v[i] = uint16_t(random() & MaxSample(s.Bits));
    }
    return bytes;
}

// Second argument 1: the SSE2 baseline instead of the processor's best path.
void BenchPixelsToHost(benchmark::State& state) {
    const Shape& s = Shapes[state.range(0)];
    UseBaselineConversions(state.range(1) != 0);
    const std::vector<uint8_t> pixels = RandomPixels(s);
    std::vector<YcPixel> image(size_t(W) * H);
    for (auto _ : state) {
        PixelsToHost(LayoutOf(s), pixels.data(), image.data(), W, W, 0, H);
        benchmark::ClobberMemory();
    }
    UseBaselineConversions(false);
    state.counters["MP/s"] =
        benchmark::Counter(double(W) * H * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

void BenchPixelsFromHost(benchmark::State& state) {
    const Shape& s = Shapes[state.range(0)];
    UseBaselineConversions(state.range(1) != 0);
    const std::vector<uint8_t> pixels = RandomPixels(s);
    std::vector<uint8_t> out(pixels.size());
    std::vector<YcPixel> image(size_t(W) * H);
    PixelsToHost(LayoutOf(s), pixels.data(), image.data(), W, W, 0, H);
    for (YcPixel& p : image) p.Y = int16_t(p.Y + 5);
    for (auto _ : state) {
        PixelsFromHost(LayoutOf(s), image.data(), W, pixels.data(), out.data(), W, 0, H);
        benchmark::ClobberMemory();
    }
    UseBaselineConversions(false);
    state.counters["MP/s"] =
        benchmark::Counter(double(W) * H * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

// First argument: 0 8-bit plane, 1 10-bit plane, 2 8-bit RGB in 16-bit samples, 3 RGBA bytes;
// the planes also on the SSE2 baseline.
BENCHMARK(BenchPixelsToHost)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Args({2, 0})
    ->Args({3, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BenchPixelsFromHost)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Args({2, 0})
    ->Args({3, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace
