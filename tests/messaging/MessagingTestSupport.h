#pragma once

#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"

#include "../TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QStringList>

#include <vector>

namespace zarv::test {

inline const QString kZarvctl = QStringLiteral(ZARV_BIN_DIR "/zarvctl");

/// Everything a centre delivers to one observer, removed again at the end.
class Recorder {
public:
    explicit Recorder(DistributedNotificationCenter& center, const QString& name = {})
        : m_center(center) {
        m_token = center.addObserver(name, [this](const Notification& n) { m_seen.push_back(n); });
    }
    ~Recorder() { m_center.removeObserver(m_token); }
    const std::vector<Notification>& seen() const { return m_seen; }
    bool waitFor(size_t n, int timeoutMs = 10000) {
        return waitUntil([&] { return m_seen.size() >= n; }, timeoutMs);
    }

private:
    DistributedNotificationCenter& m_center;
    DistributedNotificationCenter::Token m_token;
    std::vector<Notification> m_seen;
};

/// Waits until every message sent on the connection so far has reached the bus.
inline void roundTrip(const QDBusConnection& connection) {
    connection.interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
}

/// Runs a program to its end while the event loop keeps turning; returns its exit code.
inline int runToEnd(QProcess& p, const QString& program, const QStringList& args,
                    int timeoutMs = 30000) {
    p.start(program, args);
    if (!waitUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

inline int runToEnd(const QString& program, const QStringList& args) {
    QProcess p;
    return runToEnd(p, program, args);
}

} // namespace zarv::test
