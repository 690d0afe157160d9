// host_tests.cpp: the descriptor, Update, the band plan and its cache, the scratch lifecycle,
// and every way a host or a damaged project can hand the filter something unusable
//
// The module is linked in with a platform layer that counts allocations and can fail them.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

#include "../engine/band_worker.h"
#include "../host/band_job.h"
#include "../host/filter_table.h"
#include "../host/process_frame.h"
#include "../host/strength.h"
#include "../subhost/substitute_host.h"
#include "support/test_platform.h"

namespace {

uint32_t Bits(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

TEST(Descriptor, Words) {
    const FilterTable* t = GetFilterTable();
    ASSERT_EQ(t, GetFilterTable());
    EXPECT_EQ(t->Flags, 0x00040000);
    EXPECT_EQ(t->WindowWidth, 0);
    EXPECT_EQ(t->WindowHeight, 0);
    EXPECT_STREQ(t->Name, "Tessival(AVX)");
    EXPECT_STREQ(t->Information, "Tessival(AVX) Ver.111113");
    ASSERT_EQ(t->TrackCount, 2);
    EXPECT_STREQ(t->TrackLabels[0], "\x94\xcd\x88\xcd");
    EXPECT_STREQ(t->TrackLabels[1], "\x95\xaa\x8e\x55");
    EXPECT_EQ(t->TrackDefaults[0], 1);
    EXPECT_EQ(t->TrackDefaults[1], 40);
    EXPECT_EQ(t->TrackMinimums[0], 1);
    EXPECT_EQ(t->TrackMinimums[1], 1);
    EXPECT_EQ(t->TrackMaximums[0], 4);
    EXPECT_EQ(t->TrackMaximums[1], 100);
    ASSERT_EQ(t->CheckCount, 1);
    EXPECT_STREQ(t->CheckLabels[0], "\x83\x4b\x83\x45\x83\x56\x83\x41\x83\x93\x8f\x64\x82\xdd");
    EXPECT_EQ(t->CheckDefaults[0], 1);
    EXPECT_EQ(t->ProcessFrame, &ProcessFrame);
    EXPECT_EQ(t->Init, &Init);
    EXPECT_EQ(t->Exit, &Exit);
    EXPECT_EQ(t->Update, &Update);
    EXPECT_EQ(t->WindowProc, &WindowProc);
    for (void* w : t->HostOwned) EXPECT_EQ(w, nullptr);
    for (void* w : t->Reserved) EXPECT_EQ(w, nullptr);
    FilterInstance instance{};
    EXPECT_EQ(Init(&instance), 1);
}

TEST(Update, Coefficients) {
    int32_t track[2] = {1, 40}, check[1] = {1};
    FilterInstance instance{};
    instance.TrackValues = track;
    instance.CheckValues = check;
    auto coefficient = [&](int strength, bool gaussian) {
        track[1] = strength;
        check[0] = gaussian;
        EXPECT_EQ(Update(&instance, 12345), 1);
        for (float lane : Job.WeightCoefficient) EXPECT_EQ(lane, Job.WeightCoefficient[0]);
        return Job.WeightCoefficient[0];
    };
    EXPECT_EQ(coefficient(40, true), -235.65555f);
    EXPECT_NEAR(coefficient(40, false), -128.24, 0.01);
    EXPECT_NEAR(coefficient(100, true), -6.03, 0.01);
    EXPECT_NEAR(coefficient(100, false), -3.28, 0.01);
    EXPECT_NEAR(coefficient(1, true), -6.03e8, 0.01e8);
    EXPECT_NEAR(coefficient(1, false), -3.28e8, 0.01e8);
    EXPECT_NEAR(coefficient(25, true) / coefficient(25, false), 2304.0 / 1253.79584, 1e-6);
    EXPECT_EQ(Bits(Job.ExponentBias), 0x4E7DE000u);
    EXPECT_EQ(Bits(Job.LowerBound), 0xCE7B0768u);
    // A damaged project's Strength is clamped into 1 to 100.
    EXPECT_EQ(coefficient(0, true), coefficient(1, true));
    EXPECT_EQ(coefficient(-5, false), coefficient(1, false));
    EXPECT_EQ(coefficient(250, true), coefficient(100, true));
}

TEST(Plan, BandHeights) {
    EXPECT_EQ(PlanBandHeight(1080, 8, 1), 10);
    EXPECT_EQ(PlanBandHeight(1080, 8, 2), 28);
    EXPECT_EQ(PlanBandHeight(1080, 8, 3), 46);
    EXPECT_EQ(PlanBandHeight(1080, 8, 4), 68);
    for (int range = 2; range <= 4; range++) EXPECT_EQ(PlanBandHeight(1, 8, range), 2);
    EXPECT_EQ(PlanBandHeight(1, 1, 1), 10);
    EXPECT_EQ(PlanBandHeight(10, 8, 2), 2);
    EXPECT_EQ(PlanBandHeight(30, 1, 2), 30);
    EXPECT_EQ(PlanBandHeight(31, 1, 2), 16);
}

// A host that runs the workers itself on `threads` pretend threads, one after another, so tests
// can inspect the plan without running a pool. Index 0 runs last.
class Host : public ::testing::Test {
protected:
    SubstituteHost host{1};
    int pretendThreads = 1;

    void SetUp() override {
        if (!CpuHasAvx()) {
            GTEST_SKIP() << "AVX not available, skipping";
        }
        host.Attach(GetFilterTable());
        host.RunOverride = [this](WorkerFunction fn, void* first, void* second) {
            for (int i = pretendThreads - 1; i >= 0; i--) fn(i, pretendThreads, first, second);
        };
        Exit(&host.Instance());
        TestAllocationsToFail = 0;
    }
    void TearDown() override { Exit(&host.Instance()); }

    // A frame of random luma; returns a copy of both images' bytes.
    void NewFrame(int W, int H, int capacity = -1) {
        host.AllocateImages(W, H, capacity < 0 ? (W + 7) & ~7 : capacity);
        std::mt19937 rng(W * 31 + H);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                host.Row(host.Edit(), y)[x] = YcPixel{int16_t(rng() % 4096), 1, 2};
    }
    std::vector<uint8_t> Bytes() {
        const size_t n = size_t(host.Frame().Height) * size_t(host.Frame().Capacity) * 6;
        std::vector<uint8_t> b(reinterpret_cast<uint8_t*>(host.Frame().Edit),
                               reinterpret_cast<uint8_t*>(host.Frame().Edit) + n);
        b.insert(b.end(), reinterpret_cast<uint8_t*>(host.Frame().Temp),
                 reinterpret_cast<uint8_t*>(host.Frame().Temp) + n);
        return b;
    }
    // Runs a frame that must be refused: result 0, pointers and both images untouched.
    void ExpectRefused(const char* why) {
        const FrameInfo before = host.Frame();
        const std::vector<uint8_t> bytes = before.Edit && before.Height > 0 && before.Capacity > 0
                                               ? Bytes()
                                               : std::vector<uint8_t>{};
        EXPECT_EQ(host.Process(), 0) << why;
        EXPECT_EQ(host.Frame().Edit, before.Edit) << why;
        EXPECT_EQ(host.Frame().Temp, before.Temp) << why;
        if (!bytes.empty()) {
            EXPECT_EQ(Bytes(), bytes) << why;
        }
        EXPECT_TRUE(host.GuardsIntact()) << why;
    }
};

TEST_F(Host, WorkedPlan) {
    pretendThreads = 8;
    host.SetControls(2, 40, true);
    NewFrame(1920, 1080);
    ASSERT_EQ(host.Process(), 1);
    EXPECT_EQ(Job.Threads, 8);
    EXPECT_EQ(Job.Range, 2);
    EXPECT_EQ(Job.BandHeight, 28);
    EXPECT_EQ(Job.BandCount, 39);
    EXPECT_EQ(Job.V, 240);
    EXPECT_EQ(Job.StripBytes, 1440);
    EXPECT_EQ(Job.RowBytes, 3840);
    EXPECT_EQ(Job.PerThreadBytes, 201344);
    EXPECT_EQ(Job.Stride, 1920 * 6);
    EXPECT_EQ(Job.W, 1920);
    EXPECT_EQ(Job.H, 1080);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Job.Scratch) % 128, 0u);
    EXPECT_EQ(Job.ClaimCounter, 39 + 8)
        << "every band claimed once, and one failed claim per thread";
    host.SetControls(1, 40, true);
    ASSERT_EQ(host.Process(), 1);
    EXPECT_EQ(Job.BandHeight, 10);
    EXPECT_EQ(Job.BandCount, 108);
    host.SetControls(4, 40, true);
    ASSERT_EQ(host.Process(), 1);
    EXPECT_EQ(Job.BandHeight, 68);
    EXPECT_EQ(Job.BandCount, 16);
    NewFrame(320, 1);
    ASSERT_EQ(host.Process(), 1);
    EXPECT_EQ(Job.BandHeight, 2);
    EXPECT_EQ(Job.BandCount, 1);
}

