// host_api.h: the records and services the host video editor shares with the filter
//
// Every record is an array of machine words: on the 32-bit product each field below is one
// 32-bit word and the offsets are fixed by the host. On a 64-bit build the same structs keep
// their natural layout (pointers are 8 bytes), which only our own substitute host relies on.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__) && defined(__i386__)
// A 32-bit Windows stack is only 4-byte aligned; functions the host calls realign it so that
// 32-byte AVX spills cannot fault.
#define HOST_ENTRY __attribute__((force_align_arg_pointer))
#else
#define HOST_ENTRY
#endif

#if defined(_WIN32)
#define FILTER_EXPORT extern "C" __declspec(dllexport)
#else
#define FILTER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// One pixel of the host's images: Y, Cb, Cr as signed 16-bit values, 6 bytes.
struct YcPixel {
    int16_t Y;
    int16_t Cb;
    int16_t Cr;
};
static_assert(sizeof(YcPixel) == 6, "YcPixel is three 16-bit values");

struct FilterInstance;
struct FrameInfo;

// Runs on every host worker thread: (thread index, thread count, first, second parameter).
typedef void (*WorkerFunction)(int32_t threadIndex, int32_t threadCount, void* first, void* second);

typedef int32_t (*ProcessFrameFunction)(FilterInstance* instance, FrameInfo* frame);
typedef int32_t (*InitFunction)(FilterInstance* instance);
typedef int32_t (*ExitFunction)(FilterInstance* instance);
typedef int32_t (*UpdateFunction)(FilterInstance* instance, int32_t status);
typedef int32_t (*WindowProcFunction)(void* window, uint32_t message, uintptr_t wparam,
                                      intptr_t lparam, void* editHandle, FilterInstance* instance);
typedef int32_t (*IsFilterActiveFunction)(FilterInstance* instance);
typedef int32_t (*RunOnAllThreadsFunction)(WorkerFunction function, void* first, void* second);

// The descriptor the filter hands out from GetFilterTable; a host copies words 0 to 16 into its
// FilterInstance.
struct FilterTable {
    int32_t Flags;                      // word 0
    int32_t WindowWidth;                // word 1
    int32_t WindowHeight;               // word 2
    const char* Name;                   // word 3
    int32_t TrackCount;                 // word 4
    const char* const* TrackLabels;     // word 5
    const int32_t* TrackDefaults;       // word 6
    const int32_t* TrackMinimums;       // word 7
    const int32_t* TrackMaximums;       // word 8
    int32_t CheckCount;                 // word 9
    const char* const* CheckLabels;     // word 10
    const int32_t* CheckDefaults;       // word 11
    ProcessFrameFunction ProcessFrame;  // word 12
    InitFunction Init;                  // word 13
    ExitFunction Exit;                  // word 14
    UpdateFunction Update;              // word 15
    WindowProcFunction WindowProc;      // word 16
    void* HostOwned[4];                 // words 17 to 20
    const char* Information;            // word 21
    void* Reserved[18];                 // words 22 to 39, all zero
};

// The host's live record for the filter; its first 17 words repeat FilterTable.
struct FilterInstance {
    int32_t Flags;
    int32_t WindowWidth;
    int32_t WindowHeight;
    const char* Name;
    int32_t TrackCount;
    const char* const* TrackLabels;
    const int32_t* TrackDefaults;
    const int32_t* TrackMinimums;
    const int32_t* TrackMaximums;
    int32_t CheckCount;
    const char* const* CheckLabels;
    const int32_t* CheckDefaults;
    ProcessFrameFunction ProcessFrame;
    InitFunction Init;
    ExitFunction Exit;
    UpdateFunction Update;
    WindowProcFunction WindowProc;
    int32_t* TrackValues;             // word 17: Range at 0, Strength at 1
    int32_t* CheckValues;             // word 18: GaussianWeighting at 0
    void* HostWords[5];               // words 19 to 23
    struct HostFunctions* Functions;  // word 24
    void* MoreHostWords[15];          // words 25 to 39
};

// The host's per-frame record.
struct FrameInfo {
    int32_t Flags;        // word 0
    YcPixel* Edit;        // word 1: the frame to filter; the result after ProcessFrame
    YcPixel* Temp;        // word 2: a scratch image of the same capacity
    int32_t Width;        // word 3
    int32_t Height;       // word 4
    int32_t Capacity;     // word 5: allocated pixels per row
    void* HostWords[10];  // words 6 to 15
};

// The host's service table; the filter uses two slots.
struct HostFunctions {
    void* Slots0[25];                         // slots 0 to 24
    IsFilterActiveFunction IsFilterActive;    // slot 25
    void* Slots26[25];                        // slots 26 to 50
    RunOnAllThreadsFunction RunOnAllThreads;  // slot 51
    void* Slots52[12];                        // slots 52 to 63
};

// The host's window message that reports the filter being switched on or off.
enum { FilterSwitchedMessage = 1133 };

#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit word layout the host relies on.
static_assert(offsetof(FilterTable, ProcessFrame) == 12 * 4, "FilterTable word 12");
static_assert(offsetof(FilterTable, WindowProc) == 16 * 4, "FilterTable word 16");
static_assert(offsetof(FilterTable, Information) == 21 * 4, "FilterTable word 21");
static_assert(sizeof(FilterTable) == 40 * 4, "FilterTable size");
static_assert(offsetof(FilterInstance, TrackValues) == 17 * 4, "FilterInstance word 17");
static_assert(offsetof(FilterInstance, CheckValues) == 18 * 4, "FilterInstance word 18");
static_assert(offsetof(FilterInstance, Functions) == 24 * 4, "FilterInstance word 24");
static_assert(offsetof(FrameInfo, Edit) == 1 * 4, "FrameInfo word 1");
static_assert(offsetof(FrameInfo, Temp) == 2 * 4, "FrameInfo word 2");
static_assert(offsetof(FrameInfo, Width) == 3 * 4, "FrameInfo word 3");
static_assert(offsetof(FrameInfo, Height) == 4 * 4, "FrameInfo word 4");
static_assert(offsetof(FrameInfo, Capacity) == 5 * 4, "FrameInfo word 5");
static_assert(offsetof(HostFunctions, IsFilterActive) == 25 * 4, "HostFunctions slot 25");
static_assert(offsetof(HostFunctions, RunOnAllThreads) == 51 * 4, "HostFunctions slot 51");
#endif
// Words 0 to 16 of FilterInstance mirror FilterTable on every target.
static_assert(offsetof(FilterInstance, WindowProc) == offsetof(FilterTable, WindowProc),
              "FilterInstance repeats FilterTable");

FILTER_EXPORT HOST_ENTRY FilterTable* GetFilterTable();
