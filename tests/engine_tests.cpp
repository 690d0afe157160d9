// engine_tests.cpp: the fast exponential's pinned points, row staging's edge cases and the
// completeness of the crediting over a whole band
#include <gtest/gtest.h>
#include <immintrin.h>
#include <math.h>

#include <random>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "../engine/band_worker.h"
#include "../engine/patch_kernel.h"
#include "../engine/patch_runs.h"
#include "../engine/row_staging.h"
#include "../host/platform.h"
#include "../host/strength.h"
#include "model/patch_kernel_model.h"
#include "oracle.h"

namespace {

uint32_t Bits(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

const float Lower = ModelFloat(0xCE7B0768), Bias = ModelFloat(0x4E7DE000);

float Weight(float z) {
    alignas(32) float w[8];
    _mm256_store_ps(w,
                    FastExpWeight(_mm256_set1_ps(z), _mm256_set1_ps(Lower), _mm256_set1_ps(Bias)));
    return w[3];
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CpuHasAvx()) {
            GTEST_SKIP() << "AVX not available, skipping";
        }
    }
};

TEST_F(Engine, FastExpWeightKnownPoints) {
    EXPECT_EQ(Bits(Weight(0.0f)), 0x3F780000u) << "identical patches weigh 0.96875";
    const float c = -235.65555f;
    EXPECT_EQ(Bits(Weight(c * 10000.0f)), 0x3F540AC0u);
    EXPECT_EQ(Weight(c * 35597.0f), 0.484375f);
    EXPECT_EQ(Bits(Weight(Lower)), 0x00B62600u)
        << "the smallest non-zero weight, at the lower bound";
    EXPECT_EQ(Weight(std::nextafter(Lower, -INFINITY)), 0.0f);
    EXPECT_EQ(Weight(-INFINITY), 0.0f);
    EXPECT_EQ(Bits(Weight(NAN)), 0u);
    for (int h = 0; h <= 125; h++)
        EXPECT_EQ(Weight(-float(h) * 8388608.0f), ldexpf(0.96875f, -h)) << "h = " << h;
}

TEST_F(Engine, UpdateCoefficientGivesThePinnedWeights) {
    // The coefficient Update makes at Strength 40 with the Gaussian patch is the one above.
    EXPECT_EQ(StrengthCoefficient(40, true), -235.65555f);
    // Identical patches weigh 0.96875 at every Strength, because their distance is exactly 0.
    for (int s : {1, 40, 100}) EXPECT_EQ(Weight(StrengthCoefficient(s, true) * 0.0f), 0.96875f);
}

// Stages one row of a frame of width W for the chunk at c0, as the band worker does.
struct StagedCall {
    int left, middle, right, total;
    std::vector<float> out;
};

StagedCall Stage(const std::vector<YcPixel>& row, int W, int R, int c0) {
    const int V = (W + 63) / 64 * 8, n = V - c0 < 40 ? V - c0 : 40, c1 = c0 + n;
    StagedCall s;
    s.left = c0 == 0 ? R + 1 : 0;
    s.right = 7 * V + c1 + R >= W ? 7 * V + c1 + R + 1 - W : 0;
    s.middle = n + 2 * R + 2 - s.left - s.right;
    s.total = s.left + s.middle + s.right;
    float* out = static_cast<float*>(AlignedAlloc(60 * 32, 32));
    for (int k = 0; k < 60 * 8; k++) out[k] = 12345.0f;
    StageRow(s.left, s.middle, s.right, 6 * V,
             reinterpret_cast<const char*>(row.data()) + 6 * (c0 - R - 1), out);
    s.out.assign(out, out + 60 * 8);
    AlignedFree(out);
    return s;
}

std::vector<YcPixel> NumberedRow(int W) {
    std::vector<YcPixel> row(size_t(W + 64));
    for (int x = 0; x < W + 64; x++) row[x] = YcPixel{int16_t(x < W ? x : -7), 0, 0};
    return row;
}

