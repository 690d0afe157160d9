// filter_table.cpp: the descriptor the host reads through GetFilterTable, and the small callbacks
#include "filter_table.h"

#include "process_frame.h"
#include "strength.h"

// Labels in code page 932 (Shift_JIS), as the host shows them.
static const char RangeLabel[] = "\x94\xcd\x88\xcd";     // range
static const char StrengthLabel[] = "\x95\xaa\x8e\x55";  // variance
static const char GaussianLabel[] =
    "\x83\x4b\x83\x45\x83\x56\x83\x41\x83\x93\x8f\x64\x82\xdd";  // Gaussian weight

static const char* const TrackLabels[2] = {RangeLabel, StrengthLabel};
static const int32_t TrackDefaults[2] = {1, 40};
static const int32_t TrackMinimums[2] = {1, 1};
static const int32_t TrackMaximums[2] = {4, 100};
static const char* const CheckLabels[1] = {GaussianLabel};
static const int32_t CheckDefaults[1] = {1};

enum { HasInformation = 0x00040000 };

static FilterTable Table = {HasInformation,
                            0,
                            0,
                            "Tessival(AVX)",
                            2,
                            TrackLabels,
                            TrackDefaults,
                            TrackMinimums,
                            TrackMaximums,
                            1,
                            CheckLabels,
                            CheckDefaults,
                            ProcessFrame,
                            Init,
                            Exit,
                            Update,
                            WindowProc,
                            {nullptr, nullptr, nullptr, nullptr},
                            "Tessival(AVX) Ver.111113",
                            {}};

FilterTable* GetFilterTable() {
    return &Table;
}

int32_t Init(FilterInstance*) {
    return 1;
}

int32_t Exit(FilterInstance*) {
    // The pointer is cleared too: a later frame plans afresh instead of using a freed block.
    ReleaseScratch();
    return 1;
}

int32_t WindowProc(void*, uint32_t message, uintptr_t, intptr_t, void*, FilterInstance* instance) {
    if (message != FilterSwitchedMessage || instance == nullptr || instance->Functions == nullptr ||
        instance->Functions->IsFilterActive == nullptr)
        return 0;
    if (!instance->Functions->IsFilterActive(instance)) ReleaseScratch();
    return 0;
}
