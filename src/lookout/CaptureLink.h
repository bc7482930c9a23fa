#pragma once

#include "Messages.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <functional>

class QDBusServiceWatcher;

namespace zarv {
class DistributedNotificationCenter;
}

namespace zarv::lookout {

/// The viewer's side of the family's messages: it hears which pictures to show and how the
/// capture program is, asks the capture program for the hot folder's pictures and for shots, and
/// knows whether the capture program runs (its bus name). Main thread only.
class CaptureLink : public QObject {
    Q_OBJECT
public:
    explicit CaptureLink(DistributedNotificationCenter& center, QObject* parent = nullptr);
    ~CaptureLink() override;

    /// Starts listening and asks for the hot folder's pictures (again whenever the capture
    /// program appears on the bus).
    void start();
    bool captureRunning() const { return m_running; }
    bool busConnected() const;

    /// "getlistofimages" and "requestcamerastatus".
    void askForPictures();
    /// "grabimage".
    void grab();
    /// Starts the capture program with -fromzarvpreview. Empty on success, else why not.
    QString startCapture();
    /// Where the capture program is looked for: $ZARV_CAPTURE_PROGRAM, beside this program
    /// (installed: zarvnikoncapture; in the build tree: the bundle), then zarvnikoncapture on
    /// the PATH. Empty when none is found.
    static QString captureProgram();

signals:
    /// Pictures to show, newest last; `hotFolder` for the answer to "getlistofimages".
    void picturesAnnounced(const QStringList& paths, bool hotFolder);
    void captureRunningChanged(bool running);
    void cameraStatus(bool connected, const QString& cameraName);

private:
    void received(const Notification& notification);
    void setRunning(bool running);
    void post(const QString& action);

    DistributedNotificationCenter& m_center;
    std::vector<quint64> m_tokens;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_running = false;
    // Refused messages are logged at most once a second, with how many there were.
    QElapsedTimer m_lastRefusalLog;
    int m_refusedSinceLog = 0;
};

} // namespace zarv::lookout