TEST_F(Host, PlanCacheAndRebuilds) {
    pretendThreads = 2;
    host.SetControls(2, 40, true);
    NewFrame(700, 50);
    const int allocations = TestAllocationCount;
    ASSERT_EQ(host.Process(), 1);
    EXPECT_EQ(TestAllocationCount, allocations + 1) << "the first frame plans";
    uint8_t* const scratch = Job.Scratch;
    auto expectReuse = [&](const char* what) {
        const int before = TestAllocationCount;
        ASSERT_EQ(host.Process(), 1) << what;
        EXPECT_EQ(TestAllocationCount, before) << what << " must reuse the plan";
        EXPECT_EQ(Job.Scratch, scratch) << what;
    };
    auto expectRebuild = [&](const char* what) {
        const int before = TestAllocationCount;
        ASSERT_EQ(host.Process(), 1) << what;
        EXPECT_EQ(TestAllocationCount, before + 1) << what << " must plan again";
        EXPECT_EQ(TestLiveBlocks, 1) << what << ": the old block is released";
    };
    expectReuse("the same frame again");
    host.SetControls(2, 77, true);
    expectReuse("a new Strength");
    host.SetControls(2, 77, false);
    expectReuse("GaussianWeighting off");
    host.SetControls(3, 77, false);
    expectRebuild("a new Range");
    pretendThreads = 3;
    expectRebuild("a new thread count");
    NewFrame(701, 50);
    expectRebuild("a new width");
    NewFrame(701, 51);
    expectRebuild("a new height");
    host.SetActive(false);
    EXPECT_EQ(host.SendSwitchMessage(), 0);
    EXPECT_EQ(Job.Scratch, nullptr);
    EXPECT_EQ(TestLiveBlocks, 0);
    host.SetActive(true);
    expectRebuild("a frame after the filter was switched off and on");
}

