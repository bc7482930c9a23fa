// The PTP module over the scripted layer: arrival, capture, downloads in pieces, the size check,
// removal, busy and held cameras, settings both ways, and the session ended on close.

#include "ScriptedModule.h"

namespace {

TEST_F(PtpModule, TheCameraIsASourceNamedAfterItsModel) {
    ASSERT_TRUE(client.openModule());
    tagNkMAIDEnum children{};
    ASSERT_EQ(client.call(&client.module, kNkMAIDCommand_CapGet, kNkMAIDCapability_Children,
                          kNkMAIDDataType_EnumPtr, ptrToWord(&children)),
              kNkMAIDResult_NoError);
    ASSERT_EQ(children.ulElements, 1u);
    ASSERT_EQ(client.openSource(), kNkMAIDResult_NoError);
    char name[256] = {};
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_Name,
                          kNkMAIDDataType_StringPtr, ptrToWord(name)),
              kNkMAIDResult_NoError);
    EXPECT_STREQ(name, "Nikon DSC D850");
    uint32_t type = 0;
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_CameraType,
                kNkMAIDDataType_UnsignedPtr, ptrToWord(&type));
    EXPECT_EQ(type, 0x0441u);

    // The capability list names the model and offers the camera's settings.
    uint32_t n = 0;
    client.call(&client.source, kNkMAIDCommand_GetCapCount, 0, kNkMAIDDataType_UnsignedPtr,
                ptrToWord(&n));
    std::vector<tagNkMAIDCapInfo> infos(n);
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_GetCapInfo, n, kNkMAIDDataType_CapInfoPtr,
                          ptrToWord(infos.data())),
              kNkMAIDResult_NoError);
    bool sawName = false, sawSpeed = false;
    for (const auto& info : infos) {
        sawName = sawName || (info.ulID == kNkMAIDCapability_Name &&
                              std::string(info.szDescription) == "Nikon DSC D850");
        sawSpeed = sawSpeed || (info.ulID == kNkMAIDCapability_ShutterSpeed &&
                                info.ulType == kNkMAIDCapType_Enum);
    }
    EXPECT_TRUE(sawName);
    EXPECT_TRUE(sawSpeed);
    // A camera has one session at a time.
    tagNkMAIDObject again{};
    EXPECT_NE(client.open(&client.module, 1, &again), kNkMAIDResult_NoError);
}

TEST_F(PtpModule, CaptureAndBodyShotsArriveAsItemsAndDownloadInPieces) {
    connect();
    const std::string bytes = pattern(4500);
    script().addFile(kShot, bytes);
    script().captureAdds = kShot;
    ASSERT_EQ(client.callAsync(&client.source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                               kNkMAIDDataType_Null, 0),
              kNkMAIDResult_NoError);
    EXPECT_EQ(count(&Script::triggers), 1);
    const uint32_t id = client.waitForItem(++shots);
    ASSERT_NE(id, 0u);

    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_TRUE(client.received == bytes);
    EXPECT_EQ(client.pieces, (std::vector<uint32_t>{1000, 1000, 1000, 1000, 500}));
    EXPECT_LE(script().largestRead, 1000u);
    client.call(&client.item, kNkMAIDCommand_Close, 0, 0, 0);

    // A picture taken with the body's own release, and one announced twice, make one item each.
    const std::string nef = "/store_00010001/DCIM/100D850/DSC_0002.NEF";
    const uint32_t second = shoot(nef, pattern(10));
    EXPECT_NE(second, id);
    CameraEvent dup;
    dup.kind = CameraEvent::FileAdded;
    dup.file = pathOf(nef);
    script().push(kGpOk, dup);
    client.pumpUntil([] { return false; }, 0.1);
    size_t adds = 0;
    for (const auto& [event, data] : client.sourceEvents)
        adds += event == kNkMAIDEvent_AddChild;
    EXPECT_EQ(adds, 2u);
}

