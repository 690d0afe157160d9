// fuzz_process_frame.cpp: libFuzzer target driving ProcessFrame the way a careless host might
//
// Random width (1 to 2000), height (1 to 70), row capacity, alignment, Range and Strength (in
// and out of their ranges), thread count (1 to 9) and content. Each image sits against an
// inaccessible guard page, at its front or at its back, and the bytes between the other guard
// page and the image are checked afterwards. Small frames are compared with the oracle.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <random>

#include "../../host/filter_table.h"
#include "../../subhost/substitute_host.h"
#include "../oracle.h"

namespace {

const uint8_t Pattern = 0xA7;

// An image between two PROT_NONE pages, flush against one of them.
struct GuardedImage {
    uint8_t* region = nullptr;
    size_t regionBytes = 0, page = 0, imageBytes = 0;
    uint8_t* image = nullptr;

    GuardedImage(size_t bytes, bool flushFront, size_t alignment) {
        page = size_t(sysconf(_SC_PAGESIZE));
        imageBytes = bytes;
        const size_t inner = (bytes + alignment + page - 1) / page * page;
        regionBytes = inner + 2 * page;
        region = static_cast<uint8_t*>(
            mmap(nullptr, regionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (region == MAP_FAILED) abort();
        mprotect(region, page, PROT_NONE);
        mprotect(region + page + inner, page, PROT_NONE);
        memset(region + page, Pattern, inner);
        image = flushFront ? region + page + alignment : region + page + inner - bytes;
    }
    ~GuardedImage() { munmap(region, regionBytes); }
    bool SlackIntact() const {
        for (uint8_t* p = region + page; p < image; p++)
            if (*p != Pattern) return false;
        for (uint8_t* p = image + imageBytes; p < region + regionBytes - page; p++)
            if (*p != Pattern) return false;
        return true;
    }
};

SubstituteHost& HostWithThreads(int threads) {
    static std::unique_ptr<SubstituteHost> hosts[10];
    if (!hosts[threads]) {
        hosts[threads].reset(new SubstituteHost(threads));
        hosts[threads]->Attach(GetFilterTable());
    }
    return *hosts[threads];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int W = in.ConsumeIntegralInRange<int>(1, 2000);
    const int H = in.ConsumeIntegralInRange<int>(1, 70);
    const int capacity = W + in.ConsumeIntegralInRange<int>(0, 20);
    const size_t alignment = in.ConsumeIntegralInRange<size_t>(0, 15) * 2;
    const bool flushFront = in.ConsumeBool();
    const int range = in.ConsumeIntegralInRange<int>(-2, 7);
    const int strength = in.ConsumeIntegralInRange<int>(-10, 130);
    const bool gaussian = in.ConsumeBool();
    const int threads = in.ConsumeIntegralInRange<int>(1, 9);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    const int kind = in.ConsumeIntegralInRange<int>(0, 4);

    const size_t bytes = size_t(capacity) * size_t(H) * sizeof(YcPixel);
    GuardedImage edit(bytes, flushFront, alignment), temp(bytes, !flushFront, alignment);
    std::mt19937 rng(seed);
    const LumaPlane plane = MakePlane(W, H, Content(kind), rng);
    YcPixel* e = reinterpret_cast<YcPixel*>(edit.image);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            e[size_t(y) * capacity + x] =
                YcPixel{plane.Y[size_t(y) * W + x], int16_t(x), int16_t(-y)};

    SubstituteHost& host = HostWithThreads(threads);
    host.SetRawControls(range, strength, gaussian);
    host.CallUpdate();
    FrameInfo& frame = host.Frame();
    frame = FrameInfo{};
    frame.Edit = e;
    frame.Temp = reinterpret_cast<YcPixel*>(temp.image);
    frame.Width = W;
    frame.Height = H;
    frame.Capacity = capacity;
    if (host.Process() != 1) abort();
    if (frame.Edit != reinterpret_cast<YcPixel*>(temp.image)) abort();
    if (!edit.SlackIntact() || !temp.SlackIntact()) abort();

    const int R = range < 1 ? 1 : range > 4 ? 4 : range;
    const YcPixel* out = frame.Edit;
    const bool small = W * H <= 6000;
    const std::vector<double> expected =
        small ? OracleFilter(plane, R, strength, gaussian) : std::vector<double>{};
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const YcPixel p = out[size_t(y) * capacity + x];
            if (p.Cb != int16_t(x) || p.Cr != int16_t(-y)) abort();
            if (small && !OracleAgrees(p.Y, expected[size_t(y) * W + x])) {
                fprintf(stderr, "W=%d H=%d R=%d strength=%d: (%d, %d) is %d, oracle %f\n", W, H, R,
                        strength, x, y, p.Y, expected[size_t(y) * W + x]);
                abort();
            }
        }
    return 0;
}
