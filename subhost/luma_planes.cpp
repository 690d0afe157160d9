// luma_planes.cpp: pixels to the host's luma images and back, plain and eight at a time (SSE2,
// and SSSE3 byte shuffles where the processor has them)
#include "luma_planes.h"

#include <assert.h>
#include <emmintrin.h>
#include <tmmintrin.h>
#include <math.h>
#include <string.h>
#include <sys/mman.h>

#include <new>
#include <utility>

#include "substitute_host.h"

#define ALWAYS_INLINE inline __attribute__((always_inline))

// The layout with its defaults filled in.
static PixelLayout Resolved(const PixelLayout& layout, int W) {
    PixelLayout l = layout;
    if (l.Stride == 0) l.Stride = ptrdiff_t(W) * l.Channels;
    if (l.Top == 0 || l.Top > MaxSample(l.Bits)) l.Top = MaxSample(l.Bits);
    assert(l.Bits >= 1 && l.Bits <= 16 && (l.Bytes == 2 || l.Bits <= 8));
    assert(l.Channels >= 1 && l.Channels <= 4);
    assert(l.ScaleBits >= 1 && l.ScaleBits <= FilterScaleBits);
    return l;
}

static ALWAYS_INLINE uint32_t Sample(const void* row, int bytes, ptrdiff_t i) {
    return bytes == 1 ? static_cast<const uint8_t*>(row)[i] : static_cast<const uint16_t*>(row)[i];
}

static ALWAYS_INLINE void SetSample(void* row, int bytes, ptrdiff_t i, uint32_t v) {
    if (bytes == 1)
        static_cast<uint8_t*>(row)[i] = uint8_t(v);
    else
        static_cast<uint16_t*>(row)[i] = uint16_t(v);
}

static ALWAYS_INLINE const void* RowAt(const PixelLayout& l, const void* base, int y) {
    return static_cast<const uint8_t*>(base) + ptrdiff_t(y) * l.Stride * l.Bytes;
}

static ALWAYS_INLINE void* RowAt(const PixelLayout& l, void* base, int y) {
    return static_cast<uint8_t*>(base) + ptrdiff_t(y) * l.Stride * l.Bytes;
}

// The plain mapping of one gray sample, with samples over Top taken as Top.
static ALWAYS_INLINE int16_t GrayToFilter(const PixelLayout& l, uint32_t s) {
    return LumaToFilter(s > l.Top ? l.Top : s, l.Bits, l.ScaleBits);
}

static ALWAYS_INLINE uint32_t GrayFromFilter(const PixelLayout& l, int32_t f, uint32_t s) {
    const uint32_t v = LumaFromFilter(f, s > l.Top ? l.Top : s, l.Bits, l.ScaleBits);
    return v > l.Top ? l.Top : v;
}

// ---- Eight pixels at a time ---------------------------------------------------------------------
//
// Samples travel as eight 16-bit lanes. The host image holds them as Y of 6-byte pixels: eight
// pixels are three 16-byte vectors, lanes numbered 0..7 in each,
//
//   out0: Y0  0  0 Y1  0  0 Y2  0        (Y0 in lane 0, Y1 in lane 3, Y2 in lane 6)
//   out1:  0 Y3  0  0 Y4  0  0 Y5        (lanes 1, 4, 7)
//   out2:  0  0 Y6  0  0 Y7  0  0        (lanes 2, 5)
//
// SSE2 has no byte shuffle, so lanes move by whole-register byte shifts and masks.

alignas(16) static const int16_t LaneMasks[8][8] = {
    {-1, 0, 0, 0, 0, 0, 0, 0}, {0, -1, 0, 0, 0, 0, 0, 0}, {0, 0, -1, 0, 0, 0, 0, 0},
    {0, 0, 0, -1, 0, 0, 0, 0}, {0, 0, 0, 0, -1, 0, 0, 0}, {0, 0, 0, 0, 0, -1, 0, 0},
    {0, 0, 0, 0, 0, 0, -1, 0}, {0, 0, 0, 0, 0, 0, 0, -1}};

static ALWAYS_INLINE __m128i Lane(int k) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(LaneMasks[k]));
}

