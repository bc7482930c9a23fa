#include "AppDelegatePrivate.h"
#include "platform/Log.h"

#include "platform/UserNotificationCenter.h"
#include "util/DispatchTimer.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QTimer>

#include <algorithm>

namespace zarv {

// --- Timers ---------------------------------------------------------------------------------

void AppDelegate::createScanTimer() {
    QMutexLocker lock(&m_timerMutex);
    if (m_fTimer)
        return;
    const float interval =
        float(defaults().doubleForKey(QStringLiteral("prefScanForNewImageInSeconds")));
    // A missing or non-positive interval would make no timer at all: scan every second then.
    const double seconds = interval > 0 ? double(interval) : 1.0;
    m_fTimer = CreateDispatchTimer(seconds, &currentCameraDispatchQueue(), [this] { scanTick(); });
}

void AppDelegate::cancelScanTimer() {
    QMutexLocker lock(&m_timerMutex);
    if (m_fTimer) {
        m_fTimer->cancel();
        m_fTimer.reset();
    }
    if (m_eventPump) {
        m_eventPump->cancel();
        m_eventPump.reset();
    }
}

bool AppDelegate::hasScanTimer() const {
    QMutexLocker lock(&m_timerMutex);
    return m_fTimer != nullptr;
}

void AppDelegate::scanTick() {
    // The save runs right here on the camera queue: the module may only be called from the
    // one queue that owns it, never from the main thread while camera commands run.
    saveIfConnected(gTestNikonCamera(), QStringLiteral("self.fTimer -> "));
}

void AppDelegate::saveIfConnected(const std::shared_ptr<CameraSession>& session,
                                  const QString& logPrefix) {
    if (!session)
        Log::info(zarvApp,
                  logPrefix + QStringLiteral("trying to save - but never found a camera..."));
    else if (!session->isCameraConnected())
        Log::info(zarvApp,
                  logPrefix + QStringLiteral("trying to save - but camera NOT connected..."));
    else
        session->SaveImage();
}

void AppDelegate::createEventPump(uint32_t asyncRateMs) {
    if (!defaults().boolForKey(QStringLiteral("prefSaveOnCameraEvent")))
        return;
    QMutexLocker lock(&m_timerMutex);
    if (m_eventPump)
        return;
    m_savesOwed = 0;
    m_draining = false;
    // Often enough that a picture waits a few milliseconds at most, seldom enough that an idle
    // camera costs next to nothing.
    const uint32_t ms = asyncRateMs == 0 ? 10 : std::clamp<uint32_t>(asyncRateMs, 5, 100);
    m_eventPump = CreateDispatchTimer(ms / 1000.0, &currentCameraDispatchQueue(),
                                      [this] { eventPumpTick(); });
}

bool AppDelegate::hasEventPump() const {
    QMutexLocker lock(&m_timerMutex);
    return m_eventPump != nullptr;
}

void AppDelegate::eventPumpTick() {
    const std::shared_ptr<CameraSession> session = gTestNikonCamera();
    if (!session)
        return;
    m_savesOwed += session->PumpEvents();
    if (m_savesOwed > 0 && !m_draining)
        saveAnnounced();
}

void AppDelegate::saveAnnounced() {
    m_draining = false;
    const std::shared_ptr<CameraSession> session = gTestNikonCamera();
    if (m_savesOwed == 0)
        return;
    if (!session || !session->isCameraConnected()) {
        m_savesOwed = 0;
        return;
    }
    // One picture per announcement: a picture the camera keeps after its transfer, or one that
    // cannot be fetched, is not taken again and again; the scan timer stays the safety net.
    --m_savesOwed;
    session->SaveImage();
    m_savesOwed += session->PumpEvents();
    if (m_savesOwed == 0)
        return;
    // Checked and queued under the lock that cancelling takes: once the pump is cancelled (the
    // camera left, the program stops) no further block is queued.
    QMutexLocker lock(&m_timerMutex);
    if (!m_eventPump)
        return;
    m_draining = true;
    currentCameraDispatchQueue().async([this] { saveAnnounced(); });
}

void AppDelegate::createScanTiemr2() {
    QMutexLocker lock(&m_timerMutex);
    if (m_fTimer2)
        return;
    m_fTimer2 = CreateDispatchTimer(1.0, &currentScanQueue(), [this] { sweepTick(); });
}

void AppDelegate::sweepTick() {
    auto& center = UserNotificationCenter::defaultUserNotificationCenter();
    double age =
        defaults().doubleForKey(QStringLiteral("prefAutoDismissUserNotificataionInSeconds"));
    if (age < 1)
        age = 10;
    const QDateTime now = QDateTime::currentDateTime();
    for (const UserNotification& notice : center.deliveredNotifications()) {
        if (now > notice.actualDeliveryDate.addMSecs(qint64(age * 1000))) {
            Log::info(zarvApp, QStringLiteral("Deleting old userNotification..."));
            center.removeDeliveredNotification(notice);
        }
    }
}

void AppDelegate::setupAcquireTimer() {
    onMain([this] {
        delete m_fAcquireTimer;
        auto* timer = new QTimer(this);
        timer->setSingleShot(true);
        timer->setInterval(1000);
        connect(timer, &QTimer::timeout, this, &AppDelegate::doAcquireLoop);
        m_fAcquireTimer = timer;
        timer->start();
    });
}

void AppDelegate::doAcquireLoop() {
    inside("doAcquireLoop:");
    if (m_terminating)
        return;
    onGlobal([this] {
        ibHitButton5(QVariant::fromValue(Button{{}, QStringLiteral("save"), {}}));
        setupAcquireTimer();
    });
}

} // namespace zarv
