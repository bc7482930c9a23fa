#include "MessagingTestSupport.h"

#include <QDBusMessage>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPoint>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <limits>
#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

const QDateTime kWhen = QDateTime::fromMSecsSinceEpoch(1796684036863, Qt::UTC);

QVariantMap nestedPayload() {
    return {
        {"senderApp", "Lookout"},
        {"text", QString::fromUtf8("Grüße \"quoted\"\n\t")},
        {"int", -42},
        {"big", std::numeric_limits<qulonglong>::max()},
        {"real", 0.1},
        {"yes", true},
        {"no", false},
        {"when", kWhen},
        {"data", QByteArray("\x00\x01\xff", 3)},
        {"empty list", QVariantList{}},
        {"empty dict", QVariantMap{}},
        {"names", QStringList{"a", "b"}},
        {"nested",
         QVariantMap{
             {"list", QVariantList{1, "two", 3.5,
                                   QVariantMap{{"deep", QVariantList{QVariantList{true}}}}}}}},
    };
}

QVariantMap deepMap(int levels) {
    QVariantMap m{{"leaf", 1}};
    for (int i = 1; i < levels; ++i)
        m = QVariantMap{{"d", m}};
    return m;
}

} // namespace

TEST(DistributedNotifications, OwnPostsReachOwnObserversThroughTheBusWithTheirTypes) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    ASSERT_TRUE(center.isConnected());
    Recorder all(center), named(center, "zarvXNotification");
    center.post("otherName", "ignored by the named observer", {});
    center.post("zarvXNotification", "test", nestedPayload());
    ASSERT_TRUE(all.waitFor(2));
    ASSERT_TRUE(named.waitFor(1));
    EXPECT_EQ(named.seen().size(), 1u);

    const Notification& n = named.seen().front();
    EXPECT_EQ(n.name, "zarvXNotification");
    EXPECT_EQ(n.object, QVariant("test"));
    EXPECT_EQ(n.userInfo, DistributedNotificationCenter::canonical(nestedPayload()).toMap());
    EXPECT_EQ(n.userInfo["int"].typeId(), QMetaType::LongLong);
    EXPECT_EQ(n.userInfo["int"].toLongLong(), -42);
    EXPECT_EQ(n.userInfo["big"].toULongLong(), std::numeric_limits<qulonglong>::max());
    EXPECT_EQ(n.userInfo["real"].typeId(), QMetaType::Double);
    EXPECT_EQ(n.userInfo["yes"].typeId(), QMetaType::Bool);
    EXPECT_EQ(n.userInfo["when"].typeId(), QMetaType::QDateTime);
    EXPECT_EQ(n.userInfo["when"].toDateTime(), kWhen);
    EXPECT_EQ(n.userInfo["data"].toByteArray(), QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(n.userInfo["names"], QVariant(QVariantList{"a", "b"}));
    EXPECT_EQ(n.userInfo["text"].toString(), QString::fromUtf8("Grüße \"quoted\"\n\t"));
}

