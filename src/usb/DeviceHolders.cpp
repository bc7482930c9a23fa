#include "usb/DeviceHolders.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace zarv {

namespace {

// The target of a symbolic link exactly as stored: QFileInfo would make it absolute against the
// link's folder, and a /proc fd link may name a file that no longer exists.
QString linkTarget(const QString& path, bool* unreadable) {
    const QByteArray local = QFile::encodeName(path);
    char buffer[4096];
    const ssize_t n = ::readlink(local.constData(), buffer, sizeof buffer);
    if (n < 0) {
        *unreadable = errno == EACCES || errno == EPERM;
        return {};
    }
    *unreadable = false;
    return QFile::decodeName(QByteArray(buffer, int(n)));
}

QByteArray readSmallFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(64 * 1024);
}

} // namespace

bool DeviceHolder::isAutomounter() const {
    // The kernel keeps 15 characters of a name: "gvfs-gphoto2-volume-monitor" reads as
    // "gvfs-gphoto2-vo". The volume monitor only watches; the daemon holds the camera.
    return name == QLatin1String("gvfsd-gphoto2");
}

QString usbDeviceNode(int bus, int device) {
    return QStringLiteral("/dev/bus/usb/%1/%2")
        .arg(bus, 3, 10, QLatin1Char('0'))
        .arg(device, 3, 10, QLatin1Char('0'));
}

DeviceHolders findDeviceHolders(const QString& deviceNode, const QString& procRoot) {
    DeviceHolders found;
    if (deviceNode.isEmpty())
        return found;
    const QStringList pids = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : pids) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid <= 0)
            continue;
        const QString processDir = procRoot + u'/' + entry;
        QDir fdDir(processDir + QStringLiteral("/fd"));
        if (!fdDir.exists())
            continue;
        const QStringList fds =
            fdDir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
        if (fds.isEmpty() && !fdDir.isReadable()) {
            ++found.uninspected;
            continue;
        }
        bool holds = false;
        bool denied = false;
        for (const QString& fd : fds) {
            bool unreadable = false;
            if (linkTarget(fdDir.filePath(fd), &unreadable) == deviceNode) {
                holds = true;
                break;
            }
            denied = denied || unreadable;
        }
        if (!holds) {
            found.uninspected += denied ? 1 : 0;
            continue;
        }
        DeviceHolder holder;
        holder.pid = pid;
        holder.name =
            QString::fromUtf8(readSmallFile(processDir + QStringLiteral("/comm"))).trimmed();
        QByteArray cmdline = readSmallFile(processDir + QStringLiteral("/cmdline"));
        while (cmdline.endsWith('\0'))
            cmdline.chop(1);
        holder.commandLine = QString::fromUtf8(cmdline.replace('\0', ' '));
        found.holders << holder;
    }
    // Folder names sort as text ("1000" before "200"); the log reads better by process number.
    std::sort(found.holders.begin(), found.holders.end(),
              [](const DeviceHolder& a, const DeviceHolder& b) { return a.pid < b.pid; });
    return found;
}

QString deviceHeldText(const QString& deviceNode, const DeviceHolders& found) {
    if (found.holders.isEmpty()) {
        QString text =
            QStringLiteral("The camera (%1) is in use by another program").arg(deviceNode);
        if (found.uninspected > 0)
            text += QStringLiteral(", perhaps one of another user (%1 processes could not be "
                                   "checked)")
                        .arg(found.uninspected);
        return text + QStringLiteral(": quit the program that uses the camera, then unplug "
                                     "and reconnect it.");
    }
    QStringList names;
    bool automounter = false;
    for (const DeviceHolder& h : found.holders) {
        names << QStringLiteral("%1 (process %2)")
                     .arg(h.name.isEmpty() ? QStringLiteral("?") : h.name)
                     .arg(h.pid);
        automounter = automounter || h.isAutomounter();
    }
    QString text = QStringLiteral("The camera (%1) is held by %2")
                       .arg(deviceNode, names.join(QStringLiteral(", ")));
    if (automounter)
        return text + QStringLiteral(": the desktop has mounted it. Release it (gio mount -u "
                                     "on its gphoto2:// mount, or eject it in the file manager), "
                                     "then reconnect the camera.");
    return text + QStringLiteral(": quit that program, then reconnect the camera.");
}

