// patch_kernel_model.cpp: the kernel's arithmetic for one lane, pair by pair
#include "patch_kernel_model.h"

#include <immintrin.h>
#include <string.h>

float FastExpWeightRef(float z, float lowerBound, float exponentBias) {
    if (!(lowerBound <= z)) return 0.0f;
    const float t = z + exponentBias;
    const int32_t i = _mm_cvtss_si32(_mm_set_ss(t));
    float w;
    memcpy(&w, &i, sizeof w);
    return w;
}

float NormalisedValueRef(float weightedSum, float weightSum) {
    return weightedSum * _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(weightSum)));
}

void ChunkModel::Rotate() {
    const int done0 = ring[0], done1 = ring[1];
    for (int i = 0; i < R; i++) ring[i] = ring[i + 2];
    ring[R] = done0;
    ring[R + 1] = done1;
}

void InitAccumulatorRowRef(ChunkModel& m, int ringRow, int y) {
    for (int x = -m.R; x < m.n + m.R; x++) {
        float* e = m.Entry(ringRow, x);
        e[0] = e[1] = m.S(y, x);
        e[2] = 1.0f;
    }
}

static void Credit(float* e, float w, float v) {
    e[1] = e[1] + w * v;
    e[2] = e[2] + w;
}

template <bool Gaussian>
static float Weight(const ChunkModel& m, int y, int x, int dy, int dx) {
    auto S = [&m](int r, int u) { return m.S(r, u); };
    return FastExpWeightRef(ScaledDistanceRef<Gaussian>(S, y, x, dy, dx, m.c), m.lowerBound,
                            m.exponentBias);
}

template <bool Gaussian>
void AccumulateAboveBandRef(ChunkModel& m) {
    for (int o = 0; o < m.R; o++)
        for (int dy = -m.R; dy <= -(o + 1); dy++)
            for (int dx = -m.R; dx <= m.R; dx++)
                for (int x = 0; x < m.n; x++)
                    Credit(m.Entry(o, x), Weight<Gaussian>(m, o, x, dy, dx), m.S(o + dy, x + dx));
}

// Margin pairs credit q only; p lies in a margin column of row y0 + row.
template <bool Gaussian>
static void MarginRef(ChunkModel& m, int y0, int m0, int j, int dx) {
    for (int x = m0; x < m0 + m.R; x++)
        for (int row = 0; row < 2; row++) {
            const float w = Weight<Gaussian>(m, y0 + row, x, j, dx);
            Credit(m.Entry(row + j, x + dx), w, m.Entry(row, x)[0]);
        }
}

template <bool Gaussian>
void AccumulateRowPairRef(ChunkModel& m, int y0) {
    const int R = m.R;
    for (int j = 0; j <= R; j++)
        for (int dx = 1; dx <= R; dx++) MarginRef<Gaussian>(m, y0, -R, j, dx);
    for (int j = 0; j <= R; j++)
        for (int dx = j == 0 ? 1 : -R; dx <= R; dx++)
            for (int row = 0; row < 2; row++)
                for (int x = 0; x < m.n; x++) {
                    const float w = Weight<Gaussian>(m, y0 + row, x, j, dx);
                    float* a = m.Entry(row, x);
                    float* b = m.Entry(row + j, x + dx);
                    const float ownA = a[0], ownB = b[0];
                    Credit(a, w, ownB);
                    Credit(b, w, ownA);
                }
    for (int j = 1; j <= R; j++)
        for (int dx = -R; dx <= -1; dx++) MarginRef<Gaussian>(m, y0, m.n, j, dx);
}

template void AccumulateAboveBandRef<true>(ChunkModel&);
template void AccumulateAboveBandRef<false>(ChunkModel&);
template void AccumulateRowPairRef<true>(ChunkModel&, int);
template void AccumulateRowPairRef<false>(ChunkModel&, int);