TEST_F(PtpModule, ADownloadShorterThanAnnouncedFails) {
    connect();
    const uint32_t id = shoot(kShot, pattern(3000));
    {
        std::lock_guard lock(script().mutex);
        script().files[kShot].cutAt = 2000; // the library says all went well
    }
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_NE(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_EQ(client.received.size(), 2000u);
}

TEST_F(PtpModule, AFileLargerThanAnnouncedDeliversOnlyTheAnnouncedBytes) {
    connect();
    const std::string bytes = pattern(3000);
    script().addFile(kShot, bytes);
    {
        std::lock_guard lock(script().mutex);
        script().files[kShot].announced = 2500;
    }
    CameraEvent e;
    e.kind = CameraEvent::FileAdded;
    e.file = pathOf(kShot);
    script().push(kGpOk, e);
    const uint32_t id = client.waitForItem(1);
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_TRUE(client.received == bytes.substr(0, 2500));
}

TEST_F(PtpModule, RemovalMidDownloadIsReportedAndEndsTheAcquire) {
    for (const int code : {int(kGpIo), int(kGpUsbFind)}) {
        SCOPED_TRACE(code);
        client = {};
        shots = 0;
        layer.script = std::make_shared<Script>();
        script().buildConfig = &nikonTree;
        connect();
        const uint32_t id = shoot(kShot, pattern(5000));
        {
            std::lock_guard lock(script().mutex);
            script().readsBeforeFailure = 2;
            script().readFailure = code;
        }
        ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
        ASSERT_TRUE(client.waitForCompletion());
        EXPECT_NE(client.lastResult, kNkMAIDResult_NoError);
        EXPECT_LE(client.received.size(), 2000u);
        ASSERT_TRUE(client.pumpUntil([&] { return !client.moduleEvents.empty(); }));
        EXPECT_EQ(client.moduleEvents.front(),
                  std::make_pair(uint32_t(kNkMAIDEvent_RemoveChild), uint64_t(1)));
        // The camera is gone: no more children, no capture, and its session still ends.
        EXPECT_NE(client.callAsync(&client.source, kNkMAIDCommand_CapStart,
                                   kNkMAIDCapability_Capture, kNkMAIDDataType_Null, 0),
                  kNkMAIDResult_NoError);
        client.closeModule();
        EXPECT_EQ(count(&Script::exits), 1);
    }
}

TEST_F(PtpModule, RemovalWhileIdleIsReportedOnce) {
    connect();
    script().push(kGpUsbFind);
    script().push(kGpIo);
    ASSERT_TRUE(client.pumpUntil([&] { return !client.moduleEvents.empty(); }));
    client.pumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(client.moduleEvents.size(), 1u);
    tagNkMAIDEnum children{};
    client.call(&client.module, kNkMAIDCommand_CapGet, kNkMAIDCapability_Children,
                kNkMAIDDataType_EnumPtr, ptrToWord(&children));
    EXPECT_EQ(children.ulElements, 0u);
}

TEST_F(PtpModule, AHeldCameraCannotBeOpenedAndSaysSo) {
    script().openResult = kGpUsbClaim;
    ASSERT_TRUE(client.openModule());
    testing::internal::CaptureStderr();
    // Its own result, so that the program can name the holder rather than report a failure.
    EXPECT_EQ(client.openSource(), kNkMAIDResult_DeviceHeld);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("cannot claim Nikon DSC D850 on usb:001,007"), std::string::npos) << log;
    EXPECT_NE(log.find("unmount"), std::string::npos) << log;
}

TEST_F(PtpModule, ABusyCameraIsAskedAgain) {
    connect();
    script().busyAnswers = 3;
    EXPECT_EQ(client.call(&client.source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                          kNkMAIDDataType_Null, 0),
              kNkMAIDResult_NoError);
    EXPECT_EQ(count(&Script::triggers), 1);
    // Busy for longer than the module waits: the capture fails rather than hanging.
    script().busyAnswers = 100;
    EXPECT_NE(client.call(&client.source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                          kNkMAIDDataType_Null, 0),
              kNkMAIDResult_NoError);
    EXPECT_EQ(count(&Script::triggers), 1);
}

