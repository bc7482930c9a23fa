// The PTP module over the real libgphoto2, talking PTP to its emulated Nikon D750: what a
// photographer's body would show. Captures from the computer into the camera's RAM and onto the
// card, shots on the body, files that are not pictures, idle events that cost nothing, settings
// written alone, the body handed back, and the faults a real body brings: unplugged mid-download
// and plugged in again, busy, held by another program, a full card, a formatted card.

#include "EmulatedCamera.h"
#include "Layer.h"
#include "Pictures.h"
#include "PtpClient.h"

#include <gphoto2/gphoto2-setting.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace zarv;
using namespace zarv::ptp;
using namespace zarv::ptp::test;

namespace {

// The real library, with a count of the calls that read the camera's settings.
struct Counts {
    std::atomic<int> getConfigs{0}, getWidgets{0}, setWidgets{0};
};

class CountingCamera : public Camera {
public:
    CountingCamera(std::unique_ptr<Camera> inner, Counts& counts)
        : inner_(std::move(inner)), counts_(counts) {}
    int list(const std::string& f, std::vector<std::string>* files,
             std::vector<std::string>* folders) override {
        return inner_->list(f, files, folders);
    }
    int fileInfo(const FilePath& f, FileInfo* i) override { return inner_->fileInfo(f, i); }
    int read(const FilePath& f, uint64_t o, char* b, uint64_t* s) override {
        return inner_->read(f, o, b, s);
    }
    int get(const FilePath& f, const Sink& sink) override { return inner_->get(f, sink); }
    int remove(const FilePath& f) override { return inner_->remove(f); }
    int waitEvent(int t, CameraEvent* e) override { return inner_->waitEvent(t, e); }
    int trigger() override { return inner_->trigger(); }
    int preview(std::string* jpeg) override { return inner_->preview(jpeg); }
    std::string takeMessage() override { return inner_->takeMessage(); }
    int getConfig(_CameraWidget** root) override {
        ++counts_.getConfigs;
        return inner_->getConfig(root);
    }
    int setConfig(_CameraWidget* root) override { return inner_->setConfig(root); }
    int getWidget(const std::string& n, _CameraWidget** w) override {
        ++counts_.getWidgets;
        return inner_->getWidget(n, w);
    }
    int setWidget(const std::string& n, _CameraWidget* w) override {
        ++counts_.setWidgets;
        return inner_->setWidget(n, w);
    }
    std::string serialNumber() override { return inner_->serialNumber(); }
    int exit() override { return inner_->exit(); }

private:
    std::unique_ptr<Camera> inner_;
    Counts& counts_;
};

struct CountingLayer : Layer {
    Counts counts;
    int detect(std::vector<FoundCamera>* cameras) override {
        return libgphoto2Layer().detect(cameras);
    }
    int open(const FoundCamera& which, std::unique_ptr<Camera>* camera) override {
        std::unique_ptr<Camera> inner;
        const int rc = libgphoto2Layer().open(which, &inner);
        if (rc >= kGpOk)
            *camera = std::make_unique<CountingCamera>(std::move(inner), counts);
        return rc;
    }
};

class EmulatedModule : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!EmulatedCamera::available(&why))
            GTEST_SKIP() << why;
        cam = std::make_unique<EmulatedCamera>();
        onCard = EmulatedCamera::jpeg(30'000, 1);
        cam->addPicture("DSC_0001.JPG", onCard);
        big = EmulatedCamera::jpeg(3'500'000, 2);
        cam->addSource("big.JPG", big);
        cam->addSource("clip.MOV", std::string(5000, 'm'));
        cam->addSource("raw.NEF", std::string("II*\0", 4) + std::string(60'000, 'n'));
        cam->applyToProcess();
        Options o;
        o.layer = &layer;
        o.handBackAfter = std::chrono::milliseconds(100);
        setOptions(o);
        unfetched().clear();
    }
    void TearDown() override {
        client.closeModule();
        setOptions({});
    }

    // Opens the module and the D750, the program naming its USB location as it does.
    void connect() {
        client = {};
        ASSERT_TRUE(client.openModule());
        ASSERT_EQ(client.call(&client.module, kNkMAIDCommand_CapSet, kNkMAIDCapability_UsbLocation,
                              kNkMAIDDataType_Unsigned, (1u << 16) | 9u),
                  kNkMAIDResult_NoError);
        const std::vector<uint32_t> ids = client.children(&client.module);
        ASSERT_EQ(ids.size(), 1u);
        ASSERT_EQ(client.openSource(ids[0]), kNkMAIDResult_NoError);
        items = 0;
    }
    int32_t capture() {
        return client.call(&client.source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                           kNkMAIDDataType_Null, 0);
    }
    uint32_t nextItem(double seconds = 10) {
        const size_t want = ++items;
        uint32_t id = 0;
        client.pumpUntil(
            [&] {
                size_t seen = 0;
                for (const auto& [event, child] : client.sourceEvents)
                    if (event == kNkMAIDEvent_AddChild && ++seen == want)
                        id = uint32_t(child);
                return id != 0;
            },
            seconds);
        return id;
    }
    // Fetches an item whole; its bytes, or empty when the download failed.
    std::string fetch(uint32_t id) {
        if (client.startAcquire(id) != kNkMAIDResult_NoError || !client.waitForCompletion(30) ||
            client.lastResult != kNkMAIDResult_NoError)
            return {};
        std::string got = client.received;
        client.call(&client.item, kNkMAIDCommand_Close, 0, 0, 0);
        return got;
    }
    uint32_t childCount() { return uint32_t(client.children(&client.source).size()); }

    std::unique_ptr<EmulatedCamera> cam;
    std::string onCard, big;
    CountingLayer layer;
    PtpClient client;
    size_t items = 0;
};

TEST_F(EmulatedModule, ACaptureIntoRamIsSavedAndTheBodyHandedBack) {
    connect();
    ASSERT_EQ(capture(), kNkMAIDResult_NoError);
    const uint32_t id = nextItem();
    ASSERT_NE(id, 0u) << "the picture in RAM never arrived";
    EXPECT_EQ(cam->logCount("capture sdram"), 1);
    EXPECT_EQ(fetch(id), onCard);
    EXPECT_TRUE(client.removesObject);
    EXPECT_EQ(childCount(), 0u) << "the RAM picture stays listed";
    EXPECT_EQ(cam->logCount("getpartialobject"), 0);
    EXPECT_TRUE(cam->waitForLog("controlmode 0", 1, 5000)) << "the body's controls stay locked";
}

TEST_F(EmulatedModule, ACaptureOntoTheCardIsReadInPieces) {
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    connect();
    cam->command("rate 0");
    ASSERT_EQ(capture(), kNkMAIDResult_NoError);
    const uint32_t id = nextItem();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(cam->logCount("capture card"), 1);
    EXPECT_EQ(fetch(id), onCard);
    EXPECT_FALSE(client.removesObject) << "a picture on the card stays there";
    EXPECT_GE(cam->logCount("getpartialobject"), 1);
    EXPECT_EQ(cam->logCount("deleteobject"), 0) << "nothing on the card is deleted";
}

TEST_F(EmulatedModule, ShotsOnTheBodyArriveWithTheirOwnTypesAndOtherFilesStayThere) {
    connect();
    testing::internal::CaptureStderr();
    cam->command("shoot card sources/big.JPG");
    const uint32_t first = nextItem();
    cam->command("shoot sdram sources/raw.NEF");
    const uint32_t second = nextItem();
    cam->command("shoot card sources/clip.MOV");
    cam->command("shoot card");
    const uint32_t fourth = nextItem();
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    ASSERT_NE(fourth, 0u);
    EXPECT_NE(log.find(".MOV is not a picture the program saves"), std::string::npos) << log;
    EXPECT_EQ(fetch(first), big);
    EXPECT_EQ(client.fileType, uint32_t(kNkMAIDFileDataType_JPEG));
    EXPECT_EQ(fetch(second).size(), 60'004u);
    EXPECT_EQ(client.fileType, uint32_t(kNkMAIDFileDataType_NEF));
    EXPECT_EQ(fetch(fourth), onCard);
    // A program that only waits for the body's shots never takes it into PC mode.
    EXPECT_EQ(cam->logCount("controlmode 1"), 0);
}

// The emulated body, as libgphoto2 drives it, reports a property change about a second after
// each read of it, for ever: such events must cost no reads of the camera.
TEST_F(EmulatedModule, IdleEventsReadNothingAndASettingIsWrittenAlone) {
    connect();
    const int configs = layer.counts.getConfigs, widgets = layer.counts.getWidgets;
    client.pumpUntil([] { return false; }, 2.5);
    EXPECT_EQ(layer.counts.getConfigs, configs);
    EXPECT_EQ(layer.counts.getWidgets, widgets);

    tagNkMAIDEnum speed{};
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_ShutterSpeed,
                          kNkMAIDDataType_EnumPtr, ptrToWord(&speed)),
              kNkMAIDResult_NoError);
    ASSERT_GT(speed.ulElements, 2u);
    speed.ulValue = speed.ulValue == 0 ? 1 : 0;
    const uint32_t wanted = speed.ulValue;
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_ShutterSpeed,
                          kNkMAIDDataType_EnumPtr, ptrToWord(&speed)),
              kNkMAIDResult_NoError);
    EXPECT_EQ(cam->logCount("setprop 0x500d"), 1);
    EXPECT_EQ(layer.counts.getConfigs, configs) << "the whole tree was read for one setting";
    tagNkMAIDEnum now{};
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_ShutterSpeed,
                kNkMAIDDataType_EnumPtr, ptrToWord(&now));
    EXPECT_EQ(now.ulValue, wanted);

    // "Save to": libgphoto2 keeps the capture target as a setting of its own.
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_SaveMedia,
                          kNkMAIDDataType_Unsigned, 0),
              kNkMAIDResult_NoError);
    char value[1024] = {};
    char id[] = "ptp2", key[] = "capturetarget";
    ASSERT_GE(gp_setting_get(id, key, value), 0);
    EXPECT_STREQ(value, "card");
}

