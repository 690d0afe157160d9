// plane_api.h: the spatial filter on planes of luma, as the Linux library offers it to its hosts
//
// The editor hands the module images of YcPixel, 6 bytes a pixel, of which the filter reads and
// writes only Y. A host of its own making, such as the program, holds luma as a plane and would
// otherwise pack it into such an image and unpack it again for every frame: three times the
// bytes through memory, twice. The Linux library therefore also exports GetPlaneTable, whose
// ProcessPlane filters a plane of 16-bit Y samples (the same values an image's Y would hold)
// into another, with the module's own instance, controls, job record and scratch block: same
// bands, same arithmetic, the same Y bit for bit as ProcessFrame gives. The Windows module does
// not export it.
#pragma once

#include <stdint.h>

#include "host_api.h"

struct PlaneFrame {
    int32_t W, H;           // 0 or more
    int32_t Stride;         // samples from the start of one row to the next, at least W
    const int16_t* Source;  // W x H samples of Y
    int16_t* Destination;   // receives the filtered Y; must not overlap Source
};

struct PlaneTable {
    int32_t Version;  // 1
    // Filters frame->Source into frame->Destination on all host threads. Returns 1 on success
    // (at once when W or H is 0), 0 when the frame cannot be filtered: negative sizes, a stride
    // below W, missing or overlapping planes, or what makes ProcessFrame return 0.
    int32_t (*ProcessPlane)(FilterInstance* instance, const PlaneFrame* frame);
};

FILTER_EXPORT HOST_ENTRY const PlaneTable* GetPlaneTable();
