// The whole program with libgphoto2's emulated Nikon D750, through the real PTP module: udev
// sees the body arrive (umockdev), the factory table sends it to the module, the module opens
// it over libgphoto2's own USB port driver, and the test acts as the photographer (the body's
// own release, unplugging it) and as a sibling (grab). The nearest thing to a body here: what
// fails against it would fail with a photographer's camera.

#include "EndToEndSupport.h"
#include "ptpcamera/EmulatedCamera.h"

#include <memory>

using namespace zarv;
using namespace zarv::test;
using zarv::ptp::test::EmulatedCamera;

namespace {

const char* const kD750Path = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
const QString kD750 = QStringLiteral("NIKON DSC D750");

class PtpEmulatedEndToEnd : public EndToEnd {
protected:
    void SetUp() override {
        std::string why;
        if (!EmulatedCamera::available(&why))
            GTEST_SKIP() << why;
        EndToEnd::SetUp();
        if (IsSkipped())
            return;
        cam = std::make_unique<EmulatedCamera>();
        onCard = EmulatedCamera::jpeg(400'000, 1);
        cam->addPicture("DSC_0001.JPG", onCard);
        big = EmulatedCamera::jpeg(3'500'000, 2);
        cam->addSource("big.JPG", big);
    }

    void plugD750() {
        GError* error = nullptr;
        ASSERT_TRUE(
            umockdev_testbed_add_from_file(testbed, ZARV_TEST_DATA "/nikon-d750.umockdev", &error))
            << (error ? error->message : "");
    }
    void startProgram(Program& zarv) {
        QProcessEnvironment env = environment();
        cam->addTo(env);
        zarv.start(arguments(), env);
    }
    // The picture the program announced under `index`, read from the hot folder.
    QByteArray picture(size_t index) const {
        std::vector<QString> paths;
        for (const QVariantMap& m : named(QStringLiteral("zarvXNotification")))
            if (m.contains(QStringLiteral("filePath")) &&
                m.value(QStringLiteral("senderApp")).toString() == kSenderApp)
                paths.push_back(m.value(QStringLiteral("filePath")).toString());
        if (index >= paths.size())
            return {};
        QFile f(paths[index]);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static QByteArray bytes(const std::string& s) {
        return QByteArray(s.data(), qsizetype(s.size()));
    }

    std::unique_ptr<EmulatedCamera> cam;
    std::string onCard, big;
};

// The studio's default: pictures taken from the computer go to the camera's RAM and arrive
// from there; shots with the body's own release arrive too, from the card and from RAM; the
// body gets its controls back after the computer's shot.
TEST_F(PtpEmulatedEndToEnd, PicturesFromTheComputerAndTheBodyArriveWhole) {
    plugD750();
    Program zarv(dir.path(), QStringLiteral("program"));
    startProgram(zarv);
    ASSERT_TRUE(waitForStatus(1)) << zarv.log().toStdString();
    EXPECT_EQ(statusMessages().back().value(QStringLiteral("cameraName")).toString(), kD750);
    EXPECT_TRUE(zarv.logContains(QStringLiteral("The module is to open the camera on USB bus 1, "
                                                "device 9")))
        << zarv.log().toStdString();

    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    ASSERT_TRUE(waitForPictures(1)) << zarv.log().toStdString();
    EXPECT_EQ(cam->logCount("capture sdram"), 1);
    EXPECT_TRUE(picture(0) == bytes(onCard)) << "the picture from RAM differs";

    cam->command("shoot card sources/big.JPG");
    ASSERT_TRUE(waitForPictures(2)) << zarv.log().toStdString();
    EXPECT_TRUE(picture(1) == bytes(big)) << "the picture from the card differs";
    cam->command("shoot sdram");
    ASSERT_TRUE(waitForPictures(3)) << zarv.log().toStdString();
    EXPECT_TRUE(picture(2) == bytes(onCard));
    EXPECT_TRUE(cam->waitForLog("controlmode 0", 1, kLong)) << "the body's controls stay locked";
    for (const auto& [path, times] : announced())
        EXPECT_EQ(times, 1) << path.toStdString();
    expectOnlyCompletePictures();
    EXPECT_EQ(zarv.stop(), 0) << zarv.log().toStdString();
    EXPECT_TRUE(cam->waitForLog("closesession", 1, kLong)) << "the session was not ended";
}

// Live view from the body through the whole program: a script's frames, a shot taken and saved
// while it runs, and the body handed back once it stops.
TEST_F(PtpEmulatedEndToEnd, LiveViewFramesComeFromTheBodyAndAShotMeanwhileIsSaved) {
    plugD750();
    Program zarv(dir.path(), QStringLiteral("program"));
    startProgram(zarv);
    ASSERT_TRUE(waitForStatus(1)) << zarv.log().toStdString();
    const auto liveview = [](const QStringList& args) {
        QProcess p;
        p.start(kZarvctl, QStringList{QStringLiteral("liveview")} + args);
        p.waitForFinished(kLong);
        return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()).trimmed();
    };
    ASSERT_EQ(liveview({QStringLiteral("start")}), "started") << zarv.log().toStdString();
    EXPECT_EQ(cam->logCount("liveviewstart"), 1);
    const QString frame = dir.path() + QStringLiteral("/frame.jpg");
    ASSERT_EQ(liveview({QStringLiteral("frame"), frame}), "saved") << zarv.log().toStdString();
    QFile f(frame);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.read(2) == QByteArray("\xff\xd8", 2)) << "a JPEG, without the body's header";

    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    ASSERT_TRUE(waitForPictures(1)) << zarv.log().toStdString();
    EXPECT_TRUE(picture(0) == bytes(onCard));
    ASSERT_EQ(liveview({QStringLiteral("frame"), frame}), "saved") << "live view outlived the shot";

