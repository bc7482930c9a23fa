// A picture's file while it is received, and the removal of those a stopped run left.

#include "sdk/PictureFile.h"
#include "platform/Log.h"

#include <QDebug>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zarv {

namespace {

constexpr std::string_view kTransferPrefix = ".zarv-transfer-";
// mkostemp replaces exactly these with letters and digits.
constexpr std::string_view kTransferRandom = "XXXXXX";

// The mkostemp template of a picture being received where the folder cannot hold unnamed files:
// a hidden name that RemoveLeftoverTransferFiles recognises as ours.
std::string transferFileTemplate(const std::string& folder) {
    std::string path = folder;
    path += '/';
    path += kTransferPrefix;
    path += kTransferRandom;
    return path;
}

bool isLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Whether a file name is one that transferFileTemplate makes.
bool isTransferFileName(std::string_view name) {
    if (name.size() != kTransferPrefix.size() + kTransferRandom.size() ||
        name.substr(0, kTransferPrefix.size()) != kTransferPrefix)
        return false;
    for (char c : name.substr(kTransferPrefix.size()))
        if (!isLetterOrDigit(c))
            return false;
    return true;
}

// Moves `from` to `to` unless `to` exists. False with errno EEXIST when it does.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the flag (FAT, some network shares): link() refuses to overwrite.
    if (::link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST)
        return false;
    // No hard links either: check, then rename; the window is as small as we can make it.
    struct stat st {};
    if (lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
}

bool writeAll(int fd, const uint8_t* bytes, size_t size) {
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        written += size_t(n);
    }
    return true;
}

} // namespace

// --- The file being received -----------------------------------------------------------------

PictureFile::~PictureFile() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_hiddenPath.empty())
        unlink(m_hiddenPath.c_str());
}

bool PictureFile::begin(const std::string& folder, Scratch scratch) {
    m_folder = folder;
    if (scratch == Scratch::Unnamed)
        m_fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        // File systems without unnamed files (FAT, network shares): a hidden name instead.
        std::string path = transferFileTemplate(folder);
        m_fd = mkostemp(path.data(), O_CLOEXEC);
        if (m_fd >= 0) {
            m_hiddenPath = path;
            fchmod(m_fd, 0644);
        }
    }
    return m_fd >= 0;
}

bool PictureFile::append(const void* bytes, size_t size) {
    if (size == 0)
        return true;
    if (!writeAll(m_fd, static_cast<const uint8_t*>(bytes), size))
        return false;
    // Writeback starts piece by piece, so the sync at the end finds little left to write
    // and the camera's link is not kept waiting on the disk. Failures surface in that sync.
    ::sync_file_range(m_fd, off64_t(m_size), off64_t(size), SYNC_FILE_RANGE_WRITE);
    m_size += size;
    return true;
}

bool PictureFile::finish(const std::function<std::string(int attempt)>& nameFor,
                         std::string* name) {
    name->clear();
    if (fsync(m_fd) != 0)
        return false;
    for (int attempt = 0;; ++attempt) {
        std::string next = nameFor(attempt);
        if (next.empty()) {
            errno = EEXIST;
            return false;
        }
        *name = std::move(next);
        if (link(m_folder + "/" + *name))
            break;
        if (errno != EEXIST)
            return false;
    }
    syncFolder(m_folder);
    return true;
}

// Gives the complete file its name unless the name is taken (false with errno EEXIST then).
bool PictureFile::link(const std::string& path) {
    if (m_hiddenPath.empty()) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", m_fd);
        return linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
    }
    if (!renameNoReplace(m_hiddenPath, path))
        return false;
    m_hiddenPath.clear();
    return true;
}

// --- Files a stopped run left ----------------------------------------------------------------

namespace {

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

} // namespace

int RemoveLeftoverTransferFiles(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        if (errno != ENOENT)
            qCWarning(zarvSdk).noquote()
                << QStringLiteral("Cannot look for partial pictures in %1: %2")
                       .arg(QString::fromStdString(folder),
                            QString::fromLocal8Bit(std::strerror(errno)));
        return 0;
    }
    const int fd = dirfd(dir);
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!isTransferFileName(entry->d_name))
            continue;
        struct stat st {};
        // Never follow a link, and leave what another user or a later transfer made.
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != geteuid() || !before(st.st_mtim, g_processStart))
            continue;
        const QString path = QString::fromStdString(folder + '/' + entry->d_name);
        if (unlinkat(fd, entry->d_name, 0) == 0) {
            ++removed;
            qCInfo(zarvSdk).noquote()
                << QStringLiteral("Removed the partial picture %1 left by a stopped transfer")
                       .arg(path);
        } else {
            qCWarning(zarvSdk).noquote()
                << QStringLiteral("Cannot remove the partial picture %1: %2")
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
