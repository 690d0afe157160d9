// cross_kernel.h: patch weights between two frames of a clip, both ends credited at once
//
// The temporal mode compares every pixel p of a frame A with the (2R+1)^2 positions q = p + d,
// d = (dy, dx) in [-R, R]^2 (the centre d = (0, 0) included), of a later frame B, with the
// spatial kernel's 3x3 patch distance, fast exponential and coefficient. Such a pair is the
// same pair seen from B with the offset -d, so it is evaluated once and credits both ends:
//   sums of A at p: weighted += w * S_B(q), weight += w
//   sums of B at q: weighted += w * S_A(p), weight += w
//
// The work is cut into tiles (rows b to e-1 of a band, vector columns c0 to c1-1 of a chunk).
// A tile credits only entries inside itself, of both frames, so tiles run on any threads with
// no ordering between them. For an offset d the tile evaluates the rectangle of A positions
// whose A end or B end lies in the tile:
//
//        A end in tile, B end not        both ends in tile           B end in tile, A end not
//   rows  [b, e) minus [b-dy, e-dy)      [b, e) and [b-dy, e-dy)      [b-dy, e-dy) minus [b, e)
//   cols  likewise with [c0, c1) and [c0-dx, c1-dx)
//
// so a pair that straddles two tiles is evaluated by both, each crediting its own end. Every
// entry receives its credits in one order whatever the tiling -- dy ascending, then dx
// ascending for an A end and dx descending for a B end -- so results do not depend on band
// heights or thread counts.
#pragma once

#include <stdint.h>

#include "chunk.h"

// Sums of one position: weighted sum (8 lanes), then weight sum (8 lanes).
enum { SumFloats = 16 };

// One chunk of a band, for one pair of frames. Staged rows are the StagedRows layout of the
// spatial kernel (50 vectors, vector columns c0-R-1 to c1+R), one row per image row; sums rows
// hold SumFloats per vector column.
struct CrossTile {
    int R;                      // Range, 1 to 4
    int n;                      // chunk width, a multiple of 8 from 8 to 40
    int m;                      // band rows
    const float* StagedA;       // column c0 of A's staged band row 0; rows StagedRowFloats apart
    const float* StagedB;       // the same position in B
    float* SumsA;               // sums of A at band row 0, column c0
    float* SumsB;               // sums of B, the same position
    int SumRowFloats;           // floats from one sums row to the next
    float* Distance;            // CrossDistanceFloats of scratch, 32-byte aligned
    const float* Coefficient;   // WeightCoefficient, 8 lanes
    const float* LowerBound;    // one float
    const float* ExponentBias;  // one float
};

// Scaled distances of two rows for the 2R+1 runs of one dy: 48 vectors per run and row.
enum { CrossDistanceFloats = 2 * 9 * 48 * 8 };

// Credits every pair between A and B that has an end in the tile, as above. Reads staged rows
// -R-1 to m+R+1 of both frames (band-relative) and staged columns -R-1 to n+R; writes the sums
// of band rows 0 to m-1, columns 0 to n-1, of both frames, and nothing else. Preconditions:
// 1 <= R <= 4, n a multiple of 8 from 8 to 40, m >= 1.
template <bool Gaussian>
void AccumulateCrossTile(const CrossTile& tile);

// Copies the weighted and weight sums of entries 0 to n-1 of an accumulator row (column 0 at
// entry) to sums[0 .. 16n).
void StoreSums(const float* entry, float* sums, int n);

// Packs the normalised value of n sums (weighted sum times the approximate reciprocal of the
// weight sum, which is at least 1.0) to signed 16-bit with saturation, rounding to nearest:
// lane s of sums column j goes to packed[8j + s].
void PackSums(const float* sums, int16_t* packed, int n);
