// instance.h: one plug-in instance: its controls, its worker threads and its frames
//
// Each instance is a host of the filter module, as the command-line program is: it has its own
// substitute host (worker threads, the module's edit and temp images for its frame size) and
// its own controls. The module linked into the plug-in keeps one job record for the whole
// process, as the editor expects, so the module call itself -- storing the controls, Update,
// ProcessFrame -- runs under one process-wide lock; the conversions of the RGBA frame to luma
// and back run on each instance's own threads, outside it. Two instances in one process thus
// filter side by side and give what each gives alone.
#pragma once

#include <stdint.h>

#include <memory>
#include <mutex>

#include "../subhost/substitute_host.h"
#include "auto_strength.h"
#include "params.h"

struct PluginInstance {
    int W = 0;
    int H = 0;
    PluginControls Controls;
    PluginAutoStrength Auto;  // the noise level of the current shot, for automatic strength
    std::unique_ptr<SubstituteHost> Host;
    std::mutex Lock;  // one frame or parameter change of this instance at a time
};

// A new instance for frames of W x H pixels with default controls; null when W or H is not
// positive or too large for the module's 32-bit image offsets.
PluginInstance* CreatePluginInstance(unsigned W, unsigned H);

// Stops the instance's threads and releases its images and the module's scratch block (the
// next frame of any other instance plans afresh).
void DestroyPluginInstance(PluginInstance* instance);

// Filters one frame of W x H RGBA8888 pixels (rows W x 4 bytes apart) from `in` into `out`:
// R, G and B move by the filter's change of their full-range BT.601 luma, alpha is copied.
// `in` and `out` may be the same frame. Without AVX the frame is copied unchanged.
void FilterPluginFrame(PluginInstance* instance, const uint32_t* in, uint32_t* out);

// The worker count an instance with `threads` (0: one per core) runs.
int PluginThreadCount(int threads);