    ASSERT_EQ(liveview({QStringLiteral("stop")}), "stopped");
    EXPECT_TRUE(cam->waitForLog("liveviewend", 1, kLong)) << zarv.log().toStdString();
    EXPECT_TRUE(cam->waitForLog("controlmode 0", 1, kLong)) << "the body's controls stay locked";
    EXPECT_EQ(zarv.stop(), 0) << zarv.log().toStdString();
}

// Pictures saved onto the card: the program reads them there, in pieces.
TEST_F(PtpEmulatedEndToEnd, WithTheCardAsTargetThePictureIsReadFromTheCard) {
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    plugD750();
    Program zarv(dir.path(), QStringLiteral("program"));
    startProgram(zarv);
    ASSERT_TRUE(waitForStatus(1)) << zarv.log().toStdString();
    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    ASSERT_TRUE(waitForPictures(1)) << zarv.log().toStdString();
    EXPECT_EQ(cam->logCount("capture card"), 1);
    EXPECT_GE(cam->logCount("getpartialobject"), 1);
    EXPECT_TRUE(picture(0) == bytes(onCard));
    // A full card: the log says so, nothing is announced, the program goes on.
    cam->command("full");
    ASSERT_TRUE(zarv.waitForLog(QStringLiteral("the card in Nikon DSC D750 is full")))
        << zarv.log().toStdString();
    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    EXPECT_TRUE(zarv.waitForLog(QStringLiteral("did not take the picture")))
        << zarv.log().toStdString();
    EXPECT_EQ(announced().size(), 1u);
    EXPECT_EQ(zarv.stop(), 0) << zarv.log().toStdString();
}

// Unplugged halfway through a download: nothing half-written is announced, and the picture is
// fetched whole once the body is back.
TEST_F(PtpEmulatedEndToEnd, UnpluggedMidDownloadThePictureArrivesAfterReplug) {
    plugD750();
    Program zarv(dir.path(), QStringLiteral("program"));
    startProgram(zarv);
    ASSERT_TRUE(waitForStatus(1)) << zarv.log().toStdString();
    cam->command("rate 2000000"); // 3.5 MB in about two seconds
    cam->command("shoot card sources/big.JPG");
    ASSERT_TRUE(cam->waitForLog("getpartialobject", 1, kLong)) << zarv.log().toStdString();
    const size_t before = statusMessages().size();
    cam->command("unplug");
    umockdev_testbed_uevent(testbed, kD750Path, "remove");
    ASSERT_TRUE(waitForStatus(0, before)) << zarv.log().toStdString();
    EXPECT_TRUE(announced().empty());
    expectOnlyCompletePictures();

    cam->command("rate 0");
    cam->command("plug");
    const size_t back = statusMessages().size();
    umockdev_testbed_uevent(testbed, kD750Path, "add");
    ASSERT_TRUE(waitForStatus(1, back)) << zarv.log().toStdString();
    ASSERT_TRUE(waitForPictures(1)) << zarv.log().toStdString();
    EXPECT_TRUE(picture(0) == bytes(big)) << "the picture fetched after replug differs";
    EXPECT_EQ(announced().size(), 1u);
    expectOnlyCompletePictures();
    EXPECT_EQ(zarv.stop(), 0) << zarv.log().toStdString();
}

// A body another program has claimed is named as held; once free and plugged in again it
// connects; a busy body is asked again.
TEST_F(PtpEmulatedEndToEnd, AHeldBodyIsSaidSoAndABusyOneIsAskedAgain) {
    cam->command("hold");
    plugD750();
    Program zarv(dir.path(), QStringLiteral("program"));
    startProgram(zarv);
    ASSERT_TRUE(
        zarv.waitForLog(QStringLiteral("Status: < Camera In Use by Another Program: ") + kD750))
        << zarv.log().toStdString();
    cam->command("release");
    const qsizetype offset = zarv.logSize();
    umockdev_testbed_uevent(testbed, kD750Path, "remove");
    ASSERT_TRUE(zarv.waitForLog(QStringLiteral("Status: < Camera Disconnected >"), offset))
        << zarv.log().toStdString();
    umockdev_testbed_uevent(testbed, kD750Path, "add");
    ASSERT_TRUE(waitForStatus(1)) << zarv.log().toStdString();
    cam->command("busy 4");
    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    ASSERT_TRUE(waitForPictures(1)) << zarv.log().toStdString();
    EXPECT_GE(cam->logCount("busy"), 1);
    EXPECT_EQ(zarv.stop(), 0) << zarv.log().toStdString();
}

} // namespace
