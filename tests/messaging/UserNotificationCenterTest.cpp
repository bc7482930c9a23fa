#include "MessagingTestSupport.h"

#include "platform/UserNotificationCenter.h"

#include <QDBusMessage>
#include <QObject>

#include <gtest/gtest.h>

#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

struct NotifyCall {
    QString appName;
    uint replacesId;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    uint answer;
};

// A desktop notification server of our own on the private bus.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit FakeNotificationServer(const QString& connectionName = "fake-notifications")
        : m_name(connectionName),
          m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)) {
        m_bus.registerObject("/org/freedesktop/Notifications", this,
                             QDBusConnection::ExportAllSlots);
        m_registered = m_bus.registerService("org.freedesktop.Notifications");
    }
    ~FakeNotificationServer() override {
        m_bus.unregisterService("org.freedesktop.Notifications");
        m_bus.unregisterObject("/org/freedesktop/Notifications");
        QDBusConnection::disconnectFromBus(m_name);
    }
    bool registered() const { return m_registered; }

    std::vector<NotifyCall> notified;
    std::vector<uint> closed;

    // Sends one of the server's signals as the server (or, with `from`, as an impostor).
    void emitSignal(const QString& member, const QVariantList& args,
                    QDBusConnection* from = nullptr) {
        QDBusMessage m = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                    "org.freedesktop.Notifications", member);
        m.setArguments(args);
        (from ? *from : m_bus).send(m);
    }

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& /*icon*/,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int /*timeout*/) {
        const uint id = replacesId ? replacesId : m_next++;
        notified.push_back({appName, replacesId, summary, body, actions, hints, id});
        return id;
    }
    void CloseNotification(uint id) {
        closed.push_back(id);
        emitSignal("NotificationClosed", {id, 3u});
    }
    QStringList GetCapabilities() { return {"body", "actions"}; }

private:
    QString m_name;
    QDBusConnection m_bus;
    bool m_registered = false;
    uint m_next = 100;
};

class RecordingDelegate : public UserNotificationCenterDelegate {
public:
    bool present = true;
    std::vector<UserNotification> delivered, activated;
    bool shouldPresentNotification(UserNotificationCenter&, const UserNotification&) override {
        return present;
    }
    void didDeliverNotification(UserNotificationCenter&, const UserNotification& n) override {
        delivered.push_back(n);
    }
    void didActivateNotification(UserNotificationCenter&, const UserNotification& n) override {
        activated.push_back(n);
    }
};

UserNotification cameraNotice(const QString& identifier, const QString& text) {
    UserNotification n;
    n.identifier = identifier;
    n.title = "D850";
    n.subtitle = "Found New Image:";
    n.informativeText = text;
    n.actionButtonTitle = "ACTION1";
    return n;
}

QStringList identifiers(const QList<UserNotification>& list) {
    QStringList out;
    for (const UserNotification& n : list)
        out << n.identifier;
    return out;
}

} // namespace

