// motion.h: the global motion between two consecutive frames, for the temporal mode's window
//
// The temporal mode searches a window of the neighbouring frames; when the picture pans, the
// window follows it if the program says by how much. One whole-pixel vector per frame is
// enough for pans and tilts; a moving object on a still background leaves the vector at zero
// and is found, as before, inside the window where it moved little.
#pragma once

#include <stdint.h>

#include <vector>

#include "../host/host_api.h"

struct GlobalMotion {
    int Y = 0, X = 0;  // what lies at (y, x) in frame a lies at (y + Y, x + X) in frame b
};

// Sums of a frame that EstimateMotion matches: column sums of bands of rows and row sums of
// bands of columns, in up to 4 x 4 regions. A stream computes them once per frame.
struct MotionSums {
    int W = 0, H = 0, gx = 1, gy = 1;
    std::vector<int64_t> Columns;  // gy bands of W sums
    std::vector<int64_t> Rows;     // gx bands of H sums
};

// Sums of a W x H image of YcPixel, rows capacity pixels apart.
void SumFrame(const YcPixel* image, int capacity, int W, int H, MotionSums* sums);

// The motion of frame b relative to frame a, each component within [-bound, bound]. Both are
// images of YcPixel (Y on any one scale), rows capacityA and capacityB pixels apart, of the size
// their sums were taken at.
//
// In each region the column sums and the row sums of a and b are matched by shifting one
// against the other, which averages the noise over the band. The median of the regions'
// vectors is then refined downhill, a vector and its eight neighbours at a time, by absolute
// differences at about 32K pixels of the frame (at most), and the result is kept only when it
// matches clearly better (by 2%) than no motion: noise alone, a still picture or a frame too
// small to tell give (0, 0), and so may a motion of one pixel on a small frame.
GlobalMotion EstimateMotion(const MotionSums& sumsA, const YcPixel* a, int capacityA,
                            const MotionSums& sumsB, const YcPixel* b, int capacityB, int bound);

// The same for two W x H frames whose sums are not at hand.
GlobalMotion EstimateMotion(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W,
                            int H, int bound);
