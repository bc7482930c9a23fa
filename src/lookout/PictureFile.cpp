#include "PictureFile.h"
#include "JpegBands.h"
#include "platform/Log.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <QThread>

#include <exiv2/exiv2.hpp>
#include <turbojpeg.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zarv::lookout {

namespace {

QString nameOf(const QString& path) {
    return QFileInfo(path).fileName();
}

// A file opened for reading only after it was found to be a regular file. O_NONBLOCK keeps the
// open itself from waiting on a FIFO; a device is refused before it is ever opened.
class OpenFile {
public:
    explicit OpenFile(const QString& path) {
        const QByteArray native = QFile::encodeName(path);
        struct stat st {};
        if (::stat(native.constData(), &st) != 0) {
            m_error = errnoText(path, errno);
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            m_error = notRegular(path, st.st_mode);
            return;
        }
        m_fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (m_fd < 0) {
            m_error = errnoText(path, errno);
            return;
        }
        // The name may have been given to something else in between.
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            m_error = notRegular(path, st.st_mode);
            return;
        }
        m_size = st.st_size;
        if (m_size == 0)
            m_error = QStringLiteral("%1 is empty (0 bytes).").arg(nameOf(path));
        else if (m_size > kMaxFileBytes)
            m_error = QStringLiteral("%1 is too large to be a picture (%2 MB).")
                          .arg(nameOf(path))
                          .arg(m_size / 1000000);
    }
    ~OpenFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool ok() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }
    qint64 size() const { return m_size; }
    QByteArray read(qint64 offset, qint64 n) const {
        QByteArray bytes(qsizetype(std::max<qint64>(0, std::min(n, m_size - offset))),
                         Qt::Uninitialized);
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t r = ::pread(m_fd, bytes.data() + done, size_t(bytes.size() - done),
                                      off_t(offset + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            done += r;
        }
        bytes.truncate(done);
        return bytes;
    }
    // A device over the file for Qt's readers, at its start.
    bool openDevice(QFile* file) const {
        if (!file->open(m_fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            return false;
        return file->seek(0);
    }

private:
    static QString errnoText(const QString& path, int error) {
        if (error == ENOENT)
            return QStringLiteral("%1 is gone: the file no longer exists.").arg(nameOf(path));
        if (error == EACCES)
            return QStringLiteral("%1 cannot be read: permission denied.").arg(nameOf(path));
        return QStringLiteral("%1 cannot be read: %2.")
            .arg(nameOf(path), QString::fromLocal8Bit(std::strerror(error)));
    }
    static QString notRegular(const QString& path, mode_t mode) {
        const char* what = S_ISDIR(mode)    ? "a folder"
                           : S_ISFIFO(mode) ? "a FIFO (named pipe)"
                           : S_ISCHR(mode)  ? "a character device"
                           : S_ISBLK(mode)  ? "a block device"
                           : S_ISSOCK(mode) ? "a socket"
                                            : "not a regular file";
        return QStringLiteral("%1 is not a picture: it is %2.")
            .arg(nameOf(path), QLatin1String(what));
    }

    int m_fd = -1;
    qint64 m_size = 0;
    QString m_error;
};

PictureFormat formatOf(const QByteArray& head, const QString& path) {
    const auto at = [&head](int i) { return i < head.size() ? uchar(head[i]) : 0; };
    if (at(0) == 0xFF && at(1) == 0xD8 && at(2) == 0xFF)
        return PictureFormat::Jpeg;
    if (head.startsWith("II*\0") || head.startsWith(QByteArray("MM\0*", 4))) {
        const QString suffix = QFileInfo(path).suffix().toLower();
        return suffix == QLatin1String("nef") || suffix == QLatin1String("nrw")
                   ? PictureFormat::Raw
                   : PictureFormat::Tiff;
    }
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return PictureFormat::Png;
    if (head.mid(4, 4) == "ftyp") {
        const QByteArray brand = head.mid(8, 4);
        if (brand == "heic" || brand == "heix" || brand == "mif1" || brand == "msf1" ||
            brand == "hevc" || brand == "heim" || brand == "heis")
            return PictureFormat::Heif;
    }
    if (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return PictureFormat::WebP;
    return PictureFormat::Unknown;
}

const char* qtFormat(PictureFormat f) {
    switch (f) {
    case PictureFormat::Jpeg:
    case PictureFormat::Raw:
        return "jpeg";
    case PictureFormat::Tiff:
        return "tiff";
    case PictureFormat::Png:
        return "png";
    case PictureFormat::Heif:
        return "heif";
    case PictureFormat::WebP:
        return "webp";
    case PictureFormat::Unknown:
        break;
    }
    return "";
}

QImageIOHandler::Transformations transformationOf(int orientation) {
    switch (orientation) {
    case 2:
        return QImageIOHandler::TransformationMirror;
    case 3:
        return QImageIOHandler::TransformationRotate180;
    case 4:
        return QImageIOHandler::TransformationFlip;
    case 5:
        return QImageIOHandler::TransformationFlipAndRotate90;
    case 6:
        return QImageIOHandler::TransformationRotate90;
    case 7:
        return QImageIOHandler::TransformationMirrorAndRotate90;
    case 8:
        return QImageIOHandler::TransformationRotate270;
    default:
        return QImageIOHandler::TransformationNone;
    }
}

bool swapsSides(QImageIOHandler::Transformations t) {
    return t.testFlag(QImageIOHandler::TransformationRotate90);
}

QImage applyTransformation(QImage image, QImageIOHandler::Transformations t) {
    if (t == QImageIOHandler::TransformationNone || image.isNull())
        return image;
    if (t.testFlag(QImageIOHandler::TransformationMirror) ||
        t.testFlag(QImageIOHandler::TransformationFlip))
        image = image.mirrored(t.testFlag(QImageIOHandler::TransformationMirror),
                               t.testFlag(QImageIOHandler::TransformationFlip));
    if (t.testFlag(QImageIOHandler::TransformationRotate90))
        image = image.transformed(QTransform().rotate(90));
    return image;
}

// The whole picture fitted into `box`, in the file's own orientation.
QSize fitted(QSize size, QSize box) {
    if (!box.isValid() || (size.width() <= box.width() && size.height() <= box.height()))
        return size;
    return size.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// Metadata the viewer reads; a file the library cannot parse simply has none.
struct Metadata {
    ShootingData data;
    QByteArray preview; // raw files: the embedded preview chosen for the box (may lie in the
                        // bytes read, without a copy)
    QString previewMime;
    bool hasPreviews = false;
    bool previewPastEnd = false; // of the bytes given
    QByteArray exifThumbnail;
    // Raw files, for a quick first paint: the preview nearest below the chosen one.
    QByteArray quickPreview;
    QString quickMime;
};

std::optional<std::pair<qint64, qint64>> rationalOf(const Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() == 0)
        return std::nullopt;
    const Exiv2::Rational r = it->toRational(0);
    if (r.second == 0)
        return std::nullopt;
    return std::make_pair(qint64(r.first), qint64(r.second));
}

std::optional<double> realOf(const Exiv2::ExifData& exif, const char* key) {
    const auto r = rationalOf(exif, key);
    if (!r)
        return std::nullopt;
    return double(r->first) / double(r->second);
}

QString textOf(const Exiv2::ExifData& exif, Exiv2::ExifData::const_iterator it) {
    if (it == exif.end())
        return {};
    return QString::fromStdString(it->print(&exif)).trimmed();
}

// The smallest preview that fitted into `box` is not enlarged, else the largest; an invalid box
// asks for the largest. `swap`: the preview stands turned, so the box is compared turned too.
const Exiv2::PreviewProperties* choosePreview(const Exiv2::PreviewPropertiesList& previews,
                                              QSize box, bool swap) {
    if (previews.empty())
        return nullptr;
    const Exiv2::PreviewProperties* largest = &previews.front();
    const Exiv2::PreviewProperties* chosen = nullptr;
    const QSize b = swap ? box.transposed() : box;
    for (const auto& p : previews) {
        const qint64 area = qint64(p.width_) * p.height_;
        if (area > qint64(largest->width_) * largest->height_)
            largest = &p;
        const bool covers = int(p.width_) >= b.width() || int(p.height_) >= b.height();
        if (box.isValid() && covers && (!chosen || area < qint64(chosen->width_) * chosen->height_))
            chosen = &p;
    }
    return chosen ? chosen : largest;
}

// The JPEG previews a TIFF-based file names by their offset and length tags, in file offsets.
std::vector<std::pair<qint64, qint64>> jpegRangesOf(const Exiv2::ExifData& exif) {
    std::vector<std::pair<qint64, qint64>> ranges;
    for (const Exiv2::Exifdatum& offsetTag : exif) {
        if (offsetTag.tagName() != "JPEGInterchangeFormat" || offsetTag.count() == 0 ||
            offsetTag.groupName().rfind("Nikon", 0) == 0) // the maker note counts from its own
            continue;
        const auto lengthTag = exif.findKey(
            Exiv2::ExifKey("Exif." + offsetTag.groupName() + ".JPEGInterchangeFormatLength"));
        if (lengthTag != exif.end() && lengthTag->count() > 0)
            ranges.emplace_back(qint64(offsetTag.toLong(0)), qint64(lengthTag->toLong(0)));
    }
    return ranges;
}

// A raw file's JPEG preview where it lies in `bytes`, without a copy (the preview of a 24 MP
// NEF is several megabytes, copied twice through the library): found by its offset and length
// tags, and only when those describe a JPEG of the chosen preview's size; else empty. Valid as
// long as `bytes` is.
QByteArray jpegPreviewInPlace(const QByteArray& bytes, const Exiv2::ExifData& exif,
                              const Exiv2::PreviewProperties& chosen) {
    if (chosen.mimeType_ != "image/jpeg")
        return {};
    for (const auto& [offset, length] : jpegRangesOf(exif)) {
        if (length != qint64(chosen.size_) || offset < 0 || length < 4 ||
            offset > bytes.size() - length)
            continue;
        const char* start = bytes.constData() + offset;
        if (uchar(start[0]) == 0xFF && uchar(start[1]) == 0xD8)
            return QByteArray::fromRawData(start, qsizetype(length));
    }
    return {};
}

// Whether a preview the file names lies past its end: the file was cut short, and the library
// leaves such a preview out, so that only a smaller one would be shown.
bool previewPastEnd(const QByteArray& bytes, const Exiv2::ExifData& exif) {
    for (const auto& [offset, length] : jpegRangesOf(exif))
        if (offset >= 0 && length > 0 && offset + length > bytes.size())
            return true;
    return false;
}

// The largest preview smaller than `chosen`: the nearest to the view of those quicker to decode.
const Exiv2::PreviewProperties* quickPreviewOf(const Exiv2::PreviewPropertiesList& previews,
                                               const Exiv2::PreviewProperties& chosen) {
    const auto area = [](const Exiv2::PreviewProperties& p) {
        return qint64(p.width_) * p.height_;
    };
    const Exiv2::PreviewProperties* best = nullptr;
    for (const auto& p : previews)
        if (area(p) < area(chosen) && (!best || area(p) > area(*best)))
            best = &p;
    return best;
}

// Reads everything from `bytes` in one pass of the library: the shooting data, and as asked the
// raw file's preview for `previewBox` (and the one below it for a quick paint) and a JPEG's EXIF
// thumbnail. The library works on the bytes in memory only, never on the file.
Metadata readMetadata(const QByteArray& bytes, PictureFormat format, bool wantPreview,
                      QSize previewBox, bool wantThumbnail, bool wantQuick) {
    Metadata m;
    if (bytes.isEmpty())
        return m;
    try {
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.data()),
                                               long(bytes.size()));
        if (!image.get())
            return m;
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        ShootingData& d = m.data;
        d.make = textOf(exif, Exiv2::make(exif));
        d.model = textOf(exif, Exiv2::model(exif));
        QString lens = textOf(exif, exif.findKey(Exiv2::ExifKey("Exif.Photo.LensModel")));
        if (lens.isEmpty()) {
            lens = textOf(exif, Exiv2::lensName(exif));
            // An unknown lens prints as its number, or in parentheses.
            bool numeric = false;
            lens.toInt(&numeric);
            if (numeric || lens.startsWith(QLatin1Char('(')))
                lens.clear();
        }
        d.lens = lens;
        d.focalLength = realOf(exif, "Exif.Photo.FocalLength");
        d.exposure = rationalOf(exif, "Exif.Photo.ExposureTime");
        d.aperture = realOf(exif, "Exif.Photo.FNumber");
        const auto iso = Exiv2::isoSpeed(exif);
        if (iso != exif.end() && iso->count() > 0)
            d.iso = qint64(iso->toLong(0));
        const auto bias = rationalOf(exif, "Exif.Photo.ExposureBiasValue");
        if (bias) {
            const auto raw = exif.findKey(Exiv2::ExifKey("Exif.Photo.ExposureBiasValue"));
            const Exiv2::Rational r = raw->toRational(0);
            d.exposureBias = double(r.first) / double(r.second);
        }
        const auto when = Exiv2::dateTimeOriginal(exif);
        if (when != exif.end()) {
            QString t = QString::fromStdString(when->toString()).trimmed();
            // "2026:12:08 17:08:05" as a date reads.
            if (t.size() >= 10 && t[4] == QLatin1Char(':') && t[7] == QLatin1Char(':')) {
                t[4] = QLatin1Char('-');
                t[7] = QLatin1Char('-');
            }
            d.dateTime = t;
        }
        const auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != exif.end() && orientation->count() > 0) {
            const long o = orientation->toLong(0);
            d.orientation = o >= 1 && o <= 8 ? int(o) : 1;
        }
        if (wantPreview && format == PictureFormat::Raw) {
            Exiv2::PreviewManager previews(*image);
            const Exiv2::PreviewPropertiesList list = previews.getPreviewProperties();
            m.hasPreviews = !list.empty();
            m.previewPastEnd = previewPastEnd(bytes, exif);
            const bool swap = swapsSides(transformationOf(d.orientation));
            if (const auto* chosen = choosePreview(list, previewBox, swap)) {
                m.previewMime = QString::fromStdString(chosen->mimeType_);
                m.preview = jpegPreviewInPlace(bytes, exif, *chosen);
                if (m.preview.isEmpty()) {
                    const Exiv2::PreviewImage preview = previews.getPreviewImage(*chosen);
                    m.previewMime = QString::fromStdString(preview.mimeType());
                    m.preview = QByteArray(reinterpret_cast<const char*>(preview.pData()),
                                           qsizetype(preview.size()));
                }
                const auto* quick = wantQuick ? quickPreviewOf(list, *chosen) : nullptr;
                if (quick) {
                    const Exiv2::PreviewImage preview = previews.getPreviewImage(*quick);
                    m.quickMime = QString::fromStdString(preview.mimeType());
                    m.quickPreview = QByteArray(reinterpret_cast<const char*>(preview.pData()),
                                                qsizetype(preview.size()));
                }
            }
        }
        if (wantThumbnail && format == PictureFormat::Jpeg) {
            Exiv2::ExifThumbC thumb(exif);
            const Exiv2::DataBuf buf = thumb.copy();
            if (buf.size_ > 0)
                m.exifThumbnail = QByteArray(reinterpret_cast<const char*>(buf.pData_), buf.size_);
        }
    } catch (const std::exception& e) {
        qCDebug(zarvLookout, "No metadata read: %s", e.what());
    }
    return m;
}