TEST_F(PtpModule, SettingsAreReadAndWrittenThroughTheWidgets) {
    connect();
    tagNkMAIDEnum e{};
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_ShutterSpeed,
                          kNkMAIDDataType_EnumPtr, ptrToWord(&e)),
              kNkMAIDResult_NoError);
    ASSERT_EQ(e.ulElements, 5u);
    EXPECT_EQ(e.ulValue, 1u);
    std::vector<char> texts(e.ulElements * e.wPhysicalBytes);
    e.pData = ptrToWord(texts.data());
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapGetArray,
                          kNkMAIDCapability_ShutterSpeed, kNkMAIDDataType_EnumPtr, ptrToWord(&e)),
              kNkMAIDResult_NoError);
    EXPECT_STREQ(texts.data() + 2 * 256, "1/60");
    // An array too small for the choices is refused, not overrun.
    tagNkMAIDEnum small = e;
    small.ulElements = 2;
    EXPECT_NE(client.call(&client.source, kNkMAIDCommand_CapGetArray,
                          kNkMAIDCapability_ShutterSpeed, kNkMAIDDataType_EnumPtr,
                          ptrToWord(&small)),
              kNkMAIDResult_NoError);

    e.ulValue = 2;
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_ShutterSpeed,
                          kNkMAIDDataType_EnumPtr, ptrToWord(&e)),
              kNkMAIDResult_NoError);
    {
        std::lock_guard lock(script().mutex);
        EXPECT_EQ(script().values["shutterspeed"], "1/60");
        // The widget alone: a whole tree takes seconds on some bodies.
        EXPECT_EQ(script().setWidgets, 1);
        EXPECT_EQ(script().setConfigs, 0);
    }
    tagNkMAIDEnum now{};
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_ShutterSpeed,
                kNkMAIDDataType_EnumPtr, ptrToWord(&now));
    EXPECT_EQ(now.ulValue, 2u);

    tagNkMAIDRange r{};
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_ExposureComp,
                          kNkMAIDDataType_RangePtr, ptrToWord(&r)),
              kNkMAIDResult_NoError);
    EXPECT_EQ(r.ulSteps, 7u);
    r.ulValueIndex = 7;
    EXPECT_EQ(client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_ExposureComp,
                          kNkMAIDDataType_RangePtr, ptrToWord(&r)),
              kNkMAIDResult_ValueOutOfRange);
    EXPECT_EQ(client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_SaveMedia,
                          kNkMAIDDataType_Unsigned, 0),
              kNkMAIDResult_NoError);
    uint32_t media = 9;
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_SaveMedia,
                kNkMAIDDataType_UnsignedPtr, ptrToWord(&media));
    EXPECT_EQ(media, 0u);
    // A setting changed on the body: the event names it and its value, so the camera is not
    // asked; a value the setting does not list is read again from that widget alone.
    const int configsBefore = count(&Script::getConfigs);
    const int widgetsBefore = count(&Script::getWidgets);
    const auto iso = [&] {
        tagNkMAIDEnum value{};
        client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_Sensitivity,
                    kNkMAIDDataType_EnumPtr, ptrToWord(&value));
        return value;
    };
    CameraEvent changed;
    changed.kind = CameraEvent::Other;
    changed.text = "PTP Property 500f changed, \"iso\" to \"800\"";
    script().push(kGpOk, changed);
    EXPECT_TRUE(client.pumpUntil([&] { return iso().ulValue == 3; }));
    EXPECT_EQ(count(&Script::getWidgets), widgetsBefore);
    {
        std::lock_guard lock(script().mutex);
        script().values["iso"] = "25600";
    }
    changed.text = "PTP Property 500f changed, \"iso\" to \"25600\"";
    script().push(kGpOk, changed);
    EXPECT_TRUE(client.pumpUntil([&] { return iso().ulElements == 5; })) << "not read again";
    EXPECT_EQ(count(&Script::getWidgets), widgetsBefore + 1);
    // Changes of what the program does not show cost nothing.
    changed.text = "PTP Property 5001 changed, \"batterylevel\" to \"50%\"";
    script().push(kGpOk, changed);
    client.pumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(count(&Script::getWidgets), widgetsBefore + 1);
    EXPECT_EQ(count(&Script::getConfigs), configsBefore);
}

TEST_F(PtpModule, ClosingMidDownloadStopsDeliveryAndEndsTheSession) {
    connect();
    const uint32_t id = shoot(kShot, pattern(20000));
    client.closeInDataProc = true;
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_NE(client.lastResult, kNkMAIDResult_NoError);
    client.pumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(client.pieces.size(), 1u);
    EXPECT_EQ(client.completions, 1);

    client.closeModule();
    EXPECT_EQ(count(&Script::exits), 1);
}

TEST_F(PtpModule, ClosingTheSourceHandsTheBodyBackAndAllowsAnotherSession) {
    connect();
    EXPECT_EQ(client.call(&client.source, kNkMAIDCommand_Close, 0, 0, 0), kNkMAIDResult_NoError);
    EXPECT_EQ(count(&Script::exits), 1);
    EXPECT_EQ(client.openSource(), kNkMAIDResult_NoError);
    client.closeModule();
    EXPECT_EQ(count(&Script::exits), 2);
}

