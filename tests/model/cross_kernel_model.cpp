// cross_kernel_model.cpp: the cross-frame kernel's arithmetic for one lane, pair by pair
#include "cross_kernel_model.h"

#include <immintrin.h>

template <bool Gaussian>
void AccumulateCrossTileRef(CrossTileModel& t) {
    const int R = t.R, n = t.n, m = t.m, Ry = t.Ry(), Rx = t.Rx();
    auto A = [&t](int y, int x) { return t.StagedA(y, x); };
    auto B = [&t](int y, int x) { return t.StagedB(y, x); };
    for (int dy = -R; dy <= R; dy++)
        for (int y = -Ry; y < m + Ry; y++)
            for (int x = -Rx; x < n + Rx; x++)
                for (int dx = -R; dx <= R; dx++) {
                    const int ey = t.my + dy, ex = t.mx + dx, yb = y + ey, xb = x + ex;
                    const bool aIn = y >= 0 && y < m && x >= 0 && x < n;
                    const bool bIn = yb >= 0 && yb < m && xb >= 0 && xb < n;
                    if (!aIn && !bIn) continue;
                    const float w =
                        FastExpWeightRef(CrossScaledDistanceRef<Gaussian>(A, B, y, x, ey, ex, t.c),
                                         t.lowerBound, t.exponentBias);
                    if (aIn) {
                        float* e = t.SumA(y, x);
                        e[0] = e[0] + w * B(yb, xb);
                        e[1] = e[1] + w;
                    }
                    if (bIn) {
                        float* e = t.SumB(yb, xb);
                        e[0] = e[0] + w * A(y, x);
                        e[1] = e[1] + w;
                    }
                }
}

template <bool Gaussian>
void AccumulateRegionTileRef(RegionTileModel& t) {
    if (!t.on) return;
    const int R = t.R;
    auto A = [&t](int y, int x) { return t.StagedA(y, x); };
    auto B = [&t](int y, int x) { return t.StagedB(y, x); };
    const int laneColumn = t.lane * t.V + t.column;  // the frame's column of A's column 0
    for (int dy = -R; dy <= R; dy++)
        for (int y = 0; y < t.m; y++)
            for (int dx = -R; dx <= R; dx++)
                for (int x = 0; x < t.n; x++) {
                    const int ey = t.my + dy, ex = t.mx + dx;
                    const bool global =
                        ey - t.gy >= -R && ey - t.gy <= R && ex - t.gx >= -R && ex - t.gx <= R;
                    const int rowB = t.top + y + ey, stripB = t.column + x + ex;
                    if (global || rowB < 0 || rowB >= t.H || stripB < 0 || stripB >= t.V) continue;
                    // A lane whose A or B end lies past W is visited with weight 0.
                    const bool real = laneColumn + x < t.W && laneColumn + x + ex < t.W;
                    const float w = real ? FastExpWeightRef(CrossScaledDistanceRef<Gaussian>(
                                                                A, B, y, x, ey, ex, t.c),
                                                            t.lowerBound, t.exponentBias)
                                         : 0.0f;
                    float* e = t.SumA(y, x);
                    e[0] = e[0] + w * B(y + ey, x + ex);
                    e[1] = e[1] + w;
                    e = t.SumB(y + ey, x + ex);
                    e[0] = e[0] + w * A(y, x);
                    e[1] = e[1] + w;
                }
}

int16_t PackSumsRef(float weighted, float weight) {
    const int v = _mm_cvtss_si32(_mm_set_ss(NormalisedValueRef(weighted, weight)));
    return int16_t(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

int16_t PackSumsOwnRef(float weighted, float weight, float own) {
    const float drop = ModelFloat(0x3F200000);  // 0.625f
    return PackSumsRef(weighted - drop * own, weight - drop);
}

template void AccumulateCrossTileRef<true>(CrossTileModel&);
template void AccumulateCrossTileRef<false>(CrossTileModel&);
template void AccumulateRegionTileRef<true>(RegionTileModel&);
template void AccumulateRegionTileRef<false>(RegionTileModel&);
