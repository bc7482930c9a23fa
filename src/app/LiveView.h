#pragma once

#include "session/LiveViewFrame.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zarv {

class CameraSession;
class DispatchQueue;
class DispatchTimer;

/// The camera's live view for whoever shows it: started while anyone holds it (the window's
/// view, a script), its frames read on the camera queue between the idle turns and the saves
/// (a waiting save always goes first), the newest frame handed on. One frame waits at most: a
/// frame nobody took before the next is dropped, never queued.
///
/// hold, release, grabFrame, takeFrame and the readers may be called from any thread; the
/// answers and grabFrame's `done` run on the camera queue; the signals reach receivers on their
/// own threads (queued).
class LiveView : public QObject {
    Q_OBJECT
public:
    /// Who wants live view; it runs while any of them holds it.
    enum Holder : unsigned {
        WindowHolder = 1, ///< the window's Live View tab is on screen
        RemoteHolder = 2, ///< a script asked for it (zarvctl liveview start)
        FrameHolder = 4,  ///< a frame was asked for while it was not running
    };
    enum class State { Stopped, Running, Refused };

    struct Hooks {
        DispatchQueue* cameraQueue = nullptr;
        /// The current session, or null; camera queue.
        std::function<std::shared_ptr<CameraSession>()> session;
        /// A picture waits to be saved; camera queue.
        std::function<bool()> saveWaiting;
        /// Between two frame reads.
        int pollMs = 4;
    };
    /// Whether a start worked, and the camera's reasons when it did not.
    using Answer = std::function<void(bool started, const QString& why)>;
    using FrameDone = std::function<void(std::optional<LiveViewFrame> frame, const QString& why)>;

    explicit LiveView(Hooks hooks, QObject* parent = nullptr);
    /// Stops reading, waiting for the camera queue; the camera itself is stopped by release()
    /// or by closing it.
    ~LiveView() override;
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    /// Starts live view for `holder` (when it does not run yet); `answer` tells how that went.
    void hold(Holder holder, Answer answer = {});
    /// Stops live view when nobody else holds it.
    void release(Holder holder);
    /// Stops live view whoever holds it (the program ends).
    void releaseAll();
    /// The next frame read after now, live view started for it when it does not run; none, with
    /// the reason, when it cannot start or no frame comes within `patienceMs`.
    void grabFrame(FrameDone done, int patienceMs = 5000);
    /// The frame waiting for the window, if any; taking it makes room for the next.
    std::optional<LiveViewFrame> takeFrame();

    /// Moves the camera's focus (clamped to its range); nothing happens without a focus
    /// position.
    void setFocus(double value);
    /// The focus position read when live view started, where the camera lets it move.
    std::optional<LiveViewFocus> focus() const;

    State state() const;
    /// Why it stopped or was refused; empty while it runs or when nobody asked.
    QString stateText() const;
    uint64_t framesRead() const;
    /// Frames replaced in the waiting slot before anyone took them.
    uint64_t framesDropped() const;

signals:
    void stateChanged();
    /// A frame waits in the slot that was empty.
    void frameReady();

private:
    struct FrameWaiter {
        uint64_t id;
        FrameDone done;
    };
    // Camera queue: start or stop to match the holders.
    void apply();
    void tick();
    void deliver(LiveViewFrame frame);
    void ended(State state, const QString& why);
    void setState(State state, const QString& why);
    void answerAll(bool started, const QString& why);
    void expireWaiter(uint64_t id);
    // Runs `block` on the camera queue unless this is gone by then.
    void onCameraQueue(std::function<void()> block, int delayMs = 0);

    Hooks m_hooks;
    // Read and cleared on the camera queue only, so a block queued before the end sees it.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    mutable QMutex m_mutex; // guards everything below
    unsigned m_holders = 0;
    std::vector<Answer> m_answers;
    std::vector<FrameWaiter> m_waiters;
    uint64_t m_nextWaiter = 1;
    std::optional<LiveViewFrame> m_waiting;
    std::optional<LiveViewFocus> m_focus;
    State m_state = State::Stopped;
    QString m_stateText;
    uint64_t m_framesRead = 0;
    uint64_t m_framesDropped = 0;
    std::shared_ptr<DispatchTimer> m_timer;
    bool m_running = false; // camera queue only
    int m_failures = 0;     // camera queue only: reads failed in a row
};

} // namespace zarv
