// A camera's live view between its thread, which fetches the frames, and the program, which
// reads them: only the newest frame is kept, and at most one fetch is under way, so a program
// slower than the body drops frames rather than queueing them. Thread-safe.

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zarv::ptp {

// The frame size a JPEG's start-of-frame header gives; false for bytes that are not a JPEG or
// whose headers end before it.
bool jpegSize(std::string_view jpeg, uint32_t* width, uint32_t* height);

// What libgphoto2 said when live view could not start, as LiveViewWarnings bits: those that
// name the reason, else kLiveViewRefused.
uint32_t liveViewWarningsFor(const std::string& said);
// A reason the warnings have no bit for.
constexpr uint32_t kLiveViewRefused = 0x80000000;

class LiveFeed {
public:
    struct Frame {
        std::string jpeg;
        uint32_t width = 0, height = 0;
        uint64_t sequence = 0; // 1 for the first frame since the start, one more for each after
    };

    // Program side.
    void start(Frame first) {
        std::lock_guard lock(mutex_);
        running_ = true;
        fetching_ = false;
        held_ = false;
        sequence_ = 0;
        read_ = 0;
        newest_ = numbered(std::move(first));
    }
    void stop() {
        std::lock_guard lock(mutex_);
        running_ = false;
        newest_.reset();
    }
    bool running() {
        std::lock_guard lock(mutex_);
        return running_;
    }
    // The newest frame if the program has not read it yet; the caller says when it has.
    std::shared_ptr<const Frame> unread() {
        std::lock_guard lock(mutex_);
        return newest_ && newest_->sequence > read_ ? newest_ : nullptr;
    }
    void markRead(uint64_t sequence) {
        std::lock_guard lock(mutex_);
        read_ = sequence;
    }
    // Whether a fetch should start now: live view runs and none is under way. Marks one so.
    bool claimFetch() {
        std::lock_guard lock(mutex_);
        if (!running_ || fetching_)
            return false;
        fetching_ = true;
        return true;
    }
    // A frame the program was told is too big for its buffer stays the one it reads next.
    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
    }

    // Camera side: the fetch is over, with a frame or without.
    void fetched(Frame* frame) {
        std::lock_guard lock(mutex_);
        fetching_ = false;
        if (frame && running_ && !held_)
            newest_ = numbered(std::move(*frame));
    }

private:
    std::shared_ptr<const Frame> numbered(Frame f) {
        f.sequence = ++sequence_;
        return std::make_shared<const Frame>(std::move(f));
    }

    std::mutex mutex_;
    bool running_ = false, fetching_ = false, held_ = false;
    uint64_t sequence_ = 0, read_ = 0;
    std::shared_ptr<const Frame> newest_;
};

} // namespace zarv::ptp