// The largest of libjpeg-turbo's scalings (1/8, 1/4, 1/2) whose picture still covers `target`,
// as its denominator; 1 when none does or no target is given.
int jpegScale(QSize size, QSize target) {
    if (!target.isValid() || target.isEmpty())
        return 1;
    for (int d : {8, 4, 2})
        if ((size.width() + d - 1) / d >= target.width() &&
            (size.height() + d - 1) / d >= target.height())
            return d;
    return 1;
}

// How a picture stored at `raw` and turned by `t` is shown fitted into `box` (invalid: full
// size): its size as shown, and the size to decode it to, as stored.
struct Fit {
    QSize shown;
    QSize target;
};

Fit fitOf(QSize raw, QImageIOHandler::Transformations t, QSize box) {
    const bool swap = swapsSides(t);
    Fit f{swap ? raw.transposed() : raw, {}};
    f.target = fitted(f.shown, box);
    if (swap)
        f.target.transpose();
    return f;
}

QString tooLargeText(const QString& name, QSize shown) {
    return QStringLiteral("%1 is %2 \u00d7 %3 pixels: too large to show at this size.")
        .arg(name)
        .arg(shown.width())
        .arg(shown.height());
}

// Decodes from `device` fitted into `box` (invalid: full size), turned by `extra` on top of
// what the data says about itself.
Decoded decodeWith(QIODevice* device, const char* format, QSize box, const QString& name,
                   QImageIOHandler::Transformations extra) {
    Decoded out;
    QImageReader reader(device, format);
    reader.setAutoTransform(true);
    const QSize raw = reader.size();
    if (!raw.isValid()) {
        out.error = QStringLiteral("%1 cannot be decoded: %2.").arg(name, reader.errorString());
        return out;
    }
    QImageIOHandler::Transformations t = reader.transformation();
    if (extra != QImageIOHandler::TransformationNone && t == QImageIOHandler::TransformationNone)
        t = extra;
    const Fit fit = fitOf(raw, t, box);
    out.fullSize = fit.shown;
    const bool jpeg = qstrcmp(format, "jpeg") == 0;
    const QSize decodeSize = jpeg ? jpegScaledSize(raw, fit.target) : fit.target;
    // Only JPEG decodes smaller: other formats are decoded whole, then scaled.
    const QSize decoded = jpeg ? decodeSize : raw;
    if (qint64(decoded.width()) * decoded.height() > kMaxFullPixels) {
        out.error = tooLargeText(name, fit.shown);
        return out;
    }
    if (decodeSize != raw)
        reader.setScaledSize(decodeSize);
    QImage image;
    if (!reader.read(&image)) {
        out.error = QStringLiteral("%1 cannot be decoded: %2.").arg(name, reader.errorString());
        return out;
    }
    if (t != reader.transformation())
        image = applyTransformation(std::move(image), t);
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32 &&
        image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                              : QImage::Format_RGB32);
    out.image = std::move(image);
    return out;
}

