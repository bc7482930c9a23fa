// The controller in this process, with a scripted camera session: the device bookkeeping, the
// status texts and the request handling, and that every session call runs on the camera queue.

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

using namespace zarv;
using zarv::test::clearPendingQuit;
using zarv::test::waitUntil;

namespace {

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

QVariantMap device(const QString& name, int vendor, const QString& serial) {
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

// Unplugging and replugging one camera leaves one entry; another vendor's device is only
// recorded; a removal of some other device changes nothing; the camera's own removal closes it.
TEST_F(Controller, DeviceBookkeepingAcrossArrivalsAndRemovals) {
    const QVariantMap camera = device(QStringLiteral("Nikon D850"), 1200, QStringLiteral("S1"));
    arrive(camera);
    ASSERT_TRUE(waitUntil([&] { return delegate->fStatus1Image() == "NSStatusAvailable"; }, 20000));
    EXPECT_TRUE(delegate->hasScanTimer());
    arrive(camera); // plugged in again without a removal seen
    arrive(device(QStringLiteral("Keyboard"), 1133, QStringLiteral("K1")));
    drainCameraQueue();
    EXPECT_EQ(delegate->fArrayOfDevices().size(), 2);
    EXPECT_EQ(script.made.load(), 2);
    EXPECT_EQ(
        delegate->fArrayOfDevices().first().info.value(QStringLiteral("deviceName")).toString(),
        "Nikon D850");

    leave(device(QStringLiteral("Nikon D850"), 1200, QStringLiteral("OTHER")));
    waitUntil([] { return false; }, 300);
    drainCameraQueue();
    EXPECT_TRUE(delegate->hasScanTimer());
    EXPECT_NE(status(), "< Camera Disconnected >");

    const int closes = script.closes.load();
    leave(device(QStringLiteral("nikon d850"), 1200, QStringLiteral("s1"))); // case does not count
    ASSERT_TRUE(waitUntil([&] { return status() == "< Camera Disconnected >"; }, 20000));
    drainCameraQueue();
    EXPECT_FALSE(delegate->hasScanTimer());
    EXPECT_GT(script.closes.load(), closes);
    EXPECT_EQ(delegate->fStatus1Image(), "NSStatusUnavailable");
    EXPECT_EQ(script.offQueue.load(), 0);
}

// Each picture the camera announces is saved at once, once, on the camera queue, with no scan
// tick, also those announced while another was being saved; with the setting off, and once the
// camera has left, announcements save nothing.
TEST_F(Controller, AnnouncedPicturesAreSavedAtOnceUnlessTheSettingIsOff) {
    defaults().setObject(QStringLiteral("prefScanForNewImageInSeconds"), 3600.0);
    defaults().setObject(QStringLiteral("prefSaveOnCameraEvent"), true);
    const auto restore =
        qScopeGuard([] { defaults().removeObject(QStringLiteral("prefSaveOnCameraEvent")); });
    const QVariantMap camera = device(QStringLiteral("Nikon D850"), 1200, QStringLiteral("S1"));
    const auto available = [&] { return delegate->fStatus1Image() == "NSStatusAvailable"; };
    arrive(camera);
    ASSERT_TRUE(waitUntil(available, 20000));
    EXPECT_TRUE(delegate->hasEventPump());
    script.announcedDuringFirstSave = 2;
    script.announced = 5;
    ASSERT_TRUE(waitUntil([&] { return script.saves.load() >= 7; }, 20000));
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(script.saves.load(), 7);

    leave(camera);
    ASSERT_TRUE(waitUntil([&] { return status() == "< Camera Disconnected >"; }, 20000));
    drainCameraQueue();
    EXPECT_FALSE(delegate->hasEventPump());

    defaults().setObject(QStringLiteral("prefSaveOnCameraEvent"), false);
    arrive(camera);
    ASSERT_TRUE(waitUntil(available, 20000));
    EXPECT_TRUE(delegate->hasScanTimer());
    EXPECT_FALSE(delegate->hasEventPump());
    script.announced = 3;
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(script.saves.load(), 7);
    EXPECT_EQ(script.offQueue.load(), 0);
}

// Failed connections name the camera (or say it is unknown) and carry the module's message.
TEST_F(Controller, FailureStatusTexts) {
    script.result = -3;
    script.connectionMessage = QStringLiteral("cannot open shared object");
    arrive(device(QStringLiteral("Nikon Z9"), 1200, QStringLiteral("Z")));
    ASSERT_TRUE(waitUntil([&] { return status().startsWith("< MISSING"); }, 20000));
    EXPECT_EQ(status(), "< MISSING Required Module for: Nikon Z9 >\ncannot open shared object");
    EXPECT_EQ(delegate->fStatus1Image(), "NSCaution");
    EXPECT_FALSE(delegate->hasScanTimer());

    script.result = -2;
    script.connectionMessage.clear();
    defaults().removeObject(QStringLiteral("prefCameraConnectionMessage"));
    arrive(device(QString(), 1200, QStringLiteral("U")));
    ASSERT_TRUE(waitUntil([&] { return status().startsWith("< UNSUPPORTED"); }, 20000));
    EXPECT_EQ(status(), "< UNSUPPORTED MODEL: Unknown Nikon MODEL??? >");
    // No module path: the search is offered, and declined since nobody can answer.
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1001"); }, 20000));
    EXPECT_TRUE(logged("Unknown Camera Found??"));
    EXPECT_EQ(script.offQueue.load(), 0);
}

// Sibling requests need a sender; actions ignore case; camera commands run on the camera queue.
TEST_F(Controller, RequestsAndCameraCommands) {
    arrive(device(QStringLiteral("Nikon D5"), 1200, QStringLiteral("5")));
    ASSERT_TRUE(waitUntil([&] { return delegate->fStatus1Image() == "NSStatusAvailable"; }, 20000));
    const int saves = script.saves.load();

    ask({{QStringLiteral("action"), QStringLiteral("grabimage")}});
    ask({{QStringLiteral("senderApp"), QStringLiteral("x")},
         {QStringLiteral("action"), QStringLiteral("GRABIMAGE")}});
    ask({{QStringLiteral("senderApp"), QStringLiteral("x")},
         {QStringLiteral("action"), QStringLiteral("explode")}});
    drainCameraQueue();
    EXPECT_EQ(script.grabs.load(), 1);
    EXPECT_TRUE(logged("=======NO SENDER APP================"));

    defaults().setObject(QStringLiteral("prefTestLoopCount"), 0);
    delegate->ibHitButton5(QVariant::fromValue(Button{{}, QStringLiteral(" loop\n"), {}}));
    delegate->ibHitButton5(QStringLiteral("grab")); // not a button: nothing
    drainCameraQueue();
    EXPECT_EQ(script.grabs.load(), 1);

    defaults().setObject(QStringLiteral("prefTestLoopCount"), 2);
    delegate->ibHitButton5(QVariant::fromValue(Button{{}, QStringLiteral("loop"), {}}));
    drainCameraQueue();
    EXPECT_EQ(script.grabs.load(), 3);
    EXPECT_GE(script.saves.load(), saves + 2);
    EXPECT_EQ(script.offQueue.load(), 0);
}

// Each path handed over replaces the info text, so two folders leave the second one described;
// only bundles and libraries are described.
TEST_F(Controller, FilesHandedToTheProgram) {
    QTemporaryDir dir;
    for (const QString& sub : {QStringLiteral("one/A Module.bundle/Contents"),
                               QStringLiteral("two/B Module.BUNDLE/Contents")})
        ASSERT_TRUE(QDir().mkpath(dir.path() + u'/' + sub));
    QFile note(dir.path() + QStringLiteral("/two/readme.txt"));
    ASSERT_TRUE(note.open(QIODevice::WriteOnly));
    note.close();
    const QStringList folders{dir.path() + QStringLiteral("/one"),
                              dir.path() + QStringLiteral("/two")};
    delegate->applicationOpenFiles(folders);
    const QString info = defaults().stringForKey(QStringLiteral("prefTextViewString1"));
    EXPECT_EQ(info, dir.path() + QStringLiteral("/two/B Module.BUNDLE\n\n\n"));
    EXPECT_TRUE(waitUntil([&] { return logged("Info window:"); }, 5000));
}

} // namespace

namespace {

// A removal with no session compares absent with absent: the closing step still runs.
TEST_F(Controller, RemovalWithoutASessionStillReportsTheDisconnection) {
    leave(device(QStringLiteral("Nikon D850"), 1200, QStringLiteral("S1")));
    ASSERT_TRUE(waitUntil([&] { return status() == "< Camera Disconnected >"; }, 20000));
    EXPECT_EQ(script.made.load(), 0);
}

// The sweep removes notices older than the auto-dismiss age; below one second the age is 10 s.
TEST_F(Controller, SweepRemovesOldNotices) {
    defaults().setObject(QStringLiteral("prefAutoDismissUserNotificataionInSeconds"), 0.5);
    auto& center = UserNotificationCenter::defaultUserNotificationCenter();
    const QDateTime now = QDateTime::currentDateTime();
    for (int age : {5, 20}) {
        center.setClock([now, age] { return now.addSecs(-age); });
        UserNotification notice;
        notice.identifier = QStringLiteral("age%1").arg(age);
        center.deliverNotification(notice);
    }
    center.setClock({});
    auto identifiers = [&] {
        QStringList ids;
        for (const UserNotification& n : center.deliveredNotifications())
            ids << n.identifier;
        return ids;
    };
    ASSERT_TRUE(waitUntil([&] { return !identifiers().contains("age20"); }, 10000));
    EXPECT_TRUE(identifiers().contains("age5"));
}

} // namespace

namespace {

// A key of the wrong type counts as absent on every path: no picture for a sender that is a
// number, a list or a dictionary, and no count for a saved picture whose path is not a text.
TEST_F(Controller, SiblingKeysOfTheWrongTypeAreIgnored) {
    arrive(device(QStringLiteral("Nikon D5"), 1200, QStringLiteral("5")));
    ASSERT_TRUE(waitUntil([&] { return delegate->fStatus1Image() == "NSStatusAvailable"; }, 20000));
    const QString grab = QStringLiteral("grabimage");
    for (const QVariant& sender : {QVariant(7), QVariant(QVariantList{QStringLiteral("x")}),
                                   QVariant(QVariantMap{{QStringLiteral("a"), 1}})})
        ask({{QStringLiteral("senderApp"), sender}, {QStringLiteral("action"), grab}});
    ask({{QStringLiteral("senderApp"), QStringLiteral("x")},
         {QStringLiteral("action"), QVariantList{grab}}});
    drainCameraQueue();
    EXPECT_EQ(script.grabs.load(), 0);
    EXPECT_TRUE(logged("\"senderApp\" is not a string"));
    ask({{QStringLiteral("senderApp"), QStringLiteral("x")}, {QStringLiteral("action"), grab}});
    drainCameraQueue();
    EXPECT_EQ(script.grabs.load(), 1);

    auto saved = [&](const QVariant& sender, const QVariant& path) {
        delegate->handleSavedImageNotification(
            {QStringLiteral("zarvXNotification"),
             {},
             {{QStringLiteral("senderApp"), sender}, {QStringLiteral("filePath"), path}}});
        std::atomic<bool> done{false};
        AppDelegate::currentMiscellaneousQueue().async([&] { done = true; });
        ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    };
    const int count = delegate->fNewImageCount();
    saved(QStringLiteral("Lookout.app"), QVariantList{QStringLiteral("/a.jpg")});
    saved(5, QStringLiteral("/a.jpg"));
    EXPECT_EQ(delegate->fNewImageCount(), count);
    saved(QStringLiteral("Lookout.app"), QStringLiteral("/a.jpg"));
    EXPECT_EQ(delegate->fNewImageCount(), count + 1);
}

// Whatever another program or a device sends is quoted only in part in the log.
TEST_F(Controller, HugeValuesAreQuotedInPart) {
    const QString huge(10 * 1024 * 1024, u'z');
    ask({{QStringLiteral("senderApp"), huge}, {QStringLiteral("action"), huge}});
    delegate->handleSavedImageNotification(
        {QStringLiteral("zarvXNotification"), huge, {{QStringLiteral("filePath"), huge}}});
    QVariantMap camera = device(huge, 1200, huge);
    arrive(camera);
    leave(camera);
    ASSERT_TRUE(waitUntil([&] { return logged("DisconnectedDevice["); }, 20000));
    drainCameraQueue();
    QMutexLocker lock(&logMutex);
    qsizetype longest = 0;
    for (const QString& line : std::as_const(logLines)) {
        longest = std::max(longest, line.size());
        if (line.size() > 8 * Log::kQuoteLimit)
            ADD_FAILURE() << line.left(120).toStdString();
    }
    EXPECT_LT(longest, 8 * Log::kQuoteLimit);
    EXPECT_TRUE(logLines.join(u'\n').contains(QStringLiteral("(10485760 bytes)")));
}

// A camera arriving while another is connected: the removal of the old one, reported while
// the new session still waits to connect, must not close the new camera.
TEST_F(Controller, RemovalOfTheOldCameraLeavesTheNewOneConnected) {
    const QVariantMap first = device(QStringLiteral("Nikon D850"), 1200, QStringLiteral("A"));
    const QVariantMap second = device(QStringLiteral("Nikon Z6"), 1200, QStringLiteral("B"));
    arrive(first);
    ASSERT_TRUE(waitUntil([&] { return delegate->fStatus1Image() == "NSStatusAvailable"; }, 20000));
    arrive(second);
    leave(first);
    ASSERT_TRUE(waitUntil([&] { return script.finds.load() == 2; }, 20000));
    waitUntil([] { return false; }, 1000); // a closing step would have run by now
    drainCameraQueue();
    EXPECT_NE(status(), "< Camera Disconnected >");
    EXPECT_EQ(delegate->fStatus1Image(), "NSStatusAvailable");
    EXPECT_TRUE(delegate->hasScanTimer());
    ASSERT_TRUE(delegate->gTestNikonCamera());
    EXPECT_TRUE(delegate->gTestNikonCamera()->isCameraConnected());
    EXPECT_EQ(script.closes.load(), 1); // the first camera, when the second took over
}

// Work the controller started on the global queue ends with it: the destructor waits for it
// and cuts the recovery's pauses short, so nothing runs on a destroyed controller.
TEST_F(Controller, DestructionWaitsForItsBackgroundWork) {
    script.result = -1; // the recovery keeps trying
    delegate->ibHitButton1();
    delegate->doAcquireLoop();
    ASSERT_TRUE(waitUntil([&] { return logged("try to recover..."); }, 10000));
    delegate->applicationWillTerminate();
    QElapsedTimer clock;
    clock.start();
    delegate.reset();
    EXPECT_LT(clock.elapsed(), 1500);
    // Long enough for a forgotten retry to wake up and touch the controller.
    waitUntil([] { return false; }, 2500);
}

// A switch to the 32-bit build that cannot exec goes on as the 64-bit build: no full relaunch
// (the new process would read the same setting and try again for ever), a log line, and the
// status text says what happened.
TEST_F(Controller, FailedSwitchAtStartGoesOnIn64Bit) {
    if (isThis32bitMode())
        GTEST_SKIP() << "the switch is made only from the 64-bit build";
    QTemporaryDir bundle;
    ASSERT_TRUE(bundle.isValid());
    const QString contents = bundle.path() + QStringLiteral("/Contents");
    ASSERT_TRUE(QDir().mkpath(contents + QStringLiteral("/MacOS")));
    ASSERT_TRUE(QDir().mkpath(contents + QStringLiteral("/Resources")));
    ASSERT_TRUE(PropertyList::writeFile(contents + QStringLiteral("/Info.plist"),
                                        QVariantMap{{"CFBundleExecutable", "Zarv"}}));
    const QString relaunched = bundle.path() + QStringLiteral("/relaunched");
    const QList<std::pair<QString, QByteArray>> files{
        {QStringLiteral("/MacOS/Zarv"), "#!/bin/sh\n"},
        {QStringLiteral("/MacOS/Zarv_32"), "not a program"}, // execv refuses it
        {QStringLiteral("/Resources/relaunch"),
         "#!/bin/sh\ntouch '" + relaunched.toUtf8() + "'\n"}};
    for (const auto& [name, text] : files) {
        QFile f(contents + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.close();
        if (!name.endsWith(QLatin1String("_32")))
            f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    }
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(bundle.path());
    setAppKitVersionNumberOverride(1349.0);
    defaults().setObject(QStringLiteral("prefLaunchIn32BitMode"), true);

    delegate->applicationWillTerminate();
    delegate.reset();
    AppDelegate::Options options;
    options.arguments = {contents + QStringLiteral("/MacOS/Zarv")};
    options.sessionFactory = [this] { return std::make_shared<ScriptedSession>(script); };
    delegate = std::make_unique<AppDelegate>(options);
    const bool started = delegate->applicationWillFinishLaunching();
    if (started)
        delegate->applicationDidFinishLaunching();
    waitUntil([] { return false; }, 500);

    defaults().removeObject(QStringLiteral("prefLaunchIn32BitMode"));
    setAppKitVersionNumberOverride(std::nullopt);
    Bundle::setMainBundlePath(previousBundle);

    EXPECT_TRUE(logged("Failed exec to " + contents + "/MacOS/Zarv_32"));
    EXPECT_TRUE(started);
    EXPECT_FALSE(delegate->isTerminating());
    EXPECT_FALSE(QFile::exists(relaunched));
    EXPECT_TRUE(logged("this run goes on as the 64-bit build"));
    EXPECT_TRUE(waitUntil([&] { return status().contains("Cannot Run in 32bit Mode"); }, 5000));
}

// The scratch folder is made private at start, and a refused one is passed over quietly: no
// file operation on an empty path, and a reveal shows the user's own temporary folder, never
// the shared one.
TEST_F(Controller, ScratchFolderIsMadeAndRevealedPrivately) {
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));
    const auto restoreBundle = qScopeGuard([&] { Bundle::setMainBundlePath(previousBundle); });
    const QString identifier = Bundle::mainBundle().bundleIdentifier();
    ASSERT_FALSE(identifier.isEmpty());
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString scratch = tmp.path() + u'/' + identifier;
    // A file browser that only says what it was asked to open.
    const QString bin = tmp.path() + QStringLiteral("/bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    QFile browser(bin + QStringLiteral("/xdg-open"));
    ASSERT_TRUE(browser.open(QIODevice::WriteOnly));
    browser.write("#!/bin/sh\nexit 0\n");
    browser.close();
    browser.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    // Where TMPDIR is not set, the shared temporary folder is /tmp.
    test::ScopedEnvironment tmpdir("TMPDIR", std::nullopt);
    test::ScopedEnvironment runtime("XDG_RUNTIME_DIR", tmp.path());
    test::ScopedEnvironment path("PATH", bin + u':' + qEnvironmentVariable("PATH"));
    const auto restart = [&] {
        delegate->applicationWillTerminate();
        delegate.reset();
        AppDelegate::Options options;
        options.headless = true;
        options.arguments = {QStringLiteral("ZarvNikonCapture")};
        options.sessionFactory = [this] { return std::make_shared<ScriptedSession>(script); };
        delegate = std::make_unique<AppDelegate>(options);
        return delegate->applicationWillFinishLaunching();
    };
    const QString revealed = QStringLiteral("revealItemInFinder => %1...");

    ASSERT_TRUE(restart());
    struct stat made = {};
    ASSERT_EQ(::lstat(QFile::encodeName(scratch).constData(), &made), 0);
    EXPECT_TRUE(S_ISDIR(made.st_mode));
    EXPECT_EQ(made.st_mode & 0777, 0700u);
    delegate->doRevealItem3();
    EXPECT_TRUE(logged(revealed.arg(scratch)));

    ASSERT_TRUE(QDir(scratch).removeRecursively());
    ASSERT_TRUE(QFile::link(tmp.path(), scratch));
    {
        QMutexLocker lock(&logMutex);
        logLines.clear();
    }
    ASSERT_TRUE(restart());
    EXPECT_TRUE(logged(QStringLiteral("Temporary folder %1 not used: it is a link").arg(scratch)));
    EXPECT_FALSE(logged(QStringLiteral("Empty or null file name")));
    delegate->doRevealItem3();
    EXPECT_TRUE(logged(revealed.arg(tmp.path())));
    EXPECT_FALSE(logged(QStringLiteral("revealItemInFinder => /tmp...")));
}

// Without a window nobody can choose a file: the panel answers "cancelled", nothing changes.
TEST_F(Controller, HeadlessImportIsCancelled) {
    defaults().removeObject(QStringLiteral("prefNikonLookupTable"));
    delegate->ibImportModuleList();
    ASSERT_TRUE(waitUntil([&] { return logged("answers \"cancelled\""); }, 5000));
    drainCameraQueue();
    EXPECT_FALSE(defaults().objectForKey(QStringLiteral("prefNikonLookupTable")).isValid());
}

} // namespace

namespace {

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

// A camera's life as the window shows it: the light goes amber then green, the status text
// names it, the controls are told; at removal the light goes red and the controls clear.
TEST_F(ControllerWithView, ConnectionAndRemovalAsShown) {
    const QVariantMap camera = device(QStringLiteral("Nikon D850"), 1200, QStringLiteral("S1"));
    arrive(camera);
    ASSERT_TRUE(waitUntil([&] { return view.saw("light:NSStatusAvailable"); }, 20000));
    const QStringList lights = view.eventsOf(QStringLiteral("light:"));
    ASSERT_GE(lights.size(), 2);
    EXPECT_EQ(lights.mid(lights.size() - 2),
              QStringList({"light:NSStatusPartiallyAvailable", "light:NSStatusAvailable"}));
    EXPECT_TRUE(view.saw("text:prefNameOfCameraFound=< Trying To Connect to Nikon D850>"));

    // The panel counts the pictures saved since the camera came.
    const QString countKey = QStringLiteral("prefNewImageCountString");
    for (int i = 0; i < 2; ++i)
        delegate->handleSavedImageNotification(
            {QStringLiteral("zarvXNotification"),
             {},
             {{QStringLiteral("senderApp"), QStringLiteral("ZarvNikonCapture.app")},
              {QStringLiteral("filePath"), QStringLiteral("/tmp/Image_%1.jpg").arg(i)}}});
    ASSERT_TRUE(waitUntil([&] { return defaults().stringForKey(countKey) == "2 pictures"; }, 5000));

    leave(camera);
    ASSERT_TRUE(waitUntil(
        [&] { return view.saw("text:prefNameOfCameraFound=< Camera Disconnected >"); }, 20000));
    EXPECT_EQ(view.eventsOf(QStringLiteral("light:")).last(), "light:NSStatusUnavailable");
    EXPECT_TRUE(view.saw("text:prefNameOfCameraFound=< Camera Disconnected >"));
    EXPECT_TRUE(waitUntil([&] { return defaults().stringForKey(countKey).isEmpty(); }, 5000));
}

// Choosing the camera-settings tab first prepares its pages for the session there is: the labels
// say whether a camera is connected and which, whatever they said before; a connected camera is
// then read.
TEST_F(ControllerWithView, CameraSettingsTabPreparesItsPages) {
    const QString connectedKey = QStringLiteral("prefCameraConnected");
    const QString modelKey = QStringLiteral("prefModelOfCurrentConnectedCamera");
    const QVariantMap camera = device(QStringLiteral("Nikon D850"), 1200, QStringLiteral("S1"));
    arrive(camera);
    ASSERT_TRUE(waitUntil([&] { return view.saw("light:NSStatusAvailable"); }, 20000));
    drainCameraQueue();
    defaults().setObject(connectedKey, false);
    defaults().setObject(modelKey, QString());
    delegate->cameraSettingsTabSelected();
    EXPECT_TRUE(waitUntil([&] { return defaults().boolForKey(connectedKey); }, 5000));
    drainCameraQueue();
    EXPECT_EQ(defaults().stringForKey(modelKey), QStringLiteral("Settings For: Nikon D850"));

    leave(camera);
    ASSERT_TRUE(waitUntil(
        [&] { return view.saw("text:prefNameOfCameraFound=< Camera Disconnected >"); }, 20000));
    drainCameraQueue();
    defaults().setObject(connectedKey, true);
    defaults().setObject(modelKey, QStringLiteral("Settings For: Nikon D850"));
    delegate->cameraSettingsTabSelected();
    EXPECT_TRUE(waitUntil([&] { return !defaults().boolForKey(connectedKey); }, 5000));
    drainCameraQueue();
    EXPECT_EQ(defaults().stringForKey(modelKey), QString());
}

// The unknown-camera sheet: "YES" starts the module search, the cancelling "NO" does not.
TEST_F(ControllerWithView, UnknownCameraSheetAnswers) {
    script.result = -2;
    view.answerSheetsWith(kAlertFirstButtonReturn);
    arrive(device(QStringLiteral("Nikon Zf"), 1200, QStringLiteral("F")));
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1000"); }, 20000));
    EXPECT_TRUE(view.saw("sheet:Unknown Camera Found??|YES/NO"));
    EXPECT_TRUE(view.saw("light:NSStatusUnavailable"));
    EXPECT_TRUE(logged("ibAutoSearchModule"));
}

// "YES" on the unknown-camera sheet starts a module search with the session behind the main
// window: no window over it, the panel's indicator spins and the status line names each module
// tried; every probe goes through the camera queue, and asking again while it runs shows the
// same search in its window. Quitting ends it without the list refresh (and the relaunch that
// comes with it).
TEST_F(ControllerWithView, UnknownCameraStartsAModuleSearch) {
    // A bundle of the test's own (with no relauncher) whose module folder holds the virtual
    // camera, which the scripted session's probe does not load.
    QTemporaryDir work;
    const QString modules = work.filePath(QStringLiteral("modules"));
    const QString resources = work.filePath(QStringLiteral("Zarv.app/Contents/Resources"));
    ASSERT_TRUE(QDir().mkpath(modules) && QDir().mkpath(resources));
    ASSERT_TRUE(
        QFile::link(QStringLiteral(ZARV_APP_DIR "/../Camera Control Modules/ZarvVirtualCamera "
                                                "Module.bundle"),
                    modules + QStringLiteral("/Virtual.bundle")));
    ASSERT_TRUE(PropertyList::writeFile(
        resources + QStringLiteral("/FactoryDefaultNikonList.plist"),
        QVariantMap{{QStringLiteral("LookupTable"), QVariantMap()},
                    {QStringLiteral("DefaultNikonModulesSearchPaths"), QStringList{modules}}}));
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(work.filePath(QStringLiteral("Zarv.app")));
    const auto restoreBundle = qScopeGuard([&] { Bundle::setMainBundlePath(previousBundle); });

    script.result = -2;
    script.holdProbes = true;
    view.answerSheetsWith(kAlertFirstButtonReturn);
    arrive(device(QStringLiteral("Nikon Zf"), 1200, QStringLiteral("F")));
    ASSERT_TRUE(waitUntil([&] { return script.probes.load() == 1; }, 20000));
    const std::shared_ptr<ModuleMatchTask> task = delegate->fMatchController();
    ASSERT_TRUE(task);
    EXPECT_TRUE(task->fTaskStarted());
    EXPECT_TRUE(task->fOwner());
    ASSERT_TRUE(waitUntil([&] { return view.saw("busy:1"); }, 5000));
    ASSERT_TRUE(waitUntil(
        [&] { return view.saw("text:prefNameOfCameraFound=Checking module: Virtual.bundle"); }));
    EXPECT_FALSE(view.saw("matchwindow")) << "nothing over the main window";
    EXPECT_TRUE(logged("Module match: Nikon Zf"));

    delegate->ibAutoSearchModule();
    ASSERT_TRUE(waitUntil([&] { return view.eventsOf("matchwindow").size() == 1; }, 5000));
    EXPECT_EQ(task->fStatusCameraName(), QStringLiteral("Nikon Zf"));
    EXPECT_EQ(delegate->fMatchController(), task);
    EXPECT_FALSE(task->fWantsToPauseTask());

    std::atomic<int> refreshes{0};
    const auto token = NotificationCenter::defaultCenter().addObserver(
        kZarvNikonCameraActionsNotification, [&](const Notification&) { ++refreshes; });
    const auto forget =
        qScopeGuard([&] { NotificationCenter::defaultCenter().removeObserver(token); });
    task->stop();
    script.holdProbes = false;
    ASSERT_TRUE(waitUntil([&] { return !task->fTaskStarted(); }, 20000));
    EXPECT_TRUE(
        view.saw(QStringLiteral("matchend:%1").arg(int(ModuleMatchTask::Outcome::Stopped))));
    EXPECT_TRUE(view.saw("busy:0"));
    EXPECT_EQ(script.probes.load(), 1);
    EXPECT_EQ(refreshes.load(), 0);
    EXPECT_EQ(script.offQueue.load(), 0);
}

// The toolbars by tag, the window's start-up, and the quit sheet's answers.
TEST_F(ControllerWithView, ToolbarsStartupAndQuit) {
    delegate->ibHandleSegmentedControl1(3);
    delegate->ibHandleSegmentedControl2(3);
    delegate->ibHandleSegmentedControl2(4);
    delegate->ibHandleSegmentedControl2(5);
    delegate->ibHandleSegmentedControl2(2);
    delegate->ibHandleSegmentedControl1(0);
    delegate->ibHandleSegmentedControl2(9);
    EXPECT_EQ(view.eventsOf(QStringLiteral("popover:")),
              QStringList({"popover:0:30", "popover:1:10", "popover:2:80"}));
    EXPECT_EQ(view.eventsOf(QStringLiteral("controls:")), QStringList({"controls:nextpage"}));
    EXPECT_TRUE(
        logged("Inside AppDelegate => ibHandleSegmentedControl1:...Add - NOT Implemented Yet..."));
    EXPECT_TRUE(logged("no action for tag 9"));

    // Started as a mini panel, then front at the status level, given back 3 s later.
    ASSERT_TRUE(waitUntil([&] { return view.saw("front:0"); }, 5000));
    EXPECT_TRUE(view.saw("mini"));
    EXPECT_LT(view.events().indexOf("mini"), view.events().indexOf("front:0"));
    ASSERT_TRUE(waitUntil([&] { return view.saw("resign"); }, 6000));
    EXPECT_TRUE(logged("should have resigned..."));

    delegate->ibConfirmQuit(); // cancel
    ASSERT_TRUE(waitUntil([&] { return view.eventsOf("quit").size() == 1; }, 5000));
    drainCameraQueue();
    EXPECT_FALSE(delegate->isTerminating());
    view.answerQuitWith(kConfirmQuitReturn);
    delegate->ibConfirmQuit();
    ASSERT_TRUE(waitUntil([&] { return delegate->isTerminating(); }, 5000));
    EXPECT_TRUE(logged("Will terminate app..."));
}

// --- The module list: import and revert ---------------------------------------------------

QVariantMap entry(const QString& camera, const QString& module, qlonglong productID) {
    return {{QStringLiteral("devicename"), camera},
            {QStringLiteral("modulename"), module},
            {QStringLiteral("productid"), productID}};
}

// The program's own bundle, whose factory list the revert goes back to.
class ModuleListImport : public ControllerWithView {
protected:
    void SetUp() override {
        previousBundle = Bundle::mainBundle().bundlePath();
        Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));
        ControllerWithView::SetUp();
        defaults().setObject(kTable, QVariantMap{{"Old Cam", entry("Old Cam", "Old.bundle", 1)}});
    }
    void TearDown() override {
        ControllerWithView::TearDown();
        defaults().removeObject(kTable);
        defaults().removeObject(kArray);
        Bundle::setMainBundlePath(previousBundle);
    }
    QString write(const QString& name, const QVariant& contents,
                  PropertyList::Format format = PropertyList::Format::Xml) {
        const QString path = config.filePath(name);
        EXPECT_TRUE(PropertyList::writeFile(path, contents, format));
        return path;
    }
    // Chooses `path` in the panel the import toolbar button opens, and waits for the outcome:
    // `done` holding, or the sheet or log line a refusal gives.
    void import(const QString& path) {
        view.answerOpenPanelsWith(QStringList{path});
        const qsizetype panels = view.eventsOf(QStringLiteral("openpanel:")).size();
        delegate->ibHandleSegmentedControl1(4);
        ASSERT_TRUE(waitUntil(
            [&] { return view.eventsOf(QStringLiteral("openpanel:")).size() == panels + 1; },
            5000));
    }
    QVariantMap table() const { return defaults().objectForKey(kTable).toMap(); }
    QStringList listedCameras() const {
        QStringList names;
        for (const QVariant& e : defaults().objectForKey(kArray).toList())
            names << e.toMap().value(QStringLiteral("devicename")).toString();
        names.sort();
        return names;
    }

