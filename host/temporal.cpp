// temporal.cpp: the temporal mode's table: plan the block, and dispatch the workers per frame
#include "temporal_api.h"

#include "../engine/chunk.h"
#include "../engine/cross_kernel.h"
#include "../engine/temporal_worker.h"
#include "platform.h"
#include "process_frame.h"
#include "strength.h"

enum { BlockAlignment = 128, StagedRowBytes = 1600, Magic = 0x54656D70 };

// The block: the record, the thread slices, then the Neighbours + 1 slots.
struct TemporalBlock {
    TemporalJob Job;
    int32_t Magic;
    RunOnAllThreadsFunction Run;
};

static int64_t RoundUp(int64_t bytes) {
    return (bytes + BlockAlignment - 1) / BlockAlignment * BlockAlignment;
}

static bool SetupValid(const TemporalSetup* s) {
    return s != nullptr && s->W >= 1 && s->H >= 1 && s->W <= 65536 && s->H <= 65536 &&
           s->Range >= 1 && s->Range <= 4 && s->Strength >= 1 && s->Strength <= 100 &&
           s->Neighbours >= 1 && s->Neighbours <= 2 && s->Threads >= 1 && s->Threads <= 256;
}

// Fills the plan of job for the setup; returns the block size, or 0 when out of range.
static int64_t Plan(const TemporalSetup* s, TemporalJob* job) {
    if (!SetupValid(s)) return 0;
    const int64_t V = (int64_t(s->W) + 63) / 64 * 8;
    const int64_t chunks = (V + CrossChunkColumns - 1) / CrossChunkColumns;
    const int64_t stagedRows = int64_t(s->H) + 2 * CrossReach + 3;
    const int64_t stagedChunkBytes = stagedRows * StagedRowBytes;
    const int64_t sumsOffset = chunks * stagedChunkBytes;
    const int64_t slotBytes = RoundUp(sumsOffset + int64_t(s->H) * V * SumFloats * 4);
    const int64_t bandHeight = PlanBandHeight(s->H, 1, s->Range);
    const int64_t perThread =
        RoundUp(TemporalSliceBytes + (bandHeight + 2 * s->Range + 3) * StagedRowBytes);
    const int64_t head = RoundUp(sizeof(TemporalBlock));
    const int64_t bands = (s->H + bandHeight - 1) / bandHeight;
    const int64_t regions = bands * 8 * chunks;
    // A field per slot, and the one given for the next frame.
    const int64_t fieldBytes = RoundUp(regions * 2 * (s->Neighbours + 2));
    const int64_t total =
        head + perThread * s->Threads + slotBytes * (s->Neighbours + 1) + fieldBytes;
    if (uint64_t(total) > SIZE_MAX / 2 || total > INT64_C(1) << 40) return 0;
    if (job != nullptr) {
        // One band plan for every thread count: the output does not depend on it.
        job->BandHeight = int32_t(bandHeight);
        job->BandCount = (s->H + job->BandHeight - 1) / job->BandHeight;
        job->W = s->W;
        job->H = s->H;
        job->V = int32_t(V);
        job->Range = s->Range;
        job->Neighbours = s->Neighbours;
        job->Gaussian = s->Gaussian != 0;
        job->Threads = s->Threads;
        job->Chunks = int32_t(chunks);
        job->StagedRows = int32_t(stagedRows);
        job->StagedChunkBytes = intptr_t(stagedChunkBytes);
        job->SumsOffset = intptr_t(sumsOffset);
        job->SlotBytes = intptr_t(slotBytes);
        job->PerThreadBytes = intptr_t(perThread);
        job->RegionCount = int32_t(regions);
        // Region tiles of one phase: bands whose sums reach (CrossReach each way) cannot meet.
        job->RowColours = 1 + (2 * CrossReach + job->BandHeight - 1) / job->BandHeight;
    }
    return total;
}

static int64_t BlockBytes(const TemporalSetup* setup) {
    return Plan(setup, nullptr);
}

static TemporalBlock* Opened(void* block) {
    TemporalBlock* b = static_cast<TemporalBlock*>(block);
    return b != nullptr && b->Magic == Magic ? b : nullptr;
}

