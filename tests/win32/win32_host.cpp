// win32_host.cpp: a Windows host for tessival.auf that runs the battery on Windows threads
//
// Does what the video editor does: LoadLibrary("tessival.auf"), GetProcAddress("GetFilterTable"),
// copies descriptor words 0 to 16 into its own FilterInstance words, points words 17, 18 and 24
// at the track values, check values and its service table (IsFilterActive at slot 25,
// RunOnAllThreads at slot 51), and calls the callbacks through the instance words. Every call
// into the module is made with the stack pointer deliberately off 16-byte alignment by 0, 4, 8
// or 12 bytes in turn, as a 32-bit Windows stack may be.
//
// The worker pool is made for emulated Wine: threads are created one at a time, each confirmed
// running before the next, kept for the whole run, and handed work through events. At the end
// the threads are ended one at a time and the module unloaded; then the closing line is printed
// and the program calls ExitProcess (TerminateProcess when it stops early with threads running).
//
// Usage: tessival_win32_host BATTERY.bin   (the file written by tessival_expected)
// Prints one line per group and 'N passed, N failed'; exit code 0 only when nothing failed.
#include <windows.h>

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "battery.h"

#define HOST_CALLBACK __attribute__((force_align_arg_pointer))

namespace {

// ---- Calls into the module with a chosen stack misalignment -------------------------------

// Calls fn(argv[0], ..., argv[argc-1]) (cdecl) with the stack pointer at function entry
// shift + 4 bytes below a 16-byte boundary instead of the usual 4: shift 0 is the aligned call.
// noipa: the compiler must treat it as an opaque call that may run any escaped callback (it
// cannot see the call inside the assembly), or it keeps host state in registers across it.
__attribute__((noipa)) int32_t CallShifted(const void* fn, uint32_t shift, uint32_t argc,
                                           const uint32_t* argv) {
    int32_t result;
    uint32_t count = argc;
    const void* target = fn;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "andl $-16, %%esp\n\t"
        "subl %[shift], %%esp\n\t"
        "leal (,%%ecx,4), %%eax\n\t"
        "negl %%eax\n\t"
        "andl $15, %%eax\n\t"
        "subl %%eax, %%esp\n\t"  // so that the arguments end on a 16-byte boundary less shift
        "1:\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 2f\n\t"
        "decl %%ecx\n\t"
        "pushl (%%edi,%%ecx,4)\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *%%edx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=&a"(result), "+c"(count), "+d"(target)
        : "D"(argv), [shift] "b"(shift)
        : "esi", "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
    return result;
}

volatile LONG CallTurn = 0;
uint32_t NextShift() {
    return 4u * (uint32_t(InterlockedIncrement(&CallTurn)) & 3u);
}

// ---- The worker pool -------------------------------------------------------------------------

enum { PoolSize = 8 };

struct Worker {
    int32_t Index;
    HANDLE Thread, Go, Done;
};

Worker Pool[PoolSize];
int32_t ActiveThreads = 1;  // how many pool threads the next RunOnAllThreads uses
WorkerFunction PendingFunction;
void* PendingFirst;
void* PendingSecond;
volatile bool PoolBroken = false;
volatile bool PoolQuit = false;

DWORD WINAPI WorkerMain(void* parameter) {
    Worker* const w = static_cast<Worker*>(parameter);
    SetEvent(w->Done);  // running
    for (;;) {
        WaitForSingleObject(w->Go, INFINITE);
        if (PoolQuit) return 0;
        const uint32_t args[4] = {uint32_t(w->Index), uint32_t(ActiveThreads),
                                  uint32_t(uintptr_t(PendingFirst)),
                                  uint32_t(uintptr_t(PendingSecond))};
        CallShifted(reinterpret_cast<const void*>(PendingFunction), NextShift(), 4, args);
        SetEvent(w->Done);
    }
    return 0;
}

bool StartPool() {
    for (int i = 0; i < PoolSize; i++) {
        Worker& w = Pool[i];
        w.Index = i;
        w.Go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        w.Done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (w.Go == nullptr || w.Done == nullptr) return false;
        w.Thread = CreateThread(nullptr, 0, WorkerMain, &w, 0, nullptr);
        if (w.Thread == nullptr) return false;
        if (WaitForSingleObject(w.Done, 60000) != WAIT_OBJECT_0) return false;
    }
    return true;
}

// Ends the pool threads one at a time, each confirmed gone before the next: the process then
// exits with no thread of ours left for the emulator to tear down.
bool StopPool() {
    PoolQuit = true;
    bool ok = true;
    for (int i = 0; i < PoolSize; i++) {
        SetEvent(Pool[i].Go);
        ok = WaitForSingleObject(Pool[i].Thread, 60000) == WAIT_OBJECT_0 && ok;
    }
    return ok;
}

HOST_CALLBACK int32_t RunOnAllThreads(WorkerFunction function, void* first, void* second) {
    if (PoolBroken) return 0;
    PendingFunction = function;
    PendingFirst = first;
    PendingSecond = second;
    HANDLE done[PoolSize];
    for (int i = 0; i < ActiveThreads; i++) {
        done[i] = Pool[i].Done;
        SetEvent(Pool[i].Go);
    }
    // Generous: a large frame under emulation takes seconds, a lost worker forever.
    if (WaitForMultipleObjects(DWORD(ActiveThreads), done, TRUE, 300000) != WAIT_OBJECT_0) {
        printf("RunOnAllThreads: a worker did not finish\n");
        PoolBroken = true;
    }
    return 1;
}

volatile int32_t FilterActive = 1;
volatile int32_t IsFilterActiveCalls = 0;
HOST_CALLBACK int32_t IsFilterActive(FilterInstance*) {
    IsFilterActiveCalls++;
    return FilterActive;
}

// ---- The host's records as words -----------------------------------------------------------

uint32_t InstanceWords[40];
int32_t TrackValues[2];
int32_t CheckValues[1];
void* HostFunctionSlots[64];
const uint32_t* TableWords;

uint32_t InstanceArg() {
    return uint32_t(uintptr_t(InstanceWords));
}

int32_t CallCallback(int word, uint32_t argc, const uint32_t* argv) {
    return CallShifted(reinterpret_cast<const void*>(uintptr_t(InstanceWords[word])), NextShift(),
                       argc, argv);
}
int32_t CallUpdate() {
    const uint32_t args[2] = {InstanceArg(), 0};
    return CallCallback(15, 2, args);
}
int32_t CallInit() {
    const uint32_t args[1] = {InstanceArg()};
    return CallCallback(13, 1, args);
}
int32_t CallExit() {
    const uint32_t args[1] = {InstanceArg()};
    return CallCallback(14, 1, args);
}
int32_t CallWindowProc(uint32_t message) {
    const uint32_t args[6] = {0, message, 0, 0, 0, InstanceArg()};
    return CallCallback(16, 6, args);
}
int32_t CallProcessFrame(uint32_t* frameWords) {
    const uint32_t args[2] = {InstanceArg(), uint32_t(uintptr_t(frameWords))};
    return CallCallback(12, 2, args);
}

// ---- Reporting ---------------------------------------------------------------------------------

int Passed = 0, Failed = 0;
int FailureLines = 0;

void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) {
    if (FailureLines++ >= 40) return;
    va_list list;
    va_start(list, format);
    printf("   FAILED: ");
    vprintf(format, list);
    printf("\n");
    va_end(list);
}

