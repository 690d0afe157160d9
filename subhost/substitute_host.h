// substitute_host.h: a host for the filter module outside the video editor
//
// Loads the module (or takes a descriptor linked in), builds the FilterInstance as the editor
// does, holds the control values, runs workers on N persistent threads, and owns an edit and a
// temp image with guard bytes around them. Used by the tests, the benchmarks and the
// command-line program. One host at a time per calling thread.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../host/host_api.h"
#include "../host/plane_api.h"

class SubstituteHost {
public:
    explicit SubstituteHost(int threads = 1);
    ~SubstituteHost();
    SubstituteHost(const SubstituteHost&) = delete;
    SubstituteHost& operator=(const SubstituteHost&) = delete;

    // dlopen the module and take its GetFilterTable; false with a reason on failure.
    bool Load(const std::string& path, std::string* error);
    // Another export of the loaded module (the temporal mode's GetTemporalTable, say); null when
    // the module has none or the descriptor was attached rather than loaded.
    void* Symbol(const char* name) const;
    // Use a descriptor directly (the module linked into the program).
    void Attach(const FilterTable* table);
    const FilterTable* Table() const { return table_; }

    // Controls: stored in the instance's track-bar and check-box values; Update is called.
    void SetControls(int range, int strength, bool gaussian);
    int Range() const { return trackValues_[0]; }
    int Strength() const { return trackValues_[1]; }
    bool Gaussian() const { return checkValues_[0] != 0; }
    // Stores raw values without calling Update (as a damaged project would).
    void SetRawControls(int range, int strength, bool gaussian);
    void CallUpdate();

    void SetActive(bool active) { active_ = active; }
    void SetThreads(int threads);
    int Threads() const { return count_; }

    // Replaces RunOnAllThreads for tests that play a faulty host; empty restores the pool.
    std::function<void(WorkerFunction, void*, void*)> RunOverride;

    // Allocates both images: W x H pixels, capacity pixels per row, the first pixel `offset`
    // bytes past a 64-byte boundary (0 gives 16-byte aligned rows when capacity is a multiple
    // of 8), with 256 guard bytes before and after each image. Fills everything with 0x5A.
    void AllocateImages(int W, int H, int capacity, int offset = 0);
    // Points the frame at images the caller owns (same layout rules) instead of the host's own.
    void UseImages(YcPixel* edit, YcPixel* temp, int W, int H, int capacity);
    // False after UseImages, until AllocateImages.
    bool OwnImages() const { return !external_; }
    YcPixel* Edit() const { return frame_.Edit; }
    YcPixel* Temp() const { return frame_.Temp; }
    YcPixel* Row(YcPixel* image, int y) const;
    int Capacity() const { return frame_.Capacity; }
    // True when the bytes before and after both images still hold the guard pattern.
    bool GuardsIntact() const;

    FrameInfo& Frame() { return frame_; }
    FilterInstance& Instance() { return instance_; }
    HostFunctions& Functions() { return functions_; }

    // The callbacks, through the table.
    int32_t Process();
    int32_t Exit();
    int32_t Init();
    int32_t SendSwitchMessage();
    // The Linux library's plane entry (plane_api.h): filters a W x H plane of Y samples (rows
    // `stride` samples apart, in both planes) from source into destination with the module's
    // instance. Returns its result, or -1 when the module has none (linked in, or an older one).
    int32_t ProcessPlane(const int16_t* source, int16_t* destination, int W, int H, int stride);
    bool HasPlanes() const { return planes_ != nullptr; }
    // Plane `which` (0 or 1) of at least `samples` words, kept for FilterPixels' planes.
    int16_t* PlaneScratch(int which, size_t samples);

    // What RunOnAllThreads does: fn on every pool thread, returning when all have finished.
    void RunOnAll(WorkerFunction fn, void* first, void* second);
    // The host's own work spread over its pool: fn(y0, y1) on contiguous row ranges covering
    // 0 .. rows - 1, one range per thread, returning when all are done. Small jobs (rows x width
    // under 64K pixels) and one-thread pools run on the calling thread. Not reentrant, and not
    // from inside a call into the filter.
    void RunRows(int rows, int width, const std::function<void(int y0, int y1)>& fn);
    // Makes this host the one that Functions().RunOnAllThreads reaches from the calling thread.
    // The callbacks above do it themselves; a caller of another entry of the module that takes
    // that service (the temporal mode's table) calls it first.
    void Bind() { Enter(); }
    bool IsActive() const { return active_; }

    static constexpr int GuardBytes = 256;
    static constexpr uint8_t GuardValue = 0x5A;

private:
    void StartThreads(int threads);
    void StopThreads();
    void WorkerLoop(int index, uint64_t seen);
    void Enter();
    void RunOnPool(WorkerFunction fn, void* first, void* second);

    void* library_ = nullptr;
    const PlaneTable* planes_ = nullptr;
    std::vector<int16_t> planeScratch_[2];
    const FilterTable* table_ = nullptr;
    FilterInstance instance_{};
    FrameInfo frame_{};
    HostFunctions functions_{};
    int32_t trackValues_[2] = {1, 40};
    int32_t checkValues_[1] = {1};
    bool active_ = true;
    bool external_ = false;

    std::vector<uint8_t> images_[2];
    size_t imageOffset_[2] = {0, 0};
    size_t imageBytes_ = 0;

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable start_, done_;
    uint64_t generation_ = 0;
    int remaining_ = 0;
    int count_ = 0;
    bool quit_ = false;
    WorkerFunction fn_ = nullptr;
    void* first_ = nullptr;
    void* second_ = nullptr;
};