// Eight Y values into eight YcPixel (48 bytes, no alignment needed), Cb and Cr zero.
static ALWAYS_INLINE void PutY8(YcPixel* dst, __m128i v) {
    const __m128i up4 = _mm_slli_si128(v, 4), up8 = _mm_slli_si128(v, 8);
    const __m128i down4 = _mm_srli_si128(v, 4), down8 = _mm_srli_si128(v, 8);
    const __m128i out0 =
        _mm_or_si128(_mm_and_si128(v, Lane(0)),
                     _mm_or_si128(_mm_and_si128(up4, Lane(3)), _mm_and_si128(up8, Lane(6))));
    const __m128i out1 =
        _mm_or_si128(_mm_and_si128(down4, Lane(1)),
                     _mm_or_si128(_mm_and_si128(v, Lane(4)), _mm_and_si128(up4, Lane(7))));
    const __m128i out2 = _mm_or_si128(_mm_and_si128(down8, Lane(2)), _mm_and_si128(down4, Lane(5)));
    __m128i* d = reinterpret_cast<__m128i*>(dst);
    _mm_storeu_si128(d, out0);
    _mm_storeu_si128(d + 1, out1);
    _mm_storeu_si128(d + 2, out2);
}

// The Y of eight YcPixel.
static ALWAYS_INLINE __m128i GetY8(const YcPixel* src) {
    const __m128i* s = reinterpret_cast<const __m128i*>(src);
    const __m128i in0 = _mm_loadu_si128(s), in1 = _mm_loadu_si128(s + 1),
                  in2 = _mm_loadu_si128(s + 2);
    const __m128i direct = _mm_or_si128(_mm_and_si128(in0, Lane(0)), _mm_and_si128(in1, Lane(4)));
    const __m128i down4 =
        _mm_srli_si128(_mm_or_si128(_mm_and_si128(in0, Lane(3)), _mm_and_si128(in1, Lane(7))), 4);
    const __m128i up4 =
        _mm_slli_si128(_mm_or_si128(_mm_and_si128(in1, Lane(1)), _mm_and_si128(in2, Lane(5))), 4);
    const __m128i down8 = _mm_srli_si128(_mm_and_si128(in0, Lane(6)), 8);
    const __m128i up8 = _mm_slli_si128(_mm_and_si128(in2, Lane(2)), 8);
    return _mm_or_si128(_mm_or_si128(direct, down4), _mm_or_si128(up4, _mm_or_si128(down8, up8)));
}

