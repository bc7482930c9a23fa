#include "EndToEndSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

// A camera present at start is connected; its pictures land in the hot folder, each announced
// once; a sibling's grab gives one more; the hot folder's list goes to the viewer.
TEST_F(EndToEnd, ConnectsSavesAnnouncesAndAnswersSiblings) {
    writeConfig(QStringLiteral("pictures = 2\npiece_size = 8192\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());

    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    const QVariantMap status = statusMessages().back();
    EXPECT_EQ(status.value(QStringLiteral("cameraName")).toString(), "Zarv Virtual Camera");
    EXPECT_EQ(status.value(QStringLiteral("prefSaveFolderPath")).toString(), hot);
    EXPECT_TRUE(program.waitForLog(QStringLiteral("Status light: NSStatusAvailable")));

    ASSERT_TRUE(waitForPictures(2)) << program.log().toStdString();
    for (const auto& [path, times] : announced()) {
        EXPECT_EQ(times, 1) << path.toStdString();
        EXPECT_EQ(QFileInfo(path).absolutePath(), hot);
        EXPECT_TRUE(QFileInfo::exists(path));
    }

    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    ASSERT_TRUE(waitForPictures(3)) << program.log().toStdString();
    EXPECT_EQ(QDir(hot).entryList(QDir::Files).size(), 3);
    expectOnlyCompletePictures();

    ASSERT_EQ(zarvctl(QStringLiteral("images")), 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QVariantMap& m : named(QStringLiteral("ZarvLookoutNotification")))
                if (m.value(QStringLiteral("value")).toList().size() == 3)
                    return true;
            return false;
        },
        kLong));
    for (const QVariantMap& m : named(QStringLiteral("ZarvLookoutNotification"))) {
        if (m.value(QStringLiteral("value")).toList().size() != 3)
            continue;
        for (const QVariant& path : m.value(QStringLiteral("value")).toList())
            EXPECT_EQ(announced().count(path.toString()), 1u) << path.toString().toStdString();
    }

    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// Unplugging mid-transfer loses nothing: the camera keeps the picture, the hot folder gets no
