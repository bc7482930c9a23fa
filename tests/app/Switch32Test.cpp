// The 32-bit program beside the 64-bit one: what the build makes, and the switch between the
// two when a camera's module exists for one architecture only.

#include "EndToEndSupport.h"
#include "modules/Architecture.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>

using namespace zarv;
using namespace zarv::test;

namespace {

const QString kProgram32 = kProgram + QStringLiteral("_32");
const QString kModules = QStringLiteral(ZARV_APP_DIR "/../Camera Control Modules");

// Whether the file is an i386 program or library, read as the program reads a module's.
bool isI386(const QString& path) {
    return Bundle::architecturesOfFile(path) == QList<int>{Bundle::I386};
}

// The shared libraries a program needs (its NEEDED entries), from readelf.
QStringList neededLibraries(const QString& path) {
    QProcess p;
    p.start(QStringLiteral("readelf"), {QStringLiteral("-d"), path});
    if (!p.waitForFinished(kLong))
        return {};
    QStringList needed;
    static const QRegularExpression line(QStringLiteral("\\(NEEDED\\).*\\[(.+)\\]"));
    for (const QString& l : QString::fromUtf8(p.readAllStandardOutput()).split(u'\n'))
        if (const auto m = line.match(l); m.hasMatch())
            needed << m.captured(1);
    return needed;
}

// Why the 32-bit program cannot run here, or empty when it can.
QString whyNo32BitRun() {
    if (!ZARV_32_BUILT)
        return QStringLiteral("ZarvNikonCapture_32 was not built (the i386 packages are missing; "
                              "tools/setup installs them)");
    // As the program decides it (ZARV_I386_PROBE stands in for a kernel that refuses i386).
    const I386ProbeResult probe = runI386Probe(qEnvironmentVariable(
        "ZARV_I386_PROBE", QStringLiteral(ZARV_APP_DIR "/Contents/MacOS/i386-probe")));
    return probe.runs ? QString()
                      : QStringLiteral("i386 programs cannot run here: ") + probe.reason;
}

// The 32-bit program sees the mocked USB bus only through umockdev's i386 preload library,
// which tools/setup fetches and the test wrapper puts on the library path.
bool haveI386Preload() {
    for (const QString& folder : qEnvironmentVariable("LD_LIBRARY_PATH").split(u':'))
        if (!folder.isEmpty() && isI386(folder + QStringLiteral("/libumockdev-preload.so.0")))
            return true;
    return false;
}

// Built everywhere the i386 packages are: an i386 program whose libraries are all there.
TEST(Build32, ProgramIsI386AndItsLibrariesResolve) {
    if (!ZARV_32_BUILT)
        GTEST_SKIP() << "ZarvNikonCapture_32 was not built: the i386 packages are missing "
                        "(tools/setup installs them)";
    EXPECT_TRUE(isI386(kProgram32)) << kProgram32.toStdString();
    EXPECT_EQ(Bundle::architecturesOfFile(kProgram), QList<int>{Bundle::X86_64});

    const QStringList needed = neededLibraries(kProgram32);
    ASSERT_FALSE(needed.isEmpty()) << "readelf found no libraries in " << kProgram32.toStdString();
    EXPECT_TRUE(needed.contains(QStringLiteral("libQt6Widgets.so.6")));
    for (const QString& library : needed) {
        QString at;
        for (const char* folder : {"/lib/i386-linux-gnu/", "/usr/lib/i386-linux-gnu/"})
            if (at.isEmpty() && QFile::exists(QLatin1String(folder) + library))
                at = QLatin1String(folder) + library;
        ASSERT_FALSE(at.isEmpty()) << library.toStdString() << " is not installed for i386";
        EXPECT_TRUE(isI386(QFileInfo(at).canonicalFilePath())) << at.toStdString();
    }
    // Where i386 programs run, the loader resolves them all and the program answers.
    if (!whyNo32BitRun().isEmpty())
        return;
    QProcess loader;
    loader.start(QStringLiteral("/lib/ld-linux.so.2"), {QStringLiteral("--list"), kProgram32});
    ASSERT_TRUE(loader.waitForFinished(kLong));
    const QString listing = QString::fromUtf8(loader.readAllStandardOutput());
    EXPECT_EQ(loader.exitCode(), 0) << listing.toStdString();
    EXPECT_FALSE(listing.contains(QStringLiteral("not found"))) << listing.toStdString();
    QProcess version;
    version.start(kProgram32, {QStringLiteral("--version")});
    ASSERT_TRUE(version.waitForFinished(kLong));
    EXPECT_EQ(version.exitCode(), 0);
    EXPECT_TRUE(version.readAllStandardOutput().startsWith("ZarvNikonCapture "));
}

// The lookup table naming `module` for the virtual camera.
QVariantMap tableNaming(const QString& module) {
    return {{QStringLiteral("Zarv Virtual Camera"),
             QVariantMap{{QStringLiteral("devicename"), QStringLiteral("Zarv Virtual Camera")},
                         {QStringLiteral("modulename"), module},
                         {QStringLiteral("productid"), 31233}}}};
}

class Switch32 : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        if (IsSkipped())
            return;
        if (const QString why = whyNo32BitRun(); !why.isEmpty())
            GTEST_SKIP() << why.toStdString();
        if (!haveI386Preload())
            GTEST_SKIP() << "umockdev's i386 preload library is not on the library path "
                            "(tools/setup fetches it into .deps/i386)";
    }
    // The program that owns the bus name now, and whether it is the 32-bit one.
    qint64 owner() const {
        const QDBusReply<uint> reply =
            QDBusConnection::sessionBus().interface()->servicePid(kService);
        return reply.isValid() ? qint64(reply.value()) : 0;
    }
    bool ownerIs32Bit() const {
        const qint64 pid = owner();
        return pid != 0 && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid))
                               .symLinkTarget()
                               .endsWith(QLatin1String("_32"));
    }
    bool launchIn32BitMode() const {
        const QVariant v =
            PropertyList::readFile(dir.path() +
                                   QStringLiteral("/config/com.quellbay.ZarvNikonCapture.plist"))
                .toMap()
                .value(QStringLiteral("prefLaunchIn32BitMode"));
        return v.toBool();
    }
    // Pictures saved and a connected status after `since` from a program of `bits`.
    bool connectedAndSaved(size_t pictures, bool is32Bit) {
        return waitUntil(
            [&] {
                if (announced().size() < pictures || statusMessages().empty())
                    return false;
                return statusMessages().back().value(QStringLiteral("cameraStatus")).toInt() == 1 &&
                       ownerIs32Bit() == is32Bit;
            },
            kLong);
    }
};

