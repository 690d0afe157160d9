// patch_kernel_model.h: one-lane scalar model of the patch weighting kernel
//
// Same arithmetic in the same order as the AVX kernel, one lane at a time, so that every
// accumulator entry agrees bit for bit. The approximate reciprocal is _mm_rcp_ss.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

float FastExpWeightRef(float z, float lowerBound, float exponentBias);
float NormalisedValueRef(float weightedSum, float weightSum);
// The patch's edge and corner weights, from their bits.
inline float ModelFloat(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}
const float ModelEdgeWeight = ModelFloat(0x3F1B458D);    // 0.60653f
const float ModelCornerWeight = ModelFloat(0x3EBC5AC4);  // 0.36788f

// Scaled distance c * D between (y, x) read through P and (y + dy, x + dx) read through Q, with
// the kernel's column-term order: D(x) = (L(x-1) + M(x)) + L(x+1). P(row, column) and
// Q(row, column) give the values (the same frame for the spatial filter).
template <bool Gaussian, typename FrameP, typename FrameQ>
inline float TwoFrameDistanceRef(const FrameP& P, const FrameQ& Q, int y, int x, int dy, int dx,
                                 float c) {
    auto sq = [&](int i, int u) {
        const float d = Q(y + dy + i, u + dx) - P(y + i, u);
        return d * d;
    };
    auto side = [&](int u) {
        const float dt = sq(-1, u), dm = sq(0, u), db = sq(1, u);
        return Gaussian ? ModelEdgeWeight * dm + ModelCornerWeight * (dt + db) : (dt + dm) + db;
    };
    auto centre = [&](int u) {
        const float dt = sq(-1, u), dm = sq(0, u), db = sq(1, u);
        return Gaussian ? dm + ModelEdgeWeight * (dt + db) : (dt + dm) + db;
    };
    const float D = (side(x - 1) + centre(x)) + side(x + 1);
    return c * D;
}

// Scaled distance c * D((y, x), (y + dy, x + dx)) within one frame; S(row, column) gives the
// value at a position.
template <bool Gaussian, typename Staged>
inline float ScaledDistanceRef(const Staged& S, int y, int x, int dy, int dx, float c) {
    return TwoFrameDistanceRef<Gaussian>(S, S, y, x, dy, dx, c);
}

// One lane of one chunk: staged rows (band rows -R-1 upward, 50 columns from -R-1), the
// accumulator rows and the ring, in the same geometry as the engine's Chunk.
struct ChunkModel {
    int R = 1, n = 8;
    float c = 0, lowerBound = 0, exponentBias = 0;
    std::vector<float> staged;  // row-major, 50 floats per row
    std::vector<float> acc;     // R + 2 rows of 48 entries of 3 floats
    int ring[6] = {0, 1, 2, 3, 4, 5};

    float S(int y, int x) const { return staged[size_t(y + R + 1) * 50 + size_t(x + R + 1)]; }
    float* Entry(int ringRow, int x) {
        return &acc[(size_t(ring[ringRow]) * 48 + size_t(x + R)) * 3];
    }
    void Rotate();
};

void InitAccumulatorRowRef(ChunkModel& m, int ringRow, int y);
template <bool Gaussian>
void AccumulateAboveBandRef(ChunkModel& m);
template <bool Gaussian>
void AccumulateRowPairRef(ChunkModel& m, int y0);
