#include "ShellCommand.h"

#include <QByteArray>
#include <QDebug>

#include <csignal>
#include <cstdio>
#include <vector>

namespace zarv {

std::optional<QString> runShellCommand(const QString& command) {
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGCHLD, &ignore, &previous);

    std::optional<QString> result;
    if (FILE* pipe = popen(command.toUtf8().constData(), "r")) {
        std::vector<char> buffer(kShellOutputLimit + 1, '\0');
        const std::size_t got = std::fread(buffer.data(), 1, kShellOutputLimit, pipe);
        if (got > 0)
            result = QString::fromUtf8(buffer.data(), static_cast<qsizetype>(got));
        pclose(pipe);
    }

    if (sigaction(SIGCHLD, &previous, nullptr) != 0)
        qWarning("error reseting SIGCHLD");
    return result;
}

} // namespace zarv
