// auto_strength_tests.cpp: --strength auto and --sigma in the program, strengths past 100, and
// --strength 40 still the editor's own result
#include <gtest/gtest.h>
#include <math.h>

#include <random>

#include "../../noise/strength_calibration.h"
#include "../image_io.h"
#include "../luma_filter.h"
#include "test_streams.h"

namespace {

enum { W = 160, H = 120 };

// An 8-bit gray picture: a gradient with a few discs, plus Gaussian noise of `sigma` levels.
std::vector<uint8_t> NoisyPicture(double sigma, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<uint8_t> p(size_t(W) * H);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            double v = 50 + 120.0 * x / W + 30.0 * y / H;
            if ((x - 50) * (x - 50) + (y - 60) * (y - 60) < 400) v = 200;
            if ((x - 120) * (x - 120) + (y - 40) * (y - 40) < 150) v = 30;
            v = nearbyint(v + normal(rng));
            p[size_t(y) * W + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
    return p;
}

std::string Pgm(const std::vector<uint8_t>& p) {
    return "P5\n" + std::to_string(W) + " " + std::to_string(H) + "\n255\n" +
           std::string(p.begin(), p.end());
}

std::vector<uint8_t> PgmPixels(const std::string& file) {
    Image image;
    std::string error;
    EXPECT_TRUE(DecodePnm(std::vector<uint8_t>(file.begin(), file.end()), &image, &error)) << error;
    return std::vector<uint8_t>(image.Samples.begin(), image.Samples.end());
}

// The module as the editor runs it, set up here without any of the program's code: controls
// stored and Update called, luma handed over at 2^scaleBits levels (q = s << (scaleBits - 8))
// and rounded back to 8 bits.
std::vector<uint8_t> EditorResult(const std::vector<uint8_t>& in, int strength, int scaleBits) {
    std::string error;
    SubstituteHost host(2);
    EXPECT_TRUE(host.Load(TESSIVAL_MODULE, &error)) << error;
    host.Init();
    host.SetControls(1, strength, true);
    host.AllocateImages(W, H, W);
    const int shift = scaleBits - 8;
    for (int y = 0; y < H; y++) {
        YcPixel* row = host.Row(host.Edit(), y);
        for (int x = 0; x < W; x++) row[x] = YcPixel{int16_t(in[size_t(y) * W + x] << shift), 0, 0};
    }
    EXPECT_EQ(host.Process(), 1);
    std::vector<uint8_t> out(in.size());
    for (int y = 0; y < H; y++) {
        const YcPixel* row = host.Row(host.Edit(), y);
        for (int x = 0; x < W; x++) {
            const int v = (row[x].Y + (1 << (shift - 1))) >> shift;
            out[size_t(y) * W + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
    host.Exit();
    return out;
}

struct Result {
    ProgramRun Run;
    std::vector<uint8_t> Pixels;
};

Result Filter(const std::vector<uint8_t>& in, const std::string& options) {
    ScratchFolder dir;
    WriteFile(dir.Path("in.pgm"), Pgm(in));
    Result r;
    r.Run = RunProgram(options + " " + dir.Path("in.pgm") + " " + dir.Path("out.pgm"));
    EXPECT_EQ(r.Run.Code, 0) << r.Run.Err;
    r.Pixels = PgmPixels(ReadFile(dir.Path("out.pgm")));
    return r;
}

TEST(AutoStrength, GivenStrengthsAreTheModulesOwnAndPast100AReducedScale) {
    const std::vector<uint8_t> in = NoisyPicture(12, 5);
    // --strength 40 is the editor's default result, byte for byte; so is every strength to 100.
    for (int s : {40, 1, 100}) {
        const Result r = Filter(in, "--strength " + std::to_string(s));
        EXPECT_EQ(r.Pixels, EditorResult(in, s, 12)) << "--strength " << s;
        EXPECT_EQ(r.Run.Err, "") << "a given strength is not reported";
    }
    // Past 100: the 11-bit scale up to 141, then the 10-bit one.
    EXPECT_EQ(Filter(in, "--strength 140").Pixels, EditorResult(in, 99, 11));  // 140 / sqrt(2)
    EXPECT_EQ(Filter(in, "--strength 200").Pixels, EditorResult(in, 100, 10));
    EXPECT_EQ(Filter(in, "--strength 150").Pixels, EditorResult(in, 75, 10));
    // And stronger really is smoother: fewer distinct values.
    EXPECT_NE(Filter(in, "--strength 200").Pixels, Filter(in, "--strength 100").Pixels);
}

TEST(AutoStrength, MeasuresTheNoiseSaysSoAndFiltersAsThatStrength) {
    for (double sigma : {3.0, 12.0, 30.0}) {
        const std::vector<uint8_t> in = NoisyPicture(sigma, 7);
        const Result r = Filter(in, "");
        double estimated = 0;
        int strength = 0;
        ASSERT_EQ(sscanf(r.Run.Err.c_str(), "tessival: noise sigma %lf (estimated), strength %d\n",
                         &estimated, &strength),
                  2)
            << r.Run.Err;
        EXPECT_NEAR(estimated, sigma, 0.12 * sigma) << r.Run.Err;
        EXPECT_EQ(strength, StrengthForSigma(estimated, 8, 1, true));
        EXPECT_EQ(r.Pixels, Filter(in, "--strength " + std::to_string(strength)).Pixels);
    }
    // Clean input is hardly touched.
    const std::vector<uint8_t> clean = NoisyPicture(0, 1);
    const Result r = Filter(clean, "--strength auto");
    double sum = 0;
    for (size_t i = 0; i < clean.size(); i++) sum += pow(r.Pixels[i] - clean[i], 2);
    EXPECT_GT(10 * log10(255.0 * 255.0 * clean.size() / std::max(sum, 1.0)), 40.0) << r.Run.Err;
}

TEST(AutoStrength, SigmaGivenSkipsTheEstimateAndQuietSaysNothing) {
    const std::vector<uint8_t> in = NoisyPicture(12, 9);
    const Result r = Filter(in, "--sigma 4 --range 3 --box");
    const int expect = StrengthForSigma(4, 8, 3, false);
    EXPECT_EQ(r.Run.Err,
              "tessival: noise sigma 4.00 (given), strength " + std::to_string(expect) + "\n");
    EXPECT_EQ(r.Pixels, Filter(in, "--range 3 --box --strength " + std::to_string(expect)).Pixels);
    EXPECT_EQ(Filter(in, "--quiet").Run.Err, "");
    // A 16-bit picture's sigma is in 16-bit steps: the same noise, the same strength.
    EXPECT_EQ(StrengthForSigma(4 * 256, 16, 3, false), expect);
}

}  // namespace
