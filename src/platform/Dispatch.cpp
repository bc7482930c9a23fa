#include "Dispatch.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace zarv {
namespace {

thread_local DispatchQueue* t_current = nullptr;

// Restores the previous "current queue" even when a block throws.
struct CurrentQueueScope {
    explicit CurrentQueueScope(DispatchQueue* q) : previous(t_current) { t_current = q; }
    ~CurrentQueueScope() { t_current = previous; }
    DispatchQueue* previous;
};

// Timers of the global queue tick here and hand each firing to the thread pool.
DispatchQueue& globalTimerQueue() {
    // Never destroyed: timers may tick until the process ends.
    static auto* q = new std::shared_ptr<DispatchQueue>(
        DispatchQueue::createSerial(QStringLiteral("com.quellbay.zarv.global.timers")));
    return **q;
}

// QTimer counts in int milliseconds, about 24.8 days; longer waits are made of several steps.
constexpr qint64 kLongestStepMs = std::numeric_limits<int>::max();

int nextStepMs(const QDeadlineTimer& deadline) {
    return static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, kLongestStepMs));
}

// Runs `then` on the context's thread once the deadline has passed.
void atDeadline(QObject* context, const QDeadlineTimer& deadline, std::function<void()> then) {
    if (deadline.remainingTime() <= kLongestStepMs) {
        QTimer::singleShot(nextStepMs(deadline), Qt::PreciseTimer, context, std::move(then));
        return;
    }
    QTimer::singleShot(nextStepMs(deadline), Qt::PreciseTimer, context,
                       [context, deadline, then = std::move(then)]() mutable {
                           atDeadline(context, deadline, std::move(then));
                       });
}

} // namespace

DispatchQueue::DispatchQueue(Kind kind, const QString& label) : m_kind(kind), m_label(label) {}

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(const QString& label) {
    std::shared_ptr<DispatchQueue> q(new DispatchQueue(Kind::Serial, label));
    q->m_thread = new QThread;
    q->m_thread->setObjectName(label.left(15)); // the kernel keeps 15 characters of a thread name
    q->m_context = new QObject;
    q->m_context->moveToThread(q->m_thread);
    q->m_thread->start();
    return q;
}

DispatchQueue& DispatchQueue::main() {
    static DispatchQueue* q = [] {
        auto* queue = new DispatchQueue(Kind::Main, QStringLiteral("com.apple.main-thread"));
        queue->m_context = new QObject;
        if (auto* app = QCoreApplication::instance())
            queue->m_context->moveToThread(app->thread());
        else
            qCWarning(zarvPlatform,
                      "DispatchQueue::main() used before the application object exists");
        return queue;
    }();
    return *q;
}

DispatchQueue& DispatchQueue::global() {
    static DispatchQueue* q =
        new DispatchQueue(Kind::Global, QStringLiteral("com.apple.root.default-qos"));
    return *q;
}

DispatchQueue* DispatchQueue::current() {
    if (t_current)
        return t_current;
    auto* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread())
        return &main();
    return nullptr;
}

DispatchQueue::~DispatchQueue() {
    if (m_kind != Kind::Serial)
        return;
    if (QThread::currentThread() == m_thread) {
        // Released from inside one of its own blocks: the thread cannot wait for itself.
        QObject::connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
        QObject::connect(m_thread, &QThread::finished, m_context, &QObject::deleteLater,
                         Qt::DirectConnection);
        m_thread->quit();
        return;
    }
    if (QCoreApplication::instance()) {
        // Queued behind every block already submitted, so those still run.
        QThread* thread = m_thread;
        QMetaObject::invokeMethod(
            m_context, [thread] { thread->quit(); }, Qt::QueuedConnection);
    } else {
        // Once the application object is gone Qt delivers no more posted events: a queue
        // released during the process's exit stops at once instead of waiting for ever.
        m_thread->quit();
    }
    m_thread->wait();
    delete m_context;
    delete m_thread;
}

bool DispatchQueue::isCurrent() const {
    return current() == this;
}