TEST(DistributedNotifications, NestedUserInfoCrossesBetweenProcessesBothWays) {
    auto& center = DistributedNotificationCenter::defaultCenter();

    // Out: another process (zarvctl listen) prints what it received.
    QProcess listener;
    listener.start(kZarvctl, {"listen", "--name", "zarvXNotification", "--count", "1"});
    ASSERT_TRUE(
        waitUntil([&] { return listener.readAllStandardError().contains("listening"); }, 20000));
    center.post("zarvXNotification", "test", nestedPayload());
    ASSERT_TRUE(waitUntil([&] { return listener.state() == QProcess::NotRunning; }, 20000));
    const QJsonObject line = QJsonDocument::fromJson(listener.readAllStandardOutput()).object();
    EXPECT_EQ(line["name"].toString(), "zarvXNotification");
    EXPECT_EQ(line["object"].toString(), "test");
    const QJsonObject info = line["userInfo"].toObject();
    EXPECT_EQ(info["int"].toInteger(), -42);
    EXPECT_EQ(info["when"].toString(), "2026-12-07T22:53:56.863Z");
    EXPECT_EQ(info["data"].toString(), "AAH/");
    EXPECT_EQ(info["no"], QJsonValue(false));
    EXPECT_EQ(info["empty dict"], QJsonValue(QJsonObject()));
    EXPECT_EQ(info["text"].toString(), QString::fromUtf8("Grüße \"quoted\"\n\t"));
    EXPECT_EQ(QJsonDocument(info["nested"].toObject()).toJson(QJsonDocument::Compact),
              R"({"list":[1,"two",3.5,{"deep":[[true]]}]})");

    // In: typed values given to zarvctl post arrive with their types.
    Recorder in(center, "fromZarvctl");
    ASSERT_EQ(runToEnd(kZarvctl, {"post", "fromZarvctl", "--object", "obj", "senderApp=zarvctl",
                                  "n:=7", "r:=2.5", "b:=false", "when@=2026-12-07T22:53:56.863Z",
                                  R"(tree:={"a":[1,{"b":"c"}],"e":[]})", "plain=12"}),
              0);
    ASSERT_TRUE(in.waitFor(1));
    const QVariantMap got = in.seen().front().userInfo;
    EXPECT_EQ(in.seen().front().object, QVariant("obj"));
    EXPECT_EQ(got["n"].typeId(), QMetaType::LongLong);
    EXPECT_EQ(got["n"].toLongLong(), 7);
    EXPECT_EQ(got["r"].toDouble(), 2.5);
    EXPECT_EQ(got["b"], QVariant(false));
    EXPECT_EQ(got["when"].toDateTime(), kWhen);
    EXPECT_EQ(got["plain"], QVariant("12"));
    EXPECT_EQ(got["tree"],
              QVariant(QVariantMap{{"a", QVariantList{qlonglong(1), QVariantMap{{"b", "c"}}}},
                                   {"e", QVariantList{}}}));
}

TEST(DistributedNotifications, AForeignClientMayUseAnyIntegerTypeAndPlainArrays) {
    Recorder in(DistributedNotificationCenter::defaultCenter(), "zarvTillsideNotification");
    ASSERT_EQ(runToEnd("gdbus", {"emit", "--session", "--object-path",
                                 "/com/quellbay/DistributedNotificationCenter", "--signal",
                                 "com.quellbay.DistributedNotificationCenter.Notification",
                                 "zarvTillsideNotification", "",
                                 "{'senderApp': <'Tillside'>, 'i': <7>, 'u': <uint32 8>, "
                                 "'y': <byte 9>, 'q': <uint16 10>, 't': <uint64 11>, "
                                 "'as': <['x', 'y']>, 'ai': <[1, 2]>, 'o': <objectpath '/a/b'>, "
                                 "'vv': <<'inner'>>, 'when': <('date', 1796684036.863)>}"}),
              0);
    ASSERT_TRUE(in.waitFor(1));
    const Notification& n = in.seen().front();
    EXPECT_FALSE(n.object.isValid()) << "an empty object means none";
    const QVariantMap got = n.userInfo;
    for (const char* key : {"i", "u", "y", "q", "t"})
        EXPECT_EQ(got[key].typeId(), QMetaType::LongLong) << key;
    EXPECT_EQ(got["u"].toLongLong(), 8);
    EXPECT_EQ(got["t"].toLongLong(), 11);
    EXPECT_EQ(got["as"], QVariant(QVariantList{"x", "y"}));
    EXPECT_EQ(got["ai"], QVariant(QVariantList{qlonglong(1), qlonglong(2)}));
    EXPECT_EQ(got["o"], QVariant("/a/b"));
    EXPECT_EQ(got["vv"], QVariant("inner"));
    EXPECT_EQ(got["when"].toDateTime(), kWhen);
}