// QImage::Format_RGB32 as it lies in memory; libjpeg-turbo fills the unused byte with 0xFF.
constexpr int kTurboPixelFormat = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;

class TurboDecoder {
public:
    TurboDecoder() : m_handle(tjInitDecompress()) {}
    ~TurboDecoder() {
        if (m_handle)
            tjDestroy(m_handle);
    }
    TurboDecoder(const TurboDecoder&) = delete;
    TurboDecoder& operator=(const TurboDecoder&) = delete;

    tjhandle handle() const { return m_handle; }
    QString reason() const {
        QString text = QString::fromLocal8Bit(tjGetErrorStr2(m_handle)).trimmed();
        while (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        return text.isEmpty() ? QStringLiteral("not a JPEG libjpeg-turbo can read") : text;
    }

private:
    tjhandle m_handle;
};

struct JpegHeader {
    QSize size; // as stored, before any orientation
    int colorspace = -1;
};

std::optional<JpegHeader> jpegHeaderOf(const TurboDecoder& decoder, const QByteArray& bytes) {
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (!decoder.handle() ||
        tjDecompressHeader3(decoder.handle(), reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<unsigned long>(bytes.size()), &width, &height, &subsampling,
                            &colorspace) != 0 ||
        width <= 0 || height <= 0)
        return std::nullopt;
    return JpegHeader{QSize(width, height), colorspace};
}

// Below this a picture decodes faster than threads are started for its bands.
constexpr qsizetype kBandsFromBytes = 1024 * 1024;
constexpr int kMostBands = 4;
// How far from a seam, in rows of 8 x 8 blocks, a decoder's colour smoothing reaches.
constexpr int kBlockRowsBlended = 1;

// Decodes `bytes` into `image`, the picture at 1/`denominator`, in bands side by side, one per
// core, each straight into its rows. False, with `image` to be filled again, where the picture
// has no bands or one of them failed.
bool decodeInBands(const QByteArray& bytes, QImage& image, int denominator) {
    const int cores = std::min(QThread::idealThreadCount(), kMostBands);
    if (bytes.size() < kBandsFromBytes || cores < 2)
        return false;
    const JpegCut cut = splitJpegAtRestarts(bytes, cores);
    if (cut.empty())
        return false;
    // Taken once: QImage's own accessors are not for several threads at a time.
    uchar* const bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    const int width = image.width(), height = image.height();
    // Decodes `band` into `rows` rows from `to`, as many as its scaled height.
    const auto decode = [&](const JpegBand& band, uchar* to, qsizetype pitch, int rows) {
        const TurboDecoder decoder;
        return decoder.handle() &&
               tjDecompress2(decoder.handle(),
                             reinterpret_cast<const unsigned char*>(band.jpeg.constData()),
                             static_cast<unsigned long>(band.jpeg.size()), to, width, int(pitch),
                             rows, kTurboPixelFormat, 0) == 0;
    };
    const auto scaledRows = [&](const JpegBand& band) {
        return (band.height + denominator - 1) / denominator;
    };
    std::vector<char> ok(cut.bands.size(), 0);
    const auto decodeBand = [&](size_t i) {
        const JpegBand& band = cut.bands[i];
        // Band tops are whole rows of blocks, which every scaling divides.
        const int top = band.top / denominator;
        if (band.top % denominator == 0 && top + scaledRows(band) <= height)
            ok[i] = decode(band, bits + top * stride, stride, scaledRows(band));
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < cut.bands.size(); ++i) {
        try {
            threads.emplace_back([&decodeBand, i] {
                ::pthread_setname_np(::pthread_self(), "lookout-band");
                decodeBand(i);
            });
        } catch (const std::system_error&) {
            decodeBand(i); // no thread to be had: this one does it
        }
    }
    decodeBand(0);
    for (std::thread& t : threads)
        t.join();
    if (!std::all_of(ok.begin(), ok.end(), [](char b) { return b != 0; }))
        return false;
    // Each seam's rows, blended as in one decode, from the band that spans it.
    for (size_t i = 0; i < cut.seams.size(); ++i) {
        const JpegBand& seam = cut.seams[i];
        QImage rows(width, scaledRows(seam), QImage::Format_RGB32);
        if (rows.isNull() || seam.top % denominator != 0 ||
            !decode(seam, rows.bits(), rows.bytesPerLine(), rows.height()))
            return false;
        const int at = cut.bands[i + 1].top / denominator, seamTop = seam.top / denominator;
        const int reach = std::max(1, kBlockRowsBlended * 8 / denominator);
        for (int y = std::max(at - reach, seamTop);
             y < std::min({at + reach, seamTop + rows.height(), height}); ++y)
            std::memcpy(bits + y * stride, rows.constScanLine(y - seamTop), size_t(stride));
    }
    return true;
}

// A JPEG decoded by libjpeg-turbo straight into the image's own buffer, at the scale that covers
// `box` (invalid: full size), turned by `t`. Four-colour JPEGs, which it cannot bring to RGB,
// are left to `qtFallback`.
Decoded decodeJpegData(const QByteArray& bytes, QSize box, const QString& name,
                       QImageIOHandler::Transformations t,
                       const std::function<Decoded()>& qtFallback) {
    Decoded out;
    const TurboDecoder decoder;
    const auto header = jpegHeaderOf(decoder, bytes);
    if (!header) {
        out.error =
            QStringLiteral("%1 cannot be decoded: %2.")
                .arg(name, decoder.handle() ? decoder.reason() : QStringLiteral("no JPEG decoder"));
        return out;
    }
    if (header->colorspace == TJCS_CMYK || header->colorspace == TJCS_YCCK)
        return qtFallback();
    const QSize raw = header->size;
    const Fit fit = fitOf(raw, t, box);
    out.fullSize = fit.shown;
    const int scale = jpegScale(raw, fit.target);
    const QSize decodeSize((raw.width() + scale - 1) / scale, (raw.height() + scale - 1) / scale);
    if (qint64(decodeSize.width()) * decodeSize.height() > kMaxFullPixels) {
        out.error = tooLargeText(name, fit.shown);
        return out;
    }
    QImage image(decodeSize, QImage::Format_RGB32);
    if (image.isNull()) {
        out.error = QStringLiteral("%1 is %2 \u00d7 %3 pixels: not enough memory to show it.")
                        .arg(name)
                        .arg(fit.shown.width())
                        .arg(fit.shown.height());
        return out;
    }
    // A warning (stray bytes, a damaged stretch of data) still leaves a whole picture, as in
    // any viewer; an error leaves none. Bands hold no damage: a file with any is decoded whole.
    if (!decodeInBands(bytes, image, scale) &&
        tjDecompress2(decoder.handle(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<unsigned long>(bytes.size()), image.bits(), image.width(),
                      int(image.bytesPerLine()), image.height(), kTurboPixelFormat, 0) != 0 &&
        tjGetErrorCode(decoder.handle()) != TJERR_WARNING) {
        out.error = QStringLiteral("%1 cannot be decoded: %2.").arg(name, decoder.reason());
        return out;
    }
    out.image = applyTransformation(std::move(image), t);
    return out;
}

// A JPEG whose data stops before its end marker was cut short.
bool jpegIsComplete(const QByteArray& bytes) {
    return bytes.right(4096).contains("\xff\xd9");
}

QString unsupportedText(const QString& name) {
    return QStringLiteral("%1 is not a picture this viewer can show (JPEG, TIFF, NEF, NRW, "
                          "PNG, WebP).")
        .arg(name);
}

// Why a file of `format` is not decoded at all, before more than its head is read; empty when
// it may be.
QString refusalOf(const OpenFile& file, PictureFormat format, const QString& name) {
    if (format == PictureFormat::Unknown)
        return unsupportedText(name);
    if (format == PictureFormat::Heif &&
        !QImageReader::supportedImageFormats().contains(QByteArrayLiteral("heif")))
        return QStringLiteral("%1 is a HEIF picture, which Qt on this system cannot decode.")
            .arg(name);
    if (file.size() > kMaxInMemoryBytes && format == PictureFormat::Raw)
        return QStringLiteral("%1 is too large to be a raw file (%2 MB).")
            .arg(name)
            .arg(file.size() / 1000000);
    return {};
}

// The bytes every reader works on. A thumbnail starts from the file's head, which holds the
// metadata, the EXIF thumbnail and a raw file's smallest preview; the rest is read only when
// they are not in it. Files larger than is read into memory are left to Qt's readers.
class FileBytes {
public:
    FileBytes(const OpenFile& file, bool headFirst) : m_file(file) {
        if (headFirst && file.size() > kThumbnailHeadBytes)
            m_bytes = file.read(0, kThumbnailHeadBytes);
        else
            readWhole();
    }
    void readWhole() {
        if (m_whole || m_file.size() > kMaxInMemoryBytes)
            return;
        m_bytes = m_file.read(0, m_file.size());
        m_whole = true;
    }
    bool whole() const { return m_whole; }
    bool canGrow() const { return !m_whole && m_file.size() <= kMaxInMemoryBytes; }
    QByteArray& bytes() { return m_bytes; }

private:
    const OpenFile& m_file;
    QByteArray m_bytes;
    bool m_whole = false;
};

Decoded decodeBuffer(QByteArray& bytes, const char* format, QSize box, const QString& name,
                     QImageIOHandler::Transformations extra) {
    const auto withQt = [&] {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        return decodeWith(&buffer, format, box, name, extra);
    };
    if (qstrcmp(format, "jpeg") == 0)
        return decodeJpegData(bytes, box, name, extra, withQt);
    return withQt();
}

// Whether `small` shows the whole of a picture of `full` (both as shown), to within a pixel of
// its own: a thumbnail letterboxed to another shape is no stand-in for the picture.
bool sameShape(QSize small, QSize full) {
    const qint64 cross =
        qint64(small.width()) * full.height() - qint64(small.height()) * full.width();
    return !small.isEmpty() && !full.isEmpty() &&
           std::abs(cross) <= std::max<qint64>(full.width(), full.height());
}

// The picture inside a thumbnail that cameras letterbox to their fixed shape (a raw file's
// 160 x 120), when the bars around it are black all through; else null.
QImage withoutBars(const QImage& thumbnail, QSize fullShown) {
    const QSize inner = fullShown.scaled(thumbnail.size(), Qt::KeepAspectRatio);
    const QRect picture(
        QPoint((thumbnail.width() - inner.width()) / 2, (thumbnail.height() - inner.height()) / 2),
        inner);
    if (inner.isEmpty() || picture == thumbnail.rect())
        return {};
    const QImage rgb = thumbnail.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x)
            if (!picture.adjusted(-1, -1, 1, 1).contains(x, y) && qGray(rgb.pixel(x, y)) > 24)
                return {};
    return rgb.copy(picture);
}

// A quick stand-in for a picture of `fullShown` fitted into `box`: `bytes` (an EXIF thumbnail or
// a smaller raw preview) decoded and brought to the size the fitted picture will have, so that
// painting it is a plain copy. Null when it is not of the picture's shape or does not decode.
Decoded quickPicture(QByteArray& bytes, bool jpeg, QSize fullShown, QSize box, const QString& name,
                     QImageIOHandler::Transformations orientation) {
    Decoded q = decodeBuffer(bytes, jpeg ? "jpeg" : "tiff", box, name, orientation);
    if (!q.image.isNull() && !sameShape(q.image.size(), fullShown))
        q.image = withoutBars(q.image, fullShown);
    if (q.image.isNull() || !sameShape(q.image.size(), fullShown))
        return {};
    const QSize size = fitted(fullShown, box);
    if (q.image.size() != size)
        q.image = q.image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (q.image.format() != QImage::Format_RGB32)
        q.image = q.image.convertToFormat(QImage::Format_RGB32);
    q.error.clear();
    q.fullSize = fullShown;
    q.quick = true;
    return q;
}

// A raw file shows the embedded preview chosen for the box.
Decoded decodeRawPreview(Metadata& meta, QSize box, const QString& name,
                         QImageIOHandler::Transformations orientation) {
    Decoded out;
    if (meta.preview.isEmpty()) {
        out.error = meta.hasPreviews
                        ? QStringLiteral("%1: its embedded preview cannot be read.").arg(name)
                        : QStringLiteral("%1 holds no embedded preview to show.").arg(name);
        return out;
    }
    const bool jpeg = meta.previewMime == QLatin1String("image/jpeg");
    if (jpeg && !jpegIsComplete(meta.preview)) {
        out.error =
            QStringLiteral("%1 is cut short: its embedded preview is incomplete.").arg(name);
        return out;
    }
    const char* f = jpeg ? "jpeg" : "tiff";
    out = decodeBuffer(meta.preview, f, box, name, orientation);
    if (out.image.isNull())
        out.error = QStringLiteral("%1: its embedded preview cannot be decoded.").arg(name);
    out.preview = true;
    return out;
}

// Any other picture is decoded whole by Qt, from memory or, when larger than is read into
// memory, through the file (never a mapping of it).
Decoded decodeFile(const OpenFile& file, FileBytes& bytes, PictureFormat format, QSize box,
                   const QString& name, QImageIOHandler::Transformations orientation) {
    bytes.readWhole();
    // Qt's readers turn other formats by what the file says itself.
    if (bytes.whole())
        return decodeBuffer(bytes.bytes(), qtFormat(format), box, name,
                            format == PictureFormat::Jpeg ? orientation
                                                          : QImageIOHandler::TransformationNone);
    QFile device;
    if (!file.openDevice(&device)) {
        Decoded out;
        out.error = QStringLiteral("%1 cannot be read.").arg(name);
        return out;
    }
    return decodeWith(&device, qtFormat(format), box, name, QImageIOHandler::TransformationNone);
}

// The quick stand-in for the fitted view of what `bytes` and `meta` hold, or null.
Decoded quickOf(FileBytes& bytes, Metadata& meta, PictureFormat format, QSize box,
                const QString& name, QImageIOHandler::Transformations orientation) {
    QByteArray* small = nullptr;
    const QByteArray* large = nullptr;
    bool jpeg = true;
    if (format == PictureFormat::Jpeg && !meta.exifThumbnail.isEmpty()) {
        small = &meta.exifThumbnail;
        large = &bytes.bytes();
    } else if (format == PictureFormat::Raw && !meta.quickPreview.isEmpty() &&
               meta.previewMime == QLatin1String("image/jpeg") &&
               (meta.quickMime == QLatin1String("image/jpeg") ||
                meta.quickMime == QLatin1String("image/tiff"))) {
        small = &meta.quickPreview;
        large = &meta.preview;
        jpeg = meta.quickMime == QLatin1String("image/jpeg");
    }
    if (!small || (format == PictureFormat::Raw && !jpegIsComplete(meta.preview)))
        return {};
    const TurboDecoder decoder;
    const auto header = jpegHeaderOf(decoder, *large);
    if (!header)
        return {};
    const QSize full = swapsSides(orientation) ? header->size.transposed() : header->size;
    Decoded q = quickPicture(*small, jpeg, full, box, name, orientation);
    q.preview = format == PictureFormat::Raw;
    q.format = format;
    return q;
}

Decoded decodeOpened(const OpenFile& file, const QString& path, QSize box, bool withData,
                     bool thumbnail, const QuickPicture& quick) {
    const QString name = nameOf(path);
    const PictureFormat format = formatOf(file.read(0, 16), path);
    Decoded out;
    out.format = format;
    out.error = refusalOf(file, format, name);
    if (!out.error.isEmpty())
        return out;
    FileBytes bytes(file, thumbnail);
    if (format == PictureFormat::Jpeg && bytes.whole() && !jpegIsComplete(bytes.bytes())) {
        out.error = QStringLiteral("%1 is cut short: the end of its JPEG data is missing "
                                   "(%2 bytes).")
                        .arg(name)
                        .arg(bytes.bytes().size());
        return out;
    }
    const bool wantQuick = quick && box.isValid() && !thumbnail;
    const bool wantPreview = format == PictureFormat::Raw;
    const bool wantThumbnail = (thumbnail || wantQuick) && format == PictureFormat::Jpeg;
    Metadata meta;
    // A JPEG's orientation is read here too: libjpeg-turbo knows nothing of EXIF.
    if (withData || wantPreview || wantThumbnail || format == PictureFormat::Jpeg) {
        meta = readMetadata(bytes.bytes(), format, wantPreview, box, wantThumbnail, wantQuick);
        const bool missing = (wantPreview && meta.preview.isEmpty()) ||
                             (thumbnail && wantThumbnail && meta.exifThumbnail.isEmpty());
        if (missing && bytes.canGrow()) {
            bytes.readWhole();
            meta = readMetadata(bytes.bytes(), format, wantPreview, box, wantThumbnail, wantQuick);
        }
    }
    const auto orientation = transformationOf(meta.data.orientation);
    if (thumbnail && !meta.exifThumbnail.isEmpty())
        out = decodeBuffer(meta.exifThumbnail, "jpeg", box, name, orientation);
    if (format == PictureFormat::Raw && meta.previewPastEnd && bytes.whole() && !thumbnail) {
        out.error =
            QStringLiteral("%1 is cut short: its embedded preview is incomplete.").arg(name);
        return out;
    }
    if (wantQuick && bytes.whole()) {
        Decoded q = quickOf(bytes, meta, format, box, name, orientation);
        if (!q.image.isNull()) {
            if (withData)
                q.data = meta.data;
            quick(std::move(q));
        }
    }
    if (out.image.isNull())
        out = format == PictureFormat::Raw
                  ? decodeRawPreview(meta, box, name, orientation)
                  : decodeFile(file, bytes, format, box, name, orientation);
    if (thumbnail && !out.image.isNull() && out.image.size() != fitted(out.image.size(), box))
        out.image = out.image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    out.format = format;
    if (withData)
        out.data = meta.data;
    return out;
}

} // namespace

