// bench_frames.cpp: whole frames through the loaded module and the substitute host
//
// 1280x720 and 1920x1080, Range 1 to 4, Gaussian and box, on one thread and on every hardware
// thread. Reports MP/s (megapixels per second), and, from the ops the engine issues for the
// frame (op_count.h) and the measured peak, limit_MP/s (the speed at which the cores would do
// nothing but those ops) and eff (MP/s over limit_MP/s). cpu_MP/s is MP/s as if every thread
// had its core to itself: the frame's pixels over the CPU time the process spent on them, times
// the thread count; on a shared machine it is the figure to compare engine changes by, and
// cpu_eff (cpu_MP/s over limit_MP/s) the share of the limit to quote. BenchPlane times the same
// frames through the Linux library's plane entry (planes of 16-bit Y, as the program uses it).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../subhost/substitute_host.h"
#include "op_count.h"

namespace {

SubstituteHost& HostWithThreads(int threads) {
    static std::unique_ptr<SubstituteHost> hosts[65];
    std::unique_ptr<SubstituteHost>& host = hosts[threads];
    if (!host) {
        host.reset(new SubstituteHost(threads));
        std::string error;
        // TESSIVAL_BENCH_MODULE times another build of the module (say, before a change).
        const char* other = getenv("TESSIVAL_BENCH_MODULE");
        if (!host->Load(other != nullptr ? other : TESSIVAL_MODULE, &error)) {
            fprintf(stderr, "bench: %s\n", error.c_str());
            exit(1);
        }
    }
    return *host;
}

// A smooth ramp with Gaussian noise (sigma 10 on the 8-bit scale), 12-bit luma.
void FillNoisy(SubstituteHost& host, int W, int H) {
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 160.0f);
    for (YcPixel* image : {host.Edit(), host.Temp()})
        for (int y = 0; y < H; y++) {
            YcPixel* row = host.Row(image, y);
            for (int x = 0; x < W; x++) {
                const float v = 400.0f + 3000.0f * float(x + y) / float(W + H) + noise(rng);
                row[x] = YcPixel{int16_t(v < 0      ? 0
                                         : v > 4095 ? 4095
                                                    : v),
                                 int16_t(x & 255), int16_t(y & 255)};
            }
        }
}

double ProcessCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

void BenchFrameOrPlane(benchmark::State& state, bool planes) {
    const int W = int(state.range(0)), H = int(state.range(1)), R = int(state.range(2));
    const bool gaussian = state.range(3) != 0;
    const int threads =
        int(state.range(4)) == 0 ? int(std::thread::hardware_concurrency()) : int(state.range(4));
    SubstituteHost& host = HostWithThreads(threads);
    host.SetControls(R, 40, gaussian);
    host.AllocateImages(W, H, (W + 7) & ~7);
    FillNoisy(host, W, H);
    // The plane of the edit image's Y, and one for the result.
    std::vector<int16_t> plane(size_t(W) * H), filtered(plane.size());
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) plane[size_t(y) * W + x] = host.Row(host.Edit(), y)[x].Y;
    auto process = [&] {
        return planes ? host.ProcessPlane(plane.data(), filtered.data(), W, H, W) : host.Process();
    };
    if (process() != 1) {  // plans the scratch block outside the timing
        state.SkipWithError(planes ? "ProcessPlane failed" : "ProcessFrame failed");
        return;
    }
    const double cpu0 = ProcessCpuSeconds();
    for (auto _ : state) process();
    const double cpuSeconds = ProcessCpuSeconds() - cpu0;
    const double pixels = double(W) * H;
    state.counters["MP/s"] =
        benchmark::Counter(pixels * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
    // Per core: megapixels over the CPU time all threads spent, times the thread count. Other
    // processes on the machine slow the wall clock but hardly this.
    const double cpuMps = pixels * 1e-6 * double(state.iterations()) * threads / cpuSeconds;
    state.counters["cpu_MP/s"] = cpuMps;
    const double limitNs = LimitNanoseconds(FrameOps(W, H, R, gaussian, threads), Peak);
    const double limitMps = pixels * 1e-6 / (limitNs * 1e-9) * threads;
    state.counters["limit_MP/s"] = limitMps;
    state.counters["eff"] =
        benchmark::Counter(pixels * 1e-6 / limitMps, benchmark::Counter::kIsIterationInvariantRate);
    // The same share from the CPU time: what the engine reaches while it holds its cores.
    state.counters["cpu_eff"] = cpuMps / limitMps;
    state.SetLabel(std::string(gaussian ? "gaussian" : "box") + ", " + std::to_string(threads) +
                   " thread" + (threads > 1 ? "s" : ""));
}

void BenchFrame(benchmark::State& state) {
    BenchFrameOrPlane(state, false);
}

void BenchPlane(benchmark::State& state) {
    BenchFrameOrPlane(state, true);
}

void FrameArguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"W", "H", "R", "gauss", "threads"});
    for (const int* size : {(const int[]){1280, 720}, (const int[]){1920, 1080}})
        for (int R = 1; R <= 4; R++)
            for (int g : {1, 0})
                for (int t : {1, 0}) b->Args({size[0], size[1], R, g, t});
}

}  // namespace

BENCHMARK(BenchFrame)->Apply(FrameArguments)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BenchPlane)->Apply(FrameArguments)->Unit(benchmark::kMillisecond)->UseRealTime();
