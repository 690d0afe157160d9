// chunk.h: the geometry of one column chunk of a band, as the kernel sees it
//
// A chunk is n vector columns (x = 0 to n-1, that is c0 to c1-1 of the frame) of one band.
// Rows are band-relative: row 0 is the band's first row b. The kernel reads staged rows -R-1 to
// m+R+1 and vector columns -R-1 to n+R; it accumulates into entries -R to n+R-1 of the ring rows.
//
//   StagedRows (one row = 50 vectors)          AccumulatorRing row (48 entries of 3 vectors)
//   vector k  0 .. R   R+1 ........ n+R  .. n+2R+1     entry e  0 .. R-1  R ...... n+R-1 .. n+2R-1
//   column x  -R-1 .. -1  0 ........ n-1 ..  n+R       column x -R .. -1  0 ...... n-1   .. n+R-1
//             ^left margin^ ^chunk^   ^right margin^           ^margin^  ^chunk^  ^margin^
//
// Ring[i] points at entry R (column 0) of the accumulator row that holds band row 2p + i while
// pair p is processed; after each pair the ring turns by two (rows 0 and 1 go to the top).
#pragma once

// Staged and accumulator rows have fixed widths whatever the chunk width.
enum {
    ChunkColumns = 40,               // vector columns per chunk
    StagedRowFloats = 50 * 8,        // 1600 bytes
    AccumulatorRowFloats = 48 * 24,  // 4608 bytes
    EntryFloats = 24,                // own value, weighted sum, weight sum
    DistanceFloats = 168 * 8,        // 5376 bytes
    DistanceHalfFloats = 84 * 8,     // the second row's results start here
    MaxRange = 4
};

struct Chunk {
    int R;                      // Range, 1 to 4
    int n;                      // chunk width, a multiple of 8 from 8 to 40
    float* Staged;              // staged row 0, which holds band row -R-1
    float* Distance;            // DistanceBuffer, 168 vectors
    float* Ring[MaxRange + 2];  // entry of column 0 of the ring rows
    const float* Coefficient;   // WeightCoefficient, 8 lanes
    const float* LowerBound;    // one float
    const float* ExponentBias;  // one float
};

// Column 0 of staged band row r.
static inline float* StagedAt(const Chunk& chunk, int r) {
    return chunk.Staged + (r + chunk.R + 1) * StagedRowFloats + (chunk.R + 1) * 8;
}

// After a pair: the rows that leave the ring at the bottom (Ring[0], Ring[1]) are reused for the
// two rows that enter at the top; every other row moves down two places.
static inline void RotateRing(Chunk& chunk) {
    float* const done0 = chunk.Ring[0];
    float* const done1 = chunk.Ring[1];
    for (int i = 0; i < chunk.R; i++) chunk.Ring[i] = chunk.Ring[i + 2];
    chunk.Ring[chunk.R] = done0;
    chunk.Ring[chunk.R + 1] = done1;
}
