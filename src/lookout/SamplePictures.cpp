#include "SamplePictures.h"

#include <QFile>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <exiv2/exiv2.hpp>

// libjpeg's header needs the size types declared first.
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <vector>

namespace zarv::lookout::samples {

QImage drawScene(QSize size, int variant) {
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double w = size.width(), h = size.height();
    const double hue = (variant % 7) * 0.04;
    QLinearGradient sky(0, 0, 0, h * 0.65);
    sky.setColorAt(0, QColor::fromHsvF(0.58 + hue * 0.2, 0.65, 0.75));
    sky.setColorAt(1, QColor::fromHsvF(0.08 + hue * 0.1, 0.35, 0.98));
    p.fillRect(image.rect(), sky);
    // The sun: pure white, so it clips.
    const QPointF sun(w * (0.68 + 0.03 * (variant % 5)), h * 0.24);
    QRadialGradient glow(sun, h * 0.16);
    glow.setColorAt(0, QColor(255, 255, 255));
    glow.setColorAt(0.35, QColor(255, 255, 255));
    glow.setColorAt(1, QColor(255, 240, 200, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(sun, h * 0.16, h * 0.16);
    const auto hill = [&](double base, double amp, double phase, QColor c) {
        QPainterPath path(QPointF(0, h));
        for (int i = 0; i <= 64; ++i) {
            const double x = w * i / 64.0;
            path.lineTo(x, h * (base - amp * std::sin(i / 64.0 * 6.28 * 1.3 + phase + variant)));
        }
        path.lineTo(w, h);
        path.closeSubpath();
        p.setBrush(c);
        p.drawPath(path);
    };
    hill(0.62, 0.06, 0.0, QColor(92, 120, 150));
    hill(0.72, 0.05, 1.7, QColor(56, 96, 64));
    hill(0.84, 0.04, 3.1, QColor(34, 70, 40));
    // The foreground in deep shade, pure black: clipped shadows.
    hill(0.955, 0.02, 4.4, Qt::black);
    // The focus target: a card with a star and fine print.
    const QRectF card(w * 0.18, h * 0.50, w * 0.22, h * 0.30);
    p.setBrush(QColor(238, 238, 232));
    p.setPen(QPen(QColor(30, 30, 30), std::max(1.0, w / 1500)));
    p.drawRect(card);
    const QPointF c = card.center() - QPointF(0, card.height() * 0.1);
    const double r = card.height() * 0.32;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 20, 20));
    for (int i = 0; i < 36; i += 2) {
        QPainterPath wedge(c);
        wedge.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), i * 10.0, 10.0);
        wedge.closeSubpath();
        p.drawPath(wedge);
    }
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(std::max(6, int(card.height() * 0.045)));
    p.setFont(f);
    p.setPen(QColor(20, 20, 20));
    p.drawText(QRectF(card.left(), card.bottom() - card.height() * 0.2, card.width(),
                      card.height() * 0.18),
               Qt::AlignCenter | Qt::TextWordWrap,
               QStringLiteral("ZarvLookout focus target %1 \u2014 the quick brown fox jumps over "
                              "the lazy dog 0123456789")
                   .arg(variant));
    p.end();
    // Sensor grain: real shots are full of fine detail, which is what a decoder spends its time
    // on. Pure white and pure black stay clipped.
    quint32 seed = 0x9e3779b9u * quint32(variant + 1);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            const QRgb px = line[x];
            if (px == qRgb(255, 255, 255) || px == qRgb(0, 0, 0))
                continue;
            const int n = int(seed % 25) - 12;
            line[x] = qRgb(std::clamp(qRed(px) + n, 1, 254), std::clamp(qGreen(px) + n, 1, 254),
                           std::clamp(qBlue(px) + n, 1, 254));
        }
    }
    return image;
}

namespace {

struct JpegFailure {
    jpeg_error_mgr manager;
    std::jmp_buf back;
};

} // namespace