TEST(UserNotifications, DeliveryReplacementRemovalAndTheServerSeesEachStep) {
    FakeNotificationServer server;
    ASSERT_TRUE(server.registered());
    UserNotificationCenter center(QDBusConnection::sessionBus());
    center.setApplicationName("ZarvNikonCapture");
    RecordingDelegate delegate;
    center.setDelegate(&delegate);

    UserNotification first = cameraNotice("D850-336592896", "Image_1...");
    first.soundName = UserNotification::kDefaultSoundName;
    const QDateTime before = QDateTime::currentDateTimeUtc();
    center.deliverNotification(first);
    // The list changes at once, on the calling thread.
    ASSERT_EQ(center.deliveredNotifications().size(), 1);
    EXPECT_GE(center.deliveredNotifications()[0].actualDeliveryDate, before);
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 1; }));
    const NotifyCall call = server.notified[0];
    EXPECT_EQ(call.appName, "ZarvNikonCapture");
    EXPECT_EQ(call.replacesId, 0u);
    EXPECT_EQ(call.summary, "D850");
    EXPECT_EQ(call.body, "Found New Image:\nImage_1...");
    EXPECT_EQ(call.actions, (QStringList{"default", ""})) << "no action button asked for";
    EXPECT_EQ(call.hints.value("sound-name"), QVariant("message-new-instant"));
    ASSERT_EQ(delegate.delivered.size(), 1u);
    EXPECT_TRUE(delegate.delivered[0].presented);

    // Same identifier again, before the server has even answered: replaced in the list and,
    // through replaces_id, on the desktop.
    UserNotification second = cameraNotice("D850-336592896", "Image_2...");
    second.hasActionButton = true;
    center.deliverNotification(second);
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 2; }));
    EXPECT_EQ(server.notified[1].replacesId, call.answer);
    EXPECT_EQ(server.notified[1].actions, (QStringList{"default", "", "action", "ACTION1"}));
    EXPECT_TRUE(server.notified[1].hints.isEmpty()) << "no sound asked for";
    ASSERT_EQ(center.deliveredNotifications().size(), 1);
    EXPECT_EQ(center.deliveredNotifications()[0].informativeText, "Image_2...");

    // Another camera, then removing one and then all.
    center.deliverNotification(cameraNotice("Z6-1", "Image_3..."));
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 3; }));
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(identifiers(center.deliveredNotifications()),
              (QStringList{"D850-336592896", "Z6-1"}));
    center.removeDeliveredNotification(cameraNotice("Z6-1", {}));
    EXPECT_EQ(identifiers(center.deliveredNotifications()), QStringList{"D850-336592896"});
    ASSERT_TRUE(waitUntil([&] { return server.closed.size() == 1; }));
    EXPECT_EQ(server.closed[0], server.notified[2].answer);
    center.removeAllDeliveredNotifications();
    EXPECT_TRUE(center.deliveredNotifications().isEmpty());
    ASSERT_TRUE(waitUntil([&] { return server.closed.size() == 2; }));
    EXPECT_EQ(server.closed[1], call.answer);
    center.setDelegate(nullptr);
}

TEST(UserNotifications, ActivationAndClosingComeFromTheServerOnly) {
    FakeNotificationServer server;
    ASSERT_TRUE(server.registered());
    UserNotificationCenter center(QDBusConnection::sessionBus());
    RecordingDelegate delegate;
    center.setDelegate(&delegate);
    UserNotification withButton = cameraNotice("cam-1", "Image_1...");
    withButton.hasActionButton = true;
    center.deliverNotification(withButton);
    center.deliverNotification(cameraNotice("cam-2", "Image_2..."));
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 2; }));
    waitUntil([] { return false; }, 100);
    const uint id1 = server.notified[0].answer, id2 = server.notified[1].answer;

    // An impostor on the bus cannot click or close our notices.
    QDBusConnection impostor =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "impostor");
    server.emitSignal("ActionInvoked", {id1, QString("default")}, &impostor);
    server.emitSignal("NotificationClosed", {id2, 2u}, &impostor);
    roundTrip(impostor);

    server.emitSignal("ActionInvoked", {id1, QString("action")});
    server.emitSignal("ActionInvoked", {id2, QString("default")});
    server.emitSignal("ActionInvoked", {id2, QString("no-such-action")});
    server.emitSignal("ActionInvoked", {9999u, QString("default")}); // someone else's notice
    ASSERT_TRUE(waitUntil([&] { return delegate.activated.size() == 2; }));
    EXPECT_EQ(delegate.activated[0].identifier, "cam-1");
    EXPECT_EQ(delegate.activated[0].activationType,
              UserNotification::ActivationType::ActionButtonClicked);
    EXPECT_EQ(delegate.activated[1].identifier, "cam-2");
    EXPECT_EQ(delegate.activated[1].activationType,
              UserNotification::ActivationType::ContentsClicked);
    EXPECT_EQ(center.deliveredNotifications().size(), 2);

    // The user dismisses one on the desktop: it leaves the list.
    server.emitSignal("NotificationClosed", {id1, 2u});
    ASSERT_TRUE(waitUntil([&] { return center.deliveredNotifications().size() == 1; }));
    EXPECT_EQ(center.deliveredNotifications()[0].identifier, "cam-2");
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(delegate.activated.size(), 2u);
    center.setDelegate(nullptr);
    QDBusConnection::disconnectFromBus("impostor");
}

