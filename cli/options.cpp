// options.cpp: command-line parsing with exact ranges and messages that name the option
#include "options.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

const char* UsageText() {
    return "usage: tessival [options] INPUT OUTPUT\n"
           "       tessival demo [options] [OUTPUT.png]\n"
           "\n"
           "Denoises the luma of a YUV4MPEG2 stream (frame by frame) or of a PNG, PGM or PPM\n"
           "image with the Tessival filter module. INPUT and OUTPUT are file names, or - for\n"
           "standard input and output. Chroma and alpha pass through untouched.\n"
           "\n"
           "filter controls (as in the editor's filter window):\n"
           "  --range N        search radius, 1 to 4 (default 1)\n"
           "  --strength N     strength, 1 to 200, or auto (the default): measured from the\n"
           "                   noise, once per shot of a stream; 1 to 100 are the editor's\n"
           "                   own (its default is 40), past 100 a reduced luma scale\n"
           "  --sigma S        with auto: the noise is S, a standard deviation in the\n"
           "                   input's sample units (0 to 65535), instead of measured\n"
           "  --box            uniform 3x3 patch weighting (the default with --temporal)\n"
           "  --gaussian       Gaussian 3x3 patch weighting (the default without --temporal)\n"
           "  --temporal N     streams: also search the N frames before and after each frame,\n"
           "                   0 to 2 (default 0: each frame alone, as the editor's plug-in)\n"
           "\n"
           "running:\n"
           "  --threads N      worker threads, 1 to 256 (default: one per core)\n"
           "  --frames N       stop after N frames\n"
           "  --max-pixels N   refuse pictures and frames of more than N pixels, up to\n"
           "                   1073741824 (default 134217728, 2^27; an 8K frame has 33\n"
           "                   million). Memory needed per pixel: about 14 bytes for a gray\n"
           "                   image, 18 for RGB; for video 66 (8-bit 4:2:0) to 108 (16-bit\n"
           "                   4:4:4), or 30 to 48 with a fixed --strength\n"
           "  --progress       frame count, frames per second and time left on stderr\n"
           "                   (default when stderr is a terminal)\n"
           "  --no-progress    no progress display\n"
           "  --quiet          no progress and no summary; errors only\n"
           "  --module PATH    the filter module to load (default: libtessival.so beside this\n"
           "                   program, one folder up, or in ../lib/tessival or ../lib)\n"
           "  --help, --version\n"
           "\n"
           "demo only:\n"
           "  --noise SIGMA    noise added to the test clip, 1 to 50 8-bit levels (default 10)\n"
           "  --seed N         noise seed (default 1)\n"
           "\n"
           "exit codes: 0 done, 1 bad or truncated input, 2 bad command line,\n"
           "            3 output not writable, 4 filter module missing or failing,\n"
           "            130/143 stopped by SIGINT/SIGTERM (whole frames written)\n";
}