QByteArray jpegBytes(const QImage& image, int quality) {
    const bool grey = image.format() == QImage::Format_Grayscale8;
    const QImage rgb = grey ? image : image.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct info{};
    JpegFailure failure{};
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<JpegFailure*>(c->err)->back, 1);
    };
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (setjmp(failure.back)) {
        jpeg_destroy_compress(&info);
        std::free(out);
        return {};
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = JDIMENSION(rgb.width());
    info.image_height = JDIMENSION(rgb.height());
    info.input_components = grey ? 1 : 3;
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.restart_in_rows = 1;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray bytes(reinterpret_cast<const char*>(out), qsizetype(size));
    std::free(out);
    return bytes;
}

namespace {

void fillExif(Exiv2::ExifData& exif, const Shot& s, bool tiff) {
    exif["Exif.Image.Make"] = s.make.toStdString();
    exif["Exif.Image.Model"] = s.model.toStdString();
    exif["Exif.Image.Orientation"] = uint16_t(s.orientation);
    exif["Exif.Image.DateTime"] = s.dateTime.toStdString();
    exif["Exif.Photo.DateTimeOriginal"] = s.dateTime.toStdString();
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(s.exposure.first, s.exposure.second);
    exif["Exif.Photo.FNumber"] = Exiv2::URational(s.fNumber.first, s.fNumber.second);
    exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(s.iso);
    exif["Exif.Photo.ExposureBiasValue"] = Exiv2::Rational(s.bias.first, s.bias.second);
    exif["Exif.Photo.FocalLength"] = Exiv2::URational(s.focalLength.first, s.focalLength.second);
    exif["Exif.Photo.LensModel"] = s.lens.toStdString();
    (void)tiff;
}

bool fail(QString* error, const QString& why) {
    if (error)
        *error = why;
    return false;
}

// A TIFF directory laid out at a known offset: entries, then the values that do not fit in one.
struct Entry {
    uint16_t tag;
    uint16_t type; // 1 byte, 2 ascii, 3 short, 4 long, 5 rational, 10 srational
    uint32_t count;
    QByteArray value; // little endian
};

QByteArray le16(uint16_t v) {
    const char b[2] = {char(v & 0xff), char(v >> 8)};
    return QByteArray(b, 2);
}
QByteArray le32(uint32_t v) {
    const char b[4] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff),
                       char(v >> 24)};
    return QByteArray(b, 4);
}
Entry shortEntry(uint16_t tag, std::vector<uint16_t> values) {
    QByteArray b;
    for (uint16_t v : values)
        b += le16(v);
    return {tag, 3, uint32_t(values.size()), b};
}
Entry longEntry(uint16_t tag, uint32_t v) {
    return {tag, 4, 1, le32(v)};
}
Entry asciiEntry(uint16_t tag, const QString& text) {
    QByteArray b = text.toLatin1();
    b.append('\0');
    return {tag, 2, uint32_t(b.size()), b};
}
Entry rationalEntry(uint16_t tag, uint16_t type, int32_t num, int32_t den) {
    return {tag, type, 1, le32(uint32_t(num)) + le32(uint32_t(den))};
}

qsizetype ifdSize(const std::vector<Entry>& entries) {
    qsizetype n = 2 + 12 * qsizetype(entries.size()) + 4;
    for (const Entry& e : entries)
        if (e.value.size() > 4)
            n += e.value.size() + (e.value.size() & 1);
    return n;
}

QByteArray ifdBytes(const std::vector<Entry>& entries, uint32_t at) {
    QByteArray head = le16(uint16_t(entries.size()));
    QByteArray data;
    const uint32_t dataAt = at + 2 + 12 * uint32_t(entries.size()) + 4;
    for (const Entry& e : entries) {
        head += le16(e.tag) + le16(e.type) + le32(e.count);
        if (e.value.size() <= 4) {
            QByteArray v = e.value;
            v.append(QByteArray(4 - v.size(), '\0'));
            head += v;
        } else {
            head += le32(dataAt + uint32_t(data.size()));
            data += e.value;
            if (data.size() & 1)
                data.append('\0');
        }
    }
    head += le32(0);
    return head + data;
}

} // namespace

