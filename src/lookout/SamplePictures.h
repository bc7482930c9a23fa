#pragma once

#include <QImage>
#include <QString>

#include <utility>

namespace zarv::lookout::samples {

/// What a sample says about its shot, written as EXIF.
struct Shot {
    QString make = QStringLiteral("NIKON CORPORATION");
    QString model = QStringLiteral("NIKON Z 7_2");
    QString lens = QStringLiteral("NIKKOR Z 24-70mm f/4 S");
    std::pair<int, int> focalLength{50, 1};
    std::pair<int, int> exposure{1, 250};
    std::pair<int, int> fNumber{8, 1};
    int iso = 100;
    std::pair<int, int> bias{-1, 3};
    QString dateTime = QStringLiteral("2026:12:08 17:08:05");
    int orientation = 1;
};

/// A landscape with a sharp target in it, for the eye and the focus check: sky, sun (pure white,
/// clipped), hills, a black band (clipped shadows) and fine print. `variant` moves things.
QImage drawScene(QSize size, int variant = 0);

/// `image` as a camera body writes a JPEG: 4:2:0 (grey for a Grayscale8 image), a restart marker at
/// every row of blocks, no metadata. Empty if libjpeg fails.
QByteArray jpegBytes(const QImage& image, int quality);

/// A JPEG file with EXIF (and a 160 px EXIF thumbnail unless `thumbnail` is false).
bool writeJpeg(const QString& path, const QImage& image, const Shot& shot, int quality = 90,
               bool thumbnail = true, QString* error = nullptr);

/// A Nikon raw file as far as a viewer sees one: TIFF with a 160 x 120 thumbnail in IFD0, the
/// JPEG preview of `preview` in its first sub-IFD, and the EXIF of `shot`; no sensor data.
bool writeNef(const QString& path, const QImage& preview, const Shot& shot,
              QString* error = nullptr);

} // namespace zarv::lookout::samples
