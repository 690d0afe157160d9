// frei0r_tests.cpp: the plug-in loaded as frei0r hosts load it, against a model of the program
//
// The model, RgbaFrameRef, is the program's rule for RGB pixels written out on its own:
// full-range BT.601 luma to the 12-bit scale (a smaller one for strengths past 100), the module
// (a second copy, libtessival.so, through the substitute host) on that plane, and the change
// added to R, G and B.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "../../noise/noise_estimate.h"
#include "../../noise/strength_calibration.h"
#include "../../subhost/luma_map.h"
#include "../../subhost/substitute_host.h"

extern "C" {
#include <frei0r.h>
}

namespace {

uint32_t Seed() {
    static const uint32_t seed = [] {
        const char* env = getenv("TESSIVAL_SEED");
        const uint32_t s = env ? uint32_t(strtoul(env, nullptr, 0)) : std::random_device{}();
        printf("seed: %u (replay with TESSIVAL_SEED=%u)\n", s, s);
        return s;
    }();
    return seed;
}

bool HaveAvx() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
}

#define SKIP_WITHOUT_AVX() \
    if (!HaveAvx()) GTEST_SKIP() << "AVX not available, skipping"

// The plug-in's entry points, from dlopen as a host takes them.
struct Plugin {
    void* library = nullptr;
    decltype(&f0r_init) init;
    decltype(&f0r_deinit) deinit;
    decltype(&f0r_get_plugin_info) pluginInfo;
    decltype(&f0r_get_param_info) paramInfo;
    decltype(&f0r_construct) construct;
    decltype(&f0r_destruct) destruct;
    decltype(&f0r_set_param_value) set;
    decltype(&f0r_get_param_value) get;
    decltype(&f0r_update) update;
};

template <typename F>
void Take(void* library, const char* name, F* f) {
    *f = reinterpret_cast<F>(dlsym(library, name));
    if (*f == nullptr) ADD_FAILURE() << "missing export " << name;
}

