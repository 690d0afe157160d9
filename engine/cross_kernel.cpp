// cross_kernel.cpp: the pairs between two frames of one tile, and the sums' store and packing
//
// Per offset (dy, dx) and pair of A rows, one two-row distance run (the spatial kernel's
// DistanceRunPair) covers the n + |mx + dx| columns whose A end or B end is in the chunk; pass 2
// then credits each row in up to three column segments: both ends, the A end only, the B end
// only.
#include "cross_kernel.h"

#include <assert.h>

#include "patch_runs.h"

// Pass 2 for columns with one end in the tile: sums a receive the other end's values v.
static VEC_INLINE void CreditOne(const float* z, float* a, const float* v, int count,
                                 __m256 lowerBound, __m256 bias) {
    for (int x = 0; x < count; x++, z += 8, a += SumFloats, v += 8) {
        const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
        _mm256_store_ps(a, _mm256_add_ps(_mm256_load_ps(a), _mm256_mul_ps(w, _mm256_load_ps(v))));
        _mm256_store_ps(a + 8, _mm256_add_ps(_mm256_load_ps(a + 8), w));
    }
}

// The run of offset dx in a row's z: column x at z + SlotFloats * (dx + R) + 8 * (x + R + |mx|).
enum { SlotFloats = 48 * 8 };

// Pass 2 of one A row against one B row, all offsets dx of one dy at once. Column x of the A
// row meets columns x + mx - R to x + mx + R of the B row; x runs over every column that has
// an end in the chunk. The A entry of a column takes its credits in registers, dx ascending; a
// B entry is met by ascending x, so it takes its credits dx descending. aIn and bIn say whether
// the A and the B row lie in the band. b and vb are shifted by mx, so that B column x + mx + dx
// is index j = x + dx, and a B entry lies in the chunk when -mx <= j < n - mx.
template <int R>
static VEC_INLINE void CreditRows(const CrossTile& t, const float* z, int ya, int yb, bool aIn,
                                  bool bIn, __m256 lowerBound, __m256 bias) {
    const int n = t.n, mx = t.MotionX, off = R + (mx < 0 ? -mx : mx);
    const int bLo = -mx, bHi = n - mx;
    float* const a = t.SumsA + ya * t.SumRowFloats;
    float* const b = t.SumsB + yb * t.SumRowFloats + SumFloats * mx;
    const float* const va = t.StagedA + ya * StagedRowFloats;
    const float* const vb = t.StagedB + yb * StagedRowFloats + 8 * mx;
    auto zAt = [&](int x, int dx) {
        return _mm256_load_ps(z + SlotFloats * (dx + R) + 8 * (x + off));
    };
    if (!aIn && !bIn) return;  // a row between a short band's two ends
    if (!aIn) {
        // B ends only: one run per dx, dx descending.
        for (int dx = R; dx >= -R; dx--) {
            const int from = bLo - dx;
            CreditOne(z + SlotFloats * (dx + R) + 8 * (from + off), b + SumFloats * (from + dx),
                      va + 8 * from, n, lowerBound, bias);
        }
        return;
    }
    // Columns where every offset has both ends in the tile (or, for an A row alone, all A
    // columns) go the fast way; the others test each end. A motion wider than the chunk
    // leaves no fast columns.
    const int fast0 = bIn ? (bLo + R > 0 ? bLo + R : 0) : 0;
    int fast1 = bIn ? (bHi - R < n ? bHi - R : n) : n;
    if (fast1 < fast0) fast1 = fast0;
    auto slow = [&](int x) {
        const bool aOk = x >= 0 && x < n;
        __m256 sum = _mm256_setzero_ps(), weight = sum, own = sum;
        if (aOk) {
            sum = _mm256_load_ps(a + SumFloats * x);
            weight = _mm256_load_ps(a + SumFloats * x + 8);
        }
        own = _mm256_load_ps(va + 8 * x);
        for (int dx = -R; dx <= R; dx++) {
            const bool bOk = bIn && x + dx >= bLo && x + dx < bHi;
            if (!aOk && !bOk) continue;
            const __m256 w = FastExpWeight(zAt(x, dx), lowerBound, bias);
            if (aOk) {
                sum = _mm256_add_ps(sum, _mm256_mul_ps(w, _mm256_load_ps(vb + 8 * (x + dx))));
                weight = _mm256_add_ps(weight, w);
            }
            if (bOk) {
                float* e = b + SumFloats * (x + dx);
                _mm256_store_ps(e, _mm256_add_ps(_mm256_load_ps(e), _mm256_mul_ps(w, own)));
                _mm256_store_ps(e + 8, _mm256_add_ps(_mm256_load_ps(e + 8), w));
            }
        }
        if (aOk) {
            _mm256_store_ps(a + SumFloats * x, sum);
            _mm256_store_ps(a + SumFloats * x + 8, weight);
        }
    };
    const int first = bIn && bLo - R < 0 ? bLo - R : 0;
    const int last = bIn && bHi + R > n ? bHi + R : n;
    for (int x = first; x < fast0; x++) slow(x);
    for (int x = fast0; x < fast1; x++) {
        float* const e = a + SumFloats * x;
        __m256 sum = _mm256_load_ps(e), weight = _mm256_load_ps(e + 8);
        const __m256 own = _mm256_load_ps(va + 8 * x);
        for (int dx = -R; dx <= R; dx++) {
            const __m256 w = FastExpWeight(zAt(x, dx), lowerBound, bias);
            sum = _mm256_add_ps(sum, _mm256_mul_ps(w, _mm256_load_ps(vb + 8 * (x + dx))));
            weight = _mm256_add_ps(weight, w);
            if (bIn) {
                float* o = b + SumFloats * (x + dx);
                _mm256_store_ps(o, _mm256_add_ps(_mm256_load_ps(o), _mm256_mul_ps(w, own)));
                _mm256_store_ps(o + 8, _mm256_add_ps(_mm256_load_ps(o + 8), w));
            }
        }
        _mm256_store_ps(e, sum);
        _mm256_store_ps(e + 8, weight);
    }
    for (int x = fast1; x < last; x++) slow(x);
}

