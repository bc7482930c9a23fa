#include "usb/DeviceHolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace zarv;

namespace {

const QString kNode = QStringLiteral("/dev/bus/usb/001/005");

// Arguments as the kernel shows them: each one ended by a NUL.
QByteArray cmdline(const QStringList& args) {
    QByteArray out;
    for (const QString& a : args)
        out += a.toUtf8() + '\0';
    return out;
}

// A /proc-like tree: one folder per process with its open-file links, name and arguments.
class FakeProc {
public:
    FakeProc() { EXPECT_TRUE(m_dir.isValid()); }
    QString root() const { return m_dir.path(); }
    QString addProcess(qint64 pid, const QByteArray& comm, const QByteArray& arguments,
                       const QStringList& openFiles) {
        const QString dir = root() + QStringLiteral("/%1").arg(pid);
        EXPECT_TRUE(QDir().mkpath(dir + "/fd"));
        write(dir + "/comm", comm + '\n');
        write(dir + "/cmdline", arguments);
        for (int fd = 0; fd < openFiles.size(); ++fd)
            EXPECT_EQ(
                ::symlink(QFile::encodeName(openFiles[fd]).constData(),
                          QFile::encodeName(dir + QStringLiteral("/fd/%1").arg(fd)).constData()),
                0);
        return dir;
    }

private:
    static void write(const QString& path, const QByteArray& data) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QTemporaryDir m_dir;
};

TEST(DeviceHolders, FindsEveryProcessWithTheNodeOpenAndNoOther) {
    FakeProc proc;
    proc.addProcess(2001, "gvfsd-gphoto2",
                    cmdline({"/usr/libexec/gvfsd-gphoto2", "--spawner", ":1.5"}),
                    {"/dev/null", "socket:[1234]", kNode});
    proc.addProcess(300, "gphoto2", cmdline({"gphoto2", "--capture-tethered"}), {kNode});
    // Near misses: another device whose path starts alike, a node removed since, a pipe.
    proc.addProcess(400, "other", "other", {kNode + "0", kNode + " (deleted)", "pipe:[5]"});
    // A kernel thread has no arguments; folders that are not processes are passed over.
    proc.addProcess(2, "kthreadd", "", {});
    ASSERT_TRUE(QDir().mkpath(proc.root() + "/sys/fd"));
    ASSERT_TRUE(QFile::link(proc.root() + "/300", proc.root() + "/self"));
    ASSERT_TRUE(QDir().mkpath(proc.root() + "/500")); // vanished: no fd folder left

    const DeviceHolders found = findDeviceHolders(kNode, proc.root());
    ASSERT_EQ(found.holders.size(), 2);
    EXPECT_EQ(found.holders[0].pid, 300); // by number, not by folder name
    EXPECT_EQ(found.holders[0].name, "gphoto2");
    EXPECT_EQ(found.holders[0].commandLine, "gphoto2 --capture-tethered");
    EXPECT_FALSE(found.holders[0].isAutomounter());
    EXPECT_EQ(found.holders[1].pid, 2001);
    EXPECT_EQ(found.holders[1].commandLine, "/usr/libexec/gvfsd-gphoto2 --spawner :1.5");
    EXPECT_TRUE(found.holders[1].isAutomounter());
    EXPECT_EQ(found.uninspected, 0);

    EXPECT_TRUE(findDeviceHolders({}, proc.root()).holders.isEmpty());
    EXPECT_TRUE(findDeviceHolders(kNode, proc.root() + "/missing").holders.isEmpty());
}

TEST(DeviceHolders, CountsProcessesWhoseFilesCannotBeRead) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: every process's open files are readable";
    FakeProc proc;
    const QString dir = proc.addProcess(77, "secret", "secret", {kNode});
    ASSERT_TRUE(QFile::setPermissions(dir + "/fd", QFileDevice::Permissions()));
    const DeviceHolders found = findDeviceHolders(kNode, proc.root());
    QFile::setPermissions(dir + "/fd",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_TRUE(found.holders.isEmpty());
    EXPECT_EQ(found.uninspected, 1);
    EXPECT_TRUE(deviceHeldText(kNode, found).contains("1 processes could not be checked"));
}

TEST(DeviceHolders, FindsThisProcessInTheRealProc) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("node")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const DeviceHolders found = findDeviceHolders(file.fileName());
    ASSERT_FALSE(found.holders.isEmpty()) << "no holder of " << qPrintable(file.fileName());
    bool self = false;
    for (const DeviceHolder& h : found.holders)
        self = self || h.pid == ::getpid();
    EXPECT_TRUE(self);
}

