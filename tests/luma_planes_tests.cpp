// luma_planes_tests.cpp: the shared conversions against the plain mapping functions
//
// Every shape (plane, gray + alpha, RGB, RGBA), sample size, depth 1 to 16, luma scale 12 and
// below, and widths ending the eight-pixel vectors at every position, on random content that
// covers the whole sample range, samples over Top, and filter results far outside it. The
// references are written from luma_map.h's functions alone.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <random>
#include <vector>

#include "../subhost/luma_planes.h"
#include "../subhost/substitute_host.h"

namespace {

unsigned Seed() {
    static const unsigned seed = [] {
        const char* s = getenv("TESSIVAL_SEED");
        const unsigned v = s ? unsigned(strtoul(s, nullptr, 0)) : std::random_device()();
        printf("luma_planes_tests: seed %u (set TESSIVAL_SEED to repeat)\n", v);
        return v;
    }();
    return seed;
}

const int16_t Guard = 0x5A5A;

struct Case {
    int W, H, capacity;
    PixelLayout l;
    std::string Name() const {
        char s[160];
        snprintf(s, sizeof s, "W=%d H=%d N=%d bytes=%d C=%d top=%u F=%d seed=%u", W, H, l.Bits,
                 l.Bytes, l.Channels, l.Top, l.ScaleBits, Seed());
        return s;
    }
};

uint32_t TopOf(const PixelLayout& l) {
    return l.Top == 0 ? MaxSample(l.Bits) : l.Top;
}

// Random samples: mostly within 0 .. Top, some over it (up to what the sample size holds).
std::vector<uint16_t> RandomSamples(const Case& c, size_t n, std::mt19937* rng) {
    const uint32_t top = TopOf(c.l), most = c.l.Bytes == 1 ? 255 : 65535;
    std::vector<uint16_t> v(n);
    for (uint16_t& s : v) {
        const uint32_t r = (*rng)() % 16;
        s = uint16_t(r == 0   ? top - (*rng)() % 3
                     : r == 1 ? (*rng)() % 3
                     : r == 2 ? top + (*rng)() % (most - top + 1)
                              : (*rng)() % (top + 1));
    }
    return v;
}

// Samples stored with the layout's sample size, with trailing padding in each row.
std::vector<uint8_t> Pack(const Case& c, const std::vector<uint16_t>& s) {
    std::vector<uint8_t> bytes(s.size() * c.l.Bytes);
    for (size_t i = 0; i < s.size(); i++) {
        if (c.l.Bytes == 1)
            bytes[i] = uint8_t(s[i]);
        else
            memcpy(&bytes[2 * i], &s[i], 2);
    }
    return bytes;
}

uint16_t Unpacked(const Case& c, const std::vector<uint8_t>& b, size_t i) {
    if (c.l.Bytes == 1) return b[i];
    uint16_t v;
    memcpy(&v, &b[2 * i], 2);
    return v;
}

// The reference: what each pixel of the host image must hold.
int16_t RefToFilter(const Case& c, const std::vector<uint16_t>& s, size_t p) {
    const int C = c.l.Channels, N = c.l.Bits, F = c.l.ScaleBits;
    const uint32_t top = TopOf(c.l);
    if (C <= 2) return LumaToFilter(std::min<uint32_t>(s[p * C], top), N, F);
    const double Y = 0.299 * s[p * C] + 0.587 * s[p * C + 1] + 0.114 * s[p * C + 2];
    return LumaValueToFilter(Y, N, F);
}

// The reference way back for one sample of channel k of pixel p, given the filter's f.
uint32_t RefFromFilter(const Case& c, const std::vector<uint16_t>& s, size_t p, int k, int16_t f) {
    const int C = c.l.Channels, N = c.l.Bits, F = c.l.ScaleBits;
    const uint32_t top = TopOf(c.l);
    const uint32_t o = s[p * C + k];
    if ((C == 2 && k == 1) || (C == 4 && k == 3)) return o;  // alpha
    if (C <= 2) return std::min<uint32_t>(LumaFromFilter(f, std::min(o, top), N, F), top);
    const int16_t q = RefToFilter(c, s, p);
    if (f == q) return o;
    const double v = nearbyint(o + LumaChange(f, q, N, F));
    return uint32_t(v < 0 ? 0 : v > top ? top : v);
}

// Runs both directions on one geometry and compares every sample. Rows are converted in two
// ranges to check that a split changes nothing; out-of-place output checks that nothing but
// the pixels is written. `plane`: through a plane of Y (rows capacity samples apart) instead of
// an image, for planes of one channel.
void CheckCase(const Case& c, std::mt19937* rng, bool inPlace, bool plane = false) {
    SCOPED_TRACE(c.Name() + (inPlace ? " in place" : " to another buffer") +
                 (plane ? ", plane of Y" : ", image"));
    const size_t pixels = size_t(c.W) * c.H, n = pixels * c.l.Channels;
    const std::vector<uint16_t> s = RandomSamples(c, n, rng);
    const std::vector<uint8_t> in = Pack(c, s);
    std::vector<YcPixel> image(size_t(c.capacity) * c.H + 8, YcPixel{Guard, Guard, Guard});
    std::vector<int16_t> ys(size_t(c.capacity) * c.H + 8, Guard);
    const int split = c.H / 2;
    auto to = [&](int y0, int y1) {
        if (plane)
            PixelsToPlane(c.l, in.data(), ys.data(), c.capacity, c.W, y0, y1);
        else
            PixelsToHost(c.l, in.data(), image.data(), c.capacity, c.W, y0, y1);
    };
    to(0, split);
    to(split, c.H);
    // Y of pixel i of the image or plane; the other two words of an image's pixel.
    auto y_at = [&](size_t i) -> int16_t& { return plane ? ys[i] : image[i].Y; };
    for (int y = 0; y < c.H; y++) {
        for (int x = 0; x < c.capacity; x++) {
            const size_t i = size_t(y) * c.capacity + x;
            const YcPixel px = plane ? YcPixel{ys[i], 0, 0} : image[i];
            if (x >= c.W) {
                ASSERT_TRUE(px.Y == Guard && (plane || (px.Cb == Guard && px.Cr == Guard)))
                    << "written past W at x=" << x << " y=" << y;
                continue;
            }
            const int16_t want = RefToFilter(c, s, size_t(y) * c.W + x);
            ASSERT_TRUE(px.Y == want && px.Cb == 0 && px.Cr == 0)
                << "to the filter at x=" << x << " y=" << y << ": " << px.Y << " " << px.Cb << " "
                << px.Cr << ", want " << want;
        }
    }
    if (plane) {
        ASSERT_EQ(ys.back(), Guard) << "written past the last row";
    }
    // Filter results: near the mapped value as a filter leaves them, and anywhere in int16.
    for (int y = 0; y < c.H; y++) {
        for (int x = 0; x < c.W; x++) {
            int16_t& f = y_at(size_t(y) * c.capacity + x);
            const uint32_t r = (*rng)() % 8;
            f = r == 0 ? int16_t((*rng)() & 0xFFFF) : int16_t(f + int((*rng)() % 41) - 20);
        }
    }
    std::vector<uint8_t> out = inPlace ? in : std::vector<uint8_t>(in.size(), 0xA5);
    const void* original = inPlace ? static_cast<const void*>(out.data()) : in.data();
    auto back = [&](int y0, int y1) {
        if (plane)
            PixelsFromPlane(c.l, ys.data(), c.capacity, original, out.data(), c.W, y0, y1);
        else
            PixelsFromHost(c.l, image.data(), c.capacity, original, out.data(), c.W, y0, y1);
    };
    back(split, c.H);
    back(0, split);
    for (size_t p = 0; p < pixels; p++) {
        const int16_t f = y_at((p / c.W) * c.capacity + p % c.W);
        for (int k = 0; k < c.l.Channels; k++) {
            const uint32_t got = Unpacked(c, out, p * c.l.Channels + k);
            const uint32_t want = RefFromFilter(c, s, p, k, f);
            ASSERT_EQ(got, want) << "back at x=" << p % c.W << " y=" << p / c.W << " channel " << k
                                 << ": sample " << s[p * c.l.Channels + k] << ", f " << f;
        }
    }
}

// Planes take byte shuffles where the processor has them and the SSE2 moves otherwise: both
// paths are held to the plain mapping.
TEST(LumaPlanes, PlanesMatchThePlainMappingAtEveryDepthScaleAndTail) {
    std::mt19937 rng(Seed());
    for (bool baseline : {false, true}) {
        SCOPED_TRACE(baseline ? "SSE2 baseline" : "the processor's best path");
        UseBaselineConversions(baseline);
        for (int F : {12, 10, 8}) {
            for (int N = 1; N <= 16; N++) {
                for (int bytes = 1; bytes <= 2; bytes++) {
                    if (bytes == 1 && N > 8) continue;
                    for (int W = 1; W <= 26; W++) {
                        Case c{W, 3, (W + 7) & ~7, {}};
                        if (W % 8 == 0) c.capacity += 8;  // guard columns past W
                        c.l.Bits = N;
                        c.l.Bytes = bytes;
                        c.l.ScaleBits = F;
                        CheckCase(c, &rng, W % 2 == 0);
                        if (!baseline) CheckCase(c, &rng, W % 3 == 0, true);
                        if (HasFatalFailure()) return UseBaselineConversions(false);
                    }
                }
            }
        }
    }
    UseBaselineConversions(false);
}

TEST(LumaPlanes, PlanesWithAMaximumBelowTheDepthsTake) {
    std::mt19937 rng(Seed() + 1);
    // A PGM's maxval: samples over it are taken as it, results never pass it.
    const struct {
        int N, bytes;
        uint32_t top;
    } tops[] = {{8, 1, 200},   {8, 2, 100},    {10, 2, 1000},  {12, 2, 3001},
                {13, 2, 5000}, {16, 2, 40000}, {16, 2, 65534}, {4, 1, 9}};
    for (bool baseline : {false, true}) {
        UseBaselineConversions(baseline);
        for (const auto& t : tops) {
            for (int W : {7, 8, 9, 17, 64}) {
                for (int F : {12, 9}) {
                    Case c{W, 4, W + 3, {}};
                    c.l.Bits = t.N;
                    c.l.Bytes = t.bytes;
                    c.l.Top = t.top;
                    c.l.ScaleBits = F;
                    CheckCase(c, &rng, true);
                    if (!baseline) CheckCase(c, &rng, W % 2 == 0, true);
                    if (HasFatalFailure()) return UseBaselineConversions(false);
                }
            }
        }
    }
    UseBaselineConversions(false);
}

TEST(LumaPlanes, GrayAlphaRgbAndRgbaMatchTheReferenceAndKeepAlpha) {
    std::mt19937 rng(Seed() + 2);
    for (int C = 2; C <= 4; C++) {
        for (int bytes = 1; bytes <= 2; bytes++) {
            for (int N : {8, 16, 10}) {
                if (bytes == 1 && N > 8) continue;
                for (int F : {12, 10}) {
                    for (int W : {1, 5, 8, 13}) {
                        Case c{W, 3, W + 2, {}};
                        c.l.Bits = N;
                        c.l.Bytes = bytes;
                        c.l.Channels = C;
                        c.l.ScaleBits = F;
                        CheckCase(c, &rng, W % 2 == 1);
                        if (HasFatalFailure()) return;
                    }
                }
            }
        }
    }
}

TEST(LumaPlanes, ARowStrideLeavesTheGapsAlone) {
    const int W = 11, H = 3, stride = 16;
    std::vector<uint16_t> plane(size_t(stride) * H);
    for (size_t i = 0; i < plane.size(); i++) plane[i] = uint16_t(i * 37 % 1024);
    PixelLayout l;
    l.Bits = 10;
    l.Bytes = 2;
    l.Stride = stride;
    std::vector<YcPixel> image(size_t(W) * H);
    PixelsToHost(l, plane.data(), image.data(), W, W, 0, H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            ASSERT_EQ(image[size_t(y) * W + x].Y, LumaToFilter(plane[size_t(y) * stride + x], 10));
    for (YcPixel& p : image) p.Y = int16_t(p.Y + 9);
    std::vector<uint16_t> out(plane.size(), 0xBEEF);
    PixelsFromHost(l, image.data(), W, plane.data(), out.data(), W, 0, H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < stride; x++)
            ASSERT_EQ(out[size_t(y) * stride + x],
                      x < W ? LumaFromFilter(image[size_t(y) * W + x].Y, 0, 10) : 0xBEEFu);
}

TEST(LumaMap, AReducedScaleActsAsAStrongerFilter) {
    // F = 10: a quarter of the 12-bit scale.
    EXPECT_EQ(LumaToFilter(255, 8, 10), 1020);
    EXPECT_EQ(LumaToFilter(1023, 10, 10), 1023);
    EXPECT_EQ(LumaToFilter(4095, 12, 10), 1023);  // 1023.75 rounds up past 1023, then clamps
    EXPECT_EQ(LumaToFilter(4093, 12, 10), 1023);
    EXPECT_EQ(LumaToFilter(4089, 12, 10), 1022);  // 1022.25
    EXPECT_EQ(LumaFromFilter(1022, 4089, 12, 10), 4089u);
    EXPECT_EQ(LumaFromFilter(1023, 4089, 12, 10), 4093u);
    EXPECT_EQ(LumaFromFilter(6, 0, 8, 10), 2u);  // 1.5 rounds up
    EXPECT_EQ(LumaFromFilter(5, 0, 8, 10), 1u);
    EXPECT_EQ(LumaValueToFilter(300.0, 8, 10), 1023);
    EXPECT_DOUBLE_EQ(LumaChange(1000, 1001, 16, 10), -64.0);
    for (int F : {10, 8, 4}) {
        for (int N = 1; N <= 16; N++) {
            for (uint32_t s = 0; s <= MaxSample(N); s++) {
                const uint32_t back = LumaFromFilter(LumaToFilter(s, N, F), s, N, F);
                if (back != s)
                    FAIL() << N << "-bit sample " << s << " at F=" << F << " -> " << back;
            }
        }
    }
}

TEST(SubstituteHostRows, EveryRowRunsOnceWhateverTheSplit) {
    for (int threads : {1, 2, 3, 8}) {
        SubstituteHost host(threads);
        for (int rows : {1, 2, 7, 64, 1081}) {
            for (int width : {1, 1920}) {
                std::vector<std::atomic<int>> seen(static_cast<size_t>(rows));
                std::atomic<int> calls(0);
                host.RunRows(rows, width, [&](int y0, int y1) {
                    calls++;
                    for (int y = y0; y < y1; y++) seen[size_t(y)]++;
                });
                for (int y = 0; y < rows; y++)
                    ASSERT_EQ(seen[size_t(y)].load(), 1)
                        << "row " << y << " of " << rows << ", " << threads << " threads";
                // Large jobs spread over the pool; small ones stay on the caller.
                const bool spread = threads > 1 && rows >= threads && rows * width >= 65536;
                if (spread) {
                    EXPECT_EQ(calls.load(), threads);
                }
                if (rows * width < 65536) {
                    EXPECT_EQ(calls.load(), 1);
                }
            }
        }
    }
}

}  // namespace
