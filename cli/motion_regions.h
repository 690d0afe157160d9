// motion_regions.h: a vector per region of the temporal mode, where parts of the picture move
// otherwise than the whole
//
// The global motion follows a pan; a moving object, parallax or a zoom moves parts of the
// picture their own ways, and there the window in the neighbouring frame misses them. Each
// region of the temporal mode's grid (TemporalRegions: bands of rows by 32 columns of each of
// eight strips) gets its own vector where one matches its pixels clearly better than the
// global one, and the global vector everywhere else, so that noise cannot move a still or flat
// region: the mode then searches the region's window besides the global one.
#pragma once

#include <stdint.h>

#include <vector>

#include "../host/temporal_api.h"
#include "motion.h"

// A frame as the region estimate reads it: its luma at full size (negative values as 0), and at
// half size (sums of 2 x 2 pixels) for the coarse search. Kept from one frame to the next.
struct RegionPlanes {
    int W = 0, H = 0;
    std::vector<uint16_t> Full;  // W x H
    std::vector<int32_t> Half;   // (W / 2) x (H / 2)
};

void TakeRegionPlanes(const LumaPlane& plane, RegionPlanes* planes);

// The field of frame b against frame a (the same size): for each region of the grid, the pair
// (y, x) of what lies in a's region at p lies at p + (y, x) in b, within [-bound, bound]. The
// mode searches a region's own window beside the global one, so a candidate is judged by what
// the two give together: each quarter of the region costs the smaller of the two vectors'
// absolute differences there. A region's vector is searched on the half-size frames (every
// even vector), refined at full size around it and against its neighbours' vectors, and kept
// only when the pair costs at most RegionClearlyBetter of the global vector alone; regions too
// small to tell (fewer than 64 pixels clear of the frame's edges by the bound) keep the global
// vector.
void EstimateRegions(const RegionPlanes& a, const RegionPlanes& b, GlobalMotion global, int bound,
                     const TemporalRegions& grid, std::vector<int8_t>* field);

// How much better than the global vector a region's own must match, over `pixels` pixels: noise
// alone spreads a region's absolute differences by about 0.75 / sqrt(pixels) of their mean
// (one standard deviation; 2.4 % at a region of 960 pixels), and the best of the dozens of
// candidates a search tries lies about three of these below; 4 / sqrt(pixels) (0.87 at 960
// pixels, 0.5 at 64) keeps noise from moving a still or flat region.
inline double RegionClearlyBetter(double pixels) {
    return 1.0 - 4.0 / __builtin_sqrt(pixels);
}
