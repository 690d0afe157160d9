// temporal_worker.h: the temporal mode's record and the workers that run on the host's threads
//
// The temporal mode filters frame t with the spatial window of frame t and the (2R+1)^2 window
// of each of frames t-N to t+N around it (N = 1 or 2), all in one normalisation. Frames enter
// one at a time; each lives in a slot of the clip window (N + 1 slots) with its staged luma and
// its sums:
//
//   slot k:  staged chunks  Chunks x StagedRows rows of 50 vectors (image rows -G to H+G,
//                           clamped to the frame; chunk c holds vector columns 32c-G on,
//                           G = CrossReach + 1, room for the window moved by the motion)
//            sums           H rows of V entries of SumFloats (weighted sum, weight sum)
//
// When frame u enters: TemporalStageWorker stages it; then TemporalBandWorker, band by band,
// runs the spatial kernel over frame u (its sums start as the spatial filter's: the kernel
// stages the band from the source again, in the spatial module's chunks), credits the
// pairs between u and the held frames u-1 to u-N (AccumulateCrossTile), and, once frame u-N
// has met frame u, normalises frame u-N and writes its luma out. Every pair is evaluated
// once, with both ends credited; the sums of a frame stay alive until its last neighbour has
// arrived. TemporalFinishWorker writes out a held frame that no later frame will meet (at the
// end of the clip or of a shot). The window in frame u of a pixel of frame u-k is centred on
// the pixel moved by PairMotion[k], the motion from u-k to u.
//
// Regions: each lane of each tile (band q, chunk c, lane s: rows qBH to qBH+BH-1, strip columns
// 32c to 32c+31 of strip s) is a region, and each frame comes with a vector per region relative
// to the frame before (its slot's field; the frame's global motion where nothing else moves).
// For the pair u-k, u a region's vector is the sum of the fields of frames u-k+1 to u there,
// clamped like PairMotion. Where it differs from PairMotion[k], the region's pixels of u-k also
// meet the window around that vector (AccumulateRegionTile) -- after the band workers, in
// phases of tiles far enough apart that no two write the same sums (TemporalRegionWorker), and
// the frame that goes out then goes out after them (TemporalFinishWorker).
//
// The record is the caller's: the temporal mode keeps nothing static and does not touch the
// spatial module's BandJob.
#pragma once

#include <stdint.h>

#include "../host/host_api.h"

struct TemporalJob {
    // The plan, fixed when the job is opened.
    int32_t W, H, V, Range, Neighbours, Gaussian, Threads;
    int32_t BandHeight, BandCount, Chunks, StagedRows;
    intptr_t StagedChunkBytes;  // StagedRows * 1600
    intptr_t SumsOffset;        // bytes from a slot's start to its sums
    intptr_t SlotBytes;
    intptr_t PerThreadBytes;
    uint8_t* Slots;    // Neighbours + 1 slots
    uint8_t* Scratch;  // Threads slices
    float LowerBound, ExponentBias;
    alignas(32) float WeightCoefficient[8];

    // The call in progress, set before the workers start.
    volatile int32_t ClaimCounter;
    int32_t PixelBytes;     // 6: images of YcPixel; 2: planes of 16-bit Y samples
    const void* Source;     // the frame being staged, row 0
    intptr_t SourceStride;  // bytes
    void* Out;              // receives the finished frame's Y, row 0
    intptr_t OutStride;     // bytes
    int32_t Newest;         // slot of the frame that entered
    int32_t Pairs;          // held frames that meet it: slots Newest-1 down to Newest-Pairs
    int32_t Finish;         // slot to write out after the pairs, or -1
    int32_t OwnWeight;      // nonzero: that frame met another, its own weight is lowered
    int32_t PairMotionY[3], PairMotionX[3];  // [k]: motion of Newest relative to Newest-k
    int32_t Phase;                           // region phase: row colour * 2 + column colour

    // The clip so far (the entry's bookkeeping).
    int32_t Count;                   // frames of the current shot that have entered
    int32_t Held;                    // of these, not yet written out
    int32_t Draining;                // the shot is being finished
    int32_t MotionY[3], MotionX[3];  // per slot: its frame's motion relative to the frame before

    // Regions (fixed when the job is opened): RegionCount = BandCount * 8 * Chunks, region
    // (band * 8 + lane) * Chunks + chunk. Fields holds, per slot, RegionCount pairs (y, x) of
    // its frame's vectors relative to the frame before, clamped like MotionY and MotionX.
    int32_t RegionCount, RowColours;  // bands of a colour are RowColours apart
    int8_t* Fields;
    int8_t* PendingField;      // the field given for the next frame (SetField)
    int32_t HavePendingField;  // nonzero: PendingField holds one
};

// WorkerFunctions; first is the TemporalJob.
HOST_ENTRY void TemporalStageWorker(int32_t threadIndex, int32_t threadCount, void* first,
                                    void* second);
HOST_ENTRY void TemporalBandWorkerGaussian(int32_t threadIndex, int32_t threadCount, void* first,
                                           void* second);
HOST_ENTRY void TemporalBandWorkerBox(int32_t threadIndex, int32_t threadCount, void* first,
                                      void* second);
HOST_ENTRY void TemporalRegionWorkerGaussian(int32_t threadIndex, int32_t threadCount, void* first,
                                             void* second);
HOST_ENTRY void TemporalRegionWorkerBox(int32_t threadIndex, int32_t threadCount, void* first,
                                        void* second);
// The vector of region i for the pair Newest-k, Newest (1 <= k <= Pairs), as the region
// workers use it: through y and x.
void RegionPairMotion(const TemporalJob& job, int region, int k, int32_t* y, int32_t* x);
HOST_ENTRY void TemporalFinishWorker(int32_t threadIndex, int32_t threadCount, void* first,
                                     void* second);

// Fixed bytes of a thread slice: DistanceBuffer, six accumulator rows, the cross distances and
// one packed chunk row; the staged band follows, (BandHeight + 2R + 3) * 1600 bytes.
enum { TemporalSliceBytes = 5376 + 6 * 4608 + 2 * 9 * 48 * 32 + 40 * 16 };