TEST_F(PtpModule, CardContentsBecomeItemsOnlyWhenAsked) {
    script().addFile("/DCIM/100D850/OLD_0001.JPG", pattern(50));
    connect();
    tagNkMAIDEnum children{};
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_Children,
                kNkMAIDDataType_EnumPtr, ptrToWord(&children));
    EXPECT_EQ(children.ulElements, 0u);
    client.closeModule();

    Options o;
    o.layer = &layer;
    o.listCard = true;
    o.pollMs = 5;
    setOptions(o);
    client = {};
    connect();
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_Children,
                kNkMAIDDataType_EnumPtr, ptrToWord(&children));
    EXPECT_EQ(children.ulElements, 1u);
}

} // namespace

namespace {

TEST_F(PtpModule, CamerasComeAndGoBetweenLookups) {
    ASSERT_TRUE(client.openModule());
    const auto children = [&] { return client.children(&client.module).size(); };
    ASSERT_EQ(children(), 1u);
    {
        std::lock_guard lock(script().mutex);
        script().cameras.push_back({"Nikon DSC D750", "usb:001,009", 0x0437});
    }
    ASSERT_EQ(client.call(&client.module, kNkMAIDCommand_EnumChildren, 0, 0, 0),
              kNkMAIDResult_NoError);
    EXPECT_EQ(children(), 2u);
    // Unplugged before the program opened it: it is no longer offered.
    {
        std::lock_guard lock(script().mutex);
        script().cameras.erase(script().cameras.begin());
    }
    client.call(&client.module, kNkMAIDCommand_EnumChildren, 0, 0, 0);
    EXPECT_EQ(children(), 1u);
    EXPECT_NE(client.openSource(1), kNkMAIDResult_NoError);
    EXPECT_EQ(client.openSource(2), kNkMAIDResult_NoError);
}

} // namespace

namespace {

// One camera unplugged and another plugged in while the first one's session is open: the module
// reports the first one's removal, offers the second, and both sessions end cleanly.
TEST_F(PtpModule, ACameraSwappedWhileOpenIsRemovedAndTheOtherOffered) {
    connect();
    const uint32_t first = shoot(kShot, pattern(3000));
    ASSERT_NE(first, 0u);
    {
        std::lock_guard lock(script().mutex);
        script().cameras = {{"Nikon DSC D750", "usb:001,009", 0x0437}};
    }
    script().push(kGpIo); // the first body is gone
    ASSERT_TRUE(client.pumpUntil([&] { return !client.moduleEvents.empty(); }));
    EXPECT_EQ(client.moduleEvents.front(),
              std::make_pair(uint32_t(kNkMAIDEvent_RemoveChild), uint64_t(1)));
    // Its picture can no longer be fetched, and the attempt ends rather than hangs.
    const int32_t started = client.startAcquire(first);
    if (started == kNkMAIDResult_NoError) {
        ASSERT_TRUE(client.waitForCompletion());
        EXPECT_NE(client.lastResult, kNkMAIDResult_NoError);
    }

    ASSERT_EQ(client.call(&client.module, kNkMAIDCommand_EnumChildren, 0, 0, 0),
              kNkMAIDResult_NoError);
    std::vector<uint64_t> added;
    client.pumpUntil([&] {
        added.clear();
        for (const auto& [event, id] : client.moduleEvents)
            if (event == kNkMAIDEvent_AddChild)
                added.push_back(id);
        return !added.empty();
    });
    ASSERT_EQ(added.size(), 1u);
    EXPECT_NE(added.front(), 1u) << "the unplugged camera is offered again";

    // The program closes the first session and opens the second.
    EXPECT_EQ(client.call(&client.source, kNkMAIDCommand_Close, 0, 0, 0), kNkMAIDResult_NoError);
    EXPECT_EQ(count(&Script::exits), 1);
    ASSERT_EQ(client.openSource(uint32_t(added.front())), kNkMAIDResult_NoError);
    char name[256] = {};
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_Name,
                          kNkMAIDDataType_StringPtr, ptrToWord(name)),
              kNkMAIDResult_NoError);
    EXPECT_STREQ(name, "Nikon DSC D750");
    const std::string nef = "/store_00010001/DCIM/100D750/DSC_0001.NEF";
    const uint32_t second = shoot(nef, pattern(1500));
    ASSERT_NE(second, 0u);
    ASSERT_EQ(client.startAcquire(second), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_EQ(client.received.size(), 1500u);
    client.closeModule();
    EXPECT_EQ(count(&Script::exits), 2);
}

} // namespace
