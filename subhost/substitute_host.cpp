// substitute_host.cpp: load the module, hold its controls and images, run workers on N threads
#include "substitute_host.h"

#include <dlfcn.h>
#include <string.h>

// The host whose call into the filter is in progress on this thread; the host services find
// their host through it.
static thread_local SubstituteHost* CallingHost = nullptr;

static int32_t RunOnAllThreadsService(WorkerFunction fn, void* first, void* second) {
    if (CallingHost != nullptr) CallingHost->RunOnAll(fn, first, second);
    return 1;
}

static int32_t IsFilterActiveService(FilterInstance*) {
    return CallingHost != nullptr && CallingHost->IsActive() ? 1 : 0;
}

SubstituteHost::SubstituteHost(int threads) {
    functions_.IsFilterActive = IsFilterActiveService;
    functions_.RunOnAllThreads = RunOnAllThreadsService;
    StartThreads(threads);
}

SubstituteHost::~SubstituteHost() {
    // A host shutting down tells the filter, which releases its scratch block.
    if (table_ != nullptr) Exit();
    StopThreads();
    if (library_ != nullptr) dlclose(library_);
}

bool SubstituteHost::Load(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        if (error) *error = dlerror();
        return false;
    }
    auto get = reinterpret_cast<FilterTable* (*)()>(dlsym(library, "GetFilterTable"));
    if (get == nullptr) {
        if (error) *error = path + ": no GetFilterTable";
        dlclose(library);
        return false;
    }
    if (library_ != nullptr) dlclose(library_);
    library_ = library;
    Attach(get());
    auto planes = reinterpret_cast<const PlaneTable* (*)()>(dlsym(library, "GetPlaneTable"));
    planes_ = planes != nullptr ? planes() : nullptr;
    if (planes_ != nullptr && planes_->Version < 1) planes_ = nullptr;
    return true;
}

void* SubstituteHost::Symbol(const char* name) const {
    return library_ != nullptr ? dlsym(library_, name) : nullptr;
}

void SubstituteHost::Attach(const FilterTable* table) {
    table_ = table;
    planes_ = nullptr;
    instance_ = FilterInstance{};
    // Words 0 to 16 of the descriptor, then the host's own words.
    memcpy(&instance_, table, offsetof(FilterTable, HostOwned));
    trackValues_[0] = table->TrackDefaults[0];
    trackValues_[1] = table->TrackDefaults[1];
    checkValues_[0] = table->CheckDefaults[0];
    instance_.TrackValues = trackValues_;
    instance_.CheckValues = checkValues_;
    instance_.Functions = &functions_;
    CallUpdate();
}

void SubstituteHost::SetControls(int range, int strength, bool gaussian) {
    SetRawControls(range, strength, gaussian);
    CallUpdate();
}

void SubstituteHost::SetRawControls(int range, int strength, bool gaussian) {
    trackValues_[0] = range;
    trackValues_[1] = strength;
    checkValues_[0] = gaussian ? 1 : 0;
}

void SubstituteHost::CallUpdate() {
    Enter();
    if (instance_.Update) instance_.Update(&instance_, 0);
}

void SubstituteHost::SetThreads(int threads) {
    if (threads == Threads()) return;
    StopThreads();
    StartThreads(threads);
}

void SubstituteHost::AllocateImages(int W, int H, int capacity, int offset) {
    const size_t rows = H > 0 ? size_t(H) : 0;
    const size_t columns = capacity > 0 ? size_t(capacity) : 0;
    imageBytes_ = rows * columns * sizeof(YcPixel);
    YcPixel* pointers[2];
    for (int i = 0; i < 2; i++) {
        images_[i].assign(imageBytes_ + 2 * GuardBytes + 128, GuardValue);
        const uintptr_t base = reinterpret_cast<uintptr_t>(images_[i].data()) + GuardBytes;
        const uintptr_t start = ((base + 63) & ~uintptr_t(63)) + uintptr_t(offset & 63);
        imageOffset_[i] = start - reinterpret_cast<uintptr_t>(images_[i].data());
        pointers[i] = reinterpret_cast<YcPixel*>(start);
    }
    external_ = false;
    frame_ = FrameInfo{};
    frame_.Edit = pointers[0];
    frame_.Temp = pointers[1];
    frame_.Width = W;
    frame_.Height = H;
    frame_.Capacity = capacity;
}

