// oracle.h: the whole-frame reference filter and the test frames it is compared on
//
// Plain per-pixel non-local means over the clamp-to-edge image, with the same patch distance,
// fast exponential and coefficient as the module, and none of its strips, chunks, ring or
// symmetric crediting. Sums are in double, the quotient exact.
#pragma once

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

struct LumaPlane {
    int W = 0, H = 0;
    std::vector<int16_t> Y;
    int16_t At(int x, int y) const {  // clamp to edge
        x = x < 0 ? 0 : x >= W ? W - 1 : x;
        y = y < 0 ? 0 : y >= H ? H - 1 : y;
        return Y[size_t(y) * size_t(W) + size_t(x)];
    }
};

// The coefficient Update stores for a Strength and patch variant.
float OracleCoefficient(int strength, bool gaussian);

// Filtered Y of every pixel before rounding: (S(p) + sum w S(q)) / (1 + sum w).
std::vector<double> OracleFilter(const LumaPlane& plane, int R, int strength, bool gaussian);
// The same for the one pixel at (x, y).
double OraclePixel(const LumaPlane& plane, int x, int y, int R, int strength, bool gaussian);

// True when a module output matches the oracle: within 1 unit plus the approximate
// reciprocal's relative error (1.5 * 2^-12) of the value, after saturation to 16 bits.
bool OracleAgrees(int16_t got, double expected, double* difference = nullptr);

enum class Content { Random, Flat, Ramp, Extreme, Noisy };
const char* ContentName(Content content);
LumaPlane MakePlane(int W, int H, Content content, std::mt19937& rng);

// The seed for this run: TESSIVAL_SEED from the environment, else a fresh one; printed once.
uint32_t TestSeed();
// The seeds a seeded test runs, in order: a fixed one, so that every run covers the same ground
// first and a fault cannot pass one run and fail the next, then this run's TestSeed() to explore.
// Only TESSIVAL_SEED when it is set, to replay a failure.
std::vector<uint32_t> TestSeeds();
enum : uint32_t { FixedTestSeed = 20111113 };
