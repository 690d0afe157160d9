// temporal_stream_tests.cpp: --temporal in the program: the stage's order and delay, scene cuts,
// the default that stays the spatial filter, images that refuse the option
#include <gtest/gtest.h>
#include <math.h>

#include <random>

#include "../../host/temporal_api.h"
#include "../options.h"
#include "../scene_cut.h"
#include "../stream_pipeline.h"
#include "../temporal_stage.h"
#include "test_streams.h"

namespace {

// A gray stream of W x H frames: frames 0 to cut-1 show a pattern moving 2 pixels a frame, the
// rest another pattern; noise on every frame.
std::string MovingStream(int W, int H, int frames, int cut, uint32_t seed, bool object = false) {
    std::string s = Header(W, H, "mono") + "\n";
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (int t = 0; t < frames; t++) {
        s += "FRAME\n";
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const int u = x - 2 * t;
                const double clean = t < cut ? ((u / 6 + y / 6) % 2 ? 170 : 80) + (u & 31)
                                             : 40 + ((x * x + 3 * y) % 97) * 1.9;
                // An object of its own texture, 5 right and 3 down a frame, over the pan.
                const int ox = x - 20 - 5 * t, oy = y - 12 - 3 * t;
                const bool on = object && ox >= 0 && ox < 64 && oy >= 0 && oy < 40;
                const double v =
                    (on ? 60 + ((ox * ox + 5 * oy * oy) % 61) * 2.5 : clean) + noise(random);
                s += char(v < 0 ? 0 : v > 255 ? 255 : int(v + 0.5));
            }
    }
    return s;
}

std::string Filtered(const std::string& stream, const std::string& options) {
    ScratchFolder folder;
    WriteFile(folder.Path("in.y4m"), stream);
    const ProgramRun run = RunProgram(options + " --module " + TESSIVAL_MODULE + " " +
                                      folder.Path("in.y4m") + " " + folder.Path("out.y4m"));
    EXPECT_EQ(run.Code, 0) << run.Err;
    return ReadFile(folder.Path("out.y4m"));
}

// The frames of a y4m stream after its header.
std::string Frames(const std::string& stream) {
    return stream.substr(stream.find('\n') + 1);
}

TEST(TemporalStream, ZeroIsTheSpatialFilterByteForByte) {
    const std::string in = MovingStream(72, 40, 5, 5, 1);
    const std::string spatial = Filtered(in, "--range 2");
    // Streams are compared with ==: a difference would print every byte of them.
    EXPECT_TRUE(Filtered(in, "--range 2 --temporal 0") == spatial);
    const std::string temporal = Filtered(in, "--range 2 --temporal 1");
    EXPECT_EQ(temporal.size(), spatial.size());
    EXPECT_FALSE(temporal == spatial);
}

// The temporal mode weighs patches uniformly unless asked for the Gaussian; the spatial filter
// stays Gaussian unless asked for the uniform weighting. Auto strength takes the weighting's
// own curve, so the fixed strength here isolates the weighting itself.
TEST(TemporalStream, UniformWeightingUnlessGaussianIsAsked) {
    const std::string in = MovingStream(72, 40, 5, 5, 3);
    const std::string plain = Filtered(in, "--range 2 --strength 60 --temporal 1");
    EXPECT_TRUE(plain == Filtered(in, "--range 2 --strength 60 --temporal 1 --box"));
    const std::string gaussian = Filtered(in, "--range 2 --strength 60 --temporal 1 --gaussian");
    EXPECT_EQ(gaussian.size(), plain.size());
    EXPECT_FALSE(gaussian == plain);
    EXPECT_TRUE(Filtered(in, "--range 2 --strength 60") ==
                Filtered(in, "--range 2 --strength 60 --gaussian --temporal 0"));
    EXPECT_FALSE(Filtered(in, "--range 2 --strength 60") ==
                 Filtered(in, "--range 2 --strength 60 --box"));
}

// A hard cut ends the shot: the output is the two shots filtered as two clips.
TEST(TemporalStream, ACutEndsTheShot) {
    const int W = 96, H = 48;
    const std::string whole = MovingStream(W, H, 7, 3, 2);
    const size_t frameBytes = 6 + size_t(W) * H;
    const std::string header = whole.substr(0, whole.find('\n') + 1);
    const std::string body = Frames(whole);
    const std::string first = header + body.substr(0, 3 * frameBytes);
    const std::string second = header + body.substr(3 * frameBytes);
    for (const char* n : {"1", "2"}) {
        const std::string options = std::string("--range 2 --threads 2 --temporal ") + n;
        EXPECT_TRUE(Frames(Filtered(whole, options)) ==
                    Frames(Filtered(first, options)) + Frames(Filtered(second, options)))
            << "--temporal " << n;
    }
}

