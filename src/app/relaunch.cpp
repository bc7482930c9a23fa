// relaunch BUNDLE PID FLAGS
// Waits until the process PID has ended, then starts the executable of the application bundle
// BUNDLE in its place. The new process gets no arguments, so it starts from the stored settings,
// except --headless when ZARV_RELAUNCH_HEADLESS is "1" (the ended run had no window; a
// windowed start would find no display). FLAGS (the launch flags of the request) are shown in
// the log only: nothing on this system reads them.

#include "AppSupport.h"
#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A process that has ended but is not yet collected by its parent counts as ended.
bool hasEnded(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && close + 2 < line.size() &&
           (line[close + 2] == 'Z' || line[close + 2] == 'X');
}

void waitForEnd(pid_t pid) {
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        ::close(fd);
        return;
    }
    while (!hasEnded(pid))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: relaunch BUNDLE PID FLAGS\n");
        return 2;
    }
    char* end = nullptr;
    const long pid = std::strtol(argv[2], &end, 10);
    if (!end || *end || pid <= 0) {
        std::fprintf(stderr, "relaunch: \"%s\" is not a process id\n", argv[2]);
        return 2;
    }
    std::string executable;
    {
        QCoreApplication app(argc, argv);
        executable = zarv::Bundle(QString::fromLocal8Bit(argv[1])).executablePath().toStdString();
    }
    if (executable.empty()) {
        std::fprintf(stderr, "relaunch: no executable in the bundle \"%s\"\n", argv[1]);
        return 1;
    }
    waitForEnd(pid_t(pid));
    // Read once here: the new process and whatever it starts do not inherit the request.
    const char* headlessRequest = std::getenv(zarv::kRelaunchHeadlessVariable);
    const bool headless = headlessRequest && std::strcmp(headlessRequest, "1") == 0;
    ::unsetenv(zarv::kRelaunchHeadlessVariable);
    std::fprintf(stderr, "relaunch: %ld has ended; starting %s%s (flags %s)\n", pid,
                 executable.c_str(), headless ? " --headless" : "", argv[3]);
    std::string headlessArgument = "--headless";
    std::vector<char*> args;
    args.push_back(executable.data());
    if (headless)
        args.push_back(headlessArgument.data());
    args.push_back(nullptr);
    ::execv(executable.c_str(), args.data());
    std::fprintf(stderr, "relaunch: cannot start %s: %s\n", executable.c_str(),
                 std::strerror(errno));
    return 1;
}
