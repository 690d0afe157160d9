// temporal_api.h: the temporal mode, as the Linux library offers it to its own hosts
//
// The Windows module exports GetFilterTable and nothing else; the editor's plug-in filters one
// frame at a time and never sees this mode. The Linux library (libtessival.so) also exports
// GetTemporalTable, which the program and other Linux hosts look up beside GetFilterTable. The
// mode shares the spatial module's engine (staging, the patch kernel, the fast exponential and
// the coefficient of Strength) but none of its state: its record and every buffer live in one
// block that the caller allocates, so the module's BandJob and scratch block are untouched.
//
// A clip goes through in shots. Push hands over the next frame of the shot; frame t comes back
// once frame t+N has been pushed. Finish ends the shot: each call writes out one of the frames
// still held (they meet no later frame), and returns 0 when none is left. The next Push starts a
// new shot, so a caller that finds a scene cut calls Finish until it returns 0 and goes on.
// Output: only the Y of each of the W x H pixels is written; Cb and Cr are left as they are.
// A frame that meets another frame of its shot counts each pixel's own value with weight 0.375
// (the spatial filter's is 1.0); a frame alone in its shot comes out as the spatial filter
// gives it.
//
// Motion: PushMoved also takes the new frame's global motion relative to the previous frame,
// in whole pixels (what lies at (y, x) in the previous frame lies at (y + motionY, x + motionX)
// in the new one). The window of a pixel in a later frame is then centred on the pixel moved by
// the motion between the two frames (for two frames apart, the sum of the two vectors). Each
// component is clamped to TemporalMotionBound(Range) pixels, at a frame's entry and again after
// a sum. Push is PushMoved with no motion.
//
// Planes: PushPlane and FinishPlane do the same with planes of 16-bit Y samples (the values an
// image's Y would hold), two bytes a pixel instead of six, for hosts that hold luma as a plane.
// A shot may mix images and planes; the results are the same Y bit for bit.
//
// Regions: SetField gives the next frame pushed (by any Push entry) a vector per region of the
// frame (Regions says how the frame is cut), relative to the previous frame like the global
// motion. A region is Rows image rows (the last band fewer) by Columns columns of one of eight
// strips: region (band * 8 + s) * Chunks + c holds rows band * Rows on, columns s * StripWidth
// + c * Columns on, up to the strip's end and W. Where a region's vector for a pair of frames
// (the sum over the frames between, clamped as above) differs from the global one, the
// region's pixels in the earlier frame also meet the window around their position moved by the
// region's vector, at every offset outside the global window; such a pair needs both ends in
// the frames, the later end in the same strip. Each pair is still counted once, both ends
// credited. A frame pushed without a field has the global motion in every region.
#pragma once

#include <stdint.h>

#include "host_api.h"

struct TemporalSetup {
    int32_t W, H;        // frame size, 1 or more
    int32_t Range;       // 1 to 4
    int32_t Strength;    // 1 to 100
    int32_t Gaussian;    // nonzero: Gaussian patch weighting
    int32_t Neighbours;  // N, 1 or 2: frames t-N to t+N are searched
    int32_t Threads;     // the most threads the host's RunOnAllThreads runs, 1 to 256
};

// The largest motion per axis the window follows: the window's reach, range plus motion, is 8.
static inline int32_t TemporalMotionBound(int32_t range) {
    return 8 - range;
}

// How SetField's field cuts the frame into regions.
struct TemporalRegions {
    int32_t Rows;        // image rows of a band of regions
    int32_t Bands;       // bands
    int32_t StripWidth;  // columns of a strip, 8 strips side by side
    int32_t Columns;     // columns of a region within its strip
    int32_t Chunks;      // regions across a strip
    int32_t Count;       // Bands * 8 * Chunks
};

struct TemporalTable {
    int32_t Version;  // 4: Regions, SetField (3 ends at FinishPlane, 2 at PushMoved, 1 at
                      // Finish)
    // Bytes of the block the setup needs, 0 when the setup is out of range or too large.
    int64_t (*BlockBytes)(const TemporalSetup* setup);
    // Lays the mode out in block (32-byte aligned, BlockBytes long). Returns 1, or 0 when the
    // setup is out of range, the block is misaligned, the processor has no AVX, or the host
    // runs more threads than the setup names.
    int32_t (*Open)(void* block, const TemporalSetup* setup, RunOnAllThreadsFunction run);
    // Takes the next frame of the shot (rows `capacity` pixels apart, capacity >= W). Returns
    // 1 when a frame was finished into out (rows outCapacity pixels apart), 0 when none was
    // ready yet, -1 on a refused call (bad arguments, or a shot still being finished).
    int32_t (*Push)(void* block, const YcPixel* frame, int32_t capacity, YcPixel* out,
                    int32_t outCapacity);
    // Writes out the oldest frame still held: 1 when one was written, 0 when none is left
    // (the shot is over), -1 on bad arguments.
    int32_t (*Finish)(void* block, YcPixel* out, int32_t outCapacity);
    // Push with the frame's motion relative to the previous frame of the shot (ignored for a
    // shot's first frame); same results.
    int32_t (*PushMoved)(void* block, const YcPixel* frame, int32_t capacity, int32_t motionY,
                         int32_t motionX, YcPixel* out, int32_t outCapacity);
    // PushMoved on planes: rows `stride` samples apart (stride >= W). A frame due out goes to
    // out, which must not overlap frame: -1 otherwise.
    int32_t (*PushPlane)(void* block, const int16_t* frame, int32_t stride, int32_t motionY,
                         int32_t motionX, int16_t* out, int32_t outStride);
    // Finish on planes.
    int32_t (*FinishPlane)(void* block, int16_t* out, int32_t outStride);
    // The regions of a setup; 1, or 0 when the setup is out of range.
    int32_t (*Regions)(const TemporalSetup* setup, TemporalRegions* regions);
    // The field of the next frame pushed: Count pairs (y, x), region i at 2i, copied; null for
    // none. 1, or -1 for a block that is not open.
    int32_t (*SetField)(void* block, const int8_t* field);
};

FILTER_EXPORT HOST_ENTRY const TemporalTable* GetTemporalTable();