// A pan of 5 pixels a frame lies outside the range-1 window around each pixel; the motion
// estimate moves the window onto it, so the neighbours' matches count.
TEST(TemporalStream, TheWindowFollowsAPan) {
    const int W = 192, H = 96, frames = 6;
    std::string clean = Header(W, H, "mono") + "\n", noisy = clean;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 10.0);
    for (int t = 0; t < frames; t++) {
        clean += "FRAME\n", noisy += "FRAME\n";
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const int u = x - 5 * t, v = y - t;
                const int c =
                    128 + int(60 * sin(0.3 * u) * cos(0.23 * v)) + ((u / 9 + v / 7) & 1) * 30;
                const double n = c + noise(random);
                clean += char(c);
                noisy += char(n < 0 ? 0 : n > 255 ? 255 : int(n + 0.5));
            }
    }
    auto psnr = [&](const std::string& out) {
        const std::string a = Frames(clean), b = Frames(out);
        EXPECT_EQ(a.size(), b.size());
        double sum = 0;
        long count = 0;
        for (size_t t = 0; t < size_t(frames); t++)
            for (size_t i = 0; i < size_t(W) * H; i++) {
                const size_t at = t * (6 + size_t(W) * H) + 6 + i;
                if (at >= a.size() || at >= b.size()) return 0.0;
                const double d = double(uint8_t(a[at])) - double(uint8_t(b[at]));
                sum += d * d, count++;
            }
        return 10.0 * log10(255.0 * 255.0 * double(count) / sum);
    };
    const double spatial = psnr(Filtered(noisy, "--range 1 --strength 60"));
    const double temporal = psnr(Filtered(noisy, "--range 1 --strength 60 --temporal 1"));
    EXPECT_GT(temporal, spatial + 1.0) << "spatial " << spatial << " dB, temporal " << temporal;
}

TEST(TemporalStream, SceneCutsAreCutsAndMotionIsNot) {
    const int W = 160, H = 96;
    auto frame = [&](int shift, int pattern, uint32_t seed) {
        std::mt19937 random(seed);
        std::vector<YcPixel> image(size_t(W) * H);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const int u = x - shift;
                const int v = pattern == 0 ? ((u / 10 + y / 10) % 2 ? 2600 : 1100) + 8 * (u & 63)
                                           : 300 + 30 * ((x * 7 + y * 13) % 101);
                image[size_t(y) * W + x] = YcPixel{int16_t(v + int(random() % 129) - 64), 0, 0};
            }
        return image;
    };
    const std::vector<YcPixel> a = frame(0, 0, 1);
    EXPECT_FALSE(IsSceneCut(a.data(), W, frame(0, 0, 2).data(), W, W, H));  // noise only
    EXPECT_FALSE(IsSceneCut(a.data(), W, frame(3, 0, 3).data(), W, W, H));  // a pan
    EXPECT_FALSE(IsSceneCut(a.data(), W, frame(12, 0, 4).data(), W, W, H));
    EXPECT_TRUE(IsSceneCut(a.data(), W, frame(0, 1, 5).data(), W, W, H));  // another shot
    EXPECT_FALSE(IsSceneCut(a.data(), W, a.data(), W, 1, 1));
}

// A stream sent through the temporal stage one item at a time, as the pipeline sends it.
struct StageRun {
    std::vector<StreamItem> Items;                // the frames, then the end
    std::vector<std::vector<StreamItem*>> Ready;  // what each call handed on
    int Hold = 0;                                 // TemporalStageHold
    long Cuts = 0;
};

// Reads `stream` into `items` items (ReadStage, ToHostStage, MeasureStage) and hands each to
// TemporalStage with `neighbours` frames on each side.
void RunStage(const std::string& stream, const FilterSettings& settings, int neighbours,
              size_t items, StageRun* run) {
    FILE* in = ReadFrom(stream);
    Y4mReader reader;
    reader.In = in;
    ASSERT_TRUE(ReadY4mHeader(&reader)) << reader.Error;
    LumaFilter filter;
    std::string error;
    ASSERT_TRUE(OpenLumaFilter(&filter, settings, &error)) << error;
    TemporalFilter temporal;
    ASSERT_TRUE(OpenTemporalFilter(&temporal, &filter, settings, neighbours, reader.Format, &error))
        << error;
    run->Hold = TemporalStageHold(temporal);
    run->Items = std::vector<StreamItem>(items);
    for (StreamItem& item : run->Items) {
        if (ReadStage(&reader, "in", -1, &item)) {
            ToHostStage(reader.Format, &item);
            MeasureStage(&temporal.Measures, reader.Format, &item);
        }
        run->Ready.emplace_back();
        TemporalStage(&temporal, &item, &run->Ready.back());
    }
    run->Cuts = temporal.Cuts;
    CloseLumaFilter(&filter);
    fclose(in);
}

