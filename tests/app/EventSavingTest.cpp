// Saving on the camera's own announcement of a picture, against the scan timer: what a burst
// gives with either path, and what a camera that announces nothing still gets.

#include "EndToEndSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

class EventSaving : public EndToEnd {
protected:
    // Frames the camera delivers in turn, each a tiny JPEG stream telling its number, so that
    // the order of the files can be read back from them.
    QString framesConfig(int frames) {
        QString text;
        for (int i = 0; i < frames; ++i) {
            const QString name = QStringLiteral("frame%1.jpg").arg(i);
            QFile f(dir.filePath(name));
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(QByteArray("\xFF\xD8", 2) + frameText(i) + QByteArray("\xFF\xD9", 2));
            text += QStringLiteral("picture = %1\n").arg(name);
        }
        return text;
    }
    static QByteArray frameText(int i) { return QStringLiteral("frame %1;").arg(i).toUtf8(); }

    // The program's announcements of pictures, in the order they came.
    std::vector<QString> announcedInOrder() const {
        std::vector<QString> paths;
        for (const QVariantMap& m : named(QStringLiteral("zarvXNotification")))
            if (m.contains(QStringLiteral("filePath")) &&
                m.value(QStringLiteral("senderApp")).toString() == kSenderApp)
                paths.push_back(m.value(QStringLiteral("filePath")).toString());
        return paths;
    }

    // A burst of `frames` taken on one request: every frame on disk once, under the camera's
    // naming, announced once, in the order it was shot.
    void expectWholeBurst(Program& program, int frames) {
        ASSERT_TRUE(waitForPictures(size_t(frames))) << program.log().toStdString();
        // Give a frame announced twice the time to show.
        waitUntil([] { return false; }, 300);
        const std::vector<QString> paths = announcedInOrder();
        ASSERT_EQ(paths.size(), size_t(frames)) << "a picture announced twice";
        EXPECT_EQ(QDir(hot).entryList(QDir::Files).size(), frames);
        expectOnlyCompletePictures();
        for (int i = 0; i < frames; ++i) {
            QFile f(paths[size_t(i)]);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << paths[size_t(i)].toStdString();
            EXPECT_TRUE(f.readAll().contains(frameText(i)))
                << "announcement " << i << " is not frame " << i;
            // The time stamps in the names follow the shots.
            if (i > 0) {
                EXPECT_LT(QFileInfo(paths[size_t(i - 1)]).fileName(),
                          QFileInfo(paths[size_t(i)]).fileName());
            }
        }
    }

    QStringList scanEvery(const QString& seconds, bool onEvent) {
        return arguments({QStringLiteral("-prefScanForNewImageInSeconds"), seconds,
                          QStringLiteral("-prefSaveOnCameraEvent"),
                          onEvent ? QStringLiteral("YES") : QStringLiteral("NO")});
    }
};

// With the scan timer an hour away, the pictures waiting at connection and each frame of a burst
// reach the hot folder at once; 20 pictures in all, none lost.
TEST_F(EventSaving, PicturesArriveWithoutAnyTickAndABurstLosesNothing) {
    writeConfig(framesConfig(20) + QStringLiteral("pictures = 2\nburst = 18\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(scanEvery(QStringLiteral("3600"), true), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    ASSERT_TRUE(waitForPictures(2)) << "those waiting at connection\n"
                                    << program.log().toStdString();
    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    expectWholeBurst(program, 20);
    EXPECT_FALSE(program.logContains(QStringLiteral("self.fTimer ->")));
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// The setting off: the timer alone drains the same burst, one picture per tick.
TEST_F(EventSaving, WithTheSettingOffTheTimerAloneDrainsABurst) {
    writeConfig(framesConfig(20) + QStringLiteral("burst = 20\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(scanEvery(QStringLiteral("0.05"), false), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    expectWholeBurst(program, 20);
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// A camera that never announces its pictures: with the event path on, the timer still saves
// them all.
TEST_F(EventSaving, ACameraThatAnnouncesNothingIsSavedByTheTimer) {
    writeConfig(framesConfig(3) + QStringLiteral("burst = 3\nannounce_shots = no\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(scanEvery(QStringLiteral("0.2"), true), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    expectWholeBurst(program, 3);
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

} // namespace
