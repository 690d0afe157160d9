// row_staging.cpp: gather source luma into the strip layout as float vectors
#include "row_staging.h"

#include <assert.h>

#include "pixel_words.h"
#include "vec8.h"

// Y of the pixel at byte address p.
static VEC_INLINE int LoadY(const char* p) {
    int16_t y;
    memcpy(&y, p, sizeof y);
    return y;
}

// Lanes from..to of a word vector, read at p + s * step for lane s.
template <int From, int To>
static VEC_INLINE __m128i GatherLanes(__m128i words, const char* p, int step) {
    if constexpr (From <= To) {
        words = _mm_insert_epi16(words, LoadY(p + From * step), From);
        return GatherLanes<From + 1, To>(words, p, step);
    } else {
        return words;
    }
}

// Two consecutive vectors of a plain run (lane s of vector k at p + s * step + 6k, of vector
// k + 1 six bytes on). The 8 bytes at a pixel are its Y, Cb and Cr and the next pixel's Y, so
// one 8-byte load per strip serves both vectors, and 12 shuffles replace 16 word inserts.
static VEC_INLINE void GatherPair(const char* p, int step, __m128i& first, __m128i& second) {
    // From two strips' loads (words Y(k) Cb Cr Y(k+1) of strip s, then of strip s + 1):
    // Y_s(k), Y_s+1(k), Y_s(k+1), Y_s+1(k+1) in the low four words.
    const __m128i pick = _mm_setr_epi8(0, 1, 8, 9, 6, 7, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    auto strips = [&](int s) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + s * step));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + (s + 1) * step));
        return _mm_shuffle_epi8(_mm_unpacklo_epi64(a, b), pick);
    };
    const __m128i low = _mm_unpacklo_epi32(strips(0), strips(2));   // lanes 0-3 of k, of k + 1
    const __m128i high = _mm_unpacklo_epi32(strips(4), strips(6));  // lanes 4-7 of k, of k + 1
    first = _mm_unpacklo_epi64(low, high);
    second = _mm_unpackhi_epi64(low, high);
}

// Two vectors of a plain run, k and k + 2, from one 16-byte load per strip that starts two
// bytes before Y(k) (at p + s * step, lane s). As 32-bit words, the load's word 0 holds Y(k)
// above the previous pixel's Cr and word 3 holds Y(k+2) above Cr(k+1):
//   bytes  -2 -1 | 0 1  | 2 3  4 5  | 6 7    8 9  | 10 11  12 13
//          Cr    | Y(k) | Cb   Cr   | Y(k+1) Cb   | Cr     Y(k+2)
// Strips s and s + 4 share a 256-bit register (the two 128-bit halves), two shuffles pick
// words 0 and 3 of four strips, and the high halves become floats exactly: the masked word is
// Y * 65536, which converts without rounding, and the multiply by 2^-16 is exact.
static VEC_INLINE void GatherSpaced(const char* p, int step, float* first, float* third) {
    auto strips = [&](int s) {
        const __m128 low = _mm_loadu_ps(reinterpret_cast<const float*>(p + s * step));
        const __m128 high = _mm_loadu_ps(reinterpret_cast<const float*>(p + (s + 4) * step));
        return _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
    };
    // Words 0 and 3 of strips 0 and 1, then of strips 2 and 3 (and of 4 to 7 above them).
    const __m256 a = _mm256_shuffle_ps(strips(0), strips(1), _MM_SHUFFLE(3, 0, 3, 0));
    const __m256 b = _mm256_shuffle_ps(strips(2), strips(3), _MM_SHUFFLE(3, 0, 3, 0));
    const __m256 high = _mm256_castsi256_ps(_mm256_set1_epi32(int32_t(0xFFFF0000u)));
    const __m256 scale = _mm256_set1_ps(FloatFromBits(0x37800000));  // 2^-16
    auto widen = [&](__m256 words) {
        return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_castps_si256(_mm256_and_ps(words, high))),
                             scale);
    };
    _mm256_store_ps(first, widen(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))));
    _mm256_store_ps(third, widen(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
}

void StageRow(int32_t left, int32_t middle, int32_t right, int32_t stripStep, const void* source,
              float* output) {
    assert((reinterpret_cast<uintptr_t>(output) & 31) == 0);
    assert(left >= 0 && right >= 0 && (middle > 0 || left == 0));
    const char* p = static_cast<const char*>(source);
    float* out = output;

    if (left > 0) {
        // Lane 0 holds column 0; lanes 1 to 7 end the strip to their left.
        const __m128i edge = _mm_cvtsi32_si128(LoadY(p + 6 * left) & 0xFFFF);
        for (int k = 0; k < left; k++, p += 6, out += 8)
            _mm256_store_ps(out, WidenToFloat(GatherLanes<1, 7>(edge, p, stripStep)));
    }
    int k = 0;
    if (left > 0 && middle > 0) {
        // Column 0 of strip 0: the spaced loads below would start before the row.
        _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 7>(_mm_setzero_si128(), p, stripStep)));
        k = 1, p += 6, out += 8;
    }
    // Four vectors at a time: k and k + 2, then k + 1 and k + 3. The loads end with Y(k+3).
    for (; k + 3 < middle; k += 4, p += 24, out += 32) {
        GatherSpaced(p - 2, stripStep, out, out + 16);
        GatherSpaced(p + 4, stripStep, out + 8, out + 24);
    }
    for (; k + 1 < middle; k += 2, p += 12, out += 16) {
        __m128i first, second;
        GatherPair(p, stripStep, first, second);
        _mm256_store_ps(out, WidenToFloat(first));
        _mm256_store_ps(out + 8, WidenToFloat(second));
    }
    if (k < middle) {
        _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 7>(_mm_setzero_si128(), p, stripStep)));
        p += 6;
        out += 8;
    }
    // With a negative middle the right margin covers the whole window: left + middle + right
    // vectors in all, every one of them past W in lane 7.
    const int rightCount = middle < 0 ? right + middle : right;
    if (rightCount > 0) {
        // Lane 7 holds column W-1 (left of the window when middle is negative).
        const char* last =
            static_cast<const char*>(source) + 7 * stripStep + 6 * (left + middle - 1);
        const __m128i edge = _mm_insert_epi16(_mm_setzero_si128(), LoadY(last), 7);
        for (int k = 0; k < rightCount; k++, p += 6, out += 8)
            _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 6>(edge, p, stripStep)));
    }
}

