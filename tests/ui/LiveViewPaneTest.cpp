// The Live View tab: decoding at the view's size, peaking, the meter, and the pane holding live
// view only while it shows, with a scripted camera.

#include "ui/LiveViewPane.h"
#include "TestSupport.h"
#include "app/CameraSession.h"
#include "app/LiveView.h"
#include "platform/Dispatch.h"

#include <QBuffer>
#include <QJsonArray>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>

using namespace zarv;
using namespace zarv::test;

namespace {

QByteArray jpegOf(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes;
}

// Left half: black and white bars with hard edges; right half: the same bars blurred into a
// smooth ramp.
QImage sharpAndSoft(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    for (int x = 0; x < size.width() / 2; ++x)
        p.fillRect(x, 0, 1, size.height(), (x / 16) % 2 ? Qt::white : Qt::black);
    for (int x = size.width() / 2; x < size.width(); ++x) {
        const int level = int(127.5 + 127.5 * std::sin(x * 3.14159 / 64));
        p.fillRect(x, 0, 1, size.height(), QColor(level, level, level));
    }
    return image;
}

LiveViewFrame frameOf(const QImage& image, uint64_t sequence = 1) {
    LiveViewFrame frame;
    frame.jpeg = jpegOf(image);
    frame.size = image.size();
    frame.sequence = sequence;
    return frame;
}

int marked(const QImage& overlay, const QRect& area) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += qAlpha(overlay.pixel(x, y)) > 0;
    return n;
}

TEST(LiveViewRendering, DecodesForTheViewKeepsFullSizeWhenAskedAndMarksOnlySharpEdges) {
    const LiveViewFrame frame = frameOf(sharpAndSoft({1024, 680}));
    LiveViewRenderOptions options;
    options.view = {512, 400};
    LiveViewPicture picture = renderLiveViewFrame(frame, options);
    ASSERT_TRUE(picture.error.isEmpty()) << picture.error.toStdString();
    EXPECT_EQ(picture.image.size(), QSize(512, 340));
    EXPECT_EQ(picture.frameSize, QSize(1024, 680));
    EXPECT_TRUE(picture.full.isNull());
    EXPECT_TRUE(picture.peaking.isNull());

    options.full = true;
    options.peaking = true;
    picture = renderLiveViewFrame(frame, options);
    EXPECT_EQ(picture.full.size(), QSize(1024, 680));
    EXPECT_EQ(picture.image.size(), QSize(512, 340));
    ASSERT_EQ(picture.peaking.size(), picture.image.size());
    const int sharp = marked(picture.peaking, QRect(8, 8, 240, 320));
    const int soft = marked(picture.peaking, QRect(264, 8, 240, 320));
    EXPECT_GT(sharp, 1000);
    EXPECT_EQ(soft, 0) << "a smooth ramp is not in focus";

    // A view larger than the frame shows it at its own size.
    options = {};
    options.view = {4000, 4000};
    EXPECT_EQ(renderLiveViewFrame(frame, options).image.size(), QSize(1024, 680));
}

TEST(LiveViewRendering, BrokenFramesGiveATextAndNoPicture) {
    LiveViewRenderOptions options;
    options.view = {512, 400};
    const QByteArray whole = frameOf(sharpAndSoft({320, 200})).jpeg;
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("not a picture"), whole.left(20), QByteArray(4096, '\xff')}) {
        LiveViewFrame frame;
        frame.jpeg = bytes;
        const LiveViewPicture picture = renderLiveViewFrame(frame, options);
        EXPECT_FALSE(picture.error.isEmpty()) << bytes.size();
        EXPECT_TRUE(picture.image.isNull());
    }
    // A header that claims a huge picture is refused before anything is decoded.
    QByteArray huge = whole;
    const qsizetype sof = huge.indexOf(QByteArray("\xff\xc0", 2));
    ASSERT_GT(sof, 0);
    huge[sof + 5] = '\xff';
    huge[sof + 6] = '\xff';
    huge[sof + 7] = '\xff';
    huge[sof + 8] = '\xff';
    LiveViewFrame frame;
    frame.jpeg = huge;
    EXPECT_FALSE(renderLiveViewFrame(frame, options).error.isEmpty());
}

