#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace zarv::lookout {

/// What a photographer reads off a shot, from the file's metadata. A value the file does not
/// hold stays empty.
struct ShootingData {
    QString make;
    QString model;
    QString lens;
    std::optional<double> focalLength;                 // millimetres
    std::optional<std::pair<qint64, qint64>> exposure; // seconds as a fraction
    std::optional<double> aperture;                    // f-number
    std::optional<qint64> iso;
    std::optional<double> exposureBias; // EV
    QString dateTime;                   // "2026-12-08 17:08:05"
    int orientation = 1;                // EXIF orientation, 1 to 8

    bool isEmpty() const {
        return model.isEmpty() && make.isEmpty() && lens.isEmpty() && !focalLength && !exposure &&
               !aperture && !iso && !exposureBias && dateTime.isEmpty();
    }
};

/// "1/250 s", "1/2.5 s", "1 s", "1.3 s", "30 s", as cameras show exposure times.
QString formatExposure(qint64 numerator, qint64 denominator);
/// "f/8", "f/2.8", "f/11".
QString formatAperture(double f);
/// "+0.3 EV", "−1 EV", "0 EV", from thirds and halves as cameras write them.
QString formatExposureBias(double ev);
/// "50 mm", "10.5 mm".
QString formatFocalLength(double mm);

/// One line: camera, lens, focal length, exposure time, aperture, ISO, compensation, time,
/// separated by "  ·  ". Empty when nothing is known.
QString formatShootingLine(const ShootingData& data);

} // namespace zarv::lookout
