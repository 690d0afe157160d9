// noise_estimate.cpp: block residual energies, the quietest blocks, and the noise they imply
#include "noise_estimate.h"

#include <assert.h>
#include <math.h>

#include <algorithm>
#include <vector>

// Residual block: B x B residuals, read from (B + 2) x (B + 2) samples.
static const int B = 8;
// Blocks looked at: one in SampleEvery, but at least MinSampled (all of them when fewer exist):
// the refinement below needs quiet blocks enough to settle.
static const int SampleEvery = 20;
static const int MinSampled = 1000;
// The quietest QuietFraction of the usable blocks make the first estimate.
static const double QuietFraction = 0.1;
// For white noise of variance sigma^2 the mean energy of the quietest tenth of the blocks is
// QuietMean * B^2 * 36 * sigma^2 (measured on 4 x 10^6 blocks of synthetic Gaussian noise by
// tools/strength_sweep constant; it is below 1 because the quiet blocks are picked by the very
// energy being averaged).
static const double QuietMean = 0.5380;
// The estimate is then refined to the level of the blocks that look like noise alone: those
// below Threshold * B^2 * 36 * sigma^2 are kept, and for white noise their mean energy is
// KeptMean * B^2 * 36 * sigma^2 (measured on the same noise: strength_sweep constant must read
// 1; the refinement multiplies an error of KeptMean about five times). The quietest tenth of a
// picture is a larger share of its quiet blocks than of pure noise, or holds texture, so it reads
// high; the refinement only keeps what noise of the level found would give.
static const double Threshold = 0.7;
static const double KeptMean = 0.5904;
// Blocks with this many residuals exactly 0 are partly flat (the edge of a letterbox bar or a
// graphic, or a picture without noise): they are quiet for want of noise, not by chance, and
// the refinement leaves them out. Noise of sigma 0.5 gives a block that many about once in
// a hundred.
static const int PartlyFlat = 16;
// So are blocks with a row or a column of samples all of one value. With at least MinOpen
// blocks that are not partly flat, the estimate comes from those alone.
static const int MinOpen = 64;
// The refinement stops before it would keep fewer blocks than this. (A floor on the share of
// the blocks kept would also stop a chance run of quiet blocks from drawing it down, as it
// does about once in a thousand frames of pure noise, by 10 to 18 %; but a picture covered
// in texture has few blocks of noise alone, and needs to go that far.)
static const int MinKept = 16;
// The picture's detail is read at this quantile of the blocks' coarse gradient energy: high
// enough that a picture with a few strong edges or a textured part counts as busy even when
// most of it is sky or wall.
static const double DetailQuantile = 0.9;
// Blocks to look at before clipped blocks are let in (they read low, but a dark noisy frame
// may have nothing else).
static const int MinUsable = 8;

enum class Block { Usable, Clipped, Flat };