TEST(LiveViewRendering, TheMeterCountsTheLastSecondAndTheWaits) {
    LiveViewMeter meter;
    EXPECT_EQ(meter.percentileMs(0.95), 0);
    const int64_t ms = 1000000;
    for (int i = 0; i < 60; ++i) // two seconds at 30 frames per second, 10 ms after each read
        meter.painted(i * 33 * ms, i * 33 * ms + 10 * ms);
    EXPECT_NEAR(meter.framesPerSecond(59 * 33 * ms + 10 * ms), 30, 1);
    EXPECT_EQ(meter.percentileMs(0.5), 10);
    meter.painted(0, 400 * ms); // far too late: counted in the last bucket
    EXPECT_EQ(meter.waits().back(), 1u);
    EXPECT_EQ(meter.percentileMs(1.0), LiveViewMeter::kLongestMs);
    EXPECT_EQ(meter.paintedCount(), 61u);
}

// A camera whose live view gives a real frame at every read.
class FrameCamera : public CameraSession {
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
    LiveViewStart StartLiveView(QString*) override {
        running = true;
        return LiveViewStart::Started;
    }
    bool StopLiveView() override {
        running = false;
        return true;
    }
    LiveViewRead ReadLiveViewFrame(LiveViewFrame* frame) override {
        if (!running)
            return LiveViewRead::NotRunning;
        *frame = prototype;
        frame->sequence = ++sequence;
        frame->readAtNs = liveViewClockNs();
        return LiveViewRead::Frame;
    }
    std::optional<LiveViewFocus> ReadLiveViewFocus() override {
        return LiveViewFocus{focus, 0, 100};
    }
    bool SetLiveViewFocus(double value) override {
        focus = value;
        return true;
    }

    LiveViewFrame prototype = frameOf(sharpAndSoft({640, 400}));
    std::atomic<bool> running{false};
    std::atomic<uint64_t> sequence{0};
    std::atomic<double> focus{30};
};

TEST(LiveViewPaneTest, PaintsFramesOnlyWhileActiveAndFocusesTheCamera) {
    auto queue = DispatchQueue::createSerial("test.pane.camera");
    auto camera = std::make_shared<FrameCamera>();
    LiveView::Hooks hooks;
    hooks.cameraQueue = queue.get();
    hooks.session = [camera] { return camera; };
    hooks.pollMs = 10;
    LiveView live(hooks);
    std::atomic<int> taken{0};
    {
        LiveViewPane pane(live, [&] { ++taken; });
        pane.resize(700, 500);
        pane.show();
        EXPECT_EQ(pane.statusText(), "Live view is off.");
        pane.setActive(true);
        ASSERT_TRUE(waitUntil([&] { return pane.meter().paintedCount() >= 10; }));
        EXPECT_TRUE(pane.statusText().startsWith("Live view")) << pane.statusText().toStdString();
        EXPECT_LE(pane.picture().image.width(), 640);
        EXPECT_EQ(pane.state().value("frameWidth").toInt(), 640);

        // Peaking and the 100 % view are made with the next frames.
        pane.setPeakingShown(true);
        pane.setZoomShown(true);
        pane.pointAt({0.5, 0.5});
        ASSERT_TRUE(waitUntil(
            [&] { return !pane.picture().peaking.isNull() && !pane.picture().full.isNull(); }));

        auto* focus = pane.findChild<QSlider*>("liveViewFocus");
        ASSERT_NE(focus, nullptr);
        EXPECT_TRUE(focus->isVisibleTo(&pane));
        EXPECT_EQ(focus->value(), 300) << "the camera's position, read at the start";
        focus->setValue(600);
        EXPECT_TRUE(waitUntil([&] { return camera->focus == 60.0; }));

        pane.findChild<QPushButton*>("liveViewTakePicture")->click();
        EXPECT_EQ(taken.load(), 1);

        pane.setActive(false);
        queue->sync([] {});
        EXPECT_FALSE(camera->running) << "a hidden pane lets live view go";
        const uint64_t painted = pane.meter().paintedCount();
        QCoreApplication::processEvents();
        QThread::msleep(50);
        QCoreApplication::processEvents();
        EXPECT_EQ(pane.meter().paintedCount(), painted);
        pane.setActive(true);
    }
    queue->sync([] {});
    EXPECT_FALSE(camera->running) << "a pane that goes away lets live view go";
}

} // namespace
