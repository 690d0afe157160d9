// plugin.cpp: the frei0r entry points: plug-in and parameter information, instances, frames
//
// A filter plug-in of colour model RGBA8888 (bytes R, G, B, A in memory), loaded in-process by
// ffmpeg (-vf frei0r), GStreamer (the frei0r bridge of gst-plugins-bad) and MLT. Hosts create
// one instance per frame size and call f0r_update from one thread at a time per instance;
// different instances may be called from different threads at the same time.
// frei0r.h declares its functions without C linkage of its own. They are the plug-in's only
// exports; everything else is built hidden.
#pragma GCC visibility push(default)
extern "C" {
#include <frei0r.h>
}
#pragma GCC visibility pop

#include <string.h>

#include "instance.h"
#include "params.h"

extern "C" {

int f0r_init() {
    return 1;
}

void f0r_deinit() {}

void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    info->name = "Tessival";
    info->author = "Tessival";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = 1;
    info->minor_version = 0;
    info->num_params = ParamCount;
    info->explanation =
        "Non-local-means denoiser: filters the luma (full-range BT.601) and moves R, G and B by "
        "its change; alpha passes through. Needs a processor with AVX.";
}

void f0r_get_param_info(f0r_param_info_t* info, int index) {
    const PluginParamInfo* param = PluginParam(index);
    if (param == nullptr) return;
    info->name = param->Name;
    info->type = param->Type;
    info->explanation = param->Explanation;
}

// No exception may cross into the host: out of memory or threads, construction fails (hosts
// check for null) and a frame passes unchanged.
f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    try {
        return CreatePluginInstance(width, height);
    } catch (...) {
        return nullptr;
    }
}

void f0r_destruct(f0r_instance_t instance) {
    DestroyPluginInstance(static_cast<PluginInstance*>(instance));
}

// Every parameter is a double (bool included, as frei0r defines it).
void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (instance == nullptr || param == nullptr) return;
    PluginInstance* p = static_cast<PluginInstance*>(instance);
    std::lock_guard<std::mutex> own(p->Lock);
    SetPluginParam(&p->Controls, index, *static_cast<const double*>(param));
}

void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (instance == nullptr || param == nullptr || PluginParam(index) == nullptr) return;
    PluginInstance* p = static_cast<PluginInstance*>(instance);
    std::lock_guard<std::mutex> own(p->Lock);
    *static_cast<double*>(param) = GetPluginParam(p->Controls, index);
}

void f0r_update(f0r_instance_t instance, double, const uint32_t* inframe, uint32_t* outframe) {
    if (instance == nullptr || inframe == nullptr || outframe == nullptr) return;
    PluginInstance* p = static_cast<PluginInstance*>(instance);
    try {
        FilterPluginFrame(p, inframe, outframe);
    } catch (...) {
        if (outframe != inframe) memcpy(outframe, inframe, size_t(p->W) * size_t(p->H) * 4);
    }
}

void f0r_update2(f0r_instance_t instance, double time, const uint32_t* inframe1, const uint32_t*,
                 const uint32_t*, uint32_t* outframe) {
    f0r_update(instance, time, inframe1, outframe);
}
}
