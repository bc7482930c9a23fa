#include "Path.h"
#include "platform/Log.h"

#include "Bundle.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zarv {
namespace {

// Whether `name` can stand as one folder inside another: no separator, and not "." or "..".
bool isFolderName(const QString& name) {
    return !name.isEmpty() && !name.contains(u'/') && name != QLatin1String(".") &&
           name != QLatin1String("..");
}

QString loginName() {
    std::vector<char> buffer(16384);
    struct passwd entry = {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        const QString name = QFile::decodeName(found->pw_name);
        if (isFolderName(name))
            return name;
    }
    return QStringLiteral("user");
}

void refuse(const QString& path, const QString& reason) {
    qCWarning(zarvPlatform).noquote()
        << QStringLiteral("Temporary folder %1 not used: %2; remove or mend it, "
                          "or set TMPDIR to a folder of your own")
               .arg(path, reason);
}

// An ordinary folder of the user's choosing: there already, or made when wanted.
bool isFolder(const QString& path, IfMissing ifMissing) {
    if (QFileInfo(path).isDir())
        return true;
    if (ifMissing == IfMissing::GiveNothing)
        return false;
    if (QDir().mkpath(path))
        return true;
    qCWarning(zarvPlatform).noquote()
        << QStringLiteral("Folder %1 cannot be created; check its parent's "
                          "permissions")
               .arg(path);
    return false;
}

// Whether `path` is a folder of the user's own that no one else can enter, made so when it is
// missing and wanted. The checks are made on the opened folder, so a link swapped in between
// is caught too.
bool isPrivateFolder(const QString& path, IfMissing ifMissing) {
    const QByteArray native = QFile::encodeName(path);
    if (ifMissing == IfMissing::Create && ::mkdir(native.constData(), 0700) != 0 &&
        errno != EEXIST) {
        refuse(path, QStringLiteral("it cannot be created (%1)").arg(qt_error_string(errno)));
        return false;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat what = {};
        if (error == ENOENT && ifMissing == IfMissing::GiveNothing)
            return false;
        if (::lstat(native.constData(), &what) == 0 && S_ISLNK(what.st_mode))
            refuse(path, QStringLiteral("it is a link"));
        else if (error == ENOTDIR)
            refuse(path, QStringLiteral("it is not a folder"));
        else
            refuse(path, qt_error_string(error));
        return false;
    }
    struct stat info = {};
    bool usable = false;
    if (::fstat(fd, &info) != 0)
        refuse(path, qt_error_string(errno));
    else if (info.st_uid != geteuid())
        refuse(path, QStringLiteral("it belongs to user %1").arg(info.st_uid));
    else if ((info.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)
        refuse(path, QStringLiteral("others may enter it and it cannot be made private (%1)")
                         .arg(qt_error_string(errno)));
    else
        usable = true;
    ::close(fd);
    return usable;
}

} // namespace

QString expandingTildeInPath(const QString& path) {
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.mid(1);
    return path;
}

QString standardizingPath(const QString& path) {
    return path.isEmpty() ? path : QDir::cleanPath(expandingTildeInPath(path));
}

QString userTemporaryDirectory(IfMissing ifMissing) {
    // Both are the user's own to choose; only the shared /tmp needs a folder of our making.
    for (const char* variable : {"TMPDIR", "XDG_RUNTIME_DIR"}) {
        const QString chosen = qEnvironmentVariable(variable);
        if (chosen.isEmpty() || !QDir::isAbsolutePath(chosen))
            continue;
        const QString path = QDir::cleanPath(chosen);
        return isFolder(path, ifMissing) ? path : QString();
    }
    const QString shared =
        QStringLiteral("/tmp/%1-%2").arg(loginName()).arg(static_cast<qulonglong>(geteuid()));
    return isPrivateFolder(shared, ifMissing) ? shared : QString();
}

QString privateTemporaryFolder(const QString& name, IfMissing ifMissing) {
    const QString base = userTemporaryDirectory(ifMissing);
    if (base.isEmpty())
        return {};
    const QString path = base + u'/' + name;
    return isPrivateFolder(path, ifMissing) ? path : QString();
}

QString temporaryFolderForApplication(IfMissing ifMissing) {
    const QString identifier = Bundle::mainBundle().bundleIdentifier();
    if (isFolderName(identifier))
        return privateTemporaryFolder(identifier, ifMissing);
    const QString documents = QDir::homePath() + QStringLiteral("/Documents");
    return isFolder(documents, ifMissing) ? documents : QString();
}

} // namespace zarv
