// patch_kernel.h: patch distances, fast exponential weights and accumulation for one chunk
//
// Notation (one lane; all eight lanes do the same): R = Range, n = chunk width, S(y, x) = staged
// value of band row y at vector column x, c = WeightCoefficient. The Gaussian and box variants
// differ only in the patch distance D(p, q) = sum of g(i, k) * (S(q + (i, k)) - S(p + (i, k)))^2.
#pragma once

#include "chunk.h"

// Entries -R to n+R-1 of the accumulator row at entry (column 0 of band row y) become
// {S(y, x), S(y, x), 1.0}. Reads staged row y, vector columns -R to n+R-1.
void InitAccumulatorRow(const Chunk& chunk, float* entry, int y);

// Credits band rows 0 to R-1 (Ring[0] to Ring[R-1]) with every neighbour that lies above the
// band, chunk columns only. Reads staged rows -R-1 to R.
template <bool Gaussian>
void AccumulateAboveBand(const Chunk& chunk);

// Credits every pair of the ring that involves a chunk pixel and the upper pair (y0, y0+1):
// the left margin step, the chunk step and the right margin step. On return Ring[0] and Ring[1]
// are final for columns 0 to n-1. Reads staged rows y0-1 to y0+R+2, writes Ring[0] to Ring[R+1].
template <bool Gaussian>
void AccumulateRowPair(const Chunk& chunk, int y0);

// The margin steps of AccumulateRowPair; they credit the chunk end of each pair only.
template <bool Gaussian>
void AccumulateLeftMargin(const Chunk& chunk, int y0);
template <bool Gaussian>
void AccumulateRightMargin(const Chunk& chunk, int y0);
// The chunk step of AccumulateRowPair; credits both ends of each pair.
template <bool Gaussian>
void AccumulateChunk(const Chunk& chunk, int y0);
