// patch_runs.h: column terms, distance runs and the fast exponential, shared by the kernel steps
//
// A run is a stretch of consecutive centre columns with one offset (dy, dx). Per column u the
// squared differences of the patch's top, middle and bottom rows (dt, dm, db) become column
// terms, and each column's terms serve the three patches that contain the column:
//   Gaussian: side L = E*dm + C*(dt + db), centre M = dm + E*(dt + db)
//   box:      L = M = (dt + dm) + db
//   D(x) = (L(x-1) + M(x)) + L(x+1),  z = c * D(x)
// E = 0.60653 and C = 0.36788 are the patch's edge and corner weights. The order of these
// additions is part of the result; the scalar models repeat it exactly.
#pragma once

#include "chunk.h"
#include "vec8.h"

enum : uint32_t {
    EdgeWeightBits = 0x3F1B458D,    // 0.60653f, the five-digit value, not exp(-0.5)
    CornerWeightBits = 0x3EBC5AC4,  // 0.36788f, the five-digit value, not exp(-1)
};

template <bool Gaussian>
static VEC_INLINE void ColumnTerms(__m256 dt, __m256 dm, __m256 db, __m256& side, __m256& centre) {
    if (Gaussian) {
        const __m256 e = _mm256_set1_ps(FloatFromBits(EdgeWeightBits));
        const __m256 c = _mm256_set1_ps(FloatFromBits(CornerWeightBits));
        const __m256 s = _mm256_add_ps(dt, db);
        side = _mm256_add_ps(_mm256_mul_ps(e, dm), _mm256_mul_ps(c, s));
        centre = _mm256_add_ps(dm, _mm256_mul_ps(e, s));
    } else {
        side = centre = _mm256_add_ps(_mm256_add_ps(dt, dm), db);
    }
}

// The weight of a scaled distance z: the float whose bits are z + ExponentBias as an integer,
// or 0 when z is below the lower bound or not a number. z = 0 gives 0.96875 (0x3F780000).
static VEC_INLINE __m256 FastExpWeight(__m256 z, __m256 lowerBound, __m256 bias) {
    const __m256 keep = _mm256_cmp_ps(lowerBound, z, _CMP_LE_OQ);
    const __m256i bits = _mm256_cvtps_epi32(_mm256_add_ps(z, bias));
    return _mm256_and_ps(_mm256_castsi256_ps(bits), keep);
}

// Pass 1 of a one-row run: z of centre columns x0 to x0+len-1 into out[0], out[8], ...
// p and q point at column 0 of the patch's top row of the two ends (q already includes the
// column offset dx); the middle and bottom rows follow, a staged row apart, so that the 32-bit
// build addresses all six rows from two registers. Reads columns x0-1 to x0+len.
template <bool Gaussian>
static VEC_INLINE void DistanceRun(const float* p, const float* q, int x0, int len,
                                   const float* coefficient, float* out) {
    enum { Row = StagedRowFloats };
    const __m256 c = _mm256_load_ps(coefficient);
    auto terms = [&](int u, __m256& side, __m256& centre) {
        const int o = 8 * u;
        ColumnTerms<Gaussian>(
            SquaredDifference(_mm256_load_ps(q + o), _mm256_load_ps(p + o)),
            SquaredDifference(_mm256_load_ps(q + Row + o), _mm256_load_ps(p + Row + o)),
            SquaredDifference(_mm256_load_ps(q + 2 * Row + o), _mm256_load_ps(p + 2 * Row + o)),
            side, centre);
    };
    __m256 side, centre, unused;
    terms(x0 - 1, side, unused);
    __m256 previousSide = side;
    terms(x0, side, centre);
    __m256 partial = _mm256_add_ps(previousSide, centre);  // L(x-1) + M(x) of x = x0
    previousSide = side;
    for (int x = x0; x < x0 + len - 1; x++) {
        terms(x + 1, side, centre);
        _mm256_store_ps(out, _mm256_mul_ps(c, _mm256_add_ps(partial, side)));
        out += 8;
        partial = _mm256_add_ps(previousSide, centre);
        previousSide = side;
    }
    terms(x0 + len, side, unused);
    _mm256_store_ps(out, _mm256_mul_ps(c, _mm256_add_ps(partial, side)));
}