static int32_t Open(void* block, const TemporalSetup* setup, RunOnAllThreadsFunction run) {
    if (block == nullptr || run == nullptr || (reinterpret_cast<uintptr_t>(block) & 31) != 0 ||
        !SetupValid(setup) || !CpuHasAvx())
        return 0;
    int32_t threads = 0;
    run(ThreadCountProbe, &threads, nullptr);
    if (threads < 1 || threads > setup->Threads) return 0;
    TemporalBlock* b = static_cast<TemporalBlock*>(block);
    *b = TemporalBlock{};
    TemporalJob& job = b->Job;
    Plan(setup, &job);
    uint8_t* const base = static_cast<uint8_t*>(block);
    job.Scratch = base + RoundUp(sizeof(TemporalBlock));
    job.Slots = job.Scratch + job.PerThreadBytes * setup->Threads;
    job.Fields = reinterpret_cast<int8_t*>(job.Slots + job.SlotBytes * (setup->Neighbours + 1));
    job.PendingField = job.Fields + job.RegionCount * 2 * (setup->Neighbours + 1);
    const float c = StrengthCoefficient(setup->Strength, setup->Gaussian != 0);
    for (float& lane : job.WeightCoefficient) lane = c;
    const uint32_t lower = LowerBoundBits, bias = ExponentBiasBits;
    __builtin_memcpy(&job.LowerBound, &lower, sizeof lower);
    __builtin_memcpy(&job.ExponentBias, &bias, sizeof bias);
    job.Finish = -1;
    b->Run = run;
    b->Magic = Magic;
    return 1;
}

static void Dispatch(TemporalBlock* b, WorkerFunction worker) {
    b->Job.ClaimCounter = 0;
    b->Run(worker, &b->Job, nullptr);
}

static int32_t Clamp(int32_t v, int32_t bound) {
    return v < -bound ? -bound : v > bound ? bound : v;
}

// Where the caller's frames lie: the pixel size, the new frame and the output, with their row
// steps in pixels.
struct FrameView {
    int32_t PixelBytes;
    const void* Source;
    int32_t SourceStep;
    void* Out;
    int32_t OutStep;
};

// A frame's bytes from its first pixel to its last.
static uintptr_t FrameSpan(const TemporalJob& job, int32_t step, int32_t pixelBytes) {
    return ((uintptr_t(job.H) - 1) * uintptr_t(step) + uintptr_t(job.W)) * uintptr_t(pixelBytes);
}

// Whether the output overlaps the new frame: bands write their output rows while others still
// read the rows of the new frame around them.
static bool Overlaps(const TemporalJob& job, const FrameView& view) {
    const uintptr_t source = reinterpret_cast<uintptr_t>(view.Source);
    const uintptr_t out = reinterpret_cast<uintptr_t>(view.Out);
    return source < out + FrameSpan(job, view.OutStep, view.PixelBytes) &&
           out < source + FrameSpan(job, view.SourceStep, view.PixelBytes);
}

// A row step of `step` pixels of pixelBytes each is usable for the frame: W or more, and small
// enough that the byte offsets stay in range.
static bool StepValid(const TemporalJob& job, int32_t step, int32_t pixelBytes) {
    return step >= job.W && step <= INT32_MAX / pixelBytes;
}

// Whether a region's vector differs from the frame's for some pair of the new frame.
static bool AnyRegion(const TemporalJob& job) {
    for (int k = 1; k <= job.Pairs; k++)
        for (int i = 0; i < job.RegionCount; i++) {
            int32_t y, x;
            RegionPairMotion(job, i, k, &y, &x);
            if (y != job.PairMotionY[k] || x != job.PairMotionX[k]) return true;
        }
    return false;
}

