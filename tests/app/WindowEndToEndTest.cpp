// The program with its window on a virtual display, the virtual camera on USB: what the window
// shows is read from its widgets (the program writes their state when asked), never from pixels.

#include "EndToEndSupport.h"
#include "Xvfb.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace zarv;
using namespace zarv::test;

namespace {

QJsonObject readState(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

TEST_F(EndToEnd, WindowShowsTheConnectedCamera) {
    Xvfb xvfb;
    if (xvfb.display().isEmpty())
        GTEST_SKIP() << "no virtual display: " << xvfb.error().toStdString();
    writeConfig(QStringLiteral("pictures = 1\n"));
    plugCamera();
    const QString stateFile = dir.path() + QStringLiteral("/window-state.json");
    QProcessEnvironment env = xvfb.environment(environment());
    env.insert(QStringLiteral("ZARV_UI_STATE_FILE"), stateFile);
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), env, Program::Face::Window);

    ASSERT_TRUE(waitForPictures(1)) << program.log().toStdString();
    QJsonObject state;
    const bool shown = waitUntil(
        [&] {
            // While a picture comes in the label says so; it names the camera again after.
            state = readState(stateFile);
            return state.value(QStringLiteral("statusLight")).toString() == "NSStatusAvailable" &&
                   state.value(QStringLiteral("cameraStatus"))
                       .toString()
                       .contains(QLatin1String("Zarv Virtual Camera"));
        },
        kLong);
    ASSERT_TRUE(shown) << QJsonDocument(state).toJson().toStdString()
                       << program.log().toStdString();
    EXPECT_TRUE(state.value(QStringLiteral("painted")).toBool());
    EXPECT_EQ(state.value(QStringLiteral("form")).toString(), "mini");
    EXPECT_EQ(QDir(hot).entryList(QDir::Files).size(), 1);
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// Without a display the program says so and stops, rather than running without a face.
TEST_F(EndToEnd, WindowWithoutADisplayIsRefused) {
    QProcessEnvironment env = environment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), env, Program::Face::Window);
    ASSERT_TRUE(program.waitForExit());
    EXPECT_NE(program.exitCode(), 0);
    EXPECT_TRUE(program.logContains(QStringLiteral("--headless"))) << program.log().toStdString();
}

} // namespace
