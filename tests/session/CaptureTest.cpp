// Capture, saving and the user notices, against the virtual camera.

#include "SessionTestSupport.h"

#include "messaging/OutboundNotifications.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QThreadPool>

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

    // Without a product name nothing is posted for an arrival.
    QVariantMap noName = deviceInfo(kVirtualCameraName);
    noName["usbproperties"] = QVariantMap{{"locationID", 5}};
    s.handleUsbDeviceAdded({"com.quellbay.ZarvNikonCamera", {}, noName});

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
