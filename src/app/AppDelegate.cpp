#include "AppDelegate.h"
#include "platform/Path.h"

#include "AppSupport.h"
#include "SingleInstance.h"
#include "messaging/InboundPayload.h"
#include "messaging/OutboundNotifications.h"
#include "messaging/ZarvNSNotificationCenter.h"
#include "modules/Architecture.h"
#include "modules/LookupTable.h"
#include "modules/ModuleInventory.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/UserNotificationCenter.h"
#include "sdk/CallBack.h"
#include "sdk/Function.h"
#include "usb/ZARV_camera.h"
#include "util/CommandTemplate.h"
#include "util/DispatchTimer.h"
#include "util/ShellCommand.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace zarv {

namespace {

AppDelegate* g_shared = nullptr;

const QString kClassName = QStringLiteral("AppDelegate");
const QString kNameOfCameraFound = QStringLiteral("prefNameOfCameraFound");
const QString kConnectionMessage = QStringLiteral("prefCameraConnectionMessage");
const QString kSaveFolder = QStringLiteral("prefSaveFolderPath");
const QString kTextView = QStringLiteral("prefTextViewString1");
const QString kActionsNotification = QStringLiteral("com.quellbay.ZarvNikonCamera.actions");
const QString kAddFromFileNotification = QStringLiteral("ZarvNotificationAddFromFile");
const QString kNikonAppNotification = QStringLiteral("ZarvNikonAppNotification");
const QString kUnknownModel = QStringLiteral("Unknown Nikon MODEL???");
const QString kDeviceHandlerKey = QStringLiteral("ZarvDeviceHandler");
constexpr int kArch_i386 = 7;
constexpr int kArch_x86_64 = 16777223;

UserDefaults& defaults() {
    return UserDefaults::standard();
}

void inside(const char* operation) {
    Log::inside(kClassName, QLatin1String(operation));
}

void logInfo(const QString& text) {
    qInfo().noquote() << text;
}

QString insideText(const char* operation, const QString& rest) {
    return QStringLiteral("Inside %1 => %2...%3").arg(kClassName, QLatin1String(operation), rest);
}

// What another program sent is quoted, never written whole into the log.
void logNotification(const Notification& notification) {
    logInfo(
        QStringLiteral("object = %1, userInfo = %2")
            .arg(Log::quoted(notification.object.toString()), Log::quoted(notification.userInfo)));
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Kept for the life of the process: a queue torn down by static destruction, after the
// application object is gone, could no longer be told to stop.
std::shared_ptr<DispatchQueue> makeQueue(const char* label) {
    return DispatchQueue::createSerial(QLatin1String(label));
}

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

bool sameText(const QVariant& a, const QVariant& b) {
    return a.toString().compare(b.toString(), Qt::CaseInsensitive) == 0;
}

} // namespace

AppDelegate::AppDelegate(Options options) : m_options(std::move(options)) {
    qRegisterMetaType<Button>();
    if (!m_options.sessionFactory)
        m_options.sessionFactory = nikonCameraSessionFactory();
    g_shared = this;
}

AppDelegate::~AppDelegate() {
    // Nothing queued may outlive the controller: timers stop, the queues that run its blocks
    // are drained, and main-queue blocks check that it still exists.
    {
        std::unique_lock lock(m_globalMutex);
        m_stopping = true;
        m_globalChanged.notify_all();
        m_globalChanged.wait(lock, [this] { return m_globalBlocks == 0; });
    }
    cancelScanTimer();
    {
        QMutexLocker lock(&m_timerMutex);
        if (m_fTimer2)
            m_fTimer2->cancel();
        m_fTimer2.reset();
    }
    currentCameraDispatchQueue().sync([] {});
    currentMiscellaneousQueue().sync([] {});
    for (auto token : m_localTokens)
        NotificationCenter::defaultCenter().removeObserver(token);
    for (auto token : m_distributedTokens)
        DistributedNotificationCenter::defaultCenter().removeObserver(token);
    if (g_shared == this)
        g_shared = nullptr;
}

void AppDelegate::onMain(DispatchQueue::Block block) {
    QPointer<AppDelegate> self(this);
    DispatchQueue::main().async([self, block = std::move(block)] {
        if (self)
            block();
    });
}

void AppDelegate::onMainAfter(std::chrono::milliseconds delay, DispatchQueue::Block block) {
    QPointer<AppDelegate> self(this);
    DispatchQueue::main().after(delay, [self, block = std::move(block)] {
        if (self)
            block();
    });
}

void AppDelegate::onGlobal(DispatchQueue::Block block) {
    {
        const std::lock_guard lock(m_globalMutex);
        if (m_stopping)
            return;
        ++m_globalBlocks;
    }
    DispatchQueue::global().async([this, block = std::move(block)] {
        block();
        const std::lock_guard lock(m_globalMutex);
        --m_globalBlocks;
        m_globalChanged.notify_all();
    });
}

bool AppDelegate::pauseUnlessStopping(std::chrono::milliseconds delay) {
    std::unique_lock lock(m_globalMutex);
    m_globalChanged.wait_for(lock, delay, [this] { return m_stopping; });
    return !m_stopping;
}

AppDelegate* AppDelegate::shared() {
    return g_shared;
}

// --- Queues ---------------------------------------------------------------------------------

DispatchQueue& AppDelegate::currentMiscellaneousQueue() {
    static auto* const queue =
        new std::shared_ptr<DispatchQueue>(makeQueue("com.quellbay.zarv.nikon.miscellaneousQueue"));
    return **queue;
}

DispatchQueue& AppDelegate::currentScanQueue() {
    static auto* const queue = new std::shared_ptr<DispatchQueue>(
        makeQueue("com.quellbay.zarv.nikon.scanUserNotificationQueue"));
    return **queue;
}

DispatchQueue& AppDelegate::currentCameraDispatchQueue() {
    static auto* const queue =
        new std::shared_ptr<DispatchQueue>(makeQueue("com.quellbay.zarv.current.camera.queue"));
    return **queue;
}

// --- Start-up -------------------------------------------------------------------------------

bool AppDelegate::initialize() {
    if (checkForDuplicateRunningInstances())
        return false;

    logInfo(QStringLiteral("arguments = %1").arg(m_options.arguments.join(QLatin1Char(' '))));
    for (const QString& argument : m_options.arguments) {
        if (argument.compare(QLatin1String("-fromlaunchagent"), Qt::CaseInsensitive) == 0)
            logInfo(QStringLiteral("App Launched From LaunchAgent..."));
        if (argument.compare(QLatin1String("-fromzarvpreview"), Qt::CaseInsensitive) == 0)
            logInfo(QStringLiteral("App Launched From ZarvLookout.app..."));
    }

    const QString factory = Bundle::mainBundle().pathForResource(QStringLiteral("FactoryDefault"),
                                                                 QStringLiteral("plist"));
    if (!factory.isEmpty())
        defaults().registerDefaultsFromFile(factory);

    const bool allowed = isThisAppAllowedToRunIn32BitMode();
    defaults().setObject(QStringLiteral("prefIsThisAppAllowedIn32BitMode"), allowed);
    if (!allowed) {
        logInfo(insideText("initialize",
                           QStringLiteral(" THIS IS NOT ALLOWED TO RUN in 32bit Mode...")));
        defaults().setObject(QStringLiteral("prefLaunchIn32BitMode"), false);
        defaults().synchronize();
    }
    defaults().setObject(QStringLiteral("prefActivateAppAtStartup"), false);
    defaults().synchronize();
    return true;
}

bool AppDelegate::checkForDuplicateRunningInstances() {
    QPointer<AppDelegate> self(this);
    const SingleInstance::Result result =
        SingleInstance::claim(Bundle::mainBundle().bundleIdentifier(), this, [self] {
            if (self)
                self->onMain([self] { self->ibBringToFrontButton(); });
        });
    if (result != SingleInstance::Result::Duplicate)
        return false;
    beep();
    logInfo(insideText("checkForDuplicateRunningInstances",
                       QStringLiteral("Another Instance of this app is already running...")));
    return true;
}

bool AppDelegate::applicationWillFinishLaunching() {
    inside("applicationWillFinishLaunching:");
    if (!defaults().boolForKey(QStringLiteral("prefLaunchIn32BitMode")) && isThis32bitMode()) {
        Alert alert;
        alert.style = Alert::Style::Critical;
        alert.message = QStringLiteral("!!! This App Cannot Run in the 32bit Mode !!!");
        alert.informativeText = QStringLiteral(
            "\nThis App can only run in the 32bit mode on Mac OS 10.10 and lower.\n\nPlease "
            "UNCheck the 32bit mode flag from the Finder's Get Info Window for this "
            "application!\n\n\n");
        alert.buttons = {QStringLiteral("Quit Now")};
        alert.cancelReturnCode = kAlertFirstButtonReturn;
        beginSheet(alert);
        terminate();
        return false;
    }
    defaults().removeObject(kTextView);

    if (defaults().boolForKey(QStringLiteral("prefLaunchIn32BitMode")) && !isThis32bitMode()) {
        logInfo(QStringLiteral("will try to relaunch into 32bit mode....."));
        // Only a refused or failed switch comes back here. Relaunching in full would read the
        // same setting and try again for ever, so this run goes on as the 64-bit build.
        if (!relaunchApp32bit()) {
            m_launchNote = QStringLiteral("< Cannot Run in 32bit Mode: running in 64bit mode >");
            qWarning().noquote() << QStringLiteral(
                "The 32-bit build could not be started: this run goes on as the 64-bit build. "
                "Set prefLaunchIn32BitMode to NO to stop asking for it.");
        }
    }

    m_fControlKeyPressed = false;
    gNikonCameraCaptureCount = 0;
    m_newImageCount = 0;
    defaults().setObject(QStringLiteral("prefNewImageCountString"), QString());

    const QString saveFolder = standardizingPath(defaults().stringForKey(kSaveFolder));
    if (!saveFolder.isEmpty() && !QFileInfo::exists(saveFolder)) {
        if (!QDir().mkpath(saveFolder))
            logInfo(QStringLiteral("createDirectoryAtPath returned error = could not create %1")
                        .arg(saveFolder));
    }
    RemoveLeftoverTransferFilesOnce(SaveFolderPath());

    const Bundle& bundle = Bundle::mainBundle();
    const QVariantMap info = bundle.infoDictionary();
    logInfo(QStringLiteral("myappinfo = %1").arg(describePropertyValue(info)));
    const QString label =
        isThis32bitMode() ? QStringLiteral("!!!! 32-Bit !!!!!") : QStringLiteral("64bit");
    QString version = info.value(QStringLiteral("CFBundleShortVersionString")).toString();
    if (version.isEmpty())
        version = QStringLiteral("Unknown???");
    defaults().setObject(QStringLiteral("prefLable1String"), label);
    defaults().setObject(
        QStringLiteral("prefWindowTitleName"),
        QStringLiteral("%1 (v%2)")
                .arg(info.value(QStringLiteral("CFBundleName")).toString(), version) +
            QStringLiteral(" %1").arg(label));
    defaults().setObject(QStringLiteral("prefLongInfoString"),
                         QStringLiteral("Version: %1 xc-%2 sdk-%3")
                             .arg(version, info.value(QStringLiteral("DTXcode")).toString(),
                                  info.value(QStringLiteral("DTSDKName")).toString()));

    {
        QMutexLocker lock(&m_timerMutex);
        m_fTimer.reset();
    }
    ibUpdateModuleList();
    // Made here, private, before any writer needs it; a refused folder has been logged.
    temporaryFolderForApplication(IfMissing::Create);

    m_miniPanelSizes = defaults().arrayForKey(QStringLiteral("prefMiniSizesInfoArray"));
    for (const QVariant& size : std::as_const(m_miniPanelSizes))
        if (size.toMap()
                .value(QStringLiteral("displayname"))
                .toString()
                .contains(QLatin1String("Default")))
            logInfo(QStringLiteral("default mini size = %1").arg(describePropertyValue(size)));
    return true;
}

void AppDelegate::applicationDidFinishLaunching() {
    inside("applicationDidFinishLaunching:");
    connect(&defaults(), &UserDefaults::valueChanged, this, &AppDelegate::logStatusChange);
    onMain([this] {
        setStatusText(m_launchNote.isEmpty() ? QStringLiteral("< No Camera Detected >")
                                             : m_launchNote);
    });
    UserNotificationCenter::defaultUserNotificationCenter().removeAllDeliveredNotifications();
    if (!gZarvNSNotificationCenter) {
        gZarvNSNotificationCenter = new ZarvNSNotificationCenter();
        gZarvNSNotificationCenter->setup();
    }

    {
        QMutexLocker lock(&m_devicesMutex);
        m_devices.clear();
    }
    m_useUsbNotification = true;

    auto& local = NotificationCenter::defaultCenter();
    if (m_useUsbNotification) {
        m_localTokens.push_back(
            local.addObserver(kZarvNikonCameraNotification,
                              [this](const Notification& n) { handleUsbDeviceAdded(n); }));
        m_localTokens.push_back(
            local.addObserver(kZarvNikonCameraRemovedNotification,
                              [this](const Notification& n) { handleUsbDeviceRemoved(n); }));
    }
    m_localTokens.push_back(local.addObserver(
        kActionsNotification, [this](const Notification& n) { handleInternalActions(n); }));

    auto& distributed = DistributedNotificationCenter::defaultCenter();
    m_distributedTokens.push_back(distributed.addObserver(
        sZarvXNotification, [this](const Notification& n) { handleSavedImageNotification(n); }));
    m_distributedTokens.push_back(
        distributed.addObserver(kNikonAppNotification, [this](const Notification& n) {
            handleDistributedNotificationNikon(n);
        }));
    m_localTokens.push_back(
        local.addObserver(kAddFromFileNotification,
                          [this](const Notification& n) { handleAddFromFileNotification(n); }));

    createScanTiemr2();
    ZARV_cameraNikon::getNikonDevices();

    // The window start-up step; without a window it keeps only what is not about the window.
    onMainAfter(std::chrono::milliseconds(200), [this] {
        // A camera already being connected keeps its light.
        if (fStatus1Image().isEmpty())
            setStatusImage(QStringLiteral("NSStatusUnavailable"));
        ibClickedOnZarvButton(QStringLiteral("appstartup"));
    });
    onMainAfter(std::chrono::milliseconds(500), [this] { ibSendAllItemsInHotFolder(); });
}

void AppDelegate::applicationWillTerminate() {
    inside("applicationWillTerminate:");
    UserNotificationCenter::defaultUserNotificationCenter().removeAllDeliveredNotifications();
    cancelScanTimer();
    {
        QMutexLocker lock(&m_timerMutex);
        if (m_fTimer2) {
            m_fTimer2->cancel();
            m_fTimer2.reset();
        }
    }
    delete m_fAcquireTimer;
    m_fAcquireTimer = nullptr;
    // The session is closed before it is dropped, on the queue that owns the module, so the
    // module and the camera are left in order.
    currentCameraDispatchQueue().sync([this] {
        std::shared_ptr<CameraSession> session = gTestNikonCamera();
        if (session && session->isCameraConnected())
            session->CloseMyCamera();
        setSession(nullptr);
        QMutexLocker lock(&m_devicesMutex);
        for (DeviceEntry& entry : m_devices)
            entry.handler.reset();
    });
    UserNotificationCenter::defaultUserNotificationCenter().removeAllDeliveredNotifications();
    defaults().synchronize();
}

void AppDelegate::applicationOpenFiles(const QStringList& paths) {
    logInfo(QStringLiteral("%1=%2").arg(QStringLiteral("application:openFiles:"),
                                        paths.join(QStringLiteral(", "))));
    NotificationCenter::defaultCenter().post(kAddFromFileNotification, QVariant(paths));
}

void AppDelegate::terminate(int status) {
    if (m_terminating.exchange(true))
        return;
    onMain([this, status] {
        applicationWillTerminate();
        QCoreApplication::exit(status);
    });
}

void AppDelegate::showInfoWindow() {
    onMain([] {
        // No info window here: its text goes to the log.
        logInfo(QStringLiteral("Info window:\n%1").arg(defaults().stringForKey(kTextView)));
        logInfo(QStringLiteral("returnCode = %1").arg(0));
    });
}

void AppDelegate::beginSheet(const Alert& alert, std::function<void(long)> completion) {
    // No window to hang a sheet on: the message goes to the log and the cancelling choice is
    // taken, so nothing waits for a person who is not there.
    const long answer = alert.cancelReturnCode;
    const qsizetype index = answer - kAlertFirstButtonReturn;
    const QString choice =
        index >= 0 && index < alert.buttons.size() ? alert.buttons.at(index) : QString();
    qWarning().noquote() << QStringLiteral(
                                "Alert: %1 | %2 | buttons [%3] -> headless answers \"%4\"")
                                .arg(alert.message, alert.informativeText.trimmed(),
                                     alert.buttons.join(QStringLiteral(", ")), choice);
    if (completion)
        onMain([completion = std::move(completion), answer] { completion(answer); });
}

void AppDelegate::ibBringToFrontButton() {
    logInfo(insideText("ibBringToFrontButton:", QStringLiteral("asked to come forward")));
}

// --- Status ---------------------------------------------------------------------------------

void AppDelegate::setStatusImage(const QString& name) {
    {
        QMutexLocker lock(&m_statusMutex);
        if (m_statusImage == name)
            return;
        m_statusImage = name;
    }
    if (m_options.headless)
        logInfo(QStringLiteral("Status light: %1").arg(name));
    emit statusImageChanged(name);
}

QString AppDelegate::fStatus1Image() const {
    QMutexLocker lock(&m_statusMutex);
    return m_statusImage;
}

void AppDelegate::setStatusText(const QString& text) {
    defaults().setObject(kNameOfCameraFound, text);
}

void AppDelegate::logStatusChange(const QString& key) {
    if (!m_options.headless || (key != kNameOfCameraFound && key != kConnectionMessage))
        return;
    const QString value = defaults().stringForKey(key);
    QString& last = key == kNameOfCameraFound ? m_loggedStatus : m_loggedMessage;
    if (value == last)
        return;
    last = value;
    // Status texts carry the device's name, which the device itself reports.
    if (key == kNameOfCameraFound)
        logInfo(QStringLiteral("Status: %1").arg(Log::quoted(value)));
    else if (!value.isEmpty())
        logInfo(QStringLiteral("Connection message: %1").arg(Log::quoted(value)));
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
    currentMiscellaneousQueue().async([this] { m_newImageCount = 0; });
    // The capture count belongs to the data callback, which runs on the camera queue.
    currentCameraDispatchQueue().async([] { gNikonCameraCaptureCount = 0; });
}

void AppDelegate::handleUsbDeviceAdded(const Notification& notification) {
    inside("handleUsbDeviceAdded:");
    onMain([this, notification] {
        for (int round = 0;; ++round) {
            {
                QMutexLocker lock(&m_lock);
                if (!m_fIsInTransition)
                    break;
            }
            if (round == 11) {
                logInfo(insideText("handleUsbDeviceAdded:", QStringLiteral(" VERY BADD...")));
                return;
            }
            logInfo(insideText("handleUsbDeviceAdded:", QStringLiteral("fIsInTransition....")));
            sleepMs(1000);
        }
        {
            QMutexLocker lock(&m_lock);
            m_fIsInTransition = true;
        }
        logInfo(QStringLiteral("notification object = %1, userInfo = %2")
                    .arg(Log::quoted(notification.object.toString()),
                         Log::quoted(notification.userInfo)));
        const QVariantMap info = notification.userInfo;
        const QVariantMap props = info.value(QStringLiteral("usbproperties")).toMap();

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

        const QVariantMap entry = info;
        if (props.value(QStringLiteral("idVendor")).toLongLong() == kNikonUSBVendorID) {
            const QString name = deviceName(entry);
            onMain([this, name] {
                defaults().removeObject(kConnectionMessage);
                setStatusImage(QStringLiteral("NSStatusPartiallyAvailable"));
                setStatusText(QStringLiteral("< Trying To Connect to %1>").arg(name));
            });
            auto& camera = currentCameraDispatchQueue();
            camera.async([this] {
                std::shared_ptr<CameraSession> old = gTestNikonCamera();
                // The module is process-wide: the old camera is closed before a new session
                // takes over, or its module would stay open behind the new one.
                if (old && old->isCameraConnected())
                    old->CloseMyCamera();
                cancelScanTimer();
                setSession(nullptr);
            });
            currentMiscellaneousQueue().async([this] { m_newImageCount = 0; });
            camera.async([] { gNikonCameraCaptureCount = 0; });
            camera.async([this, entry] {
                std::shared_ptr<CameraSession> session = m_options.sessionFactory();
                if (!session)
                    logInfo(
                        QStringLiteral("Unable to allocate for ZarvNikonBaseCameraHandler???????"));
                // The device is known from now on, not only once the connection step has
                // waited: a removal arriving in between must see which camera this session is.
                setSession(std::move(session), entry);
            });
            camera.async([this, entry, notification, props, info] {
                connectionStep(entry, notification, props, info);
            });
        }
        {
            QMutexLocker lock(&m_devicesMutex);
            m_devices.append(DeviceEntry{entry, nullptr});
            logInfo(QStringLiteral("fArrayOfDevices holds %1 device(s)").arg(m_devices.size()));
        }
        QMutexLocker lock(&m_lock);
        m_fIsInTransition = false;
    });
}

void AppDelegate::connectionStep(const QVariantMap& entry, const Notification& notification,
                                 const QVariantMap& props, const QVariantMap& info) {
    if (m_terminating)
        return;
    sleepMs(250);
    std::shared_ptr<CameraSession> session = gTestNikonCamera();
    if (!session)
        return;
    session->setFUsbDeviceInfo(entry);
    const int16_t result = session->FindCamera();
    logInfo(QStringLiteral("FindCamera returned %1").arg(result));
    const QString name = deviceName(entry);
    if (result == 0) {
        UserNotificationCenter::defaultUserNotificationCenter().removeAllDeliveredNotifications();
        session->handleUsbDeviceAdded(notification);
        createScanTimer();
        onMain([this] {
            setStatusImage(QStringLiteral("NSStatusAvailable"));
            ibClickedOnZarvButton(QStringLiteral("sendcamerastatus"));
        });
        // The camera controls bind here once the window exists.
        return;
    }
    sleepMs(750);
    if (result == -4) {
        onMain([this, name, info] {
            setStatusImage(QStringLiteral("NSCaution"));
            setStatusText(withConnectionMessage(
                QStringLiteral("< Need To RUN in Different Mode for: %1 >").arg(name)));
            currentCameraDispatchQueue().async([this, info] { checkIfNeedToRelaunch(info); });
        });
    } else if (result == -3) {
        onMain([this, name] {
            setStatusImage(QStringLiteral("NSCaution"));
            setStatusText(withConnectionMessage(
                QStringLiteral("< MISSING Required Module for: %1 >").arg(name)));
        });
    } else if (result == -2) {
        logInfo(QStringLiteral("Need to Manually Add Nikon to List...[%1]")
                    .arg(props.value(QStringLiteral("USB Product Name")).toString()));
        const std::optional<QString> path = session->GetPathToModule();
        bool offer = true;
        if (path) {
            const bool a = isModuleAtPath(*path, kArch_i386, kClassName);
            const bool b = isModuleAtPath(*path, kArch_x86_64, kClassName);
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
                logInfo(QStringLiteral("returncode = %1").arg(code));
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

void AppDelegate::checkIfNeedToRelaunch(const QVariantMap& device) {
    // Runs on the camera queue: the session is asked for its module path there.
    const QString name = deviceName(device);
    std::shared_ptr<CameraSession> session = gTestNikonCamera();
    const std::optional<QString> path = session ? session->GetPathToModule() : std::nullopt;
    if (!path)
        return;
    const bool a = isModuleAtPath(*path, kArch_i386, kClassName);
    const bool b = isModuleAtPath(*path, kArch_x86_64, kClassName);
    // A constant: the lambdas below use it without capturing it (clang rejects the capture).
    constexpr bool t = isThis32bitMode();
    QString status;
    bool offer = false;
    if (!a && !b) {
        status = QStringLiteral("< Unsupport OLDER PPC Mode For: %1 >");
    } else if (t && b) {
        status = QStringLiteral("< Need To RELaunch in 64Bit mode for: %1 >");
        offer = true;
    } else if (t && a) {
        status = QStringLiteral("< Problem with Module On this OS for: %1 >");
    } else {
        status = QStringLiteral("< Need To RELaunch in 32Bit mode for: %1 >");
        offer = true;
    }
    const QString text = withConnectionMessage(status.arg(name));
    onMain([this, text, offer] {
        setStatusText(text);
        if (!offer)
            return;
        Alert alert;
        alert.message = QStringLiteral("Need To Relaunch App !");
        alert.informativeText = QStringLiteral("This App Needs to Run in %1 Mode\n")
                                    .arg(t ? QStringLiteral("64Bit") : QStringLiteral("32Bit"));
        alert.buttons = {QStringLiteral("Cancel"), QStringLiteral("Quit and Relaunch")};
        alert.cancelReturnCode = kAlertFirstButtonReturn;
        beginSheet(alert, [this](long code) {
            if (code != kAlertSecondButtonReturn)
                return;
            logInfo(
                QStringLiteral("App should relaunch in %1 Mode next time around ................")
                    .arg(t ? QStringLiteral("64Bit") : QStringLiteral("32Bit")));
            defaults().setObject(QStringLiteral("prefLaunchIn32BitMode"), !t);
            defaults().synchronize();
            relaunchApp({});
        });
    });
}

void AppDelegate::handleUsbDeviceRemoved(const Notification& notification) {
    logInfo(QStringLiteral("handleUsbDeviceRemoved: %1").arg(Log::quoted(notification.userInfo)));
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
        logInfo(QStringLiteral("current [%1-%2] (%3), disconnected [%4-%5] (%6)")
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
            logInfo(pair.arg(QStringLiteral("is NOT the same as")));
            return;
        }
        logInfo(pair.arg(QStringLiteral("IS SAME AS")));
        currentCameraDispatchQueue().async([this, notification] { closingStep(notification); });
    });
    resetCounters();
}

void AppDelegate::closingStep(const Notification& notification) {
    onMain([this] {
        setStatusImage(QStringLiteral("NSStatusUnavailable"));
        setStatusText(QStringLiteral("< Camera Disconnected >"));
    });
    cancelScanTimer();
    if (std::shared_ptr<CameraSession> handler = getCameraHandler()) {
        handler->handleUsbDeviceRemoved(notification);
        handler->CloseMyCamera();
    }
    ibClickedOnZarvButton(QStringLiteral("sendcamerastatus"));
    sleepMs(500);
    setSession(nullptr);
    // The camera controls are reset here once the window exists.
}

std::optional<QVariantMap> AppDelegate::getUsbObject() {
    QMutexLocker lock(&m_devicesMutex);
    if (!m_devices.isEmpty()) {
        m_firstCameraObject = m_devices.first().info;
        logInfo(QStringLiteral("first obj found = %1").arg(Log::quoted(*m_firstCameraObject)));
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
    logInfo(QStringLiteral("found camera handler = %1")
                .arg(handler ? QStringLiteral("session") : QStringLiteral("(null)")));
    return handler;
}

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

// --- Saved images and the hot folder ---------------------------------------------------------

void AppDelegate::handleSavedImageNotification(const Notification& notification) {
    for (int i = 0; i < 3; ++i)
        logInfo(QStringLiteral("==================================="));
    logNotification(notification);
    const InboundPayload payload = readInboundPayload(notification);
    if (payload.senderApp && payload.filePath) {
        currentMiscellaneousQueue().async([this] {
            const int count = ++m_newImageCount;
            logInfo(insideText("handleSavedImageNotification:",
                               QStringLiteral("self.fNewImageCount = %1").arg(count)));
        });
    } else if (payload.appstartup) {
        logInfo(insideText("handleSavedImageNotification:",
                           QStringLiteral("Just appstartup at [%1]...")
                               .arg(describePropertyValue(*payload.appstartup))));
    } else {
        logInfo(insideText("handleSavedImageNotification:",
                           QStringLiteral("Did NOT really save an image?????...")));
    }
}

void AppDelegate::ibSendAllItemsInHotFolder() {
    DispatchQueue::global().async([] {
        const QVariant setting = defaults().objectForKey(kSaveFolder);
        if (setting.typeId() != QMetaType::QString)
            return;
        const QString folder = standardizingPath(setting.toString());
        if (!QFileInfo(folder).isDir())
            return;
        const QStringList list = hotFolderPictures(folder);
        logInfo(
            QStringLiteral("array[%1] = %2").arg(list.size()).arg(list.join(QStringLiteral(", "))));
        mySendLookoutAppNotificationWithFilePath(QVariant(list));
    });
}

void AppDelegate::ibFindOldImages() {
    const QString folder = standardizingPath(defaults().stringForKey(kSaveFolder));
    const std::optional<QString> output =
        runShellCommand(oldImagesCommand(folder, QStringLiteral("+60")));
    if (output)
        logInfo(QStringLiteral("cmd returned:\n%1").arg(*output));
    else
        logInfo(QStringLiteral("done..."));
    logInfo(QStringLiteral("done... done...."));
}

void AppDelegate::doRevealItem1() {
    revealItemInFinder(defaults().stringForKey(kSaveFolder));
}

void AppDelegate::doRevealItem2() {
    const std::optional<QStringList> paths = getDefaultSearchPaths();
    if (!paths || paths->isEmpty()) {
        beep();
        return;
    }
    revealItemInFinder(paths->first());
    NotificationCenter::defaultCenter().post(kAddFromFileNotification, paths->first());
}

void AppDelegate::doRevealItem3() {
    // Never the shared temporary folder: others' files are no business of this program.
    QString folder = temporaryFolderForApplication(IfMissing::GiveNothing);
    if (folder.isEmpty())
        folder = userTemporaryDirectory(IfMissing::GiveNothing);
    revealItemInFinder(folder);
}

void AppDelegate::ibShareItem(const QStringList& items) {
    const QString subject = QStringLiteral("Info Sent From %1").arg(getApplicationName());
    QStringList args{QStringLiteral("--subject"), subject};
    for (const QString& item : items)
        if (QFileInfo::exists(item))
            args << QStringLiteral("--attach") << item;
    args << QLatin1String(kSupportAddress);
    if (!QProcess::startDetached(QStringLiteral("xdg-email"), args))
        logInfo(QStringLiteral("xdg-email could not be started"));
}

void AppDelegate::ibShowCount() {
    logInfo(insideText(
        "ibShowCount:",
        QStringLiteral("self.fNewImageCount.intValue = %1").arg(m_newImageCount.load())));
    logInfo(insideText(
        "ibShowCount:",
        QStringLiteral("    gNikonCameraCaptureCount = %1").arg(gNikonCameraCaptureCount)));
}

// --- Module list ----------------------------------------------------------------------------

void AppDelegate::ibUpdateModuleList() {
    inside("ibUpdateModuleList:");
    std::optional<QVariantMap> table = getNikonLookupTable();
    const QVariant user = defaults().objectForKey(kPrefNikonLookupTable);
    if (user.typeId() == QMetaType::QVariantMap)
        table = user.toMap();
    if (!table)
        return;
    QVariantList list;
    for (auto it = table->cbegin(); it != table->cend(); ++it) {
        if (it.value().typeId() != QMetaType::QVariantMap)
            continue;
        QVariantMap entry = it.value().toMap();
        entry.insert(QStringLiteral("devicename"), it.key());
        list.append(entry);
    }
    defaults().setObject(QStringLiteral("prefNikonLookupArray"), list);
}

void AppDelegate::ibAutoSearchModule() {
    inside("ibAutoSearchModule:");
    currentCameraDispatchQueue().async([this] {
        std::shared_ptr<CameraSession> session = gTestNikonCamera();
        Alert alert;
        if (session && session->isCameraConnected()) {
            logInfo(QStringLiteral("Camera already connected to a module..."));
            alert.message = QStringLiteral("Camera Found and Connected");
            alert.informativeText =
                QStringLiteral("Camera is found and connected to a valid Nikon module...");
            alert.buttons = {QStringLiteral("Close")};
        } else if (session) {
            // The search runs in the match window, which comes with the window.
            logInfo(insideText("ibAutoSearchModule:",
                               QStringLiteral("the module search needs the match window")));
            return;
        } else {
            beep();
            logInfo(insideText("ibAutoSearchModule:", QStringLiteral("No Camera To Match...")));
            alert.message = QStringLiteral("No Camera Detected??");
            alert.informativeText = QStringLiteral("No Camera Detected to Match with Module...");
            alert.buttons = {QStringLiteral("OK")};
        }
        onMain([this, alert] { beginSheet(alert); });
    });
}

std::optional<QString> AppDelegate::performGetBundleInfo(const QString& path) {
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    QString text = path + QLatin1Char('\n');
    Bundle bundle(path);
    for (int arch : bundle.executableArchitectures()) {
        const QString name = architectureName(arch);
        logInfo(name);
        text += name + QLatin1Char(' ');
    }
    text += QStringLiteral("\n\n");
    logInfo(QStringLiteral("%1->%2 mstring = %3")
                .arg(kClassName, QStringLiteral("performGetBundleInfo:"), text));
    return text;
}

std::optional<QString> AppDelegate::performGetDylibInfo(const QString& path) {
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    std::optional<QString> output = runShellCommand(fillTemplate(
        QStringLiteral("/usr/bin/file [path]"), {{QStringLiteral("[path]"), shellQuote(path)}}));
    if (!output || output->isEmpty())
        output = QStringLiteral("Unable to get info from this camera...");
    const QString text = path + QLatin1Char('\n') + *output + QLatin1Char('\n');
    logInfo(QStringLiteral("%1->%2 returnstring = %3")
                .arg(kClassName, QStringLiteral("performGetDylibInfo:"), text));
    return text;
}

void AppDelegate::performGetMyDirectoryInfo(const QString& path) {
    inside("performGetMyDirectoryInfo:");
    const QFileInfo item(path);
    if (path.isEmpty() || !item.exists()) {
        logInfo(insideText("performGetMyDirectoryInfo:",
                           QStringLiteral(" pathToItem does NOT exist...")));
        return;
    }
    auto describeOne = [this](const QString& p) -> QString {
        const QString suffix = QFileInfo(p).suffix();
        if (suffix.compare(QLatin1String("bundle"), Qt::CaseInsensitive) == 0)
            return performGetBundleInfo(p).value_or(QString());
        if (suffix.compare(QLatin1String("dylib"), Qt::CaseInsensitive) == 0)
            return performGetDylibInfo(p).value_or(QString());
        return {};
    };
    QString text;
    if (item.isDir() && item.suffix().compare(QLatin1String("bundle"), Qt::CaseInsensitive) != 0) {
        const std::optional<QString> output = runShellCommand(fillTemplate(
            QStringLiteral("/bin/ls [path]"), {{QStringLiteral("[path]"), shellQuote(path)}}));
        const QStringList names = cleanCommandOutput(output.value_or(QString()));
        logInfo(QStringLiteral("array[%1] = %2")
                    .arg(names.size())
                    .arg(names.join(QStringLiteral(", "))));
        for (const QString& name : names)
            if (!name.isEmpty())
                text += describeOne(QDir(path).filePath(name));
    } else {
        text += describeOne(path);
    }
    defaults().setObject(kTextView, text);
}

// --- Relaunch -------------------------------------------------------------------------------

void AppDelegate::relaunchApp(const QVariant& param) {
    logInfo(insideText("relaunchApp:", QStringLiteral("param = [%1]").arg(param.toString())));
    relaunch({});
}

void AppDelegate::relaunch(const QVariant& info) {
    logInfo(
        insideText("relaunch:", QStringLiteral("info = [%1]").arg(describePropertyValue(info))));
    const QStringList args = relauncherArguments(info, Bundle::mainBundle().bundlePath(), getpid(),
                                                 m_options.arguments.mid(1));
    const QString relauncher = Bundle::mainBundle().pathForResource(QStringLiteral("relaunch"));
    if (relauncher.isEmpty() || !QProcess::startDetached(relauncher, args))
        qWarning().noquote()
            << QStringLiteral("relaunch: could not start the relauncher \"%1\"").arg(relauncher);
    terminate();
}

bool AppDelegate::relaunchApp32bit() {
    if (!isThisAppAllowedToRunIn32BitMode()) {
        logInfo(insideText(
            "relaunchApp32bit:",
            QStringLiteral("Not Allowed to launch in 32bit mode on OS 10.11 and higher.....")));
        beep();
        Alert alert;
        alert.message = QStringLiteral("Cannot Run in 32bit Mode");
        alert.informativeText =
            QStringLiteral("Nikon 32bit Modules will not run correctly on current OS.\nMust be on "
                           "Mac OS 10.10.x or lower...");
        alert.buttons = {QStringLiteral("OK")};
        beginSheet(alert);
        return false;
    }
    return relaunch32bit();
}

bool AppDelegate::relaunch32bit() {
    return relaunchAtBitsize(32);
}

bool AppDelegate::relaunchAtBitsize(int bits) {
    if (bits != 32)
        return false;
    if (!isThisAppAllowedToRunIn32BitMode()) {
        logInfo(QStringLiteral("Not Allowed to launch in 32bit mode on OS 10.11 and higher....."));
        return false;
    }
    const Bundle& bundle = Bundle::mainBundle();
    QString path = bundle.executablePath();
    if (!path.endsWith(QLatin1String("_32"))) {
        const QString wanted = path + QStringLiteral("_32");
        path = bundle.pathForAuxiliaryExecutable(QFileInfo(wanted).fileName());
        if (path.isEmpty()) {
            logInfo(QStringLiteral("Failed to relaunch. No executable at path \"%1\"").arg(wanted));
            return false;
        }
    }
    logInfo(QStringLiteral("exec'ing to path %1").arg(path));
    return replaceWithExecutable(path);
}

bool AppDelegate::replaceWithExecutable(const QString& path) {
    if (path.isEmpty())
        return false;
    QStringList args = m_options.arguments;
    if (!args.isEmpty())
        args[0] = path;
    std::vector<std::string> storage;
    char** argv = mallocdArrayOfCStrings(args, &storage);
    const QByteArray file = path.toUtf8();
    const int result = ::execv(file.constData(), argv ? argv : nullptr);
    const int error = errno;
    delete[] argv;
    logInfo(QStringLiteral("Failed exec to %1 with error %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(error))));
    logInfo(insideText("replaceWithExecutable:",
                       QStringLiteral("execv returned code = %1 ...").arg(result)));
    return false;
}

// --- Inbound notifications and actions -------------------------------------------------------

void AppDelegate::handleDistributedNotificationNikon(const Notification& notification) {
    for (int i = 0; i < 3; ++i)
        logInfo(QStringLiteral("==================================="));
    logNotification(notification);
    if (notification.userInfo.isEmpty())
        return;
    const InboundPayload payload = readInboundPayload(notification);
    if (!payload.senderApp) {
        if (!payload.rejected.contains(QStringLiteral("senderApp")))
            logInfo(QStringLiteral("=======NO SENDER APP================"));
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
    logInfo(insideText(
        "handleAddFromFileNotification:",
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
    logInfo(QStringLiteral("found info = %1").arg(defaults().stringForKey(kTextView)));
    showInfoWindow();
}

void AppDelegate::ibClickedOnZarvButton(const QVariant& sender) {
    const QString command = commandOf(sender);
    logInfo(QStringLiteral("Inside %1-%2...altTitle = [%3]...")
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
            logInfo(QStringLiteral("Inside %1-%2...OOPs - did not send any Notification??????")
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
    logInfo(QStringLiteral("Inside %1->%2...action=[%3]...")
                .arg(kClassName, QStringLiteral("ibHitButton5:"), action));
    currentCameraDispatchQueue().async([this, action] {
        std::shared_ptr<CameraSession> session = gTestNikonCamera();
        if (action == QLatin1String("loop")) {
            const auto n = int16_t(defaults().integerForKey(QStringLiteral("prefTestLoopCount")));
            for (int i = 0; i < n && session && !m_terminating; ++i) {
                logInfo(QStringLiteral("=========  loop: LOOPING Number: %1  =========").arg(i));
                session->GrabImage();
                sleepMs(500);
                session->SaveImage();
                sleepMs(500);
                logInfo(QStringLiteral("done with try loop..."));
            }
        } else if (action == QLatin1String("grabloop")) {
            logInfo(QStringLiteral("=========  grabloop: LOOPING Number: %1  =========").arg(0));
            if (session) {
                session->FindCamera();
                sleepMs(200);
                session->GrabImage();
            }
        } else if (action == QLatin1String("new")) {
            setSession(m_options.sessionFactory());
        } else if (action == QLatin1String("find")) {
            if (!session) {
                session = m_options.sessionFactory();
                if (!session) {
                    logInfo(
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
                logInfo(QStringLiteral("trying to grab - but camera NOT connected..."));
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
            logInfo(QStringLiteral("try to recover..."));
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
        logInfo(QStringLiteral("Button[%1] has no action defined????").arg(button->title));
    } else if (action == QLatin1String("cameraconnected")) {
        currentCameraDispatchQueue().async([this] {
            std::shared_ptr<CameraSession> session = gTestNikonCamera();
            const bool connected = session && session->isCameraConnected();
            logInfo(QStringLiteral("Camera %1 Connected")
                        .arg(connected ? QStringLiteral("IS") : QStringLiteral("Is NOT")));
            const QList<DeviceEntry> devices = fArrayOfDevices();
            QVariantList infos;
            for (const DeviceEntry& d : devices)
                infos.append(d.info);
            logInfo(QStringLiteral("Usb Devices List fArrayOfDevices Contains %1 Objects: %2")
                        .arg(devices.size())
                        .arg(Log::quoted(infos)));
            if (devices.isEmpty())
                logInfo(QStringLiteral("NO Usb devices in the master fArrayOfDevices....."));
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
        logInfo(QStringLiteral("what to do here?????"));
}

} // namespace zarv