TEST_F(Host, ReleaseCallbacks) {
    EXPECT_EQ(TestLiveBlocks, 0);
    EXPECT_EQ(Exit(&host.Instance()), 1) << "Exit without any frame";
    EXPECT_EQ(TestLiveBlocks, 0);
    NewFrame(400, 20);
    ASSERT_EQ(host.Process(), 1);
    ASSERT_EQ(TestLiveBlocks, 1);
    host.SetActive(true);
    EXPECT_EQ(host.SendSwitchMessage(), 0);
    EXPECT_EQ(TestLiveBlocks, 1) << "switch message while active releases nothing";
    EXPECT_EQ(WindowProc(nullptr, 1134, 0, 0, nullptr, &host.Instance()), 0);
    host.SetActive(false);
    EXPECT_EQ(WindowProc(nullptr, 1134, 0, 0, nullptr, &host.Instance()), 0);
    EXPECT_EQ(TestLiveBlocks, 1) << "other messages are ignored";
    EXPECT_EQ(host.SendSwitchMessage(), 0);
    EXPECT_EQ(host.SendSwitchMessage(), 0);
    EXPECT_EQ(TestLiveBlocks, 0) << "twice while inactive releases once";
    host.SetActive(true);
    ASSERT_EQ(host.Process(), 1);
    // Exit clears the pointer: a second Exit frees nothing, a later frame plans afresh.
    EXPECT_EQ(Exit(&host.Instance()), 1);
    EXPECT_EQ(Job.Scratch, nullptr);
    EXPECT_EQ(Exit(&host.Instance()), 1);
    EXPECT_EQ(TestLiveBlocks, 0);
    NewFrame(400, 20);
    ASSERT_EQ(host.Process(), 1);
    EXPECT_EQ(TestLiveBlocks, 1);
}

TEST_F(Host, ScratchAllocationFails) {
    NewFrame(640, 30);
    TestAllocationsToFail = 1;
    ExpectRefused("scratch allocation failed");
    EXPECT_EQ(Job.Scratch, nullptr);
    ASSERT_EQ(host.Process(), 1) << "the next frame plans again";
    EXPECT_EQ(TestLiveBlocks, 1);
}