static int32_t PushFrame(void* block, const FrameView& view, int32_t motionY, int32_t motionX) {
    TemporalBlock* b = Opened(block);
    if (b == nullptr || view.Source == nullptr) return -1;
    TemporalJob& job = b->Job;
    if (!StepValid(job, view.SourceStep, view.PixelBytes)) return -1;
    if (job.Draining) {
        if (job.Held > 0) return -1;
        job.Draining = 0;
        job.Count = 0;
    }
    const int slots = job.Neighbours + 1;
    const int finish = job.Count >= job.Neighbours ? (job.Count - job.Neighbours) % slots : -1;
    if (finish >= 0 && (view.Out == nullptr || !StepValid(job, view.OutStep, view.PixelBytes) ||
                        Overlaps(job, view)))
        return -1;
    job.Newest = job.Count % slots;
    job.PixelBytes = view.PixelBytes;
    job.Source = view.Source;
    job.SourceStride = intptr_t(view.SourceStep) * view.PixelBytes;
    Dispatch(b, TemporalStageWorker);
    job.Pairs = job.Count < job.Neighbours ? job.Count : job.Neighbours;
    // The motion from each held frame to the new one, composed frame by frame.
    const int32_t bound = TemporalMotionBound(job.Range);
    job.MotionY[job.Newest] = Clamp(motionY, bound);
    job.MotionX[job.Newest] = Clamp(motionX, bound);
    // The frame's field: the one given for it (SetField), else the global motion everywhere.
    int8_t* const regions = job.Fields + job.RegionCount * 2 * job.Newest;
    for (int i = 0; i < 2 * job.RegionCount; i++)
        regions[i] = int8_t(job.HavePendingField ? Clamp(job.PendingField[i], bound)
                            : i % 2              ? job.MotionX[job.Newest]
                                                 : job.MotionY[job.Newest]);
    job.HavePendingField = 0;
    int32_t sumY = 0, sumX = 0;
    for (int k = 1; k <= job.Pairs; k++) {
        const int later = (job.Newest - k + 1 + slots) % slots;
        sumY += job.MotionY[later];
        sumX += job.MotionX[later];
        job.PairMotionY[k] = Clamp(sumY, bound);
        job.PairMotionX[k] = Clamp(sumX, bound);
    }
    // With regions that move otherwise, their pairs follow the band workers' in phases, and
    // the finished frame goes out after them.
    const bool regional = AnyRegion(job);
    job.Finish = regional ? -1 : finish;
    job.OwnWeight = 1;  // a frame goes out here only once a later one has met it
    job.Out = view.Out;
    job.OutStride = intptr_t(view.OutStep) * view.PixelBytes;
    Dispatch(b, job.Gaussian ? TemporalBandWorkerGaussian : TemporalBandWorkerBox);
    if (regional) {
        for (job.Phase = 0; job.Phase < 2 * job.RowColours; job.Phase++)
            Dispatch(b, job.Gaussian ? TemporalRegionWorkerGaussian : TemporalRegionWorkerBox);
        job.Finish = finish;
        if (finish >= 0) Dispatch(b, TemporalFinishWorker);
    }
    job.Count++;
    job.Held += finish >= 0 ? 0 : 1;
    return finish >= 0 ? 1 : 0;
}

static int32_t FinishFrame(void* block, void* out, int32_t outStep, int32_t pixelBytes) {
    TemporalBlock* b = Opened(block);
    if (b == nullptr) return -1;
    TemporalJob& job = b->Job;
    job.Draining = 1;
    if (job.Held == 0) {
        job.Draining = 0;
        job.Count = 0;
        return 0;
    }
    if (out == nullptr || !StepValid(job, outStep, pixelBytes)) return -1;
    job.Finish = (job.Count - job.Held) % (job.Neighbours + 1);
    job.OwnWeight = job.Count > 1;  // every frame of a shot of two or more met a neighbour
    job.PixelBytes = pixelBytes;
    job.Out = out;
    job.OutStride = intptr_t(outStep) * pixelBytes;
    Dispatch(b, TemporalFinishWorker);
    job.Held--;
    return 1;
}

static int32_t PushMoved(void* block, const YcPixel* frame, int32_t capacity, int32_t motionY,
                         int32_t motionX, YcPixel* out, int32_t outCapacity) {
    return PushFrame(block, FrameView{6, frame, capacity, out, outCapacity}, motionY, motionX);
}

static int32_t Push(void* block, const YcPixel* frame, int32_t capacity, YcPixel* out,
                    int32_t outCapacity) {
    return PushMoved(block, frame, capacity, 0, 0, out, outCapacity);
}

static int32_t Finish(void* block, YcPixel* out, int32_t outCapacity) {
    return FinishFrame(block, out, outCapacity, 6);
}

static int32_t PushPlane(void* block, const int16_t* frame, int32_t stride, int32_t motionY,
                         int32_t motionX, int16_t* out, int32_t outStride) {
    return PushFrame(block, FrameView{2, frame, stride, out, outStride}, motionY, motionX);
}

static int32_t FinishPlane(void* block, int16_t* out, int32_t outStride) {
    return FinishFrame(block, out, outStride, 2);
}

static int32_t Regions(const TemporalSetup* setup, TemporalRegions* regions) {
    TemporalJob job{};
    if (regions == nullptr || Plan(setup, &job) == 0) return 0;
    regions->Rows = job.BandHeight;
    regions->Bands = job.BandCount;
    regions->StripWidth = job.V;
    regions->Columns = CrossChunkColumns;
    regions->Chunks = job.Chunks;
    regions->Count = job.RegionCount;
    return 1;
}

static int32_t SetField(void* block, const int8_t* field) {
    TemporalBlock* b = Opened(block);
    if (b == nullptr) return -1;
    TemporalJob& job = b->Job;
    job.HavePendingField = field != nullptr;
    if (field != nullptr) __builtin_memcpy(job.PendingField, field, size_t(job.RegionCount) * 2);
    return 1;
}

static const TemporalTable Table = {4,         BlockBytes, Open,        Push,    Finish,
                                    PushMoved, PushPlane,  FinishPlane, Regions, SetField};

const TemporalTable* GetTemporalTable() {
    return &Table;
}
