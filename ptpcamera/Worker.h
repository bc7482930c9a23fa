// One camera's own thread. libgphoto2 lets only one thread use a camera and its calls block, so
// every call on a camera runs here; what the module must do about the results is handed back
// as closures that the pump runs on the program's thread.

#pragma once

#include "Layer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace zarv::ptp {

// Rung by the cameras' threads whenever they have something for the pump, so that a pump with
// nothing to do yet can wait for it instead of spinning. Thread-safe.
class Doorbell {
public:
    void ring() {
        {
            std::lock_guard lock(mutex_);
            ++rings_;
        }
        rung_.notify_all();
    }
    uint64_t rings() {
        std::lock_guard lock(mutex_);
        return rings_;
    }
    // Waits until it has rung since `seen` was read, or until the time is up.
    void waitAfter(uint64_t seen, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        rung_.wait_for(lock, limit, [&] { return rings_ != seen; });
    }

private:
    std::mutex mutex_;
    std::condition_variable rung_;
    uint64_t rings_ = 0;
};

class Worker {
public:
    using Job = std::function<void(Camera&)>;
    using Result = std::function<void()>;
    // Called on the worker thread for each event the camera reports while idle, and for each
    // wait that ended with none (Timeout).
    using EventHandler = std::function<void(Worker&, Camera&, const CameraEvent&)>;

    // The camera is asked for events every `pollMs` while no job runs; a job posted meanwhile
    // runs at once.
    Worker(Layer& layer, FoundCamera which, int pollMs, std::shared_ptr<Doorbell> doorbell);
    ~Worker(); // stops, see stop()

    // Opens the camera on the new thread, then runs `first` there; blocks until both are
    // done. Returns the open's libgphoto2 result.
    int start(const Job& first, EventHandler onEvent);

    // Queues a job; it runs after the jobs before it, before the camera is asked for events
    // again.
    void post(Job job);
    // Queues a job for the next idle turn: after the queued jobs, and after the camera was
    // asked for events, so that it never delays either. One waits at most; a later one takes
    // its place.
    void postIdle(Job job);
    // Runs a job and waits for its result. Never call from the worker itself.
    int call(const std::function<int(Camera&)>& job);

    // From the worker: hands a closure to the pump.
    void deliver(Result result);
    // From the pump: the closures handed over so far, oldest first.
    std::deque<Result> collect();
    bool hasResults();
    // Rings the pump's doorbell (the closures above ring it themselves).
    void ring() { doorbell_->ring(); }

    // Whether a result code means the camera has gone; the first such code is reported once
    // through onGone (as a closure for the pump) and the worker stops listening for events.
    bool gone(int code);
    bool isGone();
    void setOnGone(Result onGone) { onGone_ = std::move(onGone); }

    // Ends the session (the body returns to its own control) and joins the thread. Jobs not
    // yet run are dropped.
    void stop();

private:
    void run(const Job& first, std::promise<int>* opened);

    Layer& layer_;
    const FoundCamera which_;
    const int pollMs_;
    const std::shared_ptr<Doorbell> doorbell_;
    EventHandler onEvent_;
    Result onGone_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    Job idle_;
    std::deque<Result> results_;
    bool stopping_ = false;
    bool gone_ = false;
};

// Repeats a camera call while the camera says it is busy, up to `retries` times 50 ms apart.
int patiently(int retries, const std::function<int()>& call);

} // namespace zarv::ptp