// The stage holds up to N + 1 frames and hands them on in order, the last ones at the end. With
// the strength measured from the frames, the first frames of a shot wait for its median noise
// first (five, or all a shorter clip has); with --sigma, nothing waits for it.
TEST(TemporalStream, StageHandsFramesOnInOrderAfterTheirNeighbours) {
    const std::string stream = MovingStream(64, 16, 5, 5, 3);
    for (int way = 0; way < 3; way++) {
        SCOPED_TRACE(way);
        FilterSettings settings;
        settings.Threads = 2;
        settings.Module = TESSIVAL_MODULE;
        settings.AutoStrength = way > 0;
        settings.Sigma = way == 2 ? 6.0 : -1;
        StageRun run;
        ASSERT_NO_FATAL_FAILURE(RunStage(stream, settings, 2, 6, &run));
        EXPECT_EQ(run.Hold, way == 1 ? 8 : 3);
        std::vector<std::vector<long>> handed;
        for (const std::vector<StreamItem*>& ready : run.Ready) {
            handed.emplace_back();
            for (StreamItem* r : ready) handed.back().push_back(r->End ? -1 : r->Number);
        }
        const std::vector<std::vector<long>> want =
            way == 1 ? std::vector<std::vector<long>>{{}, {}, {}, {}, {1, 2, 3}, {4, 5, -1}}
                     : std::vector<std::vector<long>>{{}, {}, {1}, {2}, {3}, {4, 5, -1}};
        EXPECT_EQ(handed, want);
        EXPECT_EQ(run.Cuts, 0);
    }
}

// A shot's automatic strength comes from the median noise of its first frames, not from its
// first frame alone: one frame twice as noisy as the rest does not set it.
TEST(TemporalStream, TheShotsNoiseIsTheMedianOfItsFirstFrames) {
    const int W = 256, H = 128, frames = 6;
    std::string stream = Header(W, H, "mono") + "\n";
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int t = 0; t < frames; t++) {
        std::normal_distribution<double> noise(0.0, t == 0 ? 12.0 : 6.0);
        stream += "FRAME\n";
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const double v = 100 + 0.2 * x + 0.1 * y + noise(random);
                stream += char(v < 0 ? 0 : v > 255 ? 255 : int(v + 0.5));
            }
    }
    FilterSettings settings;
    settings.Threads = 1;
    settings.Module = TESSIVAL_MODULE;
    StageRun run;
    ASSERT_NO_FATAL_FAILURE(RunStage(stream, settings, 1, frames + 1, &run));
    std::vector<double> sigmas;
    for (const std::vector<StreamItem*>& ready : run.Ready)
        for (StreamItem* r : ready)
            if (!r->End) sigmas.push_back(r->Sigma);
    EXPECT_EQ(run.Cuts, 0);
    ASSERT_EQ(sigmas.size(), size_t(frames));
    for (double sigma : sigmas) {
        EXPECT_EQ(sigma, sigmas[0]);
        EXPECT_NEAR(sigma, 6.0, 0.6);
    }
}