    const QString kTable = QStringLiteral("prefNikonLookupTable");
    const QString kArray = QStringLiteral("prefNikonLookupArray");
    const QVariantMap kOld{{"Old Cam", entry("Old Cam", "Old.bundle", 1)}};
    QString previousBundle;
};

// The chosen file's user table replaces the user's whole table and the list shows it; with the
// factory list beside it in the file, the user table still wins.
TEST_F(ModuleListImport, UserTableReplacesTheTableAndTheList) {
    const QVariantMap user{{"Nikon D4", entry("Nikon D4", "Type0009 Module.bundle", 0x0423)},
                           {"Nikon Z 9", entry("Nikon Z 9", "Type0031 Module.bundle", 0x0450)}};
    import(write("user.plist", QVariantMap{{ kTable, user }}));
    ASSERT_TRUE(waitUntil([&] { return table() == user; }, 5000));
    EXPECT_TRUE(view.saw("openpanel:Please Select Camera Module List Files to Impoprt...|Import|"
                         "plist"));
    EXPECT_EQ(listedCameras(), QStringList({"Nikon D4", "Nikon Z 9"}));
    EXPECT_TRUE(logged("oldtable = "));
    EXPECT_TRUE(logged("Old Cam"));

    const QVariantMap other{{"Nikon Zf", entry("Nikon Zf", "Type0033 Module.bundle", 0x0455)}};
    const QVariantMap factory{
        {"LookupTable", QVariantMap{{"Nikon D3", entry("Nikon D3", "Type0001 Module.bundle", 1)}}}};
    import(write("both.plist", QVariantMap{{kTable, other},
                                           { QStringLiteral("FactoryDefaultNikonList"),
                                             factory }}));
    ASSERT_TRUE(waitUntil([&] { return table() == other; }, 5000));
    EXPECT_EQ(listedCameras(), QStringList({"Nikon Zf"}));
    EXPECT_TRUE(view.eventsOf(QStringLiteral("sheet:")).isEmpty());

    // The settings file holds it: it was written through, not only kept in memory.
    UserDefaults::standard().synchronize();
    const QVariant stored = PropertyList::readFile(UserDefaults::standard().path());
    EXPECT_EQ(stored.toMap().value(kTable), QVariant(other));

    // A binary property list is read like an XML one.
    import(write("binary.plist", QVariantMap{{ kTable, user }}, PropertyList::Format::Binary));
    ASSERT_TRUE(waitUntil([&] { return table() == user; }, 5000));
    EXPECT_EQ(listedCameras(), QStringList({"Nikon D4", "Nikon Z 9"}));
    EXPECT_TRUE(view.eventsOf(QStringLiteral("sheet:")).isEmpty());
}

