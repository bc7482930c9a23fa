#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

namespace zarv {

class AppDelegate;
class MainWindow;

/// Pictures of the window for the documentation: once the camera is connected, the mini
/// panel, the full window on each tab, both camera-settings pages, the default-settings
/// popover and the quit sheet are saved as PNG files into a
/// folder, then the program ends. Started when ZARV_SCREENSHOT_DIR names the folder.
class ScreenshotTour : public QObject {
    Q_OBJECT
public:
    ScreenshotTour(AppDelegate& delegate, MainWindow& window, QString folder);
    /// Starts the tour when the environment asks for it; null otherwise.
    static ScreenshotTour* startIfAsked(AppDelegate& delegate, MainWindow& window);

private:
    using Step = std::function<void()>;
    void next();
    void after(int ms, Step step);
    void waitForCamera(int triesLeft);
    void addCameraSettingsSteps();
    void addLiveViewSteps();
    /// Clicks a button of the window as a person would (popovers open at it).
    void clickButton(const char* name);
    /// Saves what the screen shows of the window and of the sheets above it.
    void grab(const QString& name);

    AppDelegate& m_delegate;
    MainWindow& m_window;
    QString m_folder;
    QStringList m_written;
    std::deque<Step> m_steps; // what is left of the tour, in order
};

} // namespace zarv
