#pragma once

#include <QImage>

#include <array>
#include <cstdint>

namespace zarv::lookout {

/// Counts of 256 levels for the red, green and blue channels and the luminance (Rec. 709).
struct Histogram {
    std::array<std::array<quint32, 256>, 4> bins{}; // red, green, blue, luminance
    quint64 samples = 0;
    enum Channel { Red = 0, Green = 1, Blue = 2, Luminance = 3 };
    /// The share of samples at 255 (highlights) and at 0 (shadows) in any channel.
    double clippedHighlights = 0;
    double clippedShadows = 0;
    bool isEmpty() const { return samples == 0; }
};

/// Levels at or above this in any channel count as clipped highlights; at or below kShadow in
/// every channel as clipped shadows.
inline constexpr int kHighlight = 255;
inline constexpr int kShadow = 0;

/// The histogram of `image`, from at most about `maxSamples` evenly spread pixels.
Histogram histogramOf(const QImage& image, qsizetype maxSamples = 2'000'000);

/// An overlay the size of `image`: clipped highlights in red, clipped shadows in blue,
/// transparent elsewhere. Null for a null image.
QImage clippingOverlay(const QImage& image);

} // namespace zarv::lookout