// A factory-only file and a file with neither table get their sheets; nothing is imported.
TEST_F(ModuleListImport, FactoryOnlyAndInvalidFilesShowTheirSheets) {
    const QVariantMap factory{
        {"LookupTable", QVariantMap{{"Nikon D3", entry("Nikon D3", "Type0001 Module.bundle", 1)}}}};
    import(write("factory.plist", QVariantMap{
                                      { QStringLiteral("FactoryDefaultNikonList"),
                                        factory }}));
    ASSERT_TRUE(
        waitUntil([&] { return view.saw("sheet:File Contains Defaults Only !|OK"); }, 5000));
    EXPECT_TRUE(logged("Inside AppDelegate => ibImportModuleList:...Only contains factory info - "
                       "so we need to implement in future...."));

    import(write("other.plist", QVariantMap{{ QStringLiteral("LookupTable"), kOld }}));
    ASSERT_TRUE(waitUntil([&] { return view.saw("sheet:Invalid File for Import !|OK"); }, 5000));
    EXPECT_TRUE(logged("Inside AppDelegate => ibImportModuleList:...Invalid or mising info????"));

    // A user table that is no dictionary would have replaced the user's table with nothing.
    const int sheets = int(view.eventsOf(QStringLiteral("sheet:")).size());
    import(write("text.plist", QVariantMap{{ kTable, QStringLiteral("Nikon D4") }}));
    ASSERT_TRUE(waitUntil(
        [&] { return view.eventsOf(QStringLiteral("sheet:")).size() == sheets + 1; }, 5000));
    EXPECT_EQ(view.eventsOf(QStringLiteral("sheet:")).last(), "sheet:Invalid File for Import !|OK");
    EXPECT_EQ(table(), kOld);
}

