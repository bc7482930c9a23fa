#include "AppDelegatePrivate.h"

#include "HeadlessView.h"

#include "platform/DistributedNotificationCenter.h"

#include <QPointer>

namespace zarv {

namespace {

AppDelegate* g_shared = nullptr;

// Kept for the life of the process: a queue torn down by static destruction, after the
// application object is gone, could no longer be told to stop.
std::shared_ptr<DispatchQueue> makeQueue(const char* label) {
    return DispatchQueue::createSerial(QLatin1String(label));
}

} // namespace

AppDelegate::AppDelegate(Options options)
    : m_options(std::move(options)), m_headlessView(std::make_unique<HeadlessView>()),
      m_view(m_headlessView.get()) {
    qRegisterMetaType<Button>();
    if (!m_options.sessionFactory)
        m_options.sessionFactory = nikonCameraSessionFactory();
    CameraControls::Options controls;
    controls.cameraQueue = &currentCameraDispatchQueue();
    controls.session = [this]() -> std::shared_ptr<CameraSettingsSubject> {
        return gTestNikonCamera();
    };
    m_cameraControls = std::make_unique<CameraControls>(std::move(controls));
    LiveView::Hooks live;
    live.cameraQueue = &currentCameraDispatchQueue();
    live.session = [this] { return gTestNikonCamera(); };
    // Camera queue, as the pump's own state.
    live.saveWaiting = [this] { return m_savesOwed > 0 || m_draining; };
    m_liveView = std::make_unique<LiveView>(std::move(live));
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
    m_liveView.reset();
    if (m_fMatchController) {
        m_fMatchController->removeListener(m_matchListener);
        m_fMatchController->stop();
        m_fMatchController.reset();
    }
    // A module search probes through the camera queue: it goes first.
    ModuleMatchTask::currentCameraDispatchQueue().sync([] {});
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

void AppDelegate::setView(AppView* view) {
    m_view = view ? view : m_headlessView.get();
}

void AppDelegate::beginSheet(const Alert& alert, std::function<void(long)> completion) {
    onMain([this, alert, completion = std::move(completion)]() mutable {
        // The answer comes back to this controller only while it exists.
        QPointer<AppDelegate> self(this);
        view().beginSheet(alert, [self, completion = std::move(completion)](long code) {
            if (self && completion)
                completion(code);
        });
    });
}

} // namespace zarv
