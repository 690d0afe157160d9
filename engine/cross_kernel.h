// cross_kernel.h: patch weights between two frames of a clip, both ends credited at once
//
// The temporal mode compares every pixel p of a frame A with the (2R+1)^2 positions
// q = p + m + d, d = (dy, dx) in [-R, R]^2 (the centre d = (0, 0) included), of a later frame B,
// with the spatial kernel's 3x3 patch distance, fast exponential and coefficient. m = (my, mx)
// is the motion of B relative to A (what lies at p in A lies near p + m in B), so the window
// follows a pan; m = (0, 0) is the window around p itself. A pair is the same pair seen from B
// with the offset -(m + d), so it is evaluated once and credits both ends:
//   sums of A at p: weighted += w * S_B(q), weight += w
//   sums of B at q: weighted += w * S_A(p), weight += w
//
// The work is cut into tiles (rows b to e-1 of a band, vector columns c0 to c1-1 of a chunk).
// A tile credits only entries inside itself, of both frames, so tiles run on any threads with
// no ordering between them. For an offset d the tile evaluates the rectangle of A positions
// whose A end or B end lies in the tile (with ey = my + dy, ex = mx + dx):
//
//        A end in tile, B end not        both ends in tile           B end in tile, A end not
//   rows  [b, e) minus [b-ey, e-ey)      [b, e) and [b-ey, e-ey)      [b-ey, e-ey) minus [b, e)
//   cols  likewise with [c0, c1) and [c0-ex, c1-ex)
//
// so a pair that straddles two tiles is evaluated by both, each crediting its own end. Every
// entry receives its credits in one order whatever the tiling -- dy ascending, then dx
// ascending for an A end and dx descending for a B end -- so results do not depend on band
// heights or thread counts.
#pragma once

#include <stdint.h>

#include "chunk.h"

// Sums of one position: weighted sum (8 lanes), then weight sum (8 lanes). The temporal mode
// cuts bands into chunks of CrossChunkColumns, narrower than the spatial filter's, so that a
// 50-vector staged row holds the chunk and CrossReach + 1 columns on each side: R + |m| <=
// CrossReach per axis, that is a motion of up to 8 - R pixels.
enum { SumFloats = 16, CrossChunkColumns = 32, CrossReach = 8 };

// One chunk of a band, for one pair of frames. Staged rows are 50 vectors wide (StagedRowFloats),
// one row per image row; sums rows hold SumFloats per vector column.
struct CrossTile {
    int R;                      // Range, 1 to 4
    int n;                      // chunk width, a multiple of 8 from 8 to 40
    int m;                      // band rows
    int MotionY, MotionX;       // m = (my, mx): R + |my| and R + |mx| at most CrossReach
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

// Credits every pair between A and B that has an end in the tile, as above. With
// Ry = R + |my| and Rx = R + |mx|: reads staged rows -Ry-1 to m+Ry+1 of both frames
// (band-relative) and staged columns -Rx-1 to n+Rx; writes the sums of band rows 0 to m-1,
// columns 0 to n-1, of both frames, and nothing else. Preconditions: 1 <= R <= 4, n a multiple
// of 8 from 8 to 40, m >= 1, n + 2 * Rx <= 48 (the distance runs have 48 slots).
template <bool Gaussian>
void AccumulateCrossTile(const CrossTile& tile);

// Regional pairs. Where a region of A (one lane of a tile: rows b to b+m-1, strip columns c0 to
// c0+n-1 of one of the eight strips) moves otherwise than the frame, A's pixels there also meet
// the window around p + r, r = (ry, rx) the region's vector, in B: every offset e = r + d,
// d in [-R, R]^2, that lies outside the frame's window (|e - g| > R on either axis, g the
// pair's global vector). Such a pair exists only when both ends are pixels of the frames:
// q = p + e in rows 0 to H-1 and in p's own strip, left of W. Both ends are credited, in the
// order dy ascending, then dx ascending, at either end.
//
// The B end may lie outside the tile (up to CrossReach rows and columns away), so a region
// tile writes B's sums around it: tiles run at the same time only when their bands are at
// least 2 * CrossReach rows apart or their chunks are (see the region phases of the
// temporal worker).
struct RegionTile {
    int R;                      // Range, 1 to 4
    int n;                      // chunk width, a multiple of 8 from 8 to 32
    int m;                      // band rows
    int Lanes;                  // bit s set: lane s is a region with this vector
    int MotionY, MotionX;       // r: R + |ry| and R + |rx| at most CrossReach
    int GlobalY, GlobalX;       // g
    int Top, H;                 // image row of band row 0; frame height
    int Column, V, W;           // c0; strip width (vector columns); frame width
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

// Credits the regional pairs of the lanes in Lanes. Reads staged rows -Ry-1 to m+Ry+1 and
// columns -Rx-1 to n+Rx of both frames (Ry = R + |ry|, Rx = R + |rx|); writes the sums of A at
// rows 0 to m-1, columns 0 to n-1, and of B at rows -Ry to m+Ry-1, columns -Rx to n+Rx-1 that
// lie in the frame (image rows 0 to H-1, strip columns 0 to V-1), in the lanes of Lanes only
// (the other lanes' entries keep their values; a weighted sum of -0 may become +0). Preconditions
// as AccumulateCrossTile's, and n <= CrossChunkColumns.
template <bool Gaussian>
void AccumulateRegionTile(const RegionTile& tile);

// Copies the weighted and weight sums of entries 0 to n-1 of an accumulator row (column 0 at
// entry) to sums[0 .. 16n).
void StoreSums(const float* entry, float* sums, int n);

// The own weight of a frame that meets other frames of its shot. The spatial filter counts a
// pixel's own value with weight 1.0, a little over the 0.96875 of an identical patch, which
// suits its 24 or so candidates; with two or four times as many, most of them true matches that
// weigh about a third each at the strengths that suit the noise, 1.0 leaves too much of the
// pixel's own noise in. A true match's weight is what the own value is worth: 0.375.
// (640x360 pans, R=2, each at its best strength: about +0.15 dB at sigma 20, +0.05 at sigma 10.)
enum { OwnWeightDropBits = 0x3F200000 };  // 0.625f: 1.0 - 0.375

// PackSums with each position's own weight lowered from 1.0 to 0.375: the weighted sum less
// 0.625 * own (exact: own is a whole 16-bit value), the weight sum less 0.625 (so at least
// 0.375), then the normalised value as PackSums has it. own holds the positions' own values, 8
// lanes per column, columns 8 floats apart (a staged row from column 0 of the sums).
void PackSumsOwn(const float* sums, const float* own, int16_t* packed, int n);

// Packs the normalised value of n sums (weighted sum times the approximate reciprocal of the
// weight sum, which is at least 1.0) to signed 16-bit with saturation, rounding to nearest:
// lane s of sums column j goes to packed[8j + s].
void PackSums(const float* sums, int16_t* packed, int n);
