// checkasm.cpp: every AVX engine operation against its one-lane scalar model, bit for bit
//
// Usage: checkasm [--seed=N] [--function=NAME] [--bench] [--cases=N]
// Runs a fixed seed and then a fresh one (or only the seed given), prints the seeds, then one
// " - Name [OK|FAILED]" line per group; a failure prints the whole case (geometry, range,
// variant, seed) so it can be replayed.
#include <immintrin.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "../engine/band_worker.h"
#include "../engine/cross_kernel.h"
#include "../engine/patch_kernel.h"
#include "../engine/patch_runs.h"
#include "../engine/row_staging.h"
#include "../host/platform.h"
#include "model/cross_kernel_model.h"
#include "model/patch_kernel_model.h"
#include "model/row_staging_model.h"

static uint32_t Seed;  // the seed of the cases running now
static const uint32_t FixedSeed = 20111113;
static int Cases = 40;
static bool Bench = false;
static int Failures = 0;

static bool SameBits(float a, float b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

// 32-byte aligned float storage.
struct Floats {
    float* p = nullptr;
    explicit Floats(size_t n) { p = static_cast<float*>(AlignedAlloc(n * sizeof(float) + 64, 64)); }
    ~Floats() { AlignedFree(p); }
    Floats(const Floats&) = delete;
    Floats& operator=(const Floats&) = delete;
};

// A 16-bit value for adversarial and ordinary content.
static int16_t Sample(std::mt19937& rng, int kind, int x, int y) {
    switch (kind) {
        case 0:
            return int16_t(rng() % 4096);
        case 1:
            return int16_t((rng() & 1) ? 32767 - int(rng() % 3) : -32768 + int(rng() % 3));
        case 2:
            return int16_t(1200);  // flat
        case 3:
            return int16_t((x == 5 && y == 4) ? 32767 : -100);  // a single spike
        default:
            return int16_t(int(rng() % 65536) - 32768);
    }
}

// ---- StageRow ----------------------------------------------------------------------------
// Both layouts: rows of YcPixel (StageRow) and planes of 16-bit Y (StagePlaneRow).
static bool CheckStageRowLayout(std::mt19937& rng, int pixelBytes) {
    const char* name = pixelBytes == 6 ? "StageRow" : "StagePlaneRow";
    bool ok = true;
    for (int i = 0; i < Cases * 4 && ok; i++) {
        const int R = 1 + int(rng() % 4);
        const int V = 8 * (1 + int(rng() % 40));
        // Widths whose strip 7 holds more than R columns: the fast staging path.
        const int W = 7 * V + R + 1 + int(rng() % (V - R));
        const int chunks = (V + 39) / 40;
        const int c0 = 40 * int(rng() % chunks);
        const int n = V - c0 < 40 ? V - c0 : 40, c1 = c0 + n;
        const int left = c0 == 0 ? R + 1 : 0;
        const int right = 7 * V + c1 + R >= W ? 7 * V + c1 + R + 1 - W : 0;
        const int middle = n + 2 * R + 2 - left - right;
        const int total = n + 2 * R + 2;
        const int kind = int(rng() % 5);
        // The row sits at the start of its own block, so a read before column 0 leaves it.
        // Planes end at their last pixel, so a read past W leaves the block too.
        std::vector<YcPixel> row(size_t(8 * V));
        std::vector<int16_t> plane(static_cast<size_t>(W));
        for (int x = 0; x < 8 * V; x++) row[x] = YcPixel{Sample(rng, kind, x, 0), int16_t(x), 7};
        for (int x = 0; x < W; x++) plane[x] = row[x].Y;
        Floats out(50 * 8 + 16);
        for (int k = 0; k < 50 * 8 + 16; k++) out.p[k] = -1.5f;
        const char* source = pixelBytes == 6
                                 ? reinterpret_cast<const char*>(row.data()) + 6 * (c0 - R - 1)
                                 : reinterpret_cast<const char*>(plane.data()) + 2 * (c0 - R - 1);
        if (pixelBytes == 6)
            StageRow(left, middle, right, 6 * V, source, out.p);
        else
            StagePlaneRow(left, middle, right, 2 * V, reinterpret_cast<const int16_t*>(source),
                          out.p);
        for (int s = 0; s < 8 && ok; s++) {
            float ref[64];
            StageRowRef(left, middle, right, pixelBytes * V, source, s, ref, pixelBytes);
            for (int k = 0; k < total && ok; k++)
                if (!SameBits(out.p[8 * k + s], ref[k])) {
                    printf(
                        "   %s W=%d V=%d R=%d c0=%d n=%d left=%d middle=%d right=%d lane %d "
                        "vector %d: %g, model %g\n",
                        name, W, V, R, c0, n, left, middle, right, s, k, out.p[8 * k + s], ref[k]);
                    ok = false;
                }
        }
        for (int k = 8 * total; k < 50 * 8 + 16 && ok; k++)
            if (out.p[k] != -1.5f) {
                printf("   %s W=%d V=%d R=%d c0=%d: wrote past vector %d\n", name, W, V, R, c0,
                       total);
                ok = false;
            }
    }
    return ok;
}

static bool CheckStageRow(std::mt19937& rng) {
    return CheckStageRowLayout(rng, 6);
}

static bool CheckStagePlaneRow(std::mt19937& rng) {
    return CheckStageRowLayout(rng, 2);
}

// ---- FastExpWeight ---------------------------------------------------------------------
static bool CheckFastExpWeight(std::mt19937& rng) {
    const float lower = ModelFloat(0xCE7B0768), bias = ModelFloat(0x4E7DE000);
    std::vector<float> z = {0.0f,
                            -0.0f,
                            lower,
                            std::nextafter(lower, 0.0f),
                            std::nextafter(lower, -1e30f),
                            -1e30f,
                            -INFINITY,
                            NAN,
                            -2356555.5f,
                            -8388608.0f,
                            -1.0f};
    std::uniform_real_distribution<float> any(-1.2e9f, 0.0f);
    while (z.size() % 8 || z.size() < size_t(Cases) * 64) z.push_back(any(rng));
    for (size_t i = 0; i < z.size(); i += 8) {
        alignas(32) float w[8];
        _mm256_store_ps(
            w, FastExpWeight(_mm256_loadu_ps(&z[i]), _mm256_set1_ps(lower), _mm256_set1_ps(bias)));
        for (int s = 0; s < 8; s++)
            if (!SameBits(w[s], FastExpWeightRef(z[i + s], lower, bias))) {
                printf("   FastExpWeight z=%.9g: %a, model %a\n", z[i + s], w[s],
                       FastExpWeightRef(z[i + s], lower, bias));
                return false;
            }
    }
    return true;
}

// ---- kernel: one chunk of a band through the prologue and all its pairs ------------------
struct KernelCase {
    int R, n, m, kind, strength;
    bool gaussian;
};

static void PrintCase(const char* what, const KernelCase& k) {
    printf("   %s: R=%d n=%d band rows=%d %s content=%d strength=%d seed=%u\n", what, k.R, k.n, k.m,
           k.gaussian ? "gaussian" : "box", k.kind, k.strength, Seed);
}

// Compares every accumulator entry of every ring row, lane by lane.
static bool SameAccumulators(const Chunk& chunk, ChunkModel* models, const KernelCase& k,
                             const char* step, int ringRows) {
    for (int i = 0; i < ringRows; i++)
        for (int x = -k.R; x < k.n + k.R; x++)
            for (int f = 0; f < 3; f++)
                for (int s = 0; s < 8; s++) {
                    const float got = chunk.Ring[i][EntryFloats * x + 8 * f + s];
                    const float want = models[s].Entry(i, x)[f];
                    if (!SameBits(got, want)) {
                        PrintCase(step, k);
                        printf("   ring row %d column %d field %d lane %d: %.9g, model %.9g\n", i,
                               x, f, s, got, want);
                        return false;
                    }
                }
    return true;
}

template <bool Gaussian>
static bool RunKernelCase(const KernelCase& k, std::mt19937& rng, bool bench) {
    const int R = k.R, stagedRows = 2 * R + 2 + 2 * ((k.m + 1) / 2);
    Floats distance(DistanceFloats), acc(size_t(R + 2) * AccumulatorRowFloats),
        staged(size_t(stagedRows) * StagedRowFloats);
    const float c = ModelFloat(0) + [&] {
        const double s = k.strength / 100.0, v = s * s * 40.0, K = Gaussian ? 1253.79584 : 2304.0;
        return float((-1.0 / ((v * K) * v)) * 8388608.0 / 0.6931471805599453);
    }();
    alignas(32) float coefficient[8];
    for (float& lane : coefficient) lane = c;
    const float lower = ModelFloat(0xCE7B0768), bias = ModelFloat(0x4E7DE000);
    ChunkModel models[8];
    for (int s = 0; s < 8; s++) {
        models[s].R = R;
        models[s].n = k.n;
        models[s].c = c;
        models[s].lowerBound = lower;
        models[s].exponentBias = bias;
        models[s].staged.assign(size_t(stagedRows) * 50, 0.0f);
        models[s].acc.assign(size_t(R + 2) * 48 * 3, 0.0f);
    }
    for (int r = 0; r < stagedRows; r++)
        for (int v = 0; v < k.n + 2 * R + 2; v++)
            for (int s = 0; s < 8; s++) {
                const float value = Sample(rng, k.kind, v + 3 * s, r);
                staged.p[r * StagedRowFloats + 8 * v + s] = value;
                models[s].staged[size_t(r) * 50 + size_t(v)] = value;
            }
    Chunk chunk;
    chunk.R = R;
    chunk.n = k.n;
    chunk.Staged = staged.p;
    chunk.Distance = distance.p;
    chunk.Coefficient = coefficient;
    chunk.LowerBound = &lower;
    chunk.ExponentBias = &bias;
    for (int i = 0; i < R + 2; i++)
        chunk.Ring[i] = acc.p + i * AccumulatorRowFloats + EntryFloats * R;

    if (bench) {
        for (int i = 0; i < R + 2; i++) InitAccumulatorRow(chunk, chunk.Ring[i], i);
        const int reps = 200;
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < reps; i++) AccumulateRowPair<Gaussian>(chunk, 0);
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        printf("   AccumulateRowPair R=%d %s n=%d: %.2f ns per chunk pixel\n", R,
               Gaussian ? "gaussian" : "box", k.n, ns / reps / (2.0 * k.n * 8));
        return true;
    }

    for (int o = 0; o < R; o++) {
        InitAccumulatorRow(chunk, chunk.Ring[o], o);
        for (ChunkModel& m : models) InitAccumulatorRowRef(m, o, o);
    }
    AccumulateAboveBand<Gaussian>(chunk);
    for (ChunkModel& m : models) AccumulateAboveBandRef<Gaussian>(m);
    if (!SameAccumulators(chunk, models, k, "AccumulateAboveBand", R)) return false;

    std::vector<int16_t> packed(size_t(2) * 8 * k.n);
    for (int y0 = 0; y0 < k.m; y0 += 2) {
        InitAccumulatorRow(chunk, chunk.Ring[R], y0 + R);
        InitAccumulatorRow(chunk, chunk.Ring[R + 1], y0 + R + 1);
        for (ChunkModel& m : models) {
            InitAccumulatorRowRef(m, R, y0 + R);
            InitAccumulatorRowRef(m, R + 1, y0 + R + 1);
        }
        if (!SameAccumulators(chunk, models, k, "InitAccumulatorRow", R + 2)) return false;
        AccumulateRowPair<Gaussian>(chunk, y0);
        for (ChunkModel& m : models) AccumulateRowPairRef<Gaussian>(m, y0);
        if (!SameAccumulators(chunk, models, k, "AccumulateRowPair", R + 2)) return false;

        alignas(16) int16_t rows[2][8 * 40];
        PackRowPair(chunk, rows[0], rows[1], 0);
        for (int row = 0; row < 2; row++)
            for (int x = 0; x < k.n; x++)
                for (int s = 0; s < 8; s++) {
                    const float* e = models[s].Entry(row, x);
                    const int v = _mm_cvtss_si32(_mm_set_ss(NormalisedValueRef(e[1], e[2])));
                    const int16_t want = int16_t(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
                    if (rows[row][8 * x + s] != want) {
                        PrintCase("PackRowPair", k);
                        printf("   row %d column %d lane %d: %d, model %d\n", y0 + row, x, s,
                               rows[row][8 * x + s], want);
                        return false;
                    }
                }
        RotateRing(chunk);
        for (ChunkModel& m : models) m.Rotate();
    }
    return true;
}

static bool CheckKernel(std::mt19937& rng, bool gaussian) {
    static const int strengths[] = {1, 40, 100, 7, 63};
    for (int R = 1; R <= 4; R++)
        for (int n = 8; n <= 40; n += 8) {
            const int reps = Bench ? 1 : 1 + Cases / 40;
            for (int i = 0; i < reps; i++) {
                KernelCase k{R,       n, 1 + int(rng() % 7), int(rng() % 5), strengths[rng() % 5],
                             gaussian};
                const bool ok = gaussian ? RunKernelCase<true>(k, rng, Bench)
                                         : RunKernelCase<false>(k, rng, Bench);
                if (!ok) return false;
            }
        }
    return true;
}

// ---- cross-frame kernel: one tile of two frames, every sums entry and the guards around ----
struct CrossCase {
    int R, n, m, kind, strength;
    bool gaussian, related;
    int my, mx;  // B's motion against A
};

static void PrintCrossCase(const char* what, const CrossCase& k) {
    printf(
        "   %s: R=%d n=%d band rows=%d motion=(%d, %d) %s content=%d related=%d strength=%d "
        "seed=%u\n",
        what, k.R, k.n, k.m, k.my, k.mx, k.gaussian ? "gaussian" : "box", k.kind, k.related,
        k.strength, Seed);
}

static float KernelCoefficient(int strength, bool gaussian) {
    const double s = strength / 100.0, v = s * s * 40.0, K = gaussian ? 1253.79584 : 2304.0;
    return float((-1.0 / ((v * K) * v)) * 8388608.0 / 0.6931471805599453);
}

template <bool Gaussian>
static bool RunCrossCase(const CrossCase& k, std::mt19937& rng, bool bench) {
    const int R = k.R, n = k.n, m = k.m;
    const int Ry = R + abs(k.my), Rx = R + abs(k.mx), rows = m + 2 * Ry + 3;
    // Sums rows carry one guard entry on each side, and a guard row above and below.
    const int sumRow = (n + 2) * SumFloats, sumRows = m + 2;
    const float guard = -7.25f;
    Floats stagedA(size_t(rows) * StagedRowFloats), stagedB(size_t(rows) * StagedRowFloats),
        sumsA(size_t(sumRows) * sumRow), sumsB(size_t(sumRows) * sumRow),
        distance(CrossDistanceFloats);
    const float c = KernelCoefficient(k.strength, Gaussian);
    alignas(32) float coefficient[8];
    for (float& lane : coefficient) lane = c;
    const float lower = ModelFloat(0xCE7B0768), bias = ModelFloat(0x4E7DE000);
    CrossTileModel models[8];
    for (int s = 0; s < 8; s++) {
        models[s].R = R, models[s].n = n, models[s].m = m, models[s].my = k.my, models[s].mx = k.mx;
        models[s].c = c, models[s].lowerBound = lower, models[s].exponentBias = bias;
        models[s].Resize();
    }
    for (int y = -Ry - 1; y < m + Ry + 2; y++)
        for (int x = -Rx - 1; x <= n + Rx; x++)
            for (int s = 0; s < 8; s++) {
                const float a = Sample(rng, k.kind, x + 3 * s, y);
                // Related frames: B is A moved by the motion and a column, with a little noise.
                float b = k.related ? Sample(rng, k.kind, x - k.mx + 1 + 3 * s, y - k.my) +
                                          float(int(rng() % 9) - 4)
                                    : Sample(rng, k.kind, x + 7 * s, y + 2);
                b = b > 32767.0f ? 32767.0f : b < -32768.0f ? -32768.0f : b;
                const size_t at =
                    size_t(y + Ry + 1) * StagedRowFloats + size_t(8 * (x + Rx + 1) + s);
                stagedA.p[at] = a, stagedB.p[at] = b;
                models[s].StagedA(y, x) = a, models[s].StagedB(y, x) = b;
            }
    for (int i = 0; i < sumRows * sumRow; i++) sumsA.p[i] = sumsB.p[i] = guard;
    std::uniform_real_distribution<float> weight(1.0f, 40.0f), value(-4000.0f, 4000.0f);
    for (int y = 0; y < m; y++)
        for (int x = 0; x < n; x++)
            for (int s = 0; s < 8; s++)
                for (int f = 0; f < 2; f++) {
                    const float wa = f ? weight(rng) : value(rng),
                                wb = f ? weight(rng) : value(rng);
                    const size_t at =
                        size_t(y + 1) * sumRow + size_t(SumFloats * (x + 1) + 8 * f + s);
                    sumsA.p[at] = wa, sumsB.p[at] = wb;
                    models[s].SumA(y, x)[f] = wa, models[s].SumB(y, x)[f] = wb;
                }
    CrossTile tile;
    tile.R = R, tile.n = n, tile.m = m, tile.MotionY = k.my, tile.MotionX = k.mx;
    tile.StagedA = stagedA.p + (Ry + 1) * StagedRowFloats + 8 * (Rx + 1);
    tile.StagedB = stagedB.p + (Ry + 1) * StagedRowFloats + 8 * (Rx + 1);
    tile.SumsA = sumsA.p + sumRow + SumFloats;
    tile.SumsB = sumsB.p + sumRow + SumFloats;
    tile.SumRowFloats = sumRow;
    tile.Distance = distance.p;
    tile.Coefficient = coefficient;
    tile.LowerBound = &lower;
    tile.ExponentBias = &bias;
    if (bench) {
        const int reps = 20;
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < reps; i++) AccumulateCrossTile<Gaussian>(tile);
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        printf("   AccumulateCrossTile R=%d %s n=%d m=%d motion=(%d, %d): %.2f ns per tile pixel\n",
               R, Gaussian ? "gaussian" : "box", n, m, k.my, k.mx, ns / reps / (double(m) * n * 8));
        return true;
    }
    AccumulateCrossTile<Gaussian>(tile);
    for (CrossTileModel& model : models) AccumulateCrossTileRef<Gaussian>(model);
    for (int y = -1; y <= m; y++)
        for (int x = -1; x <= n; x++)
            for (int f = 0; f < 2; f++)
                for (int s = 0; s < 8; s++)
                    for (int frame = 0; frame < 2; frame++) {
                        const float* sums = frame ? sumsB.p : sumsA.p;
                        const float got =
                            sums[size_t(y + 1) * sumRow + size_t(SumFloats * (x + 1) + 8 * f + s)];
                        const bool inside = y >= 0 && y < m && x >= 0 && x < n;
                        const float want = !inside ? guard
                                           : frame ? models[s].SumB(y, x)[f]
                                                   : models[s].SumA(y, x)[f];
                        if (!SameBits(got, want)) {
                            PrintCrossCase(inside ? "AccumulateCrossTile" : "guard", k);
                            printf(
                                "   frame %c row %d column %d field %d lane %d: %.9g, model %.9g\n",
                                frame ? 'B' : 'A', y, x, f, s, got, want);
                            return false;
                        }
                    }
    return true;
}