bool Check(bool ok, const char* what) {
    if (ok)
        Passed++;
    else
        Failed++, Fail("%s", what);
    return ok;
}

void GroupLine(const char* name, bool ok, const char* detail) {
    printf(" - %-26s %s [%s]\n", name, detail, ok ? "OK" : "FAILED");
    fflush(stdout);
}

// ---- Descriptor and callbacks -------------------------------------------------------------

bool WordIs(int word, uint32_t value) {
    return TableWords[word] == value;
}
bool StringIs(int word, const char* text) {
    const char* s = reinterpret_cast<const char*>(uintptr_t(TableWords[word]));
    return s != nullptr && strcmp(s, text) == 0;
}
bool IntsAre(int word, const int32_t* values, int n) {
    const int32_t* p = reinterpret_cast<const int32_t*>(uintptr_t(TableWords[word]));
    return p != nullptr && memcmp(p, values, n * sizeof(int32_t)) == 0;
}
bool LabelIs(int word, int index, const char* bytes) {
    const char* const* labels = reinterpret_cast<const char* const*>(uintptr_t(TableWords[word]));
    return labels != nullptr && labels[index] != nullptr && strcmp(labels[index], bytes) == 0;
}

void CheckDescriptor(const void* getFilterTable) {
    const int before = Failed;
    const uint32_t second = uint32_t(CallShifted(getFilterTable, NextShift(), 0, nullptr));
    Check(second == uint32_t(uintptr_t(TableWords)), "GetFilterTable returns the same table");
    Check(WordIs(0, 0x00040000), "word 0: flags 0x00040000");
    Check(WordIs(1, 0) && WordIs(2, 0), "words 1, 2: no settings window size");
    Check(StringIs(3, "Tessival(AVX)"), "word 3: name Tessival(AVX)");
    Check(WordIs(4, 2), "word 4: two track bars");
    Check(LabelIs(5, 0, "\x94\xcd\x88\xcd"), "word 5: track label 0 in Shift_JIS");
    Check(LabelIs(5, 1, "\x95\xaa\x8e\x55"), "word 5: track label 1 in Shift_JIS");
    static const int32_t Defaults[2] = {1, 40}, Minimums[2] = {1, 1}, Maximums[2] = {4, 100};
    Check(IntsAre(6, Defaults, 2), "word 6: track defaults 1, 40");
    Check(IntsAre(7, Minimums, 2), "word 7: track minimums 1, 1");
    Check(IntsAre(8, Maximums, 2), "word 8: track maximums 4, 100");
    Check(WordIs(9, 1), "word 9: one check box");
    Check(LabelIs(10, 0, "\x83\x4b\x83\x45\x83\x56\x83\x41\x83\x93\x8f\x64\x82\xdd"),
          "word 10: check label in Shift_JIS");
    static const int32_t CheckDefault[1] = {1};
    Check(IntsAre(11, CheckDefault, 1), "word 11: check default on");
    bool callbacks = true;
    for (int w = 12; w <= 16; w++) callbacks = callbacks && TableWords[w] != 0;
    Check(callbacks, "words 12 to 16: five callbacks");
    bool hostOwned = true;
    for (int w = 17; w <= 20; w++) hostOwned = hostOwned && TableWords[w] == 0;
    Check(hostOwned, "words 17 to 20: zero");
    Check(StringIs(21, "Tessival(AVX) Ver.111113"), "word 21: information string");
    bool reserved = true;
    for (int w = 22; w < 40; w++) reserved = reserved && TableWords[w] == 0;
    Check(reserved, "words 22 to 39: zero");
    GroupLine("descriptor words", Failed == before, "17 checks");
}

