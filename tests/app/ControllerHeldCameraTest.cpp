// A camera another program holds: the holder named, the desktop's automounter released once
// per device and only when allowed.

#include "ControllerSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

// The desktop's automounter holding a camera: a process of that name with the device node open
// (sleep, under that name), a gio that records each command it is given, and the camera's
// dictionary naming the node.
class HeldCamera {
public:
    HeldCamera(const QString& name, const QString& gioScript) {
        EXPECT_TRUE(m_work.isValid());
        node = m_work.filePath(QStringLiteral("usb-node"));
        QFile(node).open(QIODevice::WriteOnly);
        const QString daemon = m_work.filePath(QStringLiteral("gvfsd-gphoto2"));
        EXPECT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), daemon));
        automounter.setStandardInputFile(node);
        automounter.start(daemon, {QStringLiteral("60")});
        EXPECT_TRUE(automounter.waitForStarted());
        m_calls = m_work.filePath(QStringLiteral("gio-calls"));
        gio = m_work.filePath(QStringLiteral("gio"));
        QFile f(gio);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\n%2")
                    .arg(m_calls, QString(gioScript).replace(QStringLiteral("NODE"), node))
                    .toUtf8());
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        camera = device(name, 1200, QStringLiteral("S1"));
        QVariantMap props = camera.value(QStringLiteral("usbproperties")).toMap();
        props.insert(QStringLiteral("DEVNAME"), node);
        camera.insert(QStringLiteral("usbproperties"), props);
    }
    ~HeldCamera() {
        automounter.kill();
        automounter.waitForFinished();
        UserDefaults::standard().removeObject(QStringLiteral("prefHeadlessReleasesCamera"));
    }
    HeldCamera(const HeldCamera&) = delete;
    HeldCamera& operator=(const HeldCamera&) = delete;

    bool gioRan() const { return QFile::exists(m_calls); }
    QString gioCalls() const {
        QFile f(m_calls);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString holder() const {
        return QStringLiteral("gvfsd-gphoto2 (process %1)").arg(automounter.processId());
    }

    QString node;
    QString gio;
    QProcess automounter;
    QVariantMap camera;

private:
    QTemporaryDir m_work;
    QString m_calls;
};

// Lists the camera's mount beside another device's; an unmount takes a moment.
const QString kGioWithTheCamerasMount = QStringLiteral(
    "case \"$2\" in\n"
    "-l) printf \"Volume(0): Phone\\n  ids:\\n   unix-device: '/dev/bus/usb/002/009'\\n"
    "  Mount(0): Phone -> gphoto2://Phone/\\nVolume(1): D750\\n  ids:\\n"
    "   unix-device: 'NODE'\\n  Mount(0): D750 -> gphoto2://Nikon_D750/\\n\" ;;\n"
    "-u) sleep 1 ;;\n"
    "esac\n");

// A camera the desktop's automounter holds: the status names the holder; headless, the release
// is declined unless the setting says so; then gio unmounts the camera's own mount, once, and the
// connection is tried again.
TEST_F(Controller, HeldCameraNamesItsHolderAndIsReleasedOnlyWhenAllowed) {
    ZARV_SKIP_FORKS_UNDER_TSAN();
    HeldCamera held(QStringLiteral("Nikon D750"), kGioWithTheCamerasMount);
    restartWithGio(held.gio);

    script.result = kFindCameraDeviceHeld;
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return logged(QStringLiteral("returncode = 1001")); }, 20000));
    EXPECT_TRUE(status().startsWith("< Camera In Use by Another Program: Nikon D750 >"))
        << qPrintable(status());
    EXPECT_TRUE(status().contains(held.holder())) << qPrintable(status());
    EXPECT_TRUE(logged(held.holder()));
    EXPECT_EQ(delegate->fStatus1Image(), "NSCaution");
    EXPECT_FALSE(held.gioRan()) << "released without being allowed";

    defaults().setObject(QStringLiteral("prefHeadlessReleasesCamera"), true);
    const int finds = script.finds.load();
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return held.gioRan(); }, 20000));
    script.result = 0; // the automounter let go: the next attempt connects
    ASSERT_TRUE(waitUntil([&] { return delegate->fStatus1Image() == "NSStatusAvailable"; }, 20000));
    EXPECT_EQ(script.finds.load(), finds + 2);
    EXPECT_EQ(held.gioCalls(), "mount -l -i\nmount -u gphoto2://Nikon_D750/\n");
    EXPECT_EQ(held.automounter.state(), QProcess::Running) << "another process was stopped";
    EXPECT_EQ(script.offQueue.load(), 0);
}

// A release that does not help is not repeated: the camera is left to the operator.
TEST_F(Controller, HeldCameraIsReleasedOncePerDevice) {
    ZARV_SKIP_FORKS_UNDER_TSAN();
    HeldCamera held(QStringLiteral("Nikon Z6"), QString()); // gio lists no mount of it
    restartWithGio(held.gio);
    defaults().setObject(QStringLiteral("prefHeadlessReleasesCamera"), true);
    script.result = kFindCameraDeviceHeld;
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return status().contains("Cannot release"); }, 20000));
    EXPECT_TRUE(status().contains("no gphoto2:// mount of " + held.node)) << qPrintable(status());
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return script.finds.load() >= 2; }, 20000));
    drainCameraQueue();
    drainCameraQueue();
    EXPECT_EQ(held.gioCalls(), "mount -l -i\n") << "released twice";
}

// In the window the release is a sheet: "Release" unmounts whatever the setting says; a camera
// held by some other program gets its name and no offer.
TEST_F(ControllerWithView, HeldCameraSheetAnswers) {
    ZARV_SKIP_FORKS_UNDER_TSAN();
    HeldCamera held(QStringLiteral("Nikon D780"), kGioWithTheCamerasMount);
    restartWithGio(held.gio);
    delegate->setView(&view);
    view.answerSheetsWith(kAlertFirstButtonReturn);
    script.result = kFindCameraDeviceHeld;
    arrive(held.camera);
    ASSERT_TRUE(waitUntil([&] { return held.gioCalls().contains("mount -u"); }, 20000));
    EXPECT_TRUE(view.saw("sheet:The Desktop Holds the Camera|Release/Cancel"));
    EXPECT_TRUE(view.saw("light:NSCaution"));
    drainCameraQueue();

    // This test process holds the next camera's node: a program, not the automounter.
    QTemporaryDir work;
    const QString node = work.filePath(QStringLiteral("other-node"));
    QFile open(node);
    ASSERT_TRUE(open.open(QIODevice::WriteOnly));
    QVariantMap camera = held.camera;
    QVariantMap props = camera.value(QStringLiteral("usbproperties")).toMap();
    props.insert(QStringLiteral("DEVNAME"), node);
    props.insert(QStringLiteral("USB Serial Number"), QStringLiteral("S2"));
    camera.insert(QStringLiteral("usbproperties"), props);
    const int sheets = view.eventsOf(QStringLiteral("sheet:")).size();
    arrive(camera);
    ASSERT_TRUE(waitUntil(
        [&] { return status().contains(QStringLiteral("(process %1)").arg(getpid())); }, 20000))
        << qPrintable(status());
    EXPECT_TRUE(status().contains("quit that program"));
    drainCameraQueue();
    EXPECT_EQ(view.eventsOf(QStringLiteral("sheet:")).size(), sheets);
}

} // namespace
