#include "lookout/JpegBands.h"
#include "lookout/PictureFile.h"
#include "lookout/SamplePictures.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace zarv::lookout;

namespace {

// How far two pictures of one size are apart: the largest channel difference over all pixels,
// and over the pixels more than `margin` rows from any of `edges`.
struct Difference {
    int anywhere = 0;
    int awayFromEdges = 0;
};

Difference differenceOf(const QImage& a, const QImage& b, const std::vector<int>& edges,
                        int margin) {
    Difference d;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    for (int row = 0; row < x.height(); ++row) {
        const bool nearEdge = std::any_of(edges.begin(), edges.end(),
                                          [&](int e) { return std::abs(row - e) <= margin; });
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col) {
            const int diff = std::max({std::abs(qRed(p[col]) - qRed(q[col])),
                                       std::abs(qGreen(p[col]) - qGreen(q[col])),
                                       std::abs(qBlue(p[col]) - qBlue(q[col]))});
            d.anywhere = std::max(d.anywhere, diff);
            if (!nearEdge)
                d.awayFromEdges = std::max(d.awayFromEdges, diff);
        }
    }
    return d;
}

// libjpeg-turbo's decode of the whole file in one piece, at 1/`denominator`.
QImage decodedWhole(const QByteArray& jpeg, int denominator) {
    tjhandle h = tjInitDecompress();
    int w = 0, hgt = 0, sub = 0, cs = 0;
    tjDecompressHeader3(h, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                        static_cast<unsigned long>(jpeg.size()), &w, &hgt, &sub, &cs);
    QImage out((w + denominator - 1) / denominator, (hgt + denominator - 1) / denominator,
               QImage::Format_RGB32);
    const int format = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;
    const int rc = tjDecompress2(h, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                                 static_cast<unsigned long>(jpeg.size()), out.bits(), out.width(),
                                 int(out.bytesPerLine()), out.height(), format, 0);
    tjDestroy(h);
    return rc == 0 ? out : QImage();
}

QByteArray qtJpeg(const QImage& image, bool progressive = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

} // namespace

TEST(LookoutJpegBands, BandsDecodedApartStackIntoThePicture) {
    // Sizes that do not fill their last row of 16 x 16 blocks, and one of 8 x 8 blocks (grey).
    for (const QSize size : {QSize(1203, 805), QSize(640, 47)}) {
        const QImage scene = samples::drawScene(size, 2);
        for (const bool grey : {false, true}) {
            const QByteArray jpeg = samples::jpegBytes(
                grey ? scene.convertToFormat(QImage::Format_Grayscale8) : scene, 90);
            ASSERT_FALSE(jpeg.isEmpty());
            const QImage whole = QImage::fromData(jpeg, "JPEG");
            for (const int count : {2, 3, 4}) {
                SCOPED_TRACE(testing::Message() << size.width() << "x" << size.height() << " grey "
                                                << grey << ", " << count << " bands");
                const JpegCut cut = splitJpegAtRestarts(jpeg, count);
                ASSERT_GE(cut.bands.size(), 2u);
                ASSERT_LE(cut.bands.size(), size_t(count));
                ASSERT_EQ(cut.seams.size(), cut.bands.size() - 1);
                QImage stacked(whole.size(), QImage::Format_RGB32);
                std::vector<int> edges;
                int next = 0;
                for (const JpegBand& band : cut.bands) {
                    EXPECT_EQ(band.top, next);
                    EXPECT_EQ(band.top % (grey ? 8 : 16), 0);
                    // No metadata is carried into a band; each is a JPEG of its own.
                    EXPECT_EQ(band.jpeg.indexOf("Exif"), -1);
                    const QImage part =
                        QImage::fromData(band.jpeg, "JPEG").convertToFormat(QImage::Format_RGB32);
                    ASSERT_EQ(part.size(), QSize(size.width(), band.height));
                    for (int row = 0; row < part.height(); ++row)
                        std::memcpy(stacked.scanLine(band.top + row), part.constScanLine(row),
                                    size_t(stacked.bytesPerLine()));
                    edges.push_back(band.top);
                    next = band.top + band.height;
                }
                EXPECT_EQ(next, size.height());
                // The blocks decode alike; only the colour smoothing across a seam differs...
                EXPECT_EQ(differenceOf(stacked, whole, edges, 1).awayFromEdges, 0);
                // ...and a seam's own band decodes those rows as the whole picture does.
                for (size_t i = 0; i < cut.seams.size(); ++i) {
                    const JpegBand& seam = cut.seams[i];
                    EXPECT_LT(seam.top, cut.bands[i + 1].top);
                    EXPECT_GT(seam.top + seam.height, cut.bands[i + 1].top);
                    const QImage part = QImage::fromData(seam.jpeg, "JPEG");
                    const QImage same = whole.copy(0, seam.top, size.width(), seam.height);
                    EXPECT_EQ(differenceOf(part, same, {0, seam.height - 1}, 1).awayFromEdges, 0);
                }
            }
        }
    }
}