bool writeJpeg(const QString& path, const QImage& image, const Shot& shot, int quality,
               bool thumbnail, QString* error) {
    const QByteArray bytes = jpegBytes(image, quality);
    QFile file(path);
    if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return fail(error, QStringLiteral("cannot write %1").arg(path));
    file.close();
    try {
        auto img = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        Exiv2::ExifData exif;
        fillExif(exif, shot, false);
        if (thumbnail) {
            const QByteArray t = jpegBytes(
                image.scaled(160, 120, Qt::KeepAspectRatio, Qt::SmoothTransformation), 85);
            Exiv2::ExifThumb thumb(exif);
            thumb.setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(t.constData()),
                                   long(t.size()));
        }
        img->setExifData(exif);
        img->writeMetadata();
    } catch (const std::exception& e) {
        return fail(error, QString::fromLocal8Bit(e.what()));
    }
    return true;
}

bool writeNef(const QString& path, const QImage& preview, const Shot& shot, QString* error) {
    // 160 x 120 whatever the picture's shape, with black bars as cameras write it.
    QImage small(160, 120, QImage::Format_RGB888);
    small.fill(Qt::black);
    {
        const QImage fitted =
            preview.scaled(160, 120, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter p(&small);
        p.drawImage(QPoint((160 - fitted.width()) / 2, (120 - fitted.height()) / 2), fitted);
    }
    QByteArray strip;
    for (int y = 0; y < small.height(); ++y)
        strip.append(reinterpret_cast<const char*>(small.constScanLine(y)), small.width() * 3);
    const QByteArray jpeg = jpegBytes(preview, 90);

    std::vector<Entry> exif = {
        rationalEntry(33434, 5, shot.exposure.first, shot.exposure.second),
        rationalEntry(33437, 5, shot.fNumber.first, shot.fNumber.second),
        shortEntry(34855, {uint16_t(shot.iso)}),
        asciiEntry(36867, shot.dateTime),
        rationalEntry(37380, 10, shot.bias.first, shot.bias.second),
        rationalEntry(37386, 5, shot.focalLength.first, shot.focalLength.second),
        asciiEntry(42036, shot.lens),
    };
    // Offsets: header, IFD0, sub-IFD, EXIF IFD, thumbnail strip, JPEG preview.
    const auto ifd0 = [&](uint32_t stripAt, uint32_t subAt, uint32_t exifAt) {
        return std::vector<Entry>{
            longEntry(254, 1),
            longEntry(256, uint32_t(small.width())),
            longEntry(257, uint32_t(small.height())),
            shortEntry(258, {8, 8, 8}),
            shortEntry(259, {1}),
            shortEntry(262, {2}),
            asciiEntry(271, shot.make),
            asciiEntry(272, shot.model),
            longEntry(273, stripAt),
            shortEntry(274, {uint16_t(shot.orientation)}),
            shortEntry(277, {3}),
            longEntry(278, uint32_t(small.height())),
            longEntry(279, uint32_t(strip.size())),
            asciiEntry(306, shot.dateTime),
            longEntry(330, subAt),
            longEntry(34665, exifAt),
        };
    };
    const auto sub = [&](uint32_t jpegAt) {
        return std::vector<Entry>{longEntry(254, 0), shortEntry(259, {6}), longEntry(513, jpegAt),
                                  longEntry(514, uint32_t(jpeg.size()))};
    };
    const uint32_t at0 = 8;
    const uint32_t atSub = at0 + uint32_t(ifdSize(ifd0(0, 0, 0)));
    const uint32_t atExif = atSub + uint32_t(ifdSize(sub(0)));
    const uint32_t atStrip = atExif + uint32_t(ifdSize(exif));
    const uint32_t atJpeg = atStrip + uint32_t(strip.size());
    QByteArray file = QByteArray("II") + le16(42) + le32(at0);
    file += ifdBytes(ifd0(atStrip, atSub, atExif), at0);
    file += ifdBytes(sub(atJpeg), atSub);
    file += ifdBytes(exif, atExif);
    file += strip;
    file += jpeg;
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size())
        return fail(error, QStringLiteral("cannot write %1").arg(path));
    return true;
}

} // namespace zarv::lookout::samples
