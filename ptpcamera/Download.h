// One picture on its way from the camera's thread to the program: the thread reads pieces and
// queues them, the pump hands them to the program's data procedure. Only a few pieces wait at a
// time, so a program slower than the camera bounds the memory a picture costs. Thread-safe.

#pragma once

#include "Worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zarv::ptp {

class Download {
public:
    struct Piece {
        std::shared_ptr<const void> owner; // keeps `bytes` alive
        const char* bytes = nullptr;
        uint64_t size = 0;
    };

    Download(uint64_t size, std::shared_ptr<Doorbell> doorbell, size_t mostWaiting = 4)
        : size_(size), doorbell_(std::move(doorbell)), mostWaiting_(mostWaiting) {}

    uint64_t size() const { return size_; }

    // Camera side. Queues a piece, waiting while the queue is full; false once the download
    // is cancelled or the program has taken nothing for `patience`.
    bool push(Piece piece, std::chrono::milliseconds patience = std::chrono::seconds(30)) {
        {
            std::unique_lock lock(mutex_);
            if (!room_.wait_for(lock, patience,
                                [this] { return cancelled_ || waiting_.size() < mostWaiting_; }))
                cancelled_ = true;
            if (cancelled_)
                return false;
            waiting_.push_back(std::move(piece));
        }
        doorbell_->ring();
        return true;
    }
    // Camera side: the download ended; `failure` is empty when every piece was queued.
    void finish(std::string failure = {}) {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
            failure_ = std::move(failure);
        }
        doorbell_->ring();
    }
    bool cancelled() {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    // Pump side. The next queued piece, if any.
    std::optional<Piece> next() {
        std::optional<Piece> out;
        {
            std::lock_guard lock(mutex_);
            if (waiting_.empty())
                return out;
            out = std::move(waiting_.front());
            waiting_.pop_front();
        }
        room_.notify_all();
        return out;
    }
    // Pump side: whether the camera side has ended (and nothing is left to take), and how.
    bool ended(std::string* failure) {
        std::lock_guard lock(mutex_);
        if (!ended_ || !waiting_.empty())
            return false;
        *failure = failure_;
        return true;
    }
    // Either side: stop; the camera side's next push fails.
    void cancel() {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            waiting_.clear();
        }
        room_.notify_all();
    }

private:
    const uint64_t size_;
    const std::shared_ptr<Doorbell> doorbell_;
    const size_t mostWaiting_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::deque<Piece> waiting_;
    bool ended_ = false;
    bool cancelled_ = false;
    std::string failure_;
};

} // namespace zarv::ptp
