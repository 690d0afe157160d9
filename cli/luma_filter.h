// luma_filter.h: the module, loaded through the substitute host, applied to planes of luma
//
// This program is a host of the filter module like the video editor: it loads the module,
// takes its descriptor through GetFilterTable, stores the controls and calls Update, and hands
// each frame to ProcessFrame as an image of YcPixel. Only Y carries data; Cb and Cr are zero in
// the module's images, since chroma never goes through the filter here (the caller keeps it).
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "../subhost/luma_planes.h"
#include "../subhost/substitute_host.h"

struct FilterSettings {
    int Range = 1;             // 1 to 4
    int Strength = 40;         // 1 to 200 (past 100 through a reduced luma scale); with
                               // AutoStrength, where the search for a strength starts
    bool AutoStrength = true;  // pick the strength from the noise (noise/)
    double Sigma = -1;         // with AutoStrength: the noise level given, in sample units; -1:
                               // estimate it
    bool Gaussian = true;      // false: uniform (box) patch weighting
    int Threads = 0;           // 0: one per core
    std::string Module;        // empty: look in the usual places
};

// The module to load: `requested` when given, else the first libtessival.so found, relative to
// the folder of the executable, in
//   .              a module copied beside the program
//   ..             the build tree: build/cli/tessival and build/libtessival.so
//   ../lib/tessival  an installed program: PREFIX/bin/tessival, PREFIX/lib/tessival/
//   ../lib
// Only places relative to the program are searched, so an installed copy works under any
// prefix and never picks up the module of the build tree it was made in.
// Empty when none exists; *tried lists the places looked at.
std::string FindModule(const std::string& requested, std::string* tried);

struct LumaFilter {
    std::unique_ptr<SubstituteHost> Host;
    int W = 0;
    int H = 0;
    int Range = 1;
    bool Gaussian = true;
    int Strength = 40;                // 1 to 200, as set by SetLumaStrength
    int ScaleBits = FilterScaleBits;  // the luma scale that strength needs (pass it on to
                                      // FilterLuma's layout)
};

// Sets the strength, 1 to 200: the module's control and the luma scale (noise/
// strength_calibration.h). Strengths up to 100 are the module's own, at the 12-bit scale.
void SetLumaStrength(LumaFilter* filter, int strength);

// Loads the module and sets its controls; false with the reason.
bool OpenLumaFilter(LumaFilter* filter, const FilterSettings& settings, std::string* error);

// Filters W x H pixels laid out as `layout` says (luma_planes.h), from `in` into `out` (which
// may be `in`), on the host's threads; false with the reason when the module refuses.
bool FilterLuma(LumaFilter* filter, const PixelLayout& layout, const void* in, void* out, int W,
                int H, std::string* error);

// Filters an image already converted (luma_planes.h), with `spare` as the module's scratch
// image: on success *image holds the result; false with the reason when the module refuses.
bool FilterHostFrame(LumaFilter* filter, HostImage* image, HostImage* spare, std::string* error);

// The same for a plane of Y, through the library's plane entry (filter->Host->HasPlanes()).
bool FilterPlaneFrame(LumaFilter* filter, YPlane* plane, YPlane* spare, std::string* error);

// Filters a W x H plane of N-bit samples in place, through the mapping of luma_map.h.
bool FilterLumaPlane(LumaFilter* filter, uint16_t* plane, int W, int H, int bits,
                     std::string* error, int scaleBits = FilterScaleBits);

// Releases the module's scratch block, as the editor does when the filter is removed.
void CloseLumaFilter(LumaFilter* filter);