void CheckCallbacks() {
    const int before = Failed;
    Check(CallInit() == 1, "Init returns 1");
    Check(CallExit() == 1, "Exit before any frame returns 1");
    Check(CallWindowProc(0x0111) == 0, "WindowProc ignores other messages, returns 0");
    IsFilterActiveCalls = 0;
    Check(CallWindowProc(FilterSwitchedMessage) == 0 && IsFilterActiveCalls == 1,
          "WindowProc 1133 asks IsFilterActive once, returns 0");
    Check(CallUpdate() == 1, "Update returns 1");
    // Empty frames: success, nothing touched, edit and temp exchanged.
    for (int empty = 0; empty < 2; empty++) {
        YcPixel a[4], b[4];
        memset(a, 0x33, sizeof a);
        memset(b, 0x44, sizeof b);
        uint32_t frame[16] = {};
        frame[1] = uint32_t(uintptr_t(a));
        frame[2] = uint32_t(uintptr_t(b));
        frame[3] = empty == 0 ? 0 : 4;
        frame[4] = empty == 0 ? 4 : 0;
        frame[5] = 4;
        const int32_t result = CallProcessFrame(frame);
        bool untouched = true;
        for (int i = 0; i < 4; i++)
            untouched = untouched && a[i].Y == 0x3333 && b[i].Y == 0x4444 && a[i].Cr == 0x3333;
        Check(result == 1 && frame[1] == uint32_t(uintptr_t(b)) &&
                  frame[2] == uint32_t(uintptr_t(a)) && untouched,
              empty == 0 ? "W = 0: returns 1, nothing touched, exchanged"
                         : "H = 0: returns 1, nothing touched, exchanged");
    }
    GroupLine("callbacks", Failed == before, "7 checks");
}

