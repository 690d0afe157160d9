// scene_cut.cpp: block means and activities per frame, the median miss of the best neighbour
#include "scene_cut.h"

#include <emmintrin.h>
#include <stdlib.h>

#include <algorithm>

#include "../subhost/luma_map.h"

// Sums of the values and of the steps to the right and below, per block, one row at a time; the
// last column and row step to themselves. Blocks from `first` on.
template <typename T>
static void BlockSums(const T* image, ptrdiff_t stride, int W, int H, int bw, int64_t* sums,
                      int64_t* steps, int first = 0) {
    for (int y = 0; y < H; y++) {
        const T* row = image + y * stride;
        const T* below = y + 1 < H ? row + stride : row;
        int64_t* s = sums + size_t(y / CutBlock) * bw;
        int64_t* d = steps + size_t(y / CutBlock) * bw;
        for (int i = first; i < bw; i++) {
            const int x0 = i * CutBlock, x1 = std::min(W, x0 + CutBlock);
            const int right = std::min(x1, W - 1);  // the last column steps to itself
            int sum = 0, step = 0;
            for (int x = x0; x < x1; x++) {
                sum += Luma(row[x]);
                step += abs(Luma(below[x]) - Luma(row[x]));
            }
            for (int x = x0; x < right; x++) step += abs(Luma(row[x + 1]) - Luma(row[x]));
            s[i] += sum;
            d[i] += step;
        }
    }
}

// One-byte samples, whole blocks 16 pixels at a time: the sums of values and of absolute steps
// by psadbw, a block row's 16 rows before the totals are read. A block whose last column is the
// row's steps to itself, and a partial one, take the plain loop; the totals are the same.
static void BlockSums(const uint8_t* image, ptrdiff_t stride, int W, int H, int bw, int64_t* sums,
                      int64_t* steps) {
    const int wide = (W - 1) / CutBlock;  // blocks with a column after their last
    if (wide < bw) BlockSums<uint8_t>(image, stride, W, H, bw, sums, steps, wide);
    const __m128i zero = _mm_setzero_si128();
    for (int y0 = 0; y0 < H; y0 += CutBlock) {
        const int y1 = std::min(H, y0 + CutBlock);
        int64_t* s = sums + size_t(y0 / CutBlock) * bw;
        int64_t* d = steps + size_t(y0 / CutBlock) * bw;
        for (int i = 0; i < wide; i++) {
            __m128i sum = zero, step = zero;
            for (int y = y0; y < y1; y++) {
                const uint8_t* at = image + y * stride + i * CutBlock;
                const uint8_t* below = y + 1 < H ? at + stride : at;
                const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
                const __m128i under = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below));
                sum = _mm_add_epi64(sum, _mm_sad_epu8(row, zero));
                step = _mm_add_epi64(
                    step, _mm_add_epi64(_mm_sad_epu8(row, right), _mm_sad_epu8(row, under)));
            }
            s[i] += _mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8));
            d[i] += _mm_cvtsi128_si32(step) + _mm_cvtsi128_si32(_mm_srli_si128(step, 8));
        }
    }
}

void MeasureCut(const LumaPlane& plane, int bits, CutStats* stats) {
    const int W = plane.W, H = plane.H;
    const int bw = (W + CutBlock - 1) / CutBlock, bh = (H + CutBlock - 1) / CutBlock;
    std::vector<int64_t> sums(size_t(bw) * bh, 0), steps(sums.size(), 0);
    if (W > 0 && H > 0)
        WithLuma(plane, [&](auto image) {
            BlockSums(image, plane.Stride, W, H, bw, sums.data(), steps.data());
        });
    // On the 12-bit scale: sums times 2^up, or counts times 2^-up past 12 bits.
    const int up = FilterScaleBits - bits;
    stats->W = W, stats->H = H;
    stats->Mean.resize(sums.size());
    stats->Activity.resize(sums.size());
    for (int j = 0; j < bh; j++)
        for (int i = 0; i < bw; i++) {
            const int64_t w = std::min(int(CutBlock), W - i * CutBlock);
            const int64_t h = std::min(int(CutBlock), H - j * CutBlock);
            const size_t k = size_t(j) * bw + i;
            const int64_t n = up >= 0 ? w * h : (w * h) << -up;
            const int shift = up >= 0 ? up : 0;
            stats->Mean[k] = int((sums[k] << shift) / n);
            stats->Activity[k] = int((steps[k] << shift) / (2 * n));
        }
}

bool IsSceneCut(const CutStats& sa, const CutStats& sb) {
    const int W = sb.W, H = sb.H;
    if (W <= 0 || H <= 0 || sa.W != W || sa.H != H) return false;
    const int bw = (W + CutBlock - 1) / CutBlock, bh = (H + CutBlock - 1) / CutBlock;
    std::vector<int> miss(sb.Mean.size());
    for (int j = 0; j < bh; j++)
        for (int i = 0; i < bw; i++) {
            const size_t k = size_t(j) * bw + i;
            int best = 1 << 30;
            for (int v = std::max(0, j - 1); v <= std::min(bh - 1, j + 1); v++)
                for (int u = std::max(0, i - 1); u <= std::min(bw - 1, i + 1); u++) {
                    const size_t o = size_t(v) * bw + u;
                    best = std::min(
                        best, abs(sb.Mean[k] - sa.Mean[o]) + abs(sb.Activity[k] - sa.Activity[o]));
                }
            miss[k] = best;
        }
    std::nth_element(miss.begin(), miss.begin() + miss.size() / 2, miss.end());
    return miss[miss.size() / 2] > CutLevel;
}

bool IsSceneCut(const YcPixel* a, int capacityA, const YcPixel* b, int capacityB, int W, int H) {
    if (W <= 0 || H <= 0) return false;
    CutStats sa, sb;
    MeasureCut(HostLuma(a, capacityA, W, H), FilterScaleBits, &sa);
    MeasureCut(HostLuma(b, capacityB, W, H), FilterScaleBits, &sb);
    return IsSceneCut(sa, sb);
}
