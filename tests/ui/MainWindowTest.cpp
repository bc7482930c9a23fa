// The main window under the offscreen platform, driving a real controller: its two forms, the
// disclosure and zoom buttons, the size pop-up, the tabs, the toolbars, the quit sheet and the
// state it writes for end-to-end tests. What is checked is read from the widgets.

#include "MainWindowSupport.h"
#include "ui/LiveViewPane.h"

using namespace zarv;
using namespace zarv::test;

namespace {

// Start-up gives the mini panel of the chosen size above other windows, without the keyboard
// focus; "pref1" loses the title bar; the full window gets it back and may take the focus.
TEST_F(Window, FormsTakeTheirSizesTitleBarsAndFocusRules) {
    start();
    EXPECT_TRUE(window->isMiniPanel());
    EXPECT_EQ(window->size(), QSize(450, 80));
    EXPECT_FALSE(child("ibTabView")->isVisible());
    EXPECT_TRUE(child("bottomview")->isVisible());
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(frameless()); // "pref3" keeps its title bar
    QWidget* indicator = child("ibProgressIndicator1");
    EXPECT_EQ(indicator->width(), indicator->height());
    EXPECT_FALSE(child<QAbstractButton>("dbug")->isChecked());

    defaults().setObject(QStringLiteral("prefSelectedMiniPanelSizeValue"), QStringLiteral("PREF1"));
    window->ibTestButton2();
    EXPECT_EQ(window->size(), QSize(300, 70));
    EXPECT_TRUE(frameless());
    EXPECT_TRUE(window->isVisible()); // changing the frame did not hide it

    window->ibTestButton1();
    EXPECT_FALSE(window->isMiniPanel());
    EXPECT_EQ(window->size(), window::kFullWindowSize);
    EXPECT_TRUE(child("ibTabView")->isVisible());
    EXPECT_FALSE(frameless());
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(child<QAbstractButton>("dbug")->isChecked());
    EXPECT_TRUE(window->isVisible());
}

// The status strip is taller by the size's offset in the full window, and asking for the form
// the window already has changes nothing: the strip does not grow or shrink step by step.
TEST_F(Window, StripDiffersByTheOffsetAndRepeatingAFormChangesNothing) {
    start();
    QWidget* strip = child("bottomview");
    const int mini = strip->height();
    window->ibTestButton2();
    EXPECT_EQ(strip->height(), mini);
    window->ibTestButton1();
    window->ibTestButton1();
    EXPECT_EQ(strip->height(), mini + 20);
    window->ibTestButton2();
    EXPECT_EQ(strip->height(), mini);
    EXPECT_LE(strip->height(), window->height());
}

TEST_F(Window, DisclosureWithoutAModifierBeepsTurnsItselfOffAndOnlyTogglesTheTitleBar) {
    start();
    auto* disclosure = child<QAbstractButton>("dbug");
    const QSize before = window->size();
    QTest::mouseClick(disclosure, Qt::LeftButton);
    EXPECT_EQ(beeps.load(), 1);
    EXPECT_FALSE(disclosure->isChecked());
    EXPECT_TRUE(window->isMiniPanel());
    EXPECT_EQ(window->size(), before);
    EXPECT_TRUE(frameless());
    EXPECT_TRUE(logged(QStringLiteral("ibDisclosureButton:...Not allowed...")));

    QTest::mouseClick(disclosure, Qt::LeftButton);
    EXPECT_EQ(beeps.load(), 2);
    EXPECT_FALSE(disclosure->isChecked());
    EXPECT_FALSE(frameless());
    EXPECT_TRUE(window->isMiniPanel());
    EXPECT_EQ(window->size(), before);
}

// Ctrl, Alt and Meta (the Mac's Command, Option and Control) each open the full window with a
// title bar, on the preferred tab whatever tab was shown last.
TEST_F(Window, DisclosureWithAModifierOpensTheFullWindowOnTheInitialTab) {
    defaults().setObject(QStringLiteral("prefSelectedMiniPanelSizeValue"), QStringLiteral("pref2"));
    defaults().setObject(QStringLiteral("prefDefaultMainTabviewItemIdentifier"),
                         QStringLiteral("modules"));
    start();
    auto* disclosure = child<QAbstractButton>("dbug");
    for (Qt::KeyboardModifier modifier : {Qt::ControlModifier, Qt::AltModifier, Qt::MetaModifier}) {
        SCOPED_TRACE(int(modifier));
        window->ibDisclosureButton(nullptr, Qt::NoModifier);
        ASSERT_TRUE(window->isMiniPanel());
        ASSERT_TRUE(frameless());
        ASSERT_TRUE(window->selectTab(QStringLiteral("preferences")));
        disclosure->setChecked(true);
        window->ibDisclosureButton(disclosure, modifier);
        EXPECT_FALSE(window->isMiniPanel());
        EXPECT_EQ(window->size(), window::kFullWindowSize);
        EXPECT_EQ(window->currentTabIdentifier(), "modules");
        EXPECT_FALSE(frameless());
        EXPECT_EQ(window->windowTitle(), "ZarvNikonCapture (v1.0) 64bit");
    }
    EXPECT_EQ(beeps.load(), 0);
    // Turned off again, the button gives the mini panel back.
    QTest::mouseClick(disclosure, Qt::LeftButton);
    EXPECT_TRUE(window->isMiniPanel());
    EXPECT_EQ(window->size(), QSize(350, 70));
    // A click with Ctrl held reaches the button with the modifier.
    QTest::mouseClick(disclosure, Qt::LeftButton, Qt::ControlModifier);
    EXPECT_FALSE(window->isMiniPanel());
    EXPECT_EQ(beeps.load(), 0);
}

TEST_F(Window, UnknownStoredSizeSelectsTheLastEntryWhileThePanelTakesTheDefaultSize) {
    defaults().setObject(QStringLiteral("prefSelectedMiniPanelSizeValue"), QStringLiteral("pref9"));
    start();
    auto* popUp = child<QComboBox>("ibMiniSizePopUp");
    ASSERT_EQ(popUp->count(), 3);
    EXPECT_EQ(popUp->currentIndex(), 2);
    EXPECT_EQ(popUp->currentText(), "Wide");
    EXPECT_EQ(window->size(), QSize(350, 70));

    // Choosing a size stores it; it applies the next time the window becomes the mini panel.
    window->ibClickSelectMiniSize(0);
    EXPECT_EQ(defaults().stringForKey(QStringLiteral("prefSelectedMiniPanelSizeValue")), "pref1");
    EXPECT_EQ(window->size(), QSize(350, 70));
    window->ibTestButton2();
    EXPECT_EQ(window->size(), QSize(300, 70));
    window->ibClickSelectMiniSize(7); // no such row: nothing stored
    EXPECT_EQ(defaults().stringForKey(QStringLiteral("prefSelectedMiniPanelSizeValue")), "pref1");

    // A list that changes while the program runs is shown again, its stored entry selected.
    defaults().setObject(QStringLiteral("prefMiniSizesInfoArray"),
                         QVariantList{kSizes.at(0), kSizes.at(1)});
    ASSERT_TRUE(waitUntil([&] { return popUp->count() == 2; }));
    EXPECT_EQ(popUp->currentIndex(), 0);
    defaults().setObject(QStringLiteral("prefMiniSizesInfoArray"), QVariantList());
    ASSERT_TRUE(waitUntil([&] { return popUp->count() == 0; }));
    EXPECT_EQ(popUp->currentIndex(), -1);
}

TEST_F(Window, SizeWithoutAHeightOffsetGivesA70PixelPanel) {
    defaults().setObject(
        QStringLiteral("prefMiniSizesInfoArray"),
        QVariantList{size(QStringLiteral("tall"), QStringLiteral("Tall"), 420, std::nullopt)});
    defaults().setObject(QStringLiteral("prefSelectedMiniPanelSizeValue"), QStringLiteral("tall"));
    start();
    EXPECT_EQ(window->size(), QSize(420, 70));
}

// The zoom button never maximises: a window 100 high (or lower) becomes the full window, a
// taller one the mini panel.
TEST_F(Window, ZoomSwitchesFormsInsteadOfMaximising) {
    defaults().setObject(
        QStringLiteral("prefMiniSizesInfoArray"),
        QVariantList{size(QStringLiteral("flat"), QStringLiteral("Flat"), 400, 0)});
    defaults().setObject(QStringLiteral("prefSelectedMiniPanelSizeValue"), QStringLiteral("flat"));
    start();
    ASSERT_EQ(window->size(), QSize(400, 100));

    window->setWindowState(Qt::WindowMaximized);
    EXPECT_FALSE(window->windowState().testFlag(Qt::WindowMaximized));
    EXPECT_TRUE(window->isMiniPanel()); // not at once: a tenth of a second later
    ASSERT_TRUE(waitUntil([&] { return !window->isMiniPanel(); }, 2000));
    EXPECT_EQ(window->size(), window::kFullWindowSize);

    window->setWindowState(Qt::WindowMaximized);
    ASSERT_TRUE(waitUntil([&] { return window->isMiniPanel(); }, 2000));
    EXPECT_EQ(window->size(), QSize(400, 100));
    EXPECT_FALSE(window->windowState().testFlag(Qt::WindowMaximized));
}

// The forced position puts the window's frame in the bottom-right corner of the screen's usable
// area in either form; without it, the bottom-left corner stays where it was, unless that would
// push the top of the window off the screen.
TEST_F(Window, PositionRuleKeepsTheBottomLeftCornerOrSnapsToTheBottomRight) {
    start();
    window->move(100, 500);
    QTest::qWait(20);
    const QPoint corner = window->frameGeometry().bottomLeft();
    window->ibTestButton1();
    EXPECT_EQ(window->frameGeometry().bottomLeft(), corner);
    window->ibTestButton2();
    EXPECT_EQ(window->frameGeometry().bottomLeft(), corner);

    // From a panel at the top of the screen the full window grows down, title bar on screen.
    window->move(100, screenArea().top() + 10);
    QTest::qWait(20);
    window->ibTestButton1();
    EXPECT_EQ(window->frameGeometry().topLeft(), QPoint(100, screenArea().top()));

    defaults().setObject(QStringLiteral("prefForceWindowPosition"),
                         QStringLiteral(" BOTTOM RIGHT"));
    window->ibTestButton2();
    EXPECT_EQ(window->frameGeometry().bottomRight(), screenArea().bottomRight());
    window->ibTestButton1();
    EXPECT_EQ(window->frameGeometry().bottomRight(), screenArea().bottomRight());

    defaults().setObject(QStringLiteral("prefForceWindowPosition"), QString());
    defaults().setObject(QStringLiteral("prefForceWindowBottomRight"), true);
    window->move(10, 10);
    window->ibTestButton2();
    EXPECT_EQ(window->frameGeometry().bottomRight(), screenArea().bottomRight());
}

// A preferred tab that does not exist is logged and the tab shown stays; blanks around a
// preferred tab's name do not matter; the camera-settings tab asks the controller to read.
TEST_F(Window, InitialTabAndTabChanges) {
    start();
    EXPECT_EQ(window->tabIdentifiers(),
              QStringList({"preferences", "camerasettings", "modules", "liveview"}));
    EXPECT_EQ(window->currentTabIdentifier(), "preferences");
    ASSERT_TRUE(window->selectTab(QStringLiteral("modules")));
    EXPECT_FALSE(window->selectTab(QStringLiteral("nowhere")));

    defaults().setObject(QStringLiteral("prefDefaultMainTabviewItemIdentifier"),
                         QStringLiteral("nowhere"));
    window->selectIntialTabviewItem();
    EXPECT_EQ(window->currentTabIdentifier(), "modules");
    EXPECT_TRUE(logged(QStringLiteral("Inside AppDelegate => selectIntialTabviewItem...FAILED "
                                      "indexOfTabViewItemWithIdentifier:[nowhere]...")));

    defaults().setObject(QStringLiteral("prefDefaultMainTabviewItemIdentifier"),
                         QStringLiteral("  camerasettings\n"));
    window->selectIntialTabviewItem();
    EXPECT_EQ(window->currentTabIdentifier(), "camerasettings");
    defaults().removeObject(QStringLiteral("prefDefaultMainTabviewItemIdentifier"));
    window->selectIntialTabviewItem();
    EXPECT_EQ(window->currentTabIdentifier(), "preferences");
}

// The Live View tab holds live view only while it shows in the full window, and has the room
// for it: the window grows for the tab and goes back after.
TEST_F(Window, TheLiveViewTabHoldsLiveViewWhileItShowsInARoomierWindow) {
    start();
    window->ibTestButton1();
    const LiveViewPane* pane = window->liveViewPane();
    ASSERT_NE(pane, nullptr);
    EXPECT_FALSE(pane->isActive());
    ASSERT_TRUE(window->selectTab(QStringLiteral("liveview")));
    EXPECT_TRUE(pane->isActive());
    EXPECT_GE(window->width(), window::kLiveViewWindowSize.width());
    EXPECT_GE(window->height(), window::kLiveViewWindowSize.height());
    // No camera here: it says so instead of showing a frame.
    EXPECT_TRUE(waitUntil([&] { return pane->statusText().contains("No camera"); }))
        << pane->statusText().toStdString();

    window->ibTestButton2();
    EXPECT_FALSE(pane->isActive()) << "the mini panel shows no live view";
    window->ibTestButton1();
    EXPECT_TRUE(pane->isActive()) << "back on the tab it was left on";
    ASSERT_TRUE(window->selectTab(QStringLiteral("modules")));
    EXPECT_FALSE(pane->isActive());
    EXPECT_EQ(window->size(), window::kFullWindowSize);
    ASSERT_TRUE(window->selectTab(QStringLiteral("liveview")));
    window->hide();
    EXPECT_TRUE(waitUntil([&] { return !pane->isActive(); })) << "a hidden window lets it go";
}

// Each toolbar button carries its tag; a click reaches the controller with it, and a popover
// opens at the button clicked.
TEST_F(Window, ToolbarsCallTheControllerByTagAndOpenPopoversAtTheButton) {
    start();
    window->ibTestButton1();
    for (const char* group : {"segmentedControl1", "segmentedControl2"}) {
        auto* buttons = window->findChild<QButtonGroup*>(QLatin1String(group));
        ASSERT_NE(buttons, nullptr) << group;
        QList<int> tags;
        for (QAbstractButton* button : buttons->buttons())
            tags << button->property("tag").toInt();
        std::sort(tags.begin(), tags.end());
        EXPECT_EQ(tags, QList<int>({0, 1, 2, 3, 4, 5})) << group;
    }

    ASSERT_TRUE(window->selectTab(QStringLiteral("modules")));
    QTest::mouseClick(child<QAbstractButton>("moduleAdd"), Qt::LeftButton);
    EXPECT_EQ(beeps.load(), 1);
    EXPECT_TRUE(logged(QStringLiteral("ibHandleSegmentedControl1:...Add - NOT Implemented Yet")));

    auto visiblePopovers = [] {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<Popover*>(widget) && widget->isVisible())
                ++count;
        return count;
    };
    auto* matches = child<QAbstractButton>("moduleMatchList");
    QTest::mouseClick(matches, Qt::LeftButton);
    EXPECT_EQ(window->popoverAnchor(), matches);
    EXPECT_TRUE(waitUntil([&] { return visiblePopovers() > 0; }, 2000));
    // The match list popover shows its sharing view.
    bool sharing = false;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<Popover*>(widget) && widget->isVisible())
            sharing = sharing || widget->findChild<MyPopoverViewController*>() != nullptr;
    EXPECT_TRUE(sharing);

    ASSERT_TRUE(window->selectTab(QStringLiteral("camerasettings")));
    auto* load = child<QAbstractButton>("settingsLoad");
    QTest::mouseClick(load, Qt::LeftButton);
    EXPECT_EQ(window->popoverAnchor(), load);
    EXPECT_TRUE(waitUntil([&] { return visiblePopovers() > 0; }, 2000));
}