TEST_F(Engine, StageRowLeftMarginRepeatsColumnZero) {
    const std::vector<YcPixel> row = NumberedRow(1920);
    for (int R = 1; R <= 4; R++) {
        const StagedCall s = Stage(row, 1920, R, 0);
        ASSERT_EQ(s.left, R + 1);
        for (int k = 0; k <= R + 1; k++) EXPECT_EQ(s.out[8 * k], 0.0f) << "vector " << k;
        for (int k = 0; k <= R; k++)
            EXPECT_EQ(s.out[8 * k + 1], float(240 - R - 1 + k)) << "lane 1 ends strip 0";
        EXPECT_EQ(s.out[8 * (R + 2)], 1.0f);
    }
}

TEST_F(Engine, StageRowBothMarginsInOneCall) {
    const std::vector<YcPixel> row = NumberedRow(320);
    for (int R = 1; R <= 4; R++) {
        const StagedCall s = Stage(row, 320, R, 0);
        ASSERT_EQ(s.left, R + 1);
        ASSERT_EQ(s.right, R + 1);
        ASSERT_EQ(s.middle, 40);
        for (int k = 0; k <= R; k++) EXPECT_EQ(s.out[8 * k], 0.0f);
        for (int k = s.total - R - 1; k < s.total; k++)
            EXPECT_EQ(s.out[8 * k + 7], 319.0f) << "vector " << k;
        EXPECT_EQ(s.out[8 * (s.total - R - 2) + 7], 319.0f)
            << "the last plain vector is column 319 itself";
        EXPECT_EQ(s.out[8 * s.total], 12345.0f) << "nothing past the window";
    }
}

TEST_F(Engine, StageRowNegativeMiddle) {
    // W = 720, Range 4, chunk at vector column 80: left 0, middle -27, right 53, 26 vectors.
    const std::vector<YcPixel> row = NumberedRow(720);
    const StagedCall s = Stage(row, 720, 4, 80);
    ASSERT_EQ(s.left, 0);
    ASSERT_EQ(s.middle, -27);
    ASSERT_EQ(s.right, 53);
    ASSERT_EQ(s.total, 26);
    for (int k = 0; k < 26; k++) {
        EXPECT_EQ(s.out[8 * k + 7], 719.0f) << "vector " << k;
        for (int lane = 0; lane < 7; lane++)
            EXPECT_EQ(s.out[8 * k + lane], float(96 * lane + 75 + k));
    }
    EXPECT_EQ(s.out[8 * 26], 12345.0f) << "nothing past vector 25";
}

TEST_F(Engine, StageRowExtremeValues) {
    std::vector<YcPixel> row(2000, YcPixel{-32768, 0, 0});
    for (size_t x = 0; x < row.size(); x += 2) row[x].Y = 32767;
    const StagedCall s = Stage(row, 1920, 2, 40);
    for (int k = 0; k < s.total; k++)
        for (int lane = 0; lane < 8; lane++) {
            const int x = lane * 240 + 40 - 3 + k;
            EXPECT_EQ(s.out[8 * k + lane], x % 2 ? -32768.0f : 32767.0f);
        }
}

#if defined(__linux__)
// A row of W pixels between two inaccessible pages: at the start of its pages (atStart) or
// ending exactly at their end. Any read before column 0 or past column W-1 faults.
struct FencedRow {
    char* block = nullptr;
    size_t bytes = 0;
    YcPixel* row = nullptr;
    FencedRow(int W, bool atStart) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE)), data = (6 * size_t(W) + page - 1) / page;
        bytes = (data + 2) * page;
        block =
            static_cast<char*>(mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (block == MAP_FAILED) {
            block = nullptr;
            return;
        }
        mprotect(block + page, data * page, PROT_READ | PROT_WRITE);
        char* first = atStart ? block + page : block + (data + 1) * page - 6 * size_t(W);
        row = reinterpret_cast<YcPixel*>(first);
        for (int x = 0; x < W; x++) row[x] = YcPixel{int16_t(x), -1, -2};
    }
    ~FencedRow() {
        if (block != nullptr) munmap(block, bytes);
    }
};

