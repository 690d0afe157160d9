// rgba8_tests.cpp: 8-bit RGBA to the host's luma and back, exhaustively against the double path
//
// The eight-pixel RGBA path replaces double arithmetic with integers and single floats; its
// header comment argues why the results agree. Here they are compared for every R, G, B on the
// way in, and for every sample and every change the filter can make on the way back, with the
// reference written from luma_map.h's functions alone.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>

#include <random>
#include <vector>

#include "../subhost/luma_planes.h"

namespace {

PixelLayout Rgba8() {
    PixelLayout l;
    l.Bits = 8;
    l.Bytes = 1;
    l.Channels = 4;
    return l;
}

int16_t QRef(const uint8_t* p) {
    return LumaValueToFilter(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2], 8);
}

// The double path of one pixel: the filter's change added to R, G and B, alpha kept.
void MoveRef(const uint8_t* p, int16_t f, uint8_t* o) {
    const int16_t q = QRef(p);
    const double d = LumaChange(f, q, 8);
    for (int c = 0; c < 3; c++) {
        const double v = nearbyint(p[c] + d);
        o[c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    o[3] = p[3];
}

TEST(Rgba8, EveryColourMapsAsTheDoublePathDoes) {
    // One 256 x 256 image per blue value: red by row, green by column.
    const int W = 256, H = 256;
    std::vector<uint8_t> pixels(size_t(W) * H * 4);
    std::vector<YcPixel> image(size_t(W) * H);
    int wrong = 0;
    for (int b = 0; b < 256; b++) {
        for (int r = 0; r < 256; r++)
            for (int g = 0; g < 256; g++) {
                uint8_t* p = &pixels[(size_t(r) * W + g) * 4];
                p[0] = uint8_t(r), p[1] = uint8_t(g), p[2] = uint8_t(b), p[3] = uint8_t(r ^ g);
            }
        PixelsToHost(Rgba8(), pixels.data(), image.data(), W, W, 0, H);
        for (size_t i = 0; i < image.size(); i++) {
            const uint8_t* p = &pixels[i * 4];
            if (image[i].Y != QRef(p) || image[i].Cb != 0 || image[i].Cr != 0) {
                if (++wrong <= 5)
                    ADD_FAILURE() << "R=" << int(p[0]) << " G=" << int(p[1]) << " B=" << int(p[2])
                                  << ": " << image[i].Y << ", want " << QRef(p);
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(Rgba8, EveryChangeComesBackAsTheDoublePathGivesIt) {
    // Grey pixels p (q = 16 p) against every filter result from -4200 to 8300, past both ends
    // of the 12-bit scale, so every change e = f - q of every sample is met; then the rows again
    // in place.
    const int F0 = -4200, F1 = 8300, W = F1 - F0, H = 256;
    std::vector<uint8_t> pixels(size_t(W) * H * 4), out(pixels.size(), 0xEE);
    std::vector<YcPixel> image(size_t(W) * H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            uint8_t* p = &pixels[(size_t(y) * W + x) * 4];
            p[0] = p[1] = p[2] = uint8_t(y);
            p[3] = uint8_t(x * 7);
            image[size_t(y) * W + x] = YcPixel{int16_t(F0 + x), 0, 0};
        }
    PixelsFromHost(Rgba8(), image.data(), W, pixels.data(), out.data(), W, 0, H);
    int wrong = 0;
    for (size_t i = 0; i < image.size(); i++) {
        uint8_t want[4];
        MoveRef(&pixels[i * 4], image[i].Y, want);
        if (memcmp(want, &out[i * 4], 4) != 0 && ++wrong <= 5)
            ADD_FAILURE() << "p=" << int(pixels[i * 4]) << " f=" << image[i].Y << ": "
                          << int(out[i * 4]) << ", want " << int(want[0]);
    }
    EXPECT_EQ(wrong, 0);
    PixelsFromHost(Rgba8(), image.data(), W, pixels.data(), pixels.data(), W, 0, H);
    EXPECT_EQ(pixels, out) << "in place";
}

// Colour pixels with changes near zero and at the extremes, every width up to 40 (all tail
// lengths), rows apart by a stride, guard bytes past each row.
TEST(Rgba8, ColourPixelsAtEveryWidth) {
    const unsigned seed = std::random_device()();
    printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    for (int W = 1; W <= 40; W++) {
        const int H = 3, stride = W + 3;
        PixelLayout l = Rgba8();
        l.Stride = stride * 4;
        std::vector<uint8_t> pixels(size_t(stride) * H * 4), out(pixels.size(), 0xC3);
        for (uint8_t& v : pixels) v = uint8_t(rng());
        std::vector<YcPixel> image(size_t(W) * H);
        PixelsToHost(l, pixels.data(), image.data(), W, W, 0, H);
        for (YcPixel& px : image) {
            const int kind = int(rng() % 4);
            px.Y = int16_t(kind == 0   ? px.Y
                           : kind == 1 ? px.Y + int(rng() % 41) - 20
                           : kind == 2 ? int(rng() % 4096)
                                       : int16_t(rng()));
        }
        PixelsFromHost(l, image.data(), W, pixels.data(), out.data(), W, 0, H);
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                const uint8_t* p = &pixels[(size_t(y) * stride + x) * 4];
                uint8_t want[4];
                MoveRef(p, image[size_t(y) * W + x].Y, want);
                ASSERT_EQ(0, memcmp(want, &out[(size_t(y) * stride + x) * 4], 4))
                    << "W=" << W << " x=" << x << " y=" << y << " seed=" << seed;
            }
            for (int k = W * 4; k < stride * 4; k++)
                ASSERT_EQ(out[size_t(y) * stride * 4 + k], 0xC3) << "wrote past W=" << W;
        }
    }
}

}  // namespace