// Eight samples as 16-bit lanes, and back.
static ALWAYS_INLINE __m128i Load8(const void* p, int bytes) {
    if (bytes == 1)
        return _mm_unpacklo_epi8(_mm_loadl_epi64(static_cast<const __m128i*>(p)),
                                 _mm_setzero_si128());
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

static ALWAYS_INLINE void Store8(void* p, int bytes, __m128i v) {
    if (bytes == 1)
        _mm_storel_epi64(static_cast<__m128i*>(p), _mm_packus_epi16(v, v));
    else
        _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

// The constants of one mapping, as vectors.
struct VectorMap {
    bool Up;             // N <= F: a plain shift each way
    __m128i Shift;       // |F - N|, as a shift count
    __m128i Sign;        // 0x8000 in every 16-bit lane
    __m128i TopBiased;   // Top ^ 0x8000: unsigned minimum through the signed one
    __m128i Top16;       // Top (Up only: at most 4095)
    __m128i Top32;       // Top in 32-bit lanes
    __m128i ScaleMax16;  // 2^F - 1
    __m128i Half16;      // Up: rounding term of the way back, 2^(F - N - 1) (0 when N = F)
    __m128i Half32;      // not Up: rounding term of the way there, 2^(N - F - 1)
};

static VectorMap MakeVectorMap(const PixelLayout& l) {
    VectorMap m;
    m.Up = l.Bits <= l.ScaleBits;
    const int shift = m.Up ? l.ScaleBits - l.Bits : l.Bits - l.ScaleBits;
    m.Shift = _mm_cvtsi32_si128(shift);
    m.Sign = _mm_set1_epi16(int16_t(0x8000));
    m.TopBiased = _mm_set1_epi16(int16_t(l.Top ^ 0x8000u));
    m.Top16 = _mm_set1_epi16(int16_t(l.Top));
    m.Top32 = _mm_set1_epi32(int32_t(l.Top));
    m.ScaleMax16 = _mm_set1_epi16(int16_t(MaxSample(l.ScaleBits)));
    m.Half16 = _mm_set1_epi16(int16_t(m.Up && shift > 0 ? 1 << (shift - 1) : 0));
    m.Half32 = _mm_set1_epi32(!m.Up ? 1 << (shift - 1) : 0);
    return m;
}

// min(s, Top) on unsigned 16-bit lanes.
static ALWAYS_INLINE __m128i ClampToTop(const VectorMap& m, __m128i s) {
    return _mm_xor_si128(_mm_min_epi16(_mm_xor_si128(s, m.Sign), m.TopBiased), m.Sign);
}

// q = LumaToFilter(min(s, Top)) of eight samples.
static ALWAYS_INLINE __m128i ToFilter8(const VectorMap& m, __m128i s) {
    const __m128i sc = ClampToTop(m, s);
    if (m.Up) return _mm_sll_epi16(sc, m.Shift);
    // (s + half) >> shift needs 17 bits; the result is at most 32768, which the signed pack
    // saturates to 32767, past every scale's maximum anyway.
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo =
        _mm_srl_epi32(_mm_add_epi32(_mm_unpacklo_epi16(sc, zero), m.Half32), m.Shift);
    const __m128i hi =
        _mm_srl_epi32(_mm_add_epi32(_mm_unpackhi_epi16(sc, zero), m.Half32), m.Shift);
    return _mm_min_epi16(_mm_packs_epi32(lo, hi), m.ScaleMax16);
}

// sc + (f - q) << shift, at most Top, for four 32-bit lanes; negative values stay negative
// (the biased pack below takes them to 0).
static ALWAYS_INLINE __m128i AddChange4(const VectorMap& m, __m128i sc, __m128i f, __m128i q) {
    const __m128i v = _mm_add_epi32(sc, _mm_sll_epi32(_mm_sub_epi32(f, q), m.Shift));
    const __m128i over = _mm_cmpgt_epi32(v, m.Top32);
    return _mm_or_si128(_mm_and_si128(over, m.Top32), _mm_andnot_si128(over, v));
}

// GrayFromFilter of eight lanes: filtered f (signed), original s (unsigned).
static ALWAYS_INLINE __m128i FromFilter8(const VectorMap& m, __m128i f, __m128i s) {
    if (m.Up) {
        // Saturating is exact here: past 32767 the shifted value is above Top either way.
        const __m128i v = _mm_sra_epi16(_mm_adds_epi16(f, m.Half16), m.Shift);
        return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), m.Top16);
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i sc = ClampToTop(m, s);
    const __m128i q = ToFilter8(m, sc);
    const __m128i lo =
        AddChange4(m, _mm_unpacklo_epi16(sc, zero), _mm_srai_epi32(_mm_unpacklo_epi16(f, f), 16),
                   _mm_unpacklo_epi16(q, zero));
    const __m128i hi =
        AddChange4(m, _mm_unpackhi_epi16(sc, zero), _mm_srai_epi32(_mm_unpackhi_epi16(f, f), 16),
                   _mm_unpackhi_epi16(q, zero));
    // Through the signed pack shifted down by 32768 and back: negatives saturate to 0.
    const __m128i bias = _mm_set1_epi32(32768);
    return _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(lo, bias), _mm_sub_epi32(hi, bias)), m.Sign);
}

// The same moves with byte shuffles (SSSE3): the zero bytes come from the shuffles' own zeroing.
#define SSSE3_TARGET __attribute__((target("ssse3")))

alignas(16) static const int8_t PutShuffles[3][16] = {
    {0, 1, -128, -128, -128, -128, 2, 3, -128, -128, -128, -128, 4, 5, -128, -128},
    {-128, -128, 6, 7, -128, -128, -128, -128, 8, 9, -128, -128, -128, -128, 10, 11},
    {-128, -128, -128, -128, 12, 13, -128, -128, -128, -128, 14, 15, -128, -128, -128, -128}};
alignas(16) static const int8_t GetShuffles[3][16] = {
    {0, 1, 6, 7, 12, 13, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128},
    {-128, -128, -128, -128, -128, -128, 2, 3, 8, 9, 14, 15, -128, -128, -128, -128},
    {-128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, 4, 5, 10, 11}};

static ALWAYS_INLINE __m128i Shuffle(int k, const int8_t (*table)[16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table[k]));
}

static ALWAYS_INLINE SSSE3_TARGET void PutY8Ssse3(YcPixel* dst, __m128i v) {
    __m128i* d = reinterpret_cast<__m128i*>(dst);
    _mm_storeu_si128(d, _mm_shuffle_epi8(v, Shuffle(0, PutShuffles)));
    _mm_storeu_si128(d + 1, _mm_shuffle_epi8(v, Shuffle(1, PutShuffles)));
    _mm_storeu_si128(d + 2, _mm_shuffle_epi8(v, Shuffle(2, PutShuffles)));
}

