#pragma once

// The whole program put together in the test's own process as main() does, with its window
// (offscreen), a camera on a USB testbed and the virtual camera's module loaded for real. Tests
// act on the widgets as a person would. Runs under the end-to-end wrapper (a session bus and
// umockdev's preload library of its own).
// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "TestSupport.h"
#include "app/ShareStub.h"

#include "app/AppDelegate.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"
#include "ui/MainWindow.h"
#include "ui/PathTransformer.h"
#include "usb/ZARV_camera.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace zarv::test {

inline constexpr int kLong = 60000;

inline UserDefaults& defaults() {
    return UserDefaults::standard();
}

// A visible dialog of the window whose text contains `text`, or null.
inline QDialog* shownDialog(QWidget* window, const QString& text) {
    for (QDialog* d : window->findChildren<QDialog*>()) {
        if (!d->isVisible())
            continue;
        for (QLabel* label : d->findChildren<QLabel*>())
            if (label->text().contains(text))
                return d;
    }
    return nullptr;
}

inline QAbstractButton* buttonTitled(QWidget* parent, const QString& title) {
    for (QAbstractButton* b : parent->findChildren<QAbstractButton*>())
        if (b->text() == title && b->isVisible())
            return b;
    return nullptr;
}

// A copy of the application bundle whose relauncher only records that it was asked: the test
// plays the relaunch itself, in the same process.
inline QString bundleWithRecordingRelauncher(const QString& folder, const QString& record) {
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

class WholeProgram : public ::testing::Test {
protected:
    // What a test may choose in its constructor: the camera's model, extra lines of the virtual
    // camera's configuration, and its USB description (in tests/data).
    QString cameraModel = QStringLiteral("Zarv Virtual Camera");
    QString cameraConfigText = QStringLiteral("pictures = 1\n");
    QString usbDescription = QStringLiteral("zarv-virtual-camera.umockdev");

    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "umockdev"))
            GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "needs a session bus";
        ASSERT_TRUE(work.isValid());
        hot = work.filePath(QStringLiteral("hot"));
        relaunchRecord = work.filePath(QStringLiteral("relaunch.args"));
        const QString config = work.filePath(QStringLiteral("camera.conf"));
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("model = %1\n%2").arg(cameraModel, cameraConfigText).toUtf8());
        file.close();
        cameraConfig.emplace("ZARV_VIRTUAL_CAMERA_CONFIG", config);
        stubs.addRecorder(QStringLiteral("xdg-email"));
        Bundle::setMainBundlePath(bundleWithRecordingRelauncher(work.path(), relaunchRecord));
        defaults().removeObject(QStringLiteral("prefNikonLookupTable"));
        defaults().setObject(QStringLiteral("prefSaveFolderPath"), hot);

        testbed = umockdev_testbed_new();
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_file(
            testbed,
            QFile::encodeName(QStringLiteral(ZARV_TEST_DATA "/") + usbDescription).constData(),
            &error))
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

} // namespace zarv::test