TEST_F(Host, UnusableFrames) {
    NewFrame(64, 8);
    host.Frame().Width = -1;
    ExpectRefused("negative width");
    host.Frame().Width = 64;
    host.Frame().Height = -3;
    EXPECT_EQ(host.Process(), 0);
    host.Frame().Height = 8;
    host.Frame().Capacity = 63;
    EXPECT_EQ(host.Process(), 0) << "row capacity below W";
    host.Frame().Capacity = 64;
    YcPixel* const temp = host.Frame().Temp;
    host.Frame().Temp = nullptr;
    EXPECT_EQ(host.Process(), 0);
    host.Frame().Temp = temp;
    host.Frame().Edit = nullptr;
    EXPECT_EQ(host.Process(), 0);
    EXPECT_EQ(ProcessFrame(nullptr, &host.Frame()), 0);
    EXPECT_EQ(ProcessFrame(&host.Instance(), nullptr), 0);
    // Nothing to filter: success, no pixel touched, and edit and temp exchanged as for any
    // accepted frame, so that the host takes the edit image after every call.
    for (auto [W, H] : {std::pair<int, int>{0, 8}, {64, 0}, {0, 0}}) {
        NewFrame(64, 8);
        const FrameInfo before = host.Frame();
        const std::vector<uint8_t> bytes = Bytes();  // both 64x8 images
        host.Frame().Width = W;
        host.Frame().Height = H;
        EXPECT_EQ(host.Process(), 1) << W << "x" << H;
        EXPECT_EQ(host.Frame().Edit, before.Temp) << W << "x" << H;
        EXPECT_EQ(host.Frame().Temp, before.Edit) << W << "x" << H;
        host.Frame() = before;
        EXPECT_EQ(Bytes(), bytes) << W << "x" << H;
    }
}

TEST_F(Host, FaultyHostThreads) {
    NewFrame(500, 12);
    // Thread 0 never runs: the probe reports no threads.
    host.RunOverride = [](WorkerFunction fn, void* first, void* second) {
        fn(1, 2, first, second);
    };
    ExpectRefused("thread probe saw no thread 0");
    // A worker with an index past the plan's thread count touches nothing.
    host.RunOverride = nullptr;
    ASSERT_EQ(host.Process(), 1);
    ASSERT_EQ(Job.Threads, 1);
    NewFrame(500, 12);
    const std::vector<uint8_t> bytes = Bytes();
    Job.ClaimCounter = 0;
    Job.Source = host.Frame().Edit;
    Job.Destination = host.Frame().Temp;
    BandWorkerGaussian(1, 2, &Job, nullptr);
    BandWorkerBox(7, 8, &Job, nullptr);
    EXPECT_EQ(Job.ClaimCounter, 0);
    EXPECT_EQ(Bytes(), bytes);
}

// A damaged project's Range is clamped: 0 filters as 1, 9 as 4.
TEST_F(Host, RangeOutOfBounds) {
    auto filtered = [&](int range) {
        NewFrame(333, 21);
        host.SetRawControls(range, 40, true);
        host.CallUpdate();
        EXPECT_EQ(host.Process(), 1) << "Range " << range;
        EXPECT_TRUE(host.GuardsIntact());
        std::vector<int16_t> y;
        for (int r = 0; r < 21; r++)
            for (int x = 0; x < 333; x++) y.push_back(host.Row(host.Frame().Edit, r)[x].Y);
        return y;
    };
    EXPECT_EQ(filtered(0), filtered(1));
    EXPECT_EQ(filtered(-7), filtered(1));
    EXPECT_EQ(filtered(9), filtered(4));
    EXPECT_EQ(Job.Range, 4);
}

// Before any Update the coefficient is zero: every neighbour weighs 0 and each pixel keeps its
// own value, up to the approximate reciprocal of 1.0.
TEST_F(Host, FrameBeforeUpdate) {
    NewFrame(300, 9);
    const float saved = Job.WeightCoefficient[0], lower = Job.LowerBound, bias = Job.ExponentBias;
    for (float& lane : Job.WeightCoefficient) lane = 0.0f;
    Job.LowerBound = Job.ExponentBias = 0.0f;
    std::vector<int16_t> before;
    for (int x = 0; x < 300; x++) before.push_back(host.Row(host.Edit(), 4)[x].Y);
    ASSERT_EQ(host.Process(), 1);
    for (int x = 0; x < 300; x++)
        EXPECT_NEAR(host.Row(host.Edit(), 4)[x].Y, before[x], 1 + before[x] * 1.5 / 4096);
    for (float& lane : Job.WeightCoefficient) lane = saved;
    Job.LowerBound = lower;
    Job.ExponentBias = bias;
}

}  // namespace

// Without AVX the module still loads and describes itself, and refuses frames untouched.
TEST(NoAvx, FramesRefusedUntouched) {
    if (CpuHasAvx()) {
        GTEST_SKIP() << "this processor has AVX";
    }
    ASSERT_STREQ(GetFilterTable()->Name, "Tessival(AVX)");
    SubstituteHost host(2);
    host.Attach(GetFilterTable());
    host.AllocateImages(320, 8, 320);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 320; x++) host.Row(host.Edit(), y)[x] = YcPixel{int16_t(x), 3, 4};
    YcPixel* const edit = host.Edit();
    EXPECT_EQ(host.Process(), 0);
    EXPECT_EQ(host.Edit(), edit);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 320; x++) EXPECT_EQ(host.Row(host.Edit(), y)[x].Y, x);
    EXPECT_EQ(host.Exit(), 1);
}
