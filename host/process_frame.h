// process_frame.h: the per-frame entry, its band plan and the scratch block
#pragma once

#include "band_job.h"
#include "host_api.h"

// Filters the luma of one frame on all host threads and hands it back by exchanging the edit
// and temp images. Returns 1 on success, also for an empty frame (W or H of 0): no pixel is
// touched, and the images are exchanged as for any other frame. Returns 0 and touches nothing when
// the frame cannot be filtered: negative sizes, a row capacity below W, a missing image or host
// service, no AVX, a thread probe that found no thread 0, or a failed scratch allocation (the next
// frame plans again).
HOST_ENTRY int32_t ProcessFrame(FilterInstance* instance, FrameInfo* frame);

// The frame's bands on all host threads, from source to destination: rows strideBytes apart,
// pixels of pixelBytes (6: YcPixel; 2: 16-bit Y). The sizes are already checked; returns 0 when
// a host service, AVX, a thread or the scratch block is missing, else 1.
int32_t RunBands(FilterInstance* instance, int32_t W, int32_t H, const void* source,
                 void* destination, int32_t strideBytes, int32_t pixelBytes);

// WorkerFunction: thread 0 stores the thread count where first points.
HOST_ENTRY void ThreadCountProbe(int32_t threadIndex, int32_t threadCount, void* first,
                                 void* second);

// The band height for H rows on T threads at a Range: 10 for Range 1; otherwise the first
// ceil(H / n) rounded up to even, for n = T, 2T, 3T, ..., that is not over 30, 54 or 68 rows
// (Range 2, 3, 4).
int32_t PlanBandHeight(int32_t H, int32_t T, int32_t range);

// Releases the scratch block if one is held and makes the pointer null.
void ReleaseScratch();
