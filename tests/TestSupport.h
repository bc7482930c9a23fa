#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>

#include <functional>
#include <optional>

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

// Sets (or, with nothing, clears) an environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<QString>& value) : m_name(name) {
        if (qEnvironmentVariableIsSet(name))
            m_old = qEnvironmentVariable(name);
        if (value)
            qputenv(name, QFile::encodeName(*value));
        else
            qunsetenv(name);
    }
    ~ScopedEnvironment() {
        if (m_old)
            qputenv(m_name, QFile::encodeName(*m_old));
        else
            qunsetenv(m_name);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    std::optional<QString> m_old;
};

} // namespace zarv::test