// Staging reads within the row only: the first chunk's left margin and first plain vectors
// read nothing before column 0, the last chunk's right margin nothing past W - 1. Widths whose
// strip 7 holds more than R columns (the fast path), every Range.
TEST_F(Engine, StageRowReadsNothingOutsideTheRow) {
    for (int W : {320, 457, 1001, 1920, 2561})
        for (int R = 1; R <= 4; R++)
            for (bool atStart : {true, false}) {
                FencedRow fenced(W, atStart);
                ASSERT_NE(fenced.row, nullptr);
                const int V = (W + 63) / 64 * 8;
                std::vector<YcPixel> row(fenced.row, fenced.row + W);
                const int c0 = atStart ? 0 : (V - 1) / 40 * 40;
                const int n = V - c0 < 40 ? V - c0 : 40, c1 = c0 + n;
                const int left = c0 == 0 ? R + 1 : 0;
                const int right = 7 * V + c1 + R >= W ? 7 * V + c1 + R + 1 - W : 0;
                const int middle = n + 2 * R + 2 - left - right;
                alignas(32) float out[50 * 8];
                StageRow(left, middle, right, 6 * V,
                         reinterpret_cast<const char*>(fenced.row) + 6 * (c0 - R - 1), out);
                // Same values as from an unfenced copy of the row.
                const StagedCall s = Stage(row, W, R, c0);
                for (int k = 0; k < 8 * s.total; k++)
                    ASSERT_EQ(out[k], s.out[k]) << "W " << W << " R " << R << " float " << k;
            }
}
#endif

// Drives one chunk of a band through the prologue and all its row pairs, as the band worker
// does, on staged data of a clamp-to-edge plane; returns the normalised-before-rounding sums
// of every chunk pixel of the band (weighted sum and weight sum, lane by lane).
struct BandSums {
    std::vector<float> weighted, weights, aboveWeights;  // [row][column][lane]
};

template <bool Gaussian>
BandSums RunBand(const std::vector<std::vector<float>>& staged, int R, int n, int m, float c) {
    const int rows = int(staged.size());
    float* distance = static_cast<float*>(AlignedAlloc(DistanceFloats * 4, 32));
    float* acc = static_cast<float*>(AlignedAlloc(size_t(R + 2) * AccumulatorRowFloats * 4, 32));
    float* st = static_cast<float*>(AlignedAlloc(size_t(rows) * StagedRowFloats * 4, 32));
    for (int r = 0; r < rows; r++)
        memcpy(st + r * StagedRowFloats, staged[r].data(), staged[r].size() * 4);
    alignas(32) float coefficient[8];
    for (float& lane : coefficient) lane = c;
    Chunk chunk;
    chunk.R = R;
    chunk.n = n;
    chunk.Staged = st;
    chunk.Distance = distance;
    chunk.Coefficient = coefficient;
    chunk.LowerBound = &Lower;
    chunk.ExponentBias = &Bias;
    for (int i = 0; i < R + 2; i++)
        chunk.Ring[i] = acc + i * AccumulatorRowFloats + EntryFloats * R;
    for (int o = 0; o < R; o++) InitAccumulatorRow(chunk, chunk.Ring[o], o);
    AccumulateAboveBand<Gaussian>(chunk);
    BandSums sums;
    for (int o = 0; o < R; o++)
        for (int x = 0; x < n; x++)
            for (int s = 0; s < 8; s++)
                sums.aboveWeights.push_back(chunk.Ring[o][EntryFloats * x + 16 + s]);
    for (int y0 = 0; y0 < m; y0 += 2) {
        InitAccumulatorRow(chunk, chunk.Ring[R], y0 + R);
        InitAccumulatorRow(chunk, chunk.Ring[R + 1], y0 + R + 1);
        AccumulateRowPair<Gaussian>(chunk, y0);
        for (int row = 0; row < 2 && y0 + row < m; row++)
            for (int x = 0; x < n; x++)
                for (int s = 0; s < 8; s++) {
                    sums.weighted.push_back(chunk.Ring[row][EntryFloats * x + 8 + s]);
                    sums.weights.push_back(chunk.Ring[row][EntryFloats * x + 16 + s]);
                }
        RotateRing(chunk);
    }
    AlignedFree(distance);
    AlignedFree(acc);
    AlignedFree(st);
    return sums;
}

