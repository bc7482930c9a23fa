#include "lookout/PictureFile.h"
#include "LookoutTestSupport.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <QDeadlineTimer>

#include <atomic>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace zarv::lookout;
using zarv::lookout::test::Pictures;

namespace {

// Decodes on another thread so that a read that would hang fails the test instead.
Decoded decodeWithin(const QString& path, QSize box, int ms = 10000) {
    auto future = std::async(std::launch::async, [=] { return decodePicture(path, box); });
    if (future.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
        ADD_FAILURE() << "decoding " << qPrintable(path) << " did not end";
        std::abort(); // the thread cannot be left behind
    }
    return future.get();
}

QByteArray smallJpeg() {
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 80);
    return bytes;
}

quint32 crc32(const QByteArray& data) {
    quint32 crc = 0xffffffffu;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray be32(quint32 v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}

} // namespace

TEST(LookoutPictureFile, JpegDecodesAtTheScaleTheViewNeeds) {
    EXPECT_EQ(jpegScaledSize({6000, 4000}, {1500, 1000}), QSize(1500, 1000));
    EXPECT_EQ(jpegScaledSize({6000, 4000}, {1400, 900}), QSize(1500, 1000));
    EXPECT_EQ(jpegScaledSize({6000, 4000}, {1501, 1000}), QSize(3000, 2000));
    EXPECT_EQ(jpegScaledSize({6001, 4001}, {700, 400}), QSize(751, 501));
    EXPECT_EQ(jpegScaledSize({6000, 4000}, {7000, 5000}), QSize(6000, 4000));

    Pictures pictures;
    const QString path = pictures.jpeg(QStringLiteral("a.jpg"), {2400, 1600});
    const Decoded fitted = decodePicture(path, {600, 600});
    ASSERT_TRUE(fitted.error.isEmpty()) << qPrintable(fitted.error);
    EXPECT_EQ(fitted.image.size(), QSize(600, 400)); // a quarter, straight from the decoder
    EXPECT_EQ(fitted.fullSize, QSize(2400, 1600));
    EXPECT_EQ(fitted.format, PictureFormat::Jpeg);
    const Decoded full = decodePicture(path, QSize());
    EXPECT_EQ(full.image.size(), QSize(2400, 1600));

    // A portrait shot (camera turned, EXIF orientation 6) stands upright.
    const Decoded portrait =
        decodePicture(pictures.jpeg(QStringLiteral("p.jpg"), {1200, 800}, 6), {300, 300});
    EXPECT_EQ(portrait.fullSize, QSize(800, 1200));
    EXPECT_GT(portrait.image.height(), portrait.image.width());
}

