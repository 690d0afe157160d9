// refusing_module.cpp: a filter module with Tessival's controls whose ProcessFrame refuses every
// frame, so that the program's handling of a failing module can be seen from outside
#include "../../host/host_api.h"

static const char* const TrackLabels[2] = {"range", "strength"};
static const int32_t TrackDefaults[2] = {1, 40};
static const int32_t TrackMinimums[2] = {1, 1};
static const int32_t TrackMaximums[2] = {4, 100};
static const char* const CheckLabels[1] = {"gaussian"};
static const int32_t CheckDefaults[1] = {1};

static int32_t Refuse(FilterInstance*, FrameInfo*) {
    return 0;
}
static int32_t Succeed(FilterInstance*) {
    return 1;
}
static int32_t Updated(FilterInstance*, int32_t) {
    return 1;
}

static FilterTable Table = {0,
                            0,
                            0,
                            "Refusing",
                            2,
                            TrackLabels,
                            TrackDefaults,
                            TrackMinimums,
                            TrackMaximums,
                            1,
                            CheckLabels,
                            CheckDefaults,
                            Refuse,
                            Succeed,
                            Succeed,
                            Updated,
                            nullptr,
                            {},
                            nullptr,
                            {}};

FILTER_EXPORT FilterTable* GetFilterTable() {
    return &Table;
}