const Plugin& P() {
    static Plugin p = [] {
        Plugin q;
        q.library = dlopen(TESSIVAL_FREI0R_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        if (q.library == nullptr) {
            ADD_FAILURE() << dlerror();
            abort();
        }
        Take(q.library, "f0r_init", &q.init);
        Take(q.library, "f0r_deinit", &q.deinit);
        Take(q.library, "f0r_get_plugin_info", &q.pluginInfo);
        Take(q.library, "f0r_get_param_info", &q.paramInfo);
        Take(q.library, "f0r_construct", &q.construct);
        Take(q.library, "f0r_destruct", &q.destruct);
        Take(q.library, "f0r_set_param_value", &q.set);
        Take(q.library, "f0r_get_param_value", &q.get);
        Take(q.library, "f0r_update", &q.update);
        q.init();
        return q;
    }();
    return p;
}

struct Controls {
    int range = 1, strength = 40;
    bool gaussian = true;
    int threads = 1;
};

// An instance with the controls set through the parameters, as ffmpeg and melt set them.
f0r_instance_t Make(int W, int H, const Controls& c) {
    f0r_instance_t instance = P().construct(W, H);
    double v = c.range / 4.0;
    P().set(instance, &v, 0);
    v = c.strength / 100.0;
    P().set(instance, &v, 1);
    v = c.gaussian ? 1.0 : 0.0;
    P().set(instance, &v, 2);
    v = c.threads / 100.0;
    P().set(instance, &v, 3);
    return instance;
}

double Get(f0r_instance_t instance, int index) {
    double v = -1;
    P().get(instance, &v, index);
    return v;
}

void Set(f0r_instance_t instance, int index, double v) {
    P().set(instance, &v, index);
}

// Noisy RGBA: a diagonal ramp with a bright square, noise per channel, alpha from the position.
std::vector<uint32_t> NoisyFrame(int W, int H, std::mt19937& rng) {
    std::normal_distribution<double> noise(0.0, 12.0);
    std::vector<uint32_t> frame(size_t(W) * H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const bool square = x > W / 4 && x < W / 2 && y > H / 4 && y < H / 2;
            const double base = square ? 230.0 : 20.0 + 180.0 * (x + y) / double(W + H);
            uint8_t px[4];
            for (int c = 0; c < 3; c++) {
                const double v = nearbyint(base + 10 * c + noise(rng));
                px[c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
            px[3] = uint8_t((x * 7 + y * 13) & 255);
            memcpy(&frame[size_t(y) * W + x], px, 4);
        }
    return frame;
}

// The program's result for an RGBA image: see the top of the file.
std::vector<uint32_t> RgbaFrameRef(const std::vector<uint32_t>& in, int W, int H,
                                   const Controls& c) {
    const ModuleStrength m = SplitStrength(c.strength);
    const int F = m.ScaleBits;
    SubstituteHost host(c.threads);
    std::string error;
    if (!host.Load(TESSIVAL_MODULE, &error)) ADD_FAILURE() << error;
    host.SetControls(c.range, m.Strength, c.gaussian);
    host.AllocateImages(W, H, (W + 7) & ~7);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(in.data());
    std::vector<int16_t> q(in.size());
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const uint8_t* p = bytes + (size_t(y) * W + x) * 4;
            const double Y = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            const double v = nearbyint(ldexp(Y, F - 8));
            q[size_t(y) * W + x] = int16_t(v > (1 << F) - 1 ? (1 << F) - 1 : v);
            host.Row(host.Edit(), y)[x] = YcPixel{q[size_t(y) * W + x], 0, 0};
        }
    EXPECT_EQ(host.Process(), 1);
    std::vector<uint32_t> out(in.size());
    uint8_t* o = reinterpret_cast<uint8_t*>(out.data());
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const size_t i = size_t(y) * W + x;
            const double d = ldexp(host.Row(host.Edit(), y)[x].Y - q[i], 8 - F);
            for (int k = 0; k < 3; k++) {
                const double v = nearbyint(bytes[i * 4 + k] + d);
                o[i * 4 + k] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
            o[i * 4 + 3] = bytes[i * 4 + 3];
        }
    return out;
}

// The strength the program picks for an RGBA image of its own.
int AutoStrengthRef(const std::vector<uint32_t>& in, int W, int H, int range, bool gaussian) {
    std::vector<uint16_t> luma(in.size());
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(in.data());
    for (size_t i = 0; i < in.size(); i++) {
        const uint8_t* p = bytes + 4 * i;
        luma[i] = uint16_t(nearbyint(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]));
    }
    const NoiseEstimate e = EstimateNoise(luma.data(), W, H, W, 8);
    return StrengthForNoise(e.Sigma, e.Detail, 8, range, gaussian);
}

// A frame buffer with guard words before and after it, as a host's allocator might leave them.
struct GuardedFrame {
    static constexpr size_t Guard = 64;
    static constexpr uint32_t GuardWord = 0xA55AA55Au;
    std::vector<uint32_t> words;
    size_t n;
    explicit GuardedFrame(size_t pixels) : words(pixels + 2 * Guard, GuardWord), n(pixels) {}
    uint32_t* data() { return words.data() + Guard; }
    std::vector<uint32_t> Body() const {
        return std::vector<uint32_t>(words.begin() + Guard, words.begin() + Guard + n);
    }
    bool Intact() const {
        for (size_t i = 0; i < Guard; i++)
            if (words[i] != GuardWord || words[Guard + n + i] != GuardWord) return false;
        return true;
    }
};

std::vector<uint32_t> Filter(f0r_instance_t instance, const std::vector<uint32_t>& in) {
    GuardedFrame out(in.size());
    P().update(instance, 0.0, in.data(), out.data());
    EXPECT_TRUE(out.Intact()) << "the plug-in wrote outside the frame";
    return out.Body();
}

// Pixel index and channels of the first difference, for the failure message.
std::string FirstDifference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, int W) {
    for (size_t i = 0; i < a.size(); i++)
        if (a[i] != b[i]) {
            char text[128];
            snprintf(text, sizeof text, "first difference at x=%d y=%d: %08x vs %08x", int(i % W),
                     int(i / W), a[i], b[i]);
            return text;
        }
    return "equal";
}

