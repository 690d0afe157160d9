// noise_estimate.cpp: block residual energies, the quietest blocks, and the noise they imply
#include "noise_estimate.h"

#include <assert.h>
#include <math.h>

#include <algorithm>
#include <vector>

// Residual block: B x B residuals, read from (B + 2) x (B + 2) samples.
static const int B = 8;
// Blocks looked at: one in SampleEvery, but at least MinSampled (all of them when fewer exist).
static const int SampleEvery = 16;
static const int MinSampled = 400;
// The quietest QuietFraction of the usable blocks make the estimate.
static const double QuietFraction = 0.1;
// For white noise of variance sigma^2 the mean energy of the quietest tenth of the blocks is
// QuietMean * B^2 * 36 * sigma^2 (measured on 4 x 10^6 blocks of synthetic Gaussian noise by
// tools/strength_sweep constant; it is below 1 because the quiet blocks are picked by the very
// energy being averaged).
static const double QuietMean = 0.5380;

// Measures one block whose residuals start at (x, y): its residual energy and, when it holds
// neither 0 nor `top` and is not flat, true. Adds 16 of its centre samples (every other row and
// column) to `histogram`.
template <typename Sample>
static bool MeasureBlock(const Sample* plane, ptrdiff_t stride, int x, int y, int32_t top,
                         int histogramShift, uint32_t* histogram, float* energy) {
    // Second differences along the rows, then across them. Samples are below 2^16, so h stays
    // below 2^18 and r below 2^20 in magnitude: exact in int32, and r^2 is summed in float,
    // whose rounding is far below what matters here.
    int32_t h[B + 2][B];
    int32_t low = 0x7FFFFFFF, high = 0;
    for (int j = 0; j < B + 2; j++) {
        const Sample* row = plane + (y - 1 + j) * stride + (x - 1);
        int32_t s[B + 2];
        for (int i = 0; i < B + 2; i++) s[i] = row[i];
        for (int i = 0; i < B + 2; i++) {
            low = std::min(low, s[i]);
            high = std::max(high, s[i]);
        }
        for (int i = 0; i < B; i++) h[j][i] = s[i] - 2 * s[i + 1] + s[i + 2];
    }
    for (int j = 1; j <= B; j += 2) {
        const Sample* row = plane + (y - 1 + j) * stride + x;
        for (int i = 0; i < B; i += 2) {
            const int32_t v = std::min<int32_t>(row[i], top);
            histogram[histogramShift >= 0 ? v >> histogramShift : v << -histogramShift]++;
        }
    }
    float sum = 0;
    for (int j = 0; j < B; j++) {
        for (int i = 0; i < B; i++) {
            const float r = float(h[j][i] - 2 * h[j + 1][i] + h[j + 2][i]);
            sum += r * r;
        }
    }
    *energy = sum;
    return low > 0 && high < top && low != high;
}

template <typename Sample>
static NoiseEstimate Estimate(const Sample* plane, int W, int H, ptrdiff_t stride, int bits,
                              bool everyBlock) {
    assert(bits >= 1 && bits <= 16);
    NoiseEstimate e;
    const int columns = (W - 2) / B, rows = (H - 2) / B;
    if (W < B + 2 || H < B + 2 || plane == nullptr) return e;
    const int32_t top = int32_t((1u << bits) - 1u);
    const int histogramShift = bits - 5;  // 32 bins
    uint32_t histogram[NoiseHistogramBins] = {};

    // A staggered grid of blocks: every stepY-th block row, every stepX-th block in it, each
    // row starting at another offset so that columns are not always skipped the same way.
    const long total = long(columns) * rows;
    int stepX = 1, stepY = 1;
    if (!everyBlock && total > MinSampled) {
        const double step = std::min(double(SampleEvery), double(total) / MinSampled);
        stepY = std::max(1, int(sqrt(step)));
        stepX = std::max(1, int(step / stepY + 0.5));
    }
    std::vector<float> energies;
    energies.reserve(size_t(total / (long(stepX) * stepY) + rows + 1));
    int sampled = 0;
    for (int by = 0, k = 0; by < rows; by += stepY, k++) {
        for (int bx = (k * 3) % stepX; bx < columns; bx += stepX) {
            float energy;
            sampled++;
            if (MeasureBlock(plane, stride, 1 + bx * B, 1 + by * B, top, histogramShift, histogram,
                             &energy))
                energies.push_back(energy);
        }
    }
    e.BlocksSampled = sampled;
    e.BlocksUsed = int(energies.size());
    const double samples = double(sampled) * (B / 2) * (B / 2);
    for (int i = 0; i < NoiseHistogramBins; i++)
        e.Histogram[i] = sampled > 0 ? float(histogram[i] / samples) : 0.0f;
    if (energies.empty()) return e;

    const size_t quiet = std::max<size_t>(1, size_t(energies.size() * QuietFraction + 0.5));
    std::nth_element(energies.begin(), energies.begin() + (quiet - 1), energies.end());
    double sum = 0;
    for (size_t i = 0; i < quiet; i++) sum += energies[i];
    const double variance = sum / double(quiet) / (QuietMean * B * B * 36.0);
    e.Sigma = sqrt(variance);
    return e;
}

NoiseEstimate EstimateNoise(const uint16_t* plane, int W, int H, ptrdiff_t stride, int bits) {
    return Estimate(plane, W, H, stride, bits, false);
}

NoiseEstimate EstimateNoise(const uint8_t* plane, int W, int H, ptrdiff_t stride, int bits) {
    return Estimate(plane, W, H, stride, bits, false);
}

NoiseEstimate EstimateNoiseFull(const uint16_t* plane, int W, int H, ptrdiff_t stride, int bits) {
    return Estimate(plane, W, H, stride, bits, true);
}
