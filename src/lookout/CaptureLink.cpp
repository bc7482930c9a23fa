#include "CaptureLink.h"
#include "platform/Log.h"

#include "platform/DistributedNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace zarv::lookout {

CaptureLink::CaptureLink(DistributedNotificationCenter& center, QObject* parent)
    : QObject(parent), m_center(center) {}

CaptureLink::~CaptureLink() {
    for (const quint64 token : m_tokens)
        m_center.removeObserver(token);
}

bool CaptureLink::busConnected() const {
    return m_center.isConnected();
}

void CaptureLink::start() {
    const auto observe = [this](const Notification& n) { received(n); };
    m_tokens.push_back(m_center.addObserver(kLookoutNotification, observe));
    m_tokens.push_back(m_center.addObserver(kSavedNotification, observe));
    if (m_center.isConnected()) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        m_watcher = new QDBusServiceWatcher(kCaptureService, bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString&, const QString& owner) {
                    setRunning(!owner.isEmpty());
                    // A capture program that starts (or starts again) hands its hot folder
                    // over by itself half a second after launch; asking too costs nothing.
                    if (!owner.isEmpty())
                        askForPictures();
                });
        setRunning(bus.interface()->isServiceRegistered(kCaptureService).value());
    }
    askForPictures();
}

void CaptureLink::setRunning(bool running) {
    if (running == m_running)
        return;
    m_running = running;
    qCInfo(zarvLookout, "ZarvNikonCapture is %s", running ? "running" : "not running");
    emit captureRunningChanged(running);
}

void CaptureLink::post(const QString& action) {
    m_center.post(kCaptureRequest, {},
                  {{QStringLiteral("senderApp"), kSenderApp}, {QStringLiteral("action"), action}});
}

void CaptureLink::askForPictures() {
    post(QStringLiteral("getlistofimages"));
    post(QStringLiteral("requestcamerastatus"));
}

void CaptureLink::grab() {
    post(QStringLiteral("grabimage"));
}

QString CaptureLink::captureProgram() {
    const QString named = qEnvironmentVariable("ZARV_CAPTURE_PROGRAM");
    if (!named.isEmpty())
        return QFileInfo(named).isExecutable() ? named : QString();
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {here + QStringLiteral("/zarvnikoncapture"),
          here + QStringLiteral("/../ZarvNikonCapture.app/Contents/MacOS/ZarvNikonCapture")}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return QDir::cleanPath(info.absoluteFilePath());
    }
    return QStandardPaths::findExecutable(QStringLiteral("zarvnikoncapture"));
}

QString CaptureLink::startCapture() {
    const QString program = captureProgram();
    if (program.isEmpty())
        return QStringLiteral("ZarvNikonCapture was not found (neither beside ZarvLookout nor on "
                              "the PATH).");
    qint64 pid = 0;
    if (!QProcess::startDetached(program, {QStringLiteral("-fromzarvpreview")}, QString(), &pid))
        return QStringLiteral("%1 could not be started.").arg(program);
    qCInfo(zarvLookout, "Started %s (process %lld)", qPrintable(program), pid);
    return {};
}

void CaptureLink::received(const Notification& notification) {
    const Inbound in = readInbound(notification);
    if (in.rejected > 0 || !in.problem.isEmpty()) {
        ++m_refusedSinceLog;
        if (!m_lastRefusalLog.isValid() || m_lastRefusalLog.elapsed() >= 1000) {
            qCWarning(zarvLookout,
                      "Notification \"%s\": %s%s (%d such message(s) since the last line)",
                      qPrintable(notification.name), qPrintable(in.problem),
                      in.rejected > 0
                          ? qPrintable(QStringLiteral(", %1 entries passed over").arg(in.rejected))
                          : "",
                      m_refusedSinceLog);
            m_lastRefusalLog.start();
            m_refusedSinceLog = 0;
        }
    }
    switch (in.kind) {
    case Inbound::Kind::Ignored:
        return;
    case Inbound::Kind::Show:
    case Inbound::Kind::Saved:
        emit picturesAnnounced(in.paths, false);
        return;
    case Inbound::Kind::HotFolder:
        emit picturesAnnounced(in.paths, true);
        return;
    case Inbound::Kind::Status:
        // Only the capture program's own name on the bus says whether it runs; its status
        // message says about the camera.
        emit cameraStatus(in.cameraConnected.value_or(false), in.cameraName);
        return;
    }
}

} // namespace zarv::lookout
