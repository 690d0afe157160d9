// noise_estimate.cpp: block residual energies, the quietest blocks, and the noise they imply
#include "noise_estimate.h"

#include <assert.h>
#include <math.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <vector>

// Residual block: B x B residuals, read from (B + 2) x (B + 2) samples.
static const int B = 8;
// Blocks looked at: one in SampleEvery, but at least MinSampled (all of them when fewer exist;
// SamplingGrid): the refinement below needs quiet blocks enough to settle, and magnifies their
// chance spread about five times. With 1000 (of which the grid of the time took 943 of a
// 1280x720 frame and 1105 of 384x384) a frame of pure noise read 10 % low once in a hundred
// frames and 16 to 20 % low once in a thousand, and a smooth photograph at sigma 15 16 % low.
// Now 1287 of 1280x720 and every block of 384x384 (2209): see docs/strength.md.
static const int SampleEvery = 20;
static const int MinSampled = 1200;
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
// Texture that fills a picture from edge to edge leaves no block of noise alone, and its
// quietest blocks read as noise. What tells the two apart is how neighbouring residuals
// correlate. Over the blocks below LagBlocks times the level (about half of the blocks of a
// picture of noise alone, few of those with texture well above the noise), the products
// r(x) r(x + 1) and r(x) r(y + 1) of white noise average NoiseLag times r^2 (-2/3 before the
// selection; measured on the same noise as KeptMean by strength_sweep constant). The residuals
// of the finest texture of our photographs (grass, gravel, the stars of a deep-field
// photograph, with no noise added) correlate at about -0.3 to -0.4, coarser content more. A
// mix in between is read as noise's share of those blocks' energy, with texture taken at
// TextureLag, towards the coarse end of that range, so that noise's share is not much
// understated (at -0.3 a deep-field photograph at sigma 3 read 19 % high on average, its faint
// stars taken for noise, and the strength that got wiped them out; at -0.33, 16 %, and 13 % with
// the blocks above); the level is scaled by it, but never below MinNoiseShare, since noise
// that is not white (filtered or compressed) correlates more too.
static const double LagBlocks = 1.2;
static const double NoiseLag = -0.6374;
static const double TextureLag = -0.33;
static const double MinNoiseShare = 0.5;
// Blocks to look at before clipped blocks are let in (they read low, but a dark noisy frame
// may have nothing else).
static const int MinUsable = 8;

enum class Block { Usable, Clipped, Flat };

// A block's residual energy and lag sum, ordered by energy.
struct Energy {
    float E, Lag;
    bool operator<(const Energy& o) const { return E < o.E; }
};

// What one block tells: its residual energy, the sum of the products of neighbouring
// residuals (one step across and one down; see TextureLag), its coarse gradient energy, and
// how many of its residuals are exactly 0 (B * B when a flat band crosses it).
struct BlockMeasure {
    float Energy, Lag, Coarse;
    int Zeros;
};

// The block's coarse gradient energy from the sums of its four 4 x 4 quarters.
static float CoarseEnergy(const int32_t quadrant[2][2]) {
    const float q = 1.0f / (B * B / 4);
    const float d[4] = {
        (quadrant[0][1] - quadrant[0][0]) * q, (quadrant[1][1] - quadrant[1][0]) * q,
        (quadrant[1][0] - quadrant[0][0]) * q, (quadrant[1][1] - quadrant[0][1]) * q};
    return (d[0] * d[0] + d[1] * d[1] + d[2] * d[2] + d[3] * d[3]) / 4;
}

// Adds 16 of the block's centre samples (every other row and column) to `histogram`.
template <typename Sample>
static void CountSamples(const Sample* corner, ptrdiff_t stride, int32_t top, int histogramShift,
                         uint32_t* histogram) {
    for (int j = 1; j <= B; j += 2) {
        for (int i = 1; i <= B; i += 2) {
            const int32_t v = std::min<int32_t>(corner[j * stride + i], top);
            histogram[histogramShift >= 0 ? v >> histogramShift : v << -histogramShift]++;
        }
    }
}

// Whether the first or the last column of the (B + 2) x (B + 2) samples holds a single value.
template <typename Sample>
static bool FlatSide(const Sample* corner, ptrdiff_t stride) {
    int32_t leftBits = 0, rightBits = 0;
    const int32_t left = corner[0], right = corner[B + 1];
    for (int j = 1; j < B + 2; j++) {
        leftBits |= corner[j * stride] ^ left;
        rightBits |= corner[j * stride + B + 1] ^ right;
    }
    return leftBits == 0 || rightBits == 0;
}

