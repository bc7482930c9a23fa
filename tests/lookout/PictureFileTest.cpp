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
