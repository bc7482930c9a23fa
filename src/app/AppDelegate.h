#pragma once

#include "AppView.h"
#include "CameraSession.h"
#include "LiveView.h"
#include "modules/ModuleListFile.h"
#include "modules/ModuleMatchTask.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace zarv {

/// An interface control as the actions see it: its title, its alternate title (the command it
/// carries) and its identifier.
struct Button {
    QString title;
    QString alternateTitle;
    QString identifier;
};

/// One entry of the device list: the device dictionary, and the session it may hold
/// ("ZarvDeviceHandler").
struct DeviceEntry {
    QVariantMap info;
    std::shared_ptr<CameraSession> handler;
};

/// The application controller: start-up and shutdown, the work queues, the reaction to cameras
/// arriving and leaving, the timers, the hot folder, relaunching and the requests of sibling
/// programs. One instance, created and driven on the main thread; it links no widgets: all it
/// shows a person goes through its view (AppView), the window or, without one, HeadlessView.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool headless = true;
        /// The process arguments (program name first).
        QStringList arguments;
        /// Makes camera sessions; the modules' own when empty.
        CameraSessionFactory sessionFactory;
        /// The GIO command-line tool that releases a camera from the desktop's automounter.
        QString gioProgram = QStringLiteral("gio");
    };

    // --- Construction, queues and helpers (AppDelegate.cpp) ------------------------------
    // Made and destroyed on the main thread; shared() and the queues from any thread.
    explicit AppDelegate(Options options);
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    static AppDelegate* shared();

    // Queues, created once on first use.
    static DispatchQueue& currentMiscellaneousQueue();
    static DispatchQueue& currentScanQueue();
    static DispatchQueue& currentCameraDispatchQueue();

    /// The view everything shown goes through; null gives the headless view back. The view
    /// must outlive the controller or be replaced first. Main thread.
    void setView(AppView* view);
    AppView& view() const { return *m_view; }
    /// Shows an alert as a sheet from any thread; `completion` gets the return code on the
    /// main thread.
    void beginSheet(const Alert& alert, std::function<void(long)> completion = {});

    bool isHeadless() const { return m_options.headless; }

    // --- Launch and termination (AppDelegateLaunch.cpp) -----------------------------------
    // Main thread; terminate(), isTerminating() and showInfoWindow() from any thread.
    /// Class initialisation: refuses a second copy, registers the factory defaults, writes the
    /// settings of every start. False when this process must end now (exit status 0).
    bool initialize();
    /// True when another copy owns the program's bus name; that copy is then asked forward.
    bool checkForDuplicateRunningInstances();
    /// False when the process is handing over (32-bit switch) or must quit.
    bool applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void applicationOpenFiles(const QStringList& paths);
    /// Ends the program: applicationWillTerminate, then the event loop stops with `status`.
    void terminate(int status = 0);
    bool isTerminating() const { return m_terminating.load(); }
    void showInfoWindow();
    /// The window's part of start-up, 0.2 s after it: front at the status level, the light,
    /// the start announced to the siblings, and focus given back 3 s later.
    void windowStartupStep();

    // --- Devices and the connection step (AppDelegateDevices.cpp) -------------------------
    // The USB handlers are called on the USB notification thread and move to the main thread;
    // getUsbObject, getCameraHandler and checkIfNeedToRelaunch run on the camera queue
    // ("com.quellbay.zarv.current.camera.queue"); the readers below them on any thread.
    void handleUsbDeviceAdded(const Notification& notification);
    void handleUsbDeviceRemoved(const Notification& notification);
    std::optional<QVariantMap> getUsbObject();
    std::shared_ptr<CameraSession> getCameraHandler();
    void checkIfNeedToRelaunch(const QVariantMap& device);
    QList<DeviceEntry> fArrayOfDevices() const;
    /// The current session. Copy it on the camera queue only: the last copy to go closes the
    /// module, and must do so there.
    std::shared_ptr<CameraSession> gTestNikonCamera() const;
    /// The status light's current image name ("NSStatusAvailable", ...).
    QString fStatus1Image() const;
    /// The camera controls' logic (ibCameraControlsViewController without its widgets): told
    /// of every connection and removal, with or without a window. Made and used on the main
    /// thread.
    CameraControls& cameraControls() { return *m_cameraControls; }
    /// The camera's live view, for the window and for scripts. Made with the controller; its
    /// hold and release from any thread.
    LiveView& liveView() { return *m_liveView; }

    // --- Timers (AppDelegateTimers.cpp) ---------------------------------------------------
    // Any thread: the scan timer fires on the camera queue, the second timer on the scan
    // queue, the acquire timer on the main thread and its loop on the global pool.
    void createScanTimer();
    /// Cancels the scan timer and the event pump.
    void cancelScanTimer();
    bool hasScanTimer() const;
    /// With "prefSaveOnCameraEvent" (default YES), starts giving the connected module idle
    /// turns on the camera queue at its own pace (`asyncRateMs`, kept within 5-100 ms; 0: 10
    /// ms), and saves each picture it announces at once, one after the other. Camera queue.
    void createEventPump(uint32_t asyncRateMs);
    bool hasEventPump() const;
    void createScanTiemr2();
    void setupAcquireTimer();
    void doAcquireLoop();

    // --- Saved images and the hot folder (AppDelegateHotFolder.cpp) -----------------------
    // Main thread; the hot-folder listing runs on the global pool, the count on the
    // miscellaneous queue.
    void handleSavedImageNotification(const Notification& notification);
    void ibSendAllItemsInHotFolder();
    void ibFindOldImages();
    void doRevealItem1();
    void doRevealItem2();
    void doRevealItem3();
    void ibShareItem(const QStringList& items);
    void ibShowCount();
    int fNewImageCount() const { return m_newImageCount.load(); }

    // --- Live view for scripts (AppDelegateLiveView.cpp) ----------------------------------
    /// "liveviewstart", "liveviewstop" or "liveviewframe" (one frame to "filePath", an
    /// absolute path) from a sibling; answered with "ZarvLiveViewNotification" and the
    /// request's "requestId". Any thread.
    void handleLiveViewRequest(const QString& what, const Notification& notification);
    /// How a live-view request is answered: its result, or an error, and the frame's file.
    using LiveViewAnswer =
        std::function<void(const QString& result, const QString& error, const QString& path)>;
    /// The next frame to `path`, written off the camera queue; `answer` says how it went.
    void writeNextLiveViewFrame(const QString& path, const LiveViewAnswer& answer);

    // --- Module list (AppDelegateModules.cpp) ---------------------------------------------
    // Main thread; the module search asks the session on the camera queue.
    void ibUpdateModuleList();
    /// Asks for a file with the open panel; the file is read off the main thread, then its
    /// user table replaces "prefNikonLookupTable" (see importModuleListFile).
    void ibImportModuleList();
    /// What the chosen file turned out to hold: stored, or refused with a log line and, for
    /// a file that is too large, holds the factory list only or is invalid, a sheet.
    void importModuleListFile(const QString& path, const ModuleListFile& file);
    /// Asks, then drops the user table so that the factory table is used again.
    void ibRevertModuleList();
    /// Offers the module search for the current camera: a connected camera or none gets a
    /// sheet; otherwise a matching task starts and the match window shows it. While a search
    /// runs, its window is shown again instead of starting another.
    void ibAutoSearchModule();
    /// The module search last started (fMatchController); null before the first. Main thread.
    std::shared_ptr<ModuleMatchTask> fMatchController() const { return m_fMatchController; }
    std::optional<QString> performGetBundleInfo(const QString& path);
    std::optional<QString> performGetDylibInfo(const QString& path);
    void performGetMyDirectoryInfo(const QString& path);

    // --- Relaunch and the 32-bit switch (AppDelegateRelaunch.cpp) -------------------------
    // Main thread.
    void relaunchApp(const QVariant& param);
    /// The full relaunch: starts the "relaunch" resource, then terminates.
    void relaunch(const QVariant& info);
    /// Each of these returns only when the switch did not happen (false).
    bool relaunchApp32bit();
    bool relaunch32bit();
    bool relaunchAtBitsize(int bits);
    /// Replaces the process image; returns only when that failed (false). It does not fall
    /// back to a full relaunch: the new process would read the same setting and try again.
    bool replaceWithExecutable(const QString& path);

    // --- Inbound actions and buttons (AppDelegateActions.cpp) -----------------------------
    // Sibling requests arrive on the main thread, internal ones on the poster's thread; the
    // buttons may be pressed from any thread and reach the session on the camera queue.
    void handleDistributedNotificationNikon(const Notification& notification);
    void handleInternalActions(const Notification& notification);
    void handleAddFromFileNotification(const Notification& notification);
    /// The argument is a Button (its alternate title is the command) or the command as text.
    void ibClickedOnZarvButton(const QVariant& sender);
    void ibHitButton5(const QVariant& sender);
    void ibHitButton1();
    void ibHitButton2();
    void ibHitButton3();
    void ibHitButton4();
    void ibHitButton6();
    void ibHitTestButton(const QVariant& sender);
    void ibHitCameraControlButton(const QVariant& sender);
    void ibBringToFrontButton();

    // --- Window (AppDelegateWindow.cpp) ---------------------------------------------------
    // Main thread: the window's controls call these; the view shows what they decide.
    /// The module-list toolbar, by the selected segment's tag.
    void ibHandleSegmentedControl1(int tag);
    /// The camera-settings toolbar, by the selected segment's tag.
    void ibHandleSegmentedControl2(int tag);
    /// The quit confirmation sheet, and what its answer does.
    void ibConfirmQuit();
    void confirmQuitEnded(long returnCode);
    /// The camera-settings tab was selected: its pages are prepared for the current session,
    /// then a connected camera's settings are read again.
    void cameraSettingsTabSelected();