void SubstituteHost::UseImages(YcPixel* edit, YcPixel* temp, int W, int H, int capacity) {
    external_ = true;
    frame_ = FrameInfo{};
    frame_.Edit = edit;
    frame_.Temp = temp;
    frame_.Width = W;
    frame_.Height = H;
    frame_.Capacity = capacity;
}

YcPixel* SubstituteHost::Row(YcPixel* image, int y) const {
    return image + size_t(y) * size_t(frame_.Capacity);
}

bool SubstituteHost::GuardsIntact() const {
    for (int i = 0; i < 2; i++) {
        const std::vector<uint8_t>& image = images_[i];
        for (size_t k = 0; k < imageOffset_[i]; k++)
            if (image[k] != GuardValue) return false;
        for (size_t k = imageOffset_[i] + imageBytes_; k < image.size(); k++)
            if (image[k] != GuardValue) return false;
    }
    return true;
}

int32_t SubstituteHost::Process() {
    Enter();
    return instance_.ProcessFrame ? instance_.ProcessFrame(&instance_, &frame_) : 0;
}

int32_t SubstituteHost::ProcessPlane(const int16_t* source, int16_t* destination, int W, int H,
                                     int stride) {
    if (planes_ == nullptr) return -1;
    Enter();
    const PlaneFrame frame{W, H, stride, source, destination};
    return planes_->ProcessPlane(&instance_, &frame);
}

int16_t* SubstituteHost::PlaneScratch(int which, size_t samples) {
    std::vector<int16_t>& plane = planeScratch_[which];
    if (plane.size() < samples) plane.resize(samples);
    return plane.data();
}

int32_t SubstituteHost::Exit() {
    Enter();
    return instance_.Exit ? instance_.Exit(&instance_) : 0;
}

int32_t SubstituteHost::Init() {
    Enter();
    return instance_.Init ? instance_.Init(&instance_) : 0;
}

int32_t SubstituteHost::SendSwitchMessage() {
    Enter();
    return instance_.WindowProc
               ? instance_.WindowProc(nullptr, FilterSwitchedMessage, 0, 0, nullptr, &instance_)
               : 0;
}

void SubstituteHost::Enter() {
    CallingHost = this;
}

void SubstituteHost::RunOnAll(WorkerFunction fn, void* first, void* second) {
    if (RunOverride) {
        RunOverride(fn, first, second);
        return;
    }
    RunOnPool(fn, first, second);
}

// Row range of thread `index` of `count`: rows * index / count onwards.
static void RowRangeWorker(int32_t index, int32_t count, void* first, void* second) {
    const int rows = *static_cast<const int*>(second);
    const int y0 = int(int64_t(rows) * index / count),
              y1 = int(int64_t(rows) * (index + 1) / count);
    if (y0 < y1) (*static_cast<const std::function<void(int, int)>*>(first))(y0, y1);
}

void SubstituteHost::RunRows(int rows, int width, const std::function<void(int y0, int y1)>& fn) {
    if (rows <= 0) return;
    if (count_ <= 1 || rows < 2 || int64_t(rows) * width < (int64_t(1) << 16)) {
        fn(0, rows);
        return;
    }
    RunOnPool(RowRangeWorker, const_cast<std::function<void(int, int)>*>(&fn), &rows);
}

void SubstituteHost::RunOnPool(WorkerFunction fn, void* first, void* second) {
    std::unique_lock<std::mutex> lock(mutex_);
    fn_ = fn;
    first_ = first;
    second_ = second;
    remaining_ = count_;
    generation_++;
    start_.notify_all();
    done_.wait(lock, [this] { return remaining_ == 0; });
}

void SubstituteHost::StartThreads(int threads) {
    if (threads < 1) threads = 1;
    quit_ = false;
    count_ = threads;
    for (int i = 0; i < threads; i++)
        workers_.emplace_back(&SubstituteHost::WorkerLoop, this, i, generation_);
}

void SubstituteHost::StopThreads() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        generation_++;
    }
    start_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
}

void SubstituteHost::WorkerLoop(int index, uint64_t seen) {
    for (;;) {
        WorkerFunction fn;
        void *first, *second;
        int count;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            start_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (quit_) return;
            fn = fn_;
            first = first_;
            second = second_;
            count = count_;
        }
        fn(index, count, first, second);
        std::lock_guard<std::mutex> lock(mutex_);
        if (--remaining_ == 0) done_.notify_all();
    }
}
