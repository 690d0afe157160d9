// battery.h: the frames of the Windows battery, their inputs, and the file that carries them
//
// The native generator and the Windows host both build the battery from this file: the cases
// come from one list and every input from one seeded PRNG, so the two sides filter the same
// frames. The generator writes the cases, the inputs and the native outputs to a battery file;
// the Windows host reads it, regenerates each input, checks that it matches the stored one, and
// compares its own output with the stored Y.
//
// Battery file (little-endian):
//   BatteryHeader, then for each case a CaseRecord, the input (W*H YcPixel, row-major, no
//   padding) and the native Y (W*H int16).
#pragma once

#include <stdint.h>
#include <stddef.h>

#include <vector>

#include "../../host/host_api.h"

// What the host does just before a frame, to exercise the callbacks between frames.
enum FrameAction : int32_t {
    NoAction = 0,
    ExitBefore = 1,           // Exit: the scratch block is released, the frame plans again
    SwitchOffBefore = 2,      // message 1133 while IsFilterActive says off: scratch released
    SwitchOnBefore = 3,       // message 1133 while still active: nothing released
    SwitchOffTwiceBefore = 4  // message 1133 twice while off: released once
};

// Input contents.
enum Content : int32_t {
    NoisyGradient = 0,  // a 0..4095 gradient with noise of +-64
    FullRange = 1,      // every Y uniform over the signed 16-bit range
    FlatSpikes = 2,     // one flat level with single spikes at the 16-bit limits
    NearLimits = 3,     // Y within 800 of +32767 on the left half, of -32768 on the right
    Smooth = 4          // a gentle wave plus small noise
};

enum BatteryGroup : int32_t {
    MatrixGroup,
    NarrowGroup,
    StrengthGroup,
    ThreadGroup,
    LayoutGroup,
    AdversarialGroup,
    LifecycleGroup,
    GroupCount
};

const char* GroupName(int32_t group);

struct CaseRecord {
    int32_t Group;
    int32_t W, H;
    int32_t Capacity;  // pixels per row, at least W
    int32_t Offset;    // bytes past a 64-byte boundary where row 0 starts (even)
    int32_t Range;
    int32_t Gaussian;  // check box value
    int32_t Strength;
    int32_t Threads;
    int32_t Content;
    int32_t Action;
    uint32_t Seed;       // input PRNG seed
    uint32_t InputHash;  // FNV-1a of the input pixels
};

struct BatteryHeader {
    char Magic[8];  // "TSVBAT1\0"
    uint32_t MasterSeed;
    uint32_t CaseCount;
};

// The battery's cases for a master seed, in running order.
std::vector<CaseRecord> BuildBattery(uint32_t masterSeed);

// Fills W*H pixels of a case's input from its seed and content.
void MakeInput(const CaseRecord& c, YcPixel* pixels);

uint32_t HashPixels(const YcPixel* pixels, size_t count);

// W rounded up to 8: the write-back may write whole groups of 8 pixels up to here.
static inline int32_t RoundedWidth(int32_t W) {
    return (W + 7) & ~7;
}
