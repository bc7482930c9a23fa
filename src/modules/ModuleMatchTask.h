#pragma once

// The module matching task: tries every installed module bundle that this process can load
// against the attached camera, one at a time on the match queue, and remembers the first one
// that sees it in the user copy of the lookup table. The match window and the controller show
// it; the task itself knows no widgets.

#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

#include <QString>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace zarv {

/// The camera a match runs for, as the task asks it: the camera session.
class MatchSubject {
public:
    virtual ~MatchSubject() = default;
    /// The attached camera as USB watching described it ("deviceName", "productID", ...);
    /// callable from any thread.
    virtual QVariantMap fUsbDeviceInfo() const = 0;
    /// Module loaded and the camera's source opened.
    virtual bool isCameraConnected() = 0;
    /// Tries one module bundle against whatever camera is attached and releases it again:
    /// 0 when a camera answered. Blocks, about 1.75 s when no camera answers.
    virtual int16_t SearchCameraWithModulePath(const QString& path) = 0;
};

/// Posted on the default notification centre at the end of every run.
inline const QString kZarvNikonCameraActionsNotification =
    QStringLiteral("com.quellbay.ZarvNikonCamera.actions");

/// One matching task for one camera (ZarvNikonMatchModuleWindowController's logic). Made and
/// driven on the main thread; the run goes on the match queue, and everything it reports
/// reaches the listeners on the main thread. Held by shared pointer: a run keeps its task alive.
class ModuleMatchTask : public std::enable_shared_from_this<ModuleMatchTask> {
public:
    /// How a run ended.
    enum class Outcome {
        Matched,  ///< a module saw the camera (stored when the camera gave its name and id)
        NotFound, ///< no module saw it, or there was none to try
        Aborted,  ///< the user asked for a pause; nothing stored
        Refused,  ///< the camera is connected to a module: nothing was tried, nothing posted
        Stopped,  ///< the program is ending: nothing stored, nothing posted
    };

    struct Options {
        /// The queue every call into the camera must run on (the camera queue); each probe
        /// runs there, on behalf of the match queue, so that nothing else touches the camera
        /// layer meanwhile. Null: the calls run on the match queue itself.
        DispatchQueue* cameraQueue = nullptr;
        /// The application controller started the task: the status also goes to the main
        /// window's status line ("prefNameOfCameraFound").
        bool fOwner = false;
        /// Null: UserDefaults::standard(). Must outlive the task.
        UserDefaults* defaults = nullptr;
        /// Null: NotificationCenter::defaultCenter(). Must outlive the task.
        NotificationCenter* center = nullptr;
    };

    /// What the task reports, on the main thread. Each may be empty.
    struct Listener {
        /// A bound text changed: "fStatusMesg1", "fStatusCameraName" or "fButtonTitle".
        std::function<void(const QString& field, const QString& text)> textChanged;
        /// The progress indicator spins (a run is under way) or stops.
        std::function<void(bool spinning)> progressChanged;
        /// A run ended; `module` is the matched bundle's file name, when one matched.
        std::function<void(Outcome outcome, const QString& module)> finished;
    };
    using ListenerToken = quint64;

    /// Log lines name the task as the window controller the user knows.
    static inline const QString kClassName = QStringLiteral("ZarvNikonMatchModuleWindowController");
    static inline const QString kStatusMesg1 = QStringLiteral("fStatusMesg1");
    static inline const QString kStatusCameraName = QStringLiteral("fStatusCameraName");
    static inline const QString kButtonTitle = QStringLiteral("fButtonTitle");

    /// A task for `camera` (none: starting only says there is no camera to match).
    static std::shared_ptr<ModuleMatchTask> create(std::shared_ptr<MatchSubject> camera,
                                                   Options options);
    static std::shared_ptr<ModuleMatchTask> create(std::shared_ptr<MatchSubject> camera);
    ~ModuleMatchTask();
    ModuleMatchTask(const ModuleMatchTask&) = delete;
    ModuleMatchTask& operator=(const ModuleMatchTask&) = delete;

    /// The match queue, "com.quellbay.zarv.match.module.queue", created once.
    static DispatchQueue& currentCameraDispatchQueue();

    /// The start/pause button: starts a run, or, while one is under way, asks it to stop after
    /// the probe in progress. Main thread; never waits for the run.
    void ibStartTask();
    /// Ends a run after the probe in progress without storing or posting anything (the
    /// program is quitting). Any thread.
    void stop();

    /// Adds or removes a listener; main thread only.
    ListenerToken addListener(Listener listener);
    void removeListener(ListenerToken token);

    // State, as the window binds it. The texts are main-thread only.
    bool fTaskStarted() const { return m_running.load(); }
    bool fWantsToPauseTask() const { return m_wantsToPause.load(); }
    QString fStatusMesg1() const { return m_statusMesg1; }
    QString fStatusCameraName() const { return m_statusCameraName; }
    QString fButtonTitle() const { return m_buttonTitle; }
    bool isSpinning() const { return m_spinning; }
    /// Runs started so far (refused ones included).
    int runCount() const { return m_runs; }
    bool fOwner() const { return m_options.fOwner; }

private:
    ModuleMatchTask(std::shared_ptr<MatchSubject> camera, Options options);
    // The run, on the match queue.
    void run();
    // A call into the camera, on the camera queue when there is one.
    template <typename F> auto onCamera(F&& f) -> decltype(f());
    // Main thread: the bound state and the listeners.
    void setText(const QString& field, const QString& text);
    void setSpinning(bool spinning);
    void endRun(Outcome outcome, const QString& module);
    // Queues a block on the main queue, keeping the task alive until it ran.
    void onMain(std::function<void(ModuleMatchTask&)> block);
    UserDefaults& defaults() const;

    std::shared_ptr<MatchSubject> m_camera;
    Options m_options;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_wantsToPause{false};
    std::atomic<bool> m_stopping{false};
    // Main thread only.
    QString m_statusMesg1;
    QString m_statusCameraName;
    QString m_buttonTitle = QStringLiteral("Start");
    bool m_spinning = false;
    int m_runs = 0;
    std::map<ListenerToken, Listener> m_listeners;
    ListenerToken m_nextToken = 1;
};

} // namespace zarv
