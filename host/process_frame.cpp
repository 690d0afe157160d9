// process_frame.cpp: probe the host's threads, plan bands and scratch, run the band workers
#include "process_frame.h"

#include "../engine/band_worker.h"
#include "platform.h"

// The two BandWorker variants, chosen per frame by GaussianWeighting.
static const WorkerFunction BandWorkers[2] = {BandWorkerBox, BandWorkerGaussian};

// Fixed part of a thread slice: DistanceBuffer, six accumulator rows, ten staged rows.
enum {
    SliceFixedBytes = 5376 + 6 * 4608 + 10 * 1600,
    StagedRowBytes = 1600,
    ScratchAlignment = 128
};

void ThreadCountProbe(int32_t threadIndex, int32_t threadCount, void* first, void*) {
    if (threadIndex == 0) *static_cast<int32_t*>(first) = threadCount;
}

int32_t PlanBandHeight(int32_t H, int32_t T, int32_t range) {
    if (range == 1) return 10;
    const int32_t limit = range == 2 ? 30 : range == 3 ? 54 : 68;
    for (int64_t pieces = T;; pieces += T) {
        const int64_t height = ((H + pieces - 1) / pieces + 1) & ~int64_t(1);
        if (height <= limit) return int32_t(height);
    }
}

void ReleaseScratch() {
    if (Job.Scratch != nullptr) AlignedFree(Job.Scratch);
    Job.Scratch = nullptr;
}

// Builds the plan for the frame in Job (W, H, Range and Threads set); false when the sizes
// overflow or the scratch block cannot be allocated.
static bool Plan(int32_t W, int32_t H) {
    const int32_t BH = PlanBandHeight(H, Job.Threads, Job.Range);
    const int64_t V = (int64_t(W) + 63) / 64 * 8;
    const int64_t rowBytes = V * 16;
    const int64_t perThread = (rowBytes + StagedRowBytes) * BH + SliceFixedBytes;
    const uint64_t total = uint64_t(perThread) * uint64_t(Job.Threads);
    if (perThread > INT32_MAX || total > SIZE_MAX) return false;
    uint8_t* block = static_cast<uint8_t*>(AlignedAlloc(size_t(total), ScratchAlignment));
    if (block == nullptr) return false;
    Job.Scratch = block;
    Job.W = W;
    Job.H = H;
    Job.V = int32_t(V);
    Job.RowBytes = int32_t(rowBytes);
    Job.BandHeight = BH;
    Job.PerThreadBytes = int32_t(perThread);
    Job.BandCount = (H + BH - 1) / BH;
    return true;
}

// The hand-back: the filtered temp image becomes the edit image.
static void ExchangeImages(FrameInfo* frame) {
    YcPixel* const filtered = frame->Temp;
    frame->Temp = frame->Edit;
    frame->Edit = filtered;
}

int32_t RunBands(FilterInstance* instance, int32_t W, int32_t H, const void* source,
                 void* destination, int32_t strideBytes, int32_t pixelBytes) {
    HostFunctions* host = instance->Functions;
    if (host == nullptr || host->RunOnAllThreads == nullptr || instance->TrackValues == nullptr ||
        instance->CheckValues == nullptr)
        return 0;
    if (!CpuHasAvx()) return 0;

    int32_t threads = 0;
    host->RunOnAllThreads(ThreadCountProbe, &threads, nullptr);
    if (threads <= 0) return 0;

    // A damaged project can carry any Range; more than 4 would overrun every thread slice.
    int32_t range = instance->TrackValues[0];
    range = range < 1 ? 1 : range > 4 ? 4 : range;
    if (threads != Job.Threads || range != Job.Range) {
        ReleaseScratch();
        Job.Threads = threads;
        Job.Range = range;
    }
    if (W != Job.W || H != Job.H || Job.Scratch == nullptr) {
        ReleaseScratch();
        if (!Plan(W, H)) return 0;
    }
    // The stride follows every frame's images: the host may change the row capacity alone.
    Job.Stride = strideBytes;
    Job.PixelBytes = pixelBytes;
    Job.StripBytes = Job.V * pixelBytes;
    Job.Source = source;
    Job.Destination = destination;
    Job.ClaimCounter = 0;
    host->RunOnAllThreads(BandWorkers[instance->CheckValues[0] != 0 ? 1 : 0], &Job, nullptr);
    return 1;
}

int32_t ProcessFrame(FilterInstance* instance, FrameInfo* frame) {
    if (instance == nullptr || frame == nullptr) return 0;
    const int32_t W = frame->Width, H = frame->Height, capacity = frame->Capacity;
    if (W < 0 || H < 0 || capacity < 0) return 0;
    if (W == 0 || H == 0) {
        // Nothing to filter, but handed back like any other frame, so that a host that always
        // takes the edit image after the call sees one rule.
        ExchangeImages(frame);
        return 1;
    }
    if (capacity < W || capacity > INT32_MAX / 6 || frame->Edit == nullptr ||
        frame->Temp == nullptr)
        return 0;
    if (RunBands(instance, W, H, frame->Edit, frame->Temp, capacity * 6, 6) != 1) return 0;
    ExchangeImages(frame);
    return 1;
}