void DispatchQueue::run(const Block& block) {
    CurrentQueueScope scope(this);
    try {
        block();
    } catch (const std::exception& e) {
        qCCritical(zarvPlatform, "Uncaught exception in a block on queue %s: %s",
                   qPrintable(m_label), e.what());
    } catch (...) {
        qCCritical(zarvPlatform, "Uncaught exception in a block on queue %s", qPrintable(m_label));
    }
}

void DispatchQueue::async(Block block) {
    if (m_kind == Kind::Global) {
        QThreadPool::globalInstance()->start([this, block = std::move(block)] { run(block); });
        return;
    }
    QMetaObject::invokeMethod(
        m_context, [this, block = std::move(block)] { run(block); }, Qt::QueuedConnection);
}

void DispatchQueue::after(std::chrono::milliseconds delay, Block block) {
    if (m_kind == Kind::Global) {
        globalTimerQueue().after(
            delay, [this, block = std::move(block)]() mutable { async(std::move(block)); });
        return;
    }
    // The deadline counts from now, so the hop onto the queue's thread is part of the delay.
    const QDeadlineTimer deadline(std::max<qint64>(0, delay.count()), Qt::PreciseTimer);
    async([this, deadline, block = std::move(block)]() mutable {
        atDeadline(m_context, deadline, [this, block = std::move(block)] { run(block); });
    });
}

void DispatchQueue::sync(Block block) {
    if (m_kind == Kind::Global || isCurrent() ||
        (m_context && QThread::currentThread() == m_context->thread())) {
        run(block);
        return;
    }
    QMetaObject::invokeMethod(
        m_context, [this, &block] { run(block); }, Qt::BlockingQueuedConnection);
}

DispatchQueue& DispatchQueue::timerQueue() {
    return m_kind == Kind::Global ? globalTimerQueue() : *this;
}

std::shared_ptr<DispatchTimer> DispatchQueue::createTimer(std::chrono::nanoseconds interval,
                                                          Block handler) {
    std::shared_ptr<DispatchTimer> timer(new DispatchTimer);
    DispatchQueue& ticking = timerQueue();
    timer->m_ticking = &ticking;
    if (ticking.m_kind == Kind::Serial)
        timer->m_keepAlive = ticking.shared_from_this();
    if (m_kind == Kind::Serial && &ticking != this)
        timer->m_keepAlive = shared_from_this();

    const auto state = timer->m_state;
    const qint64 ms = std::max<qint64>(
        1, std::chrono::duration_cast<std::chrono::milliseconds>(interval).count());
    // First firing one interval after creation, then every interval.
    const QDeadlineTimer firstDue(ms, Qt::PreciseTimer);
    auto fire = [this, state, handler = std::move(handler)] {
        if (state->cancelled.load())
            return;
        if (m_kind != Kind::Global) {
            run(handler);
            return;
        }
        async([state, handler] {
            if (!state->cancelled.load())
                handler();
        });
    };
    QObject* context = ticking.m_context;
    ticking.async([state, ms, firstDue, context, fire = std::move(fire)] {
        if (state->cancelled.load())
            return;
        auto* t = new QTimer(context);
        t->setTimerType(Qt::PreciseTimer);
        t->setSingleShot(true);
        state->timer = t;
        // Re-armed each time towards a deadline: intervals beyond one QTimer step, no drift.
        QObject::connect(t, &QTimer::timeout, t, [t, ms, due = firstDue, fire]() mutable {
            if (due.remainingTime() == 0) {
                due += ms;
                // After a stall (a long handler, a suspended machine) one firing stands for
                // all those missed; the next comes a whole interval later.
                if (due.hasExpired())
                    due = QDeadlineTimer(ms, Qt::PreciseTimer);
                fire();
            }
            t->start(nextStepMs(due));
        });
        t->start(nextStepMs(firstDue));
    });
    return timer;
}

DispatchTimer::~DispatchTimer() {
    cancel();
}

void DispatchTimer::cancel() {
    if (m_state->cancelled.exchange(true))
        return;
    // The QTimer belongs to the ticking queue's thread: delete it there.
    m_ticking->async([state = m_state] {
        delete state->timer;
        state->timer = nullptr;
    });
}

} // namespace zarv
