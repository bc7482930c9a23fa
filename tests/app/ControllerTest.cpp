// The controller in this process, with a scripted camera session: the device bookkeeping, the
// status texts and the request handling, and that every session call runs on the camera queue.

#include "ControllerSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

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
