// options.h: the command line
//
//   tessival [options] INPUT OUTPUT      INPUT, OUTPUT: files, or - for stdin / stdout
//   tessival demo [options] [OUTPUT.png]
//
// The filter options carry the module's own control names, ranges and defaults.
#pragma once

#include <string>

#include "luma_filter.h"
#include "pixel_budget.h"

// Exit codes.
enum {
    ExitOk = 0,
    ExitBadInput = 1,     // unreadable, malformed, truncated or unsupported input
    ExitUsage = 2,        // an unknown option, an option out of range, missing operands
    ExitWriteFailed = 3,  // the output could not be opened or written
    ExitNoFilter = 4,     // the module could not be found or loaded, or refused a frame
};

struct Options {
    bool Demo = false;
    FilterSettings Filter;
    bool RangeGiven = false;
    bool StrengthGiven = false;
    bool BoxGiven = false;       // --box
    bool GaussianGiven = false;  // --gaussian
    int Temporal = 0;            // --temporal N: frames searched on each side (streams only)
    long Frames = -1;            // -1: all
    uint64_t MaxPixels = DefaultMaxPixels;  // larger pictures are refused before decoding
    int Progress = -1;                      // -1: when stderr is a terminal; 0 off; 1 on
    bool Quiet = false;
    bool Help = false;
    bool Version = false;
    std::string Input;
    std::string Output;
    int Noise = 10;     // demo: standard deviation of the added noise, in 8-bit levels
    unsigned Seed = 1;  // demo: noise seed
};

// Fills *options from argv; false with a one-line message naming the offending option (exit
// code ExitUsage).
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// The patch weighting of the temporal mode: uniform unless --gaussian. (Filter.Gaussian holds
// the weighting of the mode the options run: this one with --temporal, else the spatial one.)
bool TemporalGaussian(const Options& options);

// The --help text.
const char* UsageText();