// Measures one block whose residuals start at (x, y) and says whether it holds 0 or `top`
// (Clipped) or a single value (Flat); adds its samples to `histogram` (CountSamples). Exact
// integer arithmetic: samples are below 2^16, so second differences stay below 2^18 and
// residuals below 2^20 in magnitude; sums of their products fit in int64 and are rounded to
// float once, so any order of summing gives the same measure.
template <typename Sample>
static Block MeasureBlock(const Sample* plane, ptrdiff_t stride, int x, int y, int32_t top,
                          int histogramShift, uint32_t* histogram, BlockMeasure* m) {
    const Sample* corner = plane + (y - 1) * stride + (x - 1);
    // Lowest and highest sample; a row of the block's samples that holds a single value, or
    // its first or last column: a flat band across the block, or one that covers a side of it.
    int32_t h[B + 2][B];
    int32_t low = 0x7FFFFFFF, high = 0;
    bool flatLine = FlatSide(corner, stride);
    for (int j = 0; j < B + 2; j++) {
        const Sample* row = corner + j * stride;
        int32_t s[B + 2], rowBits = 0;
        for (int i = 0; i < B + 2; i++) s[i] = row[i];
        for (int i = 0; i < B + 2; i++) {
            low = std::min(low, s[i]);
            high = std::max(high, s[i]);
            rowBits |= s[i] ^ s[0];
        }
        flatLine |= rowBits == 0;
        // Second differences along the rows, then across them (below).
        for (int i = 0; i < B; i++) h[j][i] = s[i] - 2 * s[i + 1] + s[i + 2];
    }
    CountSamples(corner, stride, top, histogramShift, histogram);
    int64_t energy = 0, lag = 0;
    int zeros = 0;
    int32_t above[B] = {};
    for (int j = 0; j < B; j++) {
        int32_t r[B];
        for (int i = 0; i < B; i++) r[i] = h[j][i] - 2 * h[j + 1][i] + h[j + 2][i];
        for (int i = 0; i < B; i++) {
            energy += int64_t(r[i]) * r[i];
            zeros += r[i] == 0;
            if (i > 0) lag += int64_t(r[i - 1]) * r[i];
            if (j > 0) lag += int64_t(above[i]) * r[i];
            above[i] = r[i];
        }
    }
    int32_t quadrant[2][2] = {};
    for (int j = 0; j < B; j++) {
        const Sample* row = corner + (j + 1) * stride + 1;
        for (int i = 0; i < B; i++) quadrant[j >= B / 2][i >= B / 2] += row[i];
    }
    m->Energy = float(energy);
    // Both directions, each scaled to B * B pairs.
    m->Lag = float(lag) * (0.5f * B / (B - 1));
    m->Zeros = flatLine ? B * B : zeros;
    m->Coarse = CoarseEnergy(quadrant);
    return low == high ? Block::Flat : low > 0 && high < top ? Block::Usable : Block::Clipped;
}

