// cross_kernel_model.h: one-lane scalar model of the cross-frame kernel, its sums and packing
//
// The model visits the pairs in the plainest order (dy, row, column, dx) rather than the
// engine's (dy, row pair, distance runs, then columns with fast and slow paths); every sums
// entry still receives its credits in the same order -- dy ascending, then dx ascending at an
// A end and dx descending at a B end (a B entry is met by ascending A columns) -- so the two
// agree bit for bit.
#pragma once

#include <stdint.h>

#include <vector>

#include "patch_kernel_model.h"

// Scaled distance c * D between (y, x) of frame A and (y + dy, x + dx) of frame B (dy and dx
// include the motion): the spatial model's ScaledDistanceRef with the two ends read from two
// frames.
template <bool Gaussian, typename FrameA, typename FrameB>
inline float CrossScaledDistanceRef(const FrameA& A, const FrameB& B, int y, int x, int dy, int dx,
                                    float c) {
    return TwoFrameDistanceRef<Gaussian>(A, B, y, x, dy, dx, c);
}

// One lane of one tile, B moved by (my, mx) against A: staged values of both frames (band rows
// -Ry-1 to m+Ry+1, columns -Rx-1 to n+Rx, with Ry = R + |my| and Rx = R + |mx|) and the sums of
// both (rows 0 to m-1, columns 0 to n-1; weighted, weight).
struct CrossTileModel {
    int R = 1, n = 8, m = 1, my = 0, mx = 0;
    float c = 0, lowerBound = 0, exponentBias = 0;
    std::vector<float> a, b;          // (m + 2Ry + 3) rows of (n + 2Rx + 2)
    std::vector<float> sumsA, sumsB;  // m rows of n entries of 2

    int Ry() const { return R + (my < 0 ? -my : my); }
    int Rx() const { return R + (mx < 0 ? -mx : mx); }
    void Resize() {
        const size_t staged = size_t(m + 2 * Ry() + 3) * size_t(n + 2 * Rx() + 2);
        a.assign(staged, 0.0f);
        b.assign(staged, 0.0f);
        sumsA.assign(size_t(m) * size_t(n) * 2, 0.0f);
        sumsB.assign(size_t(m) * size_t(n) * 2, 0.0f);
    }
    float& StagedA(int y, int x) { return a[Index(y, x)]; }
    float& StagedB(int y, int x) { return b[Index(y, x)]; }
    float* SumA(int y, int x) { return &sumsA[(size_t(y) * size_t(n) + size_t(x)) * 2]; }
    float* SumB(int y, int x) { return &sumsB[(size_t(y) * size_t(n) + size_t(x)) * 2]; }
    size_t Index(int y, int x) const {
        return size_t(y + Ry() + 1) * size_t(n + 2 * Rx() + 2) + size_t(x + Rx() + 1);
    }
};

template <bool Gaussian>
void AccumulateCrossTileRef(CrossTileModel& t);

// One lane of a region tile: the regional pairs of AccumulateRegionTile. Staged values cover
// band rows -G to m+G-1 and columns -G to n+G-1 (G = 9, CrossReach + 1) of both frames; the
// sums of A rows 0 to m-1, columns 0 to n-1, and of B rows -8 to m+7, columns -8 to n+7.
// `lane` is the lane's number, `on` whether its region has this vector.
struct RegionTileModel {
    enum { G = 9, Reach = 8 };
    int R = 1, n = 8, m = 1, lane = 0, my = 0, mx = 0, gy = 0, gx = 0, top = 0, H = 1, column = 0,
        V = 8, W = 8;
    bool on = true;
    float c = 0, lowerBound = 0, exponentBias = 0;
    std::vector<float> a, b, sumsA, sumsB;

    void Resize() {
        a.assign(size_t(m + 2 * G) * size_t(n + 2 * G), 0.0f);
        b = a;
        sumsA.assign(size_t(m) * size_t(n) * 2, 0.0f);
        sumsB.assign(size_t(m + 2 * Reach) * size_t(n + 2 * Reach) * 2, 0.0f);
    }
    float& StagedA(int y, int x) { return a[size_t(y + G) * size_t(n + 2 * G) + size_t(x + G)]; }
    float& StagedB(int y, int x) { return b[size_t(y + G) * size_t(n + 2 * G) + size_t(x + G)]; }
    float* SumA(int y, int x) { return &sumsA[(size_t(y) * size_t(n) + size_t(x)) * 2]; }
    float* SumB(int y, int x) {
        return &sumsB[(size_t(y + Reach) * size_t(n + 2 * Reach) + size_t(x + Reach)) * 2];
    }
};

template <bool Gaussian>
void AccumulateRegionTileRef(RegionTileModel& t);

// The normalised value of one sums entry, rounded to nearest and saturated to 16 bits.
int16_t PackSumsRef(float weighted, float weight);

// The same after the own weight is lowered by 0.625: (weighted - 0.625 own) over (weight - 0.625).
int16_t PackSumsOwnRef(float weighted, float weight, float own);