TEST_F(EmulatedModule, UnpluggedMidDownloadThePictureIsFetchedAfterReplug) {
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    connect();
    cam->command("shoot card sources/big.JPG");
    const uint32_t id = nextItem();
    ASSERT_NE(id, 0u);
    cam->command("rate 2000000"); // 3.5 MB: a second and a half
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.pumpUntil([&] { return !client.pieces.empty(); }, 10));
    cam->command("unplug");
    ASSERT_TRUE(client.waitForCompletion(20));
    EXPECT_NE(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_LT(client.received.size(), big.size());
    ASSERT_TRUE(client.pumpUntil([&] { return !client.moduleEvents.empty(); }, 10));
    EXPECT_EQ(client.moduleEvents.back().first, uint32_t(kNkMAIDEvent_RemoveChild));
    client.closeModule();

    // A picture into RAM taken meanwhile, unplugged before the program asked for it.
    cam->command("rate 0");
    cam->command("plug");
    connect();
    ASSERT_EQ(childCount(), 1u) << "the unfinished picture is not offered again";
    cam->command("shoot sdram");
    ASSERT_NE(nextItem(), 0u);
    cam->command("unplug");
    ASSERT_TRUE(client.pumpUntil([&] { return !client.moduleEvents.empty(); }, 10));
    client.closeModule();

    cam->command("plug");
    connect();
    const std::vector<uint32_t> ids = client.children(&client.source);
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(fetch(ids[0]), big);
    EXPECT_EQ(fetch(ids[1]), onCard);
}