TEST(LookoutPictureFile, JpegDecodesKeepColourAndOrientationAndAQuickStandInComesFirst) {
    Pictures pictures;
    // Red to the left, blue to the right, a green band along the top.
    QImage scene(1600, 1200, QImage::Format_RGB32);
    scene.fill(QColor(220, 30, 30));
    for (int y = 0; y < 1200; ++y)
        for (int x = 800; x < 1600; ++x)
            scene.setPixel(x, y, qRgb(30, 30, 220));
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 1600; ++x)
            scene.setPixel(x, y, qRgb(30, 200, 30));
    const auto near = [](QRgb p, QRgb want) {
        return std::abs(qRed(p) - qRed(want)) < 40 && std::abs(qGreen(p) - qGreen(want)) < 40 &&
               std::abs(qBlue(p) - qBlue(want)) < 40 && qAlpha(p) == 255;
    };
    const auto write = [&](const QString& name, int orientation, bool thumbnail) {
        samples::Shot shot;
        shot.orientation = orientation;
        samples::writeJpeg(pictures.path(name), scene, shot, 90, thumbnail);
        return pictures.path(name);
    };
    std::vector<Decoded> quick;
    const QuickPicture keep = [&](Decoded&& d) { quick.push_back(std::move(d)); };
    Decoded plain = decodePicture(write(QStringLiteral("o1.jpg"), 1, true), {400, 400}, true, keep);
    ASSERT_TRUE(plain.error.isEmpty()) << qPrintable(plain.error);
    EXPECT_EQ(plain.image.format(), QImage::Format_RGB32);
    EXPECT_EQ(plain.image.size(), QSize(400, 300));
    EXPECT_TRUE(near(plain.image.pixel(50, 200), qRgb(220, 30, 30)));
    EXPECT_TRUE(near(plain.image.pixel(350, 200), qRgb(30, 30, 220)));
    EXPECT_TRUE(near(plain.image.pixel(200, 10), qRgb(30, 200, 30)));
    fitToBox(plain, {400, 400});
    ASSERT_EQ(quick.size(), 1u);
    EXPECT_TRUE(quick[0].quick);
    EXPECT_EQ(quick[0].image.size(), plain.image.size());
    EXPECT_EQ(quick[0].fullSize, plain.fullSize);
    EXPECT_EQ(quick[0].data.model, plain.data.model);
    EXPECT_TRUE(near(quick[0].image.pixel(50, 200), qRgb(220, 30, 30)));

    // Turned a quarter clockwise: the top band stands on the right, red on top.
    quick.clear();
    const Decoded turned =
        decodePicture(write(QStringLiteral("o6.jpg"), 6, true), {400, 400}, false, keep);
    EXPECT_EQ(turned.fullSize, QSize(1200, 1600));
    EXPECT_EQ(turned.image.size(), QSize(300, 400));
    EXPECT_TRUE(near(turned.image.pixel(290, 200), qRgb(30, 200, 30)));
    EXPECT_TRUE(near(turned.image.pixel(100, 50), qRgb(220, 30, 30)));
    EXPECT_TRUE(near(turned.image.pixel(100, 350), qRgb(30, 30, 220)));
    ASSERT_EQ(quick.size(), 1u);
    EXPECT_EQ(quick[0].fullSize, QSize(1200, 1600));
    EXPECT_TRUE(near(quick[0].image.pixel(quick[0].image.width() - 5, 200), qRgb(30, 200, 30)));
    const Decoded upsideDown = decodePicture(write(QStringLiteral("o3.jpg"), 3, false), {});
    EXPECT_EQ(upsideDown.image.size(), QSize(1600, 1200));
    EXPECT_TRUE(near(upsideDown.image.pixel(1200, 600), qRgb(220, 30, 30)));
    EXPECT_TRUE(near(upsideDown.image.pixel(400, 1150), qRgb(30, 200, 30)));

    // No stand-in without a thumbnail, at full size, or for a file cut short.
    quick.clear();
    const QString bare = write(QStringLiteral("bare.jpg"), 1, false);
    EXPECT_FALSE(decodePicture(bare, {400, 400}, true, keep).image.isNull());
    EXPECT_FALSE(
        decodePicture(write(QStringLiteral("full.jpg"), 1, true), {}, true, keep).image.isNull());
    const QByteArray whole = pictures.read(QStringLiteral("o1.jpg"));
    EXPECT_TRUE(
        decodePicture(pictures.file(QStringLiteral("cut.jpg"), whole.left(whole.size() - 64)),
                      {400, 400}, true, keep)
            .image.isNull());
    EXPECT_TRUE(quick.empty());

    // Damaged data after an intact header is a picture with flaws or a clear text; a header
    // that names no size is a clear text.
    QByteArray damaged = whole;
    for (qsizetype i = damaged.size() / 2; i < damaged.size() / 2 + 4000; ++i)
        damaged[i] = char(0xff);
    const Decoded flawed =
        decodePicture(pictures.file(QStringLiteral("d.jpg"), damaged), {400, 400});
    EXPECT_TRUE(flawed.image.isNull() != flawed.error.isEmpty()) << qPrintable(flawed.error);
    const QByteArray noSize("\xff\xd8\xff\xc0\x00\x11\x08\x00\x00\x00\x00\x03"
                            "\x01\x22\x00\x02\x11\x01\x03\x11\x01\xff\xd9",
                            23);
    const Decoded zero = decodePicture(pictures.file(QStringLiteral("z.jpg"), noSize), {400, 400});
    EXPECT_TRUE(zero.image.isNull());
    EXPECT_TRUE(zero.error.contains(QLatin1String("cannot be decoded"))) << qPrintable(zero.error);
}

