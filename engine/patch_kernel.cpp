// patch_kernel.cpp: the rows above a band and the chunk step, both ends credited at once
//
// Within a chunk every unordered pair of pixels is compared once: the chunk step visits the
// forward half of the window, offsets (0, 1..R) and (1..R, -R..R), and credits the weight to
// both ends. The rows above the band belong to another band and are credited one-sidedly by
// AccumulateAboveBand; pairs with one end in a margin column go to the margin steps
// (patch_margins.cpp), which credit the chunk end only.
#include "patch_kernel.h"

#include <assert.h>

#include "patch_runs.h"

void InitAccumulatorRow(const Chunk& chunk, float* entry, int y) {
    const float* s = StagedAt(chunk, y);
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int x = -chunk.R; x < chunk.n + chunk.R; x++) {
        const __m256 own = _mm256_load_ps(s + 8 * x);
        float* e = entry + EntryFloats * x;
        _mm256_store_ps(e, own);
        _mm256_store_ps(e + 8, own);
        _mm256_store_ps(e + 16, one);
    }
}

template <bool Gaussian>
void AccumulateAboveBand(const Chunk& chunk) {
    const int R = chunk.R, n = chunk.n;
    assert(R >= 1 && R <= MaxRange && n % 8 == 0 && n >= 8 && n <= ChunkColumns);
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    for (int o = 0; o < R; o++) {
        const float* const p[3] = {StagedAt(chunk, o - 1), StagedAt(chunk, o),
                                   StagedAt(chunk, o + 1)};
        float* const row = chunk.Ring[o];
        for (int dy = -R; dy <= -(o + 1); dy++) {
            for (int dx = -R; dx <= R; dx++) {
                const float* const q[3] = {StagedAt(chunk, o + dy - 1) + 8 * dx,
                                           StagedAt(chunk, o + dy) + 8 * dx,
                                           StagedAt(chunk, o + dy + 1) + 8 * dx};
                DistanceRun<Gaussian>(p, q, 0, n, chunk.Coefficient, chunk.Distance);
                const float* z = chunk.Distance;
                const float* other = q[1];
                for (int x = 0; x < n; x++, z += 8) {
                    const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
                    Credit(row + EntryFloats * x, w, _mm256_load_ps(other + 8 * x));
                }
            }
        }
    }
}

template <bool Gaussian>
void AccumulateChunk(const Chunk& chunk, int y0) {
    const int R = chunk.R, n = chunk.n;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    const float* const p = StagedAt(chunk, y0 - 1);  // rows y0 - 1 to y0 + 2 follow
    for (int j = 0; j <= R; j++) {
        for (int dx = j == 0 ? 1 : -R; dx <= R; dx++) {
            DistanceRunPair<Gaussian>(p, StagedAt(chunk, y0 + j - 1) + 8 * dx, 0, n,
                                      chunk.Coefficient, chunk.Distance,
                                      chunk.Distance + DistanceHalfFloats, 1);
            for (int row = 0; row < 2; row++) {
                const float* z = chunk.Distance + row * DistanceHalfFloats;
                float* a = chunk.Ring[row];
                float* b = chunk.Ring[row + j] + EntryFloats * dx;
                for (int x = 0; x < n; x++, z += 8, a += EntryFloats, b += EntryFloats) {
                    const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
                    const __m256 ownA = _mm256_load_ps(a);
                    const __m256 ownB = _mm256_load_ps(b);
                    Credit(a, w, ownB);
                    Credit(b, w, ownA);
                }
            }
        }
    }
}

template <bool Gaussian>
void AccumulateRowPair(const Chunk& chunk, int y0) {
    assert(chunk.R >= 1 && chunk.R <= MaxRange && chunk.n % 8 == 0 && chunk.n >= 8 &&
           chunk.n <= ChunkColumns);
    AccumulateLeftMargin<Gaussian>(chunk, y0);
    AccumulateChunk<Gaussian>(chunk, y0);
    AccumulateRightMargin<Gaussian>(chunk, y0);
}

template void AccumulateAboveBand<true>(const Chunk&);
template void AccumulateAboveBand<false>(const Chunk&);
template void AccumulateChunk<true>(const Chunk&, int);
template void AccumulateChunk<false>(const Chunk&, int);
template void AccumulateRowPair<true>(const Chunk&, int);
template void AccumulateRowPair<false>(const Chunk&, int);