// The A rows y from lo to hi-1 of one dy, two at a time: distance runs for every dx, then the
// credits of each row.
template <bool Gaussian, int R>
static VEC_INLINE void CrossRows(const CrossTile& t, int dy, int lo, int hi, __m256 lowerBound,
                                 __m256 bias) {
    const int n = t.n, m = t.m, mx = t.MotionX, ey = t.MotionY + dy;
    const int off = R + (mx < 0 ? -mx : mx);
    float* const z0 = t.Distance;
    float* const z1 = t.Distance + CrossDistanceFloats / 2;
    for (int y = lo; y < hi; y += 2) {
        const float* const pa = t.StagedA + (y - 1) * StagedRowFloats;
        const float* const pb = t.StagedB + (y + ey - 1) * StagedRowFloats;
        for (int dx = -R; dx <= R; dx++) {
            // The columns whose A end or B end is in the chunk.
            const int ex = mx + dx;
            const int x0 = ex > 0 ? -ex : 0, len = n + (ex < 0 ? -ex : ex);
            const int at = SlotFloats * (dx + R) + 8 * (x0 + off);
            DistanceRunPair<Gaussian>(pa, pb + 8 * ex, x0, len, t.Coefficient, z0 + at, z1 + at, 1);
        }
        for (int r = 0; r < 2 && y + r < hi; r++) {
            const int ya = y + r, yb = ya + ey;
            CreditRows<R>(t, r ? z1 : z0, ya, yb, ya >= 0 && ya < m, yb >= 0 && yb < m, lowerBound,
                          bias);
        }
    }
}

template <bool Gaussian, int R>
static void CrossTileBody(const CrossTile& t) {
    const int m = t.m;
    const __m256 lowerBound = Broadcast(t.LowerBound);
    const __m256 bias = Broadcast(t.ExponentBias);
    for (int dy = -R; dy <= R; dy++) {
        // A rows whose A end (rows 0 to m-1) or B end (rows -ey to m-ey-1) is in the band: one
        // stretch, or two when the motion moves the B rows clear of the band.
        const int ey = t.MotionY + dy;
        if (ey >= m || -ey >= m) {
            const int lo = ey > 0 ? -ey : 0, hi = ey > 0 ? m : m - ey;
            CrossRows<Gaussian, R>(t, dy, lo, lo + m, lowerBound, bias);
            CrossRows<Gaussian, R>(t, dy, hi - m, hi, lowerBound, bias);
        } else {
            const int lo = ey > 0 ? -ey : 0, hi = ey < 0 ? m - ey : m;
            CrossRows<Gaussian, R>(t, dy, lo, hi, lowerBound, bias);
        }
    }
}

