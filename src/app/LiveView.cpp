#include "LiveView.h"

#include "CameraSession.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <QMutexLocker>

#include <chrono>
#include <utility>

namespace zarv {

namespace {

// A module that fails this many reads in a row is not asked again until live view restarts.
constexpr int kFailuresToGiveUp = 20;

} // namespace

LiveView::LiveView(Hooks hooks, QObject* parent) : QObject(parent), m_hooks(std::move(hooks)) {}

LiveView::~LiveView() {
    m_hooks.cameraQueue->sync([this] {
        *m_alive = false;
        QMutexLocker lock(&m_mutex);
        if (m_timer)
            m_timer->cancel();
    });
}

void LiveView::onCameraQueue(std::function<void()> block, int delayMs) {
    auto guarded = [alive = m_alive, block = std::move(block)] {
        if (*alive)
            block();
    };
    if (delayMs > 0)
        m_hooks.cameraQueue->after(std::chrono::milliseconds(delayMs), std::move(guarded));
    else
        m_hooks.cameraQueue->async(std::move(guarded));
}

void LiveView::hold(Holder holder, Answer answer) {
    {
        QMutexLocker lock(&m_mutex);
        m_holders |= holder;
        if (answer)
            m_answers.push_back(std::move(answer));
    }
    onCameraQueue([this] { apply(); });
}

void LiveView::release(Holder holder) {
    {
        QMutexLocker lock(&m_mutex);
        if (!(m_holders & holder))
            return;
        m_holders &= ~unsigned(holder);
    }
    onCameraQueue([this] { apply(); });
}

void LiveView::releaseAll() {
    {
        QMutexLocker lock(&m_mutex);
        m_holders = 0;
    }
    onCameraQueue([this] { apply(); });
}

void LiveView::grabFrame(FrameDone done, int patienceMs) {
    uint64_t id = 0;
    {
        QMutexLocker lock(&m_mutex);
        id = m_nextWaiter++;
        m_waiters.push_back({id, std::move(done)});
        m_holders |= FrameHolder;
    }
    onCameraQueue([this] { apply(); });
    onCameraQueue([this, id] { expireWaiter(id); }, patienceMs);
}

std::optional<LiveViewFrame> LiveView::takeFrame() {
    QMutexLocker lock(&m_mutex);
    return std::exchange(m_waiting, std::nullopt);
}

void LiveView::setFocus(double value) {
    onCameraQueue([this, value] {
        const std::shared_ptr<CameraSession> session = m_hooks.session();
        if (!m_running || !session || !session->SetLiveViewFocus(value))
            return;
        const std::optional<LiveViewFocus> focus = session->ReadLiveViewFocus();
        QMutexLocker lock(&m_mutex);
        m_focus = focus;
    });
}

std::optional<LiveViewFocus> LiveView::focus() const {
    QMutexLocker lock(&m_mutex);
    return m_focus;
}

LiveView::State LiveView::state() const {
    QMutexLocker lock(&m_mutex);
    return m_state;
}

QString LiveView::stateText() const {
    QMutexLocker lock(&m_mutex);
    return m_stateText;
}

uint64_t LiveView::framesRead() const {
    QMutexLocker lock(&m_mutex);
    return m_framesRead;
}

uint64_t LiveView::framesDropped() const {
    QMutexLocker lock(&m_mutex);
    return m_framesDropped;
}

void LiveView::apply() {
    unsigned holders = 0;
    {
        QMutexLocker lock(&m_mutex);
        holders = m_holders;
    }
    const std::shared_ptr<CameraSession> session = m_hooks.session();
    if (holders == 0) {
        if (!m_running)
            return;
        if (session)
            session->StopLiveView();
        ended(State::Stopped, {});
        return;
    }
    if (m_running) {
        answerAll(true, {});
        return;
    }
    QString why = QStringLiteral("No camera is connected.");
    const LiveViewStart start = session && session->isCameraConnected()
                                    ? session->StartLiveView(&why)
                                    : LiveViewStart::Unsupported;
    if (start != LiveViewStart::Started) {
        Log::info(zarvApp, QStringLiteral("Live view does not start: %1").arg(why));
        ended(start == LiveViewStart::Refused ? State::Refused : State::Stopped, why);
        return;
    }
    m_running = true;
    m_failures = 0;
    const std::optional<LiveViewFocus> focus = session->ReadLiveViewFocus();
    std::shared_ptr<DispatchTimer> timer = m_hooks.cameraQueue->createTimer(
        std::chrono::milliseconds(m_hooks.pollMs), [this, alive = m_alive] {
            if (*alive)
                tick();
        });
    {
        QMutexLocker lock(&m_mutex);
        m_timer = std::move(timer);
        m_focus = focus;
    }
    setState(State::Running, {});
    answerAll(true, {});
}

void LiveView::tick() {
    if (!m_running || (m_hooks.saveWaiting && m_hooks.saveWaiting()))
        return;
    const std::shared_ptr<CameraSession> session = m_hooks.session();
    LiveViewFrame frame;
    const LiveViewRead read =
        session ? session->ReadLiveViewFrame(&frame) : LiveViewRead::NotRunning;
    switch (read) {
    case LiveViewRead::Frame:
        m_failures = 0;
        deliver(std::move(frame));
        break;
    case LiveViewRead::NoNewFrame:
        m_failures = 0;
        break;
    case LiveViewRead::NotRunning:
        ended(State::Stopped, QStringLiteral("The camera stopped live view or is gone."));
        break;
    case LiveViewRead::Failed:
        if (++m_failures < kFailuresToGiveUp)
            break;
        if (session)
            session->StopLiveView();
        ended(State::Stopped, QStringLiteral("The camera module failed to give %1 frames in a row.")
                                  .arg(kFailuresToGiveUp));
        break;
    }
}

void LiveView::deliver(LiveViewFrame frame) {
    std::vector<FrameWaiter> waiters;
    bool wasEmpty = false;
    bool frameOnly = false;
    {
        QMutexLocker lock(&m_mutex);
        ++m_framesRead;
        waiters.swap(m_waiters);
        if (!waiters.empty() && (m_holders & FrameHolder)) {
            m_holders &= ~unsigned(FrameHolder);
            frameOnly = m_holders == 0;
        }
        if (m_holders & WindowHolder) {
            wasEmpty = !m_waiting;
            if (!wasEmpty)
                ++m_framesDropped;
            m_waiting = frame;
        }
    }
    for (FrameWaiter& waiter : waiters)
        waiter.done(frame, {});
    if (wasEmpty)
        emit frameReady();
    if (frameOnly)
        apply();
}

void LiveView::ended(State state, const QString& why) {
    std::shared_ptr<DispatchTimer> timer;
    std::vector<FrameWaiter> waiters;
    {
        QMutexLocker lock(&m_mutex);
        timer = std::exchange(m_timer, nullptr);
        waiters.swap(m_waiters);
        m_waiting.reset();
        // Nobody holds a live view that ended on its own: whoever wants it asks again.
        m_holders = 0;
    }
    if (timer)
        timer->cancel();
    m_running = false;
    setState(state, why);
    answerAll(false, why);
    const QString reason = why.isEmpty() ? QStringLiteral("Live view was stopped.") : why;
    for (FrameWaiter& waiter : waiters)
        waiter.done(std::nullopt, reason);
}

void LiveView::setState(State state, const QString& why) {
    {
        QMutexLocker lock(&m_mutex);
        if (m_state == state && m_stateText == why)
            return;
        m_state = state;
        m_stateText = why;
    }
    Log::info(zarvApp, QStringLiteral("Live view %1%2")
                           .arg(state == State::Running   ? QStringLiteral("runs")
                                : state == State::Refused ? QStringLiteral("was refused")
                                                          : QStringLiteral("stopped"),
                                why.isEmpty() ? QString() : QStringLiteral(": ") + why));
    emit stateChanged();
}

void LiveView::answerAll(bool started, const QString& why) {
    std::vector<Answer> answers;
    {
        QMutexLocker lock(&m_mutex);
        answers.swap(m_answers);
    }
    for (Answer& answer : answers)
        answer(started, why);
}

void LiveView::expireWaiter(uint64_t id) {
    FrameDone done;
    bool nobodyElse = false;
    {
        QMutexLocker lock(&m_mutex);
        for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
            if (it->id != id)
                continue;
            done = std::move(it->done);
            m_waiters.erase(it);
            break;
        }
        if (!done)
            return;
        if (m_waiters.empty() && (m_holders & FrameHolder)) {
            m_holders &= ~unsigned(FrameHolder);
            nobodyElse = m_holders == 0;
        }
    }
    done(std::nullopt, QStringLiteral("No live-view frame came within the time allowed."));
    if (nobodyElse)
        apply();
}

} // namespace zarv
