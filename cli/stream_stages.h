// stream_stages.h: what happens to each frame of a y4m stream, one plain function per stage
//
// A stream goes read -> to host -> filter -> from host -> write, one frame at a time, in frame
// order. Each stage is a function of one item, so a test can run them one by one;
// stream_pipeline.h runs them on threads of their own. Every item carries its frame's luma as a
// host image of its own, so that converting one frame never waits for the filter's images. An item
// is a frame, or the end of the stream with its reason: the read stage ends the stream at a clean
// end, after --frames, or at a broken frame; the filter stage turns a frame the module refused into
// an end. Whatever ends the stream travels behind the frames before it, so the writer writes every
// one of them before it reports the end.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "../noise/noise_estimate.h"
#include "luma_filter.h"
#include "motion.h"
#include "y4m.h"

struct StreamItem {
    long Number = 0;       // the frame's number, counted from 1
    Y4mFrame Frame;        // its FRAME line and data; the buffer is reused from item to item
    HostImage Image;       // its luma on the filter's scale, then the filter's result
    YPlane Plane;          // the same as a plane of Y, when OnPlane
    bool OnPlane = false;  // the luma travels as a plane (the library's plane entry), not an image
    int ScaleBits = FilterScaleBits;  // the luma scale the frame was handed over at
    bool End = false;
    int Code = 0;         // at the end: the exit code (options.h), ExitOk at a clean end
    std::string Message;  // at the end: what went wrong, for the user
    NoiseEstimate Noise;  // with the automatic strength: the frame's noise, as the reader measured
    double Sigma = -1;    // and the noise level it was filtered for
    int Strength = 0;     // and the strength (0 when given on the command line)
    // In temporal mode (MeasureStage): the frame's global motion since the previous frame of
    // the stream, and whether a scene cut lies between the two.
    GlobalMotion Motion;
    bool Cut = false;
    std::vector<int8_t> Field;  // and its vector per region of the mode, or none
};

// Reads the next frame into *item. Returns false when the stream ends here instead, with
// item->End set: a clean end of the input, `limit` frames already read (limit < 0: no limit), or
// a broken frame (ExitBadInput, with the reader's message, the frame number and byte offset, and
// how many complete frames came before it). `inputName` names the input in the message.
bool ReadStage(Y4mReader* reader, const std::string& inputName, long limit, StreamItem* item);

// The frame's luma into item->Image (item->Plane when item->OnPlane) at luma scale scaleBits
// (one thread).
void ToHostStage(const Y4mFormat& format, StreamItem* item, int scaleBits = FilterScaleBits);

// The filter stage's scratch: the module's second image, or plane.
struct FilterSpare {
    HostImage Image;
    YPlane Plane;
};

// Runs the module on item->Image or item->Plane, with the spare one as its scratch (the two
// may be exchanged). Returns false when the module refused the frame, with the item turned into
// an end (ExitNoFilter).
bool FilterStage(LumaFilter* filter, StreamItem* item, FilterSpare* spare);

// The filtered luma from item->Image or item->Plane back into the frame's data (one thread).
void FromHostStage(const Y4mFormat& format, StreamItem* item);

// Writes the frame and flushes it, so that it is out before the next one is read. Returns false
// when the output refused it, with the message (naming the frame) in *error.
bool WriteStage(FILE* out, const std::string& outputName, const StreamItem& item,
                std::string* error);

// The name of an operand in messages: "standard input" / "standard output" for "-".
std::string OperandName(const std::string& path, bool input);

// "cannot write NAME: REASON" from errno.
std::string WriteFailure(const std::string& outputName);
