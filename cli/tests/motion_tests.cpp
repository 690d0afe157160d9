// motion_tests.cpp: the global motion estimate on pans, still pictures, noise and small frames
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <vector>

#include "../motion.h"

namespace {

// Y on the filter's scale (16 levels per 8-bit level); sigma 20 of 8-bit video is 320.
const double Sigma20 = 320.0;

// A textured picture: two slopes of waves and a field of 8 x 8 blocks, defined everywhere so
// that a moved copy has no edge of its own.
struct Scene {
    std::vector<int> blocks;
    explicit Scene(std::mt19937& rng) : blocks(64 * 64) {
        for (int& b : blocks) b = int(rng() % 801) - 400;
    }
    double At(int y, int x) const {
        const int by = ((y >> 3) % 64 + 64) % 64, bx = ((x >> 3) % 64 + 64) % 64;
        return 2000.0 + 500.0 * sin(0.21 * x + 0.1 * y) + 400.0 * sin(0.13 * y - 0.05 * x) +
               blocks[size_t(by) * 64 + size_t(bx)];
    }
};

struct Image {
    int W, H, capacity;
    std::vector<YcPixel> pixels;
};

// The scene moved by (dy, dx), plus noise; value(y, x) overrides the scene where it returns
// something other than NAN.
template <typename Override>
Image Render(const Scene& scene, int W, int H, int dy, int dx, double sigma, std::mt19937& rng,
             Override value) {
    Image image{W, H, W + 5, {}};
    image.pixels.assign(size_t(image.capacity) * H, YcPixel{-1, 0, 0});
    std::normal_distribution<double> noise(0.0, sigma);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            double v = value(y, x);
            if (isnan(v)) v = scene.At(y - dy, x - dx);
            image.pixels[size_t(y) * image.capacity + x].Y = int16_t(lround(v + noise(rng)));
        }
    return image;
}

Image Render(const Scene& scene, int W, int H, int dy, int dx, double sigma, std::mt19937& rng) {
    return Render(scene, W, H, dy, dx, sigma, rng, [](int, int) { return NAN; });
}

GlobalMotion Estimate(const Image& a, const Image& b, int bound) {
    return EstimateMotion(a.pixels.data(), a.capacity, b.pixels.data(), b.capacity, a.W, a.H,
                          bound);
}

uint32_t Seed() {
    static const uint32_t seed = std::random_device{}();
    static bool printed = false;
    if (!printed) printf("motion_tests seed %u\n", seed), printed = true;
    return seed;
}

// Every vector within the bound, under heavy noise, on frames of several shapes: found exactly.
TEST(Motion, FindsEveryPanExactly) {
    std::mt19937 rng(Seed());
    struct Shape {
        int W, H, bound;
    };
    for (const Shape s : {Shape{320, 180, 6}, Shape{201, 97, 7}, Shape{640, 64, 4}}) {
        const Scene scene(rng);
        const Image a = Render(scene, s.W, s.H, 0, 0, Sigma20, rng);
        for (int dy = -s.bound; dy <= s.bound; dy++)
            for (int dx = -s.bound; dx <= s.bound; dx++) {
                const Image b = Render(scene, s.W, s.H, dy, dx, Sigma20, rng);
                const GlobalMotion m = Estimate(a, b, s.bound);
                // A motion of a pixel at most may stay (0, 0) on a small frame, where the
                // samples are few: the window covers it at every range.
                const bool near = abs(dy) <= 1 && abs(dx) <= 1 && s.W * s.H < 40000;
                ASSERT_TRUE((m.Y == dy && m.X == dx) || (near && m.Y == 0 && m.X == 0))
                    << s.W << "x" << s.H << " pan (" << dy << ", " << dx << ") found (" << m.Y
                    << ", " << m.X << "), seed " << Seed();
            }
    }
}

// A still picture, noise on a flat frame, and a still background with an object that moves
// across a fifth of it: no global motion.
TEST(Motion, StillNoiseAndMovingObjectGiveZero) {
    std::mt19937 rng(Seed() + 1);
    const Scene scene(rng);
    const int W = 320, H = 180;
    for (int i = 0; i < 8; i++) {
        const Image a = Render(scene, W, H, 0, 0, Sigma20, rng);
        const Image b = Render(scene, W, H, 0, 0, Sigma20, rng);
        const GlobalMotion still = Estimate(a, b, 6);
        EXPECT_TRUE(still.Y == 0 && still.X == 0)
            << "still: (" << still.Y << ", " << still.X << "), seed " << Seed();
        auto flat = [](int, int) { return 2000.0; };
        const Image na = Render(scene, W, H, 0, 0, Sigma20, rng, flat);
        const Image nb = Render(scene, W, H, 0, 0, Sigma20, rng, flat);
        const GlobalMotion noise = Estimate(na, nb, 6);
        EXPECT_TRUE(noise.Y == 0 && noise.X == 0)
            << "noise: (" << noise.Y << ", " << noise.X << "), seed " << Seed();
        // An object of 140 x 80 on the still scene, moved 5 pixels right and 2 down.
        const Scene object(rng);
        auto at = [&](int t) {
            return [&, t](int y, int x) {
                const int y0 = 40 + 2 * t, x0 = 90 + 5 * t;
                return y >= y0 && y < y0 + 80 && x >= x0 && x < x0 + 140 ? object.At(y - y0, x - x0)
                                                                         : NAN;
            };
        };
        const Image oa = Render(scene, W, H, 0, 0, Sigma20, rng, at(0));
        const Image ob = Render(scene, W, H, 0, 0, Sigma20, rng, at(1));
        const GlobalMotion moved = Estimate(oa, ob, 6);
        EXPECT_TRUE(moved.Y == 0 && moved.X == 0)
            << "object: (" << moved.Y << ", " << moved.X << "), seed " << Seed();
    }
}

// Frames too small to tell (or no room to search) give zero and read nothing outside the image.
TEST(Motion, SmallFramesGiveZero) {
    std::mt19937 rng(Seed() + 2);
    const Scene scene(rng);
    for (const int size : {1, 2, 15, 20, 22}) {
        const Image a = Render(scene, size, size, 0, 0, 0.0, rng);
        const Image b = Render(scene, size, size, 1, 2, 0.0, rng);
        const GlobalMotion m = Estimate(a, b, 7);
        EXPECT_TRUE(m.Y == 0 && m.X == 0) << size;
    }
    const Image a = Render(scene, 64, 64, 0, 0, 0.0, rng);
    const Image b = Render(scene, 64, 64, 1, 2, 0.0, rng);
    EXPECT_EQ(Estimate(a, b, 0).X, 0);
    const GlobalMotion m = Estimate(a, b, 7);
    EXPECT_TRUE(m.Y == 1 && m.X == 2) << "(" << m.Y << ", " << m.X << ")";
}

}  // namespace
