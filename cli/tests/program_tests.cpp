// program_tests.cpp: the built program, run as users run it: exit codes and messages, frames
// flushed before a broken tail, closed pipes, pass-through of chroma and tags, --frames, images
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "../image_io.h"
#include "../y4m.h"
#include "test_streams.h"

namespace {

// A stream whose luma is flat at `luma` (a sample value) and whose other planes are random.
std::string FlatLumaStream(const std::string& header, int frames, uint16_t luma) {
    Y4mFormat f;
    std::string error;
    EXPECT_TRUE(ParseY4mHeader(header, &f, &error)) << error;
    std::string s = MakeY4m(header, frames, FrameBytes(f), 11);
    const size_t lumaBytes = PlaneBytes(f, 0), step = FrameBytes(f) + 6;
    size_t at = header.size() + 1 + 6;
    for (int k = 0; k < frames; k++, at += step) {
        for (size_t i = 0; i<lumaBytes; i += f.Bits> 8 ? 2 : 1) {
            s[at + i] = char(luma & 0xFF);
            if (f.Bits > 8) s[at + i + 1] = char(luma >> 8);
        }
    }
    return s;
}

TEST(Program, OptionErrorsExitWithTwo) {
    ProgramRun run = RunProgram("--range 9 - - </dev/null");
    EXPECT_EQ(run.Code, 2);
    EXPECT_NE(run.Err.find("--range must be a whole number from 1 to 4, not '9'"),
              std::string::npos)
        << run.Err;
    EXPECT_EQ(RunProgram("--strength=0 a b").Code, 2);
    EXPECT_EQ(RunProgram("--what a b").Code, 2);
    EXPECT_EQ(RunProgram("onlyone").Code, 2);
    EXPECT_EQ(RunProgram("--help >/dev/null").Code, 0);
    EXPECT_EQ(RunProgram("--version >/dev/null").Code, 0);
}

TEST(Program, BadInputExitsWithOneAndWritesNothing) {
    ScratchFolder dir;
    WriteFile(dir.Path("bad.y4m"), "YUV4MPEG2 W16 H8 Cyuv\nFRAME\n");
    ProgramRun run = RunProgram(dir.Path("bad.y4m") + " " + dir.Path("out.y4m"));
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("unsupported colour space \"Cyuv\" at byte 17"), std::string::npos)
        << run.Err;
    EXPECT_NE(access(dir.Path("out.y4m").c_str(), F_OK), 0);

    WriteFile(dir.Path("noise.bin"), "\x01\x02\x03");
    run = RunProgram(dir.Path("noise.bin") + " -");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("not a YUV4MPEG2 stream, PNG, PGM or PPM"), std::string::npos);
    run = RunProgram(dir.Path("missing.y4m") + " -");
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("No such file"), std::string::npos) << run.Err;
    EXPECT_EQ(RunProgram("- - </dev/null").Code, 1);
}

TEST(Program, TruncatedLastFrameKeepsEveryCompleteFrame) {
    ScratchFolder dir;
    const std::string header = Header(64, 32, "420jpeg");
    const std::string whole = FlatLumaStream(header, 3, 80);  // flat: the filter keeps it exactly
    WriteFile(dir.Path("in.y4m"), whole + "FRAME\n" + std::string(1000, '\x10'));
    ProgramRun run =
        RunProgram("--range 2 - - <" + dir.Path("in.y4m") + " >" + dir.Path("out.y4m"));
    EXPECT_EQ(run.Code, 1);
    EXPECT_NE(run.Err.find("frame 4 at byte " + std::to_string(whole.size()) +
                           " is truncated: 1000 of 3072 picture bytes; the 3 complete frames "
                           "before it were written"),
              std::string::npos)
        << run.Err;
    EXPECT_EQ(ReadFile(dir.Path("out.y4m")), whole);
}

