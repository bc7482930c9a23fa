// Pictures through the PTP module over the scripted layer: the paths a Nikon studio uses
// (pictures in the camera's RAM, cameras without partial reads), files that are not pictures,
// pictures that wait for the body's return, the camera the program asked for, the body handed
// back after a capture, and a download that never makes the program spin.

#include "ScriptedModule.h"

#include <chrono>

namespace {

const std::string kRam = "//capt0000.jpg";

// A capture into the camera's RAM as libgphoto2 announces it: outside the card, no size.
void addRamPicture(Script& s, const std::string& path, const std::string& bytes) {
    s.addFile(path, bytes);
    std::lock_guard lock(s.mutex);
    s.files[path].sized = false;
}

CameraEvent added(const std::string& path) {
    CameraEvent e;
    e.kind = CameraEvent::FileAdded;
    e.file = pathOf(path);
    return e;
}

TEST_F(PtpModule, APictureInRamIsFetchedAtOnceAndLeavesTheCameraOnceDelivered) {
    connect();
    const std::string bytes = pattern(4200);
    addRamPicture(script(), kRam, bytes);
    script().push(kGpOk, added(kRam));
    const uint32_t id = client.waitForItem(1);
    ASSERT_NE(id, 0u);
    {
        // Fetched whole before the camera was asked for anything else, and the library's copy
        // freed: libgphoto2 keeps only its last two such pictures.
        std::lock_guard lock(script().mutex);
        EXPECT_EQ(script().wholeGets, 1);
        EXPECT_EQ(script().reads, 0);
        EXPECT_EQ(script().removed, std::vector<std::string>{kRam});
    }
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_TRUE(client.received == bytes);
    EXPECT_EQ(client.pieces, (std::vector<uint32_t>{1000, 1000, 1000, 1000, 200}));
    EXPECT_EQ(client.fileType, uint32_t(kNkMAIDFileDataType_JPEG));
    EXPECT_TRUE(client.removesObject) << "the program must know the camera no longer has it";
    EXPECT_TRUE(client.children(&client.source).empty());
}

TEST_F(PtpModule, WithoutPartialReadsOrWhenTheyFailThePictureComesWhole) {
    connect();
    const std::string bytes = pattern(5500);
    {
        std::lock_guard lock(script().mutex);
        script().partialReads = false;
    }
    uint32_t id = shoot(kShot, bytes);
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_TRUE(client.received == bytes);
    EXPECT_EQ(client.pieces.size(), 6u) << "pieces of the whole file keep the piece size";
    EXPECT_FALSE(client.removesObject) << "a picture on the card stays there";
    client.call(&client.item, kNkMAIDCommand_Close, 0, 0, 0);

    // Partial reads that stop answering half way: the rest comes from the whole file.
    const std::string nef = "/store_00010001/DCIM/100D850/DSC_0002.NEF";
    {
        std::lock_guard lock(script().mutex);
        script().partialReads = true;
        script().readsBeforeFailure = 2;
        script().readFailure = kGpError;
    }
    id = shoot(nef, bytes);
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_TRUE(client.received == bytes);
    EXPECT_EQ(client.fileType, uint32_t(kNkMAIDFileDataType_NEF));
    EXPECT_EQ(count(&Script::wholeGets), 2);
}

TEST_F(PtpModule, FilesThatAreNotPicturesAreLeftOnTheCameraAndSaidSo) {
    connect();
    testing::internal::CaptureStderr();
    const std::string movie = "/store_00010001/DCIM/100D850/DSC_0003.MOV";
    script().addFile(movie, pattern(100));
    script().push(kGpOk, added(movie));
    const std::string hif = "/store_00010001/DCIM/100D850/DSC_0004.HIF";
    const uint32_t id = shoot(hif, pattern(100));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(movie + " is not a picture the program saves"), std::string::npos) << log;
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.fileType, uint32_t(kNkMAIDFileDataType_HEIF));
    size_t adds = 0;
    for (const auto& [event, data] : client.sourceEvents)
        adds += event == kNkMAIDEvent_AddChild;
    EXPECT_EQ(adds, 1u);
    EXPECT_EQ(count(&Script::deleted), 0);
}

// Pictures the body announced and the program had not fetched when it left are offered again
// when it comes back: from the card where they still are, from memory for those taken into
// RAM. Another body does not get them.
TEST_F(PtpModule, PicturesNotFetchedWaitForTheBodysReturn) {
    connect();
    const std::string card = pattern(3000), ram = pattern(2000);
    shoot(kShot, card);
    addRamPicture(script(), kRam, ram);
    script().push(kGpOk, added(kRam));
    client.waitForItem(++shots);
    const std::string gone = "/store_00010001/DCIM/100D850/DSC_0009.JPG";
    shoot(gone, pattern(10));
    script().push(kGpIo); // unplugged
    ASSERT_TRUE(client.pumpUntil([&] { return !client.moduleEvents.empty(); }));
    client.closeModule();

    {
        std::lock_guard lock(script().mutex);
        script().files.erase(gone); // deleted on the body meanwhile
    }
    client = {};
    shots = 0;
    testing::internal::CaptureStderr();
    connect();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(gone + ", announced before and not fetched, is no longer on the camera"),
              std::string::npos)
        << log;
    const std::vector<uint32_t> ids = client.children(&client.source);
    ASSERT_EQ(ids.size(), 2u);
    std::string got;
    for (uint32_t i = 0; i < 2; ++i) {
        ASSERT_EQ(client.startAcquire(ids[i]), kNkMAIDResult_NoError);
        ASSERT_TRUE(client.waitForCompletion());
        EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
        got += client.received;
        client.call(&client.item, kNkMAIDCommand_Close, 0, 0, 0);
    }
    EXPECT_TRUE(got == card + ram);
    client.closeModule();

    // Fetched once is enough; and a body with another serial number is another body.
    client = {};
    connect();
    EXPECT_TRUE(client.children(&client.source).empty());
    client.closeModule();
    addRamPicture(script(), kRam, ram);
    script().push(kGpOk, added(kRam));
    client = {};
    connect();
    client.waitForItem(1);
    script().push(kGpIo);
    ASSERT_TRUE(client.pumpUntil([&] { return !client.moduleEvents.empty(); }));
    client.closeModule();
    {
        std::lock_guard lock(script().mutex);
        script().serial = "3009999";
    }
    client = {};
    connect();
    EXPECT_TRUE(client.children(&client.source).empty());
}

