// Capture, saving and the user notices, against the virtual camera.

#include "SessionTestSupport.h"

#include "messaging/OutboundNotifications.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"
#include "sdk/CallBack.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QThreadPool>

#include <cerrno>
#include <cstring>
#include <limits.h>

#include <sys/mount.h>

using namespace zarv;
using namespace zarv::test;

namespace {

const QString kIdentifier = QStringLiteral("Zarv Virtual Camera-337641472"); // 0x14200000

QByteArray sample(int n) {
    QFile f(kVirtualCameraBundle + QStringLiteral("/Contents/Resources/sample%1.jpg").arg(n));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class CaptureTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        center().removeAllDeliveredNotifications();
        token = DistributedNotificationCenter::defaultCenter().addObserver(
            QString(), [this](const Notification& n) { posted.append(n); });
    }
    void TearDown() override {
        DistributedNotificationCenter::defaultCenter().removeObserver(token);
        SessionTest::TearDown();
    }

    static UserNotificationCenter& center() {
        return UserNotificationCenter::defaultUserNotificationCenter();
    }
    static QList<UserNotification> notices(const QString& identifier) {
        QList<UserNotification> found;
        for (const UserNotification& n : center().deliveredNotifications())
            if (n.identifier.compare(identifier, Qt::CaseInsensitive) == 0)
                found.append(n);
        return found;
    }
    QStringList saved() const {
        return QDir(saveFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    QList<Notification> postedNamed(const QString& name) const {
        QList<Notification> found;
        for (const Notification& n : posted)
            if (n.name == name)
                found.append(n);
        return found;
    }

    DistributedNotificationCenter::Token token = 0;
    QList<Notification> posted;
};

TEST_F(CaptureTest, CaptureThenSaveEndToEnd) {
    setCameraConfig("pictures = 0\npiece_size = 5000\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_FALSE(s.CheckIfNewImageGrabbed());

    // Nothing waiting: not even the status text changes.
    ASSERT_TRUE(waitForSetting("prefNameOfCameraFound", kVirtualCameraName));
    UserDefaults::standard().setObject("prefNameOfCameraFound", "idle");
    s.SaveImage();
    QCoreApplication::processEvents();
    EXPECT_EQ(setting("prefNameOfCameraFound").toString(), "idle");
    EXPECT_TRUE(saved().isEmpty());

    // An older notice for this camera, under another letter case, is replaced.
    UserNotification old;
    old.identifier = kIdentifier.toUpper();
    old.title = "old";
    center().deliverNotification(old);

    const QRegularExpression name(QStringLiteral("^Image_\\d{17}\\.jpg$"));
    for (int shot = 1; shot <= 2; ++shot) {
        EXPECT_EQ(s.GrabImage(), 0);
        ASSERT_TRUE(s.CheckIfNewImageGrabbed());
        s.SaveImage();
        ASSERT_EQ(saved().size(), shot);
        const QString file = saved().last();
        EXPECT_TRUE(name.match(file).hasMatch()) << file.toStdString();
        const QString path = QDir(saveFolder).filePath(file);
        EXPECT_EQ(QFile(path).size(), sample(shot).size());

        // The new-picture notification carries the path; its notice replaces the camera's
        // previous one; Lookout is asked to show the file.
        ASSERT_TRUE(waitUntil([&] {
            const auto n = notices(kIdentifier);
            return n.size() == 1 &&
                   n[0].informativeText.startsWith(QFileInfo(file).completeBaseName());
        })) << shot;
        const UserNotification notice = notices(kIdentifier).first();
        EXPECT_EQ(notice.identifier, kIdentifier);
        EXPECT_EQ(notice.title, kVirtualCameraName);
        EXPECT_EQ(notice.subtitle, "Found New Image:");
        EXPECT_EQ(notice.informativeText, QFileInfo(file).completeBaseName() + "...");
        EXPECT_TRUE(notice.soundName.isEmpty());
        EXPECT_FALSE(notice.hasActionButton);
        EXPECT_EQ(notice.actionButtonTitle, "ACTION1");
        ASSERT_TRUE(
            waitUntil([&] { return postedNamed(sZarvLookoutNotification).size() == shot; }));
        const auto saves = postedNamed(sZarvXNotification);
        ASSERT_EQ(saves.size(), shot);
        EXPECT_EQ(saves.last().userInfo.value("filePath").toString(), path);
        EXPECT_EQ(postedNamed(sZarvLookoutNotification).last().userInfo.value("value").toString(),
                  path);
        EXPECT_TRUE(waitForSetting("prefNameOfCameraFound", kVirtualCameraName));
    }
    EXPECT_FALSE(s.CheckIfNewImageGrabbed()) << "the camera dropped what it sent";
    EXPECT_TRUE(s.CloseMyCamera());
    EXPECT_EQ(s.GrabImage(), -1);
    s.SaveImage();
    EXPECT_EQ(logCount("SaveImage -> pRefSrc is NIL."), 1);
}

TEST_F(CaptureTest, ASessionLivesOnTheCameraQueue) {
    // As the controller runs it: made, connected, used and dropped on the camera queue.
    setCameraConfig("pictures = 1\n");
    auto queue = DispatchQueue::createSerial("com.quellbay.zarv.current.camera.queue");
    std::unique_ptr<ZarvNikonBaseCameraHandler> s;
    int16_t found = 1;
    queue->sync([&] {
        s = std::make_unique<ZarvNikonBaseCameraHandler>();
        s->setFUsbDeviceInfo(deviceInfo(kVirtualCameraName));
        found = s->FindCamera();
        s->SaveImage();
    });
    ASSERT_EQ(found, 0);
    ASSERT_EQ(saved().size(), 1);
    ASSERT_TRUE(waitUntil([&] { return notices(kIdentifier).size() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return center().delegate() != nullptr; }));
    queue->sync([&] { s.reset(); });
    EXPECT_EQ(pRefMod, nullptr) << "closed as it went";
}

TEST_F(CaptureTest, RemovalInTheMiddleOfATransfer) {
    setCameraConfig("pictures = 1\npiece_size = 1000\nfault_remove_after_pieces = 3\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    s.SaveImage();
    EXPECT_EQ(logCount("SaveImage -> VERY BAD...."), 1);
    EXPECT_FALSE(s.isCameraConnected());
    EXPECT_EQ(pRefMod, nullptr);
    EXPECT_EQ(pRefSrc, nullptr);
    EXPECT_TRUE(saved().isEmpty()) << "no partial picture";
    s.SaveImage(); // the camera is gone: nothing happens
    EXPECT_EQ(s.GrabImage(), -1);

    // Plugged in again: the picture is still on the camera and the next connection fetches it.
    setCameraConfig("pictures = 1\npiece_size = 1000\n");
    ASSERT_EQ(newSession().FindCamera(), 0);
    session->SaveImage();
    ASSERT_EQ(saved().size(), 1);
    EXPECT_EQ(QFile(QDir(saveFolder).filePath(saved()[0])).size(), sample(1).size());
}

// Idle turns report every picture the camera announced, once: those waiting at connection and
// each frame of a burst; every one of them is then fetched. Without a connection they cost
// nothing and report nothing.
TEST_F(CaptureTest, IdleTurnsReportEachAnnouncedPictureOnce) {
    setCameraConfig("pictures = 2\nburst = 3\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_EQ(s.AsyncRate(), 10u);
    const auto turns = [&] {
        uint32_t announced = 0;
        for (int i = 0; i < 20; ++i)
            announced += s.PumpEvents();
        return announced;
    };
    EXPECT_EQ(turns(), 2u) << "the pictures waiting at connection";
    EXPECT_EQ(s.GrabImage(), 0);
    EXPECT_EQ(turns(), 3u) << "each frame of the burst";
    for (int i = 0; i < 5; ++i)
        s.SaveImage();
    EXPECT_EQ(saved().size(), 5);
    EXPECT_EQ(turns(), 0u);

    s.CleanUp();
    EXPECT_EQ(s.PumpEvents(), 0u);
    EXPECT_EQ(s.AsyncRate(), 0u);
}

// A camera that keeps its pictures after their transfer gets each saved once, not once per scan.
TEST_F(CaptureTest, APictureTheCameraKeepsIsSavedOnce) {
    setCameraConfig("pictures = 2\nremove_after_transfer = no\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    for (int i = 0; i < 4; ++i)
        s.SaveImage();
    EXPECT_EQ(saved().size(), 2);
    EXPECT_TRUE(s.CheckIfNewImageGrabbed()) << "still on the camera";
    // Their nodes serve no more: a card of thousands of pictures costs no tree of thousands.
    ASSERT_NE(pRefSrc, nullptr);
    EXPECT_EQ(pRefSrc->childCount, 0u);
}

// A picture whose transfer fails lets the others through, is tried again after them, and
// after three failed tries is passed over for the connection, with a log line and a notice.
TEST_F(CaptureTest, APictureThatFailsToTransferWaitsBehindTheOthersAndIsThenPassedOver) {
    setCameraConfig("pictures = 3\npiece_size = 5000\nfault_broken_transfer = 0x1001\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    for (int i = 0; i < 3; ++i)
        s.SaveImage();
    EXPECT_EQ(saved().size(), 2) << "the good pictures wait behind the bad one";
    s.SaveImage();
    EXPECT_EQ(logCount("passes over item 0x1001"), 0) << "given up after two tries";
    s.SaveImage();
    EXPECT_EQ(logCount("SaveImage passes over item 0x1001 until the camera is connected again: "
                       "it could not be fetched 3 times; it stays on the camera"),
              1);
    ASSERT_TRUE(waitUntil([&] {
        for (const UserNotification& n : center().deliveredNotifications())
            if (n.subtitle == "Picture Not Saved:" && n.informativeText.contains("0x1001"))
                return true;
        return false;
    }));
    const int failures = logCount("ImageCommandLoop - failed");
    s.SaveImage();
    s.SaveImage();
    EXPECT_EQ(logCount("ImageCommandLoop - failed"), failures) << "not tried again";
    EXPECT_EQ(saved().size(), 2);
    EXPECT_TRUE(s.CheckIfNewImageGrabbed()) << "it stays on the camera";
}

// A transfer that stalls past the command time-out is given up and stopped in the module: its
// late pieces never reach the next try, which saves the picture once, whole.
TEST_F(CaptureTest, AStalledTransferIsStoppedAndThePictureSavedOnceWhole) {
    UserDefaults::standard().setObject(QStringLiteral("prefMaidCommandTimeout"), 1);
    setCameraConfig("pictures = 1\npicture_size = 200000\npiece_size = 20000\n"
                    "bandwidth = 150000\nfault_stall_transfer = 1.5\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    s.SaveImage(); // stalls after its first piece; given up after a second
    EXPECT_TRUE(saved().isEmpty());
    EXPECT_EQ(logCount("its transfer stalled; its data object is closed"), 1);
    s.SaveImage(); // the next try, still under way when the stalled one would have gone on
    s.SaveImage();
    UserDefaults::standard().removeObject(QStringLiteral("prefMaidCommandTimeout"));
    ASSERT_EQ(saved().size(), 1);
    QFile file(QDir(saveFolder).filePath(saved()[0]));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_EQ(bytes.size(), 200000);
    // The camera pads its picture with comment segments after the start marker.
    EXPECT_TRUE(bytes.startsWith("\xFF\xD8") && bytes.endsWith(sample(1).mid(2)))
        << "pieces out of order";
    EXPECT_TRUE(waitUntil([&] { return postedNamed(sZarvXNotification).size() >= 1; }));
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(postedNamed(sZarvXNotification).size(), 1) << "announced once";
}

TEST_F(CaptureTest, PicturesThatCannotBeFetchedDoNotHoldBackTheRest) {
    // The first three items each fail another way before any byte is fetched.
    setCameraConfig("pictures = 4\n"
                    "fault_no_image_data = 0x1001\n"
                    "fault_refuse_data_open = 0x1002\n"
                    "fault_refuse_open = 0x1003\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    ASSERT_TRUE(waitForSetting("prefNameOfCameraFound", kVirtualCameraName));

    s.SaveImage();
    ASSERT_EQ(saved().size(), 1) << "the fourth picture is fetched on the first tick";
    EXPECT_TRUE(s.isCameraConnected());
    for (const char* item : {"skips item 0x1001", "skips item 0x1002", "skips item 0x1003"})
        EXPECT_EQ(logCount(item), 1) << item;
    EXPECT_EQ(logCount("it has no image data"), 1);
    EXPECT_EQ(logCount("its image data cannot be opened"), 1);
    EXPECT_EQ(logCount("Item object can't be opened."), 1);

    // Later ticks neither try nor log them again.
    QCoreApplication::processEvents();
    UserDefaults::standard().setObject("prefNameOfCameraFound", "idle");
    s.SaveImage();
    s.SaveImage();
    QCoreApplication::processEvents();
    EXPECT_EQ(setting("prefNameOfCameraFound").toString(), "idle") << "nothing was fetched";
    EXPECT_EQ(logCount("skips item 0x1001"), 1);
    EXPECT_TRUE(s.CheckIfNewImageGrabbed()) << "the bad pictures stay on the camera";

    EXPECT_EQ(s.GrabImage(), 0);
    s.SaveImage();
    EXPECT_EQ(saved().size(), 2) << "a new shot behind the bad ones";
    EXPECT_TRUE(waitForSetting("prefNameOfCameraFound", kVirtualCameraName));

    // A new connection tries them again. A tick that only passes pictures over does not leave
    // the status saying that one is being fetched.
    setCameraConfig("pictures = 1\nfault_no_image_data = 0x1001\n");
    ASSERT_TRUE(s.CloseMyCamera());
    ASSERT_EQ(s.FindCamera(), 0);
    QCoreApplication::processEvents();
    UserDefaults::standard().setObject("prefNameOfCameraFound", "idle");
    s.SaveImage();
    EXPECT_EQ(logCount("skips item 0x1001"), 2);
    QCoreApplication::processEvents();
    EXPECT_EQ(setting("prefNameOfCameraFound").toString(), kVirtualCameraName);
    // Every saved picture was announced (and nothing is left in flight for the next test).
    EXPECT_TRUE(waitUntil([&] { return postedNamed(sZarvLookoutNotification).size() == 2; }));
}

TEST_F(CaptureTest, AFullSaveFolderKeepsThePictureOnTheCamera) {
    // A tiny file system of its own, so that the write really runs out of space.
    const QString folder = work.filePath(QStringLiteral("small"));
    ASSERT_TRUE(QDir().mkpath(folder));
    if (mount("tmpfs", folder.toUtf8().constData(), "tmpfs", MS_NOSUID | MS_NODEV,
              "size=512k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount {
        QByteArray path;
        ~Unmount() { umount2(path.constData(), MNT_DETACH); }
    } unmount{folder.toUtf8()};
    QFile ballast(folder + QStringLiteral("/ballast"));
    ASSERT_TRUE(ballast.open(QIODevice::WriteOnly));
    ASSERT_EQ(ballast.write(QByteArray(400 * 1024, 'b')), 400 * 1024);
    ballast.close();

    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), folder);
    setCameraConfig("pictures = 1\npicture_size = 300000\npiece_size = 65536\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    s.SaveImage();
    EXPECT_TRUE(s.isCameraConnected());
    EXPECT_GE(logCount(folder + QStringLiteral(" (No space left on device)")), 1);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"ballast"})
        << "nothing incomplete under any name";
    EXPECT_TRUE(s.CheckIfNewImageGrabbed()) << "the picture stays on the camera";

    // Space freed: the next tick saves it whole.
    ASSERT_TRUE(QFile::remove(ballast.fileName()));
    s.SaveImage();
    const QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(files[0].startsWith("Image_")) << files[0].toStdString();
    EXPECT_GE(QFile(folder + u'/' + files[0]).size(), 300000);
    EXPECT_FALSE(s.CheckIfNewImageGrabbed());
    EXPECT_TRUE(waitUntil([&] { return postedNamed(sZarvLookoutNotification).size() == 1; }));
}

// A save folder chosen while the program runs is swept of an earlier run's partial pictures
// before the first picture goes there, as the folder of the start is.
TEST_F(CaptureTest, LeftoversGoFromASaveFolderChosenWhileRunning) {
    setCameraConfig("pictures = 2\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    s.SaveImage();
    ASSERT_EQ(saved().size(), 1);

    const QString other = work.filePath(QStringLiteral("chosen later"));
    ASSERT_TRUE(QDir().mkpath(other));
    const QString leftover = other + QStringLiteral("/.zarv-transfer-Qw12Er");
    QFile f(leftover);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("partial");
    ASSERT_TRUE(f.flush()); // or closing would write, and date, it anew
    ASSERT_TRUE(f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                              QFileDevice::FileModificationTime));
    f.close();
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), other);
    s.SaveImage();
    EXPECT_FALSE(QFileInfo::exists(leftover));
    const QStringList files = QDir(other).entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(files[0].startsWith("Image_")) << files[0].toStdString();
}

TEST_F(CaptureTest, APictureThatCannotBeWrittenIsReportedAndStaysOnTheCamera) {
    // The save folder cannot be made: its parent is a file.
    const QString blocker = work.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"),
                                       blocker + QStringLiteral("/pictures"));
    setCameraConfig("pictures = 1\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    const int32_t savedBefore = gNikonCameraCaptureCount;
    s.SaveImage();
    EXPECT_EQ(logCount("ImageCommandLoop - failed"), 1);
    EXPECT_EQ(logCount("ImageCommandLoop - succesful"), 0);
    EXPECT_GE(logCount(QStringLiteral("Cannot create the save folder %1/pictures").arg(blocker)),
              1);
    EXPECT_EQ(gNikonCameraCaptureCount, savedBefore) << "nothing was saved";
    EXPECT_TRUE(s.isCameraConnected());
    EXPECT_TRUE(s.CheckIfNewImageGrabbed()) << "the picture stays on the camera";

    // A folder that can be written: the next tick saves it.
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), saveFolder);
    s.SaveImage();
    EXPECT_EQ(logCount("ImageCommandLoop - succesful"), 1);
    EXPECT_EQ(saved().size(), 1);
    EXPECT_EQ(gNikonCameraCaptureCount, savedBefore + 1);
    EXPECT_TRUE(waitUntil([&] { return postedNamed(sZarvLookoutNotification).size() == 1; }));
}

TEST_F(CaptureTest, AnItemDeletedOnTheCameraWhileItIsChosenIsLetGo) {
    // The first picture is deleted on the camera just as its data types are read.
    setCameraConfig("pictures = 2\nfault_drop_on_select = 0x1001\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    s.SaveImage(); // AddressSanitizer watches the item's node
    EXPECT_TRUE(s.isCameraConnected());
    EXPECT_EQ(logCount("the camera dropped item 0x1001"), 1);
    EXPECT_EQ(logCount("skips item"), 0) << "nothing to pass over";
    EXPECT_EQ(logCount("ImageCommandLoop"), 0);
    EXPECT_TRUE(saved().isEmpty());

    // The next tick takes the next picture.
    s.SaveImage();
    EXPECT_EQ(saved().size(), 1);
    EXPECT_FALSE(s.CheckIfNewImageGrabbed());
    EXPECT_TRUE(waitUntil([&] { return postedNamed(sZarvLookoutNotification).size() == 1; }));
}

TEST(LeftoverTransferFiles, OnlyOurOldPartialPicturesGo) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto make = [&](const QString& name, bool old) {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("partial");
        f.close();
        if (old) {
            EXPECT_TRUE(f.open(QIODevice::ReadWrite) &&
                        f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                      QFileDevice::FileModificationTime));
        }
        return path;
    };
    const QString leftover = make(".zarv-transfer-Ab3dE9", true);
    make(".zarv-transfer-Zz9yX1", false);    // a transfer of this run
    make(".zarv-transfer-short", true);      // not a name we make
    make(".zarv-transfer-Ab3dE9.jpg", true); // nor this
    make(".hidden-by-the-user", true);
    make("Image_20140305140709123.jpg", true);
    const QString target = make("target", true);
    ASSERT_TRUE(QFile::link(target, dir.filePath(".zarv-transfer-Link01")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(".zarv-transfer-Dir001"));

    EXPECT_EQ(RemoveLeftoverTransferFiles(dir.path().toStdString()), 1);
    EXPECT_FALSE(QFileInfo::exists(leftover));
    QStringList left =
        QDir(dir.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    left.sort();
    EXPECT_EQ(left, (QStringList{".hidden-by-the-user", ".zarv-transfer-Ab3dE9.jpg",
                                 ".zarv-transfer-Dir001", ".zarv-transfer-Link01",
                                 ".zarv-transfer-Zz9yX1", ".zarv-transfer-short",
                                 "Image_20140305140709123.jpg", "target"}));
    EXPECT_EQ(RemoveLeftoverTransferFiles(dir.filePath("missing").toStdString()), 0);
}

TEST_F(CaptureTest, SavedImageNotificationsNeedSenderAndPath) {
    ZarvNikonBaseCameraHandler& s = newSession();
    s.handleSavedImageNotification({sZarvXNotification, "test", {{"filePath", "/tmp/a.jpg"}}});
    s.handleSavedImageNotification({sZarvXNotification, "", {{"senderApp", "Lookout.app"}}});
    s.handleSavedImageNotification(
        {sZarvXNotification, "test", {{"senderApp", "x"}, {"filePath", QVariantList{1, 2}}}});
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_TRUE(notices(kIdentifier).isEmpty());

    // A sibling's picture, through the bus.
    DistributedNotificationCenter::defaultCenter().post(
        sZarvXNotification, "test",
        {{"senderApp", "Tillside.app"}, {"filePath", "/data/shots/Image_1.b.nef"}});
    ASSERT_TRUE(waitUntil([&] { return notices(kIdentifier).size() == 1; }));
    const auto first = notices(kIdentifier);
    ASSERT_EQ(first.size(), 1);
    EXPECT_EQ(first[0].informativeText, "Image_1.b...");
    ASSERT_TRUE(waitUntil([&] { return postedNamed(sZarvLookoutNotification).size() == 1; }));

    // A path no file can have is refused whole, in one line; one byte shorter still names one.
    const QString longest = u'/' + QString(PATH_MAX - 6, u'a') + QStringLiteral(".jpg");
    ASSERT_EQ(longest.size(), PATH_MAX - 1);
    s.handleSavedImageNotification(
        {sZarvXNotification, "test", {{"senderApp", "Tillside.app"}, {"filePath", longest + 'x'}}});
    s.handleSavedImageNotification(
        {sZarvXNotification,
         "test",
         {{"senderApp", "Tillside.app"}, {"filePath", u'/' + QString(4 << 20, u'b')}}});
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_EQ(logCount("more than any file name can be"), 2);
    for (const QString& line : log())
        EXPECT_LT(line.size(), 3 * Log::kQuoteLimit);
    // Compared, not printed: a failure would write megabytes.
    EXPECT_TRUE(notices(kIdentifier)[0].informativeText == "Image_1.b...");
    EXPECT_EQ(postedNamed(sZarvLookoutNotification).size(), 1);
    s.handleSavedImageNotification(
        {sZarvXNotification, "test", {{"senderApp", "Tillside.app"}, {"filePath", longest}}});
    ASSERT_TRUE(waitUntil([&] { return postedNamed(sZarvLookoutNotification).size() == 2; }));

    // No path: the generic text. A dropped session hears nothing more.
    s.sendUserNotificationForNewImage();
    // One snapshot per look: a replacement removes the old notice before delivering the new one.
    ASSERT_TRUE(waitUntil([&] {
        const auto now = notices(kIdentifier);
        return now.size() == 1 && now[0].informativeText == "saved image...";
    }));
    session.reset();
    DistributedNotificationCenter::defaultCenter().post(
        sZarvXNotification, "test", {{"senderApp", "Tillside.app"}, {"filePath", "/b.jpg"}});
    waitUntil([&] { return postedNamed(sZarvXNotification).size() == 2; });
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    const auto last = notices(kIdentifier);
    ASSERT_EQ(last.size(), 1);
    EXPECT_EQ(last[0].informativeText, "saved image...");
}

TEST_F(CaptureTest, ArrivalAndRemovalNoticesAndTheSwitch) {
    ZarvNikonBaseCameraHandler& s = newSession();
    const Notification arrival{"com.quellbay.ZarvNikonCamera", {}, deviceInfo(kVirtualCameraName)};
    s.handleUsbDeviceAdded(arrival);
    ASSERT_TRUE(waitUntil([&] { return notices(kIdentifier).size() == 1; }));
    UserNotification n = notices(kIdentifier)[0];
    EXPECT_EQ(n.title, "Found Device Vendor: Quellbay");
    EXPECT_EQ(n.subtitle, ": Zarv Virtual Camera at 0x14200000");
    EXPECT_EQ(n.informativeText, "SN: ZVC000042");
    EXPECT_EQ(n.soundName, UserNotification::kDefaultSoundName);
    EXPECT_EQ(logCount("Need to Load Module: [ZarvVirtualCamera Module.bundle]"), 1);

    s.handleUsbDeviceRemoved(arrival); // delivered before it returns
    ASSERT_EQ(notices(kIdentifier).size(), 1);
    n = notices(kIdentifier)[0];
    EXPECT_EQ(n.title, "!! DEVICE REMOVED !!");
    EXPECT_EQ(n.subtitle, " Zarv Virtual Camera at 0x14200000");
    EXPECT_EQ(logCount("Need to Close Module: [ZarvVirtualCamera Module.bundle]"), 1);

    // Without a product name nothing is posted for an arrival: once the global queue is idle,
    // with notices still on, the removal notice is the only one.
    QVariantMap noName = deviceInfo(kVirtualCameraName);
    noName["usbproperties"] = QVariantMap{{"locationID", 5}};
    s.handleUsbDeviceAdded({"com.quellbay.ZarvNikonCamera", {}, noName});
    QThreadPool::globalInstance()->waitForDone();
    ASSERT_EQ(center().deliveredNotifications().size(), 1);
    EXPECT_EQ(center().deliveredNotifications()[0].title, "!! DEVICE REMOVED !!");

    // Switched off: nothing is delivered, but the camera's older notice still goes.
    UserDefaults::standard().setObject("prefShowUserNotifications", false);
    s.sendUserNotificationForNewImage("/x/y.jpg");
    ASSERT_TRUE(waitUntil([&] { return notices(kIdentifier).isEmpty(); }));
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_TRUE(center().deliveredNotifications().isEmpty());
    EXPECT_GE(logCount("prefShowUserNotifications is disabled"), 1);

    // Removal by identifier ignores case; with none, everything goes.
    UserNotification a, b;
    a.identifier = "Cam-1";
    b.identifier = "Other-2";
    center().deliverNotification(a);
    center().deliverNotification(b);
    s.removeOldNotificationsWithIdentifer(QStringLiteral("cAM-1"));
    ASSERT_EQ(center().deliveredNotifications().size(), 1);
    EXPECT_EQ(center().deliveredNotifications()[0].identifier, "Other-2");
    s.removeOldNotificationsWithIdentifer(std::nullopt);
    EXPECT_TRUE(center().deliveredNotifications().isEmpty());

    // The delegate shows every notice and answers an action button click.
    UserNotification clicked;
    clicked.activationType = UserNotification::ActivationType::ActionButtonClicked;
    clicked.actionButtonTitle = "Action1";
    EXPECT_TRUE(s.shouldPresentNotification(center(), clicked));
    s.didActivateNotification(center(), clicked);
    EXPECT_EQ(logCount("NSUserNotificationActivationTypeActionButtonClicked"), 1);
    EXPECT_EQ(logCount("do some action1"), 1);
    EXPECT_EQ(center().delegate() != nullptr, true);
}

} // namespace
