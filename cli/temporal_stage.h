// temporal_stage.h: the filter stage of a stream in temporal mode (--temporal N)
//
// In temporal mode frame t is filtered with frames t-N to t+N of its own shot, so it leaves the
// stage once frame t+N has come in: the stage holds up to N + 1 items and hands on the ones
// that are done, in order. A scene cut (IsSceneCut between two consecutive frames) ends the
// shot: the held frames are finished with the neighbours they have before the new shot starts,
// and so are the last frames of the stream when its end item arrives. Otherwise each frame goes
// in with its global motion since the previous one (EstimateMotion), so that the window in
// the neighbouring frames follows a pan. Cuts and motion are measured on the reader's thread
// (MeasureStage), from the frame's own samples, so the filter stage only pushes frames. The
// mode runs in the Linux library (GetTemporalTable, looked up in the loaded module) on the
// host's threads, in a block of its own that holds 2N + 1 frames' worth of staged luma and
// sums at most: memory stays constant whatever the length of the clip.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "../host/temporal_api.h"
#include "../noise/noise_estimate.h"
#include "luma_filter.h"
#include "motion.h"
#include "motion_regions.h"
#include "scene_cut.h"
#include "stream_stages.h"

// What the reader keeps of the previous frame to measure the next one against: the sums and
// samples its motion is matched with, and its block stats for the cut test. Taken from the
// frames' Y samples, which the reader owns (never from the host images, which the filter stage
// may convert again or write its results into), so that the measures do not depend on the
// strength's luma scale nor on how far apart the threads run.
struct FrameMeasures {
    int Bound = 0;  // TemporalMotionBound of the range
    bool HavePrevious = false;
    MotionSums Sums, NextSums;
    CutStats Cut, NextCut;
    // The mode's regions (Count 0: none, the global motion only), and the frames' luma that
    // their vectors are matched on.
    TemporalRegions Regions{};
    RegionPlanes Planes, NextPlanes;
};

struct TemporalFilter {
    LumaFilter* Filter = nullptr;  // the loaded module and its host
    const TemporalTable* Table = nullptr;
    FilterSettings Settings;
    const Y4mFormat* Format = nullptr;  // of the stream: for the noise of a shot's first frame
    int Neighbours = 1;
    int W = 0, H = 0;
    // The strength of the current shot (1..200): the module's control the block was opened
    // with, and the luma scale the shot's frames are handed over at. With the automatic
    // strength each shot gets its own, from the median noise of its first LeadFrames frames (as
    // the spatial filter's shots, noise/shot_tracker.h) and the temporal calibration
    // (noise/temporal_calibration.h).
    int Strength = 0, ModuleStrength = 0, ScaleBits = FilterScaleBits;
    double Sigma = -1;
    std::vector<uint8_t> Storage;  // the mode's block, aligned inside
    void* Block = nullptr;
    // The mode takes planes of Y (a table of version 3 or later): the stream's items then carry
    // their luma as planes rather than images.
    bool Planes = false;
    // Frames pushed and not yet handed on, oldest first. A frame's result goes into its own
    // item's image or plane.
    std::deque<StreamItem*> Held;
    // The automatic strength measured from the frames: the first frames of a shot wait in Lead,
    // with their estimates, until LeadFrames are in (or the shot or the clip ends); then the
    // shot's strength is set from their median and they are pushed.
    int LeadFrames = 0;
    std::vector<StreamItem*> Lead;
    std::vector<NoiseEstimate> LeadNoise;
    long Cuts = 0;  // scene cuts found so far
    // The reader thread's, and only the reader's: MeasureStage.
    FrameMeasures Measures;
};

// Items the temporal stage may hold at once: the frames waiting for later neighbours, and the
// first frames of a shot waiting for its strength.
int TemporalStageHold(const TemporalFilter& temporal);

// Sets the temporal mode up for frames of `format` (W x H) with the settings' Range, strength
// (fixed, or automatic per shot) and patch; false with the reason (a module without the mode,
// a refused setup).
bool OpenTemporalFilter(TemporalFilter* temporal, LumaFilter* filter,
                        const FilterSettings& settings, int neighbours, const Y4mFormat& format,
                        std::string* error);

// On the reader's thread, after ReadStage: the item's Motion and Cut against the previous frame
// read (none for the first), from the Y samples of its frame; keeps its own measures for the
// next one.
void MeasureStage(FrameMeasures* measures, const Y4mFormat& format, StreamItem* item);

// Takes the next item, its luma already in item->Image or item->Plane (ToHostStage) and its
// motion and cut measured (MeasureStage). A frame is pushed (after finishing the shot before it
// at a cut); an end item finishes every held frame. Items that are done, their result in their
// image or plane, and
// the end item last, are appended to *ready in stream order. A refused call turns the item
// into an end (ExitNoFilter).
void TemporalStage(TemporalFilter* temporal, StreamItem* item, std::vector<StreamItem*>* ready);
