#include "AppDelegatePrivate.h"
#include "platform/Log.h"
#include "usb/DeviceHolders.h"

#include "modules/Architecture.h"
#include "modules/ModuleInventory.h"
#include "platform/Bundle.h"
#include "platform/UserNotificationCenter.h"
#include "sdk/Function.h"
#include "usb/ZARV_camera.h"

#include <QMutexLocker>
#include <QThread>

namespace zarv {

namespace {

const QString kNameOfCameraFound = QStringLiteral("prefNameOfCameraFound");
const QString kConnectionMessage = QStringLiteral("prefCameraConnectionMessage");
const QString kUnknownModel = QStringLiteral("Unknown Nikon MODEL???");
const QString kDeviceHandlerKey = QStringLiteral("ZarvDeviceHandler");

bool sameText(const QVariant& a, const QVariant& b) {
    return a.toString().compare(b.toString(), Qt::CaseInsensitive) == 0;
}

} // namespace

// --- Status ---------------------------------------------------------------------------------

void AppDelegate::setStatusImage(const QString& name) {
    {
        QMutexLocker lock(&m_statusMutex);
        if (m_statusImage == name)
            return;
        m_statusImage = name;
    }
    view().setStatusImage(name);
}

QString AppDelegate::fStatus1Image() const {
    QMutexLocker lock(&m_statusMutex);
    return m_statusImage;
}

void AppDelegate::setStatusText(const QString& text) {
    defaults().setObject(kNameOfCameraFound, text);
}

void AppDelegate::statusTextChanged(const QString& key) {
    if (key == kNameOfCameraFound || key == kConnectionMessage)
        view().statusTextChanged(key, defaults().stringForKey(key));
}

QString AppDelegate::deviceName(const QVariantMap& device) const {
    const QString name = device.value(QStringLiteral("deviceName")).toString();
    return name.isEmpty() ? kUnknownModel : name;
}

QString AppDelegate::withConnectionMessage(const QString& status) const {
    const QString message = defaults().stringForKey(kConnectionMessage);
    return message.isEmpty() ? status : status + QStringLiteral("\n%1").arg(message);
}

// --- Devices --------------------------------------------------------------------------------

std::shared_ptr<CameraSession> AppDelegate::gTestNikonCamera() const {
    QMutexLocker lock(&m_sessionMutex);
    return m_session;
}

QVariantMap AppDelegate::sessionDeviceInfo() const {
    QMutexLocker lock(&m_sessionMutex);
    return m_sessionDevice;
}

void AppDelegate::setSession(std::shared_ptr<CameraSession> session, const QVariantMap& device) {
    std::shared_ptr<CameraSession> old;
    {
        QMutexLocker lock(&m_sessionMutex);
        old = std::move(m_session);
        m_session = std::move(session);
        m_sessionDevice = m_session ? device : QVariantMap();
    }
    old.reset(); // released here, on the camera queue, outside the lock
}

QList<DeviceEntry> AppDelegate::fArrayOfDevices() const {
    QMutexLocker lock(&m_devicesMutex);
    return m_devices;
}

void AppDelegate::resetCounters() {
    currentMiscellaneousQueue().async([this] {
        m_newImageCount = 0;
        publishNewImageCount(0);
    });
    // The capture count belongs to the data callback, which runs on the camera queue.
    currentCameraDispatchQueue().async([] { gNikonCameraCaptureCount = 0; });
}

void AppDelegate::handleUsbDeviceAdded(const Notification& notification) {
    inside("handleUsbDeviceAdded:");
    onMain([this, notification] {
        Log::info(zarvApp, QStringLiteral("notification object = %1, userInfo = %2")
                               .arg(Log::quoted(notification.object.toString()),
                                    Log::quoted(notification.userInfo)));
        const CameraArrival arrival{notification, notification.userInfo};
        const QVariantMap props = arrival.usbProperties();

        std::shared_ptr<CameraSession> closeHandler;
        {
            QMutexLocker lock(&m_devicesMutex);
            if (!props.isEmpty()) {
                for (qsizetype i = 0; i < m_devices.size(); ++i) {
                    const QVariantMap known =
                        m_devices[i].info.value(QStringLiteral("usbproperties")).toMap();
                    if (!m_devices[i].info.contains(QStringLiteral("usbproperties")))
                        continue;
                    if (!sameText(known.value(QStringLiteral("USB Serial Number")),
                                  props.value(QStringLiteral("USB Serial Number"))) ||
                        !sameText(known.value(QStringLiteral("USB Product Name")),
                                  props.value(QStringLiteral("USB Product Name"))))
                        continue;
                    closeHandler = m_devices[i].handler;
                    m_devices.removeAt(i);
                    break;
                }
            }
        }
        if (closeHandler)
            currentCameraDispatchQueue().async([closeHandler] { closeHandler->CloseMyCamera(); });

        if (props.value(QStringLiteral("idVendor")).toLongLong() == kNikonUSBVendorID) {
            const QString name = deviceName(arrival.device);
            onMain([this, name] {
                defaults().removeObject(kConnectionMessage);
                setStatusImage(QStringLiteral("NSStatusPartiallyAvailable"));
                setStatusText(QStringLiteral("< Trying To Connect to %1>").arg(name));
            });
            currentMiscellaneousQueue().async([this] {
                m_newImageCount = 0;
                publishNewImageCount(0);
            });
            currentCameraDispatchQueue().async([this, arrival] {
                std::shared_ptr<CameraSession> old = gTestNikonCamera();
                // The module is process-wide: the old camera is closed before a new session
                // takes over, or its module would stay open behind the new one.
                if (old && old->isCameraConnected())
                    old->CloseMyCamera();
                cancelScanTimer();
                setSession(nullptr);
                gNikonCameraCaptureCount = 0;
                std::shared_ptr<CameraSession> session = m_options.sessionFactory();
                if (!session)
                    Log::info(
                        zarvApp,
                        QStringLiteral("Unable to allocate for ZarvNikonBaseCameraHandler???????"));
                // The device is known from now on, not only once the connection step has
                // waited: a removal arriving in between must see which camera this session is.
                setSession(std::move(session), arrival.device);
                connectionStep(arrival);
            });
        }
        QMutexLocker lock(&m_devicesMutex);
        m_devices.append(DeviceEntry{arrival.device, nullptr});
        Log::info(zarvApp,
                  QStringLiteral("fArrayOfDevices holds %1 device(s)").arg(m_devices.size()));
    });
}

void AppDelegate::connectionStep(const CameraArrival& arrival) {
    if (m_terminating)
        return;
    QThread::msleep(250);
    std::shared_ptr<CameraSession> session = gTestNikonCamera();
    if (!session)
        return;
    session->setFUsbDeviceInfo(arrival.device);
    const int16_t result = session->FindCamera();
    Log::info(zarvApp, QStringLiteral("FindCamera returned %1").arg(result));
    const QString name = deviceName(arrival.device);
    const QVariantMap& info = arrival.device;
    if (result == kFindCameraFound) {
        m_releasedNode.clear();
        UserNotificationCenter::defaultUserNotificationCenter().removeAllDeliveredNotifications();
        session->handleUsbDeviceAdded(arrival.notification);
        createScanTimer();
        createEventPump(session->AsyncRate());
        onMain([this] {
            setStatusImage(QStringLiteral("NSStatusAvailable"));
            ibClickedOnZarvButton(QStringLiteral("sendcamerastatus"));
            cameraControls().ibHandleCameraConnected();
        });
        return;
    }
    QThread::msleep(750);
    if (result == kFindCameraDeviceHeld) {
        deviceHeldStep(arrival);
    } else if (result == kFindCameraWrongArchitecture) {
        onMain([this, name, info] {
            setStatusImage(QStringLiteral("NSCaution"));
            setStatusText(withConnectionMessage(
                QStringLiteral("< Need To RUN in Different Mode for: %1 >").arg(name)));
            currentCameraDispatchQueue().async([this, info] { checkIfNeedToRelaunch(info); });
        });
    } else if (result == kFindCameraModuleMissing) {
        onMain([this, name] {
            setStatusImage(QStringLiteral("NSCaution"));
            setStatusText(withConnectionMessage(
                QStringLiteral("< MISSING Required Module for: %1 >").arg(name)));
        });
    } else if (result == kFindCameraUnknownModel) {
        Log::info(
            zarvApp,
            QStringLiteral("Need to Manually Add Nikon to List...[%1]")
                .arg(arrival.usbProperties().value(QStringLiteral("USB Product Name")).toString()));
        const std::optional<QString> path = session->GetPathToModule();
        bool offer = true;
        if (path) {
            const bool a = isModuleAtPath(*path, Bundle::I386, kClassName);
            const bool b = isModuleAtPath(*path, Bundle::X86_64, kClassName);
            offer = isThis32bitMode() ? (!a || b) : (a || !b);
        }
        onMain([this, name, offer] {
            setStatusImage(QStringLiteral("NSStatusUnavailable"));
            setStatusText(
                withConnectionMessage(QStringLiteral("< UNSUPPORTED MODEL: %1 >").arg(name)));
            if (!offer)
                return;
            Alert alert;
            alert.style = Alert::Style::Informational;
            alert.message = QStringLiteral("Unknown Camera Found??");
            alert.informativeText = QStringLiteral(
                "Click Yes to auto-search for compatible camera module...\n\nNote: This app will "
                "quit-and-relaunch if module found.\n\n");
            alert.buttons = {QStringLiteral("YES"), QStringLiteral("NO")};
            alert.cancelReturnCode = kAlertSecondButtonReturn;
            beginSheet(alert, [this](long code) {
                Log::info(zarvApp, QStringLiteral("returncode = %1").arg(code));
                if (code == kAlertFirstButtonReturn)
                    ibAutoSearchModule();
            });
        });
    } else {
        onMain([this, name, info] {
            setStatusImage(QStringLiteral("NSCaution"));
            setStatusText(
                withConnectionMessage(QStringLiteral("< Problem Connecting to %1 >").arg(name)));
            currentCameraDispatchQueue().async([this, info] { checkIfNeedToRelaunch(info); });
        });
    }
}

void AppDelegate::deviceHeldStep(const CameraArrival& arrival) {
    const QString name = deviceName(arrival.device);
    const QString node = deviceNodeOf(arrival.usbProperties());
    const DeviceHolders found = findDeviceHolders(node);
    const QString held =
        deviceHeldText(node.isEmpty() ? QStringLiteral("device unknown") : node, found);
    qCWarning(zarvApp).noquote() << held;
    for (const DeviceHolder& holder : found.holders)
        Log::info(zarvApp, QStringLiteral("process %1 (%2) holds %3: %4")
                               .arg(holder.pid)
                               .arg(holder.name, node, holder.commandLine));
    bool automounter = false;
    for (const DeviceHolder& holder : found.holders)
        automounter = automounter || holder.isAutomounter();
    // One release per device: a camera still held afterwards is left to the operator.
    const bool offer = automounter && node != m_releasedNode;
    onMain([this, name, held, offer, node, arrival] {
        setStatusImage(QStringLiteral("NSCaution"));
        setStatusText(
            QStringLiteral("< Camera In Use by Another Program: %1 >\n%2").arg(name, held));
        if (!offer)
            return;
        auto release = [this, name, node, arrival] {
            currentCameraDispatchQueue().async([this, name, node, arrival] {
                m_releasedNode = node;
                Log::info(zarvApp,
                          QStringLiteral("Releasing %1 from the desktop's automounter").arg(node));
                const QString error = releaseFromAutomounter(node, m_options.gioProgram);
                if (!error.isEmpty()) {
                    const QString text = QStringLiteral("Cannot release %1: %2").arg(node, error);
                    qCWarning(zarvApp).noquote() << text;
                    onMain([this, name, text] {
                        setStatusText(QStringLiteral("< Camera In Use by Another Program: %1 >\n%2")
                                          .arg(name, text));
                    });
                    return;
                }
                Log::info(zarvApp, QStringLiteral("Released %1; connecting again").arg(node));
                connectionStep(arrival);
            });
        };
        // Without a window nobody can answer the sheet: a setting answers for the operator.
        if (m_options.headless && defaults().boolForKey(kHeadlessReleasesCamera)) {
            Log::info(zarvApp, QStringLiteral("Releasing the camera without asking (%1 is YES)")
                                   .arg(kHeadlessReleasesCamera));
            release();
            return;
        }
        Alert alert;
        alert.message = QStringLiteral("The Desktop Holds the Camera");
        alert.informativeText =
            QStringLiteral("%1\n\nRelease it from the desktop's automounter and connect?\n")
                .arg(held);
        alert.buttons = {QStringLiteral("Release"), QStringLiteral("Cancel")};
        alert.cancelReturnCode = kAlertSecondButtonReturn;
        beginSheet(alert, [this, release](long code) {
            Log::info(zarvApp, QStringLiteral("returncode = %1").arg(code));
            if (code == kAlertFirstButtonReturn)
                release();
        });
    });
}

void AppDelegate::checkIfNeedToRelaunch(const QVariantMap& device) {
    // Runs on the camera queue: the session is asked for its module path there.
    const QString name = deviceName(device);
    std::shared_ptr<CameraSession> session = gTestNikonCamera();
    const std::optional<QString> path = session ? session->GetPathToModule() : std::nullopt;
    if (!path)
        return;
    const bool a = isModuleAtPath(*path, Bundle::I386, kClassName);
    const bool b = isModuleAtPath(*path, Bundle::X86_64, kClassName);
    // A constant: the lambdas below use it without capturing it (clang rejects the capture).
    constexpr bool t = isThis32bitMode();
    QString status;
    bool offer = false;
    const bool i386Only =
        !t && !b && Bundle(*path).executableArchitectures().contains(Bundle::I386);
    if (!a && !b && !i386Only) {
        status = QStringLiteral("< Unsupport OLDER PPC Mode For: %1 >");
    } else if (t && b) {
        status = QStringLiteral("< Need To RELaunch in 64Bit mode for: %1 >");
        offer = true;
    } else if (t && a) {
        status = QStringLiteral("< Problem with Module On this OS for: %1 >");
    } else if (const QString why = why32bitCannotRun(); !why.isEmpty()) {
        // Never offer a relaunch that cannot happen.
        Log::info(
            zarvApp,
            QStringLiteral("%1 needs a 32-bit module; no relaunch is offered: %2").arg(name, why));
        status = QStringLiteral("< 32Bit Module Cannot Run Here for: %1 >");
    } else {
        status = QStringLiteral("< Need To RELaunch in 32Bit mode for: %1 >");
        offer = true;
    }
    const QString text = withConnectionMessage(status.arg(name));
    onMain([this, text, offer] {
        setStatusText(text);
        if (!offer)
            return;
        auto relaunchInOtherMode = [this] {
            Log::info(
                zarvApp,
                QStringLiteral("App should relaunch in %1 Mode next time around ................")
                    .arg(t ? QStringLiteral("64Bit") : QStringLiteral("32Bit")));
            defaults().setObject(kLaunchIn32BitMode, !t);
            defaults().synchronize();
            relaunchApp({});
        };
        // Without a window nobody can answer the sheet: a setting answers for the operator.
        if (m_options.headless && defaults().boolForKey(kHeadlessAcceptsRelaunch)) {
            Log::info(zarvApp, QStringLiteral("Relaunching without asking (%1 is YES)")
                                   .arg(kHeadlessAcceptsRelaunch));
            relaunchInOtherMode();
            return;
        }
        Alert alert;
        alert.message = QStringLiteral("Need To Relaunch App !");
        alert.informativeText = QStringLiteral("This App Needs to Run in %1 Mode\n")
                                    .arg(t ? QStringLiteral("64Bit") : QStringLiteral("32Bit"));
        alert.buttons = {QStringLiteral("Cancel"), QStringLiteral("Quit and Relaunch")};
        alert.cancelReturnCode = kAlertFirstButtonReturn;
        beginSheet(alert, [relaunchInOtherMode](long code) {
            if (code == kAlertSecondButtonReturn)
                relaunchInOtherMode();
        });
    });
}

void AppDelegate::handleUsbDeviceRemoved(const Notification& notification) {
    Log::info(zarvApp,
              QStringLiteral("handleUsbDeviceRemoved: %1").arg(Log::quoted(notification.userInfo)));
    onMainAfter(std::chrono::milliseconds(100), [this, notification] {
        // The session itself stays on the camera queue; its device is read from the copy kept
        // beside it.
        const QVariantMap current =
            sessionDeviceInfo().value(QStringLiteral("usbproperties")).toMap();
        const QVariantMap gone =
            notification.userInfo.value(QStringLiteral("usbproperties")).toMap();
        const QVariant currentName = current.value(QStringLiteral("USB Product Name"));
        const QVariant currentSerial = current.value(QStringLiteral("USB Serial Number"));
        const QVariant goneName = gone.value(QStringLiteral("USB Product Name"));
        const QVariant goneSerial = gone.value(QStringLiteral("USB Serial Number"));
        auto text = [](const QVariant& v) { return Log::quoted(v.toString()); };
        Log::info(
            zarvApp,
            QStringLiteral("current [%1-%2] (%3), disconnected [%4-%5] (%6)")
                .arg(text(currentName), text(currentSerial),
                     QLatin1String(currentSerial.typeName() ? currentSerial.typeName() : "nil"),
                     text(goneName), text(goneSerial),
                     QLatin1String(goneSerial.typeName() ? goneSerial.typeName() : "nil")));
        const QString pair = QStringLiteral("DisconnectedDevice[%1-%2] %3 CurrentDevice[%4-%5]....")
                                 .arg(text(goneName), text(goneSerial), QStringLiteral("%1"),
                                      text(currentName), text(currentSerial));
        // An absent current value (no session yet) counts as the same device.
        auto differs = [](const QVariant& mine, const QVariant& theirs) {
            return mine.isValid() && !sameText(mine, theirs);
        };
        if (differs(currentName, goneName) || differs(currentSerial, goneSerial)) {
            Log::info(zarvApp, pair.arg(QStringLiteral("is NOT the same as")));
            return;
        }
        Log::info(zarvApp, pair.arg(QStringLiteral("IS SAME AS")));
        currentCameraDispatchQueue().async([this, notification] { closingStep(notification); });
    });
    resetCounters();
}

void AppDelegate::closingStep(const Notification& notification) {
    onMain([this] {
        setStatusImage(QStringLiteral("NSStatusUnavailable"));
        setStatusText(QStringLiteral("< Camera Disconnected >"));
        cameraControls().ibHandleCameraRemoved();
    });
    cancelScanTimer();
    if (std::shared_ptr<CameraSession> handler = getCameraHandler()) {
        handler->handleUsbDeviceRemoved(notification);
        handler->CloseMyCamera();
    }
    ibClickedOnZarvButton(QStringLiteral("sendcamerastatus"));
    QThread::msleep(500);
    setSession(nullptr);
}

std::optional<QVariantMap> AppDelegate::getUsbObject() {
    QMutexLocker lock(&m_devicesMutex);
    if (!m_devices.isEmpty()) {
        m_firstCameraObject = m_devices.first().info;
        Log::info(zarvApp,
                  QStringLiteral("first obj found = %1").arg(Log::quoted(*m_firstCameraObject)));
    }
    return m_firstCameraObject;
}

std::shared_ptr<CameraSession> AppDelegate::getCameraHandler() {
    std::shared_ptr<CameraSession> handler;
    if (getUsbObject()) {
        QMutexLocker lock(&m_devicesMutex);
        if (!m_devices.isEmpty())
            handler = m_devices.first().handler;
    }
    if (!handler)
        handler = gTestNikonCamera();
    Log::info(zarvApp, QStringLiteral("found camera handler = %1")
                           .arg(handler ? QStringLiteral("session") : QStringLiteral("(null)")));
    return handler;
}

} // namespace zarv