static bool CheckCrossKernel(std::mt19937& rng, bool gaussian) {
    static const int strengths[] = {1, 40, 100, 7, 63};
    for (int R = 1; R <= 4; R++)
        for (int n = 8; n <= 40; n += 8) {
            // No motion, then motions up to the bound the chunk width leaves (a staged row
            // holds n + 2 (R + |mx|) + 2 vectors of 50); band rows short and long against it.
            const int reps = Bench ? 2 : 2 + Cases / 20;
            const int boundY = CrossReach - R;
            const int boundX = std::min(boundY, (48 - n) / 2 - R);
            for (int i = 0; i < reps; i++) {
                const int my = i == 0 ? 0 : int(rng() % (2 * boundY + 1)) - boundY;
                const int mx = i == 0 ? 0 : int(rng() % (2 * boundX + 1)) - boundX;
                CrossCase k{R,
                            n,
                            Bench ? 30 : 1 + int(rng() % 11),
                            int(rng() % 5),
                            strengths[rng() % 5],
                            gaussian,
                            (rng() & 1) != 0,
                            my,
                            mx};
                const bool ok = gaussian ? RunCrossCase<true>(k, rng, Bench)
                                         : RunCrossCase<false>(k, rng, Bench);
                if (!ok) return false;
            }
        }
    return true;
}

