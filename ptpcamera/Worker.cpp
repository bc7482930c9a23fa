#include "Worker.h"

#include <clocale>
#include <locale.h>
#include <utility>

namespace zarv::ptp {

Worker::Worker(Layer& layer, FoundCamera which, int pollMs, std::shared_ptr<Doorbell> doorbell)
    : layer_(layer), which_(std::move(which)), pollMs_(pollMs), doorbell_(std::move(doorbell)) {}

Worker::~Worker() {
    stop();
}

int Worker::start(const Job& first, EventHandler onEvent) {
    onEvent_ = std::move(onEvent);
    // Shared: the thread may still be inside set_value when this function returns.
    auto opened = std::make_shared<std::promise<int>>();
    std::future<int> result = opened->get_future();
    thread_ = std::thread([this, &first, opened] { run(first, opened.get()); });
    const int rc = result.get();
    if (rc < kGpOk) {
        thread_.join();
        thread_ = {};
    }
    return rc;
}

void Worker::run(const Job& first, std::promise<int>* opened) {
    // Choice labels are matched untranslated, whatever the program's locale is: libgphoto2
    // translates them through this thread's locale.
    const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    if (c)
        uselocale(c);
    std::unique_ptr<Camera> camera;
    const int rc = layer_.open(which_, &camera);
    if (rc >= kGpOk)
        first(*camera);
    opened->set_value(rc);
    if (rc >= kGpOk) {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                if (gone_)
                    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (gone_)
                    idle_ = {};
                if (stopping_)
                    break;
                if (!jobs_.empty()) {
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                }
            }
            if (job) {
                job(*camera);
                continue;
            }
            // One look at the camera's events without waiting in the library, whose waits
            // nothing can cut short; the wait between looks is ours, and a job ends it.
            CameraEvent event;
            const int looked = camera->waitEvent(0, &event);
            if (looked >= kGpOk && event.kind != CameraEvent::Timeout) {
                if (onEvent_)
                    onEvent_(*this, *camera, event);
                continue; // the camera may have more to tell
            }
            if (looked >= kGpOk && onEvent_)
                onEvent_(*this, *camera, event);
            if (looked < kGpOk && gone(looked))
                continue;
            Job idle;
            {
                std::unique_lock lock(mutex_);
                idle = std::exchange(idle_, {});
                if (!idle)
                    wake_.wait_for(lock, std::chrono::milliseconds(pollMs_),
                                   [this] { return stopping_ || !jobs_.empty() || bool(idle_); });
            }
            if (idle)
                idle(*camera);
        }
        // Even a camera that has gone is told: the library frees its side of the session.
        camera->exit();
    }
    camera.reset();
    if (c) {
        uselocale(LC_GLOBAL_LOCALE);
        freelocale(c);
    }
}

void Worker::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

int Worker::call(const std::function<int(Camera&)>& job) {
    auto done = std::make_shared<std::promise<int>>();
    std::future<int> result = done->get_future();
    post([&job, done](Camera& camera) { done->set_value(job(camera)); });
    // A stopped worker drops the job: its promise then breaks.
    try {
        return result.get();
    } catch (const std::future_error&) {
        return kGpIo;
    }
}

void Worker::postIdle(Job job) {
    {
        std::lock_guard lock(mutex_);
        idle_ = std::move(job);
    }
    wake_.notify_all();
}

void Worker::deliver(Result result) {
    {
        std::lock_guard lock(mutex_);
        results_.push_back(std::move(result));
    }
    doorbell_->ring();
}

std::deque<Worker::Result> Worker::collect() {
    std::lock_guard lock(mutex_);
    return std::exchange(results_, {});
}

bool Worker::hasResults() {
    std::lock_guard lock(mutex_);
    return !results_.empty();
}

bool Worker::gone(int code) {
    if (code != kGpIo && code != kGpUsbFind)
        return false;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = !gone_;
        gone_ = true;
    }
    if (first && onGone_)
        deliver(onGone_);
    return true;
}

bool Worker::isGone() {
    std::lock_guard lock(mutex_);
    return gone_;
}

void Worker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
        idle_ = {};
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

int patiently(int retries, const std::function<int()>& call) {
    int rc = call();
    for (int i = 0; rc == kGpCameraBusy && i < retries; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rc = call();
    }
    return rc;
}

} // namespace zarv::ptp