template <bool Gaussian>
void AccumulateCrossTile(const CrossTile& t) {
    assert(t.R >= 1 && t.R <= MaxRange && t.n % 8 == 0 && t.n >= 8 && t.n <= ChunkColumns &&
           t.m >= 1);
    assert(t.n + 2 * (t.R + (t.MotionX < 0 ? -t.MotionX : t.MotionX)) <= 48);
    assert((reinterpret_cast<uintptr_t>(t.Distance) & 31) == 0);
    switch (t.R) {
        case 1:
            return CrossTileBody<Gaussian, 1>(t);
        case 2:
            return CrossTileBody<Gaussian, 2>(t);
        case 3:
            return CrossTileBody<Gaussian, 3>(t);
        default:
            return CrossTileBody<Gaussian, 4>(t);
    }
}

// Regional pairs of one dy, A rows lo to hi-1 two at a time: the distance runs of the offsets
// outside the frame's window, then each row's credits, dx ascending, columns ascending. Only
// columns whose B end lies in the strip are visited; lanes are masked by the region and by W.
template <bool Gaussian, int R>
static VEC_INLINE void RegionRows(const RegionTile& t, int dy, int lo, int hi, const bool* skip,
                                  __m256 lanes, __m256 base, __m256 width, __m256 lowerBound,
                                  __m256 bias) {
    const int n = t.n, ey = t.MotionY + dy;
    float* const z0 = t.Distance;
    float* const z1 = t.Distance + CrossDistanceFloats / 2;
    auto span = [&](int dx, int& x0, int& x1) {
        const int ex = t.MotionX + dx;
        x0 = -t.Column - ex > 0 ? -t.Column - ex : 0;
        x1 = t.V - t.Column - ex < n ? t.V - t.Column - ex : n;
    };
    for (int y = lo; y < hi; y += 2) {
        const float* const pa = t.StagedA + (y - 1) * StagedRowFloats;
        const float* const pb = t.StagedB + (y + ey - 1) * StagedRowFloats;
        for (int dx = -R; dx <= R; dx++) {
            int x0, x1;
            span(dx, x0, x1);
            if (skip[dx + R] || x0 >= x1) continue;
            const int at = SlotFloats * (dx + R) + 8 * x0;
            DistanceRunPair<Gaussian>(pa, pb + 8 * (t.MotionX + dx), x0, x1 - x0, t.Coefficient,
                                      z0 + at, z1 + at, 1);
        }
        for (int r = 0; r < 2 && y + r < hi; r++) {
            const int ya = y + r, yb = ya + ey;
            const float* const z = r ? z1 : z0;
            float* const a = t.SumsA + ya * t.SumRowFloats;
            float* const b = t.SumsB + yb * t.SumRowFloats;
            const float* const va = t.StagedA + ya * StagedRowFloats;
            const float* const vb = t.StagedB + yb * StagedRowFloats;
            for (int dx = -R; dx <= R; dx++) {
                int x0, x1;
                span(dx, x0, x1);
                if (skip[dx + R]) continue;
                const int ex = t.MotionX + dx;
                for (int x = x0; x < x1; x++) {
                    // Lane s is column s V + c0 + x of the frame at the A end, + ex at the B end.
                    const __m256 column = _mm256_add_ps(base, _mm256_set1_ps(float(t.Column + x)));
                    const __m256 moved = _mm256_add_ps(column, _mm256_set1_ps(float(ex)));
                    const __m256 keep = _mm256_and_ps(
                        lanes, _mm256_and_ps(_mm256_cmp_ps(column, width, _CMP_LT_OQ),
                                             _mm256_cmp_ps(moved, width, _CMP_LT_OQ)));
                    const __m256 w = _mm256_and_ps(
                        FastExpWeight(_mm256_load_ps(z + SlotFloats * (dx + R) + 8 * x), lowerBound,
                                      bias),
                        keep);
                    float* const ea = a + SumFloats * x;
                    float* const eb = b + SumFloats * (x + ex);
                    _mm256_store_ps(
                        ea, _mm256_add_ps(_mm256_load_ps(ea),
                                          _mm256_mul_ps(w, _mm256_load_ps(vb + 8 * (x + ex)))));
                    _mm256_store_ps(ea + 8, _mm256_add_ps(_mm256_load_ps(ea + 8), w));
                    _mm256_store_ps(eb,
                                    _mm256_add_ps(_mm256_load_ps(eb),
                                                  _mm256_mul_ps(w, _mm256_load_ps(va + 8 * x))));
                    _mm256_store_ps(eb + 8, _mm256_add_ps(_mm256_load_ps(eb + 8), w));
                }
            }
        }
    }
}

