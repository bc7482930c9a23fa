#include "AppDelegatePrivate.h"
#include "platform/Log.h"

#include "messaging/InboundPayload.h"
#include "messaging/OutboundNotifications.h"
#include "messaging/ShotTimeline.h"
#include "platform/Path.h"
#include "platform/UserNotificationCenter.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QThread>
#include <QUrl>

namespace zarv {

namespace {

QString commandOf(const QVariant& sender) {
    if (sender.canConvert<Button>() && sender.userType() == qMetaTypeId<Button>())
        return sender.value<Button>().alternateTitle;
    if (sender.typeId() == QMetaType::QString)
        return sender.toString();
    return {};
}

std::optional<Button> buttonOf(const QVariant& sender) {
    if (sender.userType() == qMetaTypeId<Button>())
        return sender.value<Button>();
    return std::nullopt;
}

} // namespace

void AppDelegate::ibBringToFrontButton() {
    Log::info(zarvApp, Log::insideText(kClassName, "ibBringToFrontButton:",
                                       QStringLiteral("asked to come forward")));
    view().bringToFront();
}

// --- Inbound notifications and actions -------------------------------------------------------

void AppDelegate::handleDistributedNotificationNikon(const Notification& notification) {
    for (int i = 0; i < 3; ++i)
        Log::info(zarvApp, QStringLiteral("==================================="));
    logNotification(notification);
    if (notification.userInfo.isEmpty())
        return;
    const InboundPayload payload = readInboundPayload(notification);
    if (!payload.senderApp) {
        if (!payload.rejected.contains(QStringLiteral("senderApp")))
            Log::info(zarvApp, QStringLiteral("=======NO SENDER APP================"));
        return;
    }
    if (!payload.action)
        return;
    const QString what = payload.action->toLower();
    if (what == QLatin1String("grabimage")) {
        currentCameraDispatchQueue().async([this] {
            if (std::shared_ptr<CameraSession> session = gTestNikonCamera())
                session->GrabImage();
        });
    } else if (what == QLatin1String("requestcamerastatus")) {
        onMain([this] { ibClickedOnZarvButton(QStringLiteral("sendcamerastatus")); });
    } else if (what == QLatin1String("getlistofimages")) {
        onMain([this] { ibSendAllItemsInHotFolder(); });
    } else if (what == QLatin1String("requestshots")) {
        answerShotsRequest(notification);
    } else if (what == QLatin1String("liveviewstart") || what == QLatin1String("liveviewstop") ||
               what == QLatin1String("liveviewframe")) {
        handleLiveViewRequest(what, notification);
    }
}

void AppDelegate::handleInternalActions(const Notification& notification) {
    logNotification(notification);
    const std::optional<QString> action = readInboundPayload(notification).action;
    if (!action || action->compare(QLatin1String("updatemodulelist"), Qt::CaseInsensitive) != 0)
        return;
    onMain([this] {
        ibUpdateModuleList();
        relaunchApp({});
    });
}

void AppDelegate::handleAddFromFileNotification(const Notification& notification) {
    Log::info(
        zarvApp,
        Log::insideText(
            kClassName, "handleAddFromFileNotification:",
            QStringLiteral(" notification.object = %1").arg(Log::quoted(notification.object))));
    if (!notification.object.isValid())
        return;
    QVariantList list;
    if (notification.object.typeId() == QMetaType::QVariantList)
        list = notification.object.toList();
    else if (notification.object.typeId() == QMetaType::QStringList)
        for (const QString& s : notification.object.toStringList())
            list.append(s);
    else if (notification.object.typeId() == QMetaType::QString ||
             notification.object.typeId() == QMetaType::QUrl)
        list.append(notification.object);
    for (const QVariant& element : std::as_const(list)) {
        QString path;
        if (element.typeId() == QMetaType::QUrl)
            path = element.toUrl().toLocalFile();
        else if (element.typeId() == QMetaType::QString)
            path = element.toString();
        if (path.isEmpty())
            continue;
        defaults().removeObject(kTextView);
        performGetMyDirectoryInfo(path);
    }
    Log::info(zarvApp, QStringLiteral("found info = %1").arg(defaults().stringForKey(kTextView)));
    showInfoWindow();
}

void AppDelegate::ibClickedOnZarvButton(const QVariant& sender) {
    const QString command = commandOf(sender);
    Log::info(zarvApp, QStringLiteral("Inside %1-%2...altTitle = [%3]...")
                           .arg(kClassName, QStringLiteral("ibClickedOnZarvButton:"), command));
    if (command.isEmpty())
        return;
    const bool startup = command == QLatin1String("appstartup");
    const bool status = command == QLatin1String("sendcamerastatus");
    if (!startup && !status)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    // Whether the camera is connected is the session's to say, on the camera queue.
    auto send = [this, startup, now] {
        QVariantMap message;
        if (startup)
            message.insert(QStringLiteral("appstartup"), now);
        std::shared_ptr<CameraSession> session = gTestNikonCamera();
        const QVariantMap device = session ? session->fUsbDeviceInfo() : QVariantMap();
        const bool connected = session && session->isCameraConnected();
        const QString name = device.value(QStringLiteral("deviceName")).toString();
        message.insert(QStringLiteral("cameraName"),
                       name.isEmpty() ? QStringLiteral("UNKNOWN???NAME") : name);
        message.insert(QStringLiteral("cameraStatus"), connected ? 1 : 0);
        if (!device.isEmpty())
            message.insert(QStringLiteral("cameraDeviceInfo"), device);
        const QVariant folder = defaults().objectForKey(kSaveFolder);
        if (folder.typeId() == QMetaType::QString)
            message.insert(kSaveFolder, standardizingPath(folder.toString()));
        if (startup)
            message.insert(QStringLiteral("senderAppStatus"), QStringLiteral("statusAppLaunched"));
        if (!mySendZarvNikonNotification(&message))
            Log::info(zarvApp,
                      QStringLiteral("Inside %1-%2...OOPs - did not send any Notification??????")
                          .arg(kClassName, QStringLiteral("ibClickedOnZarvButton:")));
    };
    DispatchQueue& camera = currentCameraDispatchQueue();
    if (camera.isCurrent())
        send();
    else
        camera.async(send);
}

void AppDelegate::ibHitButton5(const QVariant& sender) {
    const std::optional<Button> button = buttonOf(sender);
    if (!button)
        return;
    const QString action = button->alternateTitle.trimmed();
    if (action.isEmpty())
        return;
    Log::info(zarvApp, QStringLiteral("Inside %1->%2...action=[%3]...")
                           .arg(kClassName, QStringLiteral("ibHitButton5:"), action));
    currentCameraDispatchQueue().async([this, action] {
        std::shared_ptr<CameraSession> session = gTestNikonCamera();
        if (action == QLatin1String("loop")) {
            const auto n = int16_t(defaults().integerForKey(QStringLiteral("prefTestLoopCount")));
            for (int i = 0; i < n && session && !m_terminating; ++i) {
                Log::info(zarvApp,
                          QStringLiteral("=========  loop: LOOPING Number: %1  =========").arg(i));
                session->GrabImage();
                QThread::msleep(500);
                session->SaveImage();
                QThread::msleep(500);
                Log::info(zarvApp, QStringLiteral("done with try loop..."));
            }
        } else if (action == QLatin1String("grabloop")) {
            Log::info(zarvApp,
                      QStringLiteral("=========  grabloop: LOOPING Number: %1  =========").arg(0));
            if (session) {
                session->FindCamera();
                QThread::msleep(200);
                session->GrabImage();
            }
        } else if (action == QLatin1String("new")) {
            setSession(m_options.sessionFactory());
        } else if (action == QLatin1String("find")) {
            if (!session) {
                session = m_options.sessionFactory();
                if (!session) {
                    Log::info(
                        zarvApp,
                        QStringLiteral("Unable to allocate for ZarvNikonBaseCameraHandler???????"));
                    return;
                }
                setSession(session);
            }
            session->FindCamera();
        } else if (action == QLatin1String("unload")) {
            if (session) {
                session->UnloadCamera();
                setSession(nullptr);
            }
        } else if (action == QLatin1String("grab")) {
            if (session && session->isCameraConnected())
                session->GrabImage();
            else
                Log::info(zarvApp, QStringLiteral("trying to grab - but camera NOT connected..."));
        } else if (action == QLatin1String("save")) {
            saveIfConnected(session, QString());
        } else if (action == QLatin1String("close")) {
            if (session)
                session->CloseMyCamera();
        }
    });
}

void AppDelegate::ibHitButton1() {
    // The session is only ever called on the camera queue; the retries queue there in turn.
    onGlobal([this] {
        for (int attempt = 0; attempt < 5 && !m_terminating; ++attempt) {
            bool connected = false;
            currentCameraDispatchQueue().sync([this, &connected] {
                if (std::shared_ptr<CameraSession> handler = getCameraHandler()) {
                    handler->FindCamera();
                    connected = handler->isCameraConnected();
                }
            });
            Log::info(zarvApp, QStringLiteral("try to recover..."));
            if (connected || !pauseUnlessStopping(std::chrono::milliseconds(2000)))
                return;
        }
    });
}

void AppDelegate::ibHitButton2() {
    currentCameraDispatchQueue().async([this] {
        if (std::shared_ptr<CameraSession> handler = getCameraHandler())
            handler->GrabImage();
    });
}

void AppDelegate::ibHitButton3() {
    currentCameraDispatchQueue().async([this] {
        if (std::shared_ptr<CameraSession> handler = getCameraHandler())
            handler->SaveImage();
    });
}

void AppDelegate::ibHitButton4() {
    QMutexLocker lock(&m_devicesMutex);
    m_firstCameraObject.reset();
}

void AppDelegate::ibHitButton6() {
    inside("ibHitButton6:");
}

void AppDelegate::ibHitTestButton(const QVariant& sender) {
    const std::optional<Button> button = buttonOf(sender);
    if (!button)
        return;
    const QString action = button->alternateTitle.trimmed();
    if (action.isEmpty()) {
        Log::info(zarvApp,
                  QStringLiteral("Button[%1] has no action defined????").arg(button->title));
    } else if (action == QLatin1String("cameraconnected")) {
        currentCameraDispatchQueue().async([this] {
            std::shared_ptr<CameraSession> session = gTestNikonCamera();
            const bool connected = session && session->isCameraConnected();
            Log::info(zarvApp,
                      QStringLiteral("Camera %1 Connected")
                          .arg(connected ? QStringLiteral("IS") : QStringLiteral("Is NOT")));
            const QList<DeviceEntry> devices = fArrayOfDevices();
            QVariantList infos;
            for (const DeviceEntry& d : devices)
                infos.append(d.info);
            Log::info(zarvApp,
                      QStringLiteral("Usb Devices List fArrayOfDevices Contains %1 Objects: %2")
                          .arg(devices.size())
                          .arg(Log::quoted(infos)));
            if (devices.isEmpty())
                Log::info(zarvApp,
                          QStringLiteral("NO Usb devices in the master fArrayOfDevices....."));
        });
    } else if (action == QLatin1String("clearusernotifs")) {
        auto& center = UserNotificationCenter::defaultUserNotificationCenter();
        for (const UserNotification& notice : center.deliveredNotifications())
            if (notice.presented)
                center.removeDeliveredNotification(notice);
        center.removeAllDeliveredNotifications();
    }
}

void AppDelegate::ibHitCameraControlButton(const QVariant& sender) {
    const std::optional<Button> button = buttonOf(sender);
    if (!button)
        return;
    const QString key = button->identifier.isEmpty() ? button->alternateTitle : button->identifier;
    if (key == QLatin1String("imagesize"))
        Log::info(zarvApp, QStringLiteral("what to do here?????"));
}

} // namespace zarv
