// The whole program in its window (offscreen) with a camera on USB that the module table does
// not know: the person answers the unknown-camera sheet with YES, the search finds the virtual
// camera's module, the table shows the new row, the camera connects and its picture arrives,
// and the match list is saved and mailed from the popover.
// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "TestSupport.h"
#include "app/ShareStub.h"

#include "app/AppDelegate.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "ui/MainWindow.h"
#include "ui/MyPopoverViewController.h"
#include "ui/PathTransformer.h"
#include "ui/Popover.h"
#include "ui/ZarvNikonMatchModuleWindowController.h"
#include "usb/ZARV_camera.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDBusConnection>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace zarv {
namespace {

using test::waitUntil;

const QString kCamera = QStringLiteral("Zarv Studio Camera");
const QString kModule = QStringLiteral("ZarvVirtualCamera Module.bundle");
constexpr int kLong = 60000;

UserDefaults& defaults() {
    return UserDefaults::standard();
}

// A visible dialog of the window whose text contains `text`, or null.
QDialog* shownDialog(QWidget* window, const QString& text) {
    for (QDialog* d : window->findChildren<QDialog*>()) {
        if (!d->isVisible())
            continue;
        for (QLabel* label : d->findChildren<QLabel*>())
            if (label->text().contains(text))
                return d;
    }
    return nullptr;
}

QAbstractButton* buttonTitled(QWidget* parent, const QString& title) {
    for (QAbstractButton* b : parent->findChildren<QAbstractButton*>())
        if (b->text() == title && b->isVisible())
            return b;
    return nullptr;
}

MyPopoverViewController* shownSharingView() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<Popover*>(widget) && widget->isVisible())
            if (auto* view = widget->findChild<MyPopoverViewController*>())
                return view;
    return nullptr;
}

bool tableShows(QTableView* table, const QString& device, const QString& module) {
    const QAbstractItemModel* model = table->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model->columnCount(); ++column)
            cells << model->index(row, column).data(Qt::DisplayRole).toString();
        if (cells.contains(device) &&
            cells.join(u'\n').contains(module.left(module.size() - int(qstrlen(".bundle")))))
            return true;
    }
    return false;
}

// A copy of the application bundle whose relauncher only records that it was asked: the test
// plays the relaunch itself, in the same process.
QString bundleWithRecordingRelauncher(const QString& folder, const QString& record) {
    const QString app = folder + QStringLiteral("/ZarvNikonCapture.app");
    const QDir original(QStringLiteral(ZARV_APP_DIR));
    QDir().mkpath(app + QStringLiteral("/Contents/Resources"));
    QDir().mkpath(app + QStringLiteral("/Contents/MacOS"));
    QFile::copy(original.filePath(QStringLiteral("Contents/Info.plist")),
                app + QStringLiteral("/Contents/Info.plist"));
    const QDir resources(original.filePath(QStringLiteral("Contents/Resources")));
    for (const QString& name : resources.entryList(QDir::Files))
        if (name != QLatin1String("relaunch"))
            QFile::copy(resources.filePath(name),
                        app + QStringLiteral("/Contents/Resources/") + name);
    QFile relauncher(app + QStringLiteral("/Contents/Resources/relaunch"));
    relauncher.open(QIODevice::WriteOnly);
    relauncher.write(QStringLiteral("#!/bin/sh\necho \"$@\" > '%1'\n").arg(record).toUtf8());
    relauncher.close();
    relauncher.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::link(original.filePath(QStringLiteral("Contents/MacOS/ZarvNikonCapture")),
                app + QStringLiteral("/Contents/MacOS/ZarvNikonCapture"));
    return app;
}

class WindowMatch : public ::testing::Test {
protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "umockdev"))
            GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "needs a session bus";
        ASSERT_TRUE(work.isValid());
        hot = work.filePath(QStringLiteral("hot"));
        relaunchRecord = work.filePath(QStringLiteral("relaunch.args"));
        // The camera answers with a name the table does not know and holds one picture.
        const QString config = work.filePath(QStringLiteral("camera.conf"));
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("model = %1\npictures = 1\n").arg(kCamera).toUtf8());
        file.close();
        cameraConfig.emplace("ZARV_VIRTUAL_CAMERA_CONFIG", config);
        stubs.addRecorder(QStringLiteral("xdg-email"));
        Bundle::setMainBundlePath(bundleWithRecordingRelauncher(work.path(), relaunchRecord));
        defaults().removeObject(QStringLiteral("prefNikonLookupTable"));
        defaults().setObject(QStringLiteral("prefSaveFolderPath"), hot);

        testbed = umockdev_testbed_new();
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_file(
            testbed, ZARV_TEST_DATA "/zarv-studio-camera.umockdev", &error))
            << (error ? error->message : "");
        PathTransformer::registerTransformer();
    }

    void TearDown() override {
        quit();
        if (testbed)
            g_object_unref(testbed);
        Bundle::setMainBundlePath({});
    }

    // Put together as the program does at start.
    void launch() {
        delegate = std::make_unique<AppDelegate>(
            AppDelegate::Options{false, {QStringLiteral("ZarvNikonCapture")}, {}});
        window = std::make_unique<MainWindow>(*delegate);
        delegate->setView(window.get());
        ASSERT_TRUE(delegate->initialize());
        ASSERT_TRUE(delegate->applicationWillFinishLaunching());
        delegate->applicationDidFinishLaunching();
    }
    void quit() {
        if (delegate) {
            delegate->applicationWillTerminate();
            delegate->setView(nullptr);
        }
        window.reset();
        delegate.reset();
        ZARV_camera::resetForTesting();
    }

    test::LogCapture log;
    QTemporaryDir work;
    QString hot;
    QString relaunchRecord;
    std::optional<test::ScopedEnvironment> cameraConfig;
    test::StubPath stubs{test::StubPath::Mode::Before};
    UMockdevTestbed* testbed = nullptr;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<MainWindow> window;
};

