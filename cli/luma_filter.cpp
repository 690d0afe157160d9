// luma_filter.cpp: load the module, set its controls, run frames of luma through ProcessFrame
#include "luma_filter.h"

#include "../noise/strength_calibration.h"

#include <sched.h>
#include <unistd.h>

#include <thread>
#include <vector>

static const char ModuleName[] = "libtessival.so";

static std::string ExecutableFolder() {
    std::vector<char> path(4096);
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return std::string();
    const std::string exe(path.data(), size_t(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

std::string FindModule(const std::string& requested, std::string* tried) {
    if (!requested.empty()) {
        *tried = requested;
        return requested;
    }
    std::vector<std::string> places;
    const std::string folder = ExecutableFolder();
    if (!folder.empty()) {
        places.push_back(folder + "/" + ModuleName);
        places.push_back(folder + "/../" + ModuleName);
        places.push_back(folder + "/../lib/tessival/" + ModuleName);
        places.push_back(folder + "/../lib/" + ModuleName);
    }
    tried->clear();
    for (const std::string& place : places) {
        if (access(place.c_str(), R_OK) == 0) return place;
        *tried += (tried->empty() ? "" : ", ") + place;
    }
    return std::string();
}

bool OpenLumaFilter(LumaFilter* filter, const FilterSettings& settings, std::string* error) {
    std::string tried;
    const std::string path = FindModule(settings.Module, &tried);
    if (path.empty()) {
        *error = "cannot find the filter module " + std::string(ModuleName) + " (looked at " +
                 tried + "); build it, or name it with --module PATH";
        return false;
    }
    int threads = settings.Threads;
    if (threads <= 0) {
        // The cores this process may run on (fewer than the machine's under taskset or a
        // container's CPU set), else all of them.
        cpu_set_t set;
        threads = sched_getaffinity(0, sizeof set, &set) == 0
                      ? CPU_COUNT(&set)
                      : int(std::thread::hardware_concurrency());
    }
    if (threads <= 0) threads = 1;
    filter->Host.reset(new SubstituteHost(threads));
    std::string reason;
    if (!filter->Host->Load(path, &reason)) {
        *error = "cannot load the filter module " + path + ": " + reason;
        filter->Host.reset();
        return false;
    }
    filter->Host->Init();
    filter->Range = settings.Range;
    filter->Gaussian = settings.Gaussian;
    SetLumaStrength(filter, settings.Strength);
    filter->W = filter->H = 0;
    return true;
}

void SetLumaStrength(LumaFilter* filter, int strength) {
    const ModuleStrength m = SplitStrength(strength);
    filter->Strength = strength < 1 ? 1 : strength > MaxStrength ? int(MaxStrength) : strength;
    filter->ScaleBits = m.ScaleBits;
    filter->Host->SetControls(filter->Range, m.Strength, filter->Gaussian);
}

// Why the module refused a frame: no AVX, or something about the frame.
static std::string Refusal(int W, int H) {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx"))
        return "the filter module needs a processor with AVX, and this one has none";
    return "the filter module refused the frame (" + std::to_string(W) + "x" + std::to_string(H) +
           ")";
}

bool FilterLuma(LumaFilter* filter, const PixelLayout& layout, const void* in, void* out, int W,
                int H, std::string* error) {
    filter->W = W;
    filter->H = H;
    if (FilterPixels(filter->Host.get(), layout, in, out, W, H) == 1) return true;
    *error = Refusal(W, H);
    return false;
}

bool FilterHostFrame(LumaFilter* filter, HostImage* image, HostImage* spare, std::string* error) {
    filter->W = image->Width;
    filter->H = image->Height;
    if (FilterHostImage(filter->Host.get(), image, spare) == 1) return true;
    *error = Refusal(image->Width, image->Height);
    return false;
}

bool FilterPlaneFrame(LumaFilter* filter, YPlane* plane, YPlane* spare, std::string* error) {
    filter->W = plane->Width;
    filter->H = plane->Height;
    if (FilterYPlane(filter->Host.get(), plane, spare) == 1) return true;
    *error = Refusal(plane->Width, plane->Height);
    return false;
}

bool FilterLumaPlane(LumaFilter* filter, uint16_t* plane, int W, int H, int bits,
                     std::string* error, int scaleBits) {
    PixelLayout layout;
    layout.Bits = bits;
    layout.Bytes = 2;
    layout.ScaleBits = scaleBits;
    return FilterLuma(filter, layout, plane, plane, W, H, error);
}

void CloseLumaFilter(LumaFilter* filter) {
    if (filter->Host) filter->Host->Exit();
    filter->Host.reset();
}
