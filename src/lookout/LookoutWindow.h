#pragma once

#include "Filmstrip.h"
#include "Loader.h"
#include "PictureView.h"
#include "Session.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QThreadPool>
#include <QTimer>

#include <deque>

class QLabel;
class QPushButton;
class QToolButton;
class QFrame;

namespace zarv::lookout {

class CaptureLink;

/// The viewer's window: the picture large, its histogram, its shooting data, the session's
/// filmstrip, a button for a shot, and a word when the capture program is not running.
///
/// With ZARV_LOOKOUT_STATE_FILE naming a file, the window keeps a JSON description of what it
/// shows there (the picture, zoom, follow, message, shooting data, when each picture was painted,
/// thumbnails ready, the longest stall of its event loop), rewritten at most every 50 ms.
class LookoutWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit LookoutWindow(CaptureLink& link, QWidget* parent = nullptr);
    ~LookoutWindow() override;

    Session& session() { return m_session; }
    Loader& loader() { return m_loader; }
    PictureView* view() const { return m_view; }
    Filmstrip* filmstrip() const { return m_filmstrip; }
    QLabel* shootingLine() const { return m_shootingLine; }
    QLabel* nameLine() const { return m_nameLine; }
    QFrame* banner() const { return m_banner; }
    QPushButton* startButton() const { return m_startButton; }
    QToolButton* takeButton() const { return m_takeButton; }
    QToolButton* clippingButton() const { return m_clippingButton; }

    /// Pictures to show, newest last (an announcement, the hot folder, files named at start).
    void addPictures(const QStringList& paths, bool hotFolder);
    void showIndex(int index);
    void showNewest();
    void setClipping(bool on);
    void takePicture();
    /// Goes through the pictures for the README, then quits (ZARV_LOOKOUT_SCREENSHOT_DIR).
    void startScreenshotTour(const QString& folder);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildToolBar();
    void buildCentral();
    void connectWidgets();
    void connectSources();
    void startStateFile();
    void showCurrent();
    void received(std::shared_ptr<const Shown> shown);
    void updateLines();
    void updateBanner();
    void syncFilmstrip();
    void zoomChanged(PictureView::Zoom zoom);
    void recordPainted(const QString& path, bool full, bool sharp);
    void scheduleState();
    void writeState();

    CaptureLink& m_link;
    Session m_session;
    Loader m_loader;
    FilmstripModel* m_model = nullptr;
    PictureView* m_view = nullptr;
    Filmstrip* m_filmstrip = nullptr;
    QLabel* m_nameLine = nullptr;
    QLabel* m_shootingLine = nullptr;
    QLabel* m_cameraLine = nullptr;
    QFrame* m_banner = nullptr;
    QLabel* m_bannerText = nullptr;
    QPushButton* m_startButton = nullptr;
    QToolButton* m_takeButton = nullptr;
    QToolButton* m_zoomButton = nullptr;
    QToolButton* m_clippingButton = nullptr;
    QTimer m_boxSettle;
    QString m_startProblem;
    bool m_starting = false;

    // The state file, for tests and benchmarks.
    QString m_stateFile;
    QTimer m_stateTimer;
    struct Paint {
        QString path;
        bool full;
        qint64 firstMs;  // wall clock, ms since 1970: the first paint, quick stand-in or not
        qint64 sharpMs;  // the first paint of the decoded picture itself; 0 until then
        bool quickFirst; // a stand-in was painted before it
        // Of the picture painted last: when it was asked for, taken up by a thread, decoded.
        qint64 askedMs;
        qint64 startedMs;
        qint64 decodedMs;
    };
    // Writes the state file off the window's thread, one at a time, in order.
    QThreadPool m_stateWriter;
    std::deque<Paint> m_paints;
    QSet<QString> m_paintedKeys;      // painted at all
    QSet<QString> m_sharpPaintedKeys; // painted from the decoded picture itself
    QTimer m_heartbeat;
    QElapsedTimer m_sinceBeat;
    qint64 m_longestStallMs = 0;
    bool m_measuringStalls = false;
};

} // namespace zarv::lookout
