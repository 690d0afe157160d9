// temporal_stage.cpp: frames of a shot in and out of the temporal mode, cuts, the last frames
#include "temporal_stage.h"

#include <utility>

#include "../noise/shot_tracker.h"
#include "../noise/temporal_calibration.h"
#include "auto_strength.h"
#include "motion.h"
#include "options.h"
#include "scene_cut.h"

// (Re)opens the mode's block at module strength `module`: at the start of a shot, so nothing
// held is lost.
static bool OpenBlock(TemporalFilter* t, int module) {
    SubstituteHost& host = *t->Filter->Host;
    const TemporalSetup setup{
        t->W,          t->H,          t->Settings.Range, module, t->Settings.Gaussian ? 1 : 0,
        t->Neighbours, host.Threads()};
    host.Bind();
    if (t->Table->Open(t->Block, &setup, host.Functions().RunOnAllThreads) != 1) return false;
    t->ModuleStrength = module;
    return true;
}

bool OpenTemporalFilter(TemporalFilter* t, LumaFilter* filter, const FilterSettings& settings,
                        int neighbours, const Y4mFormat& format, std::string* error) {
    SubstituteHost& host = *filter->Host;
    auto get = reinterpret_cast<const TemporalTable* (*)()>(host.Symbol("GetTemporalTable"));
    t->Table = get != nullptr ? get() : nullptr;
    if (t->Table == nullptr || t->Table->Version < 2) {
        *error =
            "the filter module has no temporal mode (GetTemporalTable); it is older than "
            "this program";
        return false;
    }
    const int W = format.Width, H = format.Height;
    // The block's size does not depend on the strength.
    const TemporalSetup setup{
        W, H, settings.Range, 40, settings.Gaussian ? 1 : 0, neighbours, host.Threads()};
    const int64_t bytes = t->Table->BlockBytes(&setup);
    if (bytes <= 0) {
        *error = "the temporal mode cannot take frames of " + std::to_string(W) + "x" +
                 std::to_string(H);
        return false;
    }
    t->Storage.assign(size_t(bytes) + 128, 0);
    const uintptr_t base = reinterpret_cast<uintptr_t>(t->Storage.data());
    t->Block = t->Storage.data() + ((128 - base % 128) % 128);
    t->Filter = filter;
    t->Settings = settings;
    t->Format = &format;
    t->Neighbours = neighbours;
    t->Planes = t->Table->Version >= 3;
    t->W = W;
    t->H = H;
    const ModuleStrength fixed = SplitStrength(settings.Strength);
    if (!OpenBlock(t, fixed.Strength)) {
        __builtin_cpu_init();
        *error = __builtin_cpu_supports("avx")
                     ? "the filter module refused the temporal mode's setup"
                     : "the filter module needs a processor with AVX, and this one has none";
        return false;
    }
    t->Strength = settings.Strength;
    t->ScaleBits = fixed.ScaleBits;
    t->Measures = FrameMeasures{};
    t->Measures.Bound = TemporalMotionBound(settings.Range);
    // The noise is measured from the frames unless --sigma gives it.
    t->LeadFrames =
        settings.AutoStrength && settings.Sigma < 0 ? ShotTrackerSettings().LeadFrames : 0;
    t->Lead.clear();
    t->LeadNoise.clear();
    if (t->Table->Version >= 4) t->Table->Regions(&setup, &t->Measures.Regions);
    return true;
}

int TemporalStageHold(const TemporalFilter& t) {
    return t.Neighbours + 1 + t.LeadFrames;
}

// At the start of a shot: its strength, when automatic from the given --sigma or from the
// median noise and detail of the frames measured in Lead.
static bool StartShot(TemporalFilter* t) {
    if (!t->Settings.AutoStrength) return true;
    const int bits = t->Format->Bits;
    // A given --sigma says nothing of the picture's detail: the curve for busy pictures.
    double sigma = t->Settings.Sigma, detail = -1;
    if (sigma < 0) {
        // Frames with no usable block (black, flat) do not vote; with no vote at all, 0.
        std::vector<double> sigmas, details;
        for (const NoiseEstimate& e : t->LeadNoise)
            if (e.BlocksUsed > 0) {
                sigmas.push_back(e.Sigma);
                details.push_back(e.Detail);
            }
        sigma = Median(sigmas);
        detail = Median(details);
    }
    const int strength =
        TemporalStrengthForNoise(sigma, detail, bits, t->Settings.Range, t->Settings.Gaussian);
    const ModuleStrength split = SplitStrength(strength);
    t->Sigma = sigma;
    t->Strength = strength;
    t->ScaleBits = split.ScaleBits;
    return split.Strength == t->ModuleStrength || OpenBlock(t, split.Strength);
}

// Finishes one held frame into the oldest held item's image or plane; false when none is left.
static bool FinishOne(TemporalFilter* t, std::vector<StreamItem*>* ready) {
    if (t->Held.empty()) return false;
    StreamItem& due = *t->Held.front();
    const int32_t done = due.OnPlane
                             ? t->Table->FinishPlane(t->Block, due.Plane.Samples, due.Plane.Stride)
                             : t->Table->Finish(t->Block, due.Image.Pixels, due.Image.Capacity);
    if (done != 1) return false;
    ready->push_back(t->Held.front());
    t->Held.pop_front();
    return true;
}

