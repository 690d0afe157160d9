// pixel_words.h: packed 16-bit Y words between the strip layout and rows of YcPixel
#pragma once

#include <immintrin.h>
#include <stdint.h>

#include "vec8.h"

// Transposes 8 vectors of 8 words: afterwards word i of v[s] is word s of former v[i].
static VEC_INLINE void TransposeWordVectors(__m128i* v) {
    const __m128i t0 = _mm_unpacklo_epi16(v[0], v[1]), t1 = _mm_unpackhi_epi16(v[0], v[1]);
    const __m128i t2 = _mm_unpacklo_epi16(v[2], v[3]), t3 = _mm_unpackhi_epi16(v[2], v[3]);
    const __m128i t4 = _mm_unpacklo_epi16(v[4], v[5]), t5 = _mm_unpackhi_epi16(v[4], v[5]);
    const __m128i t6 = _mm_unpacklo_epi16(v[6], v[7]), t7 = _mm_unpackhi_epi16(v[6], v[7]);
    const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
    v[0] = _mm_unpacklo_epi64(u0, u4);
    v[1] = _mm_unpackhi_epi64(u0, u4);
    v[2] = _mm_unpacklo_epi64(u1, u5);
    v[3] = _mm_unpackhi_epi64(u1, u5);
    v[4] = _mm_unpacklo_epi64(u2, u6);
    v[5] = _mm_unpackhi_epi64(u2, u6);
    v[6] = _mm_unpacklo_epi64(u3, u7);
    v[7] = _mm_unpackhi_epi64(u3, u7);
}

// Transposes the 8x8 words at p (16-byte aligned): afterwards word i of vector s is lane s of
// former vector i, so vector s holds the Y of 8 consecutive pixels of strip s.
static inline void TransposeWords(int16_t* p) {
    TransposeWordVectors(reinterpret_cast<__m128i*>(p));
}

// Replaces the Y words of 8 pixels (48 bytes as a, b, c) by the 8 words of y.
//   a: Y0 Cb0 Cr0 Y1 Cb1 Cr1 Y2 Cb2   b: Cr2 Y3 Cb3 Cr3 Y4 Cb4 Cr4 Y5   c: Cb5 Cr5 Y6 Cb6 Cr6 Y7
//   Cb7 Cr7
static VEC_INLINE void MergeY(__m128i y, __m128i& a, __m128i& b, __m128i& c) {
    const __m128i toA = _mm_setr_epi8(0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5, -1, -1);
    const __m128i toB = _mm_setr_epi8(-1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1, -1, -1, 10, 11);
    const __m128i toC =
        _mm_setr_epi8(-1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15, -1, -1, -1, -1);
    a = _mm_blend_epi16(a, _mm_shuffle_epi8(y, toA), 0x49);
    b = _mm_blend_epi16(b, _mm_shuffle_epi8(y, toB), 0x92);
    c = _mm_blend_epi16(c, _mm_shuffle_epi8(y, toC), 0x24);
}
