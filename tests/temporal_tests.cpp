// temporal_tests.cpp: the temporal mode through its table, against the whole-clip oracle
//
// Clips go the way the program sends them: frames pushed one at a time, each shot finished
// before the next one starts. Output images carry guard bytes and a row capacity past W, and
// every call checks that only the Y of the W x H pixels was written.
#include <gtest/gtest.h>
#include <immintrin.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../host/process_frame.h"
#include "../host/temporal_api.h"
#include "../subhost/substitute_host.h"
#include "oracle.h"
#include "temporal_oracle.h"

namespace {

typedef std::vector<std::vector<int16_t>> Frames;

struct ClipRun {
    Frames frames;
    std::string fault;  // empty when every call behaved
};

// How frames go in and out: images of YcPixel, planes of Y, or the two by turns.
enum class Route { Images, Planes, Mixed };

struct Case {
    int W, H, R, N, strength, threads;
    bool gaussian;
    Route route = Route::Images;
    std::string Describe() const {
        static const char* const routes[] = {"images", "planes", "mixed"};
        char s[180];
        snprintf(s, sizeof s, "W=%d H=%d R=%d N=%d strength=%d %s threads=%d %s seed=%u", W, H, R,
                 N, strength, gaussian ? "gaussian" : "box", threads, routes[int(route)],
                 TestSeed());
        return s;
    }
};

const int GuardPixels = 48;
const uint32_t PinnedReciprocal = 0x0114FDC5u;  // the Intel Xeon the checksums come from
const int16_t Pattern = 0x5A5A;

typedef std::vector<std::vector<FrameMotion>> Fields;

// The regions of a case's setup, for the oracle.
OracleRegions RegionsOf(const Case& k, const Fields& fields) {
    const TemporalSetup setup{k.W, k.H, k.R, k.strength, k.gaussian ? 1 : 0, k.N, k.threads};
    TemporalRegions r{};
    EXPECT_EQ(GetTemporalTable()->Regions(&setup, &r), 1);
    return OracleRegions{r.Rows, r.StripWidth, fields};
}

// Pushes the clip through the temporal mode; cutBefore[t] ends the shot before frame t. With
// motion, frames go through PushMoved with their motion, else through Push; with fields too,
// before each frame through SetField.
ClipRun RunClip(const std::vector<LumaPlane>& clip, const std::vector<bool>& cutBefore,
                const Case& k, const std::vector<FrameMotion>& motion = {},
                const Fields& fields = {}) {
    ClipRun run;
    const TemporalTable* table = GetTemporalTable();
    SubstituteHost host(k.threads);
    host.Bind();
    const TemporalSetup setup{k.W, k.H, k.R, k.strength, k.gaussian ? 1 : 0, k.N, k.threads};
    const int64_t bytes = table->BlockBytes(&setup);
    if (bytes <= 0) {
        run.fault = "BlockBytes refused the setup";
        return run;
    }
    void* block = aligned_alloc(128, size_t((bytes + 127) / 128 * 128));
    if (table->Open(block, &setup, host.Functions().RunOnAllThreads) != 1) {
        free(block);
        run.fault = "Open refused the setup";
        return run;
    }
    const int capacity = k.W + 3, outCapacity = k.W + 5;
    std::vector<YcPixel> in(size_t(capacity) * k.H);
    std::vector<YcPixel> out(size_t(outCapacity) * k.H + 2 * GuardPixels);
    std::vector<int16_t> inPlane(size_t(capacity) * k.H);
    std::vector<int16_t> outPlane(out.size());
    auto reset = [&] {
        for (YcPixel& p : out) p = YcPixel{Pattern, Pattern, Pattern};
        for (int16_t& y : outPlane) y = Pattern;
    };
    // Takes the frame just written, from the image or from the plane, and checks that nothing
    // else was: guard words, row gaps, Cb and Cr.
    auto collect = [&](bool plane) {
        std::vector<int16_t> y(size_t(k.W) * k.H);
        for (size_t i = 0; i < out.size(); i++) {
            const YcPixel& p = out[i];
            const int16_t word = outPlane[i];
            const long at = long(i) - GuardPixels, row = at / outCapacity, col = at % outCapacity;
            const bool pixel = at >= 0 && row < k.H && col < k.W;
            if (pixel) y[size_t(row * k.W + col)] = plane ? word : p.Y;
            const bool imageTouched =
                ((!pixel || plane) && p.Y != Pattern) || p.Cb != Pattern || p.Cr != Pattern;
            const bool planeTouched = (!pixel || !plane) && word != Pattern;
            if (imageTouched || planeTouched)
                run.fault = "wrote outside the Y of the frame at pixel " + std::to_string(at);
        }
        run.frames.push_back(y);
        reset();
    };
    reset();
    YcPixel* const target = out.data() + GuardPixels;
    int16_t* const targetPlane = outPlane.data() + GuardPixels;
    int calls = 0;  // the mixed route takes planes on odd calls
    auto planeNext = [&] {
        return k.route == Route::Planes || (k.route == Route::Mixed && calls++ % 2 == 1);
    };
    auto finish = [&] {
        const bool plane = planeNext();
        const int32_t done = plane ? table->FinishPlane(block, targetPlane, outCapacity)
                                   : table->Finish(block, target, outCapacity);
        if (done == 1) collect(plane);
        if (done < 0) run.fault = "Finish refused";
        return done == 1;
    };
    for (size_t t = 0; t < clip.size(); t++) {
        if (t > 0 && cutBefore[t])
            while (finish()) continue;
        for (int y = 0; y < k.H; y++)
            for (int x = 0; x < k.W; x++) {
                const int16_t value = clip[t].Y[size_t(y) * k.W + x];
                in[size_t(y) * capacity + x] = YcPixel{value, int16_t(x), int16_t(y)};
                inPlane[size_t(y) * capacity + x] = value;
            }
        const FrameMotion m = motion.empty() ? FrameMotion{0, 0} : motion[t];
        // Regions: the frame's field goes in before it, whichever entry takes the frame.
        if (!fields.empty()) {
            std::vector<int8_t> field;
            for (const FrameMotion& v : fields[t]) {
                field.push_back(int8_t(v.Y));
                field.push_back(int8_t(v.X));
            }
            if (table->SetField(block, field.data()) != 1) run.fault = "SetField refused";
        }
        const bool plane = planeNext();
        int32_t pushed;
        if (plane)
            pushed = table->PushPlane(block, inPlane.data(), capacity, m.Y, m.X, targetPlane,
                                      outCapacity);
        else if (motion.empty())
            pushed = table->Push(block, in.data(), capacity, target, outCapacity);
        else
            pushed = table->PushMoved(block, in.data(), capacity, m.Y, m.X, target, outCapacity);
        if (pushed < 0) run.fault = "Push refused frame " + std::to_string(t);
        if (pushed == 1) collect(plane);
    }
    while (finish()) continue;
    if (run.frames.size() != clip.size()) run.fault = "frames in and out differ";
    free(block);
    return run;
}

bool AgreesWithOracle(const Frames& got, const std::vector<std::vector<double>>& want,
                      const Case& k, std::string* where) {
    for (size_t t = 0; t < want.size(); t++)
        for (size_t i = 0; i < want[t].size(); i++) {
            double d;
            if (!OracleAgrees(got[t][i], want[t][i], &d)) {
                char s[200];
                snprintf(s, sizeof s, "%s: frame %zu pixel (%zu, %zu): %d, oracle %.3f",
                         k.Describe().c_str(), t, i % size_t(k.W), i / size_t(k.W), got[t][i],
                         want[t][i]);
                *where = s;
                return false;
            }
        }
    return true;
}

std::vector<LumaPlane> ClipOf(int W, int H, int frames, int content, int dx, int dy,
                              std::mt19937& rng) {
    if (content == 0) return MovingClip(W, H, frames, dx, dy, 60.0, rng);
    std::vector<LumaPlane> clip;
    const Content kinds[] = {Content::Random, Content::Extreme, Content::Noisy, Content::Flat};
    for (int t = 0; t < frames; t++) clip.push_back(MakePlane(W, H, kinds[content - 1], rng));
    return clip;
}

// Per-frame motion for a clip: none, the clip's own pan with a pixel of error now and then, or
// anything up to past the bound (which the mode clamps).
std::vector<FrameMotion> MotionOf(int frames, int R, int kind, int dy, int dx, std::mt19937& rng) {
    std::vector<FrameMotion> motion{static_cast<size_t>(frames)};
    if (kind == 0) return motion;
    const int wide = TemporalMotionBound(R) + 3;
    for (FrameMotion& f : motion)
        f = kind == 1 ? FrameMotion{dy + int(rng() % 5 == 0), dx - int(rng() % 5 == 0)}
                      : FrameMotion{int(rng() % (2 * wide + 1)) - wide,
                                    int(rng() % (2 * wide + 1)) - wide};
    return motion;
}

// A field per frame: the frame's motion in most regions, anything up to past the bound in
// about one in `odd` (a moving object, or a region's noise), sometimes next to the frame's.
Fields FieldsOf(const Case& k, const std::vector<FrameMotion>& motion, int odd, std::mt19937& rng) {
    const TemporalSetup setup{k.W, k.H, k.R, k.strength, k.gaussian ? 1 : 0, k.N, k.threads};
    TemporalRegions r{};
    EXPECT_EQ(GetTemporalTable()->Regions(&setup, &r), 1);
    const int wide = TemporalMotionBound(k.R) + 3;
    Fields fields{motion.size()};
    for (size_t t = 0; t < motion.size(); t++)
        for (int i = 0; i < r.Count; i++) {
            FrameMotion v = motion[t];
            if (int(rng() % unsigned(odd)) == 0)
                v = rng() % 2 ? FrameMotion{int(rng() % (2 * wide + 1)) - wide,
                                            int(rng() % (2 * wide + 1)) - wide}
                              : FrameMotion{v.Y + int(rng() % 3) - 1, v.X + int(rng() % 5) - 2};
            fields[t].push_back(v);
        }
    return fields;
}

// Random geometry (narrow frames, frames whose strip 7 is short, single rows), ranges,
// neighbour counts, strengths, thread counts, cuts and motions, every frame against the oracle.
TEST(Temporal, OracleMatrix) {
    std::mt19937 rng(TestSeed());
    static const int widths[] = {1, 7, 9, 57, 63, 64, 65, 113, 200, 321, 330, 449, 451, 520};
    // Emulated runs (the 32-bit build under qemu) ask for fewer cases.
    const char* count = getenv("TESSIVAL_TEMPORAL_CASES");
    const int cases = count != nullptr ? atoi(count) : 36;
    for (int i = 0; i < cases; i++) {
        Case k;
        k.W = widths[rng() % (sizeof widths / sizeof *widths)];
        k.H = 1 + int(rng() % 23);
        // Now and then frames of several bands, so that every region phase has tiles.
        if (rng() % 4 == 0) k.H = 30 + int(rng() % 50), k.W = std::min(k.W, 330);
        k.R = 1 + int(rng() % 4);
        k.N = 1 + int(rng() % 2);
        k.strength = (int[]){40, 70, 100, 12}[rng() % 4];
        k.threads = 1 + int(rng() % 3);
        k.gaussian = (rng() & 1) != 0;
        k.route = Route(rng() % 3);
        const int frames = 1 + int(rng() % 6);
        const int dx = int(rng() % 11) - 5, dy = int(rng() % 7) - 3;
        std::vector<LumaPlane> clip = ClipOf(k.W, k.H, frames, int(rng() % 5), dx, dy, rng);
        std::vector<bool> cut(size_t(frames), false);
        for (int t = 1; t < frames; t++) cut[size_t(t)] = rng() % 4 == 0;
        // Motion: none, the pan, anything; then each of these with regions that move otherwise.
        const int kind = int(rng() % 6);
        const std::vector<FrameMotion> motion = MotionOf(frames, k.R, kind % 3, dy, dx, rng);
        const Fields fields = kind >= 3 ? FieldsOf(k, motion, 1 + int(rng() % 4), rng) : Fields{};
        const ClipRun run =
            RunClip(clip, cut, k, kind ? motion : std::vector<FrameMotion>{}, fields);
        ASSERT_EQ(run.fault, "") << k.Describe();
        std::string where;
        ASSERT_TRUE(
            AgreesWithOracle(run.frames,
                             TemporalOracle(clip, cut, k.R, k.N, k.strength, k.gaussian, motion,
                                            TemporalMotionBound(k.R), RegionsOf(k, fields)),
                             k, &where))
            << where << " motion kind " << kind;
    }
}

// Planes, and shots that mix planes with images, give the images' Y bit for bit on random
// geometry, motion and cuts (the oracle's tolerance would hide a lane off by one).
TEST(Temporal, PlanesGiveTheImagesBytes) {
    std::mt19937 rng(TestSeed() + 7);
    static const int widths[] = {1, 9, 63, 65, 130, 321, 449};
    for (int i = 0; i < 12; i++) {
        Case k;
        k.W = widths[rng() % (sizeof widths / sizeof *widths)];
        k.H = 1 + int(rng() % 19);
        k.R = 1 + int(rng() % 4);
        k.N = 1 + int(rng() % 2);
        k.strength = 30 + int(rng() % 70);
        k.threads = 1 + int(rng() % 3);
        k.gaussian = (rng() & 1) != 0;
        const int frames = 2 + int(rng() % 5);
        const int dx = int(rng() % 7) - 3, dy = int(rng() % 5) - 2;
        const std::vector<LumaPlane> clip = ClipOf(k.W, k.H, frames, int(rng() % 5), dx, dy, rng);
        std::vector<bool> cut(size_t(frames), false);
        cut[size_t(frames / 2)] = rng() % 2 == 0;
        const std::vector<FrameMotion> motion = MotionOf(frames, k.R, 1, dy, dx, rng);
        const ClipRun images = RunClip(clip, cut, k, motion);
        ASSERT_EQ(images.fault, "") << k.Describe();
        for (Route route : {Route::Planes, Route::Mixed}) {
            k.route = route;
            const ClipRun other = RunClip(clip, cut, k, motion);
            ASSERT_EQ(other.fault, "") << k.Describe();
            ASSERT_TRUE(other.frames == images.frames) << k.Describe();
        }
    }
}

// Regions moving their own ways over frames of several bands and chunks, so that every phase
// of region tiles has work (three row colours at range 1, two at range 2), against the oracle;
// and the regional pairs matter: the same clip without its fields comes out otherwise.
TEST(Temporal, RegionsAgainstOracle) {
    std::mt19937 rng(TestSeed() + 5);
    // Emulated runs take range 1 (three row colours) with two neighbours only.
    const bool few = getenv("TESSIVAL_TEMPORAL_CASES") != nullptr;
    for (int R = 1; R <= (few ? 1 : 2); R++)
        for (int N = few ? 2 : 1; N <= 2; N++) {
            const Case k{330, 70, R, N, 60, 1 + N, R == 1};
            const std::vector<LumaPlane> clip = MovingClip(k.W, k.H, 5, 3, 1, 50.0, rng);
            const std::vector<bool> cut(5, false);
            const std::vector<FrameMotion> pan(5, FrameMotion{1, 2});
            const Fields fields = FieldsOf(k, pan, 2, rng);
            const ClipRun run = RunClip(clip, cut, k, pan, fields);
            ASSERT_EQ(run.fault, "") << k.Describe();
            std::string where;
            const int bound = TemporalMotionBound(R);
            EXPECT_TRUE(AgreesWithOracle(run.frames,
                                         TemporalOracle(clip, cut, R, N, k.strength, k.gaussian,
                                                        pan, bound, RegionsOf(k, fields)),
                                         k, &where))
                << where;
            EXPECT_FALSE(AgreesWithOracle(
                run.frames, TemporalOracle(clip, cut, R, N, k.strength, k.gaussian, pan, bound), k,
                &where));
        }
}

// The first and last frames of a shot search only the neighbours they have: with N = 2, a
// three-frame clip gives frame 0 the frames 1 and 2, and frame 2 the frames 0 and 1; a frame
// alone in its shot is the spatial filter.
TEST(Temporal, FirstAndLastFrames) {
    std::mt19937 rng(TestSeed() + 1);
    const Case k{70, 9, 2, 2, 60, 2, true};
    const std::vector<LumaPlane> clip = MovingClip(k.W, k.H, 4, 2, 1, 50.0, rng);
    const std::vector<bool> cut = {true, false, false, true};
    const ClipRun run = RunClip(clip, cut, k);
    ASSERT_EQ(run.fault, "");
    std::string where;
    EXPECT_TRUE(AgreesWithOracle(run.frames, TemporalOracle(clip, cut, 2, 2, 60, true), k, &where))
        << where;
    // The oracle without the cut would differ: the last frame must not have seen the others.
    const auto uncut = TemporalOracle(clip, {true, false, false, false}, 2, 2, 60, true);
    EXPECT_FALSE(AgreesWithOracle({run.frames[3]}, {uncut[3]}, k, &where));
}

// A frame alone in its shot comes out byte for byte as the spatial module filters it with the
// same band height (one thread: the band plan the temporal mode always uses).
TEST(Temporal, LoneFrameIsTheSpatialFilter) {
    std::mt19937 rng(TestSeed() + 2);
    for (int R = 1; R <= 4; R++)
        for (bool gaussian : {true, false}) {
            const Case k{333, 45, R, 1 + R % 2, 55, 2, gaussian};
            const std::vector<LumaPlane> clip = MovingClip(k.W, k.H, 3, 1, 0, 80.0, rng);
            const ClipRun run = RunClip(clip, {true, true, true}, k);
            ASSERT_EQ(run.fault, "");
            SubstituteHost host(1);
            host.Attach(GetFilterTable());
            host.SetControls(R, k.strength, gaussian);
            host.AllocateImages(k.W, k.H, k.W + 3);
            for (size_t t = 0; t < clip.size(); t++) {
                for (int y = 0; y < k.H; y++)
                    for (int x = 0; x < k.W; x++)
                        host.Row(host.Edit(), y)[x] = YcPixel{clip[t].Y[size_t(y * k.W + x)], 0, 0};
                ASSERT_EQ(host.Process(), 1);
                for (int y = 0; y < k.H; y++)
                    for (int x = 0; x < k.W; x++)
                        ASSERT_EQ(run.frames[t][size_t(y * k.W + x)], host.Row(host.Edit(), y)[x].Y)
                            << k.Describe() << " frame " << t << " at " << x << "," << y;
            }
            host.Exit();
        }
}

// The tiles credit in one order whatever the thread count: the same bytes on 1, 2 and 3, with
// and without motion, and with regions moving every way.
TEST(Temporal, SameBytesOnAnyThreadCount) {
    std::mt19937 rng(TestSeed() + 3);
    const std::vector<LumaPlane> clip = MovingClip(650, 70, 5, 3, 1, 70.0, rng);
    const std::vector<bool> cut(5, false);
    const std::vector<FrameMotion> pan(5, FrameMotion{1, 3}), none;
    Case k{650, 70, 2, 2, 45, 3, true};
    const Fields fields = FieldsOf(k, pan, 2, rng);
    for (int i = 0; i < 3; i++) {
        const std::vector<FrameMotion>& motion = i == 0 ? none : pan;
        const Fields& field = i == 2 ? fields : Fields{};
        k.threads = 1;
        const ClipRun one = RunClip(clip, cut, k, motion, field);
        ASSERT_EQ(one.fault, "");
        for (int threads : {2, 3}) {
            k.threads = threads;
            const ClipRun many = RunClip(clip, cut, k, motion, field);
            ASSERT_EQ(many.fault, "");
            EXPECT_EQ(many.frames, one.frames) << "threads " << threads;
        }
    }
}

// A fingerprint of the processor's approximate reciprocal (rcpps differs between vendors, and
// emulators compute it their own way): FNV-1a over its results for 4096 mantissas.
uint32_t ReciprocalFingerprint() {
    uint32_t sum = 2166136261u;
    for (uint32_t m = 0; m < 4096; m++) {
        const uint32_t bits = 0x3F800000u | (m << 11);
        float x, r;
        memcpy(&x, &bits, 4);
        _mm_store_ss(&r, _mm_rcp_ss(_mm_set_ss(x)));
        uint32_t out;
        memcpy(&out, &r, 4);
        sum = (sum ^ out) * 16777619u;
    }
    return sum;
}

// Without motion the mode keeps its bytes: checksums of a fixed clip, taken on a processor
// whose approximate reciprocal has the fingerprint below. (They held from before the window
// could move, through chunks narrowed from 40 to 32 columns, until the own weight of a frame
// with neighbours was lowered to 0.375.)
TEST(Temporal, NoMotionKeepsItsBytes) {
    const uint32_t fingerprint = ReciprocalFingerprint();
    if (fingerprint != PinnedReciprocal) {
        printf("   reciprocal fingerprint 0x%08X, checksums taken with 0x%08X: skipping\n",
               fingerprint, PinnedReciprocal);
        GTEST_SKIP();
    }
    const int W = 333, H = 37, frames = 4;
    std::vector<LumaPlane> clip(frames);
    uint32_t state = 12345;
    for (int t = 0; t < frames; t++) {
        clip[size_t(t)] = LumaPlane{W, H, std::vector<int16_t>(size_t(W) * H)};
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                state = state * 1664525u + 1013904223u;
                const int u = x - 2 * t, v = y - t;
                const int clean = (((u >> 3) + (v >> 3)) & 1 ? 2800 : 1200) + 9 * u - 5 * v;
                clip[size_t(t)].Y[size_t(y) * W + x] = int16_t(clean + int(state >> 24) - 128);
            }
    }
    struct Pinned {
        int R, N;
        bool gaussian;
        uint32_t sum;
    };
    static const Pinned pinned[] = {{1, 1, true, 0x0671D50Fu},  {2, 2, true, 0x7C47484Au},
                                    {3, 1, false, 0x81053164u}, {4, 2, false, 0xE5896B11u},
                                    {2, 1, false, 0x9016C1FAu}, {4, 1, true, 0xDD984DF2u}};
    for (const Pinned& p : pinned) {
        const Case k{W, H, p.R, p.N, 60, 2, p.gaussian};
        const ClipRun run = RunClip(clip, std::vector<bool>(frames, false), k);
        ASSERT_EQ(run.fault, "");
        uint32_t sum = 2166136261u;  // FNV-1a over the Y words
        for (const auto& frame : run.frames)
            for (int16_t y : frame) {
                sum = (sum ^ (uint16_t(y) & 0xFF)) * 16777619u;
                sum = (sum ^ (uint16_t(y) >> 8)) * 16777619u;
            }
        printf("   R=%d N=%d %s: 0x%08X\n", p.R, p.N, p.gaussian ? "gaussian" : "box", sum);
        EXPECT_EQ(sum, p.sum) << k.Describe();
    }
}