TEST_F(EmulatedModule, ABusyBodyIsAskedAgainAndAHeldOneSaysSo) {
    connect();
    cam->command("busy 3");
    ASSERT_EQ(capture(), kNkMAIDResult_NoError);
    ASSERT_NE(nextItem(), 0u);
    EXPECT_GE(cam->logCount("busy"), 1);
    client.closeModule();

    cam->command("hold");
    client = {};
    ASSERT_TRUE(client.openModule());
    testing::internal::CaptureStderr();
    EXPECT_EQ(client.openSource(), kNkMAIDResult_DeviceHeld);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("another program holds the camera"), std::string::npos) << log;
    cam->command("release");
}

TEST_F(EmulatedModule, AFullCardSaysSoWhileRamStillWorks) {
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    connect();
    testing::internal::CaptureStderr();
    cam->command("full");
    client.pumpUntil([] { return false; }, 0.5);
    EXPECT_NE(capture(), kNkMAIDResult_NoError);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("the card in Nikon DSC D750 is full"), std::string::npos) << log;
    EXPECT_NE(log.find("did not take the picture"), std::string::npos) << log;

    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_SaveMedia,
                          kNkMAIDDataType_Unsigned, 1),
              kNkMAIDResult_NoError);
    ASSERT_EQ(capture(), kNkMAIDResult_NoError);
    const uint32_t id = nextItem();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(fetch(id), onCard);
}