// The settings tab hosts the pages: the page buttons switch them, and the save and load buttons
// open the default-settings popover on the matching view.
TEST_F(Window, SettingsToolbarPagesAndOpensTheDefaultsPopover) {
    start();
    window->ibTestButton1();
    ASSERT_TRUE(window->selectTab(QStringLiteral("camerasettings")));
    CameraControlsViewController* pages = window->cameraControlsView();
    ASSERT_NE(pages, nullptr);
    EXPECT_TRUE(pages->isVisible());
    QWidget* one = pages->findChild<QWidget*>(QStringLiteral("camsettingview1"));
    QWidget* two = pages->findChild<QWidget*>(QStringLiteral("finetunesettings"));
    pages->preparePages(true);
    QTest::mouseClick(child<QAbstractButton>("settingsPage"), Qt::LeftButton);
    EXPECT_TRUE(one->isHidden());
    EXPECT_FALSE(two->isHidden());
    QTest::mouseClick(child<QAbstractButton>("settingsBack"), Qt::LeftButton);
    EXPECT_FALSE(one->isHidden());
    EXPECT_TRUE(two->isHidden());

    auto shownPopover = [] {
        MyPopoverForCameraSettingViewController* shown = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<Popover*>(widget) && widget->isVisible())
                if (auto* view = widget->findChild<MyPopoverForCameraSettingViewController*>())
                    shown = view;
        return shown;
    };
    for (const auto& [button, visible] :
         {std::pair{"settingsSave", "saveview"}, std::pair{"settingsLoad", "loadview"}}) {
        QTest::mouseClick(child<QAbstractButton>(button), Qt::LeftButton);
        ASSERT_TRUE(waitUntil([&] { return shownPopover() != nullptr; }, 2000)) << button;
        MyPopoverForCameraSettingViewController* popover = shownPopover();
        for (const char* view : {"saveview", "loadview"})
            EXPECT_EQ(popover->findChild<QWidget*>(QLatin1String(view))->isHidden(),
                      qstrcmp(view, visible) != 0)
                << button << ' ' << view;
        popover->window()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// Closing the window is refused; the quit sheet follows, and its cancel button leaves the
// program running with the window open.
TEST_F(Window, ClosingAsksAndCancelKeepsTheProgramRunning) {
    start();
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    ConfirmQuitSheet* sheet = window->confirmQuitSheet();
    ASSERT_TRUE(waitUntil([&] { return sheet->isVisible(); }, 2000));
    auto* cancel = sheet->findChild<QAbstractButton*>(QStringLiteral("cancel"));
    ASSERT_NE(cancel, nullptr);
    QTest::mouseClick(cancel, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !sheet->isVisible(); }, 2000));
    QTest::qWait(100);
    EXPECT_FALSE(delegate->isTerminating());
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(logged(QStringLiteral("Will terminate app")));
    EXPECT_FALSE(logged(QStringLiteral("Will Quit and Relaunch")));
}