// ---- regional pairs: one region tile, B's sums around it clipped to the frame ----
struct RegionCase {
    int R, n, m, lanes, my, mx, gy, gx, top, H, column, V, W, kind, strength;
    bool gaussian;
};

static void PrintRegionCase(const char* what, const RegionCase& k) {
    printf(
        "   %s: R=%d n=%d band rows=%d lanes=0x%02x region=(%d, %d) global=(%d, %d) top=%d H=%d "
        "c0=%d V=%d W=%d %s content=%d strength=%d seed=%u\n",
        what, k.R, k.n, k.m, k.lanes, k.my, k.mx, k.gy, k.gx, k.top, k.H, k.column, k.V, k.W,
        k.gaussian ? "gaussian" : "box", k.kind, k.strength, Seed);
}

template <bool Gaussian>
static bool RunRegionCase(const RegionCase& k, std::mt19937& rng) {
    enum { G = RegionTileModel::G, Reach = RegionTileModel::Reach };
    // Staged rows -G to m+G: a pair of A rows ending at the band's last row also reads the B
    // row below the window of the region's farthest vector, as the frame's staging holds it.
    const int n = k.n, m = k.m, rows = m + 2 * G + 1;
    // B's sums: the reach around the tile and one guard entry and row beyond it.
    const int sumEntries = n + 2 * Reach + 2, sumRow = sumEntries * SumFloats;
    const int sumRows = m + 2 * Reach + 2;
    const float guard = -7.25f;
    Floats stagedA(size_t(rows) * StagedRowFloats), stagedB(size_t(rows) * StagedRowFloats),
        sumsA(size_t(sumRows) * sumRow), sumsB(size_t(sumRows) * sumRow),
        distance(CrossDistanceFloats);
    const float c = KernelCoefficient(k.strength, Gaussian);
    alignas(32) float coefficient[8];
    for (float& lane : coefficient) lane = c;
    const float lower = ModelFloat(0xCE7B0768), bias = ModelFloat(0x4E7DE000);
    RegionTileModel models[8];
    for (int s = 0; s < 8; s++) {
        RegionTileModel& d = models[s];
        d.R = k.R, d.n = n, d.m = m, d.lane = s, d.my = k.my, d.mx = k.mx, d.gy = k.gy;
        d.gx = k.gx, d.top = k.top, d.H = k.H, d.column = k.column, d.V = k.V, d.W = k.W;
        d.on = (k.lanes >> s & 1) != 0;
        d.c = c, d.lowerBound = lower, d.exponentBias = bias;
        d.Resize();
    }
    for (int y = -G; y <= m + G; y++)
        for (int x = -G; x < n + G; x++)
            for (int s = 0; s < 8; s++) {
                const float a = Sample(rng, k.kind, x + 3 * s, y);
                // B is A moved by the region's vector, with a little noise.
                float b =
                    Sample(rng, k.kind, x - k.mx + 3 * s, y - k.my) + float(int(rng() % 9) - 4);
                b = b > 32767.0f ? 32767.0f : b < -32768.0f ? -32768.0f : b;
                const size_t at = size_t(y + G) * StagedRowFloats + size_t(8 * (x + G) + s);
                stagedA.p[at] = a, stagedB.p[at] = b;
                // The row below the model's reach only feeds distances that are never credited.
                if (y < m + G) models[s].StagedA(y, x) = a, models[s].StagedB(y, x) = b;
            }
    for (int i = 0; i < sumRows * sumRow; i++) sumsA.p[i] = sumsB.p[i] = guard;
    std::uniform_real_distribution<float> weight(1.0f, 40.0f), value(-4000.0f, 4000.0f);
    auto at = [&](int y, int x, int f, int s) {
        return size_t(y + Reach + 1) * sumRow + size_t(SumFloats * (x + Reach + 1) + 8 * f + s);
    };
    for (int y = -Reach; y < m + Reach; y++)
        for (int x = -Reach; x < n + Reach; x++)
            for (int s = 0; s < 8; s++)
                for (int f = 0; f < 2; f++) {
                    const float v = f ? weight(rng) : value(rng);
                    sumsB.p[at(y, x, f, s)] = v, models[s].SumB(y, x)[f] = v;
                    if (y < 0 || y >= m || x < 0 || x >= n) continue;
                    const float u = f ? weight(rng) : value(rng);
                    sumsA.p[at(y, x, f, s)] = u, models[s].SumA(y, x)[f] = u;
                }
    RegionTile tile;
    tile.R = k.R, tile.n = n, tile.m = m, tile.Lanes = k.lanes;
    tile.MotionY = k.my, tile.MotionX = k.mx, tile.GlobalY = k.gy, tile.GlobalX = k.gx;
    tile.Top = k.top, tile.H = k.H, tile.Column = k.column, tile.V = k.V, tile.W = k.W;
    tile.StagedA = stagedA.p + G * StagedRowFloats + 8 * G;
    tile.StagedB = stagedB.p + G * StagedRowFloats + 8 * G;
    tile.SumsA = sumsA.p + at(0, 0, 0, 0);
    tile.SumsB = sumsB.p + at(0, 0, 0, 0);
    tile.SumRowFloats = sumRow;
    tile.Distance = distance.p;
    tile.Coefficient = coefficient;
    tile.LowerBound = &lower;
    tile.ExponentBias = &bias;
    AccumulateRegionTile<Gaussian>(tile);
    for (RegionTileModel& model : models) AccumulateRegionTileRef<Gaussian>(model);
    for (int y = -Reach - 1; y <= m + Reach; y++)
        for (int x = -Reach - 1; x <= n + Reach; x++)
            for (int f = 0; f < 2; f++)
                for (int s = 0; s < 8; s++)
                    for (int frame = 0; frame < 2; frame++) {
                        const float got = (frame ? sumsB.p : sumsA.p)[at(y, x, f, s)];
                        const bool inA = y >= 0 && y < m && x >= 0 && x < n;
                        const bool inB =
                            y >= -Reach && y < m + Reach && x >= -Reach && x < n + Reach;
                        const float want = frame ? (inB ? models[s].SumB(y, x)[f] : guard)
                                           : inA ? models[s].SumA(y, x)[f]
                                                 : guard;
                        if (!SameBits(got, want)) {
                            PrintRegionCase("AccumulateRegionTile", k);
                            printf(
                                "   frame %c row %d column %d field %d lane %d: %.9g, model %.9g\n",
                                frame ? 'B' : 'A', y, x, f, s, got, want);
                            return false;
                        }
                    }
    return true;
}

