// stream_pipeline.cpp: reader, filter and writer threads of a y4m stream and their bounded queues
#include "stream_pipeline.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "options.h"
#include "temporal_stage.h"

// The signal that asked the run to stop, 0 while none has.
// Set by the handler and read by every stage thread: a lock-free atomic, which a signal
// handler may store to.
static std::atomic<int> Interrupted(0);
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the handler needs a lock-free int");

static void OnInterrupt(int signal) {
    int none = 0;
    Interrupted.compare_exchange_strong(none, signal);
}

// Only there to break a blocking read with EINTR.
static void OnWake(int) {}

// A first-in first-out queue of items holding at most Capacity; Close wakes every waiter and
// makes Push and Pop fail from then on.
struct ItemQueue {
    explicit ItemQueue(size_t capacity) : Capacity(capacity) {}

    bool Push(StreamItem* item) {
        std::unique_lock<std::mutex> lock(Mutex);
        Changed.wait(lock, [&] { return Closed || Items.size() < Capacity; });
        if (Closed) return false;
        Items.push_back(item);
        Changed.notify_all();
        return true;
    }

    // The next item; nullptr once closed, or (polling) once a signal has asked to stop.
    StreamItem* Pop(bool pollInterrupt = false) {
        std::unique_lock<std::mutex> lock(Mutex);
        for (;;) {
            if (Closed) return nullptr;
            if (!Items.empty()) break;
            if (pollInterrupt && Interrupted != 0) return nullptr;
            if (pollInterrupt)
                Changed.wait_for(lock, std::chrono::milliseconds(20));
            else
                Changed.wait(lock);
        }
        StreamItem* item = Items.front();
        Items.pop_front();
        Changed.notify_all();
        return item;
    }

    void Close() {
        std::lock_guard<std::mutex> lock(Mutex);
        Closed = true;
        Changed.notify_all();
    }

    const size_t Capacity;
    std::mutex Mutex;
    std::condition_variable Changed;
    std::deque<StreamItem*> Items;
    bool Closed = false;
};

