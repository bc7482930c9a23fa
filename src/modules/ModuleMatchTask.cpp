#include "ModuleMatchTask.h"

#include "Architecture.h"
#include "LookupTable.h"
#include "ModuleInventory.h"
#include "platform/Bundle.h"
#include "platform/Log.h"

#include <QDebug>
#include <QFileInfo>

#include <type_traits>

namespace zarv {

namespace {

const QString kNameOfCameraFound = QStringLiteral("prefNameOfCameraFound");

} // namespace

std::shared_ptr<ModuleMatchTask> ModuleMatchTask::create(std::shared_ptr<MatchSubject> camera,
                                                         Options options) {
    return std::shared_ptr<ModuleMatchTask>(new ModuleMatchTask(std::move(camera), options));
}

std::shared_ptr<ModuleMatchTask> ModuleMatchTask::create(std::shared_ptr<MatchSubject> camera) {
    return create(std::move(camera), Options());
}

ModuleMatchTask::ModuleMatchTask(std::shared_ptr<MatchSubject> camera, Options options)
    : m_camera(std::move(camera)), m_options(options) {}

ModuleMatchTask::~ModuleMatchTask() {
    // The session belongs to the camera queue: its last reference goes there.
    if (m_camera && m_options.cameraQueue && !m_options.cameraQueue->isCurrent())
        m_options.cameraQueue->async([camera = std::move(m_camera)]() mutable { camera.reset(); });
}

DispatchQueue& ModuleMatchTask::currentCameraDispatchQueue() {
    // Never destroyed: a run may still be in its probe while the process ends.
    static auto* const queue = new std::shared_ptr<DispatchQueue>(
        DispatchQueue::createSerial(QStringLiteral("com.quellbay.zarv.match.module.queue")));
    return **queue;
}

UserDefaults& ModuleMatchTask::defaults() const {
    return m_options.defaults ? *m_options.defaults : UserDefaults::standard();
}

ModuleMatchTask::ListenerToken ModuleMatchTask::addListener(Listener listener) {
    const ListenerToken token = m_nextToken++;
    m_listeners.emplace(token, std::move(listener));
    return token;
}

void ModuleMatchTask::removeListener(ListenerToken token) {
    m_listeners.erase(token);
}

void ModuleMatchTask::onMain(std::function<void(ModuleMatchTask&)> block) {
    DispatchQueue::main().async(
        [self = shared_from_this(), block = std::move(block)] { block(*self); });
}

void ModuleMatchTask::setText(const QString& field, const QString& text) {
    if (field == kStatusMesg1)
        m_statusMesg1 = text;
    else if (field == kStatusCameraName)
        m_statusCameraName = text;
    else if (field == kButtonTitle)
        m_buttonTitle = text;
    // A copy: a listener may remove itself or others while being called.
    const auto listeners = m_listeners;
    for (const auto& [token, listener] : listeners)
        if (listener.textChanged && m_listeners.count(token))
            listener.textChanged(field, text);
}

void ModuleMatchTask::setSpinning(bool spinning) {
    m_spinning = spinning;
    const auto listeners = m_listeners;
    for (const auto& [token, listener] : listeners)
        if (listener.progressChanged && m_listeners.count(token))
            listener.progressChanged(spinning);
}

void ModuleMatchTask::stop() {
    m_stopping = true;
}

void ModuleMatchTask::ibStartTask() {
    Log::inside(zarvModules, kClassName, QStringLiteral("ibStartTask:"));
    if (!m_camera) {
        Log::info(zarvModules, Log::insideText(ModuleMatchTask::kClassName, "ibStartTask:",
                                               QStringLiteral(" NO Camera To Match....")));
        setText(kStatusCameraName, QStringLiteral("NO Camera To Match??"));
        return;
    }
    if (m_running) {
        Log::info(zarvModules,
                  Log::insideText(ModuleMatchTask::kClassName, "ibStartTask:",
                                  QStringLiteral("Please Wait - ALREADY in Progress...")));
        m_wantsToPause = true;
        return;
    }
    // Marked here rather than when the run begins, so that a second press before the queue
    // gets to the first run asks for a pause instead of queueing a second run.
    m_running = true;
    m_stopping = false;
    ++m_runs;
    currentCameraDispatchQueue().async([self = shared_from_this()]() mutable {
        self->run();
        // The task's state is the main queue's: its last reference goes there too.
        DispatchQueue::main().async([last = std::move(self)] { Q_UNUSED(last); });
    });
}

template <typename F> auto ModuleMatchTask::onCamera(F&& f) -> decltype(f()) {
    DispatchQueue* queue = m_options.cameraQueue;
    if (!queue || queue->isCurrent())
        return f();
    std::invoke_result_t<F> result{};
    queue->sync([&] { result = f(); });
    return result;
}

void ModuleMatchTask::run() {
    // The probe loads other modules and replaces the camera layer's entry point: never while a
    // camera is connected through it.
    if (onCamera([this] { return m_camera->isCameraConnected(); })) {
        Log::info(zarvModules, QStringLiteral("Camera already connected to a module..."));
        onMain([](ModuleMatchTask& task) {
            task.m_running = false;
            task.m_wantsToPause = false;
            task.endRun(Outcome::Refused, QString());
        });
        return;
    }

    const QVariantMap device = m_camera->fUsbDeviceInfo();
    const QVariant deviceName = device.value(QStringLiteral("deviceName"));
    onMain([deviceName](ModuleMatchTask& task) {
        task.setText(kButtonTitle, QStringLiteral("Pause"));
        task.setSpinning(true);
        task.setText(kStatusCameraName, QStringLiteral("some camera"));
        if (deviceName.typeId() == QMetaType::QString && !deviceName.toString().isEmpty())
            task.setText(kStatusCameraName, deviceName.toString());
    });
    Log::info(zarvModules,
              QStringLiteral("self.fTestNikonCamera.fUsbDeviceInfo = %1").arg(Log::quoted(device)));

    const QStringList paths = getListOfModuleBundles(true).value_or(QStringList());
    Log::info(zarvModules, QStringLiteral("listOfPathsToModules = %1").arg(Log::describe(paths)));
    const int running = isThis32bitMode() ? Bundle::I386 : Bundle::X86_64;
    QString matched;
    for (const QString& path : paths) {
        if (m_stopping)
            break;
        const QString name = QFileInfo(path).fileName();
        if (path.isEmpty() || !isModuleAtPath(path, running, kClassName)) {
            Log::info(zarvModules,
                      QStringLiteral("skipping invalid module for this running architecture: %1")
                          .arg(name));
            continue;
        }
        Log::info(zarvModules, QStringLiteral("ibStartTask CHECKING MODULE: [%1]...").arg(name));
        onMain([name](ModuleMatchTask& task) {
            task.setText(kStatusMesg1, QStringLiteral("CHECKING MODULE: [%1]...").arg(name));
            if (task.m_options.fOwner)
                task.defaults().setObject(kNameOfCameraFound,
                                          QStringLiteral("Checking module: %1").arg(name));
        });
        const int16_t result =
            onCamera([this, &path] { return m_camera->SearchCameraWithModulePath(path); });
        if (result == 0) {
            Log::info(zarvModules, QStringLiteral("success in finding amodule....[%1]").arg(name));
            matched = name;
            break;
        }
        Log::info(zarvModules,
                  QStringLiteral("oserr result from SearchCameraWithModulePath[%1] = %2")
                      .arg(name)
                      .arg(result));
        if (m_wantsToPause || m_stopping)
            break;
    }

    Outcome outcome = matched.isEmpty() ? Outcome::NotFound : Outcome::Matched;
    if (m_stopping) {
        Log::info(zarvModules, Log::insideText(ModuleMatchTask::kClassName, "ibStartTask:",
                                               QStringLiteral("stopped: the program is ending")));
        outcome = Outcome::Stopped;
    } else if (m_wantsToPause) {
        outcome = Outcome::Aborted;
        onMain([](ModuleMatchTask& task) {
            task.setText(kStatusMesg1, QStringLiteral("User Aborted Task..."));
        });
    } else if (!matched.isEmpty()) {
        // Stored on the main queue, ahead of the list refresh the notification below asks for.
        const bool stored = addMatchedCamera(device, matched, defaults());
        // A match that could not be remembered must not read as one that was.
        const QString text =
            stored ? QStringLiteral("Matched to Module: %1").arg(matched)
                   : QStringLiteral("Matched to Module: %1 - NOT stored: the camera gave no "
                                    "name or product id")
                         .arg(matched);
        onMain([text](ModuleMatchTask& task) { task.setText(kStatusMesg1, text); });
    }

    onMain([outcome, matched](ModuleMatchTask& task) {
        task.setSpinning(false);
        task.setText(kButtonTitle, QStringLiteral("Start"));
        task.m_running = false;
        task.m_wantsToPause = false;
        task.endRun(outcome, matched);
    });
    if (outcome == Outcome::Stopped)
        return;
    NotificationCenter& center =
        m_options.center ? *m_options.center : NotificationCenter::defaultCenter();
    center.post(kZarvNikonCameraActionsNotification, {},
                {{QStringLiteral("action"), QStringLiteral("updatemodulelist")}});
}

void ModuleMatchTask::endRun(Outcome outcome, const QString& module) {
    const auto listeners = m_listeners;
    for (const auto& [token, listener] : listeners)
        if (listener.finished && m_listeners.count(token))
            listener.finished(outcome, module);
}

} // namespace zarv
