#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <functional>

namespace zarv::test {

inline QString dataPath(const QString& name) {
    return QStringLiteral(ZARV_TEST_DATA "/") + name;
}

/// Spins the event loop until `done` holds or the timeout passes; returns `done()`.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace zarv::test
