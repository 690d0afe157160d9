// pipeline_tests.cpp: the threaded stream against its stages run one after another, broken
// inputs and outputs with frames in flight, --frames, and SIGINT/SIGTERM on the built program
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "../options.h"
#include "../stream_pipeline.h"
#include "test_streams.h"

namespace {

// A stream of noisy frames, so that the filter changes most luma samples.
std::string NoisyStream(int W, int H, const std::string& C, int frames, uint32_t seed) {
    Y4mFormat f;
    std::string error;
    EXPECT_TRUE(ParseY4mHeader(Header(W, H, C), &f, &error)) << error;
    std::string s = Header(W, H, C) + "\n";
    std::mt19937 random(seed);
    const size_t luma = PlaneBytes(f, 0), sample = f.Bits > 8 ? 2 : 1;
    for (int k = 0; k < frames; k++) {
        s += k % 2 ? "FRAME Ixyz\n" : "FRAME\n";
        for (size_t i = 0; i < FrameBytes(f); i += sample) {
            // Luma: a ramp with noise of a few levels; other planes: anything.
            uint32_t v = random() & 0xFFFF;
            if (i < luma) v = uint32_t(i / sample % W * 3 + random() % 24) << (f.Bits - 8);
            s += char(v & 0xFF);
            if (sample == 2) s += char((v >> 8) & (MaxSample(f.Bits) >> 8));
        }
    }
    return s;
}

struct Opened {
    LumaFilter Filter;
    Y4mReader Reader;
    FILE* In = nullptr;
};

void Open(Opened* o, const std::string& stream, int threads, int range) {
    FilterSettings settings;
    settings.Threads = threads;
    settings.Range = range;
    settings.Module = TESSIVAL_MODULE;  // the test program is not where FindModule looks
    std::string error;
    ASSERT_TRUE(OpenLumaFilter(&o->Filter, settings, &error)) << error;
    o->In = ReadFrom(stream);
    o->Reader.In = o->In;
    ASSERT_TRUE(ReadY4mHeader(&o->Reader)) << o->Reader.Error;
}

void Close(Opened* o) {
    fclose(o->In);
    CloseLumaFilter(&o->Filter);
}

// The stages called one after another, as the program did before it had threads. The items
// here carry images, while the pipeline's carry planes of Y (the library's plane entry), so
// every comparison below also holds the two routes to the same bytes.
StreamResult Sequential(Opened* o, FILE* out, long limit) {
    StreamResult result;
    StreamItem item;
    FilterSpare spare;
    for (;;) {
        if (ReadStage(&o->Reader, "in.y4m", limit, &item)) ToHostStage(o->Reader.Format, &item);
        if (item.End || !FilterStage(&o->Filter, &item, &spare)) {
            result.Code = item.Code;
            result.Message = item.Message;
            return result;
        }
        FromHostStage(o->Reader.Format, &item);
        std::string error;
        if (!WriteStage(out, "out.y4m", item, &error)) {
            result.Code = ExitWriteFailed;
            result.Message = error;
            return result;
        }
        result.Written++;
    }
}

StreamResult Threaded(Opened* o, FILE* out, long limit) {
    StreamJob job;
    job.Reader = &o->Reader;
    job.InputName = "in.y4m";
    job.OutputName = "out.y4m";
    job.Limit = limit;
    job.Filter = &o->Filter;
    job.Out = out;
    job.CatchSignals = false;
    return RunStreamPipeline(job);
}

// Runs `stream` both ways into memory and compares bytes, code and message.
void CheckSameAsSequential(const std::string& stream, int threads, int range, long limit) {
    std::string outputs[2];
    StreamResult results[2];
    for (int way = 0; way < 2; way++) {
        Opened o;
        ASSERT_NO_FATAL_FAILURE(Open(&o, stream, threads, range));
        char* buffer = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&buffer, &size);
        results[way] = way == 0 ? Sequential(&o, out, limit) : Threaded(&o, out, limit);
        fclose(out);
        outputs[way].assign(buffer, size);
        free(buffer);
        Close(&o);
    }
    EXPECT_EQ(results[1].Code, results[0].Code);
    EXPECT_EQ(results[1].Message, results[0].Message);
    EXPECT_EQ(results[1].Written, results[0].Written);
    EXPECT_TRUE(outputs[1] == outputs[0]) << "the threaded output differs";
}