// Every pair of identical patches weighs 0.96875, so a flat clip stays as it is.
TEST(Temporal, FlatClipUnchanged) {
    for (int N = 1; N <= 2; N++) {
        const Case k{130, 11, 3, N, 1, 2, true};
        std::vector<LumaPlane> clip(4);
        for (LumaPlane& p : clip) p = LumaPlane{130, 11, std::vector<int16_t>(130 * 11, 1365)};
        const ClipRun run = RunClip(clip, std::vector<bool>(4, false), k);
        ASSERT_EQ(run.fault, "");
        for (const auto& frame : run.frames)
            for (int16_t y : frame) ASSERT_EQ(y, 1365);
    }
}

TEST(Temporal, RefusesBadSetupsAndCalls) {
    const TemporalTable* table = GetTemporalTable();
    EXPECT_EQ(table->Version, 4);
    const TemporalSetup good{64, 8, 1, 40, 1, 1, 2};
    EXPECT_GT(table->BlockBytes(&good), 0);
    TemporalRegions regions{};
    EXPECT_EQ(table->Regions(&good, &regions), 1);
    EXPECT_EQ(regions.Count, regions.Bands * 8 * regions.Chunks);
    EXPECT_EQ(table->Regions(&good, nullptr), 0);
    for (int field = 0; field < 7; field++) {
        TemporalSetup bad = good;
        int32_t* words = &bad.W;
        words[field] = field == 3 ? 101 : field == 4 ? 0 : field == 6 ? 0 : field == 5 ? 3 : 0;
        if (field == 4) continue;  // any Gaussian value is a truth value
        EXPECT_EQ(table->BlockBytes(&bad), 0) << "field " << field;
    }
    EXPECT_EQ(table->BlockBytes(nullptr), 0);

    SubstituteHost host(2);
    host.Bind();
    const size_t bytes = size_t(table->BlockBytes(&good));
    std::vector<uint8_t> storage(bytes + 256);
    void* block = storage.data() + (128 - reinterpret_cast<uintptr_t>(storage.data()) % 128);
    RunOnAllThreadsFunction run = host.Functions().RunOnAllThreads;
    EXPECT_EQ(table->Open(static_cast<uint8_t*>(block) + 4, &good, run), 0);  // misaligned
    TemporalSetup oneThread = good;
    oneThread.Threads = 1;
    EXPECT_EQ(table->Open(block, &oneThread, run), 0);  // the host runs two
    ASSERT_EQ(table->Open(block, &good, run), 1);

    std::vector<YcPixel> frame(64 * 8), out(64 * 8);
    EXPECT_EQ(table->Push(block, nullptr, 64, out.data(), 64), -1);
    EXPECT_EQ(table->Push(block, frame.data(), 63, out.data(), 64), -1);
    EXPECT_EQ(table->Push(block, frame.data(), 64, out.data(), 64), 0);
    EXPECT_EQ(table->Push(block, frame.data(), 64, nullptr, 64), -1);  // frame 0 is due
    EXPECT_EQ(table->Push(block, frame.data(), 64, out.data(), 64), 1);
    EXPECT_EQ(table->Finish(block, nullptr, 64), -1);
    EXPECT_EQ(table->Finish(block, out.data(), 64), 1);
    EXPECT_EQ(table->Finish(block, out.data(), 64), 0);
    EXPECT_EQ(table->Finish(block, out.data(), 64), 0);
    // A shot half finished cannot take frames.
    EXPECT_EQ(table->Push(block, frame.data(), 64, out.data(), 64), 0);
    EXPECT_EQ(table->Push(block, frame.data(), 64, out.data(), 64), 1);
    EXPECT_EQ(table->Finish(block, out.data(), 64), 1);
    EXPECT_EQ(table->Finish(block, out.data(), 64), 0);
    EXPECT_EQ(table->Push(block, frame.data(), 64, out.data(), 64), 0);
    EXPECT_EQ(table->Finish(block, out.data(), 64), 1);
    EXPECT_EQ(table->Push(block, frame.data(), 64, out.data(), 64), 0);  // the shot was over
    EXPECT_EQ(table->Push(nullptr, frame.data(), 64, out.data(), 64), -1);
    EXPECT_EQ(table->PushMoved(nullptr, frame.data(), 64, 1, 1, out.data(), 64), -1);
    EXPECT_EQ(table->PushMoved(block, frame.data(), 63, 1, 1, out.data(), 64), -1);
    // Planes: the same checks, and an output may not overlap the frame being read.
    std::vector<int16_t> plane(64 * 8 + 64), planeOut(64 * 8);
    EXPECT_EQ(table->PushPlane(block, nullptr, 64, 0, 0, planeOut.data(), 64), -1);
    EXPECT_EQ(table->PushPlane(block, plane.data(), 63, 0, 0, planeOut.data(), 64), -1);
    EXPECT_EQ(table->PushPlane(block, plane.data(), INT32_MAX, 0, 0, planeOut.data(), 64), -1);
    EXPECT_EQ(table->PushPlane(block, plane.data(), 64, 0, 0, planeOut.data(), 63), -1);
    EXPECT_EQ(table->PushPlane(block, plane.data(), 64, 0, 0, plane.data() + 64, 64), -1);
    EXPECT_EQ(table->PushPlane(block, plane.data() + 64, 64, 0, 0, plane.data(), 64), -1);
    EXPECT_EQ(table->Push(block, frame.data(), 64, frame.data(), 64), -1);
    // The refusals took nothing: the shot still holds one frame, which the next push finishes.
    EXPECT_EQ(table->PushPlane(block, plane.data(), 64, 0, 0, planeOut.data(), 64), 1);
    EXPECT_EQ(table->FinishPlane(block, nullptr, 64), -1);
    EXPECT_EQ(table->FinishPlane(block, planeOut.data(), 63), -1);
    EXPECT_EQ(table->FinishPlane(block, planeOut.data(), 64), 1);
    EXPECT_EQ(table->FinishPlane(block, planeOut.data(), 64), 0);
    EXPECT_EQ(table->Push(block, frame.data(), 64, out.data(), 64), 0);
    // Any motion is taken, and clamped.
    EXPECT_EQ(table->PushMoved(block, frame.data(), 64, INT32_MIN, INT32_MAX, out.data(), 64), 1);
    EXPECT_EQ(table->PushMoved(block, frame.data(), 64, INT32_MAX, INT32_MIN, out.data(), 64), 1);
}

}  // namespace
