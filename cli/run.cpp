// run.cpp: open INPUT and OUTPUT, tell streams from images, filter, report errors and exit codes
//
// Streams go through the reader, filter and writer threads of stream_pipeline.h in constant
// memory; every frame is flushed as soon as it is written, so when the input breaks off, all
// complete frames before the break are already out. Writing stops at the first failure (a full
// disk, a closed pipe: SIGPIPE is ignored so that the failure arrives as EPIPE and gets a
// message).
#include "run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "auto_strength.h"
#include "image_io.h"
#include "progress.h"
#include "stream_pipeline.h"
#include "temporal_stage.h"
#include "y4m.h"

static int Fail(int code, const std::string& message) {
    fprintf(stderr, "tessival: %s\n", message.c_str());
    return code;
}

static std::string Name(const std::string& path, bool input) {
    return OperandName(path, input);
}

// Opens the output; stdout for "-".
static FILE* OpenOutput(const std::string& path) {
    if (path == "-") return stdout;
    return fopen(path.c_str(), "wb");
}

// Closes the output; false when flushing what was left failed.
static bool CloseOutput(FILE* out) {
    errno = 0;
    if (out == stdout) return fflush(out) == 0 && !ferror(out);
    return fclose(out) == 0;
}

// True when both name the same existing file: writing would destroy the input as it is read.
static bool SameFile(const std::string& a, const std::string& b) {
    if (a == "-" || b == "-") return false;
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Raises the capacity of a pipe on fd to 1 MB, or as much as the kernel allows.
static void WidenPipe(int fd) {
#ifdef F_SETPIPE_SZ
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    for (int bytes = 1 << 20; bytes > 65536; bytes /= 2)
        if (fcntl(fd, F_SETPIPE_SZ, bytes) >= 0) return;
#else
    (void)fd;
#endif
}

// Frames a regular input file holds, by its size; -1 for pipes.
static long EstimateFrames(FILE* in, uint64_t offset, size_t frameBytes) {
    struct stat st;
    if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    if (uint64_t(st.st_size) < offset) return 0;
    return long((uint64_t(st.st_size) - offset) / (frameBytes + 6));
}

static int FilterStream(const Options& o, FILE* in) {
    Y4mReader reader;
    reader.In = in;
    reader.MaxPixels = o.MaxPixels;
    if (!ReadY4mHeader(&reader))
        return Fail(ExitBadInput, Name(o.Input, true) + ": " + reader.Error);
    const Y4mFormat& format = reader.Format;

    LumaFilter filter;
    std::string error;
    if (!OpenLumaFilter(&filter, o.Filter, &error)) return Fail(ExitNoFilter, error);
    // --temporal N: a window of 2N + 1 frames in the module's temporal mode.
    TemporalFilter temporal;
    if (o.Temporal > 0 &&
        !OpenTemporalFilter(&temporal, &filter, o.Filter, o.Temporal, format, &error)) {
        CloseLumaFilter(&filter);
        return Fail(ExitNoFilter, error);
    }
    long total = EstimateFrames(in, reader.Offset, FrameBytes(format));
    if (o.Frames >= 0 && (total < 0 || total > o.Frames)) total = o.Frames;
    Progress progress;
    const bool show = !o.Quiet && (o.Progress == 1 || (o.Progress == -1 && isatty(2)));
    StartProgress(&progress, show, total);

    // The writer thread creates the output while the first frames are read and filtered.
    FILE* out = nullptr;
    const auto openOutput = [&](std::string* why) -> FILE* {
        FILE* opened = OpenOutput(o.Output);
        if (opened == nullptr) {
            *why = "cannot create " + o.Output + ": " + strerror(errno);
            return nullptr;
        }
        // Frame data larger than the buffer goes to the output straight from the frame (stdio
        // copies only what does not fill whole buffers), so a small buffer saves copying it.
        static char outBuffer[1 << 16];
        setvbuf(opened, outBuffer, _IOFBF, sizeof outBuffer);
        errno = 0;
        if (!WriteY4mHeader(opened, format) || fflush(opened) != 0) {
            *why = WriteFailure(o.Output);
            CloseOutput(opened);
            return nullptr;
        }
        out = opened;
        return opened;
    };
    StreamJob job;
    job.Reader = &reader;
    job.Temporal = o.Temporal > 0 ? &temporal : nullptr;
    job.InputName = o.Input;
    job.OutputName = o.Output;
    job.Limit = o.Frames;
    job.Filter = &filter;
    job.OpenOut = openOutput;
    job.ScaleBits = filter.ScaleBits;
    StreamStrength strength;
    // The temporal mode picks its strength per shot itself (temporal_stage.h).
    if (o.Filter.AutoStrength && o.Temporal == 0) {
        StartStreamStrength(&strength, o.Filter, format.Bits);
        job.Auto = &strength;
    }
    job.Wrote = [&](long written, const StreamItem& item) {
        if (item.Strength > 0) {
            char note[80];
            snprintf(note, sizeof note, "sigma %.2f, strength %d", item.Sigma, item.Strength);
            progress.Note = note;
        }
        ShowProgress(&progress, written);
    };
    const StreamResult result = RunStreamPipeline(job);
    const long done = result.Written;
    int code = result.Code;
    std::string message = result.Message;
    if (out != nullptr && !CloseOutput(out) && code == ExitOk) {
        code = ExitWriteFailed;
        message = WriteFailure(o.Output);
    }
    if (progress.Enabled) FinishProgress(&progress, done);
    CloseLumaFilter(&filter);
    if (job.Auto != nullptr && !o.Quiet && done > 0)
        fprintf(stderr, "tessival: %s\n", StreamSummary(strength, done).c_str());
    return code == ExitOk ? ExitOk : Fail(code, message);
}

static int FilterOneImage(const Options& o, FILE* in, char kind) {
    if (o.Temporal > 0)
        return Fail(ExitUsage, Name(o.Input, true) +
                                   " is a still image; --temporal searches neighbouring frames "
                                   "and works on y4m streams only");
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    if (ferror(in))
        return Fail(ExitBadInput, "cannot read " + Name(o.Input, true) + ": " + strerror(errno));
    Image image;
    std::string error;
    const bool decoded = kind == 'g' ? DecodePng(bytes, &image, &error, o.MaxPixels)
                                     : DecodePnm(bytes, &image, &error, o.MaxPixels);
    if (!decoded) return Fail(ExitBadInput, Name(o.Input, true) + ": " + error);
    // Encode into memory first, so that an image that cannot be written leaves no file behind.
    const ImageKind outKind = KindForName(o.Output, image.Kind);
    LumaFilter filter;
    if (!OpenLumaFilter(&filter, o.Filter, &error)) return Fail(ExitNoFilter, error);
    std::string note;
    if (o.Filter.AutoStrength) {
        const bool estimate = o.Filter.Sigma < 0;
        const NoiseEstimate e = estimate ? MeasureImageNoise(image) : NoiseEstimate();
        const double sigma = estimate ? e.Sigma : o.Filter.Sigma;
        const double detail = estimate ? e.Detail : -1;
        SetLumaStrength(&filter, AutoStrengthFor(o.Filter, sigma, detail, image.Bits));
        note = StrengthNote(sigma, estimate, filter.Strength);
    }
    const bool filtered = FilterImage(&filter, &image, &error, filter.ScaleBits);
    CloseLumaFilter(&filter);
    if (!filtered) return Fail(ExitNoFilter, error);
    std::vector<uint8_t> encoded;
    const bool ok = outKind == ImageKind::Png ? EncodePng(image, &encoded, &error)
                                              : EncodePnm(image, &encoded, &error);
    if (!ok) return Fail(ExitUsage, Name(o.Output, false) + ": " + error);
    FILE* out = OpenOutput(o.Output);
    if (out == nullptr)
        return Fail(ExitWriteFailed, "cannot create " + o.Output + ": " + strerror(errno));
    errno = 0;
    const bool written = fwrite(encoded.data(), 1, encoded.size(), out) == encoded.size();
    const std::string why = WriteFailure(o.Output);
    if (!CloseOutput(out) || !written)
        return Fail(ExitWriteFailed, written ? WriteFailure(o.Output) : why);
    if (!note.empty() && !o.Quiet) fprintf(stderr, "tessival: %s\n", note.c_str());
    return ExitOk;
}

int RunFilter(const Options& o) {
    signal(SIGPIPE, SIG_IGN);
    if (o.Output == "-" && isatty(1))
        return Fail(ExitUsage, "not writing binary output to a terminal; pipe it or name a file");
    if (SameFile(o.Input, o.Output))
        return Fail(ExitUsage, "INPUT and OUTPUT are the same file (" + o.Input + ")");
    // A frame of 1080p video is 3 MB: with the pipe's default 64 KB, each one costs the reader,
    // the writer and the processes at the other ends about fifty wake-ups. Ask for larger pipes
    // (the kernel grants up to /proc/sys/fs/pipe-max-size, 1 MB unless raised); nothing changes
    // when it refuses.
    if (o.Input == "-") WidenPipe(0);
    if (o.Output == "-") WidenPipe(1);
    FILE* in = o.Input == "-" ? stdin : fopen(o.Input.c_str(), "rb");
    if (in == nullptr) return Fail(ExitBadInput, "cannot open " + o.Input + ": " + strerror(errno));
    // Header and FRAME lines come through the buffer; frame data, mostly straight into the frame.
    static char inBuffer[1 << 16];
    setvbuf(in, inBuffer, _IOFBF, sizeof inBuffer);
    const int first = getc(in);
    if (first != EOF) ungetc(first, in);
    int code;
    if (first == EOF) {
        code = Fail(ExitBadInput, Name(o.Input, true) + ": " +
                                      (ferror(in) ? strerror(errno) : "the input is empty"));
    } else if (first == 'Y') {
        code = FilterStream(o, in);
    } else if (first == 0x89 || first == 'P') {
        code = FilterOneImage(o, in, first == 0x89 ? 'g' : 'p');
    } else {
        char hex[8];
        snprintf(hex, sizeof hex, "0x%02X", first);
        code = Fail(ExitBadInput, Name(o.Input, true) +
                                      ": not a YUV4MPEG2 stream, PNG, PGM or PPM (it starts with "
                                      "byte " +
                                      hex + ")");
    }
    if (in != stdin) fclose(in);
    return code;
}
