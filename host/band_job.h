// band_job.h: the one shared record through which the frame entry, Update and the workers talk
#pragma once

#include <stdint.h>

#include "host_api.h"

// Written by ProcessFrame (the plan and the per-frame pointers) and by Update (the three
// fast-exponential fields); only read by the workers, except the claim counter, which they
// advance with an atomic increment. Every field is zero at load and Scratch is null.
struct BandJob {
    int32_t BandCount;              // ceil(H / BandHeight)
    volatile int32_t ClaimCounter;  // next band to hand out
    const void* Source;             // row 0 of the image being filtered
    uint8_t* Scratch;               // the scratch block, or null when none is held
    void* Destination;              // row 0 of the image that receives the result
    int32_t Stride;                 // bytes from one image row to the next
    int32_t PixelBytes;             // 6: images of YcPixel; 2: planes of 16-bit Y (Linux only)
    int32_t RowBytes;               // bytes of one PackedRows row: V * 16
    int32_t V;                      // strip width: ((W + 63) / 64) * 8
    int32_t StripBytes;             // bytes between two strips of a row: V * PixelBytes
    int32_t W;
    int32_t H;
    int32_t Range;           // 1 to 4
    int32_t PerThreadBytes;  // size of one thread's slice of Scratch
    float LowerBound;        // scaled distances below it weigh 0
    float ExponentBias;      // added to a scaled distance before it becomes a weight's bits
    int32_t BandHeight;      // rows per band, always even
    int32_t Threads;         // thread count the plan was made for
    alignas(32) float WeightCoefficient[8];  // c in all 8 lanes
};

extern BandJob Job;
