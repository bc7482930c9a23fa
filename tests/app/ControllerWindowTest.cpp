// The controller with a view that records what it is shown: the light and status texts through a
// camera's life, the tabs, the unknown-camera sheet and the module search, the tool bars.

#include "ControllerSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

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

} // namespace