// Staged rows of a band of m rows whose lane s is a plane of its own.
std::vector<std::vector<float>> StagedBand(const std::vector<LumaPlane>& lanes, int R, int n,
                                           int m) {
    const int rows = 2 * R + 2 + 2 * ((m + 1) / 2);
    std::vector<std::vector<float>> staged(size_t(rows), std::vector<float>(StagedRowFloats, 0.0f));
    for (int r = 0; r < rows; r++)
        for (int k = 0; k < n + 2 * R + 2; k++)
            for (int s = 0; s < 8; s++) staged[r][8 * k + s] = lanes[s].At(k, r);
    return staged;
}

TEST_F(Engine, FlatBandWeightSums) {
    // Every neighbour of a flat band weighs 0.96875: a row o of the band's first R rows gets
    // (R - o) * (2R + 1) of them from above, and every pixel 8, 24, 48 or 80 in all.
    for (int R = 1; R <= 4; R++)
        for (int m : {1, 2, 5, 10}) {
            std::mt19937 rng(1);
            std::vector<LumaPlane> lanes(8, MakePlane(60, 30, Content::Flat, rng));
            const BandSums sums = RunBand<true>(StagedBand(lanes, R, 16, m), R, 16, m, -235.65555f);
            for (int o = 0; o < R; o++)
                EXPECT_EQ(sums.aboveWeights[size_t(o) * 16 * 8],
                          1.0f + float((R - o) * (2 * R + 1)) * 0.96875f)
                    << "R=" << R << " row " << o;
            const float all = 1.0f + float((2 * R + 1) * (2 * R + 1) - 1) * 0.96875f;
            for (float w : sums.weights) ASSERT_EQ(w, all) << "R=" << R << " band rows " << m;
        }
}

// Each chunk pixel of the band receives exactly its window: the kernel's sums equal a direct
// per-pixel sum over the window, within float summation order.
TEST_F(Engine, CreditingIsComplete) {
    for (const uint32_t seed : TestSeeds()) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        for (int R = 1; R <= 4; R++)
            for (int n = 8; n <= 40; n += 16)
                for (int m : {1, 3, 6, 9}) {
                    const bool gaussian = (R + m) % 2 == 0;
                    std::vector<LumaPlane> lanes;
                    for (int s = 0; s < 8; s++)
                        lanes.push_back(MakePlane(n + 2 * R + 2, 2 * R + 2 + m + 1,
                                                  s % 2 ? Content::Noisy : Content::Random, rng));
                    const float c = OracleCoefficient(40, gaussian);
                    const auto staged = StagedBand(lanes, R, n, m);
                    const BandSums sums = gaussian ? RunBand<true>(staged, R, n, m, c)
                                                   : RunBand<false>(staged, R, n, m, c);
                    for (int y = 0; y < m; y++)
                        for (int x = 0; x < n; x++)
                            for (int s = 0; s < 8; s++) {
                                // Staged row y of the band is plane row y + R + 1, column x is x +
                                // R
                                // + 1.
                                auto S = [&](int r, int u) {
                                    return float(lanes[s].At(u + R + 1, r + R + 1));
                                };
                                double weighted = S(y, x), weights = 1.0;
                                for (int dy = -R; dy <= R; dy++)
                                    for (int dx = -R; dx <= R; dx++) {
                                        if (!dy && !dx) continue;
                                        const float z =
                                            gaussian ? ScaledDistanceRef<true>(S, y, x, dy, dx, c)
                                                     : ScaledDistanceRef<false>(S, y, x, dy, dx, c);
                                        const double w = FastExpWeightRef(z, Lower, Bias);
                                        weighted += w * S(y + dy, x + dx);
                                        weights += w;
                                    }
                                const size_t i = (size_t(y) * n + x) * 8 + s;
                                ASSERT_NEAR(sums.weights[i], weights, 1e-5 * weights)
                                    << "R=" << R << " n=" << n << " m=" << m << " row " << y
                                    << " column " << x << " lane " << s;
                                ASSERT_NEAR(sums.weighted[i], weighted,
                                            1e-5 * fabs(weighted) + 1e-3);
                            }
                }
    }
}

