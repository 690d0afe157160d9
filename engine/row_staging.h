// row_staging.h: gather source luma into the strip layout as float vectors
#pragma once

#include <stdint.h>

#include "../host/host_api.h"

// Stages one source row: vector k, lane s is float(Y) of the pixel at
// source + s * stripStep + 6k, for k = 0 to left + middle + right - 1, except
//   - k < left (left margin): lane 0 is Y of the pixel at source + 6 * left (column 0); the
//     positions lane 0 stands for lie before the row and are never read;
//   - k >= left + max(middle, 0) (right margin): lane 7 is Y of the pixel at
//     source + 7 * stripStep + 6 * (left + middle - 1), which the caller makes column W-1.
// Writes exactly left + middle + right vectors to output (32-byte aligned). Each edge value is
// read once. middle may be zero or negative, then only when left is 0. Plain vectors also read
// the two bytes before their pixel in each strip (the previous pixel's Cr), except the first
// one when left > 0: with left 0, source must not be the row's first pixel.
void StageRow(int32_t left, int32_t middle, int32_t right, int32_t stripStep, const void* source,
              float* output);

// Stages count vectors for frames whose strip 7 holds R or fewer columns (or none), where the
// margins above would reach past the frame in lanes other than 7: lane s of vector k is Y of
// column clamp(s * V + firstColumn + k, 0, W - 1) of row. Slower; only such narrow frames use it.
void StageRowClamped(const YcPixel* row, int32_t firstColumn, int32_t count, int32_t V, int32_t W,
                     float* output);

// StageRow for a plane of 16-bit Y samples, two bytes a pixel instead of six (the Linux
// library's plane entry): the same vectors, with the pixel of vector k in strip s at
// source + s * stripStep + 2k bytes and the edges at source + 2 * left and
// source + 7 * stripStep + 2 * (left + middle - 1). Reads only the pixels named.
void StagePlaneRow(int32_t left, int32_t middle, int32_t right, int32_t stripStep,
                   const int16_t* source, float* output);

// StageRowClamped for a plane row of 16-bit Y samples.
void StagePlaneRowClamped(const int16_t* row, int32_t firstColumn, int32_t count, int32_t V,
                          int32_t W, float* output);

// Stages the window row that a chunk of vector columns c0 to c0 + n - 1 reads from one source
// row (YcPixel when pixelBytes is 6, 16-bit Y samples when 2), with reach columns of margin
// each side: vectors c0 - reach - 1 to c0 + n + reach, clamped to the row's W columns, through
// StageRow or StagePlaneRow, or their clamped forms when strip 7 holds reach or fewer columns.
// V is the strip width (a multiple of 8, 8 * V >= W).
void StageWindowRow(const void* row, int32_t pixelBytes, int32_t c0, int32_t n, int32_t reach,
                    int32_t V, int32_t W, float* output);