TEST_F(Window, ConfirmQuitTerminates) {
    start();
    delegate->ibConfirmQuit();
    ConfirmQuitSheet* sheet = window->confirmQuitSheet();
    ASSERT_TRUE(waitUntil([&] { return sheet->isVisible(); }, 2000));
    auto* quit = sheet->findChild<QAbstractButton*>(QStringLiteral("confirmquit"));
    ASSERT_NE(quit, nullptr);
    QTest::mouseClick(quit, Qt::LeftButton);
    EXPECT_TRUE(waitUntil(
        [&] { return logged(QStringLiteral("ibCloseConfirmWindow:...Will terminate app...")); },
        2000));
    EXPECT_TRUE(delegate->isTerminating());
    EXPECT_FALSE(logged(QStringLiteral("Will Quit and Relaunch")));
}

// The relaunch answer relaunches; here the bundle has no relauncher, so nothing is started and
// the program still ends.
TEST_F(Window, ConfirmQuitRelaunchRelaunches) {
    QTemporaryDir bundle(QDir::tempPath() + QStringLiteral("/NoRelauncher-XXXXXX.app"));
    ASSERT_TRUE(bundle.isValid());
    ASSERT_TRUE(QDir().mkpath(bundle.path() + QStringLiteral("/Contents/Resources")));
    Bundle::setMainBundlePath(bundle.path());
    ASSERT_TRUE(Bundle::mainBundle().pathForResource(QStringLiteral("relaunch")).isEmpty());
    start();
    delegate->ibConfirmQuit();
    ConfirmQuitSheet* sheet = window->confirmQuitSheet();
    ASSERT_TRUE(waitUntil([&] { return sheet->isVisible(); }, 2000));
    auto* relaunch = sheet->findChild<QAbstractButton*>(QStringLiteral("confirmquitrelaunch"));
    ASSERT_NE(relaunch, nullptr);
    QTest::mouseClick(relaunch, Qt::LeftButton);
    EXPECT_TRUE(waitUntil(
        [&] { return logged(QStringLiteral("ibCloseConfirmWindow:...Will Quit and Relaunch")); },
        2000));
    EXPECT_TRUE(logged(QStringLiteral("could not start the relauncher")));
    EXPECT_TRUE(delegate->isTerminating());
    EXPECT_FALSE(logged(QStringLiteral("Will terminate app")));
}