TEST(LookoutPictureFile, RawFilesShowTheirEmbeddedPreviewAndThumbnailsComeFromMetadata) {
    Pictures pictures;
    const QString nef = pictures.nef(QStringLiteral("DSC_0001.NEF"), {1600, 1064});
    const Decoded preview = decodePicture(nef, {800, 800});
    ASSERT_TRUE(preview.error.isEmpty()) << qPrintable(preview.error);
    EXPECT_TRUE(preview.preview);
    EXPECT_EQ(preview.format, PictureFormat::Raw);
    EXPECT_EQ(preview.fullSize, QSize(1600, 1064));
    EXPECT_EQ(preview.image.width(), 800);
    // Cut short inside its preview: said so, never a half-grey picture nor a read past the end.
    const QByteArray bytes = pictures.read(QStringLiteral("DSC_0001.NEF"));
    const Decoded cut = decodePicture(
        pictures.file(QStringLiteral("cut.NEF"), bytes.left(bytes.size() * 2 / 3)), {800, 800});
    EXPECT_TRUE(cut.image.isNull())
        << cut.image.width() << "x" << cut.image.height() << " of " << cut.fullSize.width();
    EXPECT_FALSE(cut.error.isEmpty());

    const Decoded nefThumb = makeThumbnail(nef, {144, 96});
    ASSERT_FALSE(nefThumb.image.isNull()) << qPrintable(nefThumb.error);
    EXPECT_LE(nefThumb.image.width(), 144);
    // The JPEG's own EXIF thumbnail (160 px wide), not a decode of the whole picture.
    const Decoded thumb =
        makeThumbnail(pictures.jpeg(QStringLiteral("t.jpg"), {3000, 2000}), {144, 96});
    EXPECT_EQ(thumb.image.width(), 144);
    EXPECT_EQ(thumb.fullSize.width(), 160);
    // Without one, a scaled decode of the picture.
    const Decoded plain =
        makeThumbnail(pictures.jpeg(QStringLiteral("n.jpg"), {1200, 800}, 1, false), {144, 96});
    EXPECT_EQ(plain.image.size(), QSize(144, 96));
    EXPECT_EQ(plain.fullSize, QSize(1200, 800));
}

