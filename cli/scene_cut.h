// scene_cut.h: tell a hard cut between two frames from motion, for the temporal mode
//
// The temporal mode averages patches across neighbouring frames; across a cut those belong to
// another shot, and in flat areas of similar brightness they would still weigh in. The program
// ends the shot at a cut instead, so that the frames beside it search only their own shot.
#pragma once

#include <vector>

#include "../host/host_api.h"
#include "motion.h"

enum { CutBlock = 16, CutLevel = 8 * 16 };

// Two numbers per CutBlock x CutBlock block of a frame (partial blocks at the right and bottom
// edges), in units of the filter's 12-bit scale: the mean Y, and the block's activity, the mean
// absolute difference between horizontally and vertically adjacent pixels. Motion keeps both
// close to a neighbouring block's; a new shot changes the brightness or the texture of most
// blocks. A stream takes them once per frame.
struct CutStats {
    int W = 0, H = 0;
    std::vector<int> Mean, Activity;
};

// The stats of a plane whose values have `bits` bits (1 to 16; 12 for host images on the
// filter's scale). Values of fewer bits are taken exactly to 12 bits (times 2^(12 - bits)), so
// an 8-bit frame gives the stats of the same frame on the filter's scale.
void MeasureCut(const LumaPlane& plane, int bits, CutStats* stats);

// True when the frame of stats b does not continue the frame of stats a (both of one size).
// Each block of b is matched against the block at the same place in a and its eight neighbours
// by mean plus activity; motion of up to a block per frame keeps a close match, a new shot does
// not. A cut is declared when the median block misses its best match by more than CutLevel (8
// levels of 8-bit luma).
bool IsSceneCut(const CutStats& a, const CutStats& b);

// The same for two W x H images of YcPixel (Y on the filter's scale), rows capacityA and
// capacityB pixels apart.
bool IsSceneCut(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W, int H);