static ALWAYS_INLINE SSSE3_TARGET __m128i GetY8Ssse3(const YcPixel* src) {
    const __m128i* s = reinterpret_cast<const __m128i*>(src);
    return _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(_mm_loadu_si128(s), Shuffle(0, GetShuffles)),
                     _mm_shuffle_epi8(_mm_loadu_si128(s + 1), Shuffle(1, GetShuffles))),
        _mm_shuffle_epi8(_mm_loadu_si128(s + 2), Shuffle(2, GetShuffles)));
}

// ---- Rows ---------------------------------------------------------------------------------------

// The two row loops, written once for each way of moving Y in and out of the image.
#define GRAY_PLANE_ROWS(Suffix, Target, PutY, GetY)                                               \
    static Target void GrayPlaneToHost##Suffix(const PixelLayout& l, const void* pixels,          \
                                               YcPixel* image, int capacity, int W, int y0,       \
                                               int y1) {                                          \
        const VectorMap m = MakeVectorMap(l);                                                     \
        for (int y = y0; y < y1; y++) {                                                           \
            const void* row = RowAt(l, pixels, y);                                                \
            YcPixel* dst = image + ptrdiff_t(y) * capacity;                                       \
            int x = 0;                                                                            \
            for (; x + 8 <= W; x += 8)                                                            \
                PutY(dst + x, ToFilter8(m, Load8(static_cast<const uint8_t*>(row) + x * l.Bytes,  \
                                                 l.Bytes)));                                      \
            for (; x < W; x++) dst[x] = YcPixel{GrayToFilter(l, Sample(row, l.Bytes, x)), 0, 0};  \
        }                                                                                         \
    }                                                                                             \
    /* Without Up the original is needed; reading it costs nothing worth a branch. */             \
    static Target void GrayPlaneFromHost##Suffix(const PixelLayout& l, const YcPixel* image,      \
                                                 int capacity, const void* original, void* out,   \
                                                 int W, int y0, int y1) {                         \
        const VectorMap m = MakeVectorMap(l);                                                     \
        for (int y = y0; y < y1; y++) {                                                           \
            const void* row = RowAt(l, original, y);                                              \
            void* outRow = RowAt(l, out, y);                                                      \
            const YcPixel* src = image + ptrdiff_t(y) * capacity;                                 \
            int x = 0;                                                                            \
            for (; x + 8 <= W; x += 8) {                                                          \
                const __m128i s = Load8(static_cast<const uint8_t*>(row) + x * l.Bytes, l.Bytes); \
                Store8(static_cast<uint8_t*>(outRow) + x * l.Bytes, l.Bytes,                      \
                       FromFilter8(m, GetY(src + x), s));                                         \
            }                                                                                     \
            for (; x < W; x++)                                                                    \
                SetSample(outRow, l.Bytes, x,                                                     \
                          GrayFromFilter(l, src[x].Y, Sample(row, l.Bytes, x)));                  \
        }                                                                                         \
    }

GRAY_PLANE_ROWS(Sse2, , PutY8, GetY8)
GRAY_PLANE_ROWS(Ssse3, SSSE3_TARGET, PutY8Ssse3, GetY8Ssse3)

// The processor's SSSE3, asked once; tests can hold the conversions to the SSE2 baseline.
static bool BaselineOnly = false;

void UseBaselineConversions(bool baseline) {
    BaselineOnly = baseline;
}

static bool UseSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has && !BaselineOnly;
}

static void GrayPlaneToHost(const PixelLayout& l, const void* pixels, YcPixel* image, int capacity,
                            int W, int y0, int y1) {
    (UseSsse3() ? GrayPlaneToHostSsse3 : GrayPlaneToHostSse2)(l, pixels, image, capacity, W, y0,
                                                              y1);
}

static void GrayPlaneFromHost(const PixelLayout& l, const YcPixel* image, int capacity,
                              const void* original, void* out, int W, int y0, int y1) {
    (UseSsse3() ? GrayPlaneFromHostSsse3 : GrayPlaneFromHostSse2)(l, image, capacity, original, out,
                                                                  W, y0, y1);
}

