// auto_strength_tests.cpp: --strength auto and --sigma in the program, strengths past 100, and
// --strength 40 still the editor's own result
#include <gtest/gtest.h>
#include <math.h>

#include <random>

#include "../../noise/noise_estimate.h"
#include "../../noise/strength_calibration.h"
#include "../image_io.h"
#include "../luma_filter.h"
#include "test_streams.h"

namespace {

enum { W = 160, H = 120 };

// A strength auto may pick for noise of `sigma`: from the curve for busy pictures up to where a
// picture of the greatest smoothness lands.
::testing::AssertionResult Calibrated(int strength, double sigma, int range, bool gaussian) {
    const int busy = StrengthForSigma(sigma, 8, range, gaussian);
    const int smooth = int(floor(SpatialStrength(sigma, 1, range, gaussian) + 0.5));
    if (strength >= busy && strength <= smooth) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "strength " << strength << " for sigma " << sigma
                                         << " outside " << busy << ".." << smooth;
}

// An 8-bit gray picture: a gradient with a few discs, plus Gaussian noise of `sigma` levels.
// Scene 1 is the same picture darker, with a histogram apart from scene 0's.
std::vector<uint8_t> NoisyPicture(double sigma, unsigned seed, int scene = 0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<uint8_t> p(size_t(W) * H);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            double v = 50 + 120.0 * x / W + 30.0 * y / H;
            if ((x - 50) * (x - 50) + (y - 60) * (y - 60) < 400) v = 200;
            if ((x - 120) * (x - 120) + (y - 40) * (y - 40) < 150) v = 30;
            if (scene == 1) v = 0.35 * v + 12;
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
    EXPECT_NE(Filter(in, "--strength 200").Pixels, Filter(in, "--strength 100").Pixels);
}

// What the scale past 100 rests on: at a luma scale of 10 bits (a quarter of the 12-bit one)
// module strength s filters as 2s does at 12 bits -- not as 4s -- up to the rounding of the
// coarser scale.
TEST(AutoStrength, AQuarterOfTheScaleDoublesTheStrength) {
    const std::vector<uint8_t> in = NoisyPicture(12, 11);
    const std::vector<uint8_t> full = EditorResult(in, 100, 12);
    const auto differing = [&](const std::vector<uint8_t>& other) {
        int n = 0;
        for (size_t i = 0; i < in.size(); i++) n += abs(int(other[i]) - int(full[i])) > 1;
        return n;
    };
    EXPECT_LT(differing(EditorResult(in, 50, 10)), int(in.size() / 200));
    EXPECT_GT(differing(EditorResult(in, 25, 10)), int(in.size() / 10));
    EXPECT_LT(differing(EditorResult(in, 71, 11)), int(in.size() / 200));  // 100 / sqrt(2)
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
        const NoiseEstimate e = EstimateNoise(in.data(), W, H, W, 8);
        EXPECT_EQ(strength, StrengthForNoise(e.Sigma, e.Detail, 8, 1, true));
        EXPECT_EQ(r.Pixels, Filter(in, "--strength " + std::to_string(strength)).Pixels);
    }
    // Clean input is hardly touched.
    const std::vector<uint8_t> clean = NoisyPicture(0, 1);
    const Result r = Filter(clean, "--strength auto");
    double sum = 0;
    for (size_t i = 0; i < clean.size(); i++) sum += pow(r.Pixels[i] - clean[i], 2);
    EXPECT_GT(10 * log10(255.0 * 255.0 * clean.size() / std::max(sum, 1.0)), 40.0) << r.Run.Err;
}