TEST(Frei0rPlugin, DescribesAnRgbaFilterWithFourParameters) {
    f0r_plugin_info_t info{};
    P().pluginInfo(&info);
    EXPECT_STREQ(info.name, "Tessival");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
    ASSERT_EQ(info.num_params, 4);
    const char* names[4] = {"range", "strength", "gaussian", "workers"};
    const int types[4] = {F0R_PARAM_DOUBLE, F0R_PARAM_DOUBLE, F0R_PARAM_BOOL, F0R_PARAM_DOUBLE};
    for (int i = 0; i < 4; i++) {
        f0r_param_info_t param{};
        P().paramInfo(&param, i);
        EXPECT_STREQ(param.name, names[i]);
        EXPECT_EQ(param.type, types[i]) << names[i];
        EXPECT_NE(param.explanation, nullptr);
    }
    // Only the frei0r entry points are exported: the module and the host stay inside.
    EXPECT_EQ(dlsym(P().library, "GetFilterTable"), nullptr);
}

TEST(Frei0rPlugin, DefaultsAreTheProgramsAndClampingFollowsTheEditor) {
    f0r_instance_t instance = P().construct(16, 8);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(Get(instance, 0), 0.25);
    EXPECT_EQ(Get(instance, 1), 0.0);  // automatic
    EXPECT_EQ(Get(instance, 2), 1.0);
    EXPECT_EQ(Get(instance, 3), 0.0);
    struct {
        int index;
        double in, out;
    } const cases[] = {
        {0, 0.5, 0.5},     {0, 0.6, 0.5},      {0, 0.7, 0.75},       {0, 0.0, 0.25},   // range
        {0, -3, 0.25},     {0, 1e300, 1.0},    {0, -INFINITY, 0.25},                   //
        {1, 0.73, 0.73},   {1, 0.006, 0.01},   {1, 0.016, 0.02},     {1, 7.5, 2.0},    // strength
        {1, -1, 0.01},     {1, INFINITY, 2.0}, {1, 1.5, 1.5},        {1, 0.004, 0.0},  // 0: auto
        {1, -0.001, 0.01}, {1, 0.4, 0.4},                                              //
        {2, 0.49, 0.0},    {2, 0.5, 1.0},      {2, -2, 0.0},         {2, 9, 1.0},      // gaussian
        {3, 0.04, 0.04},   {3, 0.041, 0.04},   {3, -1, 0.0},         {3, 5, 1.0},      // threads
    };
    for (const auto& c : cases) {
        Set(instance, c.index, c.in);
        EXPECT_DOUBLE_EQ(Get(instance, c.index), c.out) << "param " << c.index << " set " << c.in;
    }
    // NaN and unknown parameters change nothing.
    Set(instance, 0, 0.75);
    Set(instance, 0, NAN);
    EXPECT_EQ(Get(instance, 0), 0.75);
    Set(instance, 4, 0.5);
    Set(instance, -1, 0.5);
    EXPECT_EQ(Get(instance, 0), 0.75);
    EXPECT_EQ(Get(instance, 1), 0.4);
    P().destruct(instance);
}

TEST(Frei0rPlugin, RefusesEmptyAndHugeFrames) {
    EXPECT_EQ(P().construct(0, 8), nullptr);
    EXPECT_EQ(P().construct(8, 0), nullptr);
    EXPECT_EQ(P().construct(1u << 20, 1u << 20), nullptr);
    P().destruct(nullptr);
}

TEST(Frei0rPlugin, FramesEqualTheProgramsRuleForRgba) {
    SKIP_WITHOUT_AVX();
    std::mt19937 rng(Seed());
    // Widths and heights off the frei0r multiples of 8 too: ffmpeg passes any size.
    struct {
        int W, H;
        Controls c;
    } const cases[] = {
        {64, 48, {1, 40, true, 1}},  {320, 240, {2, 60, true, 2}}, {104, 40, {4, 25, false, 3}},
        {37, 5, {3, 100, true, 2}},  {1, 1, {1, 40, true, 1}},     {8, 330, {2, 1, false, 2}},
        {331, 9, {4, 90, false, 1}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << k.W << "x" << k.H << " R=" << k.c.range << " strength="
                                        << k.c.strength << (k.c.gaussian ? " gaussian" : " box")
                                        << " threads=" << k.c.threads << " seed=" << Seed());
        const std::vector<uint32_t> in = NoisyFrame(k.W, k.H, rng);
        f0r_instance_t instance = Make(k.W, k.H, k.c);
        ASSERT_NE(instance, nullptr);
        const std::vector<uint32_t> want = RgbaFrameRef(in, k.W, k.H, k.c);
        // Twice: the second frame runs on the plan and images the first one made.
        for (int frame = 0; frame < 2; frame++) {
            const std::vector<uint32_t> got = Filter(instance, in);
            ASSERT_EQ(got, want) << FirstDifference(got, want, k.W);
        }
        P().destruct(instance);
    }
}

