// temporal_oracle.h: the whole-clip reference of the temporal mode, and moving test clips
//
// A plain loop over frames, pixels and offsets: frame t's pixel p takes its spatial window in
// frame t and the (2R+1)^2 window around p in every frame t+k, 1 <= |k| <= N, of its own shot,
// with the module's patch distance, fast exponential and coefficient and clamp-to-edge frames;
// its own value weighs 1.0 when it is alone in its shot, 0.375 otherwise.
// Sums are in double and the quotient exact, so outputs are compared with OracleAgrees.
#pragma once

#include <vector>

#include "oracle.h"

// Motion of a frame relative to the frame before it: what lies at (y, x) there lies at
// (y + Y, x + X) here.
struct FrameMotion {
    int Y = 0, X = 0;
};

// cutBefore[t]: frame t starts a new shot (frame 0 always does). motion[t], when given, moves
// the window: frame t's pixel p searches frame u > t around p + M(t, u) and frame u < t around
// p - M(u, t), where M(a, b) is the sum of the motions of frames a+1 to b, each component of
// every term and of the sum clamped to +-bound.
//
// fields[t], when given, holds frame t's vector per region (regions of `rows` image rows by 32
// columns of each of 8 strips of `strip` columns, numbered as TemporalRegions says), relative
// to frame t-1. For frames a < b the region of pixel p in a has the vector M_r(a, b), summed and
// clamped like M; where it differs from M(a, b), p also meets every q = p + M_r + d in b
// (d in [-R, R]^2) outside the window around p + M(a, b), when q lies in the frame and in p's
// strip; both ends take the pair.
struct OracleRegions {
    int Rows = 0, Strip = 0;
    std::vector<std::vector<FrameMotion>> Fields;  // per frame, or none
};
std::vector<std::vector<double>> TemporalOracle(const std::vector<LumaPlane>& clip,
                                                const std::vector<bool>& cutBefore, int R, int N,
                                                int strength, bool gaussian,
                                                const std::vector<FrameMotion>& motion = {},
                                                int bound = 0, const OracleRegions& regions = {});

// A noisy clip of a pattern that moves by (dx, dy) pixels per frame; sigma is the noise.
std::vector<LumaPlane> MovingClip(int W, int H, int frames, int dx, int dy, double sigma,
                                  std::mt19937& rng);
