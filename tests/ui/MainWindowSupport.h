// The main window under the offscreen platform, driving a real controller: the fixture its tests
// share.

#pragma once

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
#include "ui/MainWindow.h"
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

namespace zarv::test {

using namespace zarv;

inline QVariantMap size(const QString& key, const QString& name, int width,
                        std::optional<int> offset) {
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

inline UserDefaults& defaults() {
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

} // namespace zarv::test