TEST(LookoutPictureFile, BadFilesGiveAClearTextAndNeverHang) {
    Pictures pictures;
    const QByteArray whole =
        pictures.read(QFileInfo(pictures.jpeg(QStringLiteral("w.jpg"))).fileName());
    const auto expectText = [](const Decoded& d, const char* words) {
        EXPECT_TRUE(d.image.isNull());
        EXPECT_TRUE(d.error.contains(QLatin1String(words))) << qPrintable(d.error);
    };
    expectText(decodeWithin(pictures.file(QStringLiteral("cut.jpg"), whole.left(whole.size() / 2)),
                            {400, 300}),
               "cut short");
    QByteArray corrupt = whole;
    for (qsizetype i = 4; i < 600 && i < corrupt.size(); ++i)
        corrupt[i] = char(0x5a);
    expectText(decodeWithin(pictures.file(QStringLiteral("corrupt.jpg"), corrupt), {400, 300}),
               "cannot be decoded");
    expectText(decodeWithin(pictures.path(QStringLiteral("gone.jpg")), {400, 300}), "is gone");
    expectText(decodeWithin(pictures.file(QStringLiteral("empty.jpg"), {}), {400, 300}),
               "is empty");
    expectText(
        decodeWithin(pictures.file(QStringLiteral("notes.jpg"), "just some text\n"), {400, 300}),
        "not a picture this viewer can show");
    expectText(
        decodeWithin(pictures.file(QStringLiteral("broken.nef"), "II*\0garbage"), {400, 300}),
        "no embedded preview");

    const QString fifo = pictures.path(QStringLiteral("fifo.jpg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    expectText(decodeWithin(fifo, {400, 300}), "FIFO");
    expectText(decodeWithin(QStringLiteral("/dev/zero"), {400, 300}), "character device");
    expectText(decodeWithin(pictures.dir.path(), {400, 300}), "a folder");
    expectText(makeThumbnail(fifo, {144, 96}), "FIFO");
}

TEST(LookoutPictureFile, HugePicturesAreShownFittedOrRefusedWithoutTheirMemory) {
    Pictures pictures;
    // A JPEG that says 30 000 x 30 000: fitted it decodes at 1/8 and no more.
    QByteArray jpeg = smallJpeg();
    const qsizetype sof = jpeg.indexOf("\xff\xc0");
    ASSERT_GT(sof, 0);
    jpeg[sof + 5] = char(30000 >> 8);
    jpeg[sof + 6] = char(30000 & 0xff);
    jpeg[sof + 7] = char(30000 >> 8);
    jpeg[sof + 8] = char(30000 & 0xff);
    const QString big = pictures.file(QStringLiteral("big.jpg"), jpeg);
    const Decoded fitted = decodeWithin(big, {800, 800}, 60000);
    EXPECT_EQ(fitted.fullSize, QSize(30000, 30000));
    if (fitted.image.isNull())
        EXPECT_FALSE(fitted.error.isEmpty());
    else
        EXPECT_EQ(fitted.image.size(), QSize(3750, 3750)); // the decoder's 1/8, fitted later
    const Decoded full = decodeWithin(big, QSize());
    EXPECT_TRUE(full.image.isNull());
    EXPECT_TRUE(full.error.contains(QLatin1String("too large"))) << qPrintable(full.error);

    // A PNG cannot be decoded smaller: 30 000 x 30 000 is refused before any decoding.
    QByteArray ihdr =
        QByteArray("IHDR") + be32(30000) + be32(30000) + QByteArray("\x08\x02\0\0\0", 5);
    const QByteArray idat = QByteArray("IDAT\x78\x9c", 6);
    const QByteArray iend = QByteArray("IEND");
    QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + be32(13) + ihdr + be32(crc32(ihdr)) +
                     be32(2) + idat + be32(crc32(idat)) + be32(0) + iend + be32(crc32(iend));
    const Decoded hugePng = decodeWithin(pictures.file(QStringLiteral("big.png"), png), {800, 800});
    EXPECT_TRUE(hugePng.image.isNull());
    EXPECT_TRUE(hugePng.error.contains(QLatin1String("too large"))) << qPrintable(hugePng.error);
}

TEST(LookoutPictureFile, ReadingLeavesTheFileAsItWas) {
    Pictures pictures;
    const QString path = pictures.nef(QStringLiteral("keep.nef"));
    const QByteArray before = QCryptographicHash::hash(pictures.read(QStringLiteral("keep.nef")),
                                                       QCryptographicHash::Sha256);
    const QDateTime modified = QFileInfo(path).lastModified();
    decodePicture(path, {400, 300});
    decodePicture(path, QSize());
    makeThumbnail(path, {144, 96});
    EXPECT_EQ(QCryptographicHash::hash(pictures.read(QStringLiteral("keep.nef")),
                                       QCryptographicHash::Sha256),
              before);
    EXPECT_EQ(QFileInfo(path).lastModified(), modified);
    EXPECT_EQ(QDir(pictures.dir.path()).entryList(QDir::Files),
              QStringList{QStringLiteral("keep.nef")});
}

TEST(LookoutPictureFile, AFileCutShortWhileItIsReadNeverBringsTheReaderDown) {
    Pictures pictures;
    const QStringList names = {QStringLiteral("cut.nef"), QStringLiteral("cut.jpg")};
    pictures.nef(names[0], {1200, 800});
    pictures.jpeg(names[1], {1200, 800});
    const QList<QByteArray> whole = {pictures.read(names[0]), pictures.read(names[1])};
    // Another program keeps writing each file whole and cutting it short: a reader that mapped
    // the file would die of SIGBUS on a page past the new end, or parse bytes changing under it.
    std::atomic<bool> stop{false};
    std::thread cutter([&] {
        while (!stop)
            for (int i = 0; i < names.size(); ++i) {
                const int fd = ::open(QFile::encodeName(pictures.path(names[i])).constData(),
                                      O_WRONLY | O_CLOEXEC);
                if (fd < 0)
                    continue;
                if (::pwrite(fd, whole[i].constData(), size_t(whole[i].size()), 0) > 0)
                    ::usleep(300);
                if (::ftruncate(fd, 4096) != 0)
                    ADD_FAILURE() << "cannot cut the file short";
                ::close(fd);
            }
    });
    int reads = 0;
    // Enough reads to meet the file in every state, within a time however loaded the machine.
    for (QDeadlineTimer deadline(2500); !deadline.hasExpired() && reads < 400;)
        for (const QString& name : names) {
            const QString path = pictures.path(name);
            for (const Decoded& d :
                 {decodePicture(path, {64, 64}), makeThumbnail(path, {144, 96})}) {
                EXPECT_TRUE(d.image.isNull() != d.error.isEmpty()) << qPrintable(d.error);
                ++reads;
            }
        }
    stop = true;
    cutter.join();
    EXPECT_GE(reads, 8);
}