TEST(DistributedNotifications, HostileMessagesAreIgnoredWithALogLine) {
    LogCapture log;
    auto& center = DistributedNotificationCenter::defaultCenter();
    Recorder in(center);
    QDBusConnection hostile =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "hostile-sibling");
    ASSERT_TRUE(hostile.isConnected());
    auto signal = [](const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createSignal(DistributedNotificationCenter::kPath,
                                                    DistributedNotificationCenter::kInterface,
                                                    DistributedNotificationCenter::kMember);
        m.setArguments(args);
        return m;
    };
    // A user info that is not a dictionary, missing arguments, too deep, too many values.
    hostile.send(signal({"zarvXNotification", "", QStringList{"not", "a", "dictionary"}}));
    hostile.send(signal({"zarvXNotification"}));
    hostile.send(
        signal({"zarvXNotification", "", deepMap(DistributedNotificationCenter::maxDepth + 4)}));
    QVariantList huge;
    for (int i = 0; i <= DistributedNotificationCenter::maxValues; ++i)
        huge.append(i);
    hostile.send(signal({"zarvXNotification", "", QVariantMap{{"huge", huge}}}));
    hostile.send(signal({"", "", QVariantMap{{"senderApp", "x"}}}));
    roundTrip(hostile);
    // Shapes QtDBus would not produce: a structure that is not a date, keys that are not strings.
    const QString gdbus = "gdbus";
    const QStringList head{
        "emit",          "--session",
        "--object-path", DistributedNotificationCenter::kPath,
        "--signal",      QString(DistributedNotificationCenter::kInterface) + ".Notification"};
    EXPECT_EQ(runToEnd(gdbus, head + QStringList{"zarvXNotification", "", "{'s': <(1, 2)>}"}), 0);
    EXPECT_EQ(runToEnd(gdbus, head + QStringList{"zarvXNotification", "", "{1: <'x'>}"}), 0);
    EXPECT_EQ(
        runToEnd(gdbus, head + QStringList{"zarvXNotification", "", "{'d': <('date', 1e300)>}"}),
        0);
    // Within the limits, then one well-formed message: it arrives after all the others.
    hostile.send(signal({"deepButFine", "", deepMap(DistributedNotificationCenter::maxDepth)}));
    hostile.send(signal({"last", "", QVariantMap{{"senderApp", "x"}}}));
    // Each hostile message is read in turn before these; slow under the sanitizers.
    ASSERT_TRUE(in.waitFor(2, 30000));
    ASSERT_EQ(in.seen().size(), 2u);
    EXPECT_EQ(in.seen()[0].name, "deepButFine");
    EXPECT_EQ(in.seen()[1].name, "last");
    EXPECT_EQ(log.count("Ignored a distributed notification"), 8)
        << log.lines().join("\n").toStdString();
    EXPECT_EQ(log.count("not (ssa{sv})"), 3);
    EXPECT_EQ(log.count("nested deeper than"), 1);
    EXPECT_EQ(log.count("more than 100000 values"), 1);
    EXPECT_EQ(log.count("that is not a date"), 2);
    QDBusConnection::disconnectFromBus("hostile-sibling");
}

// More than libdbus keeps unread at once (63 MiB), arriving while the main thread is busy: the
// connection stops reading until those messages are let go, and must read again afterwards.
TEST(DistributedNotifications, ABacklogOfLargeMessagesLeavesTheCentreListening) {
    LogCapture log;
    auto& center = DistributedNotificationCenter::defaultCenter();
    Recorder in(center);
    QDBusConnection hostile =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "large-sibling");
    ASSERT_TRUE(hostile.isConnected());
    auto signal = [](const QString& name, const QVariant& value) {
        QDBusMessage m = QDBusMessage::createSignal(DistributedNotificationCenter::kPath,
                                                    DistributedNotificationCenter::kInterface,
                                                    DistributedNotificationCenter::kMember);
        m.setArguments({name, "", QVariantMap{{"senderApp", "x"}, {"value", value}}});
        return m;
    };
    const QByteArray large(30 * 1024 * 1024, 'L');
    for (int i = 0; i < 4; ++i)
        hostile.send(signal("large", large));
    roundTrip(hostile);
    // Busy: nothing is handled while the bus thread reads up to its limit.
    QThread::sleep(2);
    ASSERT_TRUE(in.waitFor(4, 20000)) << in.seen().size();
    hostile.send(signal("after", 1));
    ASSERT_TRUE(in.waitFor(5, 5000)) << "deaf after " << in.seen().size() << " messages";
    EXPECT_EQ(in.seen().back().name, "after");
    EXPECT_FALSE(log.contains("Socket notifiers cannot be enabled"));
    QDBusConnection::disconnectFromBus("large-sibling");
}