// The gray rows for planes of Y: eight words stored or loaded as they are.
void PixelsToPlane(const PixelLayout& layout, const void* pixels, int16_t* plane, ptrdiff_t stride,
                   int W, int y0, int y1) {
    const PixelLayout l = Resolved(layout, W);
    assert(l.Channels == 1);
    const VectorMap m = MakeVectorMap(l);
    for (int y = y0; y < y1; y++) {
        const uint8_t* row = static_cast<const uint8_t*>(RowAt(l, pixels, y));
        int16_t* dst = plane + y * stride;
        int x = 0;
        for (; x + 8 <= W; x += 8)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x),
                             ToFilter8(m, Load8(row + x * l.Bytes, l.Bytes)));
        for (; x < W; x++) dst[x] = GrayToFilter(l, Sample(row, l.Bytes, x));
    }
}

void PixelsFromPlane(const PixelLayout& layout, const int16_t* plane, ptrdiff_t stride,
                     const void* original, void* out, int W, int y0, int y1) {
    const PixelLayout l = Resolved(layout, W);
    assert(l.Channels == 1);
    const VectorMap m = MakeVectorMap(l);
    for (int y = y0; y < y1; y++) {
        const uint8_t* row = static_cast<const uint8_t*>(RowAt(l, original, y));
        uint8_t* outRow = static_cast<uint8_t*>(RowAt(l, out, y));
        const int16_t* src = plane + y * stride;
        int x = 0;
        for (; x + 8 <= W; x += 8) {
            const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
            Store8(outRow + x * l.Bytes, l.Bytes,
                   FromFilter8(m, f, Load8(row + x * l.Bytes, l.Bytes)));
        }
        for (; x < W; x++)
            SetSample(outRow, l.Bytes, x, GrayFromFilter(l, src[x], Sample(row, l.Bytes, x)));
    }
}

// ---- RGB ----------------------------------------------------------------------------------------
//
// LumaValueToFilter and LumaChange written out: ldexp by a power of two is a multiplication by
// it (exact), and nearbyint in the default rounding mode is the processor's conversion, which
// rounds to nearest even as well. Y is summed in the same order, in double.

static ALWAYS_INLINE int32_t RoundEven(double v) {
    return _mm_cvtsd_si32(_mm_set_sd(v));
}

template <typename T, int C>
static void RgbRowsToHost(const PixelLayout& l, const void* pixels, YcPixel* image, int capacity,
                          int W, int y0, int y1) {
    const double scale = ldexp(1.0, l.ScaleBits - l.Bits);
    const int32_t scaleMax = int32_t(MaxSample(l.ScaleBits));
    for (int y = y0; y < y1; y++) {
        const T* row = static_cast<const T*>(RowAt(l, pixels, y));
        YcPixel* dst = image + ptrdiff_t(y) * capacity;
        for (int x = 0; x < W; x++) {
            const T* p = row + ptrdiff_t(x) * C;
            const double Y = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            const int32_t q = RoundEven(Y * scale);
            dst[x] = YcPixel{int16_t(q > scaleMax ? scaleMax : q), 0, 0};  // Y >= 0
        }
    }
}

template <typename T, int C>
static void RgbRowsFromHost(const PixelLayout& l, const YcPixel* image, int capacity,
                            const void* original, void* out, int W, int y0, int y1) {
    const double scale = ldexp(1.0, l.ScaleBits - l.Bits);
    const double unscale = ldexp(1.0, l.Bits - l.ScaleBits);
    const int32_t scaleMax = int32_t(MaxSample(l.ScaleBits));
    const int32_t top = int32_t(l.Top);
    for (int y = y0; y < y1; y++) {
        const T* row = static_cast<const T*>(RowAt(l, original, y));
        T* outRow = static_cast<T*>(RowAt(l, out, y));
        const YcPixel* src = image + ptrdiff_t(y) * capacity;
        for (int x = 0; x < W; x++) {
            const T* p = row + ptrdiff_t(x) * C;
            T* o = outRow + ptrdiff_t(x) * C;
            const T r = p[0], g = p[1], b = p[2];
            if (C == 4) o[3] = p[3];
            const int32_t rounded = RoundEven((0.299 * r + 0.587 * g + 0.114 * b) * scale);
            const int32_t q = rounded > scaleMax ? scaleMax : rounded;
            const int32_t e = src[x].Y - q;
            if (e == 0) {
                o[0] = r;
                o[1] = g;
                o[2] = b;
                continue;
            }
            // o + e * 2^(N - F) is exact in double; rounded as nearbyint would.
            const double d = double(e) * unscale;
            const int32_t v0 = RoundEven(r + d), v1 = RoundEven(g + d), v2 = RoundEven(b + d);
            o[0] = T(v0 < 0 ? 0 : v0 > top ? top : v0);
            o[1] = T(v1 < 0 ? 0 : v1 > top ? top : v1);
            o[2] = T(v2 < 0 ? 0 : v2 > top ? top : v2);
        }
    }
}