// A cancelled panel, and files that are no property-list dictionary, are refused with a log
// line; a file over 16 MiB with a sheet, unread. The user's table stays as it was.
TEST_F(ModuleListImport, RefusedFilesChangeNothing) {
    view.answerOpenPanelsWith(std::nullopt);
    delegate->ibImportModuleList();
    ASSERT_TRUE(
        waitUntil([&] { return !view.eventsOf(QStringLiteral("openpanel:")).isEmpty(); }, 5000));

    const QString text = config.filePath("text.plist");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("Nikon D4 = Type0009 Module.bundle\n");
    }
    import(text);
    ASSERT_TRUE(waitUntil([&] { return logged("cannot import " + text); }, 5000));

    import(write("empty.plist", QVariantMap{}));
    ASSERT_TRUE(waitUntil([&] { return logged("nothing to import"); }, 5000));
    EXPECT_TRUE(view.eventsOf(QStringLiteral("sheet:")).isEmpty());

    const QString huge = config.filePath("huge.plist");
    {
        QFile f(huge);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize((qint64(16) << 20) + 1));
    }
    import(huge);
    ASSERT_TRUE(waitUntil([&] { return view.saw("sheet:File Too Large to Import !|OK"); }, 5000));
    EXPECT_TRUE(logged("larger than 16 MiB"));

    drainCameraQueue();
    EXPECT_EQ(table(), kOld);
    EXPECT_FALSE(logged("oldtable = "));
}

