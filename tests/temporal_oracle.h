// temporal_oracle.h: the whole-clip reference of the temporal mode, and moving test clips
//
// A plain loop over frames, pixels and offsets: frame t's pixel p takes its spatial window in
// frame t and the (2R+1)^2 window around p in every frame t+k, 1 <= |k| <= N, of its own shot,
// with the module's patch distance, fast exponential and coefficient and clamp-to-edge frames.
// Sums are in double and the quotient exact, so outputs are compared with OracleAgrees.
#pragma once

#include <vector>

#include "oracle.h"

// cutBefore[t]: frame t starts a new shot (frame 0 always does).
std::vector<std::vector<double>> TemporalOracle(const std::vector<LumaPlane>& clip,
                                                const std::vector<bool>& cutBefore, int R, int N,
                                                int strength, bool gaussian);

// A noisy clip of a pattern that moves by (dx, dy) pixels per frame; sigma is the noise.
std::vector<LumaPlane> MovingClip(int W, int H, int frames, int dx, int dy, double sigma,
                                  std::mt19937& rng);