// Column u of a two-row run, for both rows: the squared differences of the four rows, the
// column terms L(u) and M(u), and then (with Out) z of centre column u - 1 = c * (partial + L(u)),
// (with Centre) the next partial := previous + M(u), and previous := L(u). Between columns a
// row's partial holds L(u-2) + M(u-1) and previous holds L(u-1). The statements are ordered so
// that at most eight vectors are live at any point (the four carried, d1, d2 and two
// temporaries; row y0's z is stored before row y1's terms are formed), with the constants read
// from memory: the 32-bit product has eight vector registers and would otherwise spill the
// carried sums on every column (bench/spills counts what is left).
template <bool Gaussian, bool Centre, bool Out>
static VEC_INLINE void PairColumn(const float* p, const float* q, int o, const float* coefficient,
                                  __m256& partial0, __m256& previous0, __m256& partial1,
                                  __m256& previous1, float* out0, float* out1) {
    enum { Row = StagedRowFloats };
    const __m256 d1 = SquaredDifference(_mm256_load_ps(q + Row + o), _mm256_load_ps(p + Row + o));
    const __m256 d2 =
        SquaredDifference(_mm256_load_ps(q + 2 * Row + o), _mm256_load_ps(p + 2 * Row + o));
    const __m256 d0 = SquaredDifference(_mm256_load_ps(q + o), _mm256_load_ps(p + o));
    __m256 side0, side1;
    if (Gaussian) {
        const __m256 edge = _mm256_set1_ps(FloatFromBits(EdgeWeightBits));
        const __m256 corner = _mm256_set1_ps(FloatFromBits(CornerWeightBits));
        // Row y0 (d0, d1, d2): L = E*d1 + C*(d0 + d2), M = d1 + E*(d0 + d2).
        const __m256 s0 = _mm256_add_ps(d0, d2);
        if (Centre)
            previous0 = _mm256_add_ps(previous0, _mm256_add_ps(d1, _mm256_mul_ps(edge, s0)));
        side0 = _mm256_add_ps(_mm256_mul_ps(edge, d1), _mm256_mul_ps(corner, s0));
        if (Out)
            _mm256_store_ps(
                out0, _mm256_mul_ps(_mm256_load_ps(coefficient), _mm256_add_ps(partial0, side0)));
        // Row y1 (d1, d2, d3).
        const __m256 d3 =
            SquaredDifference(_mm256_load_ps(q + 3 * Row + o), _mm256_load_ps(p + 3 * Row + o));
        const __m256 s1 = _mm256_add_ps(d1, d3);
        if (Centre)
            previous1 = _mm256_add_ps(previous1, _mm256_add_ps(d2, _mm256_mul_ps(edge, s1)));
        side1 = _mm256_add_ps(_mm256_mul_ps(edge, d2), _mm256_mul_ps(corner, s1));
    } else {
        // L = M = (dt + dm) + db.
        side0 = _mm256_add_ps(_mm256_add_ps(d0, d1), d2);
        if (Out)
            _mm256_store_ps(
                out0, _mm256_mul_ps(_mm256_load_ps(coefficient), _mm256_add_ps(partial0, side0)));
        if (Centre) previous0 = _mm256_add_ps(previous0, side0);
        const __m256 d3 =
            SquaredDifference(_mm256_load_ps(q + 3 * Row + o), _mm256_load_ps(p + 3 * Row + o));
        side1 = _mm256_add_ps(_mm256_add_ps(d1, d2), d3);
        if (Centre) previous1 = _mm256_add_ps(previous1, side1);
    }
    if (Out)
        _mm256_store_ps(out1,
                        _mm256_mul_ps(_mm256_load_ps(coefficient), _mm256_add_ps(partial1, side1)));
    if (Centre) {
        partial0 = previous0;
        partial1 = previous1;
    }
    previous0 = side0;
    previous1 = side1;
}

// Pass 1 of a two-row run over a four-row window: p and q point at column 0 of row y0 - 1 of
// the two ends (q includes dx); rows y0 to y0 + 2 follow, a staged row apart. The middle rows'
// squared differences enter both rows' patches and are computed once. Row y0's z go to out0,
// row y1's to out1, step vectors apart. Reads columns x0 - 1 to x0 + len.
template <bool Gaussian>
static VEC_INLINE void DistanceRunPair(const float* p, const float* q, int x0, int len,
                                       const float* coefficient, float* out0, float* out1,
                                       int step) {
    const int stride = 8 * step;
    __m256 partial0 = _mm256_setzero_ps(), previous0, partial1 = _mm256_setzero_ps(), previous1;
    PairColumn<Gaussian, false, false>(p, q, 8 * (x0 - 1), coefficient, partial0, previous0,
                                       partial1, previous1, out0, out1);
    PairColumn<Gaussian, true, false>(p, q, 8 * x0, coefficient, partial0, previous0, partial1,
                                      previous1, out0, out1);
    for (int x = x0; x < x0 + len - 1; x++) {
        PairColumn<Gaussian, true, true>(p, q, 8 * (x + 1), coefficient, partial0, previous0,
                                         partial1, previous1, out0, out1);
        out0 += stride;
        out1 += stride;
    }
    PairColumn<Gaussian, false, true>(p, q, 8 * (x0 + len), coefficient, partial0, previous0,
                                      partial1, previous1, out0, out1);
}

// Credits entry a with weight w and the other end's value v: weight sum += w,
// weighted sum += w * v.
static VEC_INLINE void Credit(float* a, __m256 w, __m256 v) {
    _mm256_store_ps(a + 8, _mm256_add_ps(_mm256_load_ps(a + 8), _mm256_mul_ps(w, v)));
    _mm256_store_ps(a + 16, _mm256_add_ps(_mm256_load_ps(a + 16), w));
}
