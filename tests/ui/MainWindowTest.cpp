// The main window under the offscreen platform, driving a real controller: its two forms, the
// disclosure and zoom buttons, the size pop-up, the tabs, the toolbars, the quit sheet and the
// state it writes for end-to-end tests. What is checked is read from the widgets.

#include "ui/MainWindow.h"
#include "TestSupport.h"
#include "app/AppDelegate.h"
#include "app/WindowGeometry.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "ui/BusyIndicator.h"
#include "ui/CameraControlsViewController.h"
#include "ui/ConfirmQuitSheet.h"
#include "ui/MyPopoverForCameraSettingViewController.h"
#include "ui/MyPopoverViewController.h"
#include "ui/Popover.h"
#include "ui/StatusLight.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <optional>
#include <ostream>

// Readable failures: gtest finds these by argument-dependent lookup in Qt's (global) namespace.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QSize& size, std::ostream* out) {
    *out << size.width() << 'x' << size.height();
}
inline void PrintTo(const QPoint& point, std::ostream* out) {
    *out << '(' << point.x() << ", " << point.y() << ')';
}

using namespace zarv;
using zarv::test::clearPendingQuit;
using zarv::test::ScopedEnvironment;
using zarv::test::waitUntil;

namespace {

QVariantMap size(const QString& key, const QString& name, int width, std::optional<int> offset) {
    QVariantMap entry{{QStringLiteral("somevalue"), key},
                      {QStringLiteral("displayname"), name},
                      {QStringLiteral("width"), width}};
    if (offset)
        entry.insert(QStringLiteral("heightoffset"), *offset);
    return entry;
}

const QVariantList kSizes{size(QStringLiteral("pref1"), QStringLiteral("Small"), 300, 30),
                          size(QStringLiteral("pref2"), QStringLiteral("Default"), 350, 30),
                          size(QStringLiteral("pref3"), QStringLiteral("Wide"), 450, 20)};

UserDefaults& defaults() {
    return UserDefaults::standard();
}

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        previousBeep = setBeepFunction([this] { ++beeps; });
        defaults().setObject(QStringLiteral("prefMiniSizesInfoArray"), kSizes);
        defaults().setObject(QStringLiteral("prefSelectedMiniPanelSizeValue"),
                             QStringLiteral("pref3"));
        defaults().setObject(QStringLiteral("prefDefaultMainTabviewItemIdentifier"),
                             QStringLiteral("preferences"));
        defaults().setObject(QStringLiteral("prefForceWindowBottomRight"), false);
        defaults().setObject(QStringLiteral("prefForceWindowPosition"), QString());
        defaults().setObject(QStringLiteral("prefWindowTitleName"),
                             QStringLiteral("ZarvNikonCapture (v1.0) 64bit"));
        AppDelegate::Options options;
        options.headless = false;
        options.arguments = {QStringLiteral("ZarvNikonCapture")};
        delegate = std::make_unique<AppDelegate>(options);
        makeWindow();
    }
    void TearDown() override {
        delegate->setView(nullptr);
        window.reset();
        const bool terminated = delegate->isTerminating();
        if (!terminated)
            delegate->applicationWillTerminate();
        delegate.reset();
        setBeepFunction(previousBeep);
        Bundle::setMainBundlePath({});
        if (terminated)
            clearPendingQuit();
    }

    void makeWindow() {
        if (window)
            delegate->setView(nullptr);
        window = std::make_unique<MainWindow>(*delegate);
        delegate->setView(window.get());
    }
    // The window as the program starts it: the mini panel, shown.
    void start() {
        window->showMiniPanelAtStart();
        window->orderFrontAtStatusLevel(false);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    template <typename T = QWidget> T* child(const char* name) const {
        T* found = window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    bool logged(const QString& text) const { return log.contains(text); }
    bool frameless() const { return window->windowFlags().testFlag(Qt::FramelessWindowHint); }
    QRect screenArea() const { return QGuiApplication::primaryScreen()->availableGeometry(); }

    QTemporaryDir config;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<MainWindow> window;
    std::atomic<int> beeps{0};
    std::function<void()> previousBeep;
    test::LogCapture log{QStringLiteral("test_ui")};
};

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
    EXPECT_EQ(window->tabIdentifiers(), QStringList({"preferences", "camerasettings", "modules"}));
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

// --- The module table ---------------------------------------------------------------------------

namespace {

QVariantMap moduleEntry(const QString& camera, const QString& module, const QVariant& productID) {
    return {{QStringLiteral("devicename"), camera},
            {QStringLiteral("modulename"), module},
            {QStringLiteral("productid"), productID}};
}

class ModuleTable : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        window->ibTestButton1();
        window->show();
        ASSERT_TRUE(window->selectTab(QStringLiteral("modules")));
        table = child<QTableView>("ibModuleTableView");
    }
    void TearDown() override {
        defaults().removeObject(QStringLiteral("prefNikonLookupArray"));
        defaults().removeObject(QStringLiteral("prefNikonLookupTable"));
        Window::TearDown();
    }
    QString cell(int row, int column) const {
        return table->model()->index(row, column).data().toString();
    }
    QStringList column(int c) const {
        QStringList values;
        for (int row = 0; row < table->model()->rowCount(); ++row)
            values << cell(row, c);
        return values;
    }
    void clickHeader(int section) {
        QHeaderView* header = table->horizontalHeader();
        const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    }
    QFileDialog* openDialog() const { return window->findChild<QFileDialog*>(); }

    QTableView* table = nullptr;
};

} // namespace

