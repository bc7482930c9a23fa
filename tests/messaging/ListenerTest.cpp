#include "MessagingTestSupport.h"

#include "messaging/OutboundNotifications.h"
#include "messaging/ZarvNSNotificationCenter.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"

#include <gtest/gtest.h>

using namespace zarv;
using namespace zarv::test;

namespace {

class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        Bundle::setMainBundlePath(ZARV_APP_DIR);
        m_previous = setBeepFunction([this] { ++beeps; });
        sibling = std::make_unique<DistributedNotificationCenter>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "sibling"));
        // The centre's request for its messages may not be in force for a moment, even after a
        // round trip on its connection; only a message heard proves that it listens.
        Recorder ready(DistributedNotificationCenter::defaultCenter(), "ready");
        for (int tries = 0; ready.seen().empty() && tries < 100; ++tries) {
            sibling->post("ready");
            ready.waitFor(1, 50);
        }
        ASSERT_FALSE(ready.seen().empty()) << "the centre never heard the sibling";
    }
    void TearDown() override {
        sibling.reset();
        QDBusConnection::disconnectFromBus("sibling");
        setBeepFunction(m_previous);
    }
    // Posts `n` from the sibling, then a marker, and waits for the marker: by then `n` has
    // been handled.
    void fromSibling(const QString& name, const QVariantMap& info) {
        Recorder marker(DistributedNotificationCenter::defaultCenter(), "marker");
        sibling->post(name, "test", info);
        sibling->post("marker");
        ASSERT_TRUE(marker.waitFor(1));
    }

    int beeps = 0;
    std::unique_ptr<DistributedNotificationCenter> sibling;

private:
    std::function<void()> m_previous;
};

} // namespace

TEST_F(Listener, BeepsOnceForEachSiblingMessageAndNeverForItsOwn) {
    LogCapture log;
    ZarvNSNotificationCenter listener;
    listener.setup();
    listener.setup(); // no second registration

    fromSibling("zarvXNotification", {{"senderApp", "Lookout.app"}, {"filePath", "/a.jpg"}});
    EXPECT_EQ(beeps, 1);
    fromSibling("zarvTillsideNotification", {{"senderApp", "Tillside.app"}});
    EXPECT_EQ(beeps, 2);

    // Its own messages, whatever the case of the name.
    Recorder own(DistributedNotificationCenter::defaultCenter(), "zarvXNotification");
    mySendZarvXNotification2("/tmp/Image_1.jpg");
    ASSERT_TRUE(own.waitFor(1));
    fromSibling("zarvXNotification", {{"senderApp", "zarvnikoncapture.APP"}});
    EXPECT_EQ(beeps, 2);

    // Names it does not listen to.
    fromSibling("ZarvNikonAppNotification", {{"senderApp", "Lookout.app"}});
    fromSibling("ZarvLookoutNotification", {{"senderApp", "Lookout.app"}});
    EXPECT_EQ(beeps, 2);
    EXPECT_EQ(
        log.count("Inside ZarvNSNotificationCenter => handleDistributedNotificationA:...object "
                  "= [test]"),
        4);
    EXPECT_EQ(log.count("userInfo = [{\"filePath\":\"/a.jpg\",\"senderApp\":\"Lookout.app\"}]"), 1);
}

TEST_F(Listener, StaysSilentWithoutPayloadOrUsableSender) {
    LogCapture log;
    ZarvNSNotificationCenter listener;
    listener.setup();
    fromSibling("zarvXNotification", {});
    fromSibling("zarvXNotification", {{"filePath", "/a.jpg"}});
    fromSibling("zarvXNotification", {{"senderApp", 5}});
    fromSibling("zarvXNotification", {{"senderApp", QVariantList{"Lookout.app"}}});
    EXPECT_EQ(beeps, 0);
    EXPECT_EQ(log.count("=======NO SENDER APP================"), 1);
    EXPECT_EQ(log.count("\"senderApp\" is not a string"), 2);
}

TEST_F(Listener, StopsListeningWhenDestroyed) {
    {
        ZarvNSNotificationCenter listener;
        listener.setup();
    }
    fromSibling("zarvXNotification", {{"senderApp", "Lookout.app"}});
    EXPECT_EQ(beeps, 0);
}