TEST(StreamPipeline, SameBytesOrderAndEndAsTheStagesOneByOne) {
    const struct {
        int W, H;
        const char* C;
        int Frames;
    } clips[] = {
        {64, 48, "420jpeg", 7}, {37, 21, "420p10", 5}, {33, 9, "444p16", 4}, {40, 16, "mono", 1}};
    for (const auto& c : clips) {
        for (int threads : {1, 2}) {
            SCOPED_TRACE(std::string(c.C) + " threads " + std::to_string(threads));
            const std::string stream = NoisyStream(c.W, c.H, c.C, c.Frames, 5);
            CheckSameAsSequential(stream, threads, 2, -1);
        }
    }
    // The filter really changed the frames it was given.
    const std::string stream = NoisyStream(64, 48, "420jpeg", 2, 5);
    Opened o;
    ASSERT_NO_FATAL_FAILURE(Open(&o, stream, 1, 2));
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    EXPECT_EQ(Threaded(&o, out, -1).Written, 2);
    fclose(out);
    const std::string header = Header(64, 48, "420jpeg") + "\n";
    EXPECT_EQ(size + header.size(), stream.size());
    EXPECT_NE(std::string(buffer, size), stream.substr(header.size()));
    free(buffer);
    Close(&o);
}

TEST(StreamPipeline, FramesOptionAndOneFrameClips) {
    const std::string stream = NoisyStream(48, 16, "420jpeg", 6, 9);
    for (long limit : {0L, 1L, 3L, 6L, 9L}) {
        SCOPED_TRACE(limit);
        CheckSameAsSequential(stream, 2, 1, limit);
    }
    CheckSameAsSequential(NoisyStream(48, 16, "mono12", 1, 3), 2, 1, -1);
}

TEST(StreamPipeline, InputBreakingWithFramesInFlightKeepsEveryCompleteFrame) {
    const std::string whole = NoisyStream(64, 32, "420jpeg", 9, 2);
    const std::string header = Header(64, 32, "420jpeg") + "\n";
    // Broken at several places: inside frame data, inside a FRAME line, by garbage.
    const std::string tails[] = {"FRAME\n" + std::string(500, 'x'), "FRA", "junk\n"};
    for (const std::string& tail : tails) {
        SCOPED_TRACE(tail.substr(0, 6));
        CheckSameAsSequential(whole + tail, 2, 2, -1);
        Opened o;
        ASSERT_NO_FATAL_FAILURE(Open(&o, whole + tail, 2, 2));
        FILE* out = tmpfile();
        const StreamResult r = Threaded(&o, out, -1);
        EXPECT_EQ(r.Code, ExitBadInput);
        EXPECT_EQ(r.Written, 9);
        EXPECT_NE(r.Message.find("frame 10 at byte " + std::to_string(whole.size())),
                  std::string::npos)
            << r.Message;
        EXPECT_NE(r.Message.find("the 9 complete frames before it were written"), std::string::npos)
            << r.Message;
        fclose(out);
        Close(&o);
    }
}

// An output that takes `limit` bytes and then fails as a full disk would.
struct FailingOutput {
    size_t Taken = 0, Limit = 0;
};

ssize_t FailingWrite(void* cookie, const char*, size_t n) {
    FailingOutput* f = static_cast<FailingOutput*>(cookie);
    if (f->Taken + n > f->Limit) {
        errno = ENOSPC;
        return -1;
    }
    f->Taken += n;
    return ssize_t(n);
}

