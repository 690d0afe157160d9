// luma_map.cpp: N-bit luma samples to the filter's 12-bit scale and back
#include "luma_map.h"

#include <math.h>

static const int FilterBits = 12;
static const int FilterMax = 4095;

int16_t LumaToFilter(uint32_t s, int bits) {
    const uint32_t top = MaxSample(bits);
    if (s > top) s = top;
    if (bits <= FilterBits) return int16_t(s << (FilterBits - bits));
    const int shift = bits - FilterBits;
    const uint32_t q = (s + (1u << (shift - 1))) >> shift;
    return int16_t(q > uint32_t(FilterMax) ? uint32_t(FilterMax) : q);
}

uint32_t LumaFromFilter(int32_t f, uint32_t s, int bits) {
    const int64_t top = MaxSample(bits);
    int64_t out;
    if (bits <= FilterBits) {
        const int shift = FilterBits - bits;
        // Round half up; the arithmetic shift floors negative values, which then clamp to 0.
        out = shift == 0 ? f : (int64_t(f) + (int64_t(1) << (shift - 1))) >> shift;
    } else {
        const int32_t q = LumaToFilter(s, bits);
        out = int64_t(s > top ? top : s) + (int64_t(f) - q) * (int64_t(1) << (bits - FilterBits));
    }
    return uint32_t(out < 0 ? 0 : out > top ? top : out);
}

int16_t LumaValueToFilter(double Y, int bits) {
    const double q = nearbyint(ldexp(Y, FilterBits - bits));
    return int16_t(q < 0 ? 0 : q > FilterMax ? FilterMax : q);
}

double LumaChange(int32_t f, int16_t q, int bits) {
    return ldexp(double(f) - double(q), bits - FilterBits);
}