// ---- Frames ----------------------------------------------------------------------------------

struct GroupTotals {
    int frames = 0, failed = 0;
    long long pixels = 0, differing = 0;
    int largest = 0;
};

enum { GuardBytes = 256, GuardValue = 0x5A };

// One image with guard bytes: `offset` bytes past a 64-byte boundary, GuardBytes before it.
struct GuardedImage {
    std::vector<uint8_t> bytes;
    size_t start = 0, imageBytes = 0;
    void Allocate(size_t image, int offset) {
        imageBytes = image;
        bytes.assign(image + 2 * GuardBytes + 128, GuardValue);
        const uintptr_t base = uintptr_t(bytes.data()) + GuardBytes;
        start = ((base + 63) & ~uintptr_t(63)) + uintptr_t(offset & 63) - uintptr_t(bytes.data());
    }
    YcPixel* Pixels() { return reinterpret_cast<YcPixel*>(bytes.data() + start); }
};

const char* Describe(const CaseRecord& c) {
    static char text[200];
    snprintf(text, sizeof text,
             "%s: W=%d H=%d capacity=%d offset=%d R=%d %s strength=%d threads=%d content=%d "
             "action=%d seed=%u",
             GroupName(c.Group), c.W, c.H, c.Capacity, c.Offset, c.Range,
             c.Gaussian ? "gaussian" : "box", c.Strength, c.Threads, c.Content, c.Action, c.Seed);
    return text;
}

void DoAction(int32_t action) {
    switch (action) {
        case ExitBefore:
            Check(CallExit() == 1, "Exit between frames returns 1");
            break;
        case SwitchOffBefore:
        case SwitchOffTwiceBefore:
            FilterActive = 0;
            Check(CallWindowProc(FilterSwitchedMessage) == 0, "WindowProc 1133 (off) returns 0");
            if (action == SwitchOffTwiceBefore)
                Check(CallWindowProc(FilterSwitchedMessage) == 0, "WindowProc 1133 again");
            FilterActive = 1;
            break;
        case SwitchOnBefore:
            Check(CallWindowProc(FilterSwitchedMessage) == 0, "WindowProc 1133 (on) returns 0");
            break;
        default:
            break;
    }
}