// A camera whose module exists only for i386 makes the 64-bit program hand over to the 32-bit
// one, which connects, saves and announces on the same bus; a camera whose module is 64-bit
// only brings the program back. prefLaunchIn32BitMode follows each switch. The settings are
// stored, not given on the command line: a relaunch starts from the stored ones.
TEST_F(Switch32, SwitchesTo32BitAndBack) {
    writeConfig(QStringLiteral("pictures = 1\n"));
    plugCamera();
    storeSettings({{QStringLiteral("prefSaveFolderPath"), hot},
                   {QStringLiteral("prefHeadlessAcceptsRelaunch"), true},
                   {QStringLiteral("prefNikonLookupTable"),
                    tableNaming(QStringLiteral("ZarvVirtualCamera32 Module.bundle"))}});
    {
        Program program(dir.path(), QStringLiteral("to32"));
        program.start(arguments(), environment());
        ASSERT_TRUE(connectedAndSaved(1, true)) << program.log().toStdString();
        EXPECT_TRUE(program.logContains(QStringLiteral("Relaunching without asking")));
        EXPECT_TRUE(program.logContains(QStringLiteral("exec'ing to path ") + kProgram32));
        EXPECT_TRUE(launchIn32BitMode());
        expectOnlyCompletePictures();
        ::kill(pid_t(owner()), SIGTERM);
        ASSERT_TRUE(waitUntil([&] { return owner() == 0; }, kLong)) << program.log().toStdString();
    }
    // Started again, the 64-bit program goes straight to the 32-bit one, which meets a camera
    // whose module it cannot load and hands back.
    const size_t before = announced().size();
    storeSettings({{QStringLiteral("prefNikonLookupTable"),
                    tableNaming(QStringLiteral("ZarvVirtualCamera Module.bundle"))}});
    Program program(dir.path(), QStringLiteral("to64"));
    program.start(arguments(), environment());
    ASSERT_TRUE(connectedAndSaved(before + 1, false)) << program.log().toStdString();
    EXPECT_TRUE(program.logContains(QStringLiteral("RELaunch in 64Bit mode")));
    EXPECT_FALSE(launchIn32BitMode());
    expectOnlyCompletePictures();
    ::kill(pid_t(owner()), SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return owner() == 0; }, kLong));
}

// The 32-bit program started while the settings ask for the 64-bit one says so and stops.
TEST_F(Switch32, ThirtyTwoBitProgramRefusesWhenNotAskedFor) {
    QProcess program;
    program.setProcessEnvironment(environment());
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(kProgram32, {QStringLiteral("--headless"),
                               QStringLiteral("-prefLaunchIn32BitMode"), QStringLiteral("NO")});
    ASSERT_TRUE(program.waitForFinished(kLong));
    const QString log = QString::fromUtf8(program.readAll());
    EXPECT_TRUE(log.contains(QStringLiteral("!!! This App Cannot Run in the 32bit Mode !!!")))
        << log.toStdString();
    EXPECT_EQ(owner(), 0);
}

} // namespace