// Frames go out as they come in: with the input still open, every frame written so far is
// already in the output, and a broken tail afterwards loses none of them.
TEST(Program, StreamsFrameByFrameAndFlushesEachFrame) {
    ScratchFolder dir;
    const std::string fifo = dir.Path("in.fifo"), out = dir.Path("out.y4m");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int err = open(dir.Path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        // A given strength: the automatic one holds the first frames of a shot back.
        execl(TESSIVAL_PROGRAM, TESSIVAL_PROGRAM, "--range", "2", "--strength", "40", fifo.c_str(),
              out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string frames = FlatLumaStream(Header(64, 48, "420jpeg"), 3, 80);
    FILE* in = fopen(fifo.c_str(), "wb");
    ASSERT_NE(in, nullptr);
    fwrite(frames.data(), 1, frames.size(), in);
    fflush(in);
    // Not a speed limit: a generous wait for the three frames to arrive while the input is open.
    std::string written;
    for (int i = 0; i < 1000 && written.size() < frames.size(); i++) {
        usleep(10000);
        written = ReadFile(out);
    }
    EXPECT_EQ(written, frames);
    fputs("FRAME\nshort", in);
    fclose(in);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(out), frames);
    EXPECT_NE(ReadFile(dir.Path("err")).find("frame 4"), std::string::npos);
}

TEST(Program, FullDiskIsAWriteError) {
    ScratchFolder dir;
    WriteFile(dir.Path("in.y4m"), FlatLumaStream(Header(16, 8, "mono"), 2, 50));
    const ProgramRun run = RunProgram(dir.Path("in.y4m") + " /dev/full");
    EXPECT_EQ(run.Code, 3);
    EXPECT_NE(run.Err.find("cannot write /dev/full: No space left on device"), std::string::npos)
        << run.Err;
}

TEST(Program, ClosedPipeStopsAtOnceWithAMessage) {
    ScratchFolder dir;
    WriteFile(dir.Path("in.y4m"), FlatLumaStream(Header(320, 240, "420jpeg"), 40, 80));
    const std::string command = "bash -c \"'" TESSIVAL_PROGRAM "' '" + dir.Path("in.y4m") +
                                "' - 2>'" + dir.Path("err") +
                                "' | head -c 1000 >/dev/null; exit \\${PIPESTATUS[0]}\"";
    const int status = system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 3);
    const std::string err = ReadFile(dir.Path("err"));
    EXPECT_NE(err.find("cannot write standard output: Broken pipe"), std::string::npos) << err;
}

TEST(Program, FlatLumaAndAllOtherPlanesComeBackBitExactAtEveryDepth) {
    // Flat luma stays flat through the filter at these levels (12-bit value at most 1365).
    const struct {
        const char* C;
        uint16_t Luma;
    } cases[] = {{"mono", 80},      {"420jpeg", 85}, {"411", 40},      {"422", 17},
                 {"444alpha", 60},  {"420p10", 300}, {"422p12", 1300}, {"444p16", 19000},
                 {"mono16", 21845}, {"420p9", 170}};
    ScratchFolder dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.C);
        const std::string in = FlatLumaStream(Header(37, 21, c.C), 2, c.Luma);
        WriteFile(dir.Path("in.y4m"), in);
        const ProgramRun run =
            RunProgram("--range 3 --strength 90 " + dir.Path("in.y4m") + " " + dir.Path("out.y4m"));
        EXPECT_EQ(run.Code, 0) << run.Err;
        EXPECT_TRUE(ReadFile(dir.Path("out.y4m")) == in);
    }
}

TEST(Program, NoisyLumaGetsCloserToTheCleanOneAndChromaIsUntouched) {
    const std::string header = Header(96, 64, "420p10");
    Y4mFormat f;
    std::string error;
    ASSERT_TRUE(ParseY4mHeader(header, &f, &error));
    const size_t pixels = 96 * 64;
    std::vector<uint16_t> clean(pixels), noisy(pixels);
    std::mt19937 random(4);
    std::normal_distribution<double> noise(0.0, 20.0);
    for (size_t i = 0; i < pixels; i++) {
        clean[i] = uint16_t(200 + (i % 96) * 6 + (i / 96 % 16 < 8 ? 0 : 100));
        noisy[i] = uint16_t(std::max(0.0, std::min(1023.0, clean[i] + noise(random))));
    }
    std::string in = MakeY4m(header, 1, FrameBytes(f), 8);
    const size_t data = header.size() + 1 + 6;
    PutLuma(f, noisy.data(), reinterpret_cast<uint8_t*>(&in[data]));
    ScratchFolder dir;
    WriteFile(dir.Path("in.y4m"), in);
    const ProgramRun run = RunProgram("--range 2 --strength 70 --threads 2 - - <" +
                                      dir.Path("in.y4m") + " >" + dir.Path("out.y4m"));
    ASSERT_EQ(run.Code, 0) << run.Err;
    const std::string out = ReadFile(dir.Path("out.y4m"));
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(out.substr(0, data), in.substr(0, data));
    const size_t lumaBytes = PlaneBytes(f, 0);
    EXPECT_TRUE(out.substr(data + lumaBytes) == in.substr(data + lumaBytes));
    std::vector<uint16_t> filtered(pixels);
    GetLuma(f, reinterpret_cast<const uint8_t*>(&out[data]), filtered.data());
    double before = 0, after = 0;
    for (size_t i = 0; i < pixels; i++) {
        before += (double(noisy[i]) - clean[i]) * (double(noisy[i]) - clean[i]);
        after += (double(filtered[i]) - clean[i]) * (double(filtered[i]) - clean[i]);
    }
    EXPECT_LT(after, before / 2);
}

