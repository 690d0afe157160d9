// scene_cut.h: tell a hard cut between two frames from motion, for the temporal mode
//
// The temporal mode averages patches across neighbouring frames; across a cut those belong to
// another shot, and in flat areas of similar brightness they would still weigh in. The program
// ends the shot at a cut instead, so that the frames beside it search only their own shot.
#pragma once

#include "../host/host_api.h"

// True when frame b does not continue frame a. Both are W x H images of YcPixel (Y on the
// filter's scale), rows capacityA and capacityB pixels apart. Each 16 x 16 block of b is matched
// against the block at the same place in a and its eight neighbours by mean luma plus activity (the
// mean step between adjacent pixels); motion of up to a block per frame keeps a close match, a new
// shot does not. A cut is declared when the median block misses its best match by more than
// CutLevel (8 levels of 8-bit luma on the filter's scale).
bool IsSceneCut(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W, int H);

enum { CutBlock = 16, CutLevel = 8 * 16 };
