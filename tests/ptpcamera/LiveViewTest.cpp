// Live view over the scripted layer: what the emulated body cannot show, frames that are not
// JPEGs, headers cut short, a body without previews, and shots and events between the frames.

#include "LiveView.h"
#include "ScriptedModule.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

using namespace zarv;
using namespace zarv::ptp;
using namespace zarv::ptp::scripted;
using namespace zarv::ptp::test;

namespace {

// SOI, a comment, a 320x240 baseline frame header, EOI.
std::string jpeg320() {
    std::string j = "\xFF\xD8";
    j += std::string("\xFF\xFE\x00\x05hi\x00", 7);
    j += std::string("\xFF\xC0\x00\x11\x08\x00\xF0\x01\x40\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01",
                     19);
    return j + "\xFF\xD9";
}

class LiveView : public PtpModule {
protected:
    void SetUp() override {
        PtpModule::SetUp();
        script().cameras[0].canPreview = true;
    }
    int32_t setLiveView(uint32_t on) {
        return client.call(&client.source, kNkMAIDCommand_CapSet, kNkMAIDCapability_LiveViewStatus,
                           kNkMAIDDataType_Unsigned, on);
    }
    uint32_t warnings() {
        uint32_t v = 0;
        client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_LiveViewWarnings,
                    kNkMAIDDataType_UnsignedPtr, ptrToWord(&v));
        return v;
    }
    int32_t readFrame(tagNkMAIDLiveViewFrame* f) {
        std::memset(f, 0, sizeof *f);
        f->pData = ptrToWord(buffer.data());
        f->ulSize = uint32_t(buffer.size());
        return client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_LiveViewFrame,
                           kNkMAIDDataType_LiveViewFramePtr, ptrToWord(f));
    }
    bool nextFrame(tagNkMAIDLiveViewFrame* f) {
        int32_t r = kNkMAIDResult_NotAvailable;
        client.pumpUntil([&] {
            r = readFrame(f);
            return r != kNkMAIDResult_NotAvailable;
        });
        return r == kNkMAIDResult_NoError;
    }
    bool offers(uint32_t cap) {
        uint32_t count = 0;
        client.call(&client.source, kNkMAIDCommand_GetCapCount, 0, kNkMAIDDataType_UnsignedPtr,
                    ptrToWord(&count));
        std::vector<tagNkMAIDCapInfo> infos(count);
        client.call(&client.source, kNkMAIDCommand_GetCapInfo, count, kNkMAIDDataType_CapInfoPtr,
                    ptrToWord(infos.data()));
        for (const auto& info : infos)
            if (info.ulID == cap)
                return true;
        return false;
    }
    std::vector<char> buffer = std::vector<char>(1 << 16);
};

} // namespace