// An argument as it may be quoted in a one-line message: control bytes (a newline, an escape
// sequence) as \xNN, everything else as given.
static std::string Printable(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c >= 32 && c != 127) {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// A whole decimal number within [low, high].
static bool ParseInteger(const char* text, long low, long high, long* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

bool TemporalGaussian(const Options& o) {
    return o.GaussianGiven;
}

bool ParseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
    *o = Options{};
    int first = 1;
    if (argc > 1 && strcmp(argv[1], "demo") == 0) {
        o->Demo = true;
        first = 2;
    }
    std::vector<std::string> operands;
    bool onlyOperands = false;
    for (int i = first; i < argc; i++) {
        std::string arg = argv[i];
        if (onlyOperands || arg == "-" || arg.compare(0, 1, "-") != 0) {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyOperands = true;
            continue;
        }
        // --name=value or --name value
        const char* value = nullptr;
        std::string name = arg;
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = argv[i] + eq + 1;
        }
        auto needValue = [&]() -> const char* {
            if (value != nullptr) return value;
            if (i + 1 >= argc) return nullptr;
            return argv[++i];
        };
        auto integer = [&](long low, long high, long* out) {
            const char* v = needValue();
            if (ParseInteger(v, low, high, out)) return true;
            *error = name + " must be a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) +
                     (v == nullptr ? std::string(", and none was given")
                                   : ", not '" + Printable(v) + "'");
            return false;
        };
        auto flag = [&]() {
            if (value == nullptr) return true;
            *error = name + " takes no value";
            return false;
        };
        long n = 0;
        if (name == "--range") {
            if (!integer(1, 4, &n)) return false;
            o->Filter.Range = int(n);
            o->RangeGiven = true;
        } else if (name == "--strength") {
            const char* v = needValue();
            if (v != nullptr && strcmp(v, "auto") == 0) {
                o->Filter.AutoStrength = true;
            } else if (ParseInteger(v, 1, 200, &n)) {
                o->Filter.Strength = int(n);
                o->Filter.AutoStrength = false;
            } else {
                *error = "--strength must be auto or a whole number from 1 to 200" +
                         (v == nullptr ? std::string(", and none was given")
                                       : ", not '" + Printable(v) + "'");
                return false;
            }
            o->StrengthGiven = true;
        } else if (name == "--sigma") {
            const char* v = needValue();
            char* end = nullptr;
            errno = 0;
            const double s = v == nullptr ? -1 : strtod(v, &end);
            if (v == nullptr || *v == '\0' || errno != 0 || *end != '\0' || !(s >= 0) ||
                s > 65535) {
                *error =
                    "--sigma must be a number from 0 to 65535 (the noise's standard "
                    "deviation in sample units)" +
                    (v == nullptr ? std::string(", and none was given")
                                  : ", not '" + Printable(v) + "'");
                return false;
            }
            o->Filter.Sigma = s;
        } else if (name == "--box" || name == "--gaussian") {
            if (!flag()) return false;
            (name == "--box" ? o->BoxGiven : o->GaussianGiven) = true;
        } else if (name == "--temporal") {
            if (!integer(0, 2, &n)) return false;
            o->Temporal = int(n);
        } else if (name == "--threads") {
            if (!integer(1, 256, &n)) return false;
            o->Filter.Threads = int(n);
        } else if (name == "--frames") {
            if (!integer(0, 2147483647L, &n)) return false;
            o->Frames = n;
        } else if (name == "--max-pixels") {
            if (!integer(1, long(LargestMaxPixels), &n)) return false;
            o->MaxPixels = uint64_t(n);
        } else if (name == "--progress" || name == "--no-progress") {
            if (!flag()) return false;
            o->Progress = name == "--progress" ? 1 : 0;
        } else if (name == "--quiet" || name == "-q") {
            if (!flag()) return false;
            o->Quiet = true;
        } else if (name == "--help" || name == "-h") {
            o->Help = true;
        } else if (name == "--version") {
            o->Version = true;
        } else if (name == "--module") {
            const char* v = needValue();
            if (v == nullptr || *v == '\0') {
                *error = "--module needs the path of the filter module";
                return false;
            }
            o->Filter.Module = v;
        } else if (o->Demo && name == "--noise") {
            if (!integer(1, 50, &n)) return false;
            o->Noise = int(n);
        } else if (o->Demo && name == "--seed") {
            if (!integer(0, 4294967295L, &n)) return false;
            o->Seed = unsigned(n);
        } else {
            *error = "unknown option '" + Printable(arg) + "' (see tessival --help)";
            return false;
        }
    }
    if (o->Help || o->Version) return true;
    if (o->BoxGiven && o->GaussianGiven) {
        *error = "--box and --gaussian ask for different patch weightings; give one of them";
        return false;
    }
    // The spatial filter weighs patches as the editor does, Gaussian unless --box. The temporal
    // mode has more candidates and does better with the uniform weighting's steadier distance,
    // so it weighs uniformly unless --gaussian. (The demo runs both and asks TemporalGaussian.)
    o->Filter.Gaussian = o->Temporal > 0 && !o->Demo ? TemporalGaussian(*o) : !o->BoxGiven;
    if (o->Filter.Sigma >= 0 && !o->Filter.AutoStrength) {
        *error = "--sigma picks the strength, so it cannot go with --strength " +
                 std::to_string(o->Filter.Strength) + " (use --strength auto, or leave it out)";
        return false;
    }
    if (o->Demo) {
        if (operands.size() > 1) {
            *error = "demo takes at most one operand, the PNG to write";
            return false;
        }
        o->Output = operands.empty() ? "tessival-demo.png" : operands[0];
        return true;
    }
    if (operands.size() != 2) {
        *error = operands.empty()       ? "missing INPUT and OUTPUT (see tessival --help)"
                 : operands.size() == 1 ? "missing OUTPUT (use - for standard output)"
                                        : "too many operands: expected INPUT OUTPUT";
        return false;
    }
    o->Input = operands[0];
    o->Output = operands[1];
    return true;
}