template <bool Gaussian, int R>
static void RegionTileBody(const RegionTile& t) {
    const __m256 lowerBound = Broadcast(t.LowerBound);
    const __m256 bias = Broadcast(t.ExponentBias);
    const float V = float(t.V);
    const __m256 base = _mm256_set_ps(7 * V, 6 * V, 5 * V, 4 * V, 3 * V, 2 * V, V, 0.0f);
    const __m256 width = _mm256_set1_ps(float(t.W));
    const __m256i on = _mm256_set_epi32(
        -(t.Lanes >> 7 & 1), -(t.Lanes >> 6 & 1), -(t.Lanes >> 5 & 1), -(t.Lanes >> 4 & 1),
        -(t.Lanes >> 3 & 1), -(t.Lanes >> 2 & 1), -(t.Lanes >> 1 & 1), -(t.Lanes & 1));
    const __m256 lanes = _mm256_castsi256_ps(on);
    for (int dy = -R; dy <= R; dy++) {
        const int ey = t.MotionY + dy;
        // A rows whose B end lies in the frame.
        const int lo = -t.Top - ey > 0 ? -t.Top - ey : 0;
        const int hi = t.H - t.Top - ey < t.m ? t.H - t.Top - ey : t.m;
        if (lo >= hi) continue;
        // Offsets inside the frame's window are the frame's pairs, not the region's.
        bool skip[2 * MaxRange + 1], any = false;
        const int gy = ey - t.GlobalY;
        for (int dx = -R; dx <= R; dx++) {
            const int gx = t.MotionX + dx - t.GlobalX;
            skip[dx + R] = gy >= -R && gy <= R && gx >= -R && gx <= R;
            any = any || !skip[dx + R];
        }
        if (any) RegionRows<Gaussian, R>(t, dy, lo, hi, skip, lanes, base, width, lowerBound, bias);
    }
}

template <bool Gaussian>
void AccumulateRegionTile(const RegionTile& t) {
    assert(t.R >= 1 && t.R <= MaxRange && t.n % 8 == 0 && t.n >= 8 && t.n <= CrossChunkColumns &&
           t.m >= 1);
    assert(t.R + (t.MotionX < 0 ? -t.MotionX : t.MotionX) <= CrossReach);
    assert(t.R + (t.MotionY < 0 ? -t.MotionY : t.MotionY) <= CrossReach);
    assert((reinterpret_cast<uintptr_t>(t.Distance) & 31) == 0);
    switch (t.R) {
        case 1:
            return RegionTileBody<Gaussian, 1>(t);
        case 2:
            return RegionTileBody<Gaussian, 2>(t);
        case 3:
            return RegionTileBody<Gaussian, 3>(t);
        default:
            return RegionTileBody<Gaussian, 4>(t);
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

void PackSumsOwn(const float* sums, const float* own, int16_t* packed, int n) {
    const __m256 drop = _mm256_castsi256_ps(_mm256_set1_epi32(OwnWeightDropBits));
    for (int x = 0; x < n; x++, sums += SumFloats, own += 8, packed += 8) {
        const __m256 weighted =
            _mm256_sub_ps(_mm256_load_ps(sums), _mm256_mul_ps(drop, _mm256_load_ps(own)));
        const __m256 weight = _mm256_sub_ps(_mm256_load_ps(sums + 8), drop);
        const __m256 value = _mm256_mul_ps(weighted, _mm256_rcp_ps(weight));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(packed), PackToWords(value));
    }
}

template void AccumulateCrossTile<true>(const CrossTile&);
template void AccumulateCrossTile<false>(const CrossTile&);
template void AccumulateRegionTile<true>(const RegionTile&);
template void AccumulateRegionTile<false>(const RegionTile&);
