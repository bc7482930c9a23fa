// Finding the module for a camera, connecting, closing and the probe, against the virtual
// camera loaded for real and against crafted modules.

#include "SessionTestSupport.h"

#include <QElapsedTimer>

#include <dlfcn.h>

using namespace zarv;
using namespace zarv::test;

namespace {

TEST(CapabilityTable, TwentySevenRowsNamedByTheirKeys) {
    const QVariantMap table = ZarvNikonBaseCameraHandler::GetCapabilityTable();
    ASSERT_EQ(table.size(), 27);
    for (auto it = table.begin(); it != table.end(); ++it) {
        const QVariantMap row = it.value().toMap();
        EXPECT_EQ(row.size(), 3);
        EXPECT_EQ(row.value("kNkMAIDCapability").toString(), it.key());
        EXPECT_EQ(row.value("value").typeId(), QMetaType::Int);
    }
    // Every code and kind is checked against the camera by the settings tests.
    auto row = [&](const char* name) { return table.value(name).toMap(); };
    EXPECT_EQ(row("kNkMAIDCapability_LiveViewImageZoomRate").value("value").toInt(), 33343);
    EXPECT_EQ(row("kNkMAIDCapability_FocusPreferredArea").value("valuetype"), "enumtype");
    EXPECT_EQ(row("kNkMAIDCapability_SaveMedia").value("valuetype"), "unsignedtype");
    EXPECT_FALSE(table.contains("kNkMAIDCapability_MeteringMode"));
    EXPECT_EQ(ZarvNikonBaseCameraHandler::getCapabilityTypeStringFromCapability(
                  kNkMAIDCapability_CompressionLevel),
              QStringLiteral("enumstring"));
    EXPECT_FALSE(ZarvNikonBaseCameraHandler::getCapabilityTypeStringFromCapability(
        kNkMAIDCapability_ImageSize));
}

TEST_F(SessionTest, ConnectsCloseAndReopenWithoutReloading) {
    ZarvNikonBaseCameraHandler& s = newSession();
    EXPECT_FALSE(s.isCameraConnected());
    EXPECT_EQ(s.GetPathToModule(), modulePath(kVirtualCameraModule));

    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_GE(clock.elapsed(), 740) << "the module is given its 750 ms after controller mode";
    EXPECT_TRUE(s.fModuleLoaded());
    EXPECT_TRUE(s.isCameraConnected());
    ASSERT_NE(pRefMod, nullptr);
    ASSERT_NE(pRefSrc, nullptr);
    EXPECT_EQ(ulSrcID, 1u);
    EXPECT_EQ(pRefSrc->parent, pRefMod);
    EXPECT_TRUE(waitForSetting("prefNameOfCameraFound", kVirtualCameraName));
    EXPECT_EQ(logCount("self.fUsbDeviceInfo ="), 1);

    EXPECT_TRUE(s.CloseMyCamera());
    EXPECT_FALSE(s.isCameraConnected());
    EXPECT_EQ(pRefMod, nullptr);
    EXPECT_EQ(pRefSrc, nullptr);
    EXPECT_EQ(ulSrcID, 0u);
    EXPECT_TRUE(s.fModuleLoaded()) << "the bundle stays loaded";

    // Reopened from the loaded bundle, even after something else bound another entry point.
    g_pMAIDEntryPoint = nullptr;
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_TRUE(s.isCameraConnected());
    EXPECT_EQ(logCount("self.fUsbDeviceInfo ="), 1) << "no second load";

    // Every way down, twice over, frees nothing twice and leaks nothing.
    EXPECT_TRUE(s.CloseMyCamera());
    EXPECT_TRUE(s.CloseMyCamera());
    EXPECT_EQ(s.CleanUp(), 0);
    EXPECT_EQ(s.CleanUp(), 0);
    EXPECT_EQ(s.UnloadCamera(), 0);
    EXPECT_EQ(s.UnloadCamera(), 0);
    EXPECT_FALSE(s.fModuleLoaded());
    EXPECT_EQ(g_pMAIDEntryPoint, nullptr);
    EXPECT_FALSE(s.isCameraConnected());

    // After an unload the next connection loads the bundle again.
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_EQ(logCount("self.fUsbDeviceInfo ="), 2);
    EXPECT_EQ(s.UnloadCamera(), 0) << "closes the open camera before unloading";
    EXPECT_EQ(pRefMod, nullptr);
}

TEST_F(SessionTest, ASessionNeverCallsAnotherSessionsModule) {
    ZarvNikonBaseCameraHandler& a = newSession();
    ASSERT_EQ(a.FindCamera(), 0);
    EXPECT_TRUE(a.CloseMyCamera());
    {
        ZarvNikonBaseCameraHandler b;
        b.setFUsbDeviceInfo(deviceInfo("Crafted1"));
        EXPECT_EQ(b.FindCamera(), -9090);
    }
    // The other session's bundle replaced this one's: it is loaded again, not called through.
    QFile::remove(craftedLog);
    ASSERT_EQ(a.FindCamera(), 0);
    EXPECT_TRUE(craftedEvents().isEmpty());
    EXPECT_EQ(logCount("self.fUsbDeviceInfo ="), 3);
    EXPECT_TRUE(a.CloseMyCamera());
}

TEST_F(SessionTest, CleanUpForgetsTheModuleWithoutClosingIt) {
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_EQ(s.CleanUp(), 0);
    EXPECT_FALSE(s.isCameraConnected());
    EXPECT_EQ(pRefMod, nullptr);
    // The virtual camera still holds its module object open, so it refuses a second one.
    EXPECT_EQ(s.FindCamera(), -9090);
    EXPECT_EQ(logCount("Module object can't be opened"), 1);
    EXPECT_EQ(pRefMod, nullptr);
}

TEST_F(SessionTest, ResultCodesForModulesThatCannotBeUsed) {
    // Unknown model, no "Unknown Module.bundle": -2.
    EXPECT_EQ(newSession(QStringLiteral("Mystery Cam")).FindCamera(), -2);
    EXPECT_EQ(logCount("Unable to find corresponding module...."), 1);
    EXPECT_FALSE(session->GetPathToModule());

    // The table names a module that is not installed: -3.
    EXPECT_EQ(newSession(QStringLiteral("Missing Cam")).FindCamera(), -3);
    EXPECT_EQ(logCount("module not found at path: " + modulePath("Missing Module.bundle")), 1);

    // A module for the other architecture only: -4, and nothing loaded.
    ASSERT_TRUE(QFile::exists(kVirtualCamera32Bundle)) << "the i386 virtual camera is built";
    ASSERT_TRUE(QFile::link(kVirtualCamera32Bundle,
                            modulePath(QStringLiteral("ZarvVirtualCamera32 Module.bundle"))));
    EXPECT_EQ(newSession(QStringLiteral("Old Cam")).FindCamera(), -4);
    EXPECT_EQ(logCount("needs to be running in: 64Bit Mode"), 1);
    EXPECT_FALSE(session->fModuleLoaded());
    EXPECT_EQ(g_pMAIDEntryPoint, nullptr);

    // An executable the loader refuses: -1, with the loader's reason for the status line.
    const QString broken = modulePath(QStringLiteral("Broken Module.bundle"));
    QDir().mkpath(broken + "/Contents/MacOS");
    PropertyList::writeFile(broken + "/Contents/Info.plist",
                            QVariantMap{{"CFBundleExecutable", "Broken"}});
    {
        QFile source(QStringLiteral(ZARV_CRAFTED_DIR "/crafted2"));
        ASSERT_TRUE(source.open(QIODevice::ReadOnly));
        QFile out(broken + "/Contents/MacOS/Broken");
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(source.read(200)); // an x86_64 header and nothing behind it
    }
    EXPECT_EQ(newSession(QStringLiteral("Broken Cam")).FindCamera(), -1);
    const QString message = setting("prefCameraConnectionMessage").toString();
    EXPECT_TRUE(message.contains(broken + "/Contents/MacOS/Broken")) << message.toStdString();
    EXPECT_EQ(logCount("UNAble to load bundle with error = " + message), 1);
    EXPECT_FALSE(session->fModuleLoaded());

    // A bundle without the entry point: -1.
    EXPECT_EQ(newSession(QStringLiteral("Crafted5")).FindCamera(), -1);
    EXPECT_FALSE(session->fModuleLoaded());
    EXPECT_EQ(g_pMAIDEntryPoint, nullptr);

    // A module that refuses to open: -9090, and no tree left behind.
    EXPECT_EQ(newSession(QStringLiteral("Crafted1")).FindCamera(), -9090);
    EXPECT_TRUE(session->fModuleLoaded());
    EXPECT_EQ(pRefMod, nullptr);
    EXPECT_EQ(session->UnloadCamera(), 0);
}

TEST_F(SessionTest, TheUsersLookupTableReplacesTheBuiltInOne) {
    UserDefaults::standard().setObject(
        "prefNikonLookupTable",
        QVariantMap{
            {"Studio Cam", lookupEntry("Studio Cam", kVirtualCameraModule, 31233)},
            {"Sneaky Cam", lookupEntry("Sneaky Cam", "../modules/" + kVirtualCameraModule, 1)}});
    // Known only to the built-in table: unknown now.
    EXPECT_EQ(newSession(kVirtualCameraName).FindCamera(), -2);
    // A module name that reaches out of the module folder is never loaded.
    EXPECT_EQ(newSession(QStringLiteral("Sneaky Cam")).FindCamera(), -3);
    EXPECT_FALSE(session->fModuleLoaded());
    // Known only to the user's table: connected through it.
    ASSERT_EQ(newSession(QStringLiteral("Studio Cam")).FindCamera(), 0);
    EXPECT_TRUE(waitForSetting("prefNameOfCameraFound", "Studio Cam"));
    EXPECT_TRUE(session->CloseMyCamera());
}

// The module cannot open a camera another program holds: the controller is told so, to name the
// holder, rather than of a failure.
TEST_F(SessionTest, ACameraHeldByAnotherProgramIsReportedAsHeld) {
    ZarvNikonBaseCameraHandler& s = newSession(QStringLiteral("Crafted6"));
    EXPECT_EQ(s.FindCamera(), kFindCameraDeviceHeld);
    EXPECT_EQ(logCount("Crafted6 is held by another program"), 1);
    EXPECT_EQ(logCount("Source object can't be opened"), 0);
    EXPECT_FALSE(s.isCameraConnected());
}

TEST_F(SessionTest, FindCameraGivesUpAfterTenTriesAndClosesTheModule) {
    ZarvNikonBaseCameraHandler& s = newSession(QStringLiteral("Crafted2"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(s.FindCamera(), -1);
    EXPECT_GE(clock.elapsed(), 3200);
    EXPECT_EQ(logCount("inside findcamera - looping retyrcount"), 10);
    EXPECT_EQ(logCount("SelectSource returned false"), 1);
    EXPECT_EQ(pRefMod, nullptr);
    EXPECT_FALSE(s.isCameraConnected());
    EXPECT_EQ(craftedEvents(), (QStringList{"open 1", "close 1"}));
}

TEST_F(SessionTest, AFailureRaisedByTheModuleEndsFindCameraWithMinusOne) {
    ZarvNikonBaseCameraHandler& s = newSession(QStringLiteral("Crafted3"));
    EXPECT_EQ(s.FindCamera(), -1);
    EXPECT_EQ(pRefMod, nullptr);
    EXPECT_EQ(craftedEvents(), (QStringList{"open 1", "close 1"})) << "nothing left open";
    // Short of memory for the module's records: -1, and the next try works.
    SetMaidAllocationLimit(0);
    EXPECT_EQ(newSession().FindCamera(), -1);
    EXPECT_EQ(logCount("There is not enough memory."), 1);
    EXPECT_EQ(pRefMod, nullptr);
    SetMaidAllocationLimit(-1);
    EXPECT_EQ(session->FindCamera(), 0);
}

TEST_F(SessionTest, DroppingAConnectedSessionClosesItsCamera) {
    ASSERT_EQ(newSession().FindCamera(), 0);
    // The controller drops the old session before making the next one; the camera must open
    // again for it.
    session.reset();
    EXPECT_EQ(pRefMod, nullptr);
    ASSERT_EQ(newSession().FindCamera(), 0);
    EXPECT_TRUE(session->isCameraConnected());
}

TEST_F(SessionTest, TheProbeFindsTheCameraAndLeavesNothingOpen) {
    ZarvNikonBaseCameraHandler& s = newSession();
    EXPECT_EQ(s.SearchCameraWithModulePath(modulePath(kVirtualCameraModule)), 0);
    EXPECT_EQ(logCount("found camera on retrycount = 3"), 1);
    EXPECT_TRUE(waitForSetting("prefNameOfCameraFound", kVirtualCameraName));
    EXPECT_FALSE(s.fModuleLoaded());
    EXPECT_EQ(pRefMod, nullptr);
    EXPECT_EQ(g_pMAIDEntryPoint, nullptr) << "the probe's module is gone";
    // The module was closed: the session can open it.
    EXPECT_EQ(s.FindCamera(), 0);
    EXPECT_TRUE(s.CloseMyCamera());

    // A probe of another bundle while the session's bundle is loaded leaves the session's entry
    // point bound, and the session reconnects through it.
    EXPECT_EQ(s.SearchCameraWithModulePath(modulePath(crafted(1))), -1);
    EXPECT_EQ(s.FindCamera(), 0);
    EXPECT_TRUE(s.isCameraConnected());
    EXPECT_TRUE(s.CloseMyCamera());

    EXPECT_EQ(s.SearchCameraWithModulePath(modulePath("Nothing Module.bundle")), -1);
    EXPECT_EQ(s.SearchCameraWithModulePath(modulePath(crafted(5))), -1);
}

TEST_F(SessionTest, TheProbeGivesUpAfterFourTriesAndUnloadsItsBundle) {
    ZarvNikonBaseCameraHandler& s = newSession(QStringLiteral("Crafted2"));
    const QString executable = modulePath(crafted(2)) + "/Contents/MacOS/crafted2";
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(s.SearchCameraWithModulePath(modulePath(crafted(2))), -1);
    EXPECT_GE(clock.elapsed(), 1700);
    EXPECT_EQ(logCount("SearchCameraWithModulePath: => looping retyrcount"), 4);
    EXPECT_EQ(craftedEvents(), (QStringList{"open 1", "close 1"}));
    EXPECT_EQ(dlopen(QFile::encodeName(executable).constData(), RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the module's code is unloaded";
    EXPECT_EQ(pRefMod, nullptr);
    EXPECT_EQ(g_pMAIDEntryPoint, nullptr);

    // A module that fails its child list during the probe: -1, closed all the same.
    QFile::remove(craftedLog);
    EXPECT_EQ(s.SearchCameraWithModulePath(modulePath(crafted(3))), -1);
    EXPECT_EQ(craftedEvents(), (QStringList{"open 1", "close 1"}));
}

} // namespace
