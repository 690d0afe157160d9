// luma_filter.cpp: load the module, set its controls, run frames of luma through ProcessFrame
#include "luma_filter.h"

#include <sched.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "luma_map.h"

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
        places.push_back(folder + "/../lib/" + ModuleName);
    }
#ifdef TESSIVAL_BUILD_MODULE
    places.push_back(TESSIVAL_BUILD_MODULE);
#endif
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
    filter->Host->SetControls(settings.Range, settings.Strength, settings.Gaussian);
    filter->W = filter->H = 0;
    return true;
}

// Makes sure the host's images hold W x H pixels; rows are a multiple of 8 pixels long.
static void Prepare(LumaFilter* filter, int W, int H) {
    if (filter->W == W && filter->H == H) return;
    filter->Host->AllocateImages(W, H, (W + 7) & ~7);
    filter->W = W;
    filter->H = H;
}

static bool Run(LumaFilter* filter, std::string* error) {
    if (filter->Host->Process() == 1) return true;
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx"))
        *error = "the filter module needs a processor with AVX, and this one has none";
    else
        *error = "the filter module refused the frame (" + std::to_string(filter->W) + "x" +
                 std::to_string(filter->H) + ")";
    return false;
}

bool FilterLumaPlane(LumaFilter* filter, uint16_t* plane, int W, int H, int bits,
                     std::string* error) {
    Prepare(filter, W, H);
    SubstituteHost& host = *filter->Host;
    // Up to 12 bits the mapping is a shift each way, written out here so that the per-pixel
    // loops stay simple; deeper samples take the general functions of luma_map.h.
    const int shift = 12 - bits;
    const int32_t top = int32_t(MaxSample(bits));
    for (int y = 0; y < H; y++) {
        YcPixel* row = host.Row(host.Edit(), y);
        const uint16_t* in = plane + size_t(y) * W;
        if (shift >= 0) {
            for (int x = 0; x < W; x++) {
                const int32_t s = in[x] > top ? top : in[x];
                row[x] = YcPixel{int16_t(s << shift), 0, 0};
            }
        } else {
            for (int x = 0; x < W; x++) row[x] = YcPixel{LumaToFilter(in[x], bits), 0, 0};
        }
    }
    if (!Run(filter, error)) return false;
    const int32_t half = shift > 0 ? 1 << (shift - 1) : 0;
    for (int y = 0; y < H; y++) {
        const YcPixel* row = host.Row(host.Edit(), y);
        uint16_t* out = plane + size_t(y) * W;
        if (shift >= 0) {
            for (int x = 0; x < W; x++) {
                const int32_t v = (int32_t(row[x].Y) + half) >> shift;
                out[x] = uint16_t(v < 0 ? 0 : v > top ? top : v);
            }
        } else {
            for (int x = 0; x < W; x++) out[x] = uint16_t(LumaFromFilter(row[x].Y, out[x], bits));
        }
    }
    return true;
}

bool FilterScaledPlane(LumaFilter* filter, int16_t* plane, int W, int H, std::string* error) {
    Prepare(filter, W, H);
    SubstituteHost& host = *filter->Host;
    for (int y = 0; y < H; y++) {
        YcPixel* row = host.Row(host.Edit(), y);
        const int16_t* in = plane + size_t(y) * W;
        for (int x = 0; x < W; x++) row[x] = YcPixel{in[x], 0, 0};
    }
    if (!Run(filter, error)) return false;
    for (int y = 0; y < H; y++) {
        const YcPixel* row = host.Row(host.Edit(), y);
        int16_t* out = plane + size_t(y) * W;
        for (int x = 0; x < W; x++) out[x] = row[x].Y;
    }
    return true;
}

void CloseLumaFilter(LumaFilter* filter) {
    if (filter->Host) filter->Host->Exit();
    filter->Host.reset();
}