// Header clicks sort the rows: names without regard to case, product identifiers as numbers;
// the selected camera stays selected, and a new list keeps the sort.
TEST_F(ModuleTable, SortsByHeaderClicks) {
    defaults().setObject(QStringLiteral("prefNikonLookupArray"),
                         QVariantList{moduleEntry("nikon Z 9", "Type0031 Module.bundle", 10),
                                      moduleEntry("NIKON D4", "Type0009 Module.bundle", 9),
                                      moduleEntry("Nikon Df", "Type0012 Module.bundle", 100),
                                      moduleEntry("Odd", "Odd.bundle", QStringLiteral("n/a"))});
    ASSERT_TRUE(waitUntil([&] { return table->model()->rowCount() == 4; }, 2000));
    EXPECT_EQ(column(0), QStringList({"nikon Z 9", "NIKON D4", "Nikon Df", "Odd"}))
        << "the list's order until a header is clicked";
    EXPECT_EQ(table->model()->headerData(2, Qt::Horizontal).toString(), "Product ID");

    clickHeader(2);
    EXPECT_EQ(column(2), QStringList({"9", "10", "100", "n/a"}));
    table->selectRow(1); // "nikon Z 9"
    clickHeader(2);
    EXPECT_EQ(column(2), QStringList({"n/a", "100", "10", "9"}));
    const QModelIndexList selected = table->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(cell(selected.first().row(), 0), "nikon Z 9");

    clickHeader(0);
    EXPECT_EQ(column(0), QStringList({"NIKON D4", "Nikon Df", "nikon Z 9", "Odd"}));
    defaults().setObject(
        QStringLiteral("prefNikonLookupArray"),
        QVariantList{moduleEntry("B", "b.bundle", 2), moduleEntry("a", "a.bundle", 1)});
    ASSERT_TRUE(waitUntil([&] { return table->model()->rowCount() == 2; }, 2000));
    EXPECT_EQ(column(0), QStringList({"a", "B"}));
    EXPECT_TRUE(table->selectionModel()->selectedRows().isEmpty());
}

