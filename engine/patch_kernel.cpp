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
        const float* const p = StagedAt(chunk, o - 1);  // rows o and o + 1 follow
        float* const row = chunk.Ring[o];
        for (int dy = -R; dy <= -(o + 1); dy++) {
            for (int dx = -R; dx <= R; dx++) {
                const float* const q = StagedAt(chunk, o + dy - 1) + 8 * dx;
                DistanceRun<Gaussian>(p, q, 0, n, chunk.Coefficient, chunk.Distance);
                const float* z = chunk.Distance;
                const float* other = q + StagedRowFloats;  // the middle row
                for (int x = 0; x < n; x++, z += 8) {
                    const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
                    Credit(row + EntryFloats * x, w, _mm256_load_ps(other + 8 * x));
                }
            }
        }
    }
}

// Pass 2 of one run for one row: for x = 0 to n-1, w from z[x]; entry a[x] and entry b[x] (the
// other end) credit each other.
static VEC_INLINE void CreditRun(const float* z, float* a, float* b, int n, __m256 lowerBound,
                                 __m256 bias) {
    for (int x = 0; x < n; x++, z += 8, a += EntryFloats, b += EntryFloats) {
        const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
        const __m256 ownA = _mm256_load_ps(a);
        const __m256 ownB = _mm256_load_ps(b);
        Credit(a, w, ownB);
        Credit(b, w, ownA);
    }
}

// Pass 2 of two runs of one row whose offsets are (j, dx) and (j, dx + 1), j >= 1, interleaved
// with a lag of one column: step s credits column s of the first run and column s - 1 of the
// second. Both then meet the same other end, b[s] (column s + dx of row y + j), which is loaded
// and stored once for the two. Every entry still receives its credits in the order of the runs
// one after the other: a[x] gets the first run's at step x and the second's at step x + 1; b[x]
// gets both at step x, the first run's first. a and b lie in different rows, so no entry is
// both. At most eight vectors are live (b's three, w, one own value, the two constants and a
// temporary), so the 32-bit build does not spill here either.
static VEC_INLINE void CreditRunPair(const float* z0, const float* z1, float* a, float* b, int n,
                                     __m256 lowerBound, __m256 bias) {
    // Step 0: the first run's column 0 only.
    __m256 w = FastExpWeight(_mm256_load_ps(z0), lowerBound, bias);
    Credit(a, w, _mm256_load_ps(b));
    Credit(b, w, _mm256_load_ps(a));
    for (int s = 1; s < n; s++) {
        a += EntryFloats;
        b += EntryFloats;
        const __m256 ownB = _mm256_load_ps(b);
        // The first run, column s: a[s] and b[s].
        w = FastExpWeight(_mm256_load_ps(z0 + 8 * s), lowerBound, bias);
        Credit(a, w, ownB);
        __m256 ownA = _mm256_load_ps(a);
        __m256 sumB = _mm256_add_ps(_mm256_load_ps(b + 8), _mm256_mul_ps(w, ownA));
        __m256 weightB = _mm256_add_ps(_mm256_load_ps(b + 16), w);
        // The second run, column s - 1: a[s - 1] and b[s].
        w = FastExpWeight(_mm256_load_ps(z1 + 8 * (s - 1)), lowerBound, bias);
        Credit(a - EntryFloats, w, ownB);
        ownA = _mm256_load_ps(a - EntryFloats);
        _mm256_store_ps(b + 8, _mm256_add_ps(sumB, _mm256_mul_ps(w, ownA)));
        _mm256_store_ps(b + 16, _mm256_add_ps(weightB, w));
    }
    // Step n: the second run's column n - 1 only; its other end is b[n].
    b += EntryFloats;
    w = FastExpWeight(_mm256_load_ps(z1 + 8 * (n - 1)), lowerBound, bias);
    Credit(a, w, _mm256_load_ps(b));
    Credit(b, w, _mm256_load_ps(a));
}

template <bool Gaussian>
void AccumulateChunk(const Chunk& chunk, int y0) {
    const int R = chunk.R, n = chunk.n;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    const float* const p = StagedAt(chunk, y0 - 1);  // rows y0 - 1 to y0 + 2 follow
    float* const z = chunk.Distance;
    for (int j = 0; j <= R; j++) {
        int dx = j == 0 ? 1 : -R;
        // From j = 2 on, the two rows' passes touch disjoint ring rows (0 and j, 1 and j + 1),
        // so the second run's row y0 pass may go before the first run's row y1 pass, and two
        // runs at a time share their other ends (CreditRunPair). Rows 0 and 1 of j = 1 and the
        // single row of j = 0 are shared between the passes: there the runs go one by one.
        if (j >= 2) {
            for (; dx < R; dx += 2) {
                const float* q = StagedAt(chunk, y0 + j - 1) + 8 * dx;
                DistanceRunPair<Gaussian>(p, q, 0, n, chunk.Coefficient, z, z + DistanceHalfFloats,
                                          1);
                DistanceRunPair<Gaussian>(p, q + 8, 0, n, chunk.Coefficient, z + 8 * ChunkColumns,
                                          z + DistanceHalfFloats + 8 * ChunkColumns, 1);
                for (int row = 0; row < 2; row++)
                    CreditRunPair(z + row * DistanceHalfFloats,
                                  z + row * DistanceHalfFloats + 8 * ChunkColumns, chunk.Ring[row],
                                  chunk.Ring[row + j] + EntryFloats * dx, n, lowerBound, bias);
            }
        }
        for (; dx <= R; dx++) {
            DistanceRunPair<Gaussian>(p, StagedAt(chunk, y0 + j - 1) + 8 * dx, 0, n,
                                      chunk.Coefficient, z, z + DistanceHalfFloats, 1);
            for (int row = 0; row < 2; row++)
                CreditRun(z + row * DistanceHalfFloats, chunk.Ring[row],
                          chunk.Ring[row + j] + EntryFloats * dx, n, lowerBound, bias);
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