// Measures one block whose residuals start at (x, y): its residual energy, and whether it holds
// 0 or `top` (Clipped) or a single value (Flat). Adds 16 of its centre samples (every other row
// and column) to `histogram`.
template <typename Sample>
static Block MeasureBlock(const Sample* plane, ptrdiff_t stride, int x, int y, int32_t top,
                          int histogramShift, uint32_t* histogram, float* energy, float* coarse,
                          int* zeros) {
    // Second differences along the rows, then across them. Samples are below 2^16, so h stays
    // below 2^18 and r below 2^20 in magnitude: exact in int32, and r^2 is summed in float,
    // whose rounding is far below what matters here.
    int32_t h[B + 2][B];
    int32_t low = 0x7FFFFFFF, high = 0;
    // A row of the block's samples that holds a single value (the bits in which its samples
    // differ from its first one are all 0), or its first or last column: a flat band across
    // the block, or one that covers a side of it.
    const Sample* corner = plane + (y - 1) * stride + (x - 1);
    const int32_t left = corner[0], right = corner[B + 1];
    int32_t leftBits = 0, rightBits = 0;
    bool flatLine = false;
    for (int j = 0; j < B + 2; j++) {
        const Sample* row = plane + (y - 1 + j) * stride + (x - 1);
        int32_t s[B + 2];
        for (int i = 0; i < B + 2; i++) s[i] = row[i];
        int32_t rowBits = 0;
        for (int i = 0; i < B + 2; i++) {
            low = std::min(low, s[i]);
            high = std::max(high, s[i]);
            rowBits |= s[i] ^ s[0];
        }
        flatLine |= rowBits == 0;
        for (int i = 0; i < B; i++) h[j][i] = s[i] - 2 * s[i + 1] + s[i + 2];
    }
    for (int j = 1; j < B + 2; j++) {
        leftBits |= corner[j * stride] ^ left;
        rightBits |= corner[j * stride + B + 1] ^ right;
    }
    flatLine |= leftBits == 0 || rightBits == 0;
    for (int j = 1; j <= B; j += 2) {
        const Sample* row = plane + (y - 1 + j) * stride + x;
        for (int i = 0; i < B; i += 2) {
            const int32_t v = std::min<int32_t>(row[i], top);
            histogram[histogramShift >= 0 ? v >> histogramShift : v << -histogramShift]++;
        }
    }
    float sum = 0;
    int zero = 0;
    for (int j = 0; j < B; j++) {
        for (int i = 0; i < B; i++) {
            const int32_t r = h[j][i] - 2 * h[j + 1][i] + h[j + 2][i];
            sum += float(r) * float(r);
            zero += r == 0;
        }
    }
    *energy = sum;
    *zeros = flatLine ? B * B : zero;
    // The sums of the block's four 4 x 4 quarters.
    int32_t quadrant[2][2] = {};
    for (int j = 0; j < B; j++) {
        const Sample* row = plane + (y + j) * stride + x;
        int32_t left = 0, right = 0;
        for (int i = 0; i < B / 2; i++) left += row[i], right += row[i + B / 2];
        quadrant[j >= B / 2][0] += left;
        quadrant[j >= B / 2][1] += right;
    }
    const float q = 1.0f / (B * B / 4);
    const float d[4] = {
        (quadrant[0][1] - quadrant[0][0]) * q, (quadrant[1][1] - quadrant[1][0]) * q,
        (quadrant[1][0] - quadrant[0][0]) * q, (quadrant[1][1] - quadrant[0][1]) * q};
    *coarse = (d[0] * d[0] + d[1] * d[1] + d[2] * d[2] + d[3] * d[3]) / 4;
    return low == high ? Block::Flat : low > 0 && high < top ? Block::Usable : Block::Clipped;
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
    std::vector<float> energies, clipped, coarses, open;
    energies.reserve(size_t(total / (long(stepX) * stepY) + rows + 1));
    coarses.reserve(energies.capacity());
    open.reserve(energies.capacity());
    int sampled = 0;
    for (int by = 0, k = 0; by < rows; by += stepY, k++) {
        for (int bx = (k * 3) % stepX; bx < columns; bx += stepX) {
            float energy, coarse;
            int zeros;
            sampled++;
            const Block b = MeasureBlock(plane, stride, 1 + bx * B, 1 + by * B, top, histogramShift,
                                         histogram, &energy, &coarse, &zeros);
            if (b != Block::Flat) coarses.push_back(coarse);
            if (b == Block::Usable) energies.push_back(energy);
            if (b == Block::Usable && zeros < PartlyFlat) open.push_back(energy);
            if (b == Block::Clipped) clipped.push_back(energy);
        }
    }
    e.BlocksSampled = sampled;
    const double samples = double(sampled) * (B / 2) * (B / 2);
    for (int i = 0; i < NoiseHistogramBins; i++)
        e.Histogram[i] = sampled > 0 ? float(histogram[i] / samples) : 0.0f;
    if (int(energies.size()) < MinUsable) {
        energies.insert(energies.end(), clipped.begin(), clipped.end());
        open.insert(open.end(), clipped.begin(), clipped.end());
    }
    e.BlocksUsed = int(energies.size());
    if (energies.empty()) return e;

    // Energies in units of the white-noise variance: a block of pure noise of variance v has a
    // mean of v.
    const float unit = 1.0f / (B * B * 36);
    for (float& v : energies) v *= unit;
    for (float& v : open) v *= unit;
    const size_t quiet = std::max<size_t>(1, size_t(energies.size() * QuietFraction + 0.5));
    std::nth_element(energies.begin(), energies.begin() + (quiet - 1), energies.end());
    double sum = 0;
    for (size_t i = 0; i < quiet; i++) sum += energies[i];
    double variance = sum / double(quiet) / QuietMean;
    if (open.size() >= size_t(MinOpen)) {
        // Partly flat blocks are the quietest of a picture with flat bands; with enough others,
        // the refinement starts from those others' quietest tenth instead.
        const size_t q = std::max<size_t>(1, size_t(open.size() * QuietFraction + 0.5));
        std::nth_element(open.begin(), open.begin() + (q - 1), open.end());
        double s = 0;
        for (size_t i = 0; i < q; i++) s += open[i];
        variance = s / double(q) / QuietMean;
    }
    // The refinement starts above its fixed point and comes down to it, so it only needs the
    // blocks below a quarter above its first threshold: those are sorted, with running
    // sums, and each step is a binary search. Should it climb past them, all are sorted.
    float bound = float(1.25 * Threshold * variance);
    size_t sorted =
        size_t(std::partition(open.begin(), open.end(), [bound](float v) { return v < bound; }) -
               open.begin());
    std::sort(open.begin(), open.begin() + sorted);
    std::vector<double> below(open.size() + 1, 0.0);  // below[i]: sum of the i quietest
    for (size_t i = 0; i < sorted; i++) below[i + 1] = below[i] + open[i];
    for (int step = 0; step < 100 && variance > 0; step++) {
        const float limit = float(Threshold * variance);
        if (limit >= bound && sorted < open.size()) {
            std::sort(open.begin(), open.end());
            for (size_t i = 0; i < open.size(); i++) below[i + 1] = below[i] + open[i];
            sorted = open.size();
            bound = INFINITY;
        }
        const size_t count =
            size_t(std::lower_bound(open.begin(), open.begin() + sorted, limit) - open.begin());
        if (count < size_t(MinKept)) break;
        const double next = below[count] / double(count) / KeptMean;
        const bool settled = fabs(next - variance) <= 1e-4 * variance;
        variance = next;
        if (settled) break;
    }
    // Detail: the coarse gradient energy of the block at DetailQuantile.
    const size_t at = std::min(coarses.size() - 1, size_t(double(coarses.size()) * DetailQuantile));
    std::nth_element(coarses.begin(), coarses.begin() + at, coarses.end());
    e.Detail = coarses[at];
    // Rounding the noisy picture to whole samples added a variance of 1/12 of a step.
    variance -= 1.0 / 12;
    e.Sigma = variance > 0 ? sqrt(variance) : 0;
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
