// fuzz_process_frame.cpp: libFuzzer target driving ProcessFrame the way a careless host might
//
// Random width, height, row capacity, alignment, Range and Strength (in and out of their
// ranges), thread count (1 to 9) and content. Each image sits against an inaccessible guard
// page, at its front or at its back, and the bytes between the other guard page and the image
// are checked afterwards.
//
// Every execution is kept cheap so that the fuzzer can explore. Fifteen frames in sixteen run
// their "threads" one after another on the calling thread, starting from a chosen index, so
// that the thread that claims the bands (and whose slice of scratch is used) varies without
// waking a pool; the sixteenth runs on the real pool. Independently, fifteen frames in sixteen
// are small (up to 160 x 24: one chunk, strips of 8 to 24 columns, one to a few bands), the
// sixteenth up to 720 x 40 (several chunks, a partial last one). The oracle checks a sample of
// pixels that always includes the frame's edges and the columns where strips meet. The same
// frame then goes through the Linux library's plane entry, between guarded planes of Y with
// the image's row capacity as their stride, and must give the image's Y exactly.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <utility>
#include <vector>
#include <random>

#include "../../host/filter_table.h"
#include "../../host/plane_api.h"
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
    const bool wide = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const int W = in.ConsumeIntegralInRange<int>(1, wide ? 720 : 160);
    const int H = in.ConsumeIntegralInRange<int>(1, wide ? 40 : 24);
    const int capacity = W + in.ConsumeIntegralInRange<int>(0, 20);
    const size_t alignment = in.ConsumeIntegralInRange<size_t>(0, 15) * 2;
    const bool flushFront = in.ConsumeBool();
    const int range = in.ConsumeIntegralInRange<int>(-2, 7);
    const int strength = in.ConsumeIntegralInRange<int>(-10, 130);
    const bool gaussian = in.ConsumeBool();
    const int threads = in.ConsumeIntegralInRange<int>(1, 9);
    const bool pooled = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const int firstThread = in.ConsumeIntegralInRange<int>(0, threads - 1);
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
    if (pooled) {
        host.RunOverride = nullptr;
    } else {
        host.RunOverride = [threads, firstThread](WorkerFunction fn, void* first, void* second) {
            for (int k = 0; k < threads; k++)
                fn((firstThread + k) % threads, threads, first, second);
        };
    }
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
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const YcPixel p = out[size_t(y) * capacity + x];
            if (p.Cb != int16_t(x) || p.Cr != int16_t(-y)) abort();
            if (e[size_t(y) * capacity + x].Y != plane.Y[size_t(y) * W + x]) abort();  // source
        }
    // The oracle on every pixel of frames up to 64 pixels; on larger ones, on the first and
    // last rows and a random one, at the columns where strips meet and at the frame's edges,
    // and on 16 random pixels.
    std::vector<std::pair<int, int>> checked;
    if (W * H <= 64) {
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) checked.emplace_back(x, y);
    } else {
        const int V = (W + 63) / 64 * 8;
        const int rows[3] = {0, H - 1, int(rng() % H)};
        for (int y : rows)
            for (int x : {0, 1, R, W - R - 1, W - 2, W - 1, V - 1, V, 6 * V - 1, 6 * V, 7 * V - 1,
                          7 * V, 7 * V + 1})
                if (x >= 0 && x < W) checked.emplace_back(x, y);
        for (int k = 0; k < 16; k++) checked.emplace_back(int(rng() % W), int(rng() % H));
    }
    for (const auto& [x, y] : checked) {
        const double expected = OraclePixel(plane, x, y, R, strength, gaussian);
        const int16_t got = out[size_t(y) * capacity + x].Y;
        if (!OracleAgrees(got, expected)) {
            fprintf(stderr, "W=%d H=%d R=%d strength=%d: (%d, %d) is %d, oracle %f\n", W, H, R,
                    strength, x, y, got, expected);
            abort();
        }
    }

    const size_t planeBytes = (size_t(capacity) * size_t(H - 1) + size_t(W)) * sizeof(int16_t);
    GuardedImage source(planeBytes, flushFront, alignment),
        result(planeBytes, !flushFront, alignment);
    int16_t* s = reinterpret_cast<int16_t*>(source.image);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) s[size_t(y) * capacity + x] = plane.Y[size_t(y) * W + x];
    const PlaneFrame planes{W, H, capacity, s, reinterpret_cast<int16_t*>(result.image)};
    host.Bind();
    if (GetPlaneTable()->ProcessPlane(&host.Instance(), &planes) != 1) abort();
    if (!source.SlackIntact() || !result.SlackIntact()) abort();
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            if (planes.Destination[size_t(y) * capacity + x] != out[size_t(y) * capacity + x].Y ||
                s[size_t(y) * capacity + x] != plane.Y[size_t(y) * W + x])
                abort();
    return 0;
}
