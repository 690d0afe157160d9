// frame_tests.cpp: whole frames through the loadable module, against the clamp-to-edge oracle
//
// Every frame goes the host's way: the substitute host loads the module, sets the controls,
// calls ProcessFrame on N threads and takes word 1 of the frame info as the result.
//
// Seeded tests run the fixed seed first and then this run's own (TestSeeds). Noisy content at
// Strength 40 or more must make the filter move pixels: random and extreme content mostly
// come back unchanged (every neighbour weight underflows), so they check saturation and
// bounds, and Noisy frames check the filtering itself.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <memory>
#include <random>

#include "../subhost/substitute_host.h"
#include "oracle.h"

namespace {

struct FrameCase {
    int W, H, capacity, offset, R, strength, threads;
    bool gaussian;
    Content content;
};

uint32_t CaseSeed = 0;  // the seed the running case's content came from

// Runs body(rng) once per seed of TestSeeds(), with the seed offset by `salt`.
template <typename Body>
void ForEachSeed(uint32_t salt, Body body) {
    for (uint32_t seed : TestSeeds()) {
        CaseSeed = seed;
        std::mt19937 rng(seed + salt);
        body(rng);
        if (::testing::Test::HasFailure()) return;
    }
}

std::string Describe(const FrameCase& f) {
    char text[256];
    snprintf(text, sizeof text,
             "W=%d H=%d capacity=%d offset=%d R=%d strength=%d %s threads=%d %s seed=%u", f.W, f.H,
             f.capacity, f.offset, f.R, f.strength, f.gaussian ? "gaussian" : "box", f.threads,
             ContentName(f.content), CaseSeed);
    return text;
}

// One host per thread count, kept for the whole run as a host would.
SubstituteHost& HostWithThreads(int threads) {
    static std::unique_ptr<SubstituteHost> hosts[17];
    std::unique_ptr<SubstituteHost>& host = hosts[threads];
    if (!host) {
        host.reset(new SubstituteHost(threads));
        std::string error;
        if (!host->Load(TESSIVAL_MODULE, &error)) ADD_FAILURE() << error;
    }
    return *host;
}

struct Outcome {
    int64_t pixels = 0, exact = 0, moved = 0;
    double largest = 0;
};

// Fills the edit image (Cb, Cr from the position), runs the frame and checks everything a host
// can see: result code, pointer exchange, Y against the oracle, Cb and Cr exact, the bytes past
// each row's W rounded up to 8 and around both images untouched.
void RunFrame(const FrameCase& f, std::mt19937& rng, Outcome* outcome = nullptr) {
    SCOPED_TRACE(Describe(f));
    SubstituteHost& host = HostWithThreads(f.threads);
    host.SetControls(f.R, f.strength, f.gaussian);
    host.AllocateImages(f.W, f.H, f.capacity, f.offset);
    const LumaPlane plane = MakePlane(f.W, f.H, f.content, rng);
    YcPixel* const edit = host.Edit();
    YcPixel* const temp = host.Temp();
    for (int y = 0; y < f.H; y++)
        for (int x = 0; x < f.W; x++)
            host.Row(edit, y)[x] =
                YcPixel{plane.Y[size_t(y) * f.W + x], int16_t(x * 3 - y), int16_t(y * 5 + x)};
    ASSERT_EQ(host.Process(), 1);
    ASSERT_EQ(host.Edit(), temp) << "the result must come back in the temp image's place";
    ASSERT_EQ(host.Temp(), edit);
    ASSERT_TRUE(host.GuardsIntact()) << "bytes around an image were written";
    const std::vector<double> expected = OracleFilter(plane, f.R, f.strength, f.gaussian);
    const int written =
        f.capacity >= ((f.W + 7) & ~7) && f.offset % 16 == 0 && (f.capacity * 6) % 16 == 0
            ? (f.W + 7) & ~7
            : f.W;
    int reported = 0;
    int64_t moved = 0;
    for (int y = 0; y < f.H; y++) {
        const YcPixel* row = host.Row(temp, y);
        for (int x = 0; x < f.W; x++) {
            moved += row[x].Y != plane.Y[size_t(y) * f.W + x];
            double d = 0;
            const bool agrees = OracleAgrees(row[x].Y, expected[size_t(y) * f.W + x], &d);
            if ((!agrees || row[x].Cb != int16_t(x * 3 - y) || row[x].Cr != int16_t(y * 5 + x)) &&
                reported++ < 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << "): Y " << row[x].Y << ", oracle "
                              << expected[size_t(y) * f.W + x] << ", Cb " << row[x].Cb << ", Cr "
                              << row[x].Cr;
            if (outcome) {
                outcome->moved += row[x].Y != plane.Y[size_t(y) * f.W + x];
                outcome->pixels++;
                outcome->exact += d < 0.5;
                outcome->largest = std::max(outcome->largest, d);
            }
        }
        // Past W rounded up to 8 (or past W for images without room or alignment): untouched.
        const uint8_t* tail = reinterpret_cast<const uint8_t*>(row + written);
        for (int k = 0; k < (f.capacity - written) * 6; k++)
            if (tail[k] != SubstituteHost::GuardValue && reported++ < 5)
                ADD_FAILURE() << "row " << y << " written past its end at byte " << k;
    }
    // A case that changes nothing would pass whatever the filter computed. A frame of a few
    // pixels has too few neighbours for that to hold on every noise draw (W=1, H=2 may move
    // nothing), so the share is asked of frames of 256 pixels or more.
    if (f.content == Content::Noisy && f.strength >= 40 && int64_t(f.W) * f.H >= 256) {
        EXPECT_GE(moved * 20, int64_t(f.W) * f.H) << "under 5% of the pixels moved";
    }
}

int RandomWidthAbove452(std::mt19937& rng) {
    return 453 + int(rng() % 1600);
}

TEST(Frame, OracleMatrix) {
    ForEachSeed(0, [](std::mt19937& rng) {
        std::vector<int> widths = {
            320, 720, 1000, 1001, 1920, RandomWidthAbove452(rng), RandomWidthAbove452(rng)};
        static const int heights[] = {1, 2, 3, 11, 37};
        static const int strengths[] = {1, 40, 100};
        static const int threads[] = {1, 2, 3, 8};
        static const Content contents[] = {Content::Random, Content::Flat, Content::Ramp,
                                           Content::Extreme, Content::Noisy};
        Outcome outcome;
        int i = 0;
        for (int W : widths)
            for (int H : heights)
                for (int R = 1; R <= 4; R++)
                    for (int g = 0; g < 2; g++, i++) {
                        const FrameCase f{W,
                                          H,
                                          (W + 7) & ~7,
                                          0,
                                          R,
                                          strengths[i % 3],
                                          threads[(i / 3) % 4],
                                          g == 1,
                                          contents[(i / 2) % 5]};
                        RunFrame(f, rng, &outcome);
                        if (::testing::Test::HasFailure()) return;
                    }
        printf(
            "seed %u: %lld pixels, %.1f%% moved by the filter; oracle agreement %.4f%% exact, "
            "largest difference %.3f\n",
            CaseSeed, (long long)outcome.pixels,
            100.0 * double(outcome.moved) / double(outcome.pixels),
            100.0 * double(outcome.exact) / double(outcome.pixels), outcome.largest);
    });
}

TEST(Frame, TallFrames) {
    CaseSeed = TestSeed();
    std::mt19937 rng(TestSeed() + 1);
    RunFrame({1920, 1080, 1920, 0, 2, 40, 2, true, Content::Noisy}, rng);
    RunFrame({720, 1080, 720, 0, 4, 40, 3, false, Content::Noisy}, rng);
}

// Strip 7 empty or at most R columns wide, and widths of a few pixels.
TEST(Frame, NarrowAndOddWidths) {
    ForEachSeed(2, [](std::mt19937& rng) {
        static const int widths[] = {1,   2,   7,   8,   9,   50,  56,  57,  58,  60,
                                     61,  64,  65,  100, 112, 113, 200, 280, 319, 321,
                                     330, 390, 392, 393, 449, 450, 451, 452, 453};
        int i = 0;
        for (int W : widths)
            for (int R = 1; R <= 4; R++, i++)
                RunFrame({W, 1 + i % 13, (W + 7) & ~7, 0, R, 40, 1 + i % 3, i % 2 == 0,
                          i % 3 ? Content::Noisy : Content::Extreme},
                         rng);
    });
}

// Where the staging plan's right margin begins: the chunk that ends at vector column c1 has
// lane 7 reach column 7V + c1 + R, which is W exactly (one past the last column, clamped)
// for these widths and Ranges, one chunk before the last. Tight rows, so that the column past
// W is the next row's first pixel, and rows with room after W; noisy content at strengths
// that move pixels, so that a wrong column shows in the result.
TEST(Frame, RightMarginBoundary) {
    ForEachSeed(6, [](std::mt19937& rng) {
        int i = 0;
        for (int R = 1; R <= 4; R++)
            for (int W : {376 + R, 432 + R, 656 + R, 696 + R, 1880 + R}) {
                const int V = (W + 63) / 64 * 8, c1 = W - 7 * V - R;
                ASSERT_TRUE(c1 % 40 == 0 && c1 > 0 && c1 < V) << "W=" << W << " R=" << R;
                for (int capacity : {W, ((W + 7) & ~7) + 8}) {
                    RunFrame({W, 9 + i % 7, capacity, 0, R, i % 2 ? 100 : 40, 1 + i % 3, i % 2 == 0,
                              Content::Noisy},
                             rng);
                    i++;
                }
            }
    });
}

// Band heights below R + 1: many threads on few rows.
TEST(Frame, ShortBands) {
    ForEachSeed(3, [](std::mt19937& rng) {
        for (int R = 2; R <= 4; R++)
            for (int H : {5, 10, 13, 20})
                RunFrame({333 + 64 * R, H, 336 + 64 * R, 0, R, 40, 8, R != 3, Content::Noisy}, rng);
    });
}

// Images without room for W rounded up to 8, or whose rows are not 16-byte aligned.
TEST(Frame, TightAndUnalignedImages) {
    ForEachSeed(4, [](std::mt19937& rng) {
        RunFrame({1001, 9, 1001, 0, 2, 40, 2, true, Content::Noisy}, rng);
        RunFrame({1000, 9, 1000, 6, 1, 40, 2, false, Content::Noisy}, rng);
        RunFrame({723, 7, 730, 2, 3, 100, 3, true, Content::Ramp}, rng);
        RunFrame({640, 5, 641, 0, 4, 1, 1, true, Content::Extreme}, rng);
    });
}

// The row capacity alone changes between two frames: the stride must follow it.
TEST(Frame, CapacityChangeAlone) {
    ForEachSeed(5, [](std::mt19937& rng) {
        RunFrame({800, 20, 800, 0, 2, 40, 2, true, Content::Noisy}, rng);
        RunFrame({800, 20, 1024, 0, 2, 40, 2, true, Content::Noisy}, rng);
        RunFrame({800, 20, 801, 0, 2, 40, 2, true, Content::Noisy}, rng);
    });
}

// A flat frame comes back unchanged wherever |Y| <= 1365, Cb and Cr untouched.
TEST(Frame, FlatFrameUnchanged) {
    for (int R = 1; R <= 4; R++)
        for (int level : {-1365, 0, 700, 1365}) {
            SubstituteHost& host = HostWithThreads(2);
            host.SetControls(R, 40, R % 2 == 0);
            host.AllocateImages(700, 23, 704);
            for (int y = 0; y < 23; y++)
                for (int x = 0; x < 700; x++)
                    host.Row(host.Edit(), y)[x] = YcPixel{int16_t(level), 1, -1};
            ASSERT_EQ(host.Process(), 1);
            for (int y = 0; y < 23; y++)
                for (int x = 0; x < 700; x++) {
                    const YcPixel p = host.Row(host.Edit(), y)[x];
                    ASSERT_EQ(p.Y, level) << "R=" << R << " at (" << x << ", " << y << ")";
                    ASSERT_EQ(p.Cb, 1);
                    ASSERT_EQ(p.Cr, -1);
                }
        }
}

// Bytes of the result for a frame on a number of threads.
std::vector<int16_t> FilterOn(int threads, int W, int H, int R, uint32_t seed) {
    SubstituteHost& host = HostWithThreads(threads);
    host.SetControls(R, 40, true);
    host.AllocateImages(W, H, (W + 7) & ~7);
    std::mt19937 rng(seed);
    const LumaPlane plane = MakePlane(W, H, Content::Noisy, rng);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            host.Row(host.Edit(), y)[x] = YcPixel{plane.Y[size_t(y) * W + x], 0, 0};
    EXPECT_EQ(host.Process(), 1);
    std::vector<int16_t> out;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) out.push_back(host.Row(host.Edit(), y)[x].Y);
    return out;
}

// Whichever thread runs which band, the bytes are the same; Range 1 always plans bands of 10,
// and thread counts that lead to the same band height give the same bytes.
TEST(Frame, SameBytesOnAnyThreadCount) {
    const uint32_t seed = TestSeed();
    const std::vector<int16_t> one = FilterOn(1, 1000, 97, 1, seed);
    for (int t : {2, 3, 8})
        EXPECT_EQ(FilterOn(t, 1000, 97, 1, seed), one) << t << " threads, Range 1";
    // 1080 rows at Range 4 give 68-row bands on 1, 2 and 8 threads (16 pieces).
    const std::vector<int16_t> a = FilterOn(1, 480, 1080, 4, seed);
    EXPECT_EQ(FilterOn(2, 480, 1080, 4, seed), a);
    EXPECT_EQ(FilterOn(8, 480, 1080, 4, seed), a);
}

// The plane entry gives the image path's Y bit for bit: random geometry, strides past W,
// every range and both weightings, 1 to 3 threads. Guard words before, between (the stride's
// slack) and after the destination's rows stay untouched, and the source is only read.
TEST(Plane, SameYAsTheImagePath) {
    ForEachSeed(41, [](std::mt19937& rng) {
        const Content kinds[] = {Content::Noisy, Content::Random, Content::Ramp, Content::Extreme};
        for (int i = 0; i < 24; i++) {
            FrameCase f{};
            f.W = 1 + int(rng() % 700);
            f.H = 1 + int(rng() % 60);
            f.capacity = (f.W + 7) & ~7;
            f.R = 1 + int(rng() % 4);
            f.strength = 1 + int(rng() % 100);
            f.threads = 1 + int(rng() % 3);
            f.gaussian = rng() % 2 == 0;
            f.content = kinds[rng() % 4];
            const int stride = f.W + int(rng() % 3) * int(rng() % 20);
            SCOPED_TRACE(Describe(f) + " stride=" + std::to_string(stride));
            const std::vector<int16_t> expected = [&] {
                std::mt19937 same(CaseSeed + uint32_t(i));
                SubstituteHost& host = HostWithThreads(f.threads);
                host.SetControls(f.R, f.strength, f.gaussian);
                host.AllocateImages(f.W, f.H, f.capacity);
                const LumaPlane plane = MakePlane(f.W, f.H, f.content, same);
                for (int y = 0; y < f.H; y++)
                    for (int x = 0; x < f.W; x++)
                        host.Row(host.Edit(), y)[x] = YcPixel{plane.Y[size_t(y) * f.W + x], 0, 0};
                EXPECT_EQ(host.Process(), 1);
                std::vector<int16_t> out;
                for (int y = 0; y < f.H; y++)
                    for (int x = 0; x < f.W; x++) out.push_back(host.Row(host.Edit(), y)[x].Y);
                return out;
            }();
            std::mt19937 same(CaseSeed + uint32_t(i));
            const LumaPlane plane = MakePlane(f.W, f.H, f.content, same);
            const int16_t guard = 0x5A5A;
            const size_t slack = 40, size = size_t(f.H - 1) * stride + f.W;
            std::vector<int16_t> source(size + 2 * slack, guard), out(size + 2 * slack, guard);
            for (int y = 0; y < f.H; y++)
                for (int x = 0; x < f.W; x++)
                    source[slack + size_t(y) * stride + x] = plane.Y[size_t(y) * f.W + x];
            const std::vector<int16_t> before = source;
            SubstituteHost& host = HostWithThreads(f.threads);
            ASSERT_TRUE(host.HasPlanes());
            ASSERT_EQ(host.ProcessPlane(&source[slack], &out[slack], f.W, f.H, stride), 1);
            EXPECT_EQ(source, before);
            for (size_t k = 0; k < out.size(); k++) {
                const bool inside =
                    k >= slack && k < slack + size && (k - slack) % stride < size_t(f.W);
                if (!inside) {
                    ASSERT_EQ(out[k], guard) << "word " << k << " outside the plane written";
                } else {
                    const size_t y = (k - slack) / stride, x = (k - slack) % stride;
                    ASSERT_EQ(out[k], expected[y * f.W + x]) << "x=" << x << " y=" << y;
                }
            }
        }
    });
}

// What the plane entry refuses, touching nothing; an empty plane succeeds at once.
TEST(Plane, Refusals) {
    SubstituteHost& host = HostWithThreads(2);
    host.SetControls(2, 40, true);
    const int W = 64, H = 20;
    std::vector<int16_t> a(size_t(W) * H * 2, 100), b(a.size(), 7);
    const std::vector<int16_t> untouched = b;
    EXPECT_EQ(host.ProcessPlane(a.data(), b.data(), W, H, W - 1), 0) << "stride below W";
    EXPECT_EQ(host.ProcessPlane(a.data(), b.data(), -1, H, W), 0);
    EXPECT_EQ(host.ProcessPlane(a.data(), b.data(), W, -1, W), 0);
    EXPECT_EQ(host.ProcessPlane(nullptr, b.data(), W, H, W), 0);
    EXPECT_EQ(host.ProcessPlane(a.data(), nullptr, W, H, W), 0);
    EXPECT_EQ(host.ProcessPlane(a.data(), a.data(), W, H, W), 0) << "in place";
    EXPECT_EQ(host.ProcessPlane(a.data(), a.data() + W * (H - 1), W, H, W), 0) << "overlapping";
    EXPECT_EQ(host.ProcessPlane(a.data() + W * (H - 1), a.data(), W, H, W), 0) << "overlapping";
    EXPECT_EQ(host.ProcessPlane(a.data(), b.data(), 0, H, W), 1);
    EXPECT_EQ(host.ProcessPlane(a.data(), b.data(), W, 0, W), 1);
    EXPECT_EQ(b, untouched);
    // Adjacent but apart: accepted.
    EXPECT_EQ(host.ProcessPlane(a.data(), a.data() + W * H, W, H, W), 1);
    SubstituteHost linked(1);
    linked.Attach(host.Table());
    EXPECT_FALSE(linked.HasPlanes());
    EXPECT_EQ(linked.ProcessPlane(a.data(), b.data(), W, H, W), -1);
}

// The Linux library exports GetFilterTable, the plane entry's GetPlaneTable and the temporal
// mode's GetTemporalTable, and nothing else of its own (the Windows module's one export is
// checked on its headers).
TEST(Module, ExportsOnlyItsTables) {
    const std::string command = std::string("nm -D --defined-only ") + TESSIVAL_MODULE + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512];
    std::vector<std::string> exported;
    while (fgets(line, sizeof line, pipe)) {
        std::string s(line);
        s.erase(s.find_last_not_of("\n") + 1);
        const std::string name = s.substr(s.find_last_of(' ') + 1);
        if (s.find(" T ") != std::string::npos || s.find(" D ") != std::string::npos ||
            s.find(" B ") != std::string::npos || s.find(" W ") != std::string::npos)
            exported.push_back(name);
    }
    pclose(pipe);
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported,
              (std::vector<std::string>{"GetFilterTable", "GetPlaneTable", "GetTemporalTable"}));
}

}  // namespace
