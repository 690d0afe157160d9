// patch_margins.cpp: the margin steps of a row pair, crediting the chunk end of each pair only
//
// The R margin columns on each side of a chunk are accumulated but never normalised, so a pair
// whose first end p lies in a margin credits only its other end q. Runs are R columns long and
// both rows' distances interleave in the DistanceBuffer: margin column 0 of row y0, of row y1,
// column 1 of row y0, and so on.
//   left:  p = (y, m), m = -R..-1, q = (y + j, m + dx), j = 0..R, dx = 1..R
//   right: p = (y, m), m = n..n+R-1, q = (y + j, m + dx), j = 1..R, dx = -R..-1
#include "patch_kernel.h"

#include "patch_runs.h"

// One margin run for both rows of the pair: distances first, then the crediting of q.
template <bool Gaussian>
static VEC_INLINE void MarginRun(const Chunk& chunk, int y0, int m0, int j, int dx,
                                 __m256 lowerBound, __m256 bias) {
    const int R = chunk.R;
    DistanceRunPair<Gaussian>(StagedAt(chunk, y0 - 1), StagedAt(chunk, y0 + j - 1) + 8 * dx, m0, R,
                              chunk.Coefficient, chunk.Distance, chunk.Distance + 8, 2);
    const float* z = chunk.Distance;
    for (int m = m0; m < m0 + R; m++) {
        for (int row = 0; row < 2; row++, z += 8) {
            const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
            const float* a = chunk.Ring[row] + EntryFloats * m;
            Credit(chunk.Ring[row + j] + EntryFloats * (m + dx), w, _mm256_load_ps(a));
        }
    }
}

template <bool Gaussian>
void AccumulateLeftMargin(const Chunk& chunk, int y0) {
    const int R = chunk.R;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    for (int j = 0; j <= R; j++)
        for (int dx = 1; dx <= R; dx++) MarginRun<Gaussian>(chunk, y0, -R, j, dx, lowerBound, bias);
}

template <bool Gaussian>
void AccumulateRightMargin(const Chunk& chunk, int y0) {
    const int R = chunk.R;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    for (int j = 1; j <= R; j++)
        for (int dx = -R; dx <= -1; dx++)
            MarginRun<Gaussian>(chunk, y0, chunk.n, j, dx, lowerBound, bias);
}

template void AccumulateLeftMargin<true>(const Chunk&, int);
template void AccumulateLeftMargin<false>(const Chunk&, int);
template void AccumulateRightMargin<true>(const Chunk&, int);
template void AccumulateRightMargin<false>(const Chunk&, int);