TEST_F(PtpModule, ARepeatedPathWithANewTimeIsANewPicture) {
    connect();
    shoot(kShot, pattern(100));
    script().push(kGpOk, added(kShot)); // announced twice: the same picture
    client.pumpUntil([] { return false; }, 0.2);
    {
        std::lock_guard lock(script().mutex);
        script().files[kShot].mtime += 60; // the card was formatted and numbering restarted
    }
    script().push(kGpOk, added(kShot));
    EXPECT_NE(client.waitForItem(2), 0u);
    size_t adds = 0;
    for (const auto& [event, data] : client.sourceEvents)
        adds += event == kNkMAIDEvent_AddChild;
    EXPECT_EQ(adds, 2u);
}

TEST_F(PtpModule, TheModuleOffersOnlyTheCameraTheProgramAskedFor) {
    {
        std::lock_guard lock(script().mutex);
        script().cameras = {{"Mass Storage Camera", "disk:/media/card", 0, true},
                            {"Nikon DSC D750", "usb:001,009", 0x0437, true},
                            {"Nikon DSC D850", "usb:001,007", 0x0441, true}};
    }
    ASSERT_TRUE(client.openModule());
    EXPECT_EQ(client.children(&client.module).size(), 2u) << "a card reader is not a camera";
    ASSERT_EQ(client.call(&client.module, kNkMAIDCommand_CapSet, kNkMAIDCapability_UsbLocation,
                          kNkMAIDDataType_Unsigned, (1u << 16) | 7u),
              kNkMAIDResult_NoError);
    const std::vector<uint32_t> ids = client.children(&client.module);
    ASSERT_EQ(ids.size(), 1u);
    ASSERT_EQ(client.openSource(ids[0]), kNkMAIDResult_NoError);
    char name[256] = {};
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_Name,
                kNkMAIDDataType_StringPtr, ptrToWord(name));
    EXPECT_STREQ(name, "Nikon DSC D850");
}

TEST_F(PtpModule, AfterACaptureTheBodyIsHandedBackToItsOwnControls) {
    connect();
    script().addFile(kShot, pattern(100));
    script().captureAdds = kShot;
    {
        std::lock_guard lock(script().mutex);
        script().values["controlmode"] = "1"; // the trigger took it into PC mode
    }
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                          kNkMAIDDataType_Null, 0),
              kNkMAIDResult_NoError);
    client.waitForItem(1);
    EXPECT_TRUE(client.pumpUntil([&] {
        std::lock_guard lock(script().mutex);
        return script().values["controlmode"] == "0";
    })) << "the body's own controls stay locked";
    // A module that only waits for the body's own shots never touches it.
    const int writes = count(&Script::setWidgets);
    shoot("/store_00010001/DCIM/100D850/DSC_0002.JPG", pattern(10));
    client.pumpUntil([] { return false; }, 0.2);
    EXPECT_EQ(count(&Script::setWidgets), writes);
}

TEST_F(PtpModule, ACaptureOnAFullCardSaysSo) {
    connect();
    {
        std::lock_guard lock(script().mutex);
        script().triggerResult = kGpNoSpace;
    }
    testing::internal::CaptureStderr();
    EXPECT_NE(client.call(&client.source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                          kNkMAIDDataType_Null, 0),
              kNkMAIDResult_NoError);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("the card is full"), std::string::npos) << log;
}

// The pieces of a picture follow one another as fast as the camera gives them, whatever the
// event poll is, and a program waiting for them is not kept spinning meanwhile.
TEST_F(PtpModule, ADownloadNeitherWaitsForThePollNorSpins) {
    Options o;
    o.layer = &layer;
    o.pieceSize = 1000;
    o.pollMs = 1000;
    setOptions(o);
    connect();
    const uint32_t id = shoot(kShot, pattern(10000));
    {
        std::lock_guard lock(script().mutex);
        script().readDelayMs = 20;
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion(20));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    // Ten reads of 20 ms; a poll between pieces would take ten seconds.
    EXPECT_LT(seconds, 4.0);
    // About one pump per piece and per 10 ms wait; a spinning pump makes thousands.
    EXPECT_LT(client.pumps, 200) << "in " << seconds << " s";
}

} // namespace