TEST(StreamPipeline, AFailedWriteStopsAtOnceWithCodeThree) {
    const std::string stream = NoisyStream(64, 32, "420jpeg", 30, 4);
    const size_t frame = 6 + 64 * 32 * 3 / 2;
    for (size_t room : {size_t(0), frame * 3 + 100}) {
        SCOPED_TRACE(room);
        Opened o;
        ASSERT_NO_FATAL_FAILURE(Open(&o, stream, 2, 1));
        FailingOutput sink;
        sink.Limit = room;
        cookie_io_functions_t io = {nullptr, FailingWrite, nullptr, nullptr};
        FILE* out = fopencookie(&sink, "w", io);
        const StreamResult r = Threaded(&o, out, -1);
        const long wrote = long(room / frame);
        EXPECT_EQ(r.Code, ExitWriteFailed);
        EXPECT_EQ(r.Written, wrote);
        EXPECT_EQ(r.Message, "cannot write out.y4m: No space left on device (at frame " +
                                 std::to_string(wrote + 1) + ")");
        // Stopped at once: no more than the frames in flight were read past the failure.
        EXPECT_LE(o.Reader.FramesRead, wrote + 1 + PipelineItems);
        fclose(out);
        Close(&o);
    }
}

// A job for o's stream into out.y4m, which the writer opens with `open`.
StreamJob OpeningJob(Opened* o, std::function<FILE*(std::string*)> open) {
    StreamJob job;
    job.Reader = &o->Reader;
    job.InputName = "in.y4m";
    job.OutputName = "out.y4m";
    job.Filter = &o->Filter;
    job.CatchSignals = false;
    job.OpenOut = std::move(open);
    return job;
}

// The output opened on the writer's thread: the same bytes as an output opened before; one that
// cannot be opened ends the run with code 3 and its reason before any frame is written, and
// stops the reader as a failed write does.
TEST(StreamPipeline, OutputOpenedByTheWriter) {
    const std::string stream = NoisyStream(64, 32, "420jpeg", 30, 5);
    std::string outputs[2];
    for (int way = 0; way < 2; way++) {
        Opened o;
        ASSERT_NO_FATAL_FAILURE(Open(&o, stream, 2, 1));
        char* buffer = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&buffer, &size);
        const StreamResult r =
            way == 0 ? Threaded(&o, out, -1)
                     : RunStreamPipeline(OpeningJob(&o, [&](std::string*) { return out; }));
        EXPECT_EQ(r.Code, ExitOk);
        EXPECT_EQ(r.Written, 30);
        fclose(out);
        outputs[way].assign(buffer, size);
        free(buffer);
        Close(&o);
    }
    EXPECT_EQ(outputs[0].size(), outputs[1].size());
    EXPECT_TRUE(outputs[0] == outputs[1]);

    Opened o;
    ASSERT_NO_FATAL_FAILURE(Open(&o, stream, 2, 1));
    int opened = 0;
    const StreamResult r = RunStreamPipeline(OpeningJob(&o, [&](std::string* why) -> FILE* {
        opened++;
        *why = "cannot create out.y4m: Permission denied";
        return nullptr;
    }));
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(r.Code, ExitWriteFailed);
    EXPECT_EQ(r.Written, 0);
    EXPECT_EQ(r.Message, "cannot create out.y4m: Permission denied");
    EXPECT_LE(o.Reader.FramesRead, 1 + PipelineItems);
    Close(&o);
}

