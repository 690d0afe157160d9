// noise_estimate.h: the standard deviation of additive white noise in a plane of luma
//
// The estimate looks at a high-pass residual that a smooth picture hardly excites:
//
//   r(x, y) = sum over i, j of m_i m_j s(x + i, y + j),   m = (1, -2, 1)
//
// the second difference across rows of the second difference along them. It is zero on any
// content that is linear along x or along y, so flat areas, gradients, and horizontal and
// vertical edges give nothing; white noise of standard deviation sigma gives r a variance of
// 36 sigma^2. The plane is cut into blocks of 8 x 8 residuals, a sample of blocks spread over the
// frame is measured, and blocks that cannot tell noise apart are dropped: those holding the
// smallest or largest sample value (clipped noise reads low) and those that are exactly flat
// (letterbox bars, graphics); blocks holding a clipped value vote only when too few others are
// left (a dark, noisy frame). Texture can only add to a block's residual energy, so a first
// estimate comes from the quietest tenth of the remaining blocks: the mean of their energies,
// divided by what that same mean is for pure white noise. In a picture that is partly smooth
// this reads high (its quietest tenth is a larger share of its smooth blocks than it is of
// pure noise, or holds texture), so it is refined: the blocks below 0.7 times the energy that
// noise of the current estimate gives are kept, their mean energy against what it is for white
// noise gives the next estimate, and so on until it settles on the level of the blocks that
// look like noise alone; blocks partly over a flat band (a row of their samples, or their first
// or last column, of one value; or many residuals exactly 0) are left out of it. Texture fine
// enough to pass the residual that fills the whole picture leaves no such block, and is told
// from noise by how neighbouring residuals correlate in the blocks near the level: the level is
// scaled by the share of their energy that correlates as white noise does (at least half).
// Last, the variance of rounding to whole samples (1/12 of a step) is taken off. The constants
// are measured once on synthetic noise (tools/strength_sweep).
//
// The same blocks give a measure of the picture's detail at a coarser scale (Detail below), on
// which the automatic strength also depends.
//
// Cost: about one block in twenty, at least 1000 blocks (all of them in small frames), a few
// integer operations per sample, eight samples at a time for planes of up to 10 bits; 1280x720
// and 1920x1080: see bench/bench_noise.cpp and docs/strength.md.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { NoiseHistogramBins = 32 };

struct NoiseEstimate {
    double Sigma = 0;       // in sample units of the plane; 0 when no block could be used
    int BlocksUsed = 0;     // blocks that passed the clipping and flatness checks
    int BlocksSampled = 0;  // blocks looked at
    // The picture's coarse detail, in squared sample units: over the blocks, the 90th percentile
    // of the mean square difference between the means of neighbouring 4 x 4 quarters of a
    // block. White noise alone gives about sigma^2 / 8 (a little more at the percentile); edges
    // and texture at the scale the filter's patches see give more. 0 when no block was usable.
    double Detail = 0;
    // In the blocks near the level, the mean product of neighbouring residuals against their
    // mean square: about -0.65 for white noise, -0.3 to -0.4 for the finest texture; and the
    // share of their energy taken for noise from it (1 for white noise, at least 0.5).
    double Lag = 0, NoiseShare = 1;
    // The sampled samples by value, in 32 equal bins of the sample range, as fractions that
    // add up to 1 (all zero when nothing was sampled). Cuts between shots show up here.
    float Histogram[NoiseHistogramBins] = {};
};

// Estimates the noise in a W x H plane of `bits`-bit samples (1 to 16; values above 2^bits - 1
// count as clipped), rows `stride` samples apart. Reads only the plane; thread-safe. Planes
// smaller than 10 x 10 give Sigma 0.
NoiseEstimate EstimateNoise(const uint16_t* plane, int W, int H, ptrdiff_t stride, int bits);
// The same for samples of one byte (bits <= 8).
NoiseEstimate EstimateNoise(const uint8_t* plane, int W, int H, ptrdiff_t stride, int bits);

// The same over every block instead of a sample (slower; for validating the sampling).
NoiseEstimate EstimateNoiseFull(const uint16_t* plane, int W, int H, ptrdiff_t stride, int bits);
// EstimateNoise without the vector code (blocks whose samples are all below 1024 are measured
// eight columns at a time): the same result to the bit, for checking that code.
NoiseEstimate EstimateNoisePlain(const uint16_t* plane, int W, int H, ptrdiff_t stride, int bits);