TEST(DeviceHolders, NodeNamesAndTextsSayWhoHoldsTheCameraAndWhatToDo) {
    EXPECT_EQ(usbDeviceNode(1, 5), kNode);
    EXPECT_EQ(usbDeviceNode(12, 123), "/dev/bus/usb/012/123");

    DeviceHolders mounted;
    mounted.holders << DeviceHolder{2001, "gvfsd-gphoto2", "/usr/libexec/gvfsd-gphoto2"};
    const QString automounter = deviceHeldText(kNode, mounted);
    EXPECT_TRUE(automounter.contains("gvfsd-gphoto2 (process 2001)")) << qPrintable(automounter);
    EXPECT_TRUE(automounter.contains(kNode));
    EXPECT_TRUE(automounter.contains("gio mount -u"));

    DeviceHolders other;
    other.holders << DeviceHolder{300, "gphoto2", "gphoto2"};
    const QString program = deviceHeldText(kNode, other);
    EXPECT_TRUE(program.contains("gphoto2 (process 300)"));
    EXPECT_TRUE(program.contains("quit that program"));
    EXPECT_FALSE(program.contains("gio"));

    const QString nobody = deviceHeldText(kNode, {});
    EXPECT_TRUE(nobody.contains("in use by another program"));
    EXPECT_FALSE(nobody.contains("could not be checked"));
}

} // namespace

namespace {

// As `gio mount -l -i` prints them: a phone and the camera, each a volume with its mount.
const QString kGioList = QStringLiteral("Drive(0): WDC WD10\n"
                                        "  unix-device: '/dev/sda'\n"
                                        "Volume(0): Pixel 7\n"
                                        "  Type: GProxyVolume (GProxyVolumeMonitorGPhoto2)\n"
                                        "  ids:\n"
                                        "   unix-device: '/dev/bus/usb/001/0050'\n"
                                        "  activation_root=gphoto2://Google_Pixel_7_1A2B/\n"
                                        "  Mount(0): Pixel 7 -> gphoto2://Google_Pixel_7_1A2B/\n"
                                        "    Type: GProxyMount (GProxyVolumeMonitorGPhoto2)\n"
                                        "Volume(1): D750\n"
                                        "  Type: GProxyVolume (GProxyVolumeMonitorGPhoto2)\n"
                                        "  ids:\n"
                                        "   unix-device: '/dev/bus/usb/001/005'\n"
                                        "  Mount(0): D750 -> gphoto2://Nikon_DSC_D750_3004/\n"
                                        "Mount(1): mtp -> mtp://Other/\n");

TEST(AutomounterRelease, FindsTheMountOfThisDeviceOnly) {
    EXPECT_EQ(gphoto2MountFor(kNode, kGioList), "gphoto2://Nikon_DSC_D750_3004/");
    EXPECT_EQ(gphoto2MountFor("/dev/bus/usb/001/0050", kGioList), "gphoto2://Google_Pixel_7_1A2B/");
    EXPECT_EQ(gphoto2MountFor("/dev/bus/usb/003/002", kGioList), "");
    // A volume of the device without a mount lends its identity to no later mount.
    EXPECT_EQ(gphoto2MountFor("/dev/sda", kGioList), "");
    // Older gvfs: no volume, the mount named by the port.
    const QString old = QStringLiteral("Mount(0): D750 -> gphoto2://[usb:001,005]/\n"
                                       "Mount(1): D5 -> gphoto2://[usb:001,050]/\n");
    EXPECT_EQ(gphoto2MountFor("/dev/bus/usb/001/050", old), "gphoto2://[usb:001,050]/");
    EXPECT_EQ(gphoto2MountFor(kNode, old), "gphoto2://[usb:001,005]/");
    EXPECT_EQ(gphoto2MountFor(kNode, {}), "");
}

TEST(AutomounterRelease, DeviceNodeFromTheUsbProperties) {
    EXPECT_EQ(deviceNodeOf({{"DEVNAME", kNode}, {"busnum", "2"}, {"devnum", "3"}}), kNode);
    EXPECT_EQ(deviceNodeOf({{"busnum", "2"}, {"devnum", "3"}}), "/dev/bus/usb/002/003");
    EXPECT_EQ(deviceNodeOf({{"DEVNAME", "bus/usb/001/005"}, {"busnum", "x"}, {"devnum", "3"}}), "");
    EXPECT_EQ(deviceNodeOf({}), "");
}

TEST(AutomounterRelease, SaysWhatFailedWhenGioCannotHelp) {
    const QString missing = releaseFromAutomounter(kNode, "/nonexistent/gio", 2000);
    EXPECT_TRUE(missing.contains("cannot run /nonexistent/gio mount -l -i")) << qPrintable(missing);
    EXPECT_TRUE(missing.contains("libglib2.0-bin"));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString slow = dir.filePath("gio");
    QFile f(slow);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\nexec sleep 30\n");
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    const QString hung = releaseFromAutomounter(kNode, slow, 500);
    EXPECT_TRUE(hung.contains("did not finish")) << qPrintable(hung);
}

} // namespace
