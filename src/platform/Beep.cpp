#include "Beep.h"
#include "platform/Log.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>
#include <unistd.h>

namespace zarv {
namespace {

QMutex& mutex() {
    static QMutex m;
    return m;
}

std::function<void()>& installed() {
    static std::function<void()> f;
    return f;
}

void terminalBell() {
    qCDebug(zarvPlatform, "beep");
    if (isatty(STDERR_FILENO)) {
        std::fputc('\a', stderr);
        std::fflush(stderr);
    }
}

} // namespace

void beep() {
    std::function<void()> f;
    {
        QMutexLocker lock(&mutex());
        f = installed();
    }
    if (f)
        f();
    else
        terminalBell();
}

std::function<void()> setBeepFunction(std::function<void()> function) {
    QMutexLocker lock(&mutex());
    std::function<void()> previous = std::move(installed());
    installed() = std::move(function);
    return previous;
}

} // namespace zarv
