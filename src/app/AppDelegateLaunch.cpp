#include "AppDelegatePrivate.h"
#include "platform/Log.h"

#include "SingleInstance.h"
#include "messaging/OutboundNotifications.h"
#include "messaging/ShotTimeline.h"
#include "messaging/ZarvNSNotificationCenter.h"
#include "modules/Architecture.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Path.h"
#include "platform/UserNotificationCenter.h"
#include "sdk/CallBack.h"
#include "sdk/Function.h"
#include "usb/ZARV_camera.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QPointer>

namespace zarv {

namespace {

const QString kNikonAppNotification = QStringLiteral("ZarvNikonAppNotification");

} // namespace

// --- Start-up -------------------------------------------------------------------------------

bool AppDelegate::initialize() {
    if (checkForDuplicateRunningInstances())
        return false;

    Log::info(zarvApp,
              QStringLiteral("arguments = %1").arg(m_options.arguments.join(QLatin1Char(' '))));
    for (const QString& argument : m_options.arguments) {
        if (argument.compare(QLatin1String("-fromlaunchagent"), Qt::CaseInsensitive) == 0)
            Log::info(zarvApp, QStringLiteral("App Launched From LaunchAgent..."));
        if (argument.compare(QLatin1String("-fromzarvpreview"), Qt::CaseInsensitive) == 0)
            Log::info(zarvApp, QStringLiteral("App Launched From ZarvLookout.app..."));
    }

    const QString factory = Bundle::mainBundle().pathForResource(QStringLiteral("FactoryDefault"),
                                                                 QStringLiteral("plist"));
    if (!factory.isEmpty())
        defaults().registerDefaultsFromFile(factory);

    const bool allowed = isThisAppAllowedToRunIn32BitMode();
    defaults().setObject(QStringLiteral("prefIsThisAppAllowedIn32BitMode"), allowed);
    if (!allowed) {
        Log::info(zarvApp,
                  Log::insideText(kClassName, "initialize",
                                  QStringLiteral(" THIS IS NOT ALLOWED TO RUN in 32bit Mode...")));
        defaults().setObject(kLaunchIn32BitMode, false);
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
    Log::info(zarvApp, Log::insideText(
                           kClassName, "checkForDuplicateRunningInstances",
                           QStringLiteral("Another Instance of this app is already running...")));
    return true;
}

bool AppDelegate::applicationWillFinishLaunching() {
    inside("applicationWillFinishLaunching:");
    if (!defaults().boolForKey(kLaunchIn32BitMode) && isThis32bitMode()) {
        Alert alert;
        alert.style = Alert::Style::Critical;
        alert.message = QStringLiteral("!!! This App Cannot Run in the 32bit Mode !!!");
        alert.informativeText = QStringLiteral(
            "\nThis App can only run in the 32bit mode on Mac OS 10.10 and lower.\n\nPlease "
            "UNCheck the 32bit mode flag from the Finder's Get Info Window for this "
            "application!\n\n\n");
        alert.buttons = {QStringLiteral("Quit Now")};
        alert.cancelReturnCode = kAlertFirstButtonReturn;
        // The program ends once the person has read why.
        beginSheet(alert, [this](long) { terminate(); });
        return false;
    }
    defaults().removeObject(kTextView);

    if (defaults().boolForKey(kLaunchIn32BitMode) && !isThis32bitMode()) {
        Log::info(zarvApp, QStringLiteral("will try to relaunch into 32bit mode....."));
        // Only a refused or failed switch comes back here. Relaunching in full would read the
        // same setting and try again for ever, so this run goes on as the 64-bit build.
        if (!relaunchApp32bit()) {
            m_launchNote = QStringLiteral("< Cannot Run in 32bit Mode: running in 64bit mode >");
            qCWarning(zarvApp).noquote() << QStringLiteral(
                "The 32-bit build could not be started: this run goes on as the 64-bit build. "
                "Set prefLaunchIn32BitMode to NO to stop asking for it.");
        }
    }

    gNikonCameraCaptureCount = 0;
    m_newImageCount = 0;
    defaults().setObject(QStringLiteral("prefNewImageCountString"), QString());

    const QString saveFolder = standardizingPath(defaults().stringForKey(kSaveFolder));
    if (!saveFolder.isEmpty() && !QFileInfo::exists(saveFolder)) {
        if (!QDir().mkpath(saveFolder))
            Log::info(zarvApp,
                      QStringLiteral("createDirectoryAtPath returned error = could not create %1")
                          .arg(saveFolder));
    }
    RemoveLeftoverTransferFilesOnce(SaveFolderPath());

    const Bundle& bundle = Bundle::mainBundle();
    const QVariantMap info = bundle.infoDictionary();
    Log::info(zarvApp, QStringLiteral("myappinfo = %1").arg(describePropertyValue(info)));
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

    // The window's size pop-up lists these; the log names the default one.
    const QVariantList sizes = defaults().arrayForKey(QStringLiteral("prefMiniSizesInfoArray"));
    for (const QVariant& size : sizes)
        if (size.toMap()
                .value(QStringLiteral("displayname"))
                .toString()
                .contains(QLatin1String("Default")))
            Log::info(zarvApp,
                      QStringLiteral("default mini size = %1").arg(describePropertyValue(size)));
    return true;
}

void AppDelegate::applicationDidFinishLaunching() {
    inside("applicationDidFinishLaunching:");
    connect(&defaults(), &UserDefaults::valueChanged, this, &AppDelegate::statusTextChanged);
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
    m_localTokens.push_back(
        local.addObserver(kZarvNikonCameraActionsNotification,
                          [this](const Notification& n) { handleInternalActions(n); }));

    auto& distributed = DistributedNotificationCenter::defaultCenter();
    m_distributedTokens.push_back(distributed.addObserver(
        sZarvXNotification, [this](const Notification& n) { handleSavedImageNotification(n); }));
    m_distributedTokens.push_back(
        distributed.addObserver(kNikonAppNotification, [this](const Notification& n) {
            handleDistributedNotificationNikon(n);
        }));
    ShotTimeline::shared().setListener(postShotRecord);
    m_localTokens.push_back(
        local.addObserver(kAddFromFileNotification,
                          [this](const Notification& n) { handleAddFromFileNotification(n); }));

    createScanTiemr2();
    ZARV_cameraNikon::getNikonDevices();

    onMain([this] { view().showMiniPanelAtStart(); });
    onMainAfter(std::chrono::milliseconds(200), [this] { windowStartupStep(); });
    onMainAfter(std::chrono::milliseconds(500), [this] { ibSendAllItemsInHotFolder(); });
}

void AppDelegate::applicationWillTerminate() {
    inside("applicationWillTerminate:");
    // A module search ends after the probe in progress, and asks for no relaunch.
    if (m_fMatchController)
        m_fMatchController->stop();
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
    m_liveView->releaseAll(); // queued ahead of the close below
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
    Log::info(zarvApp, QStringLiteral("%1=%2").arg(QStringLiteral("application:openFiles:"),
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

void AppDelegate::windowStartupStep() {
    const bool activate = defaults().boolForKey(QStringLiteral("prefActivateAppAtStartup"));
    if (activate)
        ibBringToFrontButton();
    view().orderFrontAtStatusLevel(activate);
    // A camera already being connected keeps its light.
    if (fStatus1Image().isEmpty())
        setStatusImage(QStringLiteral("NSStatusUnavailable"));
    ibClickedOnZarvButton(QStringLiteral("appstartup"));
    if (activate)
        return;
    // A timer, not a sleeping worker: nothing is left running when the program quits sooner.
    onMainAfter(std::chrono::seconds(3), [this] {
        view().resignMainWindow();
        Log::info(zarvApp, QStringLiteral("should have resigned..."));
    });
}

void AppDelegate::showInfoWindow() {
    onMain([this] {
        view().showInfoWindow(
            [](long code) { Log::info(zarvApp, QStringLiteral("returnCode = %1").arg(code)); });
    });
}

} // namespace zarv
