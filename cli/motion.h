// motion.h: the global motion between two consecutive frames, for the temporal mode's window
//
// The temporal mode searches a window of the neighbouring frames; when the picture pans, the
// window follows it if the program says by how much. One whole-pixel vector per frame is
// enough for pans and tilts; a moving object on a still background leaves the vector at zero
// and is found, as before, inside the window where it moved little.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "../host/host_api.h"

struct GlobalMotion {
    int Y = 0, X = 0;  // what lies at (y, x) in frame a lies at (y + Y, x + X) in frame b
};

// A plane of luma as the measures read it: samples of one or two bytes (the Y plane of a y4m
// frame, at its own depth) or the Y of an image of YcPixel. Stride counts elements, not bytes.
// Motion is found the same on any scale that is a power of two times another: a frame's 8-bit
// samples and the same frame on the filter's 12-bit scale give the same vector.
enum { LumaHostPixels = 6 };
struct LumaPlane {
    const void* Data = nullptr;
    int Bytes = LumaHostPixels;  // 1 (uint8_t), 2 (uint16_t) or LumaHostPixels (YcPixel)
    ptrdiff_t Stride = 0;
    int W = 0, H = 0;
};

// A value of the plane, whatever its element: Luma(row[x]).
inline int Luma(uint8_t v) {
    return v;
}
inline int Luma(uint16_t v) {
    return v;
}
inline int Luma(const YcPixel& p) {
    return p.Y;
}

// Calls f with the plane's data as a pointer to its element type.
template <typename F>
decltype(auto) WithLuma(const LumaPlane& plane, F&& f) {
    if (plane.Bytes == 1) return f(static_cast<const uint8_t*>(plane.Data));
    if (plane.Bytes == 2) return f(static_cast<const uint16_t*>(plane.Data));
    return f(static_cast<const YcPixel*>(plane.Data));
}

inline LumaPlane HostLuma(const YcPixel* image, int capacity, int W, int H) {
    return LumaPlane{image, LumaHostPixels, capacity, W, H};
}

// What EstimateMotion needs of a frame, taken once per frame in a stream: column sums of bands
// of rows and row sums of bands of columns, in up to 4 x 4 regions, and the frame's values at
// the sample runs, which a later frame's candidates are compared with.
struct MotionSums {
    int W = 0, H = 0, gx = 1, gy = 1, Bound = 0;
    std::vector<int64_t> Columns;  // gy bands of W sums
    std::vector<int64_t> Rows;     // gx bands of H sums
    std::vector<int32_t> Samples;  // the runs' values, in the order of SampleRuns
};

// The measures of a W x H plane, for motion of at most `bound` pixels each way.
void SumFrame(const LumaPlane& plane, int bound, MotionSums* sums);

// The motion of frame b relative to frame a, each component within [-bound, bound] (the
// bound their sums were taken for). b is the plane the sums `b` were taken of; a is needed no
// more, so a stream keeps only its sums.
//
// In each region the column sums and the row sums of a and b are matched by shifting one
// against the other, which averages the noise over the band. The median of the regions'
// vectors is then refined downhill, a vector and its eight neighbours at a time, by absolute
// differences at about 32K pixels of the frame (at most), and the result is kept only when it
// matches clearly better (by 2%) than no motion: noise alone, a still picture or a frame too
// small to tell give (0, 0), and so may a motion of one pixel on a small frame.
GlobalMotion EstimateMotion(const MotionSums& a, const MotionSums& b, const LumaPlane& planeB);

// The same for two W x H images of YcPixel (Y on any one scale), rows capacityA and capacityB
// pixels apart, whose sums are not at hand.
GlobalMotion EstimateMotion(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W,
                            int H, int bound);
