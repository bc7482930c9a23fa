#include "lookout/CaptureLink.h"
#include "LookoutTestSupport.h"
#include "platform/DistributedNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace zarv;
using namespace zarv::lookout;
using zarv::lookout::test::spinUntil;

namespace {

// The capture program as the viewer sees it: a name on the bus and its messages.
struct FakeCapture {
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-capture"));
    DistributedNotificationCenter center{bus};
    ~FakeCapture() {
        bus.interface()->unregisterService(kCaptureService);
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-capture"));
    }
};

} // namespace

TEST(LookoutCaptureLink, AsksForTheHotFolderAtStartAndWheneverTheCaptureProgramAppears) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    if (!center.isConnected())
        GTEST_SKIP() << "no session bus (run under dbus-run-session)";
    FakeCapture capture;
    QStringList actions;
    capture.center.addObserver(kCaptureRequest, [&](const Notification& n) {
        actions << n.userInfo.value(QStringLiteral("action")).toString();
        EXPECT_EQ(n.userInfo.value(QStringLiteral("senderApp")).toString(), kSenderApp);
    });
    QDBusConnection::sessionBus().interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));

    CaptureLink link(center);
    QSignalSpy running(&link, &CaptureLink::captureRunningChanged);
    link.start();
    EXPECT_FALSE(link.captureRunning());
    ASSERT_TRUE(spinUntil([&] { return actions.contains(QStringLiteral("getlistofimages")); }));

    actions.clear();
    capture.bus.interface()->registerService(kCaptureService);
    ASSERT_TRUE(spinUntil([&] { return link.captureRunning(); }));
    // Two messages: the second may arrive a moment after the first.
    ASSERT_TRUE(spinUntil([&] {
        return actions.contains(QStringLiteral("getlistofimages")) &&
               actions.contains(QStringLiteral("requestcamerastatus"));
    }));

    QList<QStringList> shown;
    QObject::connect(&link, &CaptureLink::picturesAnnounced,
                     [&](const QStringList& paths, bool) { shown << paths; });
    capture.center.post(kLookoutNotification, QStringLiteral("test"),
                        {{QStringLiteral("senderApp"), kCaptureApp},
                         {QStringLiteral("action"), kShowAction},
                         {QStringLiteral("value"), QStringLiteral("/hot/Image_1.jpg")}});
    ASSERT_TRUE(spinUntil([&] { return !shown.isEmpty(); }));
    EXPECT_EQ(shown.first(), QStringList{QStringLiteral("/hot/Image_1.jpg")});

    link.grab();
    ASSERT_TRUE(spinUntil([&] { return actions.contains(QStringLiteral("grabimage")); }));

    // The capture program quits, then starts again: the viewer notices both.
    capture.bus.interface()->unregisterService(kCaptureService);
    ASSERT_TRUE(spinUntil([&] { return !link.captureRunning(); }));
    actions.clear();
    capture.bus.interface()->registerService(kCaptureService);
    ASSERT_TRUE(spinUntil([&] { return actions.contains(QStringLiteral("getlistofimages")); }));
    EXPECT_EQ(running.count(), 3);
}

TEST(LookoutCaptureLink, StartsTheCaptureProgramMarkedAsLaunchedFromTheViewer) {
    QTemporaryDir dir;
    const QString marker = dir.path() + QStringLiteral("/arguments");
    const QString script = dir.path() + QStringLiteral("/capture");
    QFile f(script);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("#!/bin/sh\necho \"$@\" > '%1'\n").arg(marker).toUtf8());
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("ZARV_CAPTURE_PROGRAM", QFile::encodeName(script));
    CaptureLink link(DistributedNotificationCenter::defaultCenter());
    EXPECT_EQ(link.startCapture(), QString());
    ASSERT_TRUE(spinUntil([&] { return QFile::exists(marker); }));
    QFile out(marker);
    spinUntil([&] { return out.size() > 0; }, 2000);
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(out.readAll().trimmed(), QByteArray("-fromzarvpreview"));

    qputenv("ZARV_CAPTURE_PROGRAM", "/nonexistent/zarvnikoncapture");
    EXPECT_TRUE(link.startCapture().contains(QLatin1String("not found")));
    qunsetenv("ZARV_CAPTURE_PROGRAM");
}