// The program on a fifo: frames written so far, then a signal while it waits for more input
// (its reader blocked in read), or while it streams a long clip out.
int RunUntilSignal(const std::string& dir, int signal, const std::string& firstFrames,
                   std::string* output) {
    const std::string fifo = dir + "/in.fifo", out = dir + "/out.y4m";
    unlink(fifo.c_str());
    unlink(out.c_str());  // a previous run's output would look like this run's
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t child = fork();
    if (child == 0) {
        const int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        // A given strength: the automatic one holds the first frames of a shot back.
        execl(TESSIVAL_PROGRAM, TESSIVAL_PROGRAM, "--strength", "40", fifo.c_str(), out.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    FILE* in = fopen(fifo.c_str(), "wb");
    fwrite(firstFrames.data(), 1, firstFrames.size(), in);
    fflush(in);
    // Not a speed limit: a generous wait for the frames to come out while the input stays open.
    std::string written;
    for (int i = 0; i < 1000 && written.size() < firstFrames.size(); i++) {
        usleep(10000);
        written = ReadFile(out);
    }
    EXPECT_EQ(written.size(), firstFrames.size());
    kill(child, signal);
    // The input stays open and silent: the program must stop without more of it. Not a speed
    // limit either: after 20 s the input is closed so that a failing run still ends.
    int status = 0;
    bool stopped = false;
    for (int i = 0; i < 2000 && !stopped; i++) {
        stopped = waitpid(child, &status, WNOHANG) == child;
        if (!stopped) usleep(10000);
    }
    EXPECT_TRUE(stopped) << "still waiting for input after the signal";
    fclose(in);
    if (!stopped) waitpid(child, &status, 0);
    *output = ReadFile(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

TEST(StreamPipeline, InterruptWhileWaitingForInputExitsWithWholeFrames) {
    ScratchFolder dir;
    const std::string frames = NoisyStream(64, 32, "420jpeg", 3, 8);
    std::string output;
    EXPECT_EQ(RunUntilSignal(dir.folder, SIGINT, frames, &output), 130);
    EXPECT_EQ(output.size(), frames.size());
    EXPECT_NE(ReadFile(dir.Path("err"))
                  .find("interrupted by SIGINT; the 3 complete frames before it were written"),
              std::string::npos)
        << ReadFile(dir.Path("err"));
    EXPECT_EQ(RunUntilSignal(dir.folder, SIGTERM, frames, &output), 143);
    EXPECT_EQ(output.size(), frames.size());
}

TEST(StreamPipeline, TerminatedMidStreamLeavesOnlyWholeFrames) {
    ScratchFolder dir;
    const int W = 320, H = 240, frames = 60;
    const std::string stream = NoisyStream(W, H, "420jpeg", frames, 6);
    const std::string header = Header(W, H, "420jpeg") + "\n";
    // Where each frame ends (FRAME lines differ in length).
    std::vector<size_t> ends;
    for (size_t at = stream.find("FRAME", header.size()); at != std::string::npos;
         at = stream.find("FRAME", at + 1))
        ends.push_back(at);
    ends.push_back(stream.size());
    WriteFile(dir.Path("in.y4m"), stream);
    std::mt19937 random(1);
    for (int k = 0; k < 4; k++) {
        // A run killed before it opens the output would otherwise show the previous run's.
        unlink(dir.Path("out.y4m").c_str());
        const pid_t child = fork();
        if (child == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            // The automatic strength releases frames in groups: the writer must not leave the
            // filter stage waiting for room behind it.
            execl(TESSIVAL_PROGRAM, TESSIVAL_PROGRAM, "--range", "3", "--strength",
                  k % 2 ? "40" : "auto", dir.Path("in.y4m").c_str(), dir.Path("out.y4m").c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        usleep(20000 + random() % 200000);
        kill(child, SIGTERM);
        // Not a speed limit: a run that has not stopped 30 s after the signal never will (a
        // stage left waiting on another that is gone); it is killed and counted as a failure.
        int status = 0;
        bool stopped = false;
        for (int i = 0; i < 3000 && !stopped; i++) {
            stopped = waitpid(child, &status, WNOHANG) == child;
            if (!stopped) usleep(10000);
        }
        if (!stopped) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        ASSERT_TRUE(stopped) << "still running 30 s after SIGTERM";
        const std::string out = ReadFile(dir.Path("out.y4m"));
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (code == 0) {
            EXPECT_TRUE(out.size() == stream.size());  // finished before the signal came
            continue;
        }
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) {
            // Signalled while starting, before the stream's threads (nothing but the header is
            // out), or after them, while closing (every frame is out).
            EXPECT_TRUE(out.size() <= header.size() || out.size() == stream.size()) << out.size();
            continue;
        }
        EXPECT_EQ(code, 143);
        ASSERT_GE(out.size(), header.size());
        EXPECT_TRUE(std::find(ends.begin(), ends.end(), out.size()) != ends.end()) << out.size();
        EXPECT_TRUE(stream.compare(0, header.size(), out, 0, header.size()) == 0);
    }
}

}  // namespace