// From the file to the session: an entry whose module name leaves the module folder is
// skipped at import, so the session never gets a path for that camera; and a table that holds
// one anyway (written by hand) is refused by the session itself.
TEST_F(ModuleListImport, ModuleNamesWithPathsNeverReachTheLoader) {
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().mkpath(elsewhere.filePath("Evil.bundle/Contents/MacOS")));
    const QVariantMap hostile{
        {"Good Cam", entry("Good Cam", "Type0009 Module.bundle", 1)},
        {"Absolute Cam", entry("Absolute Cam", elsewhere.filePath("Evil.bundle"), 2)},
        {"Up Cam", entry("Up Cam", "../../../../../../.." + elsewhere.filePath("Evil.bundle"), 3)},
        {"Dots Cam", entry("Dots Cam", "..", 4)},
        {"Plain Text", QStringLiteral("Evil.bundle")}};
    import(write("hostile.plist", QVariantMap{{ kTable, hostile }}));
    ASSERT_TRUE(waitUntil([&] { return table().contains("Good Cam"); }, 5000));
    EXPECT_EQ(table().keys(), QStringList({"Good Cam"}));
    EXPECT_EQ(listedCameras(), QStringList({"Good Cam"}));
    for (const char* camera : {"\"Absolute Cam\" skipped", "\"Up Cam\" skipped",
                               "\"Dots Cam\" skipped", "\"Plain Text\" skipped"})
        EXPECT_TRUE(logged(QString::fromUtf8(camera))) << camera;

    auto pathFor = [](const QString& camera) {
        ZarvNikonBaseCameraHandler session;
        session.setFUsbDeviceInfo({{QStringLiteral("deviceName"), camera}});
        return session.GetPathToModule();
    };
    for (const QString camera : {"Absolute Cam", "Up Cam", "Dots Cam"})
        EXPECT_EQ(pathFor(camera), std::nullopt) << camera.toStdString();

    defaults().setObject(kTable, hostile);
    for (const QString camera : {"Absolute Cam", "Up Cam", "Dots Cam"})
        EXPECT_EQ(pathFor(camera), std::nullopt) << camera.toStdString();
    EXPECT_TRUE(
        logged("module name is not a plain file name: " + elsewhere.filePath("Evil.bundle")));
}

