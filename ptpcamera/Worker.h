// One camera's own thread. libgphoto2 lets only one thread use a camera and its calls block, so
// every call on a camera runs here; what the module must do about the results is handed back
// as closures that the pump runs on the program's thread.

#pragma once

#include "Layer.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace zarv::ptp {

class Worker {
public:
    using Job = std::function<void(Camera&)>;
    using Result = std::function<void()>;
    // Called on the worker thread for each event the camera reports while idle, and for each
    // wait that ended with none (Timeout).
    using EventHandler = std::function<void(Worker&, Camera&, const CameraEvent&)>;

    Worker(Layer& layer, FoundCamera which, int pollMs);
    ~Worker(); // stops, see stop()

    // Opens the camera on the new thread, then runs `first` there; blocks until both are
    // done. Returns the open's libgphoto2 result.
    int start(const Job& first, EventHandler onEvent);

    // Queues a job; it runs after the jobs before it.
    void post(Job job);
    // Runs a job and waits for its result. Never call from the worker itself.
    int call(const std::function<int(Camera&)>& job);

    // From the worker: hands a closure to the pump.
    void deliver(Result result);
    // From the pump: the closures handed over so far, oldest first.
    std::deque<Result> collect();
    bool hasWork();

    // Whether a result code means the camera has gone; the first such code is reported once
    // through onGone (as a closure for the pump) and the worker stops listening for events.
    bool gone(int code);
    void setOnGone(Result onGone) { onGone_ = std::move(onGone); }

    // Ends the session (the body returns to its own control) and joins the thread. Jobs not
    // yet run are dropped.
    void stop();

private:
    void run(const Job& first, std::promise<int>* opened);

    Layer& layer_;
    const FoundCamera which_;
    const int pollMs_;
    EventHandler onEvent_;
    Result onGone_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::deque<Result> results_;
    bool stopping_ = false;
    bool running_ = false; // a job is in progress
    bool gone_ = false;    // worker thread only
};

} // namespace zarv::ptp