TEST_F(EmulatedModule, AfterAFormatTheRepeatedPathIsANewPicture) {
    connect();
    cam->command("shoot card");
    const uint32_t first = nextItem();
    ASSERT_NE(first, 0u);
    // The same path again a second later: a body's clock counts whole seconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    cam->command("format");
    cam->command("shoot card"); // the same path, and the same size
    const uint32_t second = nextItem();
    ASSERT_NE(second, 0u) << "the picture was taken for the one before the format";
    EXPECT_EQ(fetch(second), onCard);
}

} // namespace

// Live view over the body's preview: the frames a program reads, a shot in between, a refusal
// and the way out.
class EmulatedLiveView : public EmulatedModule {
protected:
    // A JPEG's headers only (JFIF, a quantisation table, a 1024x680 baseline frame header).
    static std::string frameBytes() {
        std::string j = "\xFF\xD8\xFF\xE0";
        j += std::string("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16);
        j += std::string("\xFF\xDB\x00\x43\x00", 5) + std::string(64, '\x01');
        j += std::string("\xFF\xC0\x00\x11\x08\x02\xA8\x04\x00\x03\x01\x22\x00\x02\x11\x01"
                         "\x03\x11\x01",
                         19);
        return j + "\xFF\xD9";
    }
    int32_t setLiveView(uint32_t on) {
        return client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_LiveViewStatus,
                           kNkMAIDDataType_Unsigned, on);
    }
    uint32_t getUnsigned(uint32_t cap) {
        uint32_t v = 0xFFFF;
        EXPECT_EQ(client.call(&client.source, kNkMAIDCommand_CapGet, cap,
                              kNkMAIDDataType_UnsignedPtr, ptrToWord(&v)),
                  kNkMAIDResult_NoError);
        return v;
    }
    int32_t readFrame(tagNkMAIDLiveViewFrame* f, std::vector<char>* buffer) {
        std::memset(f, 0, sizeof *f);
        f->pData = buffer->empty() ? 0 : ptrToWord(buffer->data());
        f->ulSize = uint32_t(buffer->size());
        return client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_LiveViewFrame,
                           kNkMAIDDataType_LiveViewFramePtr, ptrToWord(f));
    }
    // The next frame newer than the last read, pumping meanwhile.
    bool nextFrame(tagNkMAIDLiveViewFrame* f, std::vector<char>* buffer) {
        int32_t r = kNkMAIDResult_NotAvailable;
        client.pumpUntil([&] {
            r = readFrame(f, buffer);
            return r != kNkMAIDResult_NotAvailable;
        });
        return r == kNkMAIDResult_NoError;
    }
};

