#include "AppDelegatePrivate.h"

#include "platform/UserNotificationCenter.h"
#include "util/DispatchTimer.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QTimer>

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
        logInfo(logPrefix + QStringLiteral("trying to save - but never found a camera..."));
    else if (!session->isCameraConnected())
        logInfo(logPrefix + QStringLiteral("trying to save - but camera NOT connected..."));
    else
        session->SaveImage();
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
            logInfo(QStringLiteral("Deleting old userNotification..."));
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