// At R = 1 the chunk step completes each entry at one step of two sweeps instead of crediting
// run after run, so an entry's credits could arrive in another order, which moves sums by an
// ulp. Against the scalar model, bit for bit, every entry of the ring after every row pair
// (margin entries included), on noise that gives every pair a weight of its own and the
// neighbours of some pairs the same value.
TEST_F(Engine, RangeOneChunkStepKeepsEachEntrysCreditOrder) {
    for (const uint32_t seed : TestSeeds()) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        for (int i = 0; i < 40; i++) {
            const int n = 8 * (1 + int(rng() % 5)), m = 2 + 2 * int(rng() % 3);
            const bool gaussian = i % 2 == 0;
            const int rows = 4 + m;
            std::vector<LumaPlane> lanes;
            for (int s = 0; s < 8; s++)
                lanes.push_back(
                    MakePlane(n + 4, rows, s == 5 ? Content::Flat : Content::Noisy, rng));
            const float c = OracleCoefficient(40 + int(rng() % 61), gaussian);
            const auto staged = StagedBand(lanes, 1, n, m);
            float* distance = static_cast<float*>(AlignedAlloc(DistanceFloats * 4, 32));
            float* acc = static_cast<float*>(AlignedAlloc(3 * AccumulatorRowFloats * 4, 32));
            float* st = static_cast<float*>(AlignedAlloc(size_t(rows) * StagedRowFloats * 4, 32));
            for (int r = 0; r < rows; r++)
                memcpy(st + r * StagedRowFloats, staged[r].data(), staged[r].size() * 4);
            alignas(32) float coefficient[8];
            for (float& lane : coefficient) lane = c;
            Chunk chunk;
            chunk.R = 1;
            chunk.n = n;
            chunk.Staged = st;
            chunk.Distance = distance;
            chunk.Coefficient = coefficient;
            chunk.LowerBound = &Lower;
            chunk.ExponentBias = &Bias;
            ChunkModel models[8];
            for (int s = 0; s < 8; s++) {
                ChunkModel& model = models[s];
                model.R = 1, model.n = n, model.c = c;
                model.lowerBound = Lower, model.exponentBias = Bias;
                model.staged.assign(size_t(rows) * 50, 0.0f);
                for (int r = 0; r < rows; r++)
                    for (int k = 0; k < n + 4; k++)
                        model.staged[size_t(r) * 50 + k] = staged[r][8 * k + s];
                model.acc.assign(3 * 48 * 3, 0.0f);
            }
            for (int k = 0; k < 3; k++)
                chunk.Ring[k] = acc + k * AccumulatorRowFloats + EntryFloats;
            InitAccumulatorRow(chunk, chunk.Ring[0], 0);
            for (ChunkModel& model : models) InitAccumulatorRowRef(model, 0, 0);
            for (int y0 = 0; y0 < m; y0 += 2) {
                InitAccumulatorRow(chunk, chunk.Ring[1], y0 + 1);
                InitAccumulatorRow(chunk, chunk.Ring[2], y0 + 2);
                for (ChunkModel& model : models) {
                    InitAccumulatorRowRef(model, 1, y0 + 1);
                    InitAccumulatorRowRef(model, 2, y0 + 2);
                }
                (gaussian ? AccumulateRowPair<true> : AccumulateRowPair<false>)(chunk, y0);
                for (ChunkModel& model : models)
                    (gaussian ? AccumulateRowPairRef<true> : AccumulateRowPairRef<false>)(model,
                                                                                          y0);
                for (int k = 0; k < 3; k++)
                    for (int x = -1; x <= n; x++)
                        for (int s = 0; s < 8; s++)
                            for (int f = 1; f < 3; f++)
                                ASSERT_EQ(Bits(chunk.Ring[k][EntryFloats * x + 8 * f + s]),
                                          Bits(models[s].Entry(k, x)[f]))
                                    << (gaussian ? "gaussian" : "box") << " n=" << n << " pair "
                                    << y0 << " ring row " << k << " column " << x << " field " << f
                                    << " lane " << s;
                RotateRing(chunk);
                for (ChunkModel& model : models) model.Rotate();
            }
            AlignedFree(distance);
            AlignedFree(acc);
            AlignedFree(st);
        }
    }
}

}  // namespace