#if defined(__SSE2__)
// Eight samples from `p` in 16-bit lanes.
static inline __m128i Load8(const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                             _mm_setzero_si128());
}
static inline __m128i Load8(const uint16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The same, eight columns at a time in 16-bit lanes, for blocks whose samples are all below
// 1024 (any block of bytes; 9- and 10-bit planes; the darker blocks of deeper ones): second
// differences then stay within +-2046 and residuals within +-8184, so r^2 and the products of
// neighbours, summed in pairs (madd) and then over the block, stay below 2^31 in int32 (at
// most 15 pair sums of 2 * 8184^2 in one lane). Returns false, having changed nothing, for a
// block with a sample of 1024 or more; otherwise gives exactly what MeasureBlock gives
// (noise_tests checks it on planes built to reach every case).
template <typename Sample>
static bool MeasureBlockVector(const Sample* plane, ptrdiff_t stride, int x, int y, int32_t top,
                               int histogramShift, uint32_t* histogram, BlockMeasure* m,
                               Block* kind) {
    const Sample* corner = plane + (y - 1) * stride + (x - 1);
    const __m128i zero = _mm_setzero_si128();
    __m128i low = _mm_set1_epi16(0x7FFF), high = _mm_set1_epi16(-0x8000);
    __m128i h[B + 2];
    int flatRows = 0;
    __m128i top4 = zero, bottom4 = zero;  // sums of columns 1..8 over rows 1..4 and 5..8
    for (int j = 0; j < B + 2; j++) {
        // Columns 0..7, 1..8 and 2..9 of the row: never past the block.
        const Sample* row = corner + j * stride;
        const __m128i a = Load8(row), b = Load8(row + 1), c = Load8(row + 2);
        // Signed: a sample of 32768 or more shows as below 0, and is caught below.
        low = _mm_min_epi16(low, _mm_min_epi16(a, c));
        high = _mm_max_epi16(high, _mm_max_epi16(a, c));
        // One value along the row: each sample equals the next.
        const __m128i same = _mm_and_si128(_mm_cmpeq_epi16(a, b), _mm_cmpeq_epi16(b, c));
        flatRows |= _mm_movemask_epi8(same) == 0xFFFF;
        h[j] = _mm_sub_epi16(_mm_add_epi16(a, c), _mm_add_epi16(b, b));
        if (j >= 1 && j <= B / 2) top4 = _mm_add_epi16(top4, b);
        if (j > B / 2 && j <= B) bottom4 = _mm_add_epi16(bottom4, b);
    }
    alignas(16) int16_t lo[8], hi[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lo), low);
    _mm_store_si128(reinterpret_cast<__m128i*>(hi), high);
    int32_t lowest = 0x7FFF, highest = -0x8000;
    for (int i = 0; i < 8; i++) {
        lowest = std::min<int32_t>(lowest, lo[i]);
        highest = std::max<int32_t>(highest, hi[i]);
    }
    if (lowest < 0 || highest > 1023) return false;
    __m128i energy = zero, lag = zero, zeros = zero, previous = zero;
    for (int j = 0; j < B; j++) {
        const __m128i r =
            _mm_sub_epi16(_mm_add_epi16(h[j], h[j + 2]), _mm_add_epi16(h[j + 1], h[j + 1]));
        energy = _mm_add_epi32(energy, _mm_madd_epi16(r, r));
        // r(i) r(i + 1) along the row (the last lane meets a 0), and r times the row above.
        lag = _mm_add_epi32(lag, _mm_madd_epi16(r, _mm_srli_si128(r, 2)));
        lag = _mm_add_epi32(lag, _mm_madd_epi16(r, previous));
        zeros = _mm_sub_epi16(zeros, _mm_cmpeq_epi16(r, zero));
        previous = r;
    }
    alignas(16) int32_t e[4], l[4];
    alignas(16) int16_t z[8], t[8], u[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(e), energy);
    _mm_store_si128(reinterpret_cast<__m128i*>(l), lag);
    _mm_store_si128(reinterpret_cast<__m128i*>(z), zeros);
    _mm_store_si128(reinterpret_cast<__m128i*>(t), top4);
    _mm_store_si128(reinterpret_cast<__m128i*>(u), bottom4);
    int32_t zeroCount = 0;
    for (int i = 0; i < 8; i++) zeroCount += z[i];
    const int32_t quadrant[2][2] = {{t[0] + t[1] + t[2] + t[3], t[4] + t[5] + t[6] + t[7]},
                                    {u[0] + u[1] + u[2] + u[3], u[4] + u[5] + u[6] + u[7]}};
    CountSamples(corner, stride, top, histogramShift, histogram);
    const bool flatLine = flatRows != 0 || FlatSide(corner, stride);
    // The lanes' totals may pass 2^31 (10-bit samples).
    m->Energy = float(int64_t(e[0]) + e[1] + e[2] + e[3]);
    m->Lag = float(int64_t(l[0]) + l[1] + l[2] + l[3]) * (0.5f * B / (B - 1));
    m->Zeros = flatLine ? B * B : zeroCount;
    m->Coarse = CoarseEnergy(quadrant);
    *kind = lowest == highest             ? Block::Flat
            : lowest > 0 && highest < top ? Block::Usable
                                          : Block::Clipped;
    return true;
}
#endif

// A block's measure: in vectors where they apply, else plainly; `plain` forces the latter.
template <typename Sample>
static Block Measure(const Sample* plane, ptrdiff_t stride, int x, int y, int32_t top,
                     int histogramShift, uint32_t* histogram, BlockMeasure* m, bool plain) {
#if defined(__SSE2__)
    Block kind;
    if (!plain && MeasureBlockVector(plane, stride, x, y, top, histogramShift, histogram, m, &kind))
        return kind;
#endif
    return MeasureBlock(plane, stride, x, y, top, histogramShift, histogram, m);
}

// The staggered grid of blocks looked at: every stepY-th block row, every stepX-th block in it.
// One in SampleEvery (4 rows by 5 columns) where that is at least MinSampled blocks; in smaller
// frames the sparsest grid, stepY no more than stepX, that still takes MinSampled (every block
// when there are no more). Whatever its offset, a row of the grid holds at least columns /
// stepX blocks, rounded down, which is what is counted.
static void SamplingGrid(int columns, int rows, int* stepX, int* stepY) {
    const long total = long(columns) * rows;
    *stepX = *stepY = 1;
    if (total <= MinSampled) return;
    if (total / SampleEvery >= MinSampled) {
        *stepY = int(sqrt(double(SampleEvery)));
        *stepX = int(double(SampleEvery) / *stepY + 0.5);
        return;
    }
    long fewest = total;
    for (int y = 1; y <= SampleEvery && y <= rows; y++) {
        const long rowsTaken = (rows + y - 1) / y;
        for (int x = SampleEvery; x >= y; x--) {
            const long count = rowsTaken * (columns / x);
            if (count < MinSampled) continue;
            if (count < fewest) fewest = count, *stepX = x, *stepY = y;
            break;
        }
    }
}