TEST(UserNotifications, ANoticeRemovedEarlyNeverStaysOnTheDesktop) {
    FakeNotificationServer server;
    UserNotificationCenter center(QDBusConnection::sessionBus());
    // Removed before the main thread got to it, from another thread as the program's queues
    // do: the desktop never sees it.
    std::thread([&] {
        center.deliverNotification(cameraNotice("cam-1", "x"));
        center.removeDeliveredNotification(cameraNotice("cam-1", {}));
        center.deliverNotification(cameraNotice("cam-2", "y"));
    }).join();
    EXPECT_EQ(identifiers(center.deliveredNotifications()), QStringList{"cam-2"});
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 1; }));
    EXPECT_EQ(server.notified[0].body, "Found New Image:\ny");

    // Removed while the server is answering: closed with the number it answers.
    center.deliverNotification(cameraNotice("cam-3", "z"));
    ASSERT_TRUE(waitUntil([&] { return server.notified.size() == 2; }));
    center.removeDeliveredNotification(cameraNotice("cam-3", {}));
    ASSERT_TRUE(waitUntil([&] { return server.closed.size() == 1; }));
    EXPECT_EQ(server.closed[0], server.notified[1].answer);
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(server.notified.size(), 2u);
}

TEST(UserNotifications, ANoticeTheDelegateHoldsBackIsListedButNotShown) {
    FakeNotificationServer server;
    UserNotificationCenter center(QDBusConnection::sessionBus());
    RecordingDelegate delegate;
    delegate.present = false;
    center.setDelegate(&delegate);
    center.deliverNotification(cameraNotice("cam-1", "x"));
    ASSERT_TRUE(waitUntil([&] { return delegate.delivered.size() == 1; }));
    EXPECT_FALSE(delegate.delivered[0].presented);
    EXPECT_EQ(center.deliveredNotifications().size(), 1);
    waitUntil([] { return false; }, 200);
    EXPECT_TRUE(server.notified.empty());
    center.setDelegate(nullptr);
}

TEST(UserNotifications, WithoutAServerTheListAndTheSweepStillWorkWithOneWarning) {
    LogCapture log;
    UserNotificationCenter center(QDBusConnection::sessionBus());
    QDateTime clock = QDateTime::fromSecsSinceEpoch(1796684000, Qt::UTC);
    center.setClock([&] { return clock; });
    center.deliverNotification(cameraNotice("old", "a"));
    clock = clock.addSecs(2);
    center.deliverNotification(cameraNotice("new", "b"));
    center.deliverNotification(cameraNotice({}, "no identifier 1"));
    center.deliverNotification(cameraNotice({}, "no identifier 2"));
    ASSERT_TRUE(waitUntil([&] { return log.count("No desktop notification server") == 1; }));
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(log.count("No desktop notification server"), 1);

    // A sweep by age, as the program's timer does it.
    const QDateTime sweepTime = clock.addSecs(9);
    for (const UserNotification& n : center.deliveredNotifications())
        if (sweepTime > n.actualDeliveryDate.addSecs(10))
            center.removeDeliveredNotification(n);
    EXPECT_EQ(identifiers(center.deliveredNotifications()), (QStringList{"new", "", ""}));
    for (const UserNotification& n : center.deliveredNotifications())
        EXPECT_FALSE(n.presented);

    // Without an identifier, only that very notice goes.
    center.removeDeliveredNotification(center.deliveredNotifications()[1]);
    ASSERT_EQ(center.deliveredNotifications().size(), 2);
    EXPECT_EQ(center.deliveredNotifications()[1].informativeText, "no identifier 2");
}

#include "UserNotificationCenterTest.moc"
