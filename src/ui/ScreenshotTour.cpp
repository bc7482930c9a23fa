#include "ScreenshotTour.h"
#include "platform/Log.h"

#include "LiveViewPane.h"
#include "MainWindow.h"
#include "Popover.h"
#include "app/AppDelegate.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QWidget>

namespace zarv {

namespace {

constexpr int kSettle = 600;          // lets layouts and the light settle before a picture
constexpr int kReadPass = 2500;       // the camera's sixteen settings read and shown
constexpr int kLiveViewSettle = 1500; // frames flowing, and the focus moved

} // namespace

ScreenshotTour::ScreenshotTour(AppDelegate& delegate, MainWindow& window, QString folder)
    : QObject(&window), m_delegate(delegate), m_window(window), m_folder(std::move(folder)) {
    QDir().mkpath(m_folder);
    after(kSettle, [this] { waitForCamera(150); });
}

ScreenshotTour* ScreenshotTour::startIfAsked(AppDelegate& delegate, MainWindow& window) {
    const QString folder = qEnvironmentVariable("ZARV_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return nullptr;
    qCInfo(zarvUi).noquote() << QStringLiteral("Screenshots into %1").arg(folder);
    return new ScreenshotTour(delegate, window, folder);
}

void ScreenshotTour::after(int ms, Step step) {
    QTimer::singleShot(ms, this, std::move(step));
}

void ScreenshotTour::waitForCamera(int triesLeft) {
    // Connected, and a first picture saved, so that the panel shows its count.
    const bool ready = m_delegate.fStatus1Image() == QLatin1String("NSStatusAvailable") &&
                       m_delegate.fNewImageCount() > 0;
    if (!ready && triesLeft > 0) {
        after(200, [this, triesLeft] { waitForCamera(triesLeft - 1); });
        return;
    }
    if (triesLeft == 0)
        qCWarning(zarvUi,
                  "Screenshots: no camera connected; the pictures show the window without one");
    after(kSettle, [this] {
        grab(QStringLiteral("mini-panel"));
        m_window.ibTestButton1();
        const QStringList tabs = m_window.tabIdentifiers();
        // One tab after another, the settings pages and popover, then the quit sheet, the end.
        for (const QString& tab : tabs)
            m_steps.push_back([this, tab] {
                m_window.selectTab(tab);
                // Live view shows its rate once a second of frames has been painted.
                const bool live = tab == QLatin1String("liveview");
                after(live ? kLiveViewSettle : kSettle, [this, tab] {
                    grab(QStringLiteral("window-%1").arg(tab));
                    next();
                });
            });
        addCameraSettingsSteps();
        addLiveViewSteps();
        m_steps.push_back([this] {
            m_delegate.ibConfirmQuit();
            after(kSettle, [this] {
                grab(QStringLiteral("quit-sheet"));
                qCInfo(zarvUi).noquote()
                    << QStringLiteral("Screenshots written: %1").arg(m_written.join(u' '));
                m_delegate.terminate();
            });
        });
        after(kSettle, [this] { next(); });
    });
}

void ScreenshotTour::addCameraSettingsSteps() {
    // Page one with the lists read from the camera (the refresh button's read pass), page two,
    // then the default-settings popover as the save button opens it.
    m_steps.push_back([this] {
        m_window.selectTab(QStringLiteral("camerasettings"));
        clickButton("settingsRefresh");
        after(kReadPass, [this] {
            grab(QStringLiteral("camerasettings-page1"));
            m_window.cameraControlsNextPage();
            after(kSettle, [this] {
                grab(QStringLiteral("camerasettings-page2"));
                m_window.cameraControlsNextPage();
                next();
            });
        });
    });
    m_steps.push_back([this] {
        clickButton("settingsSave");
        after(kSettle, [this] {
            grab(QStringLiteral("camerasettings-defaults-popover"));
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (qobject_cast<Popover*>(widget))
                    widget->close();
            after(kSettle, [this] { next(); });
        });
    });
}

void ScreenshotTour::addLiveViewSteps() {
    // Focusing: the grid and the peaking over a scene still out of focus, then the focus moved
    // onto it and the 100 % view on the focus target.
    m_steps.push_back([this] {
        m_window.selectTab(QStringLiteral("liveview"));
        LiveViewPane* pane = m_window.liveViewPane();
        pane->setGridShown(true);
        pane->setPeakingShown(true);
        after(kLiveViewSettle, [this, pane] {
            grab(QStringLiteral("liveview-peaking"));
            if (auto* focus = pane->findChild<QSlider*>(QStringLiteral("liveViewFocus")))
                focus->setValue(600);
            pane->setZoomShown(true);
            pane->pointAt({0.5, 0.5});
            after(kLiveViewSettle, [this, pane] {
                pane->pointAt({0.5, 0.5});
                grab(QStringLiteral("liveview-focused"));
                pane->setGridShown(false);
                pane->setPeakingShown(false);
                pane->setZoomShown(false);
                m_window.selectTab(QStringLiteral("preferences"));
                after(kSettle, [this] { next(); });
            });
        });
    });
}

void ScreenshotTour::clickButton(const char* name) {
    if (auto* button = m_window.findChild<QAbstractButton*>(QLatin1String(name)))
        button->click();
    else
        qCWarning(zarvUi, "Screenshots: no button %s", name);
}

void ScreenshotTour::next() {
    if (m_steps.empty())
        return;
    const Step step = std::move(m_steps.front());
    m_steps.pop_front();
    step();
}

void ScreenshotTour::grab(const QString& name) {
    QRect area = m_window.frameGeometry();
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget != &m_window && widget->isWindow())
            area = area.united(widget->frameGeometry());
    QScreen* screen = m_window.screen() ? m_window.screen() : QGuiApplication::primaryScreen();
    const QPixmap picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = QDir(m_folder).filePath(name + QStringLiteral(".png"));
    if (picture.isNull() || !picture.save(path))
        qCWarning(zarvUi).noquote() << QStringLiteral("Screenshots: could not write %1").arg(path);
    else
        m_written << path;
}

} // namespace zarv
