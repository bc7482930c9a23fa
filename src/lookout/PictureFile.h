#pragma once

#include "ShootingData.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>

namespace zarv::lookout {

/// What a file holds, by its first bytes (and, for TIFF-based raw files, its extension).
enum class PictureFormat { Unknown, Jpeg, Tiff, Raw, Png, Heif, WebP };

/// The largest picture decoded at full size (100 %), in pixels: 4 bytes each in memory.
inline constexpr qint64 kMaxFullPixels = 150'000'000;
/// Larger files are not pictures this viewer opens.
inline constexpr qint64 kMaxFileBytes = qint64(2) << 30;
/// Files up to this size are read into memory before anything parses them, and libexiv2 reads
/// only such copies: it maps a TIFF-based file it opens itself, and a file cut short under a
/// mapping ends the process with SIGBUS. Larger ones are decoded through the file by Qt alone,
/// without shooting data.
inline constexpr qint64 kMaxInMemoryBytes = qint64(512) << 20;
/// A thumbnail reads this much of the file's head first.
inline constexpr qint64 kThumbnailHeadBytes = qint64(256) << 10;

/// One picture read for the screen. The file is only ever read.
struct Decoded {
    QImage image;         // null when `error` says why
    QString error;        // a sentence for the operator, in place of the picture
    QSize fullSize;       // the picture's own size, as shown (orientation applied)
    bool preview = false; // the embedded preview of a raw file
    bool quick = false;   // a stand-in from the same bytes until the fitted decode is ready
    PictureFormat format = PictureFormat::Unknown;
    ShootingData data;
};

/// Receives a quick first picture, on the decoding thread, before the fitted decode.
using QuickPicture = std::function<void(Decoded&&)>;

/// Decodes `path` to fit `box` (orientation applied), at the smallest size the decoder can make
/// that still covers it: JPEG (and a raw file's JPEG preview) is scaled by 1/2, 1/4 or 1/8
/// while decoding, by libjpeg-turbo straight into the image. An invalid `box` asks for the full
/// size. Never blocks on a FIFO or device, never follows more than a regular file, and says in
/// `error` what was wrong.
///
/// With `quick`, a fitted request first hands it a picture made in a few milliseconds from the
/// same bytes, when the file holds one of the picture's own proportions: a JPEG's EXIF
/// thumbnail, or the raw preview nearest below the one chosen for the box. It comes already
/// brought to the fitted size (`quick` set), and is never called for a file found unreadable or
/// cut short before its decode.
Decoded decodePicture(const QString& path, QSize box, bool withData = true,
                      const QuickPicture& quick = {});

/// Brings a fitted decode (at the decoder's 1/2, 1/4 or 1/8) to the exact size it is drawn at
/// in `box`, so that painting it is a plain copy.
void fitToBox(Decoded& decoded, QSize box);

/// A small picture for the filmstrip, fitted to `box`: the embedded EXIF thumbnail or a raw
/// file's smallest preview where there is one, else a scaled decode.
Decoded makeThumbnail(const QString& path, QSize box);

/// The size a JPEG decoder gives for `size` scaled by the largest of 1/2, 1/4, 1/8 that still
/// covers `target` (both in the file's own orientation).
QSize jpegScaledSize(QSize size, QSize target);

/// Starts the metadata library once, on the main thread, before any worker uses it.
void initializePictureReading();

} // namespace zarv::lookout
