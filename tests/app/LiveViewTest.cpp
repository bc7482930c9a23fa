// Live view between the camera queue and those who show it, with a scripted camera.

#include "app/LiveView.h"
#include "TestSupport.h"
#include "app/CameraSession.h"
#include "platform/Dispatch.h"

#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

using namespace zarv;
using namespace zarv::test;

namespace {

// A camera whose live view gives a new frame at every read, unless told otherwise.
class LiveCamera : public CameraSession {
public:
    QVariantMap fUsbDeviceInfo() const override { return {}; }
    void setFUsbDeviceInfo(const QVariantMap&) override {}
    int16_t FindCamera() override { return 0; }
    std::optional<QString> GetPathToModule() override { return std::nullopt; }
    bool isCameraConnected() override { return true; }
    bool CloseMyCamera() override { return true; }
    int16_t UnloadCamera() override { return 0; }
    int16_t GrabImage() override { return 0; }
    void SaveImage() override {}

    LiveViewStart StartLiveView(QString* why) override {
        ++starts;
        if (refuse) {
            *why = QStringLiteral("Card full");
            return LiveViewStart::Refused;
        }
        running = true;
        return LiveViewStart::Started;
    }
    bool StopLiveView() override {
        ++stops;
        running = false;
        return true;
    }
    LiveViewRead ReadLiveViewFrame(LiveViewFrame* frame) override {
        ++reads;
        if (!running || gone)
            return LiveViewRead::NotRunning;
        if (silent)
            return LiveViewRead::NoNewFrame;
        frame->sequence = ++sequence;
        frame->jpeg = QByteArray::number(qulonglong(sequence));
        return LiveViewRead::Frame;
    }

    std::atomic<int> starts{0}, stops{0}, reads{0};
    std::atomic<bool> running{false}, refuse{false}, gone{false}, silent{false};
    std::atomic<uint64_t> sequence{0};
};

class LiveViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        LiveView::Hooks hooks;
        hooks.cameraQueue = queue.get();
        hooks.session = [this] { return camera; };
        hooks.saveWaiting = [this] { return saveWaiting.load(); };
        hooks.pollMs = 2;
        live = std::make_unique<LiveView>(hooks);
    }
    void TearDown() override { live.reset(); }

    std::shared_ptr<DispatchQueue> queue = DispatchQueue::createSerial("test.live.camera");
    std::shared_ptr<LiveCamera> camera = std::make_shared<LiveCamera>();
    std::atomic<bool> saveWaiting{false};
    std::unique_ptr<LiveView> live;
};

TEST_F(LiveViewTest, OneFrameWaitsAtMostAndTheNewestIsTheOneTaken) {
    std::atomic<int> ready{0};
    QObject::connect(live.get(), &LiveView::frameReady, [&] { ++ready; });
    live->hold(LiveView::WindowHolder);
    ASSERT_TRUE(waitUntil([&] { return live->framesRead() >= 20; }));
    // Nobody took a frame: one was announced, the rest replaced it.
    EXPECT_EQ(ready.load(), 1);
    EXPECT_GE(live->framesDropped(), live->framesRead() - 2);
    const std::optional<LiveViewFrame> frame = live->takeFrame();
    ASSERT_TRUE(frame);
    EXPECT_GE(frame->sequence, 19u) << "the newest, not the first";
    EXPECT_EQ(live->state(), LiveView::State::Running);

    // A second holder keeps it running after the first lets go; the last one stops it.
    live->hold(LiveView::RemoteHolder);
    live->release(LiveView::WindowHolder);
    queue->sync([] {});
    EXPECT_TRUE(camera->running);
    live->release(LiveView::RemoteHolder);
    queue->sync([] {});
    EXPECT_FALSE(camera->running);
    EXPECT_EQ(camera->starts.load(), 1);
    EXPECT_EQ(live->state(), LiveView::State::Stopped);
}

TEST_F(LiveViewTest, AWaitingSaveGoesBeforeAnyFrameRead) {
    live->hold(LiveView::WindowHolder);
    ASSERT_TRUE(waitUntil([&] { return live->framesRead() > 0; }));
    saveWaiting = true;
    queue->sync([] {}); // a read under way ends
    const int reads = camera->reads;
    QThread::msleep(50);
    EXPECT_EQ(camera->reads.load(), reads) << "no frame read while a picture waits";
    saveWaiting = false;
    EXPECT_TRUE(waitUntil([&] { return camera->reads > reads; }));
}

TEST_F(LiveViewTest, ARefusalOrACameraThatLeavesEndsItForEveryHolder) {
    camera->refuse = true;
    std::optional<bool> started;
    QString why;
    live->hold(LiveView::RemoteHolder, [&](bool ok, const QString& text) {
        started = ok;
        why = text;
    });
    queue->sync([] {});
    ASSERT_TRUE(started);
    EXPECT_FALSE(*started);
    EXPECT_EQ(why, "Card full");
    EXPECT_EQ(live->state(), LiveView::State::Refused);
    EXPECT_EQ(live->stateText(), "Card full");
    std::optional<QString> frameWhy;
    live->grabFrame([&](std::optional<LiveViewFrame> frame, const QString& text) {
        EXPECT_FALSE(frame);
        frameWhy = text;
    });
    queue->sync([] {});
    EXPECT_EQ(frameWhy, "Card full") << "the frame's own start was refused too";

    camera->refuse = false;
    live->hold(LiveView::WindowHolder);
    ASSERT_TRUE(waitUntil([&] { return live->framesRead() > 0; }));
    camera->gone = true;
    ASSERT_TRUE(waitUntil([&] { return live->state() == LiveView::State::Stopped; }));
    EXPECT_FALSE(live->stateText().isEmpty());
    EXPECT_FALSE(live->takeFrame()) << "a stale frame is not shown after the end";
    // Nobody holds it any more: a camera that comes back does not start it by itself.
    camera->gone = false;
    queue->sync([] {});
    QThread::msleep(20);
    EXPECT_EQ(camera->starts.load(), 3);
}

TEST_F(LiveViewTest, AFrameAskedForStartsLiveViewForItAloneOrGivesUp) {
    std::optional<LiveViewFrame> got;
    std::atomic<bool> answered{false};
    live->grabFrame([&](std::optional<LiveViewFrame> frame, const QString&) {
        got = frame;
        answered = true;
    });
    ASSERT_TRUE(waitUntil([&] { return answered.load(); }));
    ASSERT_TRUE(got);
    queue->sync([] {});
    EXPECT_FALSE(camera->running) << "stopped again: nobody else wanted it";
    EXPECT_FALSE(live->takeFrame()) << "the window's slot stays empty without the window";

    // A camera that never gives a frame: the request gives up in time, and stops live view.
    camera->silent = true;
    answered = false;
    QString why;
    live->grabFrame(
        [&](std::optional<LiveViewFrame> frame, const QString& text) {
            got = frame;
            why = text;
            answered = true;
        },
        100);
    ASSERT_TRUE(waitUntil([&] { return answered.load(); }));
    EXPECT_FALSE(got);
    EXPECT_FALSE(why.isEmpty());
    queue->sync([] {});
    EXPECT_FALSE(camera->running);
}

} // namespace