TEST(Frei0rPlugin, AlphaPassesAndTheFilterDoesSomething) {
    SKIP_WITHOUT_AVX();
    std::mt19937 rng(Seed() + 1);
    const int W = 96, H = 64;
    const std::vector<uint32_t> in = NoisyFrame(W, H, rng);
    f0r_instance_t instance = Make(W, H, {2, 50, true, 2});
    const std::vector<uint32_t> out = Filter(instance, in);
    size_t changed = 0;
    for (size_t i = 0; i < in.size(); i++) {
        ASSERT_EQ(out[i] >> 24, in[i] >> 24) << "alpha of pixel " << i;
        changed += out[i] != in[i];
    }
    EXPECT_GT(changed, in.size() / 2);
    // In place, as some hosts call it.
    std::vector<uint32_t> inPlace = in;
    P().update(instance, 0.0, inPlace.data(), inPlace.data());
    EXPECT_EQ(inPlace, out);
    P().destruct(instance);
}

TEST(Frei0rPlugin, FlatFramesComeBackUnchanged) {
    SKIP_WITHOUT_AVX();
    const int W = 40, H = 24;
    for (const uint32_t pixel : {0x00000000u, 0x80402010u, 0x7f7f7f7fu, 0xff204060u}) {
        const std::vector<uint32_t> in(size_t(W) * H, pixel);
        f0r_instance_t instance = Make(W, H, {4, 100, true, 2});
        EXPECT_EQ(Filter(instance, in), in) << std::hex << pixel;
        P().destruct(instance);
    }
}

TEST(Frei0rPlugin, ThreadCountsGiveTheSameFrameAtRangeOne) {
    SKIP_WITHOUT_AVX();
    std::mt19937 rng(Seed() + 2);
    const int W = 200, H = 90;
    const std::vector<uint32_t> in = NoisyFrame(W, H, rng);
    f0r_instance_t instance = Make(W, H, {1, 70, true, 1});
    const std::vector<uint32_t> one = Filter(instance, in);
    for (int threads : {2, 3, 7, 0}) {
        Set(instance, 3, threads / 100.0);
        EXPECT_EQ(Filter(instance, in), one) << threads << " threads";
    }
    P().destruct(instance);
}

TEST(Frei0rPlugin, ControlsChangedBetweenFramesTakeEffect) {
    SKIP_WITHOUT_AVX();
    std::mt19937 rng(Seed() + 3);
    const int W = 72, H = 40;
    const std::vector<uint32_t> in = NoisyFrame(W, H, rng);
    f0r_instance_t instance = Make(W, H, {1, 40, true, 2});
    Filter(instance, in);
    const Controls next[] = {{3, 40, true, 2}, {3, 80, true, 2}, {3, 80, false, 2}};
    for (const Controls& c : next) {
        Set(instance, 0, c.range / 4.0);
        Set(instance, 1, c.strength / 100.0);
        Set(instance, 2, c.gaussian);
        EXPECT_EQ(Filter(instance, in), RgbaFrameRef(in, W, H, c))
            << "R=" << c.range << " strength=" << c.strength << " gaussian=" << c.gaussian;
    }
    P().destruct(instance);
}