// The import button opens a window-modal file panel for property lists with the "Import"
// prompt; the chosen table of 10 000 cameras is read, stored and shown. The time it takes is
// printed, not asserted.
TEST_F(ModuleTable, ImportOfTenThousandCamerasShows) {
    Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));
    QVariantMap user;
    for (int i = 0; i < 10000; ++i) {
        const QString camera = QStringLiteral("Camera %1").arg(i, 5, 10, QChar(u'0'));
        user.insert(camera, moduleEntry(camera, QStringLiteral("Type%1 Module.bundle").arg(i % 40),
                                        0x0400 + i));
    }
    const QString path = config.filePath(QStringLiteral("big.plist"));
    ASSERT_TRUE(
        PropertyList::writeFile(path, QVariantMap{{QStringLiteral("prefNikonLookupTable"), user}}));

    child<QAbstractButton>("moduleImport")->click();
    ASSERT_TRUE(waitUntil([&] { return openDialog() && openDialog()->isVisible(); }, 5000));
    QFileDialog* dialog = openDialog();
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog->nameFilters(), QStringList({"*.plist"}));
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Import");
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    dialog->selectFile(path);

    QElapsedTimer clock;
    clock.start();
    // The window keeps answering while the file is read: count the event loop's turns.
    int turns = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++turns; });
    ticker.start(10);
    static_cast<QDialog*>(dialog)->accept(); // as the "Import" button does
    ASSERT_TRUE(waitUntil([&] { return table->model()->rowCount() == 10000; }, 60000));
    const qint64 imported = clock.elapsed();
    table->viewport()->repaint();
    const qint64 shown = clock.elapsed();
    clickHeader(2);
    const qint64 sorted = clock.elapsed();
    ticker.stop();
    std::cout << "[ measure  ] import of 10000 cameras: shown after " << imported << " ms, painted "
              << shown << " ms, sorted by product id " << (sorted - shown) << " ms; " << turns
              << " event-loop turns of 10 ms meanwhile" << std::endl;
    EXPECT_EQ(cell(0, 2), QString::number(0x0400));
    EXPECT_EQ(defaults().objectForKey(QStringLiteral("prefNikonLookupTable")).toMap().size(),
              10000);
}

// The panel answers once: "cancelled" when dismissed, also when the window goes with it open.
TEST_F(ModuleTable, OpenPanelAnswersOnce) {
    QList<std::pair<long, QStringList>> answers;
    auto record = [&](long response, const QStringList& paths) {
        answers.append({response, paths});
    };
    OpenPanel panel;
    panel.message = QStringLiteral("Choose");
    panel.prompt = QStringLiteral("Take");
    panel.allowedFileTypes = {QStringLiteral("plist"), QStringLiteral("xml")};
    window->runOpenPanel(panel, record);
    QFileDialog* dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->nameFilters(), QStringList({"*.plist *.xml"}));
    EXPECT_EQ(dialog->windowTitle(), "Choose");
    dialog->reject();
    ASSERT_TRUE(waitUntil([&] { return openDialog() == nullptr; }, 2000));
    ASSERT_EQ(answers.size(), 1);
    EXPECT_EQ(answers.first(), std::make_pair(kModalResponseCancel, QStringList()));

    window->runOpenPanel(panel, record);
    delegate->setView(nullptr);
    window.reset();
    ASSERT_EQ(answers.size(), 2);
    EXPECT_EQ(answers.last().first, kModalResponseCancel);
    makeWindow();
}

// Revert, in the table's context menu, asks first; "NO" keeps the user's table.
TEST_F(ModuleTable, RevertButtonAsks) {
    const QVariantMap user{{"Mine", moduleEntry("Mine", "Mine.bundle", 1)}};
    defaults().setObject(QStringLiteral("prefNikonLookupTable"), user);
    QAction* revert = table->findChild<QAction*>(QStringLiteral("moduleRevert"));
    ASSERT_NE(revert, nullptr);
    EXPECT_TRUE(table->actions().contains(revert));
    EXPECT_EQ(table->contextMenuPolicy(), Qt::ActionsContextMenu);
    revert->trigger();
    QDialog* sheet = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (QDialog* d : window->findChildren<QDialog*>())
                if (d->isVisible() && !qobject_cast<QFileDialog*>(d))
                    for (QLabel* label : d->findChildren<QLabel*>())
                        if (label->text().contains("Revert Back to Factory Module List??"))
                            sheet = d;
            return sheet != nullptr;
        },
        5000));
    sheet->reject(); // Escape: the cancelling "NO"
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1000"); }, 5000));
    EXPECT_EQ(defaults().objectForKey(QStringLiteral("prefNikonLookupTable")), QVariant(user));
}
