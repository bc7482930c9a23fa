// The hidden names of pictures being received, and the removal of those a stopped run left.

#include "sdk/CallBack.h"
#include "sdk/Internal.h"

#include <QDebug>
#include <QString>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zarv {

namespace {

constexpr std::string_view kTransferPrefix = ".zarv-transfer-";
// mkostemp replaces exactly these with letters and digits.
constexpr std::string_view kTransferRandom = "XXXXXX";

timespec now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

// Taken while the program loads, before any transfer of this run can have begun.
const timespec g_processStart = now();

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool isLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

namespace sdk_internal {

std::string transferFileTemplate(const std::string& folder) {
    std::string path = folder;
    path += '/';
    path += kTransferPrefix;
    path += kTransferRandom;
    return path;
}

bool isTransferFileName(std::string_view name) {
    if (name.size() != kTransferPrefix.size() + kTransferRandom.size() ||
        name.substr(0, kTransferPrefix.size()) != kTransferPrefix)
        return false;
    for (char c : name.substr(kTransferPrefix.size()))
        if (!isLetterOrDigit(c))
            return false;
    return true;
}

} // namespace sdk_internal

int RemoveLeftoverTransferFiles(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        if (errno != ENOENT)
            qWarning().noquote() << QStringLiteral("Cannot look for partial pictures in %1: %2")
                                        .arg(QString::fromStdString(folder),
                                             QString::fromLocal8Bit(std::strerror(errno)));
        return 0;
    }
    const int fd = dirfd(dir);
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!sdk_internal::isTransferFileName(entry->d_name))
            continue;
        struct stat st {};
        // Never follow a link, and leave what another user or a later transfer made.
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != geteuid() || !before(st.st_mtim, g_processStart))
            continue;
        const QString path = QString::fromStdString(folder + '/' + entry->d_name);
        if (unlinkat(fd, entry->d_name, 0) == 0) {
            ++removed;
            qInfo().noquote() << QStringLiteral(
                                     "Removed the partial picture %1 left by a stopped transfer")
                                     .arg(path);
        } else {
            qWarning().noquote() << QStringLiteral("Cannot remove the partial picture %1: %2")
                                        .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        }
    }
    closedir(dir);
    return removed;
}

void RemoveLeftoverTransferFilesOnce(const std::string& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    // By identity, not name: the same folder reached through another spelling is not swept
    // again, and a sweep needs no more than this process's own transfers left alone.
    static std::mutex mutex;
    static std::set<std::pair<dev_t, ino_t>> swept;
    const std::lock_guard lock(mutex);
    if (swept.emplace(st.st_dev, st.st_ino).second)
        RemoveLeftoverTransferFiles(folder);
}

} // namespace zarv