static bool CheckRegionKernel(std::mt19937& rng) {
    static const int strengths[] = {1, 40, 100, 7, 63};
    for (int R = 1; R <= 4; R++)
        for (int n = 8; n <= CrossChunkColumns; n += 8)
            for (int i = 0; i < 3 + Cases / 10; i++) {
                const int bound = CrossReach - R;
                auto motion = [&]() { return int(rng() % (2 * bound + 1)) - bound; };
                RegionCase k{};
                k.R = R, k.n = n, k.m = 1 + int(rng() % 13);
                k.lanes = i == 0 ? 255 : int(rng() % 256);
                k.my = motion(), k.mx = motion();
                // The frame's vector: far from the region's, or overlapping its window.
                k.gy = i % 3 == 1 ? std::max(-bound, std::min(bound, k.my + int(rng() % 3) - 1))
                                  : motion();
                k.gx = i % 3 == 1 ? std::max(-bound, std::min(bound, k.mx + int(rng() % 5) - 2))
                                  : motion();
                // The band near the top, the bottom or neither; the chunk first, last or inside
                // its strip, and W cutting the last strips.
                k.top = rng() % 3 == 0 ? 0 : int(rng() % 20);
                k.H = k.top + k.m + (rng() % 3 == 0 ? 0 : int(rng() % 12));
                k.column = 32 * int(rng() % 3);
                k.V = k.column + n + (rng() % 2 ? 0 : 8 * int(rng() % 3));
                k.W = 8 * k.V - int(rng() % (3 * k.V));
                k.kind = int(rng() % 5), k.strength = strengths[rng() % 5];
                k.gaussian = (i & 1) != 0;
                const bool ok =
                    k.gaussian ? RunRegionCase<true>(k, rng) : RunRegionCase<false>(k, rng);
                if (!ok) return false;
            }
    return true;
}