TEST_F(WindowMatch, UnknownCameraIsMatchedConnectedAndItsListShared) {
    launch();
    // The camera is unknown: the window asks whether to search.
    QDialog* sheet = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            return (sheet = shownDialog(window.get(), QStringLiteral("Unknown Camera Found??")));
        },
        kLong));
    QAbstractButton* yes = buttonTitled(sheet, QStringLiteral("YES"));
    ASSERT_NE(yes, nullptr);
    QTest::mouseClick(yes, Qt::LeftButton);

    // The match window runs the search and ends on the virtual camera's module; the program then
    // asks to be started again.
    auto* match = window->findChild<ZarvNikonMatchModuleWindowController*>();
    ASSERT_TRUE(waitUntil(
        [&] {
            match = window->findChild<ZarvNikonMatchModuleWindowController*>();
            return match && match->isVisible();
        },
        kLong));
    const QPointer<QLabel> status = match->findChild<QLabel*>(QStringLiteral("ibStatusMesg1"));
    ASSERT_TRUE(status);
    QString lastStatus;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (status)
                lastStatus = status->text();
            return QFileInfo::exists(relaunchRecord);
        },
        kLong));
    EXPECT_EQ(lastStatus, QStringLiteral("Matched to Module: %1").arg(kModule));
    const QVariantMap table =
        defaults().objectForKey(QStringLiteral("prefNikonLookupTable")).toMap();
    const QVariantMap entry = table.value(kCamera).toMap();
    EXPECT_EQ(entry.value(QStringLiteral("modulename")).toString(), kModule);
    EXPECT_EQ(entry.value(QStringLiteral("devicename")).toString(), kCamera);
    EXPECT_EQ(entry.value(QStringLiteral("productid")).toInt(), 0x7a02);
    // The built-in rows stay beside the new one.
    EXPECT_TRUE(table.contains(QStringLiteral("Zarv Virtual Camera")));

    // Started again, the program connects the camera through the found module; its picture
    // arrives and the module table shows the new row.
    quit();
    launch();
    EXPECT_TRUE(waitUntil([&] { return QDir(hot).entryList(QDir::Files).size() == 1; }, kLong))
        << defaults().stringForKey(QStringLiteral("prefNameOfCameraFound")).toStdString();
    EXPECT_EQ(shownDialog(window.get(), QStringLiteral("Unknown Camera Found??")), nullptr);
    auto* moduleTable = window->findChild<QTableView*>(QStringLiteral("ibModuleTableView"));
    ASSERT_NE(moduleTable, nullptr);
    EXPECT_TRUE(waitUntil([&] { return tableShows(moduleTable, kCamera, kModule); }, kLong));

    // The match list from the popover: saved to a file the person names, and mailed.
    window->ibTestButton1();
    ASSERT_TRUE(window->selectTab(QStringLiteral("modules")));
    auto* matches = window->findChild<QToolButton*>(QStringLiteral("moduleMatchList"));
    ASSERT_NE(matches, nullptr);
    QTest::mouseClick(matches, Qt::LeftButton);
    MyPopoverViewController* sharing = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (sharing = shownSharingView()); }, kLong));
    QTest::mouseClick(sharing->findChild<QAbstractButton*>(QStringLiteral("savetofile")),
                      Qt::LeftButton);
    QFileDialog* panel = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            panel = window->findChild<QFileDialog*>();
            return panel && panel->isVisible();
        },
        kLong));
    const QString saved = work.filePath(QStringLiteral("my cameras.plist"));
    panel->selectFile(saved);
    static_cast<QDialog*>(panel)->done(QDialog::Accepted);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(saved); }, kLong));
    QString error;
    const QVariantMap list = PropertyList::readFile(saved, &error).toMap();
    EXPECT_TRUE(list.value(QStringLiteral("prefNikonLookupTable")).toMap().contains(kCamera))
        << error.toStdString();

    QTest::mouseClick(matches, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return (sharing = shownSharingView()); }, kLong));
    QTest::mouseClick(sharing->findChild<QAbstractButton*>(QStringLiteral("email")),
                      Qt::LeftButton);
    std::optional<QStringList> args;
    ASSERT_TRUE(waitUntil(
        [&] { return (args = stubs.arguments(QStringLiteral("xdg-email"))).has_value(); }, kLong));
    const qsizetype attach = args->indexOf(QStringLiteral("--attach"));
    ASSERT_GE(attach, 0) << args->join(u' ').toStdString();
    ASSERT_LT(attach + 1, args->size());
    const QVariantMap mailed = PropertyList::readFile(args->at(attach + 1), &error).toMap();
    EXPECT_TRUE(mailed.value(QStringLiteral("prefNikonLookupTable")).toMap().contains(kCamera))
        << error.toStdString();
    EXPECT_TRUE(waitUntil(
        [&] { return log.contains(QStringLiteral("handed the message to the mail program")); },
        kLong));
}

} // namespace
} // namespace zarv
