// The controller in this process with a scripted camera session: the fixtures its tests share.

#pragma once

#include "RecordingView.h"
#include "TestSupport.h"
#include "app/AppDelegate.h"
#include "modules/Architecture.h"
#include "modules/LookupTable.h"
#include "modules/ModulesTestSupport.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "platform/UserNotificationCenter.h"
#include "session/ZarvNikonBaseCameraHandler.h"
#include "usb/ZARV_camera.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

namespace zarv::test {

using namespace zarv;

struct Script {
    std::atomic<int> made{0};
    std::atomic<int> finds{0};
    std::atomic<int> grabs{0};
    std::atomic<int> saves{0};
    std::atomic<int> closes{0};
    std::atomic<int> offQueue{0}; // calls that did not run on the camera queue
    std::atomic<int> result{0};   // what FindCamera answers
    std::atomic<int> probes{0};
    std::atomic<bool> holdProbes{false}; // a probe lasts until this is cleared
    std::atomic<uint32_t> announced{0};  // pictures the camera announces at its next turn
    std::atomic<uint32_t> announcedDuringFirstSave{0};
    QString connectionMessage; // stored by FindCamera when not empty
    QString modulePath;        // what GetPathToModule answers, when not empty
};

class ScriptedSession : public CameraSession {
public:
    explicit ScriptedSession(Script& script) : m_script(script) { ++m_script.made; }
    QVariantMap fUsbDeviceInfo() const override {
        QMutexLocker lock(&m_mutex);
        return m_info;
    }
    void setFUsbDeviceInfo(const QVariantMap& info) override {
        check();
        QMutexLocker lock(&m_mutex);
        m_info = info;
    }
    int16_t FindCamera() override {
        check();
        ++m_script.finds;
        if (!m_script.connectionMessage.isEmpty())
            UserDefaults::standard().setObject(QStringLiteral("prefCameraConnectionMessage"),
                                               m_script.connectionMessage);
        m_connected = m_script.result == 0;
        return int16_t(m_script.result.load());
    }
    std::optional<QString> GetPathToModule() override {
        check();
        if (m_script.modulePath.isEmpty())
            return std::nullopt;
        return m_script.modulePath;
    }
    bool isCameraConnected() override {
        check();
        return m_connected;
    }
    int16_t SearchCameraWithModulePath(const QString&) override {
        check();
        ++m_script.probes;
        for (int i = 0; i < 1000 && m_script.holdProbes; ++i)
            QThread::msleep(10);
        return -1;
    }
    bool CloseMyCamera() override {
        check();
        ++m_script.closes;
        m_connected = false;
        return true;
    }
    int16_t UnloadCamera() override {
        check();
        return 0;
    }
    int16_t GrabImage() override {
        check();
        ++m_script.grabs;
        return 0;
    }
    void SaveImage() override {
        check();
        if (++m_script.saves == 1)
            m_script.announced += m_script.announcedDuringFirstSave.load();
    }
    uint32_t PumpEvents() override {
        check();
        return m_script.announced.exchange(0);
    }

private:
    void check() {
        if (!AppDelegate::currentCameraDispatchQueue().isCurrent())
            ++m_script.offQueue;
    }
    Script& m_script;
    mutable QMutex m_mutex;
    QVariantMap m_info;
    std::atomic<bool> m_connected{false};
};

inline QVariantMap device(const QString& name, int vendor, const QString& serial) {
    QVariantMap props{{QStringLiteral("idVendor"), vendor},
                      {QStringLiteral("USB Product Name"), name},
                      {QStringLiteral("USB Serial Number"), serial}};
    QVariantMap info{{QStringLiteral("usbproperties"), props}};
    if (!name.isEmpty())
        info.insert(QStringLiteral("deviceName"), name);
    return info;
}

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        defaults().setObject(QStringLiteral("prefScanForNewImageInSeconds"), 1.0);
        defaults().setObject(QStringLiteral("prefSaveFolderPath"), config.path());
        defaults().removeObject(QStringLiteral("prefCameraConnectionMessage"));
        Log::install(QStringLiteral("test_app"));
        Log::setSink([this](QtMsgType, const QString& line) {
            QMutexLocker lock(&logMutex);
            logLines << line;
        });
        AppDelegate::Options options;
        options.headless = true;
        options.arguments = {QStringLiteral("ZarvNikonCapture")};
        options.sessionFactory = [this] { return std::make_shared<ScriptedSession>(script); };
        delegate = std::make_unique<AppDelegate>(options);
        delegate->applicationDidFinishLaunching();
    }
    void TearDown() override {
        if (delegate)
            delegate->applicationWillTerminate();
        delegate.reset();
        Log::setSink({});
        ZARV_camera::resetForTesting();
    }

    static UserDefaults& defaults() { return UserDefaults::standard(); }
    QString status() const {
        return defaults().stringForKey(QStringLiteral("prefNameOfCameraFound"));
    }
    bool logged(const QString& text) {
        QMutexLocker lock(&logMutex);
        for (const QString& line : std::as_const(logLines))
            if (line.contains(text))
                return true;
        return false;
    }
    void arrive(const QVariantMap& info) {
        NotificationCenter::defaultCenter().post(kZarvNikonCameraNotification, {}, info);
    }
    void leave(const QVariantMap& info) {
        NotificationCenter::defaultCenter().post(kZarvNikonCameraRemovedNotification, {}, info);
    }
    // Everything queued so far on the main queue, then on the camera queue, then what that
    // handed back to the main queue, has run.
    void drainCameraQueue() {
        for (DispatchQueue* queue :
             {&DispatchQueue::main(), &AppDelegate::currentCameraDispatchQueue(),
              &DispatchQueue::main()}) {
            std::atomic<bool> done{false};
            queue->async([&] { done = true; });
            ASSERT_TRUE(waitUntil([&] { return done.load(); }, 20000));
        }
    }
    // A controller like SetUp's whose automounter release runs this gio.
    void restartWithGio(const QString& gio) {
        delegate->applicationWillTerminate();
        delegate.reset();
        AppDelegate::Options options;
        options.arguments = {QStringLiteral("ZarvNikonCapture")};
        options.sessionFactory = [this] { return std::make_shared<ScriptedSession>(script); };
        options.gioProgram = gio;
        delegate = std::make_unique<AppDelegate>(options);
        delegate->applicationDidFinishLaunching();
    }
    void ask(const QVariantMap& info) {
        delegate->handleDistributedNotificationNikon(
            {QStringLiteral("ZarvNikonAppNotification"), {}, info});
    }

    QTemporaryDir config;
    Script script;
    std::unique_ptr<AppDelegate> delegate;
    QMutex logMutex;
    QStringList logLines;
};

// The controller with a window-like view that records what it is shown.
class ControllerWithView : public Controller {
protected:
    void SetUp() override {
        Controller::SetUp();
        delegate->setView(&view);
    }
    void TearDown() override {
        Controller::TearDown();
        EXPECT_EQ(view.offMainCalls(), 0);
    }
    test::RecordingView view;
};

// A module bundle whose executable is for i386 only.
inline QString i386OnlyModule(const QString& folder) {
    return test::makeBundle(folder, QStringLiteral("Old.bundle"), test::elfHeader(3, false));
}

// A program bundle "Zarv.app" with its executable and, `with32`, its 32-bit one beside it.
inline QString programBundle(const QString& folder, bool with32) {
    const QString bundle = folder + QStringLiteral("/Zarv.app");
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    PropertyList::writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
                            QVariantMap{{QStringLiteral("CFBundleExecutable"), "Zarv"}});
    for (const char* name : {"Zarv", "Zarv_32"})
        if (with32 || qstrcmp(name, "Zarv_32") != 0)
            QFile(bundle + QStringLiteral("/Contents/MacOS/") + QLatin1String(name))
                .open(QIODevice::WriteOnly);
    return bundle;
}

} // namespace zarv::test
