#include "MessagingTestSupport.h"

#include "messaging/OutboundNotifications.h"
#include "platform/Bundle.h"

#include <QDateTime>
#include <QThread>

#include <gtest/gtest.h>

#include <future>

#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

class OutboundNotifications : public ::testing::Test {
protected:
    void SetUp() override { Bundle::setMainBundlePath(ZARV_APP_DIR); }
};

// The messages as GLib's gdbus, an independent client, prints them (one per line).
class GdbusMonitor {
public:
    GdbusMonitor() {
        const QString me = QDBusConnection::sessionBus().baseService();
        m_process.start("gdbus", {"monitor", "--session", "--dest", me});
        m_ok = waitUntil(
            [&] {
                m_text += QString::fromUtf8(m_process.readAllStandardOutput());
                return m_text.contains("is owned by");
            },
            20000);
        // Its match rule goes out after that line; a round trip through it settles the order.
        QProcess sync;
        runToEnd(sync, "gdbus",
                 {"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                  "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.GetId"});
        waitUntil([] { return false; }, 300);
    }
    ~GdbusMonitor() {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool ready() const { return m_ok; }
    // The printed line of the first signal whose text contains `part`.
    QString lineWith(const QString& part, int timeoutMs = 10000) {
        QString found;
        waitUntil(
            [&] {
                m_text += QString::fromUtf8(m_process.readAllStandardOutput());
                for (const QString& l : m_text.split('\n'))
                    if (l.contains(part) && l.endsWith(')')) {
                        found = l;
                        return true;
                    }
                return false;
            },
            timeoutMs);
        return found;
    }

private:
    QProcess m_process;
    QString m_text;
    bool m_ok = false;
};

} // namespace

TEST_F(OutboundNotifications, TheApplicationNameIsTheBundleFolderName) {
    EXPECT_EQ(getApplicationName(), "ZarvNikonCapture.app");
    EXPECT_EQ(sZarvXNotification, "zarvXNotification");
    EXPECT_EQ(sZarvTillsideNotification, "zarvTillsideNotification");
    EXPECT_EQ(sZarvLookoutNotification, "ZarvLookoutNotification");
}

TEST_F(OutboundNotifications, AnIndependentClientSeesEachMessageKeyByKeyAndTypeByType) {
    GdbusMonitor monitor;
    ASSERT_TRUE(monitor.ready());

    mySendZarvXNotification2("/home/u/Pictures/Image_1796684036863.jpg");
    QString line = monitor.lineWith("'zarvXNotification', 'test'");
    EXPECT_TRUE(line.contains("com.quellbay.DistributedNotificationCenter.Notification ("))
        << line.toStdString();
    EXPECT_TRUE(line.endsWith("('zarvXNotification', 'test', {'filePath': "
                              "<'/home/u/Pictures/Image_1796684036863.jpg'>, 'senderApp': "
                              "<'ZarvNikonCapture.app'>})"))
        << line.toStdString();

    mySendLookoutAppNotificationWithFilePath(QStringList{"/a/1.jpg", "/a/2.nef"});
    line = monitor.lineWith("'ZarvLookoutNotification'");
    EXPECT_TRUE(line.endsWith("('ZarvLookoutNotification', 'test', {'action': "
                              "<'newImageToDisplayForLookout'>, 'senderApp': "
                              "<'ZarvNikonCapture.app'>, 'value': <[<'/a/1.jpg'>, "
                              "<'/a/2.nef'>]>})"))
        << line.toStdString();
    mySendLookoutAppNotificationWithFilePath(QString("/a/3.jpg"));
    line = monitor.lineWith("'value': <'/a/3.jpg'>");
    EXPECT_FALSE(line.isEmpty());

    const QDateTime start = QDateTime::fromMSecsSinceEpoch(1796684036863, Qt::UTC);
    QVariantMap status{
        {"appstartup", start},
        {"cameraName", "D850"},
        {"cameraStatus", 1},
        {"cameraDeviceInfo",
         QVariantMap{{"deviceName", "D850"},
                     {"vendorID", 1200},
                     {"usbproperties", QVariantMap{{"USB Product Name", "D850"},
                                                   {"locationID", quint32(0x14100000)}}}}},
        {"prefSaveFolderPath", "/home/u/Pictures"},
        {"senderAppStatus", "statusAppLaunched"},
    };
    ASSERT_TRUE(mySendZarvNikonNotification(&status));
    EXPECT_EQ(status["senderApp"], QVariant("ZarvNikonCapture.app"));
    line = monitor.lineWith("'senderAppStatus'");
    EXPECT_TRUE(line.contains("('zarvXNotification', '', {")) << line.toStdString();
    for (const char* part :
         {"'appstartup': <('date', 1796684036.86", "'cameraName': <'D850'>",
          "'cameraStatus': <int64 1>",
          "'cameraDeviceInfo': <{'deviceName': <'D850'>, 'usbproperties': <{'USB Product Name': "
          "<'D850'>, 'locationID': <int64 336592896>}>, 'vendorID': <int64 1200>}>",
          "'prefSaveFolderPath': <'/home/u/Pictures'>", "'senderApp': <'ZarvNikonCapture.app'>",
          "'senderAppStatus': <'statusAppLaunched'>"})
        EXPECT_TRUE(line.contains(part)) << part << "\n in " << line.toStdString();
}

TEST_F(OutboundNotifications, AStatusRequestWithoutADictionaryIsNotSent) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    {
        // What earlier cases posted has come back once this has: the bus keeps the order.
        Recorder earlier(center, "earlier");
        center.post("earlier");
        ASSERT_TRUE(earlier.waitFor(1));
    }
    Recorder in(center);
    EXPECT_FALSE(mySendZarvNikonNotification(nullptr));
    center.post("marker");
    ASSERT_TRUE(in.waitFor(1));
    waitUntil([] { return false; }, 100);
    ASSERT_EQ(in.seen().size(), 1u);
    EXPECT_EQ(in.seen().front().name, "marker");
}

TEST_F(OutboundNotifications, SendersReturnAtOnceAndPostFromTheMainThread) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    Recorder in(center);
    // As the data callback does, on a queue of its own, while the main thread runs no events:
    // a sender that waited for the main thread would not be back within the bound.
    std::promise<void> returned;
    std::future<void> back = returned.get_future();
    std::thread sender([&returned] {
        mySendZarvXNotification2("/tmp/Image_1.jpg");
        QVariantMap status{{"cameraStatus", 0}};
        EXPECT_TRUE(mySendZarvNikonNotification(&status));
        mySendLookoutAppNotificationWithFilePath(QString("/tmp/Image_1.jpg"));
        returned.set_value();
    });
    const bool atOnce = back.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(atOnce) << "a sender waited for the main thread";
    if (!atOnce) // let it finish, so the thread can be joined
        waitUntil(
            [&] { return back.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            30000);
    sender.join();
    ASSERT_TRUE(in.waitFor(3));
    EXPECT_EQ(in.seen()[0].userInfo["filePath"], QVariant("/tmp/Image_1.jpg"));
    EXPECT_EQ(in.seen()[1].userInfo["cameraStatus"], QVariant(qlonglong(0)));
    EXPECT_EQ(in.seen()[2].name, "ZarvLookoutNotification");
}
