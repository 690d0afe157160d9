// luma_planes.h: the caller's pixels into a host's images as luma, and the filtered luma back
//
// A host hands the module images of YcPixel in which only Y carries data (Cb and Cr are 0:
// chroma never goes through the filter here). Callers hold their pixels in one of two shapes:
//
//   gray  (Channels 1 or 2): channel 0 is the luma, mapped as luma_map.h describes;
//   RGB   (Channels 3 or 4): the filter sees full-range BT.601 luma, Y = 0.299 R + 0.587 G +
//         0.114 B, mapped with LumaValueToFilter. The way back adds the filter's change to R, G
//         and B alike: the three weights add up to 1, so this changes Y by exactly that much
//         with Cb and Cr held fixed. Pixels the filter leaves alone come back bit-exact.
//
// Channel 1 of gray + alpha and channel 3 of RGBA is alpha and passes through untouched.
//
// Every conversion works on a range of rows, so that a host can spread a frame over its worker
// threads (RunRows); the results are the same however the rows are split. Planes of one channel
// take an SSE2 path eight pixels at a time, bit-identical to the plain functions of luma_map.h
// (which the tails and every other shape use), with SSSE3 shuffles where the processor has them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <stdlib.h>

#include <memory>
#include <vector>

#include "../host/host_api.h"
#include "luma_map.h"

class SubstituteHost;

struct PixelLayout {
    int Bits = 8;          // N, 1 to 16: the depth the samples' values are on
    int Bytes = 1;         // bytes per sample: 1 (uint8_t, N <= 8) or 2 (uint16_t, native order)
    int Channels = 1;      // 1 gray, 2 gray + alpha, 3 RGB, 4 RGBA; interleaved per pixel
    ptrdiff_t Stride = 0;  // samples from the start of one row to the next (0: Width * Channels)
    uint32_t Top = 0;      // largest valid sample (a PGM's maxval, say); 0 means 2^N - 1
    int ScaleBits = FilterScaleBits;  // F: the luma scale handed to the module, 1 to 12
};

// Rows y0 .. y1 - 1 of W pixels at `pixels` into the image rows (capacity pixels apart) as
// YcPixel{q, 0, 0}. Reads W pixels of each row; writes W pixels of each image row.
void PixelsToHost(const PixelLayout& layout, const void* pixels, YcPixel* image, int capacity,
                  int W, int y0, int y1);

// The filtered rows back: each output pixel from the image's Y and the same pixel of
// `original` (the pixels PixelsToHost was given). `out` may be `original`. Alpha is copied from
// `original` to `out`; nothing else of `out` is written.
void PixelsFromHost(const PixelLayout& layout, const YcPixel* image, int capacity,
                    const void* original, void* out, int W, int y0, int y1);

// Holds the conversions to their SSE2 baseline even where the processor has faster shuffles
// (tests run both paths with it); the results are the same either way.
void UseBaselineConversions(bool baseline);

// A whole W x H frame through the host: converts it on the host's threads, runs ProcessFrame,
// converts back into `out` (which may be `in`). Allocates the host's images when the size
// changes. Returns ProcessFrame's result: 1 on success; otherwise `out` is untouched. Planes of
// one channel go through the library's plane entry instead when the module has one (the same
// result), in planes the host keeps.
int32_t FilterPixels(SubstituteHost* host, const PixelLayout& layout, const void* in, void* out,
                     int W, int H);

// An image of the host's kind owned by its caller, so that frames can be converted on other
// threads while the filter works on another image: rows of Capacity pixels, 64-byte aligned.
struct HostImage {
    std::unique_ptr<uint8_t, void (*)(void*)> Memory{nullptr, free};
    YcPixel* Pixels = nullptr;
    int Width = 0, Height = 0, Capacity = 0;
};

// Makes *image W x H (capacity rounded up to 8 pixels); keeps it when it already is. The pixels
// are left as they are (the columns past W are zero): whoever fills the image writes them all.
// Large images ask for huge pages, which spares most of the page faults of a frame's first use.
void SizeHostImage(HostImage* image, int W, int H);

// A plane of 16-bit Y on the filter's scale, for the Linux library's plane entry (plane_api.h):
// the Y an image would hold, a third of the bytes. Rows of Stride samples, 64-byte aligned.
struct YPlane {
    std::unique_ptr<int16_t, void (*)(void*)> Memory{nullptr, free};
    int16_t* Samples = nullptr;
    int Width = 0, Height = 0, Stride = 0;
};

// Makes *plane W x H (stride rounded up to 32 samples); keeps it when it already is. Large
// planes ask for huge pages, as images do.
void SizeYPlane(YPlane* plane, int W, int H);

// PixelsToHost and PixelsFromHost for planes of one channel (layout.Channels 1), into and out
// of rows of Y `stride` samples apart; the same values, the same rules.
void PixelsToPlane(const PixelLayout& layout, const void* pixels, int16_t* plane, ptrdiff_t stride,
                   int W, int y0, int y1);
void PixelsFromPlane(const PixelLayout& layout, const int16_t* plane, ptrdiff_t stride,
                     const void* original, void* out, int W, int y0, int y1);

// The plane entry from `plane` into `spare` (resized to match); on success the two are
// exchanged, so that `plane` holds the result, and 1 is returned; otherwise the entry's result
// (-1: the module has none), with `plane` as it was.
int32_t FilterYPlane(SubstituteHost* host, YPlane* plane, YPlane* spare);

// ProcessFrame on `image` with `spare` as its scratch image (both of one size). On success the
// two are exchanged, so that `image` holds the result, and 1 is returned; otherwise
// ProcessFrame's result, with `image` as it was.
int32_t FilterHostImage(SubstituteHost* host, HostImage* image, HostImage* spare);
