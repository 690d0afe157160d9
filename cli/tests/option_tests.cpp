// option_tests.cpp: the command line: the module's ranges and defaults, and messages that name
// the option and its range
#include <gtest/gtest.h>

#include <vector>

#include "../options.h"

namespace {

bool Parse(std::vector<const char*> args, Options* o, std::string* error) {
    args.insert(args.begin(), "tessival");
    return ParseOptions(int(args.size()), args.data(), o, error);
}

TEST(Options, DefaultsAreTheModuleControls) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"in.y4m", "-"}, &o, &error)) << error;
    EXPECT_EQ(o.Filter.Range, 1);
    EXPECT_EQ(o.Filter.Strength, 40);
    EXPECT_TRUE(o.Filter.Gaussian);
    EXPECT_EQ(o.Filter.Threads, 0);
    EXPECT_EQ(o.Frames, -1);
    EXPECT_EQ(o.Progress, -1);
    EXPECT_EQ(o.MaxPixels, uint64_t(1) << 27);
    EXPECT_EQ(o.Input, "in.y4m");
    EXPECT_EQ(o.Output, "-");
}

TEST(Options, BothSpellingsAndEveryOption) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse(
        {"--range", "4", "--strength=100", "--box", "--threads", "3", "--frames=0", "--progress",
         "--quiet", "--module", "/x/libtessival.so", "--max-pixels", "1073741824", "-", "out"},
        &o, &error))
        << error;
    EXPECT_EQ(o.Filter.Range, 4);
    EXPECT_EQ(o.Filter.Strength, 100);
    EXPECT_FALSE(o.Filter.Gaussian);
    EXPECT_EQ(o.Filter.Threads, 3);
    EXPECT_EQ(o.Frames, 0);
    EXPECT_EQ(o.Progress, 1);
    EXPECT_TRUE(o.Quiet);
    EXPECT_EQ(o.Filter.Module, "/x/libtessival.so");
    EXPECT_EQ(o.MaxPixels, 1073741824u);
    EXPECT_EQ(o.Input, "-");
    ASSERT_TRUE(Parse({"--strength", "1", "--range=1", "--", "-odd-name", "b"}, &o, &error));
    EXPECT_EQ(o.Filter.Strength, 1);
    EXPECT_EQ(o.Input, "-odd-name");
}

TEST(Options, ErrorsNameTheOptionAndItsRange) {
    const struct {
        std::vector<const char*> Args;
        const char* Expect;
    } cases[] = {
        {{"--range", "0", "a", "b"}, "--range must be a whole number from 1 to 4, not '0'"},
        {{"--range=5", "a", "b"}, "--range must be a whole number from 1 to 4, not '5'"},
        {{"--range", "2.5", "a", "b"}, "from 1 to 4, not '2.5'"},
        {{"--strength", "201", "a", "b"},
         "--strength must be auto or a whole number from 1 to 200, not '201'"},
        {{"--strength=", "a", "b"},
         "--strength must be auto or a whole number from 1 to 200, not ''"},
        {{"--strength", "0", "a", "b"}, "from 1 to 200, not '0'"},
        {{"--strength", "Auto", "a", "b"}, "from 1 to 200, not 'Auto'"},
        {{"--strength"}, "from 1 to 200, and none was given"},
        {{"--sigma", "-1", "a", "b"}, "--sigma must be a number from 0 to 65535"},
        {{"--sigma", "nan", "a", "b"}, "not 'nan'"},
        {{"--sigma", "3x", "a", "b"}, "not '3x'"},
        {{"--sigma", "70000", "a", "b"}, "not '70000'"},
        {{"--sigma"},
         "--sigma must be a number from 0 to 65535 (the noise's standard deviation in "
         "sample units), and none was given"},
        {{"--sigma", "3", "--strength", "50", "a", "b"},
         "--sigma picks the strength, so it cannot go with --strength 50"},
        {{"--strength", "50", "--sigma=3", "a", "b"}, "cannot go with --strength 50"},
        {{"--threads", "0", "a", "b"}, "--threads must be a whole number from 1 to 256"},
        {{"--frames", "-1", "a", "b"}, "--frames must be a whole number from 0"},
        {{"--box=1", "a", "b"}, "--box takes no value"},
        {{"--gaussian=0", "a", "b"}, "--gaussian takes no value"},
        {{"--box", "--gaussian", "a", "b"},
         "--box and --gaussian ask for different patch weightings; give one of them"},
        {{"--gaussian", "--temporal", "1", "--box", "a", "b"}, "give one of them"},
        {{"demo", "--gaussian", "--box"}, "give one of them"},
        {{"--max-pixels=0", "a", "b"}, "--max-pixels must be a whole number from 1 to 1073741824"},
        {{"--max-pixels", "1073741825", "a", "b"}, "from 1 to 1073741824, not '1073741825'"},
        {{"--module", "", "a", "b"}, "--module needs the path"},
        {{"--radius", "2", "a", "b"}, "unknown option '--radius'"},
        {{"--x\n\x1b[2J", "a", "b"}, "unknown option '--x\\x0A\\x1B[2J'"},  // one line, no escapes
        {{"--range", "1\n", "a", "b"}, "not '1\\x0A'"},
        {{"--strength", "\x1b[2J", "a", "b"}, "not '\\x1B[2J'"},
        {{"--sigma", "\n", "a", "b"}, "not '\\x0A'"},
        {{"--noise", "5", "a", "b"}, "unknown option '--noise'"},  // demo only
        {{}, "missing INPUT and OUTPUT"},
        {{"a"}, "missing OUTPUT"},
        {{"a", "b", "c"}, "too many operands"},
        {{"demo", "a.png", "b.png"}, "at most one operand"},
        {{"demo", "--noise", "51"}, "--noise must be a whole number from 1 to 50"},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(c.Args, &o, &error)) << c.Expect;
        EXPECT_NE(error.find(c.Expect), std::string::npos) << c.Expect << " -> " << error;
    }
}