static bool CheckCrossKernelGaussian(std::mt19937& rng) {
    return CheckCrossKernel(rng, true);
}
static bool CheckCrossKernelBox(std::mt19937& rng) {
    return CheckCrossKernel(rng, false);
}

// ---- StoreSums and PackSums ----------------------------------------------------------------
static bool CheckSums(std::mt19937& rng) {
    std::uniform_real_distribution<float> weight(1.0f, 90.0f), unit(-1.0f, 1.0f);
    for (int i = 0; i < Cases; i++) {
        const int n = 8 * (1 + int(rng() % 5));
        Floats entries(size_t(n + 1) * EntryFloats), sums(size_t(n + 1) * SumFloats);
        for (int k = 0; k < (n + 1) * EntryFloats; k++) entries.p[k] = unit(rng) * 1000.0f;
        for (int k = 0; k < (n + 1) * SumFloats; k++) sums.p[k] = -3.5f;
        for (int x = 0; x < n; x++)
            for (int s = 0; s < 8; s++) {
                // Weighted sums up to past the 16-bit range, so that packing saturates.
                const float w = weight(rng);
                entries.p[EntryFloats * x + 16 + s] = w;
                entries.p[EntryFloats * x + 8 + s] = w * unit(rng) * (i % 3 ? 4000.0f : 40000.0f);
            }
        StoreSums(entries.p, sums.p, n);
        for (int x = 0; x <= n; x++)
            for (int k = 0; k < SumFloats; k++) {
                const float want = x == n ? -3.5f : entries.p[EntryFloats * x + 8 + k];
                if (!SameBits(sums.p[SumFloats * x + k], want)) {
                    printf("   StoreSums n=%d column %d float %d: %g, want %g, seed %u\n", n, x, k,
                           sums.p[SumFloats * x + k], want, Seed);
                    return false;
                }
            }
        std::vector<int16_t> packed(size_t(8) * (n + 1), int16_t(0x5A5A));
        PackSums(sums.p, packed.data(), n);
        for (int x = 0; x <= n; x++)
            for (int s = 0; s < 8; s++) {
                const int16_t want =
                    x == n ? int16_t(0x5A5A)
                           : PackSumsRef(sums.p[SumFloats * x + s], sums.p[SumFloats * x + 8 + s]);
                if (packed[size_t(8 * x + s)] != want) {
                    printf("   PackSums n=%d column %d lane %d: %d, model %d, seed %u\n", n, x, s,
                           packed[size_t(8 * x + s)], want, Seed);
                    return false;
                }
            }
        // The own values: whole 16-bit values, extremes included, under weighted sums of
        // either sign; the weight sum at its least (1.0) now and then.
        Floats own(size_t(8) * (n + 1));
        for (int k = 0; k < 8 * (n + 1); k++) {
            const int pick = int(rng() % 8);
            own.p[k] = pick == 0   ? -32768.0f
                       : pick == 1 ? 32767.0f
                                   : float(int(rng() % 65536) - 32768);
            if (rng() % 7 == 0) sums.p[SumFloats * (k / 8) + 8 + k % 8] = 1.0f;
        }
        std::fill(packed.begin(), packed.end(), int16_t(0x5A5A));
        PackSumsOwn(sums.p, own.p, packed.data(), n);
        for (int x = 0; x <= n; x++)
            for (int s = 0; s < 8; s++) {
                const int16_t want =
                    x == n ? int16_t(0x5A5A)
                           : PackSumsOwnRef(sums.p[SumFloats * x + s],
                                            sums.p[SumFloats * x + 8 + s], own.p[8 * x + s]);
                if (packed[size_t(8 * x + s)] != want) {
                    printf("   PackSumsOwn n=%d column %d lane %d: %d, model %d, seed %u\n", n, x,
                           s, packed[size_t(8 * x + s)], want, Seed);
                    return false;
                }
            }
    }
    return true;
}

