// stream_pipeline.h: the stages of a y4m stream on threads of their own, joined by bounded queues
//
//   reader thread            calling thread             writer thread
//   ReadStage, ToHostStage  --[queue]-->  FilterStage  --[queue]-->  FromHostStage, WriteStage
//        ^                                                              |
//        +------------------------ free items --------------------------+
//
// While frame n is filtered (on the host's worker threads), frame n+1 is read, parsed and
// converted to a host image, and frame n-1 converted back and written. Items circulate: the
// writer hands each written item back to the reader, whose buffers the next frame reuses, and
// only PipelineItems of them exist, so memory stays a few frames whatever the clip's length:
// per pixel, PipelineItems + 1 host images of 6 bytes and PipelineItems frames. Frames stay in
// order (every queue is first in, first out) and the output is byte for byte what running the
// stages one after another gives.
//
// How a run ends:
//   - an end item (clean end, --frames, broken input, refused frame) travels behind the frames
//     before it; the writer writes them all, flushed, and reports the end's code and message;
//   - a failed write, or an output that cannot be opened, stops everything at once: exit code 3,
//     nothing further read or written;
//   - SIGINT or SIGTERM: the frame being written is finished and flushed, nothing more is
//     written, and the run returns 130 or 143 (128 + the signal). The output holds whole frames.
//     A reader blocked on a silent pipe is woken with a signal of its own (SIGUSR1).
#pragma once

#include <stdio.h>

#include <functional>
#include <string>

#include "auto_strength.h"
#include "stream_stages.h"

struct TemporalFilter;

// Frames alive at once: one in each stage (plus the frames the automatic strength may hold).
static const int PipelineItems = 3;

struct StreamJob {
    Y4mReader* Reader = nullptr;  // header already read
    std::string InputName;        // as given on the command line ("-" for stdin)
    std::string OutputName;
    long Limit = -1;  // --frames: at most this many frames, -1 for all
    LumaFilter* Filter = nullptr;
    // --temporal: the filter stage is TemporalStage, which holds up to N + 1 frames; that many
    // more items circulate.
    TemporalFilter* Temporal = nullptr;
    int ScaleBits = FilterScaleBits;
    // The automatic strength, or null for a fixed one. The filter stage then holds frames back
    // at the start of each shot until the shot's noise level is known (every frame still comes
    // out in order); as many more items circulate, and each frame is filtered at its shot's
    // strength (converted again when that strength needs another luma scale).
    StreamStrength* Auto = nullptr;
    FILE* Out = nullptr;  // the y4m header already written
    // When set, the writer thread opens the output itself before the first frame, while the
    // first frames are read and filtered, and takes what it returns as Out: the output with the
    // y4m header written, or null with the reason in *error, which ends the run with exit code
    // 3 before any frame is written. Creating a file over an old one frees the old one's pages
    // first, tens of milliseconds for a large file.
    std::function<FILE*(std::string* error)> OpenOut;
    // After each frame written (on the writer thread).
    std::function<void(long written, const StreamItem& item)> Wrote;
    bool CatchSignals = true;  // SIGINT/SIGTERM end the run as described above
};

struct StreamResult {
    long Written = 0;     // complete frames written and flushed
    int Code = 0;         // exit code (options.h), or 128 + signal
    std::string Message;  // empty at a clean end
};

StreamResult RunStreamPipeline(const StreamJob& job);