TEST(Program, FramesOptionStopsEarly) {
    ScratchFolder dir;
    const std::string header = Header(16, 8, "mono");
    WriteFile(dir.Path("in.y4m"), FlatLumaStream(header, 5, 50));
    const ProgramRun run =
        RunProgram("--frames 2 " + dir.Path("in.y4m") + " " + dir.Path("out.y4m"));
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(ReadFile(dir.Path("out.y4m")), FlatLumaStream(header, 2, 50));
}

TEST(Program, RefusesToOverwriteItsInputAndNamesAMissingModule) {
    ScratchFolder dir;
    const std::string in = FlatLumaStream(Header(16, 8, "mono"), 1, 50);
    WriteFile(dir.Path("in.y4m"), in);
    ProgramRun run = RunProgram(dir.Path("in.y4m") + " " + dir.Path("in.y4m"));
    EXPECT_EQ(run.Code, 2);
    EXPECT_EQ(ReadFile(dir.Path("in.y4m")), in);
    run = RunProgram("--module " + dir.Path("none.so") + " " + dir.Path("in.y4m") + " -");
    EXPECT_EQ(run.Code, 4);
    EXPECT_NE(run.Err.find("cannot load the filter module " + dir.Path("none.so")),
              std::string::npos)
        << run.Err;
}

TEST(Program, ImagesInAndOut) {
    ScratchFolder dir;
    // A noisy 16-bit gray PGM, written back as PNG.
    std::string pgm = "P5\n48 32\n65535\n";
    std::mt19937 random(2);
    for (int i = 0; i < 48 * 32; i++) {
        const uint16_t v = uint16_t(20000 + random() % 4000);
        pgm += char(v >> 8);
        pgm += char(v & 0xFF);
    }
    WriteFile(dir.Path("in.pgm"), pgm);
    ProgramRun run = RunProgram("--strength 80 " + dir.Path("in.pgm") + " " + dir.Path("out.png"));
    ASSERT_EQ(run.Code, 0) << run.Err;
    const std::string png = ReadFile(dir.Path("out.png"));
    Image image;
    std::string error;
    ASSERT_TRUE(DecodePng(std::vector<uint8_t>(png.begin(), png.end()), &image, &error)) << error;
    EXPECT_EQ(image.Width, 48);
    EXPECT_EQ(image.Bits, 16);
    EXPECT_EQ(image.Channels, 1);
    // RGBA PNG cannot become a PPM: refused, nothing written.
    Image rgba;
    rgba.Width = rgba.Height = 4;
    rgba.Channels = 4;
    rgba.Samples.assign(64, 100);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(EncodePng(rgba, &bytes, &error));
    WriteFile(dir.Path("rgba.png"), std::string(bytes.begin(), bytes.end()));
    run = RunProgram(dir.Path("rgba.png") + " " + dir.Path("out.ppm"));
    EXPECT_EQ(run.Code, 2);
    EXPECT_NE(run.Err.find("alpha channel"), std::string::npos) << run.Err;
    EXPECT_NE(access(dir.Path("out.ppm").c_str(), F_OK), 0);
}

TEST(Program, DemoReportsAGain) {
    ScratchFolder dir;
    const ProgramRun run =
        RunProgram("demo --threads 2 " + dir.Path("demo.png") + " >" + dir.Path("stdout"));
    ASSERT_EQ(run.Code, 0) << run.Err;
    const std::string out = ReadFile(dir.Path("stdout"));
    double noisy = 0, denoised = 0;
    const size_t a = out.find("noisy"), b = out.find("denoised");
    ASSERT_NE(a, std::string::npos) << out;
    ASSERT_NE(b, std::string::npos) << out;
    noisy = atof(out.c_str() + a + 5);
    denoised = atof(out.c_str() + b + 8);
    EXPECT_GT(denoised, noisy + 3.0) << out;
    const std::string png = ReadFile(dir.Path("demo.png"));
    EXPECT_EQ(SniffKind(reinterpret_cast<const uint8_t*>(png.data()), png.size()), 'g');
}

}  // namespace