static void FinishShot(TemporalFilter* t, std::vector<StreamItem*>* ready) {
    while (FinishOne(t, ready)) {
    }
}

void MeasureStage(FrameMeasures* m, const Y4mFormat& format, StreamItem* item) {
    const LumaPlane plane{item->Frame.Data.data(), format.Bits > 8 ? 2 : 1, format.Width,
                          format.Width, format.Height};
    SumFrame(plane, m->Bound, &m->NextSums);
    MeasureCut(plane, format.Bits, &m->NextCut);
    item->Motion = GlobalMotion{};
    item->Cut = false;
    item->Field.clear();
    if (m->Regions.Count > 0) TakeRegionPlanes(plane, &m->NextPlanes);
    if (m->HavePrevious) {
        item->Cut = IsSceneCut(m->Cut, m->NextCut);
        if (!item->Cut) item->Motion = EstimateMotion(m->Sums, m->NextSums, plane);
        if (!item->Cut && m->Regions.Count > 0)
            EstimateRegions(m->Planes, m->NextPlanes, item->Motion, m->Bound, m->Regions,
                            &item->Field);
    }
    std::swap(m->Sums, m->NextSums);
    std::swap(m->Cut, m->NextCut);
    std::swap(m->Planes, m->NextPlanes);
    m->HavePrevious = true;
}

// Turns item into the end of the run with code ExitNoFilter and `message`, after every frame
// done before it.
static void EndWith(TemporalFilter* t, StreamItem* item, const std::string& message,
                    std::vector<StreamItem*>* ready) {
    FinishShot(t, ready);
    item->End = true;
    item->Code = ExitNoFilter;
    item->Message = message;
    ready->push_back(item);
}

// Pushes the next frame of the current shot; false when the mode refused it (item is then the
// end of the run).
static bool PushFrame(TemporalFilter* t, StreamItem* item, std::vector<StreamItem*>* ready) {
    // The reader handed the luma over at the scale it knew; the shot's strength may need another.
    if (item->ScaleBits != t->ScaleBits) ToHostStage(*t->Format, item, t->ScaleBits);
    if (t->Settings.AutoStrength) {
        item->Sigma = t->Sigma;
        item->Strength = t->Strength;
    }
    // The window in this frame follows the picture's motion since the previous frame of the
    // shot; the first frame of a shot has none to follow.
    const GlobalMotion motion = t->Held.empty() ? GlobalMotion{} : item->Motion;
    // The frame that leaves now, if one does, is the oldest held; its result replaces its own
    // luma, which the mode no longer reads.
    StreamItem* due = t->Held.empty() ? nullptr : t->Held.front();
    // Regions that move otherwise than the picture get their own window too.
    if (!t->Held.empty() && !item->Field.empty() && t->Table->Version >= 4)
        t->Table->SetField(t->Block, item->Field.data());
    int32_t pushed;
    if (item->OnPlane)
        pushed = t->Table->PushPlane(t->Block, item->Plane.Samples, item->Plane.Stride, motion.Y,
                                     motion.X, due ? due->Plane.Samples : nullptr,
                                     due ? due->Plane.Stride : 0);
    else
        pushed = t->Table->PushMoved(t->Block, item->Image.Pixels, item->Image.Capacity, motion.Y,
                                     motion.X, due ? due->Image.Pixels : nullptr,
                                     due ? due->Image.Capacity : 0);
    if (pushed < 0) {
        // Nothing the caller sends should be refused; hand on what is done and stop here.
        EndWith(t, item, "the filter module refused frame " + std::to_string(item->Number), ready);
        return false;
    }
    if (pushed == 1) {
        ready->push_back(t->Held.front());
        t->Held.pop_front();
    }
    t->Held.push_back(item);
    return true;
}

// Starts the shot whose first frames wait in Lead and pushes them; false when the run ended
// (the last item handed on is then its end).
static bool StartLead(TemporalFilter* t, std::vector<StreamItem*>* ready) {
    std::vector<StreamItem*> lead;
    lead.swap(t->Lead);
    if (lead.empty()) return true;
    const bool started = StartShot(t);
    t->LeadNoise.clear();
    if (!started) {
        // The frames before the refusal are lost with it: the end takes the first one's place.
        EndWith(t, lead.front(), "the filter module refused the temporal mode's setup", ready);
        return false;
    }
    for (StreamItem* item : lead)
        if (!PushFrame(t, item, ready)) return false;
    return true;
}

void TemporalStage(TemporalFilter* t, StreamItem* item, std::vector<StreamItem*>* ready) {
    t->Filter->Host->Bind();
    if (item->End) {
        if (StartLead(t, ready)) {
            FinishShot(t, ready);
            ready->push_back(item);
        }
        return;
    }
    if ((!t->Held.empty() || !t->Lead.empty()) && item->Cut) {
        t->Cuts++;
        if (!StartLead(t, ready)) return;
        FinishShot(t, ready);
    }
    const bool measuring = t->LeadFrames > 0 && t->Held.empty();
    if (!measuring) {
        if (t->Held.empty() && !StartShot(t)) {
            EndWith(t, item, "the filter module refused the temporal mode's setup", ready);
            return;
        }
        PushFrame(t, item, ready);
        return;
    }
    t->Lead.push_back(item);
    t->LeadNoise.push_back(MeasureFrameNoise(*t->Format, item->Frame.Data.data()));
    if (int(t->Lead.size()) >= t->LeadFrames) StartLead(t, ready);
}
