#include "ShellCommand.h"
#include "platform/Log.h"

#include <QByteArray>
#include <QDebug>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <vector>

namespace zarv {
namespace {

// SIGCHLD is one setting for the whole process while callers run on many threads: the first
// call in saves the handler and ignores the signal, the last call out puts the handler back.
// Swapping per call would let an overlapping call save "ignore" and restore it last.
class ChildSignalIgnored {
public:
    ChildSignalIgnored() {
        std::lock_guard lock(s_mutex);
        if (s_users++ > 0)
            return;
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGCHLD, &ignore, &s_previous);
    }
    ~ChildSignalIgnored() {
        std::lock_guard lock(s_mutex);
        if (--s_users > 0)
            return;
        if (sigaction(SIGCHLD, &s_previous, nullptr) != 0)
            qCWarning(zarvUtil, "error reseting SIGCHLD");
    }
    ChildSignalIgnored(const ChildSignalIgnored&) = delete;
    ChildSignalIgnored& operator=(const ChildSignalIgnored&) = delete;

private:
    static inline std::mutex s_mutex;
    static inline int s_users = 0;
    static inline struct sigaction s_previous = {};
};

} // namespace

std::optional<QString> runShellCommand(const QString& command) {
    const ChildSignalIgnored ignoringChildren;
    std::optional<QString> result;
    if (FILE* pipe = popen(command.toUtf8().constData(), "r")) {
        std::vector<char> buffer(kShellOutputLimit + 1, '\0');
        const std::size_t got = std::fread(buffer.data(), 1, kShellOutputLimit, pipe);
        if (got > 0)
            result = QString::fromUtf8(buffer.data(), static_cast<qsizetype>(got));
        pclose(pipe);
    }
    return result;
}

} // namespace zarv