// Automatic strength: the first frame of a shot is filtered for its own noise, as the program
// filters that frame as a still image; the same noise again keeps the strength; a cut to another
// picture with other noise starts a new shot, measured afresh.
TEST(Frei0rPlugin, AutomaticStrengthFollowsTheShot) {
    SKIP_WITHOUT_AVX();
    std::mt19937 rng(Seed() + 6);
    const int W = 160, H = 120;
    const std::vector<uint32_t> first = NoisyFrame(W, H, rng);
    // The cut: bands of another brightness under noise of another level. Some noise levels map to
    // the first frame's strength (the calibration is flat in places), so the first level that
    // changes the strength for both weightings is taken.
    const auto cutWith = [&](double sigma) {
        std::vector<uint32_t> frame(first.size());
        std::normal_distribution<double> heavy(0.0, sigma);
        for (size_t i = 0; i < frame.size(); i++) {
            uint8_t px[4];
            const double base = (i / W) % 40 < 20 ? 60.0 : 190.0;
            for (int c = 0; c < 3; c++) {
                const double v = nearbyint(base + heavy(rng));
                px[c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
            px[3] = 255;
            memcpy(&frame[i], px, 4);
        }
        return frame;
    };
    std::vector<uint32_t> cut;
    for (const double sigma : {30.0, 12.0, 50.0, 4.0}) {
        cut = cutWith(sigma);
        if (AutoStrengthRef(cut, W, H, 2, true) != AutoStrengthRef(first, W, H, 2, true) &&
            AutoStrengthRef(cut, W, H, 2, false) != AutoStrengthRef(first, W, H, 2, false))
            break;
    }
    for (const bool gaussian : {true, false}) {
        const Controls c{2, 0, gaussian, 2};
        f0r_instance_t instance = Make(W, H, c);
        Set(instance, 1, 0.0);
        Controls own = c;
        own.strength = AutoStrengthRef(first, W, H, 2, gaussian);
        const std::vector<uint32_t> want = RgbaFrameRef(first, W, H, own);
        EXPECT_EQ(Filter(instance, first), want) << "first frame, strength " << own.strength;
        EXPECT_EQ(Filter(instance, first), want) << "the same frame again";
        Controls after = c;
        after.strength = AutoStrengthRef(cut, W, H, 2, gaussian);
        EXPECT_NE(after.strength, own.strength) << "the test's cut should change the strength";
        EXPECT_EQ(Filter(instance, cut), RgbaFrameRef(cut, W, H, after))
            << "after the cut, strength " << after.strength;
        P().destruct(instance);
    }
}

// Two hosts' chains in one process: instances of different sizes and controls, each on its
// own thread, frame after frame. Every frame must equal what that instance gives alone.
TEST(Frei0rPlugin, InstancesSideBySideGiveWhatEachGivesAlone) {
    SKIP_WITHOUT_AVX();
    std::mt19937 rng(Seed() + 4);
    struct Chain {
        int W, H;
        Controls c;
        std::vector<uint32_t> in, want;
    } chains[] = {{160, 96, {1, 40, true, 2}, {}, {}},
                  {96, 120, {3, 70, false, 1}, {}, {}},
                  {128, 64, {2, 55, true, 3}, {}, {}}};
    for (Chain& chain : chains) {
        chain.in = NoisyFrame(chain.W, chain.H, rng);
        f0r_instance_t alone = Make(chain.W, chain.H, chain.c);
        chain.want = Filter(alone, chain.in);
        P().destruct(alone);
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (Chain& chain : chains)
        threads.emplace_back([&chain, &wrong] {
            f0r_instance_t instance = Make(chain.W, chain.H, chain.c);
            std::vector<uint32_t> out(chain.in.size());
            for (int frame = 0; frame < 30; frame++) {
                P().update(instance, frame, chain.in.data(), out.data());
                if (out != chain.want) wrong++;
            }
            P().destruct(instance);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0) << "frames that differ from the instance alone";
}

// Hosts meet a size change by destroying the instance and constructing one for the new size;
// an instance of the old size may still be alive (MLT keeps one per size).
TEST(Frei0rPlugin, SizeChangesBetweenInstances) {
    SKIP_WITHOUT_AVX();
    std::mt19937 rng(Seed() + 5);
    const Controls c{2, 45, true, 2};
    const int sizes[][2] = {{64, 48}, {320, 176}, {24, 8}, {320, 176}, {64, 48}};
    f0r_instance_t kept = Make(64, 48, c);
    const std::vector<uint32_t> keptIn = NoisyFrame(64, 48, rng);
    const std::vector<uint32_t> keptWant = RgbaFrameRef(keptIn, 64, 48, c);
    for (const auto& size : sizes) {
        const int W = size[0], H = size[1];
        const std::vector<uint32_t> in = NoisyFrame(W, H, rng);
        f0r_instance_t instance = Make(W, H, c);
        EXPECT_EQ(Filter(instance, in), RgbaFrameRef(in, W, H, c)) << W << "x" << H;
        P().destruct(instance);
        EXPECT_EQ(Filter(kept, keptIn), keptWant) << "the kept instance after " << W << "x" << H;
    }
    P().destruct(kept);
}

}  // namespace