TEST(DistributedNotifications, PostsFromOtherThreadsAreDeliveredOnTheMainThread) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    Qt::HANDLE observedOn = nullptr;
    const auto token = center.addObserver(
        "fromWorker", [&](const Notification&) { observedOn = QThread::currentThreadId(); });
    std::thread([&] { center.post("fromWorker", {}, {{"senderApp", "me"}}); }).join();
    EXPECT_TRUE(waitUntil([&] { return observedOn != nullptr; }));
    EXPECT_EQ(observedOn, QThread::currentThreadId());
    center.removeObserver(token);
}

TEST(DistributedNotifications,
     ValuesWithoutAWireFormAreDroppedAloneAndThrowingObserversAreContained) {
    LogCapture log;
    auto& center = DistributedNotificationCenter::defaultCenter();
    const auto thrower = center.addObserver(
        "partly", [](const Notification&) { throw std::runtime_error("observer bug"); });
    Recorder in(center, "partly");
    center.post("partly", QVariant(42), {{"ok", 1}, {"point", QPoint(1, 2)}, {"bad", QVariant()}});
    ASSERT_TRUE(in.waitFor(1));
    EXPECT_EQ(in.seen().front().userInfo, (QVariantMap{{"ok", qlonglong(1)}}));
    EXPECT_FALSE(in.seen().front().object.isValid());
    EXPECT_EQ(log.count("\"point\" dropped"), 1);
    EXPECT_EQ(log.count("\"bad\" dropped"), 1);
    EXPECT_EQ(log.count("object is not a string"), 1);
    EXPECT_EQ(log.count("observer bug"), 1);
    center.removeObserver(thrower);
}

TEST(DistributedNotifications, WithoutASessionBusOneWarningAndLocalDelivery) {
    QTemporaryDir runtime; // so that no bus is found in the usual place either
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    env.remove("DISPLAY");
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    QProcess probe;
    probe.setProcessEnvironment(env);
    ASSERT_EQ(runToEnd(probe, ZARV_NOBUS_PROBE, {}), 0)
        << probe.readAllStandardError().toStdString();
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    const QString err = QString::fromUtf8(probe.readAllStandardError());
    EXPECT_TRUE(out.contains("connected=false")) << out.toStdString();
    EXPECT_TRUE(out.contains("delivered=2")) << out.toStdString();
    EXPECT_TRUE(out.contains("when=date")) << out.toStdString();
    EXPECT_EQ(err.count("No D-Bus session bus"), 1) << err.toStdString();

    // zarvctl says so and fails.
    QProcess ctl;
    ctl.setProcessEnvironment(env);
    EXPECT_EQ(runToEnd(ctl, kZarvctl, {"grab"}), 1);
    EXPECT_TRUE(ctl.readAllStandardError().contains("no D-Bus session bus"));
}

TEST(Zarvctl, RejectsBadArgumentsAndSendsTheThreeRequests) {
    for (const QStringList& bad : {QStringList{},
                                   {"frobnicate"},
                                   {"post"},
                                   {"post", "n", "novalue"},
                                   {"post", "n", "k:=nul"},
                                   {"post", "n", "k@=yesterday"},
                                   {"listen", "--count", "0"},
                                   {"grab", "extra"}})
        EXPECT_EQ(runToEnd(kZarvctl, bad), 2) << bad.join(' ').toStdString();

    Recorder in(DistributedNotificationCenter::defaultCenter(), "ZarvNikonAppNotification");
    for (const char* command : {"grab", "status", "images"})
        ASSERT_EQ(runToEnd(kZarvctl, {command}), 0);
    ASSERT_TRUE(in.waitFor(3));
    QStringList actions;
    for (const Notification& n : in.seen()) {
        EXPECT_EQ(n.userInfo["senderApp"], QVariant("zarvctl"));
        actions << n.userInfo["action"].toString();
    }
    EXPECT_EQ(actions, (QStringList{"grabimage", "requestcamerastatus", "getlistofimages"}));
}