// The revert sheet: "NO" keeps the user's table, "YES" drops it and the list shows the factory
// table again.
TEST_F(ModuleListImport, RevertAsksFirst) {
    delegate->ibUpdateModuleList();
    ASSERT_EQ(listedCameras(), QStringList({"Old Cam"}));

    delegate->ibRevertModuleList(); // the cancelling answer: "NO"
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1000"); }, 5000));
    EXPECT_TRUE(view.saw("sheet:Revert Back to Factory Module List??|NO/YES"));
    EXPECT_EQ(table(), kOld);
    EXPECT_EQ(listedCameras(), QStringList({"Old Cam"}));

    view.answerSheetsWith(kAlertSecondButtonReturn);
    delegate->ibRevertModuleList();
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1001"); }, 5000));
    EXPECT_FALSE(defaults().objectForKey(kTable).isValid());
    const std::optional<QVariantMap> factory = getNikonLookupTable();
    ASSERT_TRUE(factory && !factory->isEmpty()) << "the bundle ships a factory table";
    QStringList factoryCameras = factory->keys();
    factoryCameras.sort();
    EXPECT_EQ(listedCameras(), factoryCameras);
}

// A module bundle whose executable is for i386 only.
QString i386OnlyModule(const QString& folder) {
    return test::makeBundle(folder, QStringLiteral("Old.bundle"), test::elfHeader(3, false));
}