// The spatial filter is Gaussian unless --box; the temporal mode uniform unless --gaussian,
// whichever order the options come in. The demo runs both modes and keeps each one's own.
TEST(Options, WeightingDefaultsFollowTheMode) {
    const struct {
        std::vector<const char*> Args;
        bool Gaussian, TemporalGaussian;
    } cases[] = {
        {{"a", "b"}, true, false},
        {{"--box", "a", "b"}, false, false},
        {{"--gaussian", "a", "b"}, true, true},
        {{"--temporal", "0", "a", "b"}, true, false},
        {{"--temporal", "1", "a", "b"}, false, false},
        {{"--temporal=2", "a", "b"}, false, false},
        {{"--gaussian", "--temporal", "1", "a", "b"}, true, true},
        {{"--temporal", "1", "--gaussian", "a", "b"}, true, true},
        {{"--temporal", "2", "--box", "a", "b"}, false, false},
        {{"--box", "--box", "a", "b"}, false, false},
        {{"demo", "--temporal", "1"}, true, false},
        {{"demo", "--gaussian"}, true, true},
        {{"demo", "--box"}, false, false},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        ASSERT_TRUE(Parse(c.Args, &o, &error)) << error;
        std::string args;
        for (const char* a : c.Args) args += std::string(a) + " ";
        EXPECT_EQ(o.Filter.Gaussian, c.Gaussian) << args;
        EXPECT_EQ(TemporalGaussian(o), c.TemporalGaussian) << args;
    }
}

TEST(Options, StrengthIsAutoUnlessANumberIsGiven) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"a", "b"}, &o, &error)) << error;
    EXPECT_TRUE(o.Filter.AutoStrength);
    EXPECT_LT(o.Filter.Sigma, 0);  // estimated
    ASSERT_TRUE(Parse({"--strength", "200", "a", "b"}, &o, &error)) << error;
    EXPECT_FALSE(o.Filter.AutoStrength);
    EXPECT_EQ(o.Filter.Strength, 200);
    // The last --strength counts; --sigma goes with auto, given or by default.
    ASSERT_TRUE(
        Parse({"--strength", "7", "--strength=auto", "--sigma", "2.5", "a", "b"}, &o, &error))
        << error;
    EXPECT_TRUE(o.Filter.AutoStrength);
    EXPECT_EQ(o.Filter.Sigma, 2.5);
    ASSERT_TRUE(Parse({"--sigma=0", "a", "b"}, &o, &error)) << error;
    EXPECT_EQ(o.Filter.Sigma, 0.0);
    ASSERT_TRUE(Parse({"--sigma", "1e2", "a", "b"}, &o, &error)) << error;
    EXPECT_EQ(o.Filter.Sigma, 100.0);
    ASSERT_TRUE(Parse({"demo", "--strength", "90", "--sigma", "4"}, &o, &error) == false);
}

TEST(Options, DemoKeepsItsOwnRangeAndStrengthUnlessGiven) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"demo"}, &o, &error));
    EXPECT_TRUE(o.Demo);
    EXPECT_FALSE(o.RangeGiven);
    EXPECT_FALSE(o.StrengthGiven);
    EXPECT_EQ(o.Output, "tessival-demo.png");
    ASSERT_TRUE(Parse({"demo", "--range", "3", "--seed", "9", "x.png"}, &o, &error));
    EXPECT_TRUE(o.RangeGiven);
    EXPECT_EQ(o.Seed, 9u);
    EXPECT_EQ(o.Output, "x.png");
}

TEST(Options, HelpAndVersionNeedNoOperands) {
    Options o;
    std::string error;
    EXPECT_TRUE(Parse({"--help"}, &o, &error));
    EXPECT_TRUE(o.Help);
    EXPECT_TRUE(Parse({"--version"}, &o, &error));
    EXPECT_TRUE(o.Version);
}

}  // namespace