QSize jpegScaledSize(QSize size, QSize target) {
    const int d = jpegScale(size, target);
    return QSize((size.width() + d - 1) / d, (size.height() + d - 1) / d);
}

void fitToBox(Decoded& d, QSize box) {
    if (d.image.isNull() || !box.isValid())
        return;
    const QSize size = d.image.size();
    if (size.width() <= box.width() && size.height() <= box.height())
        return;
    d.image = d.image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

void initializePictureReading() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize();
        // Its warnings about odd files would only fill the log; what matters is reported.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        QImageReader::setAllocationLimit(int(kMaxFullPixels * 4 / (1024 * 1024)) + 1);
    });
}

Decoded decodePicture(const QString& path, QSize box, bool withData, const QuickPicture& quick) {
    initializePictureReading();
    const OpenFile file(path);
    if (!file.ok()) {
        Decoded out;
        out.error = file.error();
        return out;
    }
    return decodeOpened(file, path, box, withData, false, quick);
}

Decoded makeThumbnail(const QString& path, QSize box) {
    initializePictureReading();
    const OpenFile file(path);
    if (!file.ok()) {
        Decoded out;
        out.error = file.error();
        return out;
    }
    return decodeOpened(file, path, box, false, true, {});
}

} // namespace zarv::lookout
