// Live view through the session, against the virtual camera.

#include "SessionTestSupport.h"

#include <QElapsedTimer>
#include <QImage>

#include <chrono>
#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

class LiveViewSessionTest : public SessionTest {
protected:
    // The next frame newer than the last read, within a couple of seconds.
    static LiveViewRead nextFrame(ZarvNikonBaseCameraHandler& s, LiveViewFrame* frame) {
        QElapsedTimer waited;
        waited.start();
        LiveViewRead read = LiveViewRead::NoNewFrame;
        while ((read = s.ReadLiveViewFrame(frame)) == LiveViewRead::NoNewFrame &&
               waited.elapsed() < 3000)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return read;
    }
};

TEST_F(LiveViewSessionTest, FramesFlowWhileAPictureIsTakenAndSaved) {
    setCameraConfig("pictures = 0\nliveview_fps = 30\nliveview_size = 640x400\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    LiveViewFrame frame;
    EXPECT_EQ(s.ReadLiveViewFrame(&frame), LiveViewRead::NotRunning) << "before any start";
    ASSERT_EQ(s.FindCamera(), 0);
    QString why;
    ASSERT_EQ(s.StartLiveView(&why), LiveViewStart::Started) << why.toStdString();
    ASSERT_EQ(nextFrame(s, &frame), LiveViewRead::Frame);
    const uint64_t first = frame.sequence;
    EXPECT_EQ(frame.size, QSize(640, 400));
    EXPECT_EQ(QImage::fromData(frame.jpeg, "JPEG").size(), QSize(640, 400));
    EXPECT_TRUE(QRect(QPoint(), frame.size).contains(frame.focusArea));
    EXPECT_GT(frame.readAtNs, 0);

    ASSERT_EQ(s.GrabImage(), 0);
    ASSERT_TRUE(s.CheckIfNewImageGrabbed());
    s.SaveImage();
    EXPECT_EQ(QDir(saveFolder).entryList(QDir::Files).size(), 1);
    ASSERT_EQ(nextFrame(s, &frame), LiveViewRead::Frame) << "live view outlives the shot";
    EXPECT_GT(frame.sequence, first);

    // The focus moves within the camera's range.
    const std::optional<LiveViewFocus> focus = s.ReadLiveViewFocus();
    ASSERT_TRUE(focus);
    EXPECT_EQ(focus->lower, 0);
    EXPECT_EQ(focus->upper, 100);
    EXPECT_TRUE(s.SetLiveViewFocus(250));
    EXPECT_EQ(s.ReadLiveViewFocus()->value, 100) << "clamped to the range";

    EXPECT_TRUE(s.StopLiveView());
    EXPECT_FALSE(s.isLiveViewRunning());
    EXPECT_EQ(s.ReadLiveViewFrame(&frame), LiveViewRead::NotRunning);

    // A camera closed while live view runs leaves it stopped, and the next connection starts
    // without it.
    ASSERT_EQ(s.StartLiveView(&why), LiveViewStart::Started);
    EXPECT_TRUE(s.CloseMyCamera());
    EXPECT_EQ(s.ReadLiveViewFrame(&frame), LiveViewRead::NotRunning);
    EXPECT_EQ(s.StartLiveView(&why), LiveViewStart::Unsupported);
    EXPECT_EQ(why, "No camera is connected.");
}

TEST_F(LiveViewSessionTest, ALargeFrameGrowsTheBufferAndARefusalNamesItsReasons) {
    // In focus, the scene's hard edges make a frame of this size outgrow the first buffer.
    setCameraConfig("liveview_fps = 30\nliveview_size = 4000x2500\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    ASSERT_TRUE(s.SetLiveViewFocus(60));
    QString why;
    ASSERT_EQ(s.StartLiveView(&why), LiveViewStart::Started);
    LiveViewFrame frame;
    ASSERT_EQ(nextFrame(s, &frame), LiveViewRead::Frame);
    EXPECT_EQ(frame.size, QSize(4000, 2500));
    EXPECT_EQ(QImage::fromData(frame.jpeg, "JPEG").size(), QSize(4000, 2500))
        << frame.jpeg.size() << " bytes: the whole frame, not the first buffer's worth";
    EXPECT_GT(frame.jpeg.size(), 512 * 1024) << "larger than the first buffer";
    EXPECT_TRUE(s.StopLiveView());
    EXPECT_TRUE(s.CloseMyCamera());

    setCameraConfig("liveview_refuse = 0x5\n");
    ZarvNikonBaseCameraHandler& refused = newSession();
    ASSERT_EQ(refused.FindCamera(), 0);
    EXPECT_EQ(refused.StartLiveView(&why), LiveViewStart::Refused);
    EXPECT_EQ(why, "Card unformatted, No card");
    EXPECT_FALSE(refused.isLiveViewRunning());
    EXPECT_EQ(refused.ReadLiveViewFrame(&frame), LiveViewRead::NotRunning);
}

} // namespace
