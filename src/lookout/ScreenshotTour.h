#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

namespace zarv::lookout {

class LookoutWindow;

/// The window photographs itself for the README (ZARV_LOOKOUT_SCREENSHOT_DIR): once the session
/// has settled, the newest JPEG fitted, at 100 % on its focus target and with clipping marked,
/// then an NEF from the session (or the first to arrive within a minute), and quits with 0 when
/// all four were written. Main thread only.
class ScreenshotTour : public QObject {
    Q_OBJECT
public:
    ScreenshotTour(LookoutWindow& window, const QString& folder);

private:
    struct Step {
        std::function<bool()> ready; // polled every 100 ms
        std::function<void()> act;
    };
    void addSteps();
    void poll();
    void shoot(const QString& name);
    void finish();
    // The current picture is on screen as asked (fitted or full size, with its histogram and,
    // if asked, its clipping overlay) and a paint has passed since.
    bool settled(bool full, bool clipping = false);
    bool sessionSettled();
    bool nefShown();

    LookoutWindow& m_window;
    QString m_folder;
    std::deque<Step> m_steps;
    QTimer m_poll;
    QElapsedTimer m_started;
    QElapsedTimer m_sameSince;
    QElapsedTimer m_waitingForNef;
    int m_lastCount = -1;
    int m_paints = 0;
    int m_paintsBefore = 0; // as the last poll found them before it was settled
    bool m_failed = false;
};

} // namespace zarv::lookout