// half-written file, and after replugging the picture is fetched. Replugging gives one device
// entry and a new session; unplugging stops the scan timer.
TEST_F(EndToEnd, UnplugMidTransferAndReplug) {
    writeConfig(QStringLiteral("pictures = 1\npiece_size = 512\nfault_remove_after_pieces = 2\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    // The camera drops off in the middle of the first transfer.
    ASSERT_TRUE(program.waitForLog(QStringLiteral("Acquiring New Image...")))
        << program.log().toStdString();
    writeConfig(QStringLiteral("pictures = 1\npiece_size = 4096\n"));

    ASSERT_TRUE(program.waitForLog(QStringLiteral("SaveImage -> VERY BAD")))
        << program.log().toStdString();
    const size_t before = statusMessages().size();
    uevent("remove");
    ASSERT_TRUE(program.waitForLog(QStringLiteral("Status: < Camera Disconnected >")))
        << program.log().toStdString();
    ASSERT_TRUE(waitForStatus(0, before));
    EXPECT_TRUE(announced().empty());
    expectOnlyCompletePictures();

    // No scan runs once the camera is gone.
    const qsizetype mark = program.logSize();
    waitUntil([] { return false; }, 2500);
    EXPECT_FALSE(program.logContains(QStringLiteral("self.fTimer ->"), mark));

    const size_t beforeReplug = statusMessages().size();
    uevent("add");
    ASSERT_TRUE(waitForStatus(1, beforeReplug)) << program.log().toStdString();
    EXPECT_TRUE(program.logContains(QStringLiteral("fArrayOfDevices holds 1 device(s)"), mark));
    ASSERT_TRUE(waitForPictures(1)) << program.log().toStdString();
    EXPECT_EQ(QDir(hot).entryList(QDir::Files).size(), 1);
    expectOnlyCompletePictures();
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// What the status says when the camera cannot be driven: a model the table does not know, and
// a module the table names but that is not installed.
TEST_F(EndToEnd, UnknownModelAndMissingModule) {
    writeConfig(QStringLiteral("pictures = 0\n"));
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(
        testbed,
        "P: /devices/pci0000:00/0000:00:14.0/usb1/1-5\nN: bus/usb/001/005\nE: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\nE: BUSNUM=001\nE: ID_VENDOR_ID=04b0\nA: bDeviceClass=00\n"
        "A: bDeviceSubClass=00\nA: busnum=1\nA: devnum=5\nA: idVendor=04b0\nA: idProduct=0999\n"
        "A: product=Nikon D999\nA: serial=D999X\n",
        &error))
        << (error ? error->message : "");
    {
        Program program(dir.path(), QStringLiteral("unknown"));
        program.start(arguments(), environment());
        ASSERT_TRUE(program.waitForLog(QStringLiteral("Status: < UNSUPPORTED MODEL: Nikon D999 >")))
            << program.log().toStdString();
        // Nobody is there to answer the search offer: it is declined.
        EXPECT_TRUE(program.waitForLog(QStringLiteral("Unknown Camera Found??")));
        EXPECT_TRUE(program.waitForLog(QStringLiteral("returncode = 1001")));
        EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
    }
    umockdev_testbed_remove_device(testbed, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-5");
    plugCamera();
    {
        const QString table =
            QStringLiteral("<dict><key>Zarv Virtual Camera</key><dict><key>modulename</key>"
                           "<string>Not Installed Module.bundle</string></dict></dict>");
        Program program(dir.path(), QStringLiteral("missing"));
        program.start(arguments({QStringLiteral("-prefNikonLookupTable"), table}), environment());
        ASSERT_TRUE(program.waitForLog(
            QStringLiteral("Status: < MISSING Required Module for: Zarv Virtual Camera >")))
            << program.log().toStdString();
        EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
    }
}

// A second copy asks the first forward and leaves with status 0; a relaunch comes back as a new
// process that owns the program's bus name, without a window as the first ran, and from the
// stored settings.
TEST_F(EndToEnd, SecondCopyAndRelaunch) {
    writeConfig(QStringLiteral("pictures = 0\n"));
    storeSettings({{QStringLiteral("prefSaveFolderPath"), hot}});
    plugCamera();
    Program first(dir.path(), QStringLiteral("first"));
    first.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << first.log().toStdString();

    Program second(dir.path(), QStringLiteral("second"));
    second.start(arguments(), environment());
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(
        second.logContains(QStringLiteral("Another Instance of this app is already running")));
    EXPECT_TRUE(first.waitForLog(QStringLiteral("asked to come forward")));

    auto owner = [] {
        const QDBusReply<uint> reply =
            QDBusConnection::sessionBus().interface()->servicePid(kService);
        return reply.isValid() ? qint64(reply.value()) : qint64(0);
    };
    ASSERT_EQ(owner(), first.pid());
    const QDateTime hangUp = QDateTime::currentDateTimeUtc();
    ::kill(pid_t(first.pid()), SIGHUP); // quit and start again
    ASSERT_TRUE(first.waitForExit());
    EXPECT_EQ(first.exitCode(), 0) << first.log().toStdString();
    ASSERT_TRUE(waitUntil([&] { return owner() != 0 && owner() != first.pid(); }, kLong))
        << first.log().toStdString();
    const qint64 successor = owner();
    // The new process starts over: it announces itself and connects the camera again.
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QVariantMap& m : statusMessages())
                if (m.value(QStringLiteral("appstartup")).toDateTime() >= hangUp &&
                    m.value(QStringLiteral("cameraStatus")).toInt() == 1)
                    return true;
            return false;
        },
        kLong))
        << first.log().toStdString();
    EXPECT_TRUE(first.logContains(QStringLiteral("has ended; starting")));
    EXPECT_TRUE(first.logContains(QStringLiteral("/ZarvNikonCapture --headless (flags 1)")))
        << first.log().toStdString();

    ::kill(pid_t(successor), SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return owner() == 0; }, kLong));
    // It stops cleanly too: nothing after its last line.
    EXPECT_TRUE(waitUntil(
        [&] { return first.log().endsWith(QStringLiteral("ZarvNikonCapture ends\n")); }, kLong))
        << first.log().right(3000).toStdString();
}

} // namespace
