#pragma once

#include "platform/Log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// A child forked by a test that runs threads is stopped by ThreadSanitizer ("starting new
// threads after multi-threaded fork"); cases that fork skip there, the regular build runs them.
#if defined(__SANITIZE_THREAD__)
#define ZARV_SKIP_FORKS_UNDER_TSAN()                                                               \
    GTEST_SKIP() << "ThreadSanitizer cannot follow this case's forks"
#else
#define ZARV_SKIP_FORKS_UNDER_TSAN() (void)0
#endif

namespace zarv::test {

inline QString dataPath(const QString& name) {
    return QStringLiteral(ZARV_TEST_DATA "/") + name;
}

/// Collects every log line while alive.
class LogCapture {
public:
    explicit LogCapture(const QString& program = QStringLiteral("zarv-test")) {
        Log::install(program);
        // ZARV_TEST_LOG=1 shows the log while debugging a test.
        Log::setEchoToStderr(qEnvironmentVariableIsSet("ZARV_TEST_LOG"));
        Log::setSink([this](QtMsgType, const QString& line) {
            QMutexLocker lock(&m_mutex);
            m_lines << line;
        });
    }
    ~LogCapture() { Log::setSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    QStringList lines() const {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    int count(const QString& part) const {
        int n = 0;
        for (const QString& l : lines())
            n += l.contains(part) ? 1 : 0;
        return n;
    }
    bool contains(const QString& part) const { return count(part) > 0; }

private:
    mutable QMutex m_mutex;
    QStringList m_lines;
};

/// A quit asked of the application while no event loop runs stays pending and would end the
/// next loop at once; running one loop that quits clears it for the tests that follow.
inline void clearPendingQuit() {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    QCoreApplication::exec();
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