// Runs one case and checks everything the host can see. Returns false on a failure.
bool RunCase(const CaseRecord& c, const std::vector<YcPixel>& input,
             const std::vector<int16_t>& expected, GroupTotals* totals) {
    TrackValues[0] = c.Range;
    TrackValues[1] = c.Strength;
    CheckValues[0] = c.Gaussian;
    if (CallUpdate() != 1) {
        Fail("Update: %s", Describe(c));
        return false;
    }
    DoAction(c.Action);
    ActiveThreads = c.Threads;

    const size_t stride = size_t(c.Capacity) * 6;
    GuardedImage edit, temp;
    edit.Allocate(stride * size_t(c.H), c.Offset);
    temp.Allocate(stride * size_t(c.H), c.Offset);
    for (int y = 0; y < c.H; y++)
        memcpy(edit.bytes.data() + edit.start + y * stride, &input[size_t(y) * c.W],
               size_t(c.W) * 6);
    const std::vector<uint8_t> editBefore = edit.bytes;

    uint32_t frame[16] = {};
    frame[1] = uint32_t(uintptr_t(edit.Pixels()));
    frame[2] = uint32_t(uintptr_t(temp.Pixels()));
    frame[3] = uint32_t(c.W);
    frame[4] = uint32_t(c.H);
    frame[5] = uint32_t(c.Capacity);
    const int32_t result = CallProcessFrame(frame);
    if (result != 1 || PoolBroken) {
        Fail("ProcessFrame returned %d: %s", result, Describe(c));
        return false;
    }
    if (frame[1] != uint32_t(uintptr_t(temp.Pixels())) ||
        frame[2] != uint32_t(uintptr_t(edit.Pixels()))) {
        Fail("edit and temp not exchanged: %s", Describe(c));
        return false;
    }
    if (edit.bytes != editBefore) {
        Fail("source image or its guards written: %s", Describe(c));
        return false;
    }
    const uint8_t* t = temp.bytes.data();
    for (size_t k = 0; k < temp.start; k++)
        if (t[k] != GuardValue) {
            Fail("guard byte %d before the result written: %s", int(temp.start - k), Describe(c));
            return false;
        }
    for (size_t k = temp.start + temp.imageBytes; k < temp.bytes.size(); k++)
        if (t[k] != GuardValue) {
            Fail("guard byte %d after the result written: %s",
                 int(k - temp.start - temp.imageBytes), Describe(c));
            return false;
        }
    const int32_t rounded = RoundedWidth(c.W);
    for (int y = 0; y < c.H; y++) {
        const YcPixel* row = reinterpret_cast<const YcPixel*>(t + temp.start + y * stride);
        for (int x = 0; x < c.W; x++) {
            const YcPixel& in = input[size_t(y) * c.W + x];
            const int32_t want = expected[size_t(y) * c.W + x];
            const int32_t diff = abs(int32_t(row[x].Y) - want);
            // The native reciprocal is approximate (relative error at most 1.5 * 2^-12), the
            // emulated one exact; plus one unit of rounding.
            const double bound = 1.0 + fabs(double(want)) * 1.5 / 4096.0;
            if (diff > totals->largest) totals->largest = diff;
            if (diff != 0) totals->differing++;
            if (double(diff) > bound) {
                Fail("Y at x=%d y=%d is %d, native %d (bound %.2f): %s", x, y, row[x].Y, want,
                     bound, Describe(c));
                return false;
            }
            if (row[x].Cb != in.Cb || row[x].Cr != in.Cr) {
                Fail("Cb/Cr at x=%d y=%d changed: %s", x, y, Describe(c));
                return false;
            }
        }
        // Past W rounded up to 8 the row must keep its guard pattern.
        for (size_t k = size_t(rounded) * 6; k < stride; k++)
            if (reinterpret_cast<const uint8_t*>(row)[k] != GuardValue) {
                Fail("row %d written at pixel %d, past W rounded up to 8: %s", y, int(k / 6),
                     Describe(c));
                return false;
            }
    }
    return true;
}

bool ReadBattery(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        printf("cannot open %s\n", path);
        return false;
    }
    BatteryHeader header{};
    if (fread(&header, sizeof header, 1, file) != 1 || memcmp(header.Magic, "TSVBAT1", 8) != 0) {
        printf("%s: not a battery file\n", path);
        return false;
    }
    const std::vector<CaseRecord> own = BuildBattery(header.MasterSeed);
    printf("battery: %u frames, seed %u\n", header.CaseCount, header.MasterSeed);
    fflush(stdout);
    Check(own.size() == header.CaseCount, "the battery file has this program's case list");

    GroupTotals totals[GroupCount];
    long long allPixels = 0;
    int largest = 0;
    for (uint32_t i = 0; i < header.CaseCount; i++) {
        CaseRecord c{};
        if (fread(&c, sizeof c, 1, file) != 1 || c.Group < 0 || c.Group >= GroupCount || c.W <= 0 ||
            c.H <= 0 || c.Threads < 1 || c.Threads > PoolSize) {
            printf("%s: damaged at case %u\n", path, i);
            Failed++;
            break;
        }
        const size_t count = size_t(c.W) * size_t(c.H);
        std::vector<YcPixel> stored(count), input(count);
        std::vector<int16_t> expected(count);
        if (fread(stored.data(), sizeof(YcPixel), count, file) != count ||
            fread(expected.data(), sizeof(int16_t), count, file) != count) {
            printf("%s: truncated at case %u\n", path, i);
            Failed++;
            break;
        }
        GroupTotals& g = totals[c.Group];
        MakeInput(c, input.data());
        const bool sameCase = i < own.size() && own[i].W == c.W && own[i].H == c.H &&
                              own[i].Seed == c.Seed && own[i].Range == c.Range;
        const bool sameInput = HashPixels(input.data(), count) == c.InputHash &&
                               memcmp(input.data(), stored.data(), count * sizeof(YcPixel)) == 0;
        bool ok;
        if (!sameCase || !sameInput) {
            Fail("input differs from the generator's: %s", Describe(c));
            ok = false;
        } else {
            ok = RunCase(c, input, expected, &g);
        }
        g.frames++;
        g.pixels += (long long)count;
        allPixels += (long long)count;
        if (ok)
            Passed++;
        else
            Failed++, g.failed++;
        if (PoolBroken) break;
    }
    fclose(file);
    for (int group = 0; group < GroupCount; group++) {
        const GroupTotals& g = totals[group];
        char detail[160];
        snprintf(detail, sizeof detail, "%d frames, %lld pixels, %lld Y differ, largest |dY| %d",
                 g.frames, g.pixels, g.differing, g.largest);
        GroupLine(GroupName(group), g.failed == 0, detail);
        if (g.largest > largest) largest = g.largest;
    }
    printf("battery total: %u frames, %lld pixels, largest Y difference from the native build %d\n",
           header.CaseCount, allPixels, largest);
    return true;
}