TEST(JpegSize, ReadsTheFrameHeaderAndRefusesWhatIsCutShortOrNotAJpeg) {
    uint32_t w = 0, h = 0;
    const std::string good = jpeg320();
    ASSERT_TRUE(jpegSize(good, &w, &h));
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 240u);
    // Every cut before the frame header's size ends is refused, never read past.
    const size_t sizeEnds = good.find("\xFF\xC0") + 9;
    for (size_t n = 0; n < sizeEnds; ++n) {
        const std::vector<char> cut(good.begin(), good.begin() + long(n)); // no bytes past n
        EXPECT_FALSE(jpegSize(std::string_view(cut.data(), cut.size()), &w, &h)) << n;
    }
    EXPECT_FALSE(jpegSize("PNG\x0D\x0A\x1A\x0A and so on", &w, &h));
    // A segment whose length runs past the end, a scan before any frame header, a zero size.
    EXPECT_FALSE(jpegSize(std::string("\xFF\xD8\xFF\xE1\xFF\xFF\x00\x00", 8), &w, &h));
    EXPECT_FALSE(
        jpegSize(std::string("\xFF\xD8\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 12), &w, &h));
    std::string zero = good;
    zero[good.find("\xFF\xC0") + 5] = '\0';
    zero[good.find("\xFF\xC0") + 6] = '\0';
    EXPECT_FALSE(jpegSize(zero, &w, &h));
}

TEST_F(LiveView, OfferedOnlyWhereTheBodyHasPreviews) {
    script().cameras[0].canPreview = false;
    connect();
    EXPECT_FALSE(offers(kNkMAIDCapability_LiveViewFrame));
    EXPECT_FALSE(offers(kNkMAIDCapability_LiveViewStatus));
    EXPECT_EQ(setLiveView(1), kNkMAIDResult_NotSupported);
    client.closeModule();
    script().cameras[0].canPreview = true;
    connect();
    EXPECT_TRUE(offers(kNkMAIDCapability_LiveViewFrame));
    EXPECT_TRUE(offers(kNkMAIDCapability_LiveViewWarnings));
    EXPECT_FALSE(offers(kNkMAIDCapability_FocusPosition));
}

TEST_F(LiveView, AFirstFrameThatIsNoJpegRefusesAndLaterOnesAreDropped) {
    script().previews = {{kGpOk, "<html>not a picture</html>"}};
    connect();
    EXPECT_EQ(setLiveView(1), kNkMAIDResult_NotAvailable);
    EXPECT_EQ(warnings(), kLiveViewRefused);
    EXPECT_EQ(script().values["viewfinder"], "0") << "the viewfinder stays on";

    // A failed fetch, garbage, a JPEG cut before its size: none reaches the program.
    script().previews = {{kGpOk, jpeg320()},
                         {kGpError, ""},
                         {kGpOk, "garbage"},
                         {kGpOk, jpeg320().substr(0, 12)},
                         {kGpOk, jpeg320()}};
    ASSERT_EQ(setLiveView(1), kNkMAIDResult_NoError);
    EXPECT_EQ(script().values["viewfinder"], "1");
    tagNkMAIDLiveViewFrame f{};
    ASSERT_TRUE(nextFrame(&f));
    EXPECT_EQ(f.ullSequence, 1u);
    ASSERT_TRUE(nextFrame(&f)) << "a bad frame ended live view";
    EXPECT_EQ(f.ullSequence, 2u);
    EXPECT_EQ(f.ulWidth, 320u);
    EXPECT_EQ(std::string(buffer.data(), f.ulSize), jpeg320());
    EXPECT_GE(count(&Script::previewCalls), 6);
}

TEST_F(LiveView, RefusalReasonsBecomeWarnings) {
    script().previews = {{kGpError, ""}};
    connect();
    const std::pair<const char*, uint32_t> cases[] = {
        {"Liveview cannot start: Card protected", 0x800},
        {"Liveview cannot start: Card unformatted", 0x4},
        {"Liveview cannot start: Card error", 0x2},
        {"Liveview cannot start: Recording destination card, but no card or card protected", 0x1},
        {"Liveview cannot start: Battery exhausted", kLiveViewRefused},
        {"", kLiveViewRefused},
    };
    for (const auto& [said, bits] : cases) {
        script().message = said;
        EXPECT_EQ(setLiveView(1), kNkMAIDResult_NotAvailable) << said;
        EXPECT_EQ(warnings(), bits) << said;
    }
}

TEST_F(LiveView, AShotGoesFirstAndEventsAreHeardBetweenFrames) {
    script().previews = {{kGpOk, jpeg320()}};
    script().captureAdds = kShot;
    script().addFile(kShot, pattern(3000));
    connect();
    ASSERT_EQ(setLiveView(1), kNkMAIDResult_NoError);
    tagNkMAIDLiveViewFrame f{};
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(nextFrame(&f));
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                          kNkMAIDDataType_Null, 0),
              kNkMAIDResult_NoError);
    // The program keeps reading frames while the shot arrives, however loaded the machine.
    bool arrived = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!arrived && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(nextFrame(&f));
        for (const auto& [event, child] : client.sourceEvents)
            arrived = arrived || event == kNkMAIDEvent_AddChild;
    }
    EXPECT_TRUE(arrived) << "the shot never arrived while frames were read";
    const std::vector<std::string> calls =
        script().read<std::vector<std::string>>([](Script& s) { return s.calls; });
    for (size_t i = 1; i < calls.size(); ++i)
        EXPECT_FALSE(calls[i - 1] == "preview" && calls[i] == "preview")
            << "two frames fetched with no look at the events between, at call " << i;
}
