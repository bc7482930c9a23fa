// The viewer as a program, in a real window on a virtual X display, hearing the family's
// messages on the session bus.

#include "LookoutTestSupport.h"
#include "Xvfb.h"
#include "platform/DistributedNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

using namespace zarv;
using zarv::lookout::test::Pictures;
using zarv::lookout::test::spinUntil;

namespace {

QJsonObject stateOf(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                       : QJsonObject();
}

bool painted(const QJsonObject& state, const QString& path) {
    for (const QJsonValue& p : state.value(QStringLiteral("painted")).toArray())
        if (p.toObject().value(QStringLiteral("path")).toString() == path)
            return true;
    return false;
}

} // namespace

TEST(LookoutProgram, ARealWindowPaintsEachAnnouncedPictureAndStaysTheOnlyCopy) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    if (!center.isConnected())
        GTEST_SKIP() << "no session bus (run under dbus-run-session)";
    test::Xvfb display;
    if (display.display().isEmpty())
        GTEST_SKIP() << qPrintable(display.error());
    Pictures pictures;
    const QString first = pictures.jpeg(QStringLiteral("Image_1.jpg"), {2400, 1600});
    const QString nef = pictures.nef(QStringLiteral("Image_2.nef"), {2400, 1600});
    const QString state = pictures.path(QStringLiteral("state.json"));

    QProcessEnvironment env = display.environment(QProcessEnvironment::systemEnvironment());
    env.insert(QStringLiteral("ZARV_LOOKOUT_STATE_FILE"), state);
    env.insert(QStringLiteral("ZARV_CAPTURE_PROGRAM"), QStringLiteral("/nonexistent"));
    QProcess viewer;
    viewer.setProcessEnvironment(env);
    viewer.setProcessChannelMode(QProcess::ForwardedChannels);
    viewer.start(QStringLiteral(ZARV_LOOKOUT), {});
    ASSERT_TRUE(viewer.waitForStarted());
    ASSERT_TRUE(spinUntil(
        [&] {
            return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                QStringLiteral("com.quellbay.ZarvLookout"));
        },
        30000));
    ASSERT_TRUE(spinUntil([&] { return stateOf(state).contains(QStringLiteral("count")); }, 30000));
    EXPECT_TRUE(stateOf(state)
                    .value(QStringLiteral("banner"))
                    .toString()
                    .contains(QLatin1String("not running")));

    for (const QString& path : {first, nef}) {
        center.post(QStringLiteral("ZarvLookoutNotification"), QStringLiteral("test"),
                    {{QStringLiteral("senderApp"), QStringLiteral("ZarvNikonCapture.app")},
                     {QStringLiteral("action"), QStringLiteral("newImageToDisplayForLookout")},
                     {QStringLiteral("value"), path}});
        EXPECT_TRUE(spinUntil([&] { return painted(stateOf(state), path); }, 30000))
            << qPrintable(path);
    }
    const QJsonObject last = stateOf(state);
    EXPECT_EQ(last.value(QStringLiteral("current")).toString(), nef);
    EXPECT_TRUE(last.value(QStringLiteral("name")).toString().contains(QLatin1String("preview")));

    // A second copy hands its file to the first and ends at once.
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(QStringLiteral(ZARV_LOOKOUT), {first});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(viewer.state(), QProcess::Running);

    viewer.terminate();
    EXPECT_TRUE(viewer.waitForFinished(30000));
}