// Prints the closing line and ends the process. Pool threads still waiting (an early stop)
// are ended by TerminateProcess; after a complete run there are none.
[[noreturn]] void Finish(bool poolRunning) {
    printf("%d passed, %d failed\n", Passed, Failed);
    fflush(stdout);
    fflush(stderr);
    const UINT code = Failed == 0 ? 0 : 1;
    if (poolRunning) TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) {
        printf("usage: tessival_win32_host BATTERY.bin\n");
        Failed++;
        Finish(false);
    }
    HMODULE module = LoadLibraryA("tessival.auf");
    if (!Check(module != nullptr, "LoadLibrary(\"tessival.auf\")")) Finish(false);
    const void* getFilterTable =
        reinterpret_cast<const void*>(GetProcAddress(module, "GetFilterTable"));
    if (!Check(getFilterTable != nullptr, "GetProcAddress(GetFilterTable)")) Finish(false);
    const void* decorated =
        reinterpret_cast<const void*>(GetProcAddress(module, "_GetFilterTable"));
    Check(decorated == nullptr, "no decorated _GetFilterTable export");
    TableWords = reinterpret_cast<const uint32_t*>(
        uintptr_t(uint32_t(CallShifted(getFilterTable, NextShift(), 0, nullptr))));
    if (!Check(TableWords != nullptr, "GetFilterTable returns a table")) Finish(false);
    GroupLine("module load", Failed == 0, "LoadLibrary, GetProcAddress, GetFilterTable");

    // The instance as a host builds it: descriptor words 0 to 16, then the host's own words.
    memcpy(InstanceWords, TableWords, 17 * sizeof(uint32_t));
    const int32_t* defaults = reinterpret_cast<const int32_t*>(uintptr_t(TableWords[6]));
    const int32_t* checkDefaults = reinterpret_cast<const int32_t*>(uintptr_t(TableWords[11]));
    TrackValues[0] = defaults[0];
    TrackValues[1] = defaults[1];
    CheckValues[0] = checkDefaults[0];
    HostFunctionSlots[25] = reinterpret_cast<void*>(IsFilterActive);
    HostFunctionSlots[51] = reinterpret_cast<void*>(RunOnAllThreads);
    InstanceWords[17] = uint32_t(uintptr_t(TrackValues));
    InstanceWords[18] = uint32_t(uintptr_t(CheckValues));
    InstanceWords[24] = uint32_t(uintptr_t(HostFunctionSlots));

    CheckDescriptor(getFilterTable);
    if (!Check(StartPool(), "start 8 worker threads one at a time")) Finish(true);
    CheckCallbacks();
    ReadBattery(argv[1]);
    if (PoolBroken) Finish(true);
    const int before = Failed;
    Check(CallExit() == 1, "Exit after the battery returns 1");
    Check(StopPool(), "the 8 worker threads end");
    // Unloaded before the closing line: whatever happens after it is not the module's doing.
    Check(FreeLibrary(module) != 0, "FreeLibrary(tessival.auf)");
    GroupLine("shutdown", Failed == before, "Exit, threads ended, FreeLibrary");
    Finish(false);
}