TEST(LookoutJpegBands, BandsShareTheCodedBytesNotTheRows) {
    // A plain sky above a busy foreground, as many a picture is: the busy rows hold most of the
    // bytes, and so most of the decoding.
    QImage scene(1600, 1200, QImage::Format_RGB32);
    scene.fill(QColor(120, 160, 220));
    const QImage busy = samples::drawScene({1600, 300}, 4);
    for (int row = 0; row < busy.height(); ++row)
        std::memcpy(scene.scanLine(900 + row), busy.constScanLine(row),
                    size_t(scene.bytesPerLine()));
    const QByteArray jpeg = samples::jpegBytes(scene, 90);
    for (const int count : {2, 4}) {
        SCOPED_TRACE(count);
        const JpegCut cut = splitJpegAtRestarts(jpeg, count);
        ASSERT_EQ(cut.bands.size(), size_t(count));
        EXPECT_GT(cut.bands[1].top, 900); // the first band takes the whole sky and more
        for (const JpegBand& band : cut.bands) {
            EXPECT_GT(band.jpeg.size(), jpeg.size() / count * 3 / 4);
            EXPECT_LT(band.jpeg.size(), jpeg.size() / count * 5 / 4);
        }
    }
}

TEST(LookoutJpegBands, FilesThatCannotBeCutAreLeftWhole) {
    const QImage scene = samples::drawScene({640, 480}, 1);
    const QByteArray good = samples::jpegBytes(scene, 90);
    ASSERT_EQ(splitJpegAtRestarts(good, 2).bands.size(), 2u);
    EXPECT_TRUE(splitJpegAtRestarts(good, 1).empty());
    // Without restart markers, progressive.
    EXPECT_TRUE(splitJpegAtRestarts(qtJpeg(scene), 2).empty());
    EXPECT_TRUE(splitJpegAtRestarts(qtJpeg(scene, true), 2).empty());

    // Markers out of order, one missing, the data cut short, its end missing: all damage that a
    // whole decode handles and a cut could not vouch for.
    const qsizetype firstRestart = good.indexOf("\xFF\xD0");
    ASSERT_GT(firstRestart, 0);
    QByteArray swapped = good;
    swapped[firstRestart + 1] = char(0xD3);
    EXPECT_TRUE(splitJpegAtRestarts(swapped, 2).empty());
    QByteArray missing = good;
    missing.remove(firstRestart, 2);
    EXPECT_TRUE(splitJpegAtRestarts(missing, 2).empty());
    EXPECT_TRUE(splitJpegAtRestarts(good.left(good.size() / 2), 2).empty());
    EXPECT_TRUE(splitJpegAtRestarts(good.left(good.size() - 2), 2).empty());

    // Hostile headers: every cut of the header, a length too short to hold itself, a frame of no
    // size.
    const qsizetype sos = good.indexOf("\xFF\xDA");
    for (qsizetype n = 0; n < sos + 20; ++n)
        EXPECT_TRUE(splitJpegAtRestarts(good.left(n), 2).empty()) << n;
    QByteArray longSegment = good;
    longSegment[4] = 0;
    longSegment[5] = 1;
    EXPECT_TRUE(splitJpegAtRestarts(longSegment, 2).empty());
    const qsizetype sof = good.indexOf("\xFF\xC0");
    QByteArray noHeight = good;
    noHeight[sof + 5] = 0;
    noHeight[sof + 6] = 0;
    EXPECT_TRUE(splitJpegAtRestarts(noHeight, 2).empty());
    EXPECT_TRUE(splitJpegAtRestarts(QByteArray(), 2).empty());
}

TEST(LookoutJpegBands, TheViewerDecodesALargePictureInBandsAsItWouldWhole) {
    QTemporaryDir dir;
    // Large enough to be decoded in bands, one per core: a busy picture, finely coded. With one
    // core it is decoded whole, which must come to the same.
    QImage scene = samples::drawScene({3000, 2000}, 3);
    const QString path = dir.filePath("large.jpg");
    ASSERT_TRUE(samples::writeJpeg(path, scene, {}, 98));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    ASSERT_GT(bytes.size(), 1024 * 1024);
    ASSERT_EQ(splitJpegAtRestarts(bytes, 2).bands.size(), 2u);

    for (const auto& [box, denominator] :
         {std::pair{QSize(), 1}, std::pair{QSize(1400, 900), 2}, std::pair{QSize(700, 450), 4}}) {
        SCOPED_TRACE(denominator);
        const Decoded d = decodePicture(path, box);
        ASSERT_TRUE(d.error.isEmpty()) << qPrintable(d.error);
        const QImage reference = decodedWhole(bytes, denominator);
        ASSERT_EQ(d.image.size(), reference.size());
        EXPECT_EQ(differenceOf(d.image, reference, {}, 0).anywhere, 0);
    }

    // Damage in the data: decoded whole, as before, not refused.
    QByteArray damaged = bytes;
    const qsizetype restart = damaged.indexOf("\xFF\xD5", bytes.size() / 2);
    ASSERT_GT(restart, 0);
    damaged[restart + 1] = char(0xD1);
    QFile out(dir.filePath("damaged.jpg"));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(damaged);
    out.close();
    const Decoded d = decodePicture(out.fileName(), QSize(700, 450));
    EXPECT_TRUE(d.error.isEmpty()) << qPrintable(d.error);
    EXPECT_EQ(d.image.size(), QSize(750, 500));
}
