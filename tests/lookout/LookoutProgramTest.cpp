// The viewer as a program, in a real window on a virtual X display, hearing the family's
// messages on the session bus.

#include "LookoutTestSupport.h"
#include "Xvfb.h"
#include "platform/DistributedNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QImage>
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
        if (p.toObject().value(QStringLiteral("path")).toString() == path &&
            p.toObject().value(QStringLiteral("sharp")).toBool())
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

TEST(LookoutProgram, PhotographsItselfFittedAt100PercentWithClippingAndAnNef) {
    test::Xvfb display;
    if (display.display().isEmpty())
        GTEST_SKIP() << qPrintable(display.error());
    Pictures pictures;
    const QStringList files = {pictures.jpeg(QStringLiteral("Image_1.jpg"), {1800, 1200}),
                               pictures.jpeg(QStringLiteral("Image_2.jpg"), {1800, 1200}),
                               pictures.nef(QStringLiteral("DSC_0003.NEF"), {1800, 1200})};
    const QString shots = pictures.path(QStringLiteral("shots"));
    QProcessEnvironment env = display.environment(QProcessEnvironment::systemEnvironment());
    env.insert(QStringLiteral("ZARV_LOOKOUT_SCREENSHOT_DIR"), shots);
    // A bus of its own, or none: the copy of the other test must not take its files.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + pictures.path(QStringLiteral("no-bus")));
    QProcess viewer;
    viewer.setProcessEnvironment(env);
    viewer.setProcessChannelMode(QProcess::ForwardedChannels);
    viewer.start(QStringLiteral(ZARV_LOOKOUT),
                 QStringList{QStringLiteral("--size"), QStringLiteral("900x700")} + files);
    ASSERT_TRUE(viewer.waitForFinished(120000));
    EXPECT_EQ(viewer.exitCode(), 0);
    QList<QImage> images;
    for (const char* name :
         {"lookout-fitted.png", "lookout-100.png", "lookout-clipping.png", "lookout-nef.png"}) {
        images << QImage(shots + QLatin1Char('/') + QLatin1String(name));
        EXPECT_EQ(images.last().size(), QSize(900, 700)) << name;
    }
    // Each shows something of its own: 100 % is not the fitted picture again, nor is clipping.
    EXPECT_NE(images[0], images[1]);
    EXPECT_NE(images[0], images[2]);
    EXPECT_NE(images[0], images[3]);
}