TEST(AutoStrength, SmoothPicturesGetMoreStrengthThanBusyOnesAtTheSameNoise) {
    // A plain gradient and the same gradient under a fine pattern, both with noise of sigma 15:
    // the smooth one is filtered harder, the busy one at the curve for busy pictures.
    std::mt19937 rng(3);
    std::normal_distribution<double> normal(0.0, 15);
    std::vector<uint8_t> smooth(size_t(W) * H), busy(smooth.size());
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const double v = 60 + 100.0 * x / W + 40.0 * y / H;
            const double pattern = 45 * sin(x * 0.9) * cos(y * 0.7) + ((x / 5 + y / 7) % 2) * 40;
            const auto level = [](double a) { return uint8_t(a < 0 ? 0 : a > 255 ? 255 : a); };
            smooth[size_t(y) * W + x] = level(nearbyint(v + normal(rng)));
            busy[size_t(y) * W + x] = level(nearbyint(v - 20 + pattern + normal(rng)));
        }
    }
    int strength[2] = {};
    double sigma[2] = {};
    for (int k = 0; k < 2; k++) {
        const Result r = Filter(k == 0 ? smooth : busy, "--range 2");
        ASSERT_EQ(sscanf(r.Run.Err.c_str(), "tessival: noise sigma %lf (estimated), strength %d\n",
                         &sigma[k], &strength[k]),
                  2)
            << r.Run.Err;
        EXPECT_NEAR(sigma[k], 15, 2) << r.Run.Err;
    }
    EXPECT_GT(strength[0], strength[1] + 20) << strength[0] << " against " << strength[1];
    EXPECT_EQ(strength[1], StrengthForSigma(sigma[1], 8, 2, true));
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

// A mono y4m clip of frames made by NoisyPicture(sigma, seed + k, scene) for each (scene,
// sigma, count) given.
struct Shot {
    int Scene;
    double Sigma;
    int Frames;
};
std::string Clip(const std::vector<Shot>& shots, std::vector<std::string>* frames = nullptr) {
    std::string clip =
        "YUV4MPEG2 W" + std::to_string(W) + " H" + std::to_string(H) + " F25:1 Ip A1:1 Cmono\n";
    unsigned seed = 100;
    for (const Shot& shot : shots) {
        for (int k = 0; k < shot.Frames; k++) {
            const std::vector<uint8_t> p = NoisyPicture(shot.Sigma, seed++, shot.Scene);
            clip += "FRAME\n" + std::string(p.begin(), p.end());
            if (frames) frames->push_back(std::string(p.begin(), p.end()));
        }
    }
    return clip;
}

// Runs the program on a clip; returns the frames it wrote.
std::vector<std::string> Frames(const std::string& clip, const std::string& options,
                                ProgramRun* run) {
    ScratchFolder dir;
    WriteFile(dir.Path("in.y4m"), clip);
    *run = RunProgram(options + " " + dir.Path("in.y4m") + " " + dir.Path("out.y4m"));
    EXPECT_EQ(run->Code, 0) << run->Err;
    const std::string out = ReadFile(dir.Path("out.y4m"));
    std::vector<std::string> frames;
    const size_t bytes = size_t(W) * H;
    for (size_t at = out.find("FRAME\n"); at != std::string::npos && at + 6 + bytes <= out.size();
         at = out.find("FRAME\n", at + 6 + bytes))
        frames.push_back(out.substr(at + 6, bytes));
    return frames;
}

TEST(AutoStrengthStream, OneStrengthPerShotAndANewOneAfterACut) {
    std::vector<std::string> input;
    const std::string clip = Clip({{0, 3, 8}, {1, 12, 7}}, &input);
    ProgramRun run;
    const std::vector<std::string> out = Frames(clip, "", &run);
    ASSERT_EQ(out.size(), 15u);
    double sigma[2];
    int strength[2];
    ASSERT_EQ(sscanf(run.Err.c_str(),
                     "tessival: 15 frames, 2 shots: noise sigma %lf to %lf (estimated), strength "
                     "%d to %d\n",
                     &sigma[0], &sigma[1], &strength[0], &strength[1]),
              4)
        << run.Err;
    // Scene 1 is darker and partly clipped at 0; its noise still reads as more than scene 0's.
    EXPECT_NEAR(sigma[0], 3, 0.5) << run.Err;
    EXPECT_NEAR(sigma[1], 12, 2) << run.Err;
    // Every frame of a shot is its own frame filtered at that shot's strength, in order.
    ProgramRun fixed;
    const std::vector<std::string> first =
        Frames(clip, "--strength " + std::to_string(strength[0]), &fixed);
    const std::vector<std::string> second =
        Frames(clip, "--strength " + std::to_string(strength[1]), &fixed);
    for (int k = 0; k < 15; k++) EXPECT_EQ(out[k], (k < 8 ? first : second)[k]) << "frame " << k;
}