// The reader's measures, on each frame's samples, against what the filter stage found before
// on the host images of consecutive frames: the same vectors, and the cut in the same place, at
// 8 bits and at 10 (its samples four times the 8-bit ones). The pans move 2 pixels a frame.
TEST(TemporalStream, ReaderMeasuresAreThoseOfTheHostImages) {
    const int W = 160, H = 96, frames = 7, cut = 4;
    const std::string eight = MovingStream(W, H, frames, cut, 11, true);
    std::string ten = Header(W, H, "mono10") + "\n";
    for (int t = 0; t < frames; t++) {
        ten += "FRAME\n";
        const size_t at = eight.find('\n') + 1 + size_t(t) * (6 + size_t(W) * H) + 6;
        for (size_t i = 0; i < size_t(W) * H; i++) {
            const int v = uint8_t(eight[at + i]) * 4;
            ten += char(v & 255), ten += char(v >> 8);
        }
    }
    for (const std::string* stream : {&eight, static_cast<const std::string*>(&ten)}) {
        FILE* in = ReadFrom(*stream);
        Y4mReader reader;
        reader.In = in;
        ASSERT_TRUE(ReadY4mHeader(&reader)) << reader.Error;
        FrameMeasures measures;
        measures.Bound = TemporalMotionBound(2);
        // Regions as the mode cuts a 160x96 frame at range 2: bands of 24 rows, strips of 24.
        measures.Regions = TemporalRegions{24, 4, 24, 32, 1, 32};
        std::vector<StreamItem> items(frames);
        int moved = 0, object = 0;
        for (int t = 0; t < frames; t++) {
            StreamItem& item = items[t];
            ASSERT_TRUE(ReadStage(&reader, "in", -1, &item));
            ToHostStage(reader.Format, &item);
            MeasureStage(&measures, reader.Format, &item);
            if (t == 0) {
                EXPECT_TRUE(!item.Cut && item.Motion.X == 0 && item.Motion.Y == 0);
                continue;
            }
            const HostImage& a = items[t - 1].Image;
            const HostImage& b = item.Image;
            const bool wantCut = IsSceneCut(a.Pixels, a.Capacity, b.Pixels, b.Capacity, W, H);
            EXPECT_EQ(item.Cut, wantCut) << "frame " << t << ", " << reader.Format.Bits << " bits";
            EXPECT_EQ(item.Cut, t == cut) << "frame " << t;
            if (item.Cut) continue;
            const GlobalMotion want =
                EstimateMotion(a.Pixels, a.Capacity, b.Pixels, b.Capacity, W, H, measures.Bound);
            EXPECT_TRUE(item.Motion.X == want.X && item.Motion.Y == want.Y)
                << "frame " << t << ": (" << item.Motion.Y << ", " << item.Motion.X << ") against ("
                << want.Y << ", " << want.X << ")";
            moved += item.Motion.X == 2 && item.Motion.Y == 0;
            // The vectors per region likewise, on any scale; the object's found.
            RegionPlanes planesA, planesB;
            TakeRegionPlanes(HostLuma(a.Pixels, a.Capacity, W, H), &planesA);
            TakeRegionPlanes(HostLuma(b.Pixels, b.Capacity, W, H), &planesB);
            std::vector<int8_t> field;
            EstimateRegions(planesA, planesB, want, measures.Bound, measures.Regions, &field);
            EXPECT_EQ(item.Field, field) << "frame " << t;
            for (size_t i = 0; i + 1 < item.Field.size(); i += 2)
                object += item.Field[i] == 3 && item.Field[i + 1] == 5;
        }
        EXPECT_GE(moved, 3) << "the pan was not followed";
        EXPECT_GE(object, 3) << "the object was not followed";
        fclose(in);
    }
}

// The measures run on the reader's thread, ahead of the filter: the bytes must not depend on
// how far ahead, nor on the worker threads. A pan, a cut and another pan, with both neighbours'
// counts and an automatic strength that reconverts each shot.
TEST(TemporalStream, OutputDoesNotDependOnThreads) {
    // With an object moving its own way, so that regions take their own vectors.
    const std::string in = MovingStream(330, 100, 9, 6, 5, true);
    for (const char* options :
         {"--range 2 --temporal 1 --strength 150", "--range 1 --temporal 2"}) {
        const std::string one = Filtered(in, std::string(options) + " --threads 1");
        for (const char* threads : {" --threads 2", " --threads 3"})
            EXPECT_TRUE(Filtered(in, std::string(options) + threads) == one) << options << threads;
    }
}

TEST(TemporalStream, ImagesAndBadValuesAreRefused) {
    ScratchFolder folder;
    const ProgramRun demo = RunProgram("demo --module " + std::string(TESSIVAL_MODULE) + " " +
                                       folder.Path("d.png") + " >/dev/null");
    ASSERT_EQ(demo.Code, 0) << demo.Err;
    const ProgramRun image =
        RunProgram("--temporal 1 " + folder.Path("d.png") + " " + folder.Path("o.png"));
    EXPECT_EQ(image.Code, ExitUsage);
    EXPECT_NE(image.Err.find("--temporal"), std::string::npos) << image.Err;
    const ProgramRun three =
        RunProgram("--temporal 3 " + folder.Path("d.png") + " " + folder.Path("o.png"));
    EXPECT_EQ(three.Code, ExitUsage);
    EXPECT_NE(three.Err.find("0 to 2"), std::string::npos) << three.Err;
}

}  // namespace
