#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

class QObject;
class QThread;

namespace zarv {

class DispatchTimer;

/// Work queues in the manner of Grand Central Dispatch. A serial queue runs its blocks one at a
/// time, in order, on a thread of its own; the main queue runs them on the Qt main thread (which
/// must run an event loop); the global queue runs them concurrently on Qt's thread pool.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    using Block = std::function<void()>;
    enum class Kind { Serial, Main, Global };

    /// A new serial queue with its own thread. Destroying it runs the blocks already queued,
    /// then stops the thread; delayed blocks not yet due are dropped, and so is everything
    /// still queued when the application object is already gone (at the process's exit).
    static std::shared_ptr<DispatchQueue> createSerial(const QString& label);
    /// The main queue ("com.apple.main-thread"). Needs a QCoreApplication.
    static DispatchQueue& main();
    /// The global concurrent queue.
    static DispatchQueue& global();
    /// The queue running the calling code: the queue whose block this is, the main queue on the
    /// main thread, else null.
    static DispatchQueue* current();

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    QString label() const { return m_label; }
    Kind kind() const { return m_kind; }
    /// True when the calling code runs on this queue.
    bool isCurrent() const;

    /// Queues a block and returns at once.
    void async(Block block);
    /// Queues a block to run once the delay has passed.
    void after(std::chrono::milliseconds delay, Block block);
    /// Runs a block on the queue and waits for it. Called from this very queue, it runs the
    /// block inline instead of deadlocking; on the global queue it runs on the caller's thread.
    void sync(Block block);

    /// A repeating timer whose handler runs on this queue: first after `interval` from now,
    /// then every `interval`, until the timer is cancelled or destroyed. The timer keeps a
    /// serial queue alive.
    std::shared_ptr<DispatchTimer> createTimer(std::chrono::nanoseconds interval, Block handler);

private:
    DispatchQueue(Kind kind, const QString& label);
    void run(const Block& block);
    // The serial queue on whose thread this queue's timers tick.
    DispatchQueue& timerQueue();

    Kind m_kind;
    QString m_label;
    QThread* m_thread = nullptr;  // serial queues only
    QObject* m_context = nullptr; // lives on the queue's thread; null for the global queue
};

/// A repeating timer made by DispatchQueue::createTimer. cancel() stops it for good: no
/// firing starts after it returns. Destroying the timer cancels it.
class DispatchTimer {
public:
    ~DispatchTimer();
    void cancel();
    bool isCancelled() const { return m_state->cancelled.load(); }

private:
    friend class DispatchQueue;
    struct State {
        std::atomic<bool> cancelled{false};
        QObject* timer = nullptr; // touched only on the ticking queue's thread
    };
    DispatchTimer() : m_state(std::make_shared<State>()) {}
    std::shared_ptr<State> m_state;
    DispatchQueue* m_ticking = nullptr;         // where the QTimer lives
    std::shared_ptr<DispatchQueue> m_keepAlive; // the serial queue, if any, it depends on
};

} // namespace zarv
