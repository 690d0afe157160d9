// motion.h: the global motion between two consecutive frames, for the temporal mode's window
//
// The temporal mode searches a window of the neighbouring frames; when the picture pans, the
// window follows it if the program says by how much. One whole-pixel vector per frame is
// enough for pans and tilts; a moving object on a still background leaves the vector at zero
// and is found, as before, inside the window where it moved little.
#pragma once

#include "../host/host_api.h"

struct GlobalMotion {
    int Y = 0, X = 0;  // what lies at (y, x) in frame a lies at (y + Y, x + X) in frame b
};

// The motion of frame b relative to frame a, each component within [-bound, bound]. Both are
// W x H images of YcPixel (Y on any one scale), rows capacityA and capacityB pixels apart.
//
// The frame is cut into up to 4 x 4 regions; in each, the column sums (one per column) and row
// sums of a and b are matched by shifting one against the other, which averages the noise over
// the region's height or width. The median of the regions' vectors and its eight neighbours are
// then tried on a sparse grid of whole pixels (about 64K, whatever the frame size), and the best
// one is kept only when it matches clearly better than no motion: noise alone, a still picture
// or a frame too small to tell give (0, 0).
GlobalMotion EstimateMotion(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W,
                            int H, int bound);