TEST(AutoStrengthStream, SteadyNoiseKeepsOneStrengthAndShortClipsAreReleased) {
    ProgramRun run;
    const std::string clip = Clip({{0, 8, 30}});
    const std::vector<std::string> out = Frames(clip, "--range 2", &run);
    EXPECT_EQ(out.size(), 30u);
    double sigma = 0;
    int strength = 0;
    ASSERT_EQ(sscanf(run.Err.c_str(),
                     "tessival: 30 frames, 1 shot: noise sigma %lf (estimated), strength %d\n",
                     &sigma, &strength),
              2)
        << run.Err;
    EXPECT_TRUE(Calibrated(strength, sigma, 2, true));
    // Fewer frames than the lead, cut short by --frames: all come out, at one strength.
    const std::vector<std::string> three = Frames(clip, "--range 2 --frames 3", &run);
    EXPECT_EQ(three.size(), 3u);
    EXPECT_NE(run.Err.find("tessival: 3 frames, 1 shot: noise sigma"), std::string::npos)
        << run.Err;
    // --sigma: given, for the whole stream; --quiet: no summary.
    Frames(clip, "--sigma 5 --frames 2", &run);
    EXPECT_EQ(run.Err, "tessival: 2 frames, 1 shot: noise sigma 5.00 (given), strength " +
                           std::to_string(StrengthForSigma(5, 8, 1, true)) + "\n");
    Frames(clip, "--quiet --frames 2", &run);
    EXPECT_EQ(run.Err, "");
}

TEST(AutoStrengthStream, ProgressShowsTheNoiseAndStrengthInUse) {
    ProgramRun run;
    Frames(Clip({{0, 6, 7}}), "--progress", &run);
    double sigma = 0;
    int strength = 0;
    const size_t at = run.Err.find("fps, sigma ");
    ASSERT_NE(at, std::string::npos) << run.Err;
    ASSERT_EQ(sscanf(run.Err.c_str() + at, "fps, sigma %lf, strength %d", &sigma, &strength), 2)
        << run.Err;
    EXPECT_TRUE(Calibrated(strength, sigma, 1, true));
    EXPECT_NE(run.Err.find("tessival: 7 frames, 1 shot: noise sigma"), std::string::npos);
}

TEST(AutoStrengthDemo, PrintsTheEstimatedSigmaBesideTheAddedOne) {
    ScratchFolder dir;
    for (const char* noise : {"4", "25"}) {
        const ProgramRun run = RunProgram("demo --noise " + std::string(noise) + " " +
                                          dir.Path("demo.png") + " >" + dir.Path("stdout"));
        ASSERT_EQ(run.Code, 0) << run.Err;
        const std::string out = ReadFile(dir.Path("stdout"));
        int added = 0, strength = 0;
        double estimated = 0;
        const size_t at = out.find("noise: sigma ");
        ASSERT_NE(at, std::string::npos) << out;
        ASSERT_EQ(
            sscanf(out.c_str() + at, "noise: sigma %d added, %lf estimated; strength %d (auto)",
                   &added, &estimated, &strength),
            3)
            << out;
        EXPECT_EQ(added, atoi(noise));
        EXPECT_NEAR(estimated, added, 0.1 * added) << out;
        EXPECT_TRUE(Calibrated(strength, estimated, 2, true)) << out;
        EXPECT_NE(out.find("--strength " + std::to_string(strength)), std::string::npos) << out;
    }
}

TEST(AutoStrengthStream, StrengthsPast100ReachTheFramesAtTheirReducedScale) {
    // The reader hands luma over before the shot's strength is known; a strength past 100 needs
    // it again at a reduced scale.
    const std::string clip = Clip({{0, 30, 6}});
    ProgramRun run;
    const std::vector<std::string> out = Frames(clip, "", &run);
    double sigma = 0;
    int strength = 0;
    ASSERT_EQ(sscanf(run.Err.c_str(),
                     "tessival: 6 frames, 1 shot: noise sigma %lf (estimated), strength %d\n",
                     &sigma, &strength),
              2)
        << run.Err;
    EXPECT_GT(strength, 100) << run.Err;
    ProgramRun fixed;
    EXPECT_EQ(out, Frames(clip, "--strength " + std::to_string(strength), &fixed));
}

}  // namespace
