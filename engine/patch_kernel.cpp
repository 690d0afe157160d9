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
    // Bounds and pointers in locals: the stores below could alias the chunk record.
    const int count = chunk.n + 2 * chunk.R;
    const float* s = StagedAt(chunk, y) - 8 * chunk.R;
    float* e = entry - EntryFloats * chunk.R;
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int k = 0; k < count; k++, s += 8, e += EntryFloats) {
        const __m256 own = _mm256_load_ps(s);
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

// Pass 2 of the run (0, 1) for one row: as CreditRun with b = a + one entry. Entry a[x + 1] is
// the other end at step x and the own end at step x + 1; its two sums are carried from one step
// to the next in registers instead of being stored and loaded back at once, which would chain
// every step to the one before through memory. The additions and their order are CreditRun's.
static VEC_INLINE void CreditRunNeighbours(const float* z, float* a, int n, __m256 lowerBound,
                                           __m256 bias) {
    __m256 own = _mm256_load_ps(a);
    __m256 sum = _mm256_load_ps(a + 8), weight = _mm256_load_ps(a + 16);
    for (int x = 0; x < n; x++, z += 8, a += EntryFloats) {
        const __m256 w = FastExpWeight(_mm256_load_ps(z), lowerBound, bias);
        const __m256 ownNext = _mm256_load_ps(a + EntryFloats);
        _mm256_store_ps(a + 8, _mm256_add_ps(sum, _mm256_mul_ps(w, ownNext)));
        _mm256_store_ps(a + 16, _mm256_add_ps(weight, w));
        sum = _mm256_add_ps(_mm256_load_ps(a + EntryFloats + 8), _mm256_mul_ps(w, own));
        weight = _mm256_add_ps(_mm256_load_ps(a + EntryFloats + 16), w);
        own = ownNext;
    }
    _mm256_store_ps(a + 8, sum);
    _mm256_store_ps(a + 16, weight);
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

// One step s of two consecutive passes P and Q interleaved so that both credit the same entry,
// e = a[s]: P credits a[s] and b[s + dp] with z of its column s; Q credits c[s - dq] and, as
// its other end, a[s] (Q's other ends lie in P's a row, dq columns on), with z of its column
// s - dq. e is loaded and stored once for both; P's credit goes first.
template <bool P, bool Q>
static VEC_INLINE void SharedStep(int s, const float* zp, float* a, float* b, int dp,
                                  const float* zq, float* c, int dq, __m256 lowerBound,
                                  __m256 bias) {
    float* const e = a + EntryFloats * s;
    const __m256 ownE = _mm256_load_ps(e);
    __m256 sumE = _mm256_load_ps(e + 8), weightE = _mm256_load_ps(e + 16);
    if (P) {
        const __m256 w = FastExpWeight(_mm256_load_ps(zp + 8 * s), lowerBound, bias);
        float* const other = b + EntryFloats * (s + dp);
        sumE = _mm256_add_ps(sumE, _mm256_mul_ps(w, _mm256_load_ps(other)));
        weightE = _mm256_add_ps(weightE, w);
        Credit(other, w, ownE);
    }
    if (Q) {
        const __m256 w = FastExpWeight(_mm256_load_ps(zq + 8 * (s - dq)), lowerBound, bias);
        float* const other = c + EntryFloats * (s - dq);
        const __m256 ownOther = _mm256_load_ps(other);
        Credit(other, w, ownE);
        sumE = _mm256_add_ps(sumE, _mm256_mul_ps(w, ownOther));
        weightE = _mm256_add_ps(weightE, w);
    }
    _mm256_store_ps(e + 8, sumE);
    _mm256_store_ps(e + 16, weightE);
}

// Pass P (z zp; entries a[x] and b[x + dp]) and then pass Q (z zq; entries c[x] and
// a[x + dq]), x = 0 to n-1, as one loop over s: P's column s and Q's column s - dq meet at
// a[s]. Every entry still gets all of P's credits before Q's: a[s] gets P's and Q's at step s,
// P first; b's entries are touched by P alone and c's by Q alone, or, where b or c is a itself
// (the j = 0 rows, dp >= 1 and dq >= 2), P's other credits fall on steps before s and Q's after.
// |dq| < n.
static VEC_INLINE void SharedPasses(const float* zp, float* a, float* b, int dp, const float* zq,
                                    float* c, int dq, int n, __m256 lowerBound, __m256 bias) {
    const int first = dq < 0 ? dq : 0, last = dq > 0 ? n + dq : n;   // steps first to last-1
    const int both0 = dq > 0 ? dq : 0, both1 = dq < 0 ? n + dq : n;  // both passes active
    int s = first;
    for (; s < both0; s++)
        if (dq > 0)
            SharedStep<true, false>(s, zp, a, b, dp, zq, c, dq, lowerBound, bias);
        else
            SharedStep<false, true>(s, zp, a, b, dp, zq, c, dq, lowerBound, bias);
    for (; s < both1; s++) SharedStep<true, true>(s, zp, a, b, dp, zq, c, dq, lowerBound, bias);
    for (; s < last; s++)
        if (dq > 0)
            SharedStep<false, true>(s, zp, a, b, dp, zq, c, dq, lowerBound, bias);
        else
            SharedStep<true, false>(s, zp, a, b, dp, zq, c, dq, lowerBound, bias);
}

// The three parts of the chunk step, each its own function so that the compiler allocates the
// registers of each part's loops on their own (in one function, the 32-bit build spilled a
// carried sum in pass 1). Two slots of z for two runs: slot t holds row y0's z and, 40 vectors
// on, row y1's.
static VEC_INLINE float* Slot(const Chunk& chunk, int t) {
    return chunk.Distance + 8 * 2 * ChunkColumns * t;
}
static VEC_INLINE float* SecondRow(float* slot) {
    return slot + 8 * ChunkColumns;
}

template <bool Gaussian>
static VEC_INLINE void SlotDistances(const Chunk& chunk, int y0, int j, int dx, float* slot) {
    DistanceRunPair<Gaussian>(StagedAt(chunk, y0 - 1), StagedAt(chunk, y0 + j - 1) + 8 * dx, 0,
                              chunk.n, chunk.Coefficient, slot, SecondRow(slot), 1);
}

// j = 0: both ends in the same row. Runs dx and dx + 1 go together, row y0's passes first and
// then row y1's (the rows are disjoint, so row y0 of dx + 1 may pass row y1 of dx); at step s
// the first credits a[s] as its own end and the second as its other end.
template <bool Gaussian>
__attribute__((noinline)) static void ChunkStepSameRow(const Chunk& chunk, int y0) {
    const int R = chunk.R, n = chunk.n;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    float* const* const ring = chunk.Ring;
    int dx = 1;
    for (; dx < R; dx += 2) {
        SlotDistances<Gaussian>(chunk, y0, 0, dx, Slot(chunk, 0));
        SlotDistances<Gaussian>(chunk, y0, 0, dx + 1, Slot(chunk, 1));
        for (int row = 0; row < 2; row++) {
            float* const zp = row ? SecondRow(Slot(chunk, 0)) : Slot(chunk, 0);
            float* const zq = row ? SecondRow(Slot(chunk, 1)) : Slot(chunk, 1);
            SharedPasses(zp, ring[row], ring[row], dx, zq, ring[row], dx + 1, n, lowerBound, bias);
        }
    }
    if (dx == R) {
        SlotDistances<Gaussian>(chunk, y0, 0, R, Slot(chunk, 0));
        for (int row = 0; row < 2; row++) {
            float* const z = row ? SecondRow(Slot(chunk, 0)) : Slot(chunk, 0);
            if (R == 1)
                CreditRunNeighbours(z, ring[row], n, lowerBound, bias);
            else
                CreditRun(z, ring[row], ring[row] + EntryFloats * R, n, lowerBound, bias);
        }
    }
}

// sum += w * v and weight += w: Credit, for an entry whose sums are held in registers.
static VEC_INLINE void Take(__m256& sum, __m256& weight, __m256 w, const float* v) {
    sum = _mm256_add_ps(sum, _mm256_mul_ps(w, _mm256_load_ps(v)));
    weight = _mm256_add_ps(weight, w);
}

// The chunk step at R = 1 has four runs, S = (0, 1), A = (1, -1), B = (1, 0) and C = (1, 1),
// each with a row y0 pass (S0, A0, ...) and a row y1 pass (S1, A1, ...). Ring rows e0, e1 and e2
// hold band rows y0, y1 and y0 + 2. Pass 2 goes in two sweeps, S with A and then B with C, each
// over the columns with one slot of z per run; step x completes entry x of the three rows,
// loading and storing it once per sweep, and every entry takes its credits in the order of the
// passes S0, S1, A0, A1, B0, B1, C0, C1. Weights of a column that a later step needs again are
// carried in registers, so each is formed once.

// Sweep 1, step x: S0 and S1 of column x, and A0 and A1 of column x + 1 (A's weights of column
// x arrive from step x - 1, or from the sweep's start):
//   e0[x]: S0 column x-1 (own end e0[x-1]), S0 column x (other end e0[x+1]),
//          A0 column x (other end e1[x-1])
//   e1[x]: S1 column x-1, S1 column x, A0 column x+1 (own end e0[x+1]),
//          A1 column x (other end e2[x-1])
//   e2[x]: A1 column x+1 (own end e1[x+1])
// The first step has no column -1, the last no column n.
template <bool First, bool Last>
static VEC_INLINE void SameAndLeftStep(int x, const float* S0, const float* S1, const float* A0,
                                       const float* A1, float* e0, float* e1, float* e2, __m256& s0,
                                       __m256& s1, __m256& a0, __m256& a1, __m256 lowerBound,
                                       __m256 bias) {
    enum { E = EntryFloats };
    e0 += E * x, e1 += E * x, e2 += E * x;
    __m256 sum = _mm256_load_ps(e0 + 8), weight = _mm256_load_ps(e0 + 16);
    if (!First) Take(sum, weight, s0, e0 - E);
    s0 = FastExpWeight(_mm256_load_ps(S0 + 8 * x), lowerBound, bias);
    Take(sum, weight, s0, e0 + E);
    Take(sum, weight, a0, e1 - E);
    _mm256_store_ps(e0 + 8, sum);
    _mm256_store_ps(e0 + 16, weight);

    sum = _mm256_load_ps(e1 + 8), weight = _mm256_load_ps(e1 + 16);
    if (!First) Take(sum, weight, s1, e1 - E);
    s1 = FastExpWeight(_mm256_load_ps(S1 + 8 * x), lowerBound, bias);
    Take(sum, weight, s1, e1 + E);
    if (!Last) {
        a0 = FastExpWeight(_mm256_load_ps(A0 + 8 * (x + 1)), lowerBound, bias);
        Take(sum, weight, a0, e0 + E);
    }
    Take(sum, weight, a1, e2 - E);
    _mm256_store_ps(e1 + 8, sum);
    _mm256_store_ps(e1 + 16, weight);

    if (!Last) {
        a1 = FastExpWeight(_mm256_load_ps(A1 + 8 * (x + 1)), lowerBound, bias);
        Credit(e2, a1, _mm256_load_ps(e1 + E));
    }
}

// Sweep 2, step x: B0, B1, C0 and C1 of column x (C's weights of column x - 1 carried):
//   e0[x]: B0 column x (other end e1[x]), C0 column x (other end e1[x+1])
//   e1[x]: B0 column x (own end e0[x]), B1 column x (other end e2[x]),
//          C0 column x-1 (own end e0[x-1]), C1 column x (other end e2[x+1])
//   e2[x]: B1 column x (own end e1[x]), C1 column x-1 (own end e1[x-1])
template <bool First>
static VEC_INLINE void CentreAndRightStep(int x, const float* B0, const float* B1, const float* C0,
                                          const float* C1, float* e0, float* e1, float* e2,
                                          __m256& c0, __m256& c1, __m256 lowerBound, __m256 bias) {
    enum { E = EntryFloats };
    e0 += E * x, e1 += E * x, e2 += E * x;
    const __m256 b0 = FastExpWeight(_mm256_load_ps(B0 + 8 * x), lowerBound, bias);
    const __m256 c0x = FastExpWeight(_mm256_load_ps(C0 + 8 * x), lowerBound, bias);
    __m256 sum = _mm256_load_ps(e0 + 8), weight = _mm256_load_ps(e0 + 16);
    Take(sum, weight, b0, e1);
    Take(sum, weight, c0x, e1 + E);
    _mm256_store_ps(e0 + 8, sum);
    _mm256_store_ps(e0 + 16, weight);

    sum = _mm256_load_ps(e1 + 8), weight = _mm256_load_ps(e1 + 16);
    Take(sum, weight, b0, e0);
    const __m256 b1 = FastExpWeight(_mm256_load_ps(B1 + 8 * x), lowerBound, bias);
    Take(sum, weight, b1, e2);
    if (!First) Take(sum, weight, c0, e0 - E);
    c0 = c0x;
    const __m256 c1x = FastExpWeight(_mm256_load_ps(C1 + 8 * x), lowerBound, bias);
    Take(sum, weight, c1x, e2 + E);
    _mm256_store_ps(e1 + 8, sum);
    _mm256_store_ps(e1 + 16, weight);

    sum = _mm256_load_ps(e2 + 8), weight = _mm256_load_ps(e2 + 16);
    Take(sum, weight, b1, e1);
    if (!First) Take(sum, weight, c1, e1 - E);
    c1 = c1x;
    _mm256_store_ps(e2 + 8, sum);
    _mm256_store_ps(e2 + 16, weight);
}

// The whole chunk step at R = 1 (there are no runs with j >= 2). A function of its own, so that
// its registers are allocated apart from the general path's.
template <bool Gaussian>
__attribute__((noinline)) static void ChunkStepR1(const Chunk& chunk, int y0) {
    enum { E = EntryFloats };
    const int n = chunk.n;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    // Ring pointers in locals: the stores could alias the chunk record.
    float* const e0 = chunk.Ring[0];
    float* const e1 = chunk.Ring[1];
    float* const e2 = chunk.Ring[2];
    float* const z0 = Slot(chunk, 0);
    float* const z1 = Slot(chunk, 1);

    SlotDistances<Gaussian>(chunk, y0, 0, 1, z0);
    SlotDistances<Gaussian>(chunk, y0, 1, -1, z1);
    __m256 s0, s1;
    // A's column 0: also the only credit entry -1 of rows 1 and 2 take.
    __m256 a0 = FastExpWeight(_mm256_load_ps(z1), lowerBound, bias);
    __m256 a1 = FastExpWeight(_mm256_load_ps(SecondRow(z1)), lowerBound, bias);
    Credit(e1 - E, a0, _mm256_load_ps(e0));
    Credit(e2 - E, a1, _mm256_load_ps(e1));
    SameAndLeftStep<true, false>(0, z0, SecondRow(z0), z1, SecondRow(z1), e0, e1, e2, s0, s1, a0,
                                 a1, lowerBound, bias);
    for (int x = 1; x < n - 1; x++)
        SameAndLeftStep<false, false>(x, z0, SecondRow(z0), z1, SecondRow(z1), e0, e1, e2, s0, s1,
                                      a0, a1, lowerBound, bias);
    SameAndLeftStep<false, true>(n - 1, z0, SecondRow(z0), z1, SecondRow(z1), e0, e1, e2, s0, s1,
                                 a0, a1, lowerBound, bias);
    // Entry n of rows 0 and 1: S's column n - 1.
    Credit(e0 + E * n, s0, _mm256_load_ps(e0 + E * (n - 1)));
    Credit(e1 + E * n, s1, _mm256_load_ps(e1 + E * (n - 1)));

    SlotDistances<Gaussian>(chunk, y0, 1, 0, z0);
    SlotDistances<Gaussian>(chunk, y0, 1, 1, z1);
    __m256 c0, c1;
    CentreAndRightStep<true>(0, z0, SecondRow(z0), z1, SecondRow(z1), e0, e1, e2, c0, c1,
                             lowerBound, bias);
    for (int x = 1; x < n; x++)
        CentreAndRightStep<false>(x, z0, SecondRow(z0), z1, SecondRow(z1), e0, e1, e2, c0, c1,
                                  lowerBound, bias);
    // Entry n of rows 1 and 2: C's column n - 1.
    Credit(e1 + E * n, c0, _mm256_load_ps(e0 + E * (n - 1)));
    Credit(e2 + E * n, c1, _mm256_load_ps(e1 + E * (n - 1)));
}

// j = 1: row y1's pass of run dx (own ends in ring row 1, others in row 2) and row y0's pass of
// run dx + 1 (own ends in row 0, others in row 1, dx + 1 columns on) are consecutive and meet
// in ring row 1.
template <bool Gaussian>
__attribute__((noinline)) static void ChunkStepNextRow(const Chunk& chunk, int y0) {
    const int R = chunk.R, n = chunk.n;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    float* const* const ring = chunk.Ring;
    SlotDistances<Gaussian>(chunk, y0, 1, -R, Slot(chunk, 0));
    CreditRun(Slot(chunk, 0), ring[0], ring[1] - EntryFloats * R, n, lowerBound, bias);
    for (int dx = -R; dx < R; dx++) {
        const int t = (dx + R) & 1;
        SlotDistances<Gaussian>(chunk, y0, 1, dx + 1, Slot(chunk, t ^ 1));
        SharedPasses(SecondRow(Slot(chunk, t)), ring[1], ring[2], dx, Slot(chunk, t ^ 1), ring[0],
                     dx + 1, n, lowerBound, bias);
    }
    CreditRun(SecondRow(Slot(chunk, 0)), ring[1], ring[2] + EntryFloats * R, n, lowerBound, bias);
}

// From j = 2 on, the two rows' passes touch disjoint ring rows (0 and j, 1 and j + 1), so the
// second run's row y0 pass may go before the first run's row y1 pass, and two runs at a time
// share their other ends (CreditRunPair).
template <bool Gaussian>
__attribute__((noinline)) static void ChunkStepFarRows(const Chunk& chunk, int y0) {
    const int R = chunk.R, n = chunk.n;
    const __m256 lowerBound = Broadcast(chunk.LowerBound);
    const __m256 bias = Broadcast(chunk.ExponentBias);
    const float* const p = StagedAt(chunk, y0 - 1);  // rows y0 - 1 to y0 + 2 follow
    float* const z = chunk.Distance;
    float* const* const ring = chunk.Ring;
    for (int j = 2; j <= R; j++) {
        for (int dx = -R; dx < R; dx += 2) {
            const float* q = StagedAt(chunk, y0 + j - 1) + 8 * dx;
            DistanceRunPair<Gaussian>(p, q, 0, n, chunk.Coefficient, z, z + DistanceHalfFloats, 1);
            DistanceRunPair<Gaussian>(p, q + 8, 0, n, chunk.Coefficient, z + 8 * ChunkColumns,
                                      z + DistanceHalfFloats + 8 * ChunkColumns, 1);
            for (int row = 0; row < 2; row++)
                CreditRunPair(z + row * DistanceHalfFloats,
                              z + row * DistanceHalfFloats + 8 * ChunkColumns, ring[row],
                              ring[row + j] + EntryFloats * dx, n, lowerBound, bias);
        }
        DistanceRunPair<Gaussian>(p, StagedAt(chunk, y0 + j - 1) + 8 * R, 0, n, chunk.Coefficient,
                                  z, z + DistanceHalfFloats, 1);
        for (int row = 0; row < 2; row++)
            CreditRun(z + row * DistanceHalfFloats, ring[row], ring[row + j] + EntryFloats * R, n,
                      lowerBound, bias);
    }
}

template <bool Gaussian>
void AccumulateChunk(const Chunk& chunk, int y0) {
    if (chunk.R == 1) return ChunkStepR1<Gaussian>(chunk, y0);
    ChunkStepSameRow<Gaussian>(chunk, y0);
    ChunkStepNextRow<Gaussian>(chunk, y0);
    ChunkStepFarRows<Gaussian>(chunk, y0);
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
