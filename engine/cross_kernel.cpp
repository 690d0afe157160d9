// cross_kernel.cpp: the pairs between two frames of one tile, and the sums' store and packing
//
// Per offset (dy, dx) and pair of A rows, one two-row distance run (the spatial kernel's
// DistanceRunPair) covers the n + |dx| columns whose A end or B end is in the chunk; pass 2 then
// credits each row in up to three column segments: both ends, the A end only, the B end only.
#include "cross_kernel.h"

#include <assert.h>

#include "patch_runs.h"

// Pass 2 for columns whose two ends are in the tile: a and b are sums (SumFloats apart), va and
// vb the staged values of the same positions (8 floats apart).
static VEC_INLINE void CreditBoth(const float* z, float* a, const float* va, float* b,
                                  const float* vb, int count, __m256 lowerBound, __m256 bias) {
    for (int x = 0; x < count; x++, z += 8, a += SumFloats, b += SumFloats, va += 8, vb += 8) {
        const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
        _mm256_store_ps(a, _mm256_add_ps(_mm256_load_ps(a), _mm256_mul_ps(w, _mm256_load_ps(vb))));
        _mm256_store_ps(a + 8, _mm256_add_ps(_mm256_load_ps(a + 8), w));
        _mm256_store_ps(b, _mm256_add_ps(_mm256_load_ps(b), _mm256_mul_ps(w, _mm256_load_ps(va))));
        _mm256_store_ps(b + 8, _mm256_add_ps(_mm256_load_ps(b + 8), w));
    }
}

// Pass 2 for columns with one end in the tile: sums a receive the other end's values v.
static VEC_INLINE void CreditOne(const float* z, float* a, const float* v, int count,
                                 __m256 lowerBound, __m256 bias) {
    for (int x = 0; x < count; x++, z += 8, a += SumFloats, v += 8) {
        const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
        _mm256_store_ps(a, _mm256_add_ps(_mm256_load_ps(a), _mm256_mul_ps(w, _mm256_load_ps(v))));
        _mm256_store_ps(a + 8, _mm256_add_ps(_mm256_load_ps(a + 8), w));
    }
}

// Pass 2 of one row of a run: A row ya, B row ya + dy, offset dx; z holds the run's columns
// from x0 on. Columns: A end at x in [0, n), B end at x + dx in [0, n).
static VEC_INLINE void CreditRow(const CrossTile& t, const float* z, int x0, int ya, int dy, int dx,
                                 __m256 lowerBound, __m256 bias) {
    const int n = t.n, yb = ya + dy;
    const bool aIn = ya >= 0 && ya < t.m, bIn = yb >= 0 && yb < t.m;
    float* const a = t.SumsA + ya * t.SumRowFloats;
    float* const b = t.SumsB + yb * t.SumRowFloats + SumFloats * dx;  // indexed by x
    const float* const va = t.StagedA + ya * StagedRowFloats;
    const float* const vb = t.StagedB + yb * StagedRowFloats + 8 * dx;  // indexed by x
    auto one = [&](float* sums, const float* other, int from, int to) {
        if (from < to)
            CreditOne(z + 8 * (from - x0), sums + SumFloats * from, other + 8 * from, to - from,
                      lowerBound, bias);
    };
    if (aIn && bIn) {
        const int from = dx < 0 ? -dx : 0, to = dx > 0 ? n - dx : n;
        CreditBoth(z + 8 * (from - x0), a + SumFloats * from, va + 8 * from, b + SumFloats * from,
                   vb + 8 * from, to - from, lowerBound, bias);
        one(a, vb, 0, from);  // A ends whose B end lies left of the chunk (dx < 0)
        one(a, vb, to, n);    // ... or right of it (dx > 0)
        one(b, va, -dx, 0);   // B ends whose A end lies left of the chunk (dx > 0)
        one(b, va, n, n - dx);
    } else if (aIn) {
        one(a, vb, 0, n);
    } else if (bIn) {
        one(b, va, -dx, n - dx);
    }
}

template <bool Gaussian>
void AccumulateCrossTile(const CrossTile& t) {
    const int R = t.R, n = t.n, m = t.m;
    assert(R >= 1 && R <= MaxRange && n % 8 == 0 && n >= 8 && n <= ChunkColumns && m >= 1);
    assert((reinterpret_cast<uintptr_t>(t.Distance) & 31) == 0);
    const __m256 lowerBound = Broadcast(t.LowerBound);
    const __m256 bias = Broadcast(t.ExponentBias);
    float* const z0 = t.Distance;
    float* const z1 = t.Distance + CrossDistanceFloats / 2;
    for (int dy = -R; dy <= R; dy++) {
        // A rows whose A end (rows 0 to m-1) or B end (rows -dy to m-dy-1) is in the band.
        const int lo = dy > 0 ? -dy : 0, hi = dy < 0 ? m - dy : m;
        for (int y = lo; y < hi; y += 2) {
            const float* const pa = t.StagedA + (y - 1) * StagedRowFloats;
            const float* const pb = t.StagedB + (y + dy - 1) * StagedRowFloats;
            for (int dx = -R; dx <= R; dx++) {
                const int x0 = dx > 0 ? -dx : 0, len = n + (dx < 0 ? -dx : dx);
                DistanceRunPair<Gaussian>(pa, pb + 8 * dx, x0, len, t.Coefficient, z0, z1, 1);
                CreditRow(t, z0, x0, y, dy, dx, lowerBound, bias);
                if (y + 1 < hi) CreditRow(t, z1, x0, y + 1, dy, dx, lowerBound, bias);
            }
        }
    }
}

void StoreSums(const float* entry, float* sums, int n) {
    for (int x = 0; x < n; x++, entry += EntryFloats, sums += SumFloats) {
        _mm256_store_ps(sums, _mm256_load_ps(entry + 8));
        _mm256_store_ps(sums + 8, _mm256_load_ps(entry + 16));
    }
}

void PackSums(const float* sums, int16_t* packed, int n) {
    for (int x = 0; x < n; x++, sums += SumFloats, packed += 8) {
        const __m256 value =
            _mm256_mul_ps(_mm256_load_ps(sums), _mm256_rcp_ps(_mm256_load_ps(sums + 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(packed), PackToWords(value));
    }
}

template void AccumulateCrossTile<true>(const CrossTile&);
template void AccumulateCrossTile<false>(const CrossTile&);