// A program bundle "Zarv.app" with its executable and, `with32`, its 32-bit one beside it.
QString programBundle(const QString& folder, bool with32) {
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

// A camera whose module exists only for i386: the 64-bit program offers the switch only where
// it can happen (the system runs i386 programs and the 32-bit program is there); without a
// window the offer is declined unless prefHeadlessAcceptsRelaunch says otherwise.
TEST_F(ControllerWithView, ThirtyTwoBitOfferOnlyWhereItCanHappen) {
    QTemporaryDir work;
    const QString module = i386OnlyModule(work.path());
    const QString bundle = programBundle(work.path(), false);
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(bundle);
    const auto restore = qScopeGuard([&] {
        setAppKitVersionNumberOverride(std::nullopt);
        Bundle::setMainBundlePath(previousBundle);
        defaults().removeObject(QStringLiteral("prefHeadlessAcceptsRelaunch"));
    });
    script.result = -4;
    script.modulePath = module;
    const QString offer = QStringLiteral("sheet:Need To Relaunch App !|Cancel/Quit and Relaunch");
    int serial = 0;
    auto plugIn = [&](const QString& status) {
        const QVariantMap camera =
            device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S%1").arg(++serial));
        arrive(camera);
        EXPECT_TRUE(waitUntil(
            [&] { return view.saw("text:prefNameOfCameraFound=" + status + " Nikon D1 >"); },
            20000));
        drainCameraQueue();
        leave(camera);
        drainCameraQueue();
    };
    const QString cannot = QStringLiteral("< 32Bit Module Cannot Run Here for:");

    // A system that cannot run i386 programs.
    setAppKitVersionNumberOverride(1404.0);
    plugIn(cannot);
    EXPECT_FALSE(view.saw(offer));
    EXPECT_TRUE(logged(QStringLiteral("this system does not run i386 programs")));

    // One that can, but without the 32-bit program.
    setAppKitVersionNumberOverride(1349.0);
    plugIn(cannot);
    EXPECT_FALSE(view.saw(offer));
    EXPECT_TRUE(logged(QStringLiteral("the 32-bit program was not built")));

    // With it, the window offers the switch.
    QFile(bundle + QStringLiteral("/Contents/MacOS/Zarv_32")).open(QIODevice::WriteOnly);
    plugIn(QStringLiteral("< Need To RELaunch in 32Bit mode for:"));
    EXPECT_TRUE(waitUntil([&] { return view.saw(offer); }, 20000));
}

// Without a window, prefHeadlessAcceptsRelaunch takes the offer: the next start is the 32-bit
// build, and the program relaunches.
TEST_F(Controller, HeadlessTakesTheArchitectureSwitchWhenTheSettingSaysSo) {
    QTemporaryDir work;
    const QString module = i386OnlyModule(work.path());
    const QString bundle = programBundle(work.path(), true);
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(bundle);
    setAppKitVersionNumberOverride(1349.0);
    const auto restore = qScopeGuard([&] {
        setAppKitVersionNumberOverride(std::nullopt);
        Bundle::setMainBundlePath(previousBundle);
        defaults().removeObject(QStringLiteral("prefHeadlessAcceptsRelaunch"));
        defaults().removeObject(QStringLiteral("prefLaunchIn32BitMode"));
        clearPendingQuit();
    });
    script.result = -4;
    script.modulePath = module;

    arrive(device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S1")));
    ASSERT_TRUE(waitUntil(
        [&] {
            return logged(QStringLiteral("returncode")) ||
                   logged(QStringLiteral("Need To Relaunch App !"));
        },
        20000));
    drainCameraQueue();
    EXPECT_FALSE(delegate->isTerminating()) << "declined by default";
    EXPECT_FALSE(defaults().boolForKey(QStringLiteral("prefLaunchIn32BitMode")));

    defaults().setObject(QStringLiteral("prefHeadlessAcceptsRelaunch"), true);
    leave(device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S1")));
    drainCameraQueue();
    arrive(device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S2")));
    ASSERT_TRUE(waitUntil([&] { return delegate->isTerminating(); }, 20000));
    EXPECT_TRUE(
        logged(QStringLiteral("Relaunching without asking (prefHeadlessAcceptsRelaunch is YES)")));
    EXPECT_TRUE(defaults().boolForKey(QStringLiteral("prefLaunchIn32BitMode")));
}

// A relaunch hands the relauncher the bundle, this process and the launch flags, and nothing
// else: this run's -KEY VALUE overrides stay behind (with -prefLaunchIn32BitMode NO among them
// the relaunch would come back to the build it was leaving), and a run without a window asks
// for its successor to be one too through the relauncher's environment.
TEST_F(Controller, ARelaunchPassesOnNoOverrides) {
    QTemporaryDir work;
    const QString bundle = programBundle(work.path(), false);
    const QString record = work.filePath(QStringLiteral("relaunch.args"));
    ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/Contents/Resources")));
    QFile relauncher(bundle + QStringLiteral("/Contents/Resources/relaunch"));
    ASSERT_TRUE(relauncher.open(QIODevice::WriteOnly));
    relauncher.write(QStringLiteral("#!/bin/sh\necho \"$# $* headless=$ZARV_RELAUNCH_HEADLESS\" > "
                                    "'%1.part' && mv '%1.part' '%1'\n")
                         .arg(record)
                         .toUtf8());
    relauncher.close();
    relauncher.setPermissions(relauncher.permissions() | QFileDevice::ExeOwner);
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(bundle);
    const auto restore = qScopeGuard([&] {
        Bundle::setMainBundlePath(previousBundle);
        clearPendingQuit();
    });

    delegate->applicationWillTerminate();
    delegate.reset();
    AppDelegate::Options options;
    options.headless = true;
    options.arguments = {bundle + QStringLiteral("/Contents/MacOS/Zarv"),
                         QStringLiteral("--headless"),
                         QStringLiteral("-prefLaunchIn32BitMode"),
                         QStringLiteral("NO"),
                         QStringLiteral("-prefSaveFolderPath"),
                         config.path(),
                         work.filePath(QStringLiteral("Some Module.bundle"))};
    options.sessionFactory = [this] { return std::make_shared<ScriptedSession>(script); };
    delegate = std::make_unique<AppDelegate>(options);
    delegate->relaunchApp({});
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(record); }, 10000));
    QFile recorded(record);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
    EXPECT_EQ(
        QString::fromUtf8(recorded.readAll()).trimmed(),
        QStringLiteral("3 %1 %2 1 headless=1").arg(bundle).arg(QCoreApplication::applicationPid()));
    EXPECT_TRUE(delegate->isTerminating());
}

} // namespace