// ---- 8-bit RGBA on the 12-bit scale, eight pixels at a time ------------------------------------
//
// The frei0r plug-in's and RGBA PNGs' case. Integers and single floats give exactly what the
// double arithmetic above gives:
//
//   q = round(16 Y) with Y = 0.299 R + 0.587 G + 0.114 B is round(S x 0.016), S = 299 R + 587 G +
//       114 B (0 .. 255000, exact in float). 2S / 125 is never within 1/250 of a half-integer
//       (4S - 125 (2k + 1) is odd, so not 0), and S x 0.016f is off by at most 4080 x 2^-23: both
//       round to the same integer, and no tie arises where nearest-even could matter.
//   out = round-half-even(p + (f - q) / 16) = (n + 7 + ((n >> 4) & 1)) >> 4 with n = 16 p + f - q,
//       clamped to 0 .. 255. Saturating 16-bit arithmetic only bites where the result clamps.
//
// The test compares both directions with the double arithmetic for every R, G, B and every change.

// q of the four pixels of v (bytes R, G, B, A): S x 0.016 rounded, in four 32-bit lanes.
static ALWAYS_INLINE __m128i RgbaQ4(__m128i v) {
    const __m128i weights = _mm_setr_epi16(299, 587, 114, 0, 299, 587, 114, 0);
    const __m128i zero = _mm_setzero_si128();
    const __m128 lo = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weights));
    const __m128 hi = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weights));
    // Lanes 0, 2 of each madd hold 299 R + 587 G, lanes 1, 3 hold 114 B.
    const __m128i S =
        _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0))),
                      _mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))));
    return _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(S), _mm_set1_ps(0.016f)));
}

// The same for one pixel, and the way back for one channel sample p with change e.
static ALWAYS_INLINE int32_t RgbaQ1(const uint8_t* p) {
    const int32_t S = 299 * p[0] + 587 * p[1] + 114 * p[2];
    return _mm_cvtss_si32(_mm_mul_ss(_mm_cvtsi32_ss(_mm_setzero_ps(), S), _mm_set_ss(0.016f)));
}

static ALWAYS_INLINE int32_t RgbaOut1(int32_t p, int32_t e) {
    const int32_t n = 16 * p + e, v = (n + 7 + ((n >> 4) & 1)) >> 4;
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

// The four pixels of v (bytes R, G, B, A) moved by their changes: e4 holds pixel k's change in
// 16-bit lanes 2k and 2k + 1. Alpha is kept.
static ALWAYS_INLINE __m128i RgbaMove4(__m128i v, __m128i e4) {
    const __m128i zero = _mm_setzero_si128(), seven = _mm_set1_epi16(7), one = _mm_set1_epi16(1);
    // Each change in its pixel's four channel lanes.
    const __m128i elo = _mm_unpacklo_epi32(e4, e4), ehi = _mm_unpackhi_epi32(e4, e4);
    __m128i n[2] = {_mm_adds_epi16(_mm_slli_epi16(_mm_unpacklo_epi8(v, zero), 4), elo),
                    _mm_adds_epi16(_mm_slli_epi16(_mm_unpackhi_epi8(v, zero), 4), ehi)};
    for (__m128i& x : n)
        x = _mm_srai_epi16(
            _mm_adds_epi16(_mm_adds_epi16(x, seven), _mm_and_si128(_mm_srai_epi16(x, 4), one)), 4);
    const __m128i alpha = _mm_set1_epi32(int32_t(0xFF000000u));
    return _mm_or_si128(_mm_andnot_si128(alpha, _mm_packus_epi16(n[0], n[1])),
                        _mm_and_si128(alpha, v));
}

static void Rgba8RowsToHost(const PixelLayout& l, const void* pixels, YcPixel* image, int capacity,
                            int W, int y0, int y1) {
    for (int y = y0; y < y1; y++) {
        const uint8_t* row = static_cast<const uint8_t*>(RowAt(l, pixels, y));
        YcPixel* dst = image + ptrdiff_t(y) * capacity;
        int x = 0;
        for (; x + 8 <= W; x += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x + 16));
            PutY8(dst + x, _mm_packs_epi32(RgbaQ4(a), RgbaQ4(b)));
        }
        for (; x < W; x++) dst[x] = YcPixel{int16_t(RgbaQ1(row + 4 * x)), 0, 0};
    }
}