template <typename Sample>
static NoiseEstimate Estimate(const Sample* plane, int W, int H, ptrdiff_t stride, int bits,
                              bool everyBlock, bool plain = false) {
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
    if (!everyBlock) SamplingGrid(columns, rows, &stepX, &stepY);
    // Usable blocks' energies; those of the blocks not partly flat (`open`) with their lag
    // sums; clipped blocks in case too few others are left.
    std::vector<float> energies, coarses;
    std::vector<Energy> open, clipped;
    energies.reserve(size_t(total / (long(stepX) * stepY) + rows + 1));
    coarses.reserve(energies.capacity());
    open.reserve(energies.capacity());
    int sampled = 0;
    for (int by = 0, k = 0; by < rows; by += stepY, k++) {
        for (int bx = (k * 3) % stepX; bx < columns; bx += stepX) {
            BlockMeasure m;
            sampled++;
            const Block b = Measure(plane, stride, 1 + bx * B, 1 + by * B, top, histogramShift,
                                    histogram, &m, plain);
            if (b != Block::Flat) coarses.push_back(m.Coarse);
            if (b == Block::Usable) energies.push_back(m.Energy);
            if (b == Block::Usable && m.Zeros < PartlyFlat) open.push_back({m.Energy, m.Lag});
            if (b == Block::Clipped) clipped.push_back({m.Energy, m.Lag});
        }
    }
    e.BlocksSampled = sampled;
    const double samples = double(sampled) * (B / 2) * (B / 2);
    for (int i = 0; i < NoiseHistogramBins; i++)
        e.Histogram[i] = sampled > 0 ? float(histogram[i] / samples) : 0.0f;
    if (int(energies.size()) < MinUsable) {
        for (const Energy& c : clipped) energies.push_back(c.E);
        open.insert(open.end(), clipped.begin(), clipped.end());
    }
    e.BlocksUsed = int(energies.size());
    if (energies.empty()) return e;

    // Energies in units of the white-noise variance: a block of pure noise of variance v has a
    // mean of v.
    const float unit = 1.0f / (B * B * 36);
    for (float& v : energies) v *= unit;
    for (Energy& v : open) v.E *= unit;
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
        for (size_t i = 0; i < q; i++) s += open[i].E;
        variance = s / double(q) / QuietMean;
    }
    // The refinement starts above its fixed point and comes down to it, so it only needs the
    // blocks below a quarter above its first threshold: those are sorted, with running
    // sums, and each step is a binary search. Should it climb past them, all are sorted.
    float bound = float(1.25 * Threshold * variance);
    size_t sorted = size_t(
        std::partition(open.begin(), open.end(), [bound](const Energy& v) { return v.E < bound; }) -
        open.begin());
    std::sort(open.begin(), open.begin() + sorted);
    std::vector<double> below(open.size() + 1, 0.0);  // below[i]: sum of the i quietest
    for (size_t i = 0; i < sorted; i++) below[i + 1] = below[i] + open[i].E;
    for (int step = 0; step < 100 && variance > 0; step++) {
        const float limit = float(Threshold * variance);
        if (limit >= bound && sorted < open.size()) {
            std::sort(open.begin(), open.end());
            for (size_t i = 0; i < open.size(); i++) below[i + 1] = below[i] + open[i].E;
            sorted = open.size();
            bound = INFINITY;
        }
        const size_t count = size_t(
            std::lower_bound(open.begin(), open.begin() + sorted, Energy{limit, 0}) - open.begin());
        if (count < size_t(MinKept)) break;
        const double next = below[count] / double(count) / KeptMean;
        const bool settled = fabs(next - variance) <= 1e-4 * variance;
        variance = next;
        if (settled) break;
    }
    // Texture under the level: in the blocks up to a little above it, neighbouring residuals
    // of white noise correlate as NoiseLag, those of texture as TextureLag; their mix gives
    // noise's share of the level.
    {
        const float limit = float(LagBlocks * variance);
        double energy = 0, lag = 0;
        for (const Energy& v : open)
            if (v.E < limit) energy += v.E, lag += v.Lag;
        if (energy > 0) {
            e.Lag = lag * unit / energy;
            const double share = (TextureLag - e.Lag) / (TextureLag - NoiseLag);
            e.NoiseShare = share < MinNoiseShare ? MinNoiseShare : share > 1 ? 1 : share;
            variance *= e.NoiseShare;
        }
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

NoiseEstimate EstimateNoisePlain(const uint16_t* plane, int W, int H, ptrdiff_t stride, int bits) {
    return Estimate(plane, W, H, stride, bits, false, true);
}