TEST_F(EmulatedLiveView, FramesArriveAShotIsSavedMeanwhileAndStoppingHandsTheBodyBack) {
    const std::string jpeg = frameBytes();
    cam->command("liveview " + cam->addSource("lv.jpg", jpeg));
    connect();
    EXPECT_EQ(getUnsigned(kNkMAIDCapability_LiveViewStatus), 0u);
    ASSERT_EQ(setLiveView(1), kNkMAIDResult_NoError);
    EXPECT_EQ(cam->logCount("liveviewstart"), 1);
    EXPECT_EQ(getUnsigned(kNkMAIDCapability_LiveViewStatus), 1u);

    std::vector<char> buffer(1 << 20);
    tagNkMAIDLiveViewFrame f{};
    uint64_t last = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(nextFrame(&f, &buffer)) << "frame " << i;
        EXPECT_GT(f.ullSequence, last);
        last = f.ullSequence;
        EXPECT_EQ(f.ulWidth, 1024u);
        EXPECT_EQ(f.ulHeight, 680u);
        ASSERT_EQ(f.ulSize, jpeg.size());
        EXPECT_EQ(std::string(buffer.data(), f.ulSize), jpeg);
    }
    // Read once only; a buffer too small learns the size and gets the same frame next.
    EXPECT_EQ(readFrame(&f, &buffer), kNkMAIDResult_NotAvailable);
    std::vector<char> small(8);
    client.pumpUntil([&] { return readFrame(&f, &small) != kNkMAIDResult_NotAvailable; });
    EXPECT_EQ(readFrame(&f, &small), kNkMAIDResult_ValueOutOfRange);
    EXPECT_EQ(f.ulSize, jpeg.size());
    const uint64_t held = f.ullSequence;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(readFrame(&f, &buffer), kNkMAIDResult_NoError);
    EXPECT_EQ(f.ullSequence, held);
    last = held;

    ASSERT_EQ(capture(), kNkMAIDResult_NoError);
    const uint32_t id = nextItem();
    ASSERT_NE(id, 0u) << "the shot during live view never arrived";
    EXPECT_EQ(fetch(id), onCard);
    ASSERT_TRUE(nextFrame(&f, &buffer)) << "live view ended with the shot";
    EXPECT_GT(f.ullSequence, last);
    EXPECT_EQ(cam->logCount("controlmode 0"), 0) << "handed back while live view runs";

    const int before = cam->logCount("liveviewimage");
    ASSERT_EQ(setLiveView(0), kNkMAIDResult_NoError);
    EXPECT_EQ(cam->logCount("liveviewend"), 1);
    EXPECT_TRUE(cam->waitForLog("controlmode 0", 1, 5000)) << "the body's controls stay locked";
    EXPECT_EQ(getUnsigned(kNkMAIDCapability_LiveViewStatus), 0u);
    EXPECT_EQ(readFrame(&f, &buffer), kNkMAIDResult_UnexpectedError);
    client.pumpUntil([] { return false; }, 0.3);
    EXPECT_LE(cam->logCount("liveviewimage"), before + 1) << "frames fetched after the stop";
}

TEST_F(EmulatedLiveView, ARefusalSaysWhyAndClosingOrUnpluggingEndsIt) {
    connect();
    cam->command("set d1a4 0x100000"); // the card is not formatted
    EXPECT_EQ(setLiveView(1), kNkMAIDResult_NotAvailable);
    EXPECT_EQ(getUnsigned(kNkMAIDCapability_LiveViewWarnings), 0x4u);
    EXPECT_EQ(getUnsigned(kNkMAIDCapability_LiveViewStatus), 0u);
    EXPECT_EQ(cam->logCount("liveviewstart"), 0);

    cam->command("set d1a4 0");
    ASSERT_EQ(setLiveView(1), kNkMAIDResult_NoError);
    EXPECT_EQ(getUnsigned(kNkMAIDCapability_LiveViewWarnings), 0u);
    std::vector<char> buffer(1 << 16);
    tagNkMAIDLiveViewFrame f{};
    ASSERT_TRUE(nextFrame(&f, &buffer));
    EXPECT_EQ(f.ulWidth, 640u); // the body's own frame
    EXPECT_EQ(f.ulHeight, 424u);
    client.closeModule();
    EXPECT_EQ(cam->logCount("liveviewend"), 1);
    EXPECT_GE(cam->logCount("controlmode 0"), 1);

    connect();
    ASSERT_EQ(setLiveView(1), kNkMAIDResult_NoError);
    ASSERT_TRUE(nextFrame(&f, &buffer));
    cam->command("unplug");
    ASSERT_TRUE(client.pumpUntil([&] {
        return readFrame(&f, &buffer) == kNkMAIDResult_UnexpectedError;
    })) << "live view goes on without the body";
}
