#include "Log.h"

#include <QByteArray>
#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>
#include <syslog.h>
#include <unistd.h>

namespace zarv::Log {
namespace {

struct State {
    QMutex mutex;
    std::function<void(QtMsgType, const QString&)> sink;
    QByteArray ident; // syslog keeps the pointer, so it must outlive every openlog
    bool echo = false;
    bool installed = false;
};

State& state() {
    static State s;
    return s;
}

int syslogPriority(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtInfoMsg:
        return LOG_INFO;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_ERR;
    case QtFatalMsg:
        return LOG_CRIT;
    }
    return LOG_NOTICE;
}

void handler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    const QByteArray line = message.toUtf8();
    std::function<void(QtMsgType, const QString&)> sink;
    bool echo = false;
    {
        QMutexLocker lock(&state().mutex);
        sink = state().sink;
        echo = state().echo;
    }
    syslog(syslogPriority(type), "%s", line.constData());
    if (echo) {
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
    }
    if (sink)
        sink(type, message);
}

} // namespace

void install(const QString& ident) {
    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (s.installed)
        return;
    s.ident = ident.toUtf8();
    s.echo = s.echo || isatty(STDERR_FILENO);
    openlog(s.ident.constData(), LOG_PID, LOG_USER);
    qInstallMessageHandler(handler);
    s.installed = true;
}

void setSink(std::function<void(QtMsgType, const QString&)> sink) {
    QMutexLocker lock(&state().mutex);
    state().sink = std::move(sink);
}

void setEchoToStderr(bool on) {
    QMutexLocker lock(&state().mutex);
    state().echo = on;
}

void inside(const QString& object, const QString& operation) {
    qInfo().noquote() << QStringLiteral("Inside %1 => %2...").arg(object, operation);
}

} // namespace zarv::Log