// Installs the handlers for the run and puts the previous ones back afterwards.
// SIGUSR1 (the reader's wake-up) is always handled; SIGINT and SIGTERM when asked.
struct SignalScope {
    explicit SignalScope(bool interrupts) : Enabled(interrupts) {
        Interrupted = 0;
        struct sigaction action = {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
        action.sa_handler = OnWake;
        sigaction(SIGUSR1, &action, &OldUsr1);
        if (!Enabled) return;
        action.sa_handler = OnInterrupt;
        sigaction(SIGINT, &action, &OldInt);
        sigaction(SIGTERM, &action, &OldTerm);
    }
    ~SignalScope() {
        sigaction(SIGUSR1, &OldUsr1, nullptr);
        if (!Enabled) return;
        sigaction(SIGINT, &OldInt, nullptr);
        sigaction(SIGTERM, &OldTerm, nullptr);
    }
    const bool Enabled;
    struct sigaction OldInt, OldTerm, OldUsr1;
};

static const char* SignalName(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "a signal";
}

StreamResult RunStreamPipeline(const StreamJob& job) {
    SignalScope signals(job.CatchSignals);
    std::vector<std::unique_ptr<StreamItem>> items;
    const int count = PipelineItems + (job.Auto ? StreamStrengthHold(*job.Auto) : 0) +
                      (job.Temporal != nullptr ? TemporalStageHold(*job.Temporal) : 0);
    ItemQueue free{size_t(count)}, toFilter(1), toWriter(1);
    // Luma travels as planes of Y where the module takes them, as images otherwise.
    const bool planes = job.Temporal != nullptr
                            ? job.Temporal->Planes
                            : job.Filter != nullptr && job.Filter->Host->HasPlanes();
    for (int i = 0; i < count; i++) {
        items.emplace_back(new StreamItem);
        items.back()->OnPlane = planes;
        free.Push(items.back().get());
    }
    const auto closeReaderSide = [&] {
        free.Close();
        toFilter.Close();
    };
    const auto abortAll = [&] {
        closeReaderSide();
        toWriter.Close();
    };

    // The automatic strength's measure of each frame is taken on the reader's thread, off the
    // filter's path.
    const bool measure =
        job.Temporal == nullptr && job.Auto != nullptr && StreamStrengthMeasures(*job.Auto);
    std::atomic<bool> readerDone(false);
    std::thread reader([&] {
        for (;;) {
            StreamItem* item = free.Pop();
            if (item == nullptr) break;
            const bool frame = ReadStage(job.Reader, job.InputName, job.Limit, item);
            if (frame) ToHostStage(job.Reader->Format, item, job.ScaleBits);
            if (frame && measure)
                item->Noise = MeasureFrameNoise(job.Reader->Format, item->Frame.Data.data());
            if (frame && job.Temporal != nullptr)
                MeasureStage(&job.Temporal->Measures, job.Reader->Format, item);
            if (!toFilter.Push(item) || !frame) break;
        }
        readerDone = true;
    });

    StreamResult result;
    std::mutex resultMutex;  // the writer sets the result; the calling thread reads it after join
    bool endedCleanly = false;
    std::thread writer([&] {
        // The frame being written is always finished: signals are for the other threads.
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
        FILE* out = job.Out;
        if (job.OpenOut) {
            std::string error;
            out = job.OpenOut(&error);
            if (out == nullptr) {
                std::lock_guard<std::mutex> lock(resultMutex);
                result.Code = ExitWriteFailed;
                result.Message = error;
                abortAll();
                return;
            }
        }
        for (;;) {
            StreamItem* item = toWriter.Pop();
            if (item == nullptr) break;
            if (Interrupted != 0) {
                // Nothing more is written: stop the other stages too, which may be waiting for
                // room in this queue.
                abortAll();
                break;
            }
            std::lock_guard<std::mutex> lock(resultMutex);
            if (item->End) {
                result.Code = item->Code;
                result.Message = item->Message;
                endedCleanly = item->Code == ExitOk;
                break;
            }
            FromHostStage(job.Reader->Format, item);
            std::string error;
            if (!WriteStage(out, job.OutputName, *item, &error)) {
                result.Code = ExitWriteFailed;
                result.Message = error;
                abortAll();
                break;
            }
            result.Written++;
            if (job.Wrote) job.Wrote(result.Written, *item);
            free.Push(item);  // fails harmlessly once the reader is done
        }
    });

    // The filter stage, here on the calling thread (which owns the host). With the automatic
    // strength, frames wait in `held` until the tracker releases them with their strength.
    FilterSpare spare;
    const Y4mFormat& format = job.Reader->Format;
    std::deque<StreamItem*> held;
    // Filters and hands on what the tracker released; false once the run is over (a refused
    // frame, turned into the end, or a writer that has stopped).
    const auto release = [&](const ShotRelease& r) {
        for (int g = 0; g < r.Groups; g++) {
            const int strength = StrengthForGroup(job.Auto, r, g);
            if (strength != job.Filter->Strength) SetLumaStrength(job.Filter, strength);
            for (int k = 0; k < r.Frames[g] && !held.empty(); k++) {
                StreamItem* item = held.front();
                held.pop_front();
                item->Sigma = r.Sigma[g];
                item->Strength = strength;
                // The reader handed the luma over at the scale of the strength it knew.
                if (item->ScaleBits != job.Filter->ScaleBits)
                    ToHostStage(format, item, job.Filter->ScaleBits);
                FilterStage(job.Filter, item, &spare);
                if (!toWriter.Push(item) || item->End) return false;
            }
        }
        return true;
    };
    for (;;) {
        StreamItem* item = toFilter.Pop(job.CatchSignals);
        if (item == nullptr || Interrupted != 0) {
            abortAll();
            break;
        }
        if (job.Temporal != nullptr) {
            // Frames leave the temporal stage once their later neighbours are in.
            std::vector<StreamItem*> ready;
            TemporalStage(job.Temporal, item, &ready);
            bool ended = false;
            for (StreamItem* r : ready) {
                if (ended || !toWriter.Push(r)) {
                    ended = true;
                    break;
                }
                ended = r->End;
            }
            if (ended) break;
            continue;
        }
        if (job.Auto == nullptr) {
            if (!item->End) FilterStage(job.Filter, item, &spare);
            if (!toWriter.Push(item) || item->End) break;
            continue;
        }
        if (item->End) {
            // Every frame still held goes out before the end.
            if (release(FinishTracking(&job.Auto->Tracker))) toWriter.Push(item);
            break;
        }
        held.push_back(item);
        if (!release(TrackStreamFrame(job.Auto, item->Noise))) break;
    }
    closeReaderSide();
    writer.join();
    // A reader blocked on a silent pipe is woken until it notices that the run is over.
    while (!readerDone) {
        pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();

    const int signal = Interrupted;
    if (signal != 0 && !endedCleanly && result.Code != ExitWriteFailed) {
        result.Code = 128 + signal;
        result.Message = std::string("interrupted by ") + SignalName(signal) + "; the " +
                         std::to_string(result.Written) + " complete frame" +
                         (result.Written == 1 ? "" : "s") + " before it " +
                         (result.Written == 1 ? "was" : "were") + " written";
    }
    return result;
}