// Column clamp(s * V + firstColumn + k, 0, W - 1) of a row, for every lane s and vector k.
template <typename YAt>
static void StageClamped(YAt y, int32_t firstColumn, int32_t count, int32_t V, int32_t W,
                         float* output) {
    assert((reinterpret_cast<uintptr_t>(output) & 31) == 0);
    for (int k = 0; k < count; k++) {
        alignas(16) int16_t lanes[8];
        for (int s = 0; s < 8; s++) {
            int x = s * V + firstColumn + k;
            x = x < 0 ? 0 : x >= W ? W - 1 : x;
            lanes[s] = y(x);
        }
        _mm256_store_ps(output + 8 * k,
                        WidenToFloat(_mm_load_si128(reinterpret_cast<__m128i*>(lanes))));
    }
}

void StageRowClamped(const YcPixel* row, int32_t firstColumn, int32_t count, int32_t V, int32_t W,
                     float* output) {
    StageClamped([row](int x) { return row[x].Y; }, firstColumn, count, V, W, output);
}

void StagePlaneRowClamped(const int16_t* row, int32_t firstColumn, int32_t count, int32_t V,
                          int32_t W, float* output) {
    StageClamped([row](int x) { return row[x]; }, firstColumn, count, V, W, output);
}

// Eight vectors k .. k + 7 of a plane: one 16-byte load per strip, transposed, so that vector
// k + i holds word i of every strip.
static VEC_INLINE void StagePlaneEight(const char* p, int step, float* out) {
    __m128i v[8];
    for (int s = 0; s < 8; s++)
        v[s] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + s * step));
    TransposeWordVectors(v);
    for (int i = 0; i < 8; i++) _mm256_store_ps(out + 8 * i, WidenToFloat(v[i]));
}

void StagePlaneRow(int32_t left, int32_t middle, int32_t right, int32_t stripStep,
                   const int16_t* source, float* output) {
    assert((reinterpret_cast<uintptr_t>(output) & 31) == 0);
    assert(left >= 0 && right >= 0 && (middle > 0 || left == 0));
    const char* p = reinterpret_cast<const char*>(source);
    float* out = output;
    if (left > 0) {
        const __m128i edge = _mm_cvtsi32_si128(LoadY(p + 2 * left) & 0xFFFF);
        for (int k = 0; k < left; k++, p += 2, out += 8)
            _mm256_store_ps(out, WidenToFloat(GatherLanes<1, 7>(edge, p, stripStep)));
    }
    int k = 0;
    for (; k + 7 < middle; k += 8, p += 16, out += 64) StagePlaneEight(p, stripStep, out);
    for (; k < middle; k++, p += 2, out += 8)
        _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 7>(_mm_setzero_si128(), p, stripStep)));
    const int rightCount = middle < 0 ? right + middle : right;
    if (rightCount > 0) {
        const char* last =
            reinterpret_cast<const char*>(source) + 7 * stripStep + 2 * (left + middle - 1);
        const __m128i edge = _mm_insert_epi16(_mm_setzero_si128(), LoadY(last), 7);
        for (int k = 0; k < rightCount; k++, p += 2, out += 8)
            _mm256_store_ps(out, WidenToFloat(GatherLanes<0, 6>(edge, p, stripStep)));
    }
}

void StageWindowRow(const void* row, int32_t pixelBytes, int32_t c0, int32_t n, int32_t reach,
                    int32_t V, int32_t W, float* output) {
    const int R = reach;
    const bool plane = pixelBytes == 2;
    if (W - 7 * V <= R) {
        // Strip 7 holds R or fewer columns: margins reach past W in lanes below 7 too. (V is 8
        // whenever W <= 64, so lane 1's left margin never reaches before column 0 otherwise.)
        if (plane)
            StagePlaneRowClamped(static_cast<const int16_t*>(row), c0 - R - 1, n + 2 * R + 2, V, W,
                                 output);
        else
            StageRowClamped(static_cast<const YcPixel*>(row), c0 - R - 1, n + 2 * R + 2, V, W,
                            output);
        return;
    }
    const int c1 = c0 + n;
    const int left = c0 == 0 ? R + 1 : 0;
    const int right = 7 * V + c1 + R >= W ? 7 * V + c1 + R + 1 - W : 0;
    const int middle = n + 2 * R + 2 - left - right;
    // The pixel lane 0 of vector 0 stands for, column c0 - R - 1: before the row when c0 is 0,
    // and then never read.
    const char* first = static_cast<const char*>(row) + pixelBytes * (intptr_t(c0) - R - 1);
    if (plane)
        StagePlaneRow(left, middle, right, V * pixelBytes, reinterpret_cast<const int16_t*>(first),
                      output);
    else
        StageRow(left, middle, right, V * pixelBytes, first, output);
}
