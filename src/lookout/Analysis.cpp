#include "Analysis.h"

#include <cmath>

namespace zarv::lookout {

namespace {

QImage asRgb32(const QImage& image) {
    if (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32)
        return image;
    return image.convertToFormat(QImage::Format_RGB32);
}

int luminance(int r, int g, int b) {
    // Rec. 709 weights in 1/1024.
    return (218 * r + 732 * g + 74 * b + 512) >> 10;
}

} // namespace

Histogram histogramOf(const QImage& source, qsizetype maxSamples) {
    Histogram h;
    if (source.isNull())
        return h;
    const QImage image = asRgb32(source);
    const qsizetype pixels = qsizetype(image.width()) * image.height();
    const int step =
        pixels > maxSamples ? int(std::ceil(std::sqrt(double(pixels) / maxSamples))) : 1;
    quint64 high = 0, low = 0;
    for (int y = 0; y < image.height(); y += step) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x += step) {
            const QRgb p = line[x];
            const int r = qRed(p), g = qGreen(p), b = qBlue(p);
            ++h.bins[Histogram::Red][r];
            ++h.bins[Histogram::Green][g];
            ++h.bins[Histogram::Blue][b];
            ++h.bins[Histogram::Luminance][luminance(r, g, b)];
            high += (r >= kHighlight || g >= kHighlight || b >= kHighlight) ? 1 : 0;
            low += (r <= kShadow && g <= kShadow && b <= kShadow) ? 1 : 0;
            ++h.samples;
        }
    }
    if (h.samples > 0) {
        h.clippedHighlights = double(high) / double(h.samples);
        h.clippedShadows = double(low) / double(h.samples);
    }
    return h;
}

QImage clippingOverlay(const QImage& source) {
    if (source.isNull())
        return {};
    const QImage image = asRgb32(source);
    QImage overlay(image.size(), QImage::Format_ARGB32_Premultiplied);
    const QRgb highlight = qRgba(255, 0, 0, 255);
    const QRgb shadow = qRgba(0, 64, 255, 255);
    for (int y = 0; y < image.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        auto* out = reinterpret_cast<QRgb*>(overlay.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = in[x];
            const int r = qRed(p), g = qGreen(p), b = qBlue(p);
            if (r >= kHighlight || g >= kHighlight || b >= kHighlight)
                out[x] = highlight;
            else if (r <= kShadow && g <= kShadow && b <= kShadow)
                out[x] = shadow;
            else
                out[x] = 0;
        }
    }
    return overlay;
}

} // namespace zarv::lookout