private:
    // --- Construction, queues and helpers: any thread -------------------------------------
    /// Runs a block on the main queue, unless the controller is gone by then.
    void onMain(DispatchQueue::Block block);
    void onMainAfter(std::chrono::milliseconds delay, DispatchQueue::Block block);
    /// Runs a block on the global queue; the destructor waits for every such block.
    void onGlobal(DispatchQueue::Block block);
    /// Sleeps on a global-queue block; false (at once) when the controller is going away.
    bool pauseUnlessStopping(std::chrono::milliseconds delay);

    // --- Devices: status on the main thread, the steps and the session on the camera queue
    void setStatusImage(const QString& name);
    void setStatusText(const QString& text);
    void statusTextChanged(const QString& key);
    /// A camera's arrival as the USB watcher reported it: the notification and its device
    /// dictionary, which the device list keeps and the session is given.
    struct CameraArrival {
        Notification notification;
        QVariantMap device;
        QVariantMap usbProperties() const {
            return device.value(QStringLiteral("usbproperties")).toMap();
        }
    };
    void connectionStep(const CameraArrival& arrival);
    void closingStep(const Notification& notification);
    /// Replaces the session; `device` is what a removal is compared with from now on.
    void setSession(std::shared_ptr<CameraSession> session, const QVariantMap& device = {});
    QVariantMap sessionDeviceInfo() const;
    void resetCounters();
    QString deviceName(const QVariantMap& device) const;
    QString withConnectionMessage(const QString& status) const;
    /// FindCamera found the device held by another process: names it, and offers (or, headless
    /// with the setting, performs) the automounter's release, then connects again once.
    void deviceHeldStep(const CameraArrival& arrival);

    // --- Module list: main thread ---------------------------------------------------------
    /// Keeps and starts a new module search, unless one is running.
    void startMatchTask(const std::shared_ptr<ModuleMatchTask>& task);
    /// Shows the search under way, if any; false when none runs.
    bool showRunningMatchTask();

    // --- Timers: the scan tick on the camera queue, the sweep tick on the scan queue ------
    void scanTick();
    // Saves the next picture when the session is connected; otherwise logs why not. Camera queue.
    void saveIfConnected(const std::shared_ptr<CameraSession>& session, const QString& logPrefix);
    void sweepTick();
    // The event pump's tick and the saving of what the camera announced, one picture per block
    // so that other camera commands get their turn in a burst. Camera queue.
    void eventPumpTick();
    void saveAnnounced();

    Options m_options;
    std::atomic<bool> m_terminating{false};

    mutable QMutex m_sessionMutex;
    std::shared_ptr<CameraSession> m_session; // copied and dropped on the camera queue only
    QVariantMap m_sessionDevice;              // the device the session was given
    QString m_releasedNode; // camera queue only: the device node last released, tried once

    mutable QMutex m_devicesMutex;
    QList<DeviceEntry> m_devices;
    std::optional<QVariantMap> m_firstCameraObject;
    bool m_useUsbNotification = false;

    // Standard primitives rather than Qt's: ThreadSanitizer sees their waits, it cannot see
    // inside QWaitCondition.
    std::mutex m_globalMutex; // guards the two below
    std::condition_variable m_globalChanged;
    int m_globalBlocks = 0;
    bool m_stopping = false;
    QString m_launchNote; // why this run is not the build the settings asked for

    mutable QMutex m_timerMutex;
    std::shared_ptr<DispatchTimer> m_fTimer;  // scan timer
    std::shared_ptr<DispatchTimer> m_fTimer2; // sweep timer
    std::shared_ptr<DispatchTimer> m_eventPump;
    uint32_t m_savesOwed = 0; // camera queue only: pictures announced and not yet saved
    bool m_draining = false;  // camera queue only: a saveAnnounced is queued
    QObject* m_fAcquireTimer = nullptr;

    std::atomic<int> m_newImageCount{0};

    std::shared_ptr<ModuleMatchTask> m_fMatchController; // main thread
    ModuleMatchTask::ListenerToken m_matchListener = 0;

    mutable QMutex m_statusMutex;
    QString m_statusImage;

    std::unique_ptr<CameraControls> m_cameraControls;
    std::unique_ptr<LiveView> m_liveView;
    std::unique_ptr<AppView> m_headlessView;
    AppView* m_view = nullptr; // main thread

    std::vector<NotificationCenter::Token> m_localTokens;
    std::vector<quint64> m_distributedTokens;
    QObject* m_busAdaptor = nullptr;
};

} // namespace zarv

Q_DECLARE_METATYPE(zarv::Button)
