#include "ShootingData.h"

#include <QStringList>

#include <cmath>

namespace zarv::lookout {

namespace {

// A number with at most one decimal, without a trailing ".0".
QString oneDecimal(double v) {
    const double rounded = std::round(v * 10.0) / 10.0;
    if (std::fabs(rounded - std::round(rounded)) < 1e-9)
        return QString::number(qint64(std::llround(rounded)));
    return QString::number(rounded, 'f', 1);
}

} // namespace

QString formatExposure(qint64 numerator, qint64 denominator) {
    if (numerator <= 0 || denominator <= 0)
        return {};
    // As the camera shows it: whole and decimal seconds from 1 s up, fractions below.
    const double seconds = double(numerator) / double(denominator);
    if (seconds >= 1.0 - 1e-9)
        return oneDecimal(seconds) + QStringLiteral(" s");
    const double inverse = 1.0 / seconds;
    return QStringLiteral("1/%1 s").arg(inverse >= 10 ? QString::number(std::llround(inverse))
                                                      : oneDecimal(inverse));
}

QString formatAperture(double f) {
    if (!(f > 0))
        return {};
    return QStringLiteral("f/") + oneDecimal(f);
}

QString formatExposureBias(double ev) {
    if (!std::isfinite(ev))
        return {};
    const double rounded = std::round(ev * 10.0) / 10.0;
    if (std::fabs(rounded) < 0.05)
        return QStringLiteral("0 EV");
    const QString magnitude = oneDecimal(std::fabs(rounded));
    return (rounded > 0 ? QStringLiteral("+") : QStringLiteral("\u2212")) + magnitude +
           QStringLiteral(" EV");
}

QString formatFocalLength(double mm) {
    if (!(mm > 0))
        return {};
    return oneDecimal(mm) + QStringLiteral(" mm");
}

QString formatShootingLine(const ShootingData& d) {
    QStringList parts;
    QString camera = d.model.trimmed();
    // "NIKON CORPORATION" + "NIKON Z 7_2": the model says it all.
    const QString brand = d.make.section(QLatin1Char(' '), 0, 0).trimmed();
    if (!d.make.trimmed().isEmpty() && !camera.startsWith(brand, Qt::CaseInsensitive))
        camera = camera.isEmpty() ? d.make.trimmed() : brand + QLatin1Char(' ') + camera;
    if (!camera.isEmpty())
        parts << camera;
    if (!d.lens.trimmed().isEmpty())
        parts << d.lens.trimmed();
    if (d.focalLength)
        parts << formatFocalLength(*d.focalLength);
    if (d.exposure)
        parts << formatExposure(d.exposure->first, d.exposure->second);
    if (d.aperture)
        parts << formatAperture(*d.aperture);
    if (d.iso && *d.iso > 0)
        parts << QStringLiteral("ISO %1").arg(*d.iso);
    if (d.exposureBias)
        parts << formatExposureBias(*d.exposureBias);
    if (!d.dateTime.isEmpty())
        parts << d.dateTime;
    parts.removeAll(QString());
    return parts.join(QStringLiteral("  \u00b7  "));
}

} // namespace zarv::lookout