// The desktop's automounter holding a camera: a process of that name with the device node open
// (sleep, under that name), a gio that records each command it is given, and the camera's
// dictionary naming the node.
class HeldCamera {
public:
    HeldCamera(const QString& name, const QString& gioScript) {
        EXPECT_TRUE(m_work.isValid());
        node = m_work.filePath(QStringLiteral("usb-node"));
        QFile(node).open(QIODevice::WriteOnly);
        const QString daemon = m_work.filePath(QStringLiteral("gvfsd-gphoto2"));
        EXPECT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), daemon));
        automounter.setStandardInputFile(node);
        automounter.start(daemon, {QStringLiteral("60")});
        EXPECT_TRUE(automounter.waitForStarted());
        m_calls = m_work.filePath(QStringLiteral("gio-calls"));
        gio = m_work.filePath(QStringLiteral("gio"));
        QFile f(gio);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\n%2")
                    .arg(m_calls, QString(gioScript).replace(QStringLiteral("NODE"), node))
                    .toUtf8());
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        camera = device(name, 1200, QStringLiteral("S1"));
        QVariantMap props = camera.value(QStringLiteral("usbproperties")).toMap();
        props.insert(QStringLiteral("DEVNAME"), node);
        camera.insert(QStringLiteral("usbproperties"), props);
    }
    ~HeldCamera() {
        automounter.kill();
        automounter.waitForFinished();
        UserDefaults::standard().removeObject(QStringLiteral("prefHeadlessReleasesCamera"));
    }
    HeldCamera(const HeldCamera&) = delete;
    HeldCamera& operator=(const HeldCamera&) = delete;

    bool gioRan() const { return QFile::exists(m_calls); }
    QString gioCalls() const {
        QFile f(m_calls);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString holder() const {
        return QStringLiteral("gvfsd-gphoto2 (process %1)").arg(automounter.processId());
    }

    QString node;
    QString gio;
    QProcess automounter;
    QVariantMap camera;

private:
    QTemporaryDir m_work;
    QString m_calls;
};

// Lists the camera's mount beside another device's; an unmount takes a moment.
const QString kGioWithTheCamerasMount = QStringLiteral(
    "case \"$2\" in\n"
    "-l) printf \"Volume(0): Phone\\n  ids:\\n   unix-device: '/dev/bus/usb/002/009'\\n"
    "  Mount(0): Phone -> gphoto2://Phone/\\nVolume(1): D750\\n  ids:\\n"
    "   unix-device: 'NODE'\\n  Mount(0): D750 -> gphoto2://Nikon_D750/\\n\" ;;\n"
    "-u) sleep 1 ;;\n"
    "esac\n");

// A camera the desktop's automounter holds: the status names the holder; headless, the release
// is declined unless the setting says so; then gio unmounts the camera's own mount, once, and the
// connection is tried again.
TEST_F(Controller, HeldCameraNamesItsHolderAndIsReleasedOnlyWhenAllowed) {
    ZARV_SKIP_FORKS_UNDER_TSAN();
    HeldCamera held(QStringLiteral("Nikon D750"), kGioWithTheCamerasMount);
    restartWithGio(held.gio);

    script.result = kFindCameraDeviceHeld;
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return logged(QStringLiteral("returncode = 1001")); }, 20000));
    EXPECT_TRUE(status().startsWith("< Camera In Use by Another Program: Nikon D750 >"))
        << qPrintable(status());
    EXPECT_TRUE(status().contains(held.holder())) << qPrintable(status());
    EXPECT_TRUE(logged(held.holder()));
    EXPECT_EQ(delegate->fStatus1Image(), "NSCaution");
    EXPECT_FALSE(held.gioRan()) << "released without being allowed";

    defaults().setObject(QStringLiteral("prefHeadlessReleasesCamera"), true);
    const int finds = script.finds.load();
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return held.gioRan(); }, 20000));
    script.result = 0; // the automounter let go: the next attempt connects
    ASSERT_TRUE(waitUntil([&] { return delegate->fStatus1Image() == "NSStatusAvailable"; }, 20000));
    EXPECT_EQ(script.finds.load(), finds + 2);
    EXPECT_EQ(held.gioCalls(), "mount -l -i\nmount -u gphoto2://Nikon_D750/\n");
    EXPECT_EQ(held.automounter.state(), QProcess::Running) << "another process was stopped";
    EXPECT_EQ(script.offQueue.load(), 0);
}

// A release that does not help is not repeated: the camera is left to the operator.
TEST_F(Controller, HeldCameraIsReleasedOncePerDevice) {
    ZARV_SKIP_FORKS_UNDER_TSAN();
    HeldCamera held(QStringLiteral("Nikon Z6"), QString()); // gio lists no mount of it
    restartWithGio(held.gio);
    defaults().setObject(QStringLiteral("prefHeadlessReleasesCamera"), true);
    script.result = kFindCameraDeviceHeld;
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return status().contains("Cannot release"); }, 20000));
    EXPECT_TRUE(status().contains("no gphoto2:// mount of " + held.node)) << qPrintable(status());
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return script.finds.load() >= 2; }, 20000));
    drainCameraQueue();
    drainCameraQueue();
    EXPECT_EQ(held.gioCalls(), "mount -l -i\n") << "released twice";
}

// In the window the release is a sheet: "Release" unmounts whatever the setting says; a camera
// held by some other program gets its name and no offer.
TEST_F(ControllerWithView, HeldCameraSheetAnswers) {
    ZARV_SKIP_FORKS_UNDER_TSAN();
    HeldCamera held(QStringLiteral("Nikon D780"), kGioWithTheCamerasMount);
    restartWithGio(held.gio);
    delegate->setView(&view);
    view.answerSheetsWith(kAlertFirstButtonReturn);
    script.result = kFindCameraDeviceHeld;
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return held.gioCalls().contains("mount -u"); }, 20000));
    EXPECT_TRUE(view.saw("sheet:The Desktop Holds the Camera|Release/Cancel"));
    EXPECT_TRUE(view.saw("light:NSCaution"));
    drainCameraQueue();

    // This test process holds the next camera's node: a program, not the automounter.
    QTemporaryDir work;
    const QString node = work.filePath(QStringLiteral("other-node"));
    QFile open(node);
    ASSERT_TRUE(open.open(QIODevice::WriteOnly));
    QVariantMap camera = held.camera;
    QVariantMap props = camera.value(QStringLiteral("usbproperties")).toMap();
    props.insert(QStringLiteral("DEVNAME"), node);
    props.insert(QStringLiteral("USB Serial Number"), QStringLiteral("S2"));
    camera.insert(QStringLiteral("usbproperties"), props);
    const int sheets = view.eventsOf(QStringLiteral("sheet:")).size();
    arrive(camera);
    ASSERT_TRUE(waitUntil(
        [&] { return status().contains(QStringLiteral("(process %1)").arg(getpid())); }, 20000))
        << qPrintable(status());
    EXPECT_TRUE(status().contains("quit that program"));
    drainCameraQueue();
    EXPECT_EQ(view.eventsOf(QStringLiteral("sheet:")).size(), sheets);
}