static void Rgba8RowsFromHost(const PixelLayout& l, const YcPixel* image, int capacity,
                              const void* original, void* out, int W, int y0, int y1) {
    for (int y = y0; y < y1; y++) {
        const uint8_t* row = static_cast<const uint8_t*>(RowAt(l, original, y));
        uint8_t* outRow = static_cast<uint8_t*>(RowAt(l, out, y));
        const YcPixel* src = image + ptrdiff_t(y) * capacity;
        int x = 0;
        for (; x + 8 <= W; x += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x + 16));
            const __m128i e = _mm_subs_epi16(GetY8(src + x), _mm_packs_epi32(RgbaQ4(a), RgbaQ4(b)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(outRow + 4 * x),
                             RgbaMove4(a, _mm_unpacklo_epi16(e, e)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(outRow + 4 * x + 16),
                             RgbaMove4(b, _mm_unpackhi_epi16(e, e)));
        }
        for (; x < W; x++) {
            const uint8_t* p = row + 4 * x;
            uint8_t* o = outRow + 4 * x;
            const int32_t e = src[x].Y - RgbaQ1(p);
            const uint8_t alpha = p[3];
            for (int c = 0; c < 3; c++) o[c] = uint8_t(RgbaOut1(p[c], e));
            o[3] = alpha;
        }
    }
}

// The layouts the functions above serve.
static bool IsRgba8(const PixelLayout& l) {
    return l.Channels == 4 && l.Bytes == 1 && l.Bits == 8 && l.Top == 255 &&
           l.ScaleBits == FilterScaleBits;
}

void PixelsToHost(const PixelLayout& layout, const void* pixels, YcPixel* image, int capacity,
                  int W, int y0, int y1) {
    const PixelLayout l = Resolved(layout, W);
    if (l.Channels == 1) return GrayPlaneToHost(l, pixels, image, capacity, W, y0, y1);
    if (l.Channels == 2) {
        for (int y = y0; y < y1; y++) {
            const void* row = RowAt(l, pixels, y);
            YcPixel* dst = image + ptrdiff_t(y) * capacity;
            for (int x = 0; x < W; x++)
                dst[x] = YcPixel{GrayToFilter(l, Sample(row, l.Bytes, ptrdiff_t(x) * 2)), 0, 0};
        }
        return;
    }
    if (IsRgba8(l)) return Rgba8RowsToHost(l, pixels, image, capacity, W, y0, y1);
    const bool alpha = l.Channels == 4;
    if (l.Bytes == 1)
        (alpha ? RgbRowsToHost<uint8_t, 4> : RgbRowsToHost<uint8_t, 3>)(l, pixels, image, capacity,
                                                                        W, y0, y1);
    else
        (alpha ? RgbRowsToHost<uint16_t, 4> : RgbRowsToHost<uint16_t, 3>)(l, pixels, image,
                                                                          capacity, W, y0, y1);
}

void PixelsFromHost(const PixelLayout& layout, const YcPixel* image, int capacity,
                    const void* original, void* out, int W, int y0, int y1) {
    const PixelLayout l = Resolved(layout, W);
    if (l.Channels == 1) return GrayPlaneFromHost(l, image, capacity, original, out, W, y0, y1);
    if (l.Channels == 2) {
        const int B = l.Bytes;
        for (int y = y0; y < y1; y++) {
            const void* row = RowAt(l, original, y);
            void* outRow = RowAt(l, out, y);
            const YcPixel* src = image + ptrdiff_t(y) * capacity;
            for (int x = 0; x < W; x++) {
                const ptrdiff_t i = ptrdiff_t(x) * 2;
                SetSample(outRow, B, i + 1, Sample(row, B, i + 1));
                SetSample(outRow, B, i, GrayFromFilter(l, src[x].Y, Sample(row, B, i)));
            }
        }
        return;
    }
    if (IsRgba8(l)) return Rgba8RowsFromHost(l, image, capacity, original, out, W, y0, y1);
    const bool alpha = l.Channels == 4;
    if (l.Bytes == 1)
        (alpha ? RgbRowsFromHost<uint8_t, 4>
               : RgbRowsFromHost<uint8_t, 3>)(l, image, capacity, original, out, W, y0, y1);
    else
        (alpha ? RgbRowsFromHost<uint16_t, 4>
               : RgbRowsFromHost<uint16_t, 3>)(l, image, capacity, original, out, W, y0, y1);
}

