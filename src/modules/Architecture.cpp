#include "Architecture.h"
#include "platform/Log.h"

#include "platform/Bundle.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zarv {
namespace {

constexpr double kLastAppKitWith32Bit = 1349.0;
constexpr double kFirstAppKitWithout32Bit = 1404.0;

// A negative number stands for "no override".
std::atomic<double>& overrideValue() {
    static std::atomic<double> value{-1.0};
    return value;
}

bool systemRuns32BitPrograms() {
    if (const char* env = std::getenv("ZARV_ALLOW_32BIT"); env && *env)
        return std::strcmp(env, "0") != 0;
    return systemI386Probe().runs;
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// What the probe wrote (the loader names a missing library there), as one trimmed line.
QString drain(int fd) {
    QByteArray out;
    char buffer[512];
    ssize_t n;
    while (out.size() < 2048 && (n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
    return QString::fromLocal8Bit(out).simplified();
}

} // namespace

I386ProbeResult runI386Probe(const QString& path, int timeoutMs) {
    if (path.isEmpty())
        return {false, QStringLiteral("there is no i386 probe program to run")};
    const QByteArray file = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    auto fail = [&](const QString& why) {
        return I386ProbeResult{false, QStringLiteral("%1: %2").arg(QFile::decodeName(file), why)};
    };

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return fail(QStringLiteral("cannot make a pipe: ") + errnoText(errno));
    // Read only what is there once the probe has ended: anything it left running keeps the
    // pipe open.
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    char* argv[] = {const_cast<char*>(file.constData()), nullptr};
    pid_t pid = -1;
    // posix_spawn, unlike posix_spawnp and execvp, never hands a refused file to /bin/sh.
    const int spawnError = posix_spawn(&pid, file.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawnError != 0) {
        close(out[0]);
        return fail(QStringLiteral("cannot execute it: ") + errnoText(spawnError));
    }

    QDeadlineTimer deadline(timeoutMs);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && !deadline.hasExpired())
        QThread::msleep(2);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        close(out[0]);
        return fail(QStringLiteral("did not finish within %1 ms").arg(timeoutMs));
    }
    const int waitError = errno;
    QString said = drain(out[0]);
    close(out[0]);
    if (!said.isEmpty())
        said.prepend(QStringLiteral(": "));
    if (done < 0)
        return fail(QStringLiteral("cannot wait for it: ") + errnoText(waitError));
    if (WIFSIGNALED(status))
        return fail(QStringLiteral("killed by signal %1%2").arg(WTERMSIG(status)).arg(said));
    if (WEXITSTATUS(status) != 0)
        return fail(QStringLiteral("exited with status %1%2").arg(WEXITSTATUS(status)).arg(said));
    return {true, {}};
}

QString i386ProbePath() {
    if (const char* env = std::getenv("ZARV_I386_PROBE"); env && *env)
        return QFile::decodeName(env);
    return Bundle::mainBundle().pathForAuxiliaryExecutable(QStringLiteral("i386-probe"));
}

const I386ProbeResult& systemI386Probe() {
    static const I386ProbeResult result = [] {
        I386ProbeResult r = runI386Probe(i386ProbePath());
        if (!r.runs)
            qCInfo(zarvModules).noquote()
                << QStringLiteral("This system cannot run i386 programs (%1); "
                                  "32-bit modules and the 32-bit build are not offered")
                       .arg(r.reason);
        return r;
    }();
    return result;
}

double appKitVersionNumber() {
    const double forced = overrideValue().load();
    if (forced >= 0)
        return forced;
    return systemRuns32BitPrograms() ? kLastAppKitWith32Bit : kFirstAppKitWithout32Bit;
}

bool isThisAppAllowedToRunIn32BitMode() {
    return appKitVersionNumber() <= kLastAppKitWith32Bit;
}

void setAppKitVersionNumberOverride(std::optional<double> version) {
    overrideValue().store(version && *version >= 0 ? *version : -1.0);
}

} // namespace zarv