// The labels, the text, the module table and the light follow what the controller stores.
TEST_F(Window, WidgetsFollowTheSettingsAndTheController) {
    start();
    window->ibTestButton1();
    const std::pair<const char*, const char*> labels[] = {
        {"nameOfCameraFound", "prefNameOfCameraFound"},
        {"newImageCountString", "prefNewImageCountString"},
        {"lable1String", "prefLable1String"},
        {"longInfoString", "prefLongInfoString"},
        {"modelOfCurrentConnectedCamera", "prefModelOfCurrentConnectedCamera"},
    };
    for (const auto& [name, key] : labels) {
        const QString text = QStringLiteral("text of %1").arg(QLatin1String(key));
        defaults().setObject(QLatin1String(key), text);
        auto* label = child<QLabel>(name);
        EXPECT_TRUE(waitUntil([&] { return label->text() == text; }, 2000)) << key;
    }
    defaults().setObject(QStringLiteral("prefWindowTitleName"), QStringLiteral("Other title"));
    EXPECT_TRUE(waitUntil([&] { return window->windowTitle() == "Other title"; }, 2000));

    defaults().setObject(QStringLiteral("prefCameraConnected"), true);
    EXPECT_TRUE(waitUntil(
        [&] { return child<QLabel>("cameraConnectedText")->text() == "Connected"; }, 2000));
    EXPECT_EQ(child<StatusLight>("cameraConnectedLight")->imageName(), "NSStatusAvailable");
    defaults().setObject(QStringLiteral("prefCameraConnected"), false);
    EXPECT_TRUE(waitUntil(
        [&] { return child<QLabel>("cameraConnectedText")->text() == "No camera connected"; },
        2000));

    const QVariantList modules{
        QVariantMap{{QStringLiteral("devicename"), QStringLiteral("NIKON D850")},
                    {QStringLiteral("modulename"), QStringLiteral("Type0023 Module.bundle")},
                    {QStringLiteral("productid"), 1098}},
        QVariantMap{{QStringLiteral("devicename"), QStringLiteral("NIKON Z 6")}}};
    defaults().setObject(QStringLiteral("prefNikonLookupArray"), modules);
    auto* table = child<QTableView>("ibModuleTableView");
    ASSERT_TRUE(waitUntil([&] { return table->model()->rowCount() == 2; }, 2000));
    auto cell = [&](int row, int column) {
        return table->model()->index(row, column).data().toString();
    };
    EXPECT_EQ(cell(0, 0), "NIKON D850");
    EXPECT_EQ(cell(0, 1), "Type0023 Module.bundle");
    EXPECT_EQ(cell(0, 2), "1098");
    EXPECT_EQ(cell(1, 1), "");
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);

    delegate->view().setStatusImage(QStringLiteral("NSStatusAvailable"));
    EXPECT_EQ(child<StatusLight>("statusLight")->imageName(), "NSStatusAvailable");
    delegate->view().setBusy(true);
    EXPECT_TRUE(child<BusyIndicator>("ibProgressIndicator1")->isBusy());
    delegate->view().setBusy(false);
    EXPECT_FALSE(child<BusyIndicator>("ibProgressIndicator1")->isBusy());
}

