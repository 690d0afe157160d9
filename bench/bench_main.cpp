// bench_main.cpp: names the machine and the build, measures the core's vector throughput, then
// runs the benchmarks
//
//   build-bench/bench/tessival_bench [--benchmark_filter=...] [--benchmark_repetitions=5 ...]
// threads=0 in a frame benchmark's name means every hardware thread.
#include <benchmark/benchmark.h>
#include <cpuid.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <thread>

#include "op_count.h"

static std::string CpuName() {
    unsigned regs[12] = {};
    if (__get_cpuid_max(0x80000000, nullptr) < 0x80000004) return "unknown";
    for (unsigned i = 0; i < 3; i++)
        __get_cpuid(0x80000002 + i, &regs[4 * i], &regs[4 * i + 1], &regs[4 * i + 2],
                    &regs[4 * i + 3]);
    char name[49] = {};
    memcpy(name, regs, 48);
    std::string s(name);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s.substr(s.find_first_not_of(' '));
}

static std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
    char text[256];
    snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

int main(int argc, char** argv) {
    if (!__builtin_cpu_supports("avx")) {
        printf("AVX not available, skipping\n");
        return 0;
    }
    Peak = MeasureThroughput();
    benchmark::AddCustomContext("cpu", CpuName() + ", " +
                                           std::to_string(std::thread::hardware_concurrency()) +
                                           " hardware threads");
    benchmark::AddCustomContext("build", TESSIVAL_BUILD);
    benchmark::AddCustomContext("peak 8-lane ops/ns",
                                Format("add %.2f, mul %.2f, add+mul %.2f, store %.2f", Peak.Add,
                                       Peak.Mul, Peak.Mixed, Peak.Store));
    const OpCount g = ChunkPairOps(true), b = ChunkPairOps(false);
    benchmark::AddCustomContext(
        "chunk step ops per pixel-offset (8 lanes)",
        Format("gaussian %.3g add %.3g mul %.3g other; ", g.Add, g.Mul, g.Other) +
            Format("box %.3g add %.3g mul %.3g other", b.Add, b.Mul, b.Other));
    // Whole 1920x1080 Gaussian frames on one thread: every vector op the engine issues (chunk
    // step, margins, rows above each band, staging, initialisation, packing, write-back), per 8
    // frame pixels (one vector's worth), and the floor they put on the time per frame pixel.
    for (int R = 1; R <= 4; R++) {
        const OpCount f = (8.0 / (1920.0 * 1080.0)) * FrameOps(1920, 1080, R, true, 1);
        benchmark::AddCustomContext(
            "frame ops per 8 pixels, 1920x1080 R=" + std::to_string(R) + " gaussian",
            Format("%.1f add %.1f mul %.1f other (8-lane ops), ", f.Add, f.Mul, f.Other) +
                Format("floor %.3f ns per pixel", LimitNanoseconds(f, Peak) / 8.0));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
