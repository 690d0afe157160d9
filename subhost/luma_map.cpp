// luma_map.cpp: N-bit luma samples to the filter's luma scale and back
#include "luma_map.h"

#include <math.h>

int16_t LumaToFilter(uint32_t s, int bits, int scaleBits) {
    const uint32_t top = MaxSample(bits);
    if (s > top) s = top;
    if (bits <= scaleBits) return int16_t(s << (scaleBits - bits));
    const int shift = bits - scaleBits;
    const uint32_t q = (s + (1u << (shift - 1))) >> shift;
    const uint32_t scaleMax = MaxSample(scaleBits);
    return int16_t(q > scaleMax ? scaleMax : q);
}

uint32_t LumaFromFilter(int32_t f, uint32_t s, int bits, int scaleBits) {
    const int64_t top = MaxSample(bits);
    int64_t out;
    if (bits <= scaleBits) {
        const int shift = scaleBits - bits;
        // Round half up; the arithmetic shift floors negative values, which then clamp to 0.
        out = shift == 0 ? f : (int64_t(f) + (int64_t(1) << (shift - 1))) >> shift;
    } else {
        const int32_t q = LumaToFilter(s, bits, scaleBits);
        out = int64_t(s > top ? top : s) + (int64_t(f) - q) * (int64_t(1) << (bits - scaleBits));
    }
    return uint32_t(out < 0 ? 0 : out > top ? top : out);
}

int16_t LumaValueToFilter(double Y, int bits, int scaleBits) {
    const double q = nearbyint(ldexp(Y, scaleBits - bits));
    const double scaleMax = MaxSample(scaleBits);
    return int16_t(q < 0 ? 0 : q > scaleMax ? scaleMax : q);
}

double LumaChange(int32_t f, int16_t q, int bits, int scaleBits) {
    return ldexp(double(f) - double(q), bits - scaleBits);
}