QJsonObject readState(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// With ZARV_UI_STATE_FILE set the window keeps a description of what it shows in that file.
TEST_F(Window, StateFileDescribesWhatTheWindowShows) {
    const QString path = config.path() + QStringLiteral("/state.json");
    ScopedEnvironment stateFile("ZARV_UI_STATE_FILE", path);
    makeWindow();
    start();
    delegate->view().setStatusImage(QStringLiteral("NSStatusAvailable"));
    defaults().setObject(QStringLiteral("prefNameOfCameraFound"), QStringLiteral("Nikon D850"));
    QJsonObject state;
    const auto shows = [&](const char* key, const QJsonValue& value) {
        return waitUntil(
            [&] {
                state = readState(path);
                return state.value(QLatin1String(key)) == value;
            },
            2000);
    };
    EXPECT_TRUE(shows("statusLight", QStringLiteral("NSStatusAvailable")));
    EXPECT_TRUE(shows("cameraStatus", QStringLiteral("Nikon D850")));
    EXPECT_TRUE(shows("painted", true));
    EXPECT_EQ(state.value(QStringLiteral("form")).toString(), "mini");
    EXPECT_EQ(state.value(QStringLiteral("width")).toInt(), 450);
    EXPECT_EQ(state.value(QStringLiteral("height")).toInt(), 80);
    EXPECT_EQ(state.value(QStringLiteral("tab")).toString(), "preferences");
    EXPECT_EQ(state.value(QStringLiteral("title")).toString(), "ZarvNikonCapture (v1.0) 64bit");

    window->ibTestButton1();
    window->selectTab(QStringLiteral("modules"));
    EXPECT_TRUE(shows("form", QStringLiteral("full")));
    EXPECT_TRUE(shows("tab", QStringLiteral("modules")));
    EXPECT_EQ(state.value(QStringLiteral("height")).toInt(), 466);
    // Written whole each time: no scratch file stays behind.
    EXPECT_EQ(QDir(config.path()).entryList({QStringLiteral("state.json*")}, QDir::Files).size(),
              1);
}

// The program itself: with no display to show its window on, it says so and how to run
// without one, and ends with status 2 instead of being aborted by Qt.
TEST(Program, WithoutADisplayExplainsAndEnds) {
    const QString program = QStringLiteral(ZARV_APP_DIR "/Contents/MacOS/ZarvNikonCapture");
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    auto run = [&](const QStringList& args, const std::optional<QString>& display) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        if (display)
            env.insert(QStringLiteral("DISPLAY"), *display);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->start(program, args);
        EXPECT_TRUE(process->waitForFinished(30000)) << process->errorString().toStdString();
        return process;
    };

    auto unset = run({}, std::nullopt);
    EXPECT_EQ(unset->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(unset->exitCode(), 2);
    const QString said = QString::fromLocal8Bit(unset->readAllStandardError());
    EXPECT_TRUE(said.contains("no display (DISPLAY is not set)")) << said.toStdString();
    EXPECT_TRUE(said.contains("--headless")) << said.toStdString();

    // A display number nothing serves.
    auto unreachable = run({}, QStringLiteral(":4711"));
    EXPECT_EQ(unreachable->exitCode(), 2);
    const QString saidToo = QString::fromLocal8Bit(unreachable->readAllStandardError());
    EXPECT_TRUE(saidToo.contains(":4711\" cannot be reached")) << saidToo.toStdString();

    // What needs no window still works without a display.
    auto help = run({QStringLiteral("--help")}, std::nullopt);
    EXPECT_EQ(help->exitCode(), 0);
    EXPECT_TRUE(help->readAllStandardOutput().contains("--headless"));
}

} // namespace