QString deviceNodeOf(const QVariantMap& usbProperties) {
    const QString devname = usbProperties.value(QStringLiteral("DEVNAME")).toString();
    if (devname.startsWith(u'/'))
        return devname;
    bool busOk = false;
    bool deviceOk = false;
    const int bus = usbProperties.value(QStringLiteral("busnum")).toInt(&busOk);
    const int device = usbProperties.value(QStringLiteral("devnum")).toInt(&deviceOk);
    return busOk && deviceOk && bus > 0 && device > 0 ? usbDeviceNode(bus, device) : QString();
}

QString gphoto2MountFor(const QString& deviceNode, const QString& gioMountList) {
    // Older gvfs names the mount by the port: "gphoto2://[usb:001,005]/".
    static const QRegularExpression nodePattern(QStringLiteral("/dev/bus/usb/(\\d+)/(\\d+)$"));
    const QRegularExpressionMatch node = nodePattern.match(deviceNode);
    const QString port = node.hasMatch()
                             ? QStringLiteral("[usb:%1,%2]").arg(node.captured(1), node.captured(2))
                             : QString();
    static const QRegularExpression mountLine(
        QStringLiteral("^\\s*Mount\\(\\d+\\):.* -> (gphoto2://\\S*)\\s*$"));
    bool inDeviceVolume = false;
    for (const QString& line : gioMountList.split(u'\n')) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("Volume(")) ||
            trimmed.startsWith(QLatin1String("Drive(")))
            inDeviceVolume = false;
        if (trimmed == QStringLiteral("unix-device: '%1'").arg(deviceNode))
            inDeviceVolume = true;
        const QRegularExpressionMatch m = mountLine.match(line);
        if (!m.hasMatch())
            continue;
        const QString uri = m.captured(1);
        if (inDeviceVolume || (!port.isEmpty() && uri.contains(port)))
            return uri;
    }
    return {};
}

namespace {

// Runs gio with a time limit; on failure says what failed.
bool runGio(const QString& program, const QStringList& args, int timeoutMs, QString* out,
            QString* error) {
    QProcess gio;
    gio.setProcessChannelMode(QProcess::SeparateChannels);
    gio.start(program, args);
    const QString command = program + u' ' + args.join(u' ');
    if (!gio.waitForStarted(timeoutMs)) {
        *error = QStringLiteral("cannot run %1 (%2): install libglib2.0-bin")
                     .arg(command, gio.errorString());
        return false;
    }
    if (!gio.waitForFinished(timeoutMs)) {
        gio.kill();
        gio.waitForFinished(1000);
        *error =
            QStringLiteral("%1 did not finish within %2 s").arg(command).arg(timeoutMs / 1000.0);
        return false;
    }
    if (out)
        *out = QString::fromLocal8Bit(gio.readAllStandardOutput());
    if (gio.exitStatus() != QProcess::NormalExit || gio.exitCode() != 0) {
        *error = QStringLiteral("%1 failed (status %2): %3")
                     .arg(command)
                     .arg(gio.exitCode())
                     .arg(QString::fromLocal8Bit(gio.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

} // namespace

QString releaseFromAutomounter(const QString& deviceNode, const QString& gioProgram,
                               int timeoutMs) {
    QString list;
    QString error;
    if (!runGio(gioProgram, {QStringLiteral("mount"), QStringLiteral("-l"), QStringLiteral("-i")},
                timeoutMs, &list, &error))
        return error;
    const QString uri = gphoto2MountFor(deviceNode, list);
    if (uri.isEmpty())
        return QStringLiteral("no gphoto2:// mount of %1 in the desktop's mounts: eject the "
                              "camera in the file manager")
            .arg(deviceNode);
    if (!runGio(gioProgram, {QStringLiteral("mount"), QStringLiteral("-u"), uri}, timeoutMs,
                nullptr, &error))
        return error;
    return {};
}

} // namespace zarv