// ---- driver --------------------------------------------------------------------------------
struct Group {
    const char* name;
    bool (*check)(std::mt19937&);
};

static bool CheckKernelGaussian(std::mt19937& rng) {
    return CheckKernel(rng, true);
}
static bool CheckKernelBox(std::mt19937& rng) {
    return CheckKernel(rng, false);
}

int main(int argc, char** argv) {
    if (!__builtin_cpu_supports("avx")) {
        printf("AVX not available, skipping\n");
        return 0;
    }
    std::string only;
    // Without a seed given, a fixed seed first, so that every run covers the same cases before
    // it explores, then a fresh one.
    std::vector<uint32_t> seeds = {FixedSeed, std::random_device{}()};
    if (const char* env = getenv("TESSIVAL_SEED")) seeds = {uint32_t(strtoul(env, nullptr, 0))};
    for (int i = 1; i < argc; i++) {
        if (!strncmp(argv[i], "--seed=", 7))
            seeds = {uint32_t(strtoul(argv[i] + 7, nullptr, 0))};
        else if (!strncmp(argv[i], "--function=", 11))
            only = argv[i] + 11;
        else if (!strncmp(argv[i], "--cases=", 8))
            Cases = atoi(argv[i] + 8);
        else if (!strcmp(argv[i], "--bench"))
            Bench = true;
        else {
            fprintf(stderr, "usage: checkasm [--seed=N] [--function=NAME] [--cases=N] [--bench]\n");
            return 2;
        }
    }
    printf("checkasm: seed%s", seeds.size() > 1 ? "s" : "");
    for (uint32_t s : seeds) printf(" %u", s);
    printf("\n");
    static const Group groups[] = {{"StageRow", CheckStageRow},
                                   {"StagePlaneRow", CheckStagePlaneRow},
                                   {"FastExpWeight", CheckFastExpWeight},
                                   {"PatchKernelGaussian", CheckKernelGaussian},
                                   {"PatchKernelBox", CheckKernelBox},
                                   {"CrossKernelGaussian", CheckCrossKernelGaussian},
                                   {"CrossKernelBox", CheckCrossKernelBox},
                                   {"RegionKernel", CheckRegionKernel},
                                   {"Sums", CheckSums}};
    for (const Group& g : groups) {
        if (!only.empty() && only != g.name) continue;
        if (Bench && strncmp(g.name, "PatchKernel", 11) && strncmp(g.name, "CrossKernel", 11))
            continue;
        bool ok = true;
        for (const uint32_t s : seeds) {
            if (!ok) break;
            Seed = s;
            std::mt19937 rng(Seed);
            ok = g.check(rng);
        }
        printf(" - %-22s [%s]\n", g.name, ok ? "OK" : "FAILED");
        if (!ok) {
            printf("   (seed %u; replay with --seed=%u)\n", Seed, Seed);
            Failures++;
        }
    }
    if (Failures) printf("checkasm: %d group(s) FAILED\n", Failures);
    return Failures ? 1 : 0;
}