int32_t FilterPixels(SubstituteHost* host, const PixelLayout& layout, const void* in, void* out,
                     int W, int H) {
    if (host->HasPlanes() && Resolved(layout, W).Channels == 1) {
        // A third of the bytes through memory each way: the library's plane entry.
        const ptrdiff_t stride = (W + 31) & ~31;
        int16_t* const plane = host->PlaneScratch(0, size_t(stride) * size_t(H));
        int16_t* const filtered = host->PlaneScratch(1, size_t(stride) * size_t(H));
        host->RunRows(H, W,
                      [&](int y0, int y1) { PixelsToPlane(layout, in, plane, stride, W, y0, y1); });
        const int32_t result = host->ProcessPlane(plane, filtered, W, H, int(stride));
        if (result != 1) return result;
        host->RunRows(H, W, [&](int y0, int y1) {
            PixelsFromPlane(layout, filtered, stride, in, out, W, y0, y1);
        });
        return result;
    }
    FrameInfo& frame = host->Frame();
    if (frame.Edit == nullptr || frame.Width != W || frame.Height != H || !host->OwnImages())
        host->AllocateImages(W, H, (W + 7) & ~7);
    const int capacity = host->Capacity();
    host->RunRows(
        H, W, [&](int y0, int y1) { PixelsToHost(layout, in, host->Edit(), capacity, W, y0, y1); });
    const int32_t result = host->Process();
    if (result != 1) return result;
    host->RunRows(H, W, [&](int y0, int y1) {
        PixelsFromHost(layout, host->Edit(), capacity, in, out, W, y0, y1);
    });
    return result;
}

// Memory for a frame's image or plane, 64-byte aligned; large ones ask for huge pages, which
// spares most of the page faults of a frame's first use. Throws std::bad_alloc.
static void* FrameMemory(size_t bytes) {
    const size_t Huge = size_t(2) << 20;
    const size_t alignment = bytes >= Huge ? Huge : 64;
    void* memory = nullptr;
    const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    if (posix_memalign(&memory, alignment, rounded < 64 ? 64 : rounded) != 0)
        throw std::bad_alloc();
    if (alignment == Huge) madvise(memory, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
    return memory;
}

void SizeHostImage(HostImage* image, int W, int H) {
    if (image->Pixels != nullptr && image->Width == W && image->Height == H) return;
    const int capacity = (W + 7) & ~7;
    void* memory = FrameMemory(size_t(capacity) * size_t(H) * sizeof(YcPixel));
    image->Memory.reset(static_cast<uint8_t*>(memory));
    image->Pixels = static_cast<YcPixel*>(memory);
    image->Width = W;
    image->Height = H;
    image->Capacity = capacity;
    for (int y = 0; y < H; y++)
        memset(image->Pixels + size_t(y) * capacity + W, 0, size_t(capacity - W) * sizeof(YcPixel));
}

void SizeYPlane(YPlane* plane, int W, int H) {
    if (plane->Samples != nullptr && plane->Width == W && plane->Height == H) return;
    const int stride = (W + 31) & ~31;
    void* memory = FrameMemory(size_t(stride) * size_t(H) * sizeof(int16_t));
    plane->Memory.reset(static_cast<int16_t*>(memory));
    plane->Samples = static_cast<int16_t*>(memory);
    plane->Width = W;
    plane->Height = H;
    plane->Stride = stride;
}

int32_t FilterYPlane(SubstituteHost* host, YPlane* plane, YPlane* spare) {
    SizeYPlane(spare, plane->Width, plane->Height);
    const int32_t result = host->ProcessPlane(plane->Samples, spare->Samples, plane->Width,
                                              plane->Height, plane->Stride);
    if (result == 1) std::swap(*plane, *spare);
    return result;
}

int32_t FilterHostImage(SubstituteHost* host, HostImage* image, HostImage* spare) {
    SizeHostImage(spare, image->Width, image->Height);
    host->UseImages(image->Pixels, spare->Pixels, image->Width, image->Height, image->Capacity);
    const int32_t result = host->Process();
    // The module hands its result back as Edit, and may or may not have exchanged the two.
    if (result == 1 && host->Edit() == spare->Pixels) std::swap(*image, *spare);
    return result;
}
