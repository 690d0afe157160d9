// instance.cpp: plug-in instances: threads and images of their own, the module under one lock
#include "instance.h"

#include <sched.h>
#include <string.h>

#include <thread>

#include "../host/filter_table.h"
#include "../noise/strength_calibration.h"
#include "../subhost/luma_planes.h"

// Serialises every call into the module: its job record and scratch block are per process.
static std::mutex ModuleLock;

int PluginThreadCount(int threads) {
    if (threads > 0) return threads;
    // The cores this process may run on (fewer than the machine's under taskset or a
    // container's CPU set), else all of them.
    cpu_set_t set;
    const int cores = sched_getaffinity(0, sizeof set, &set) == 0
                          ? CPU_COUNT(&set)
                          : int(std::thread::hardware_concurrency());
    return cores > 0 ? cores : 1;
}

// The frame's rows are W x 4 bytes apart: frei0r frames have no padding.
static PixelLayout RgbaLayout() {
    PixelLayout layout;
    layout.Bits = 8;
    layout.Bytes = 1;
    layout.Channels = 4;
    return layout;
}

PluginInstance* CreatePluginInstance(unsigned W, unsigned H) {
    // Image rows are addressed with 32-bit byte offsets in the module: 6 bytes a pixel.
    const uint64_t limit = uint64_t(INT32_MAX) / 6;
    if (W == 0 || H == 0 || W > 65536 || H > 65536 || uint64_t(W + 7) * H > limit) return nullptr;
    std::unique_ptr<PluginInstance> instance(new PluginInstance);
    instance->W = int(W);
    instance->H = int(H);
    instance->Host.reset(new SubstituteHost(PluginThreadCount(0)));
    {
        // Attach runs Update, which writes the module's job record.
        std::lock_guard<std::mutex> module(ModuleLock);
        instance->Host->Attach(GetFilterTable());
        instance->Host->Init();
    }
    instance->Host->AllocateImages(int(W), int(H), (int(W) + 7) & ~7);
    return instance.release();
}

void DestroyPluginInstance(PluginInstance* instance) {
    if (instance == nullptr) return;
    {
        std::lock_guard<std::mutex> own(instance->Lock);
        // The host's destructor calls Exit, which releases the module's scratch block.
        std::lock_guard<std::mutex> module(ModuleLock);
        instance->Host.reset();
    }
    delete instance;
}

void FilterPluginFrame(PluginInstance* instance, const uint32_t* in, uint32_t* out) {
    std::lock_guard<std::mutex> own(instance->Lock);
    SubstituteHost& host = *instance->Host;
    const PluginControls& c = instance->Controls;
    const int W = instance->W, H = instance->H;
    const int threads = PluginThreadCount(c.Threads);
    if (threads != host.Threads()) host.SetThreads(threads);

    // Strengths past the module's 100 hand it the luma at a reduced scale.
    const int strength = c.Strength != 0 ? c.Strength
                                         : AutoStrengthForFrame(&instance->Auto, host, in, W, H,
                                                                c.Range, c.Gaussian);
    const ModuleStrength m = SplitStrength(strength);
    PixelLayout layout = RgbaLayout();
    layout.ScaleBits = m.ScaleBits;
    host.RunRows(H, W, [&](int y0, int y1) {
        PixelsToHost(layout, in, host.Edit(), host.Capacity(), W, y0, y1);
    });
    int32_t done;
    {
        std::lock_guard<std::mutex> module(ModuleLock);
        host.SetControls(c.Range, m.Strength, c.Gaussian);
        done = host.Process();
    }
    if (done != 1) {
        // No AVX: the module filters nothing, and the frame passes unchanged.
        if (out != in) memcpy(out, in, size_t(W) * size_t(H) * 4);
        return;
    }
    host.RunRows(H, W, [&](int y0, int y1) {
        PixelsFromHost(layout, host.Edit(), host.Capacity(), in, out, W, y0, y1);
    });
}
