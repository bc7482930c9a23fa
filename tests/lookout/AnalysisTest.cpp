#include "lookout/Analysis.h"

#include <gtest/gtest.h>

using namespace zarv::lookout;

TEST(LookoutAnalysis, HistogramCountsEachChannelAndTheClippedShares) {
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(qRgb(10, 128, 250));
    for (int x = 0; x < 10; ++x) {
        image.setPixel(x, 0, qRgb(255, 255, 255)); // clipped highlights
        image.setPixel(x, 1, qRgb(255, 20, 20));   // one channel clipped counts too
        image.setPixel(x, 2, qRgb(0, 0, 0));       // clipped shadows
    }
    const Histogram h = histogramOf(image);
    EXPECT_EQ(h.samples, 100u);
    EXPECT_EQ(h.bins[Histogram::Red][10], 70u);
    EXPECT_EQ(h.bins[Histogram::Green][128], 70u);
    EXPECT_EQ(h.bins[Histogram::Blue][250], 70u);
    EXPECT_EQ(h.bins[Histogram::Luminance][0], 10u);
    EXPECT_EQ(h.bins[Histogram::Luminance][255], 10u);
    EXPECT_DOUBLE_EQ(h.clippedHighlights, 0.2);
    EXPECT_DOUBLE_EQ(h.clippedShadows, 0.1);

    const QImage overlay = clippingOverlay(image);
    ASSERT_EQ(overlay.size(), image.size());
    EXPECT_EQ(qRed(overlay.pixel(3, 1)), 255);
    EXPECT_EQ(qBlue(overlay.pixel(3, 2)), 255);
    EXPECT_EQ(qAlpha(overlay.pixel(3, 5)), 0);

    EXPECT_TRUE(histogramOf(QImage()).isEmpty());
    EXPECT_TRUE(clippingOverlay(QImage()).isNull());
}

TEST(LookoutAnalysis, LargePicturesAreSampledAndOtherFormatsRead) {
    QImage big(4000, 3000, QImage::Format_RGB888);
    big.fill(QColor(200, 100, 50));
    const Histogram h = histogramOf(big, 100'000);
    EXPECT_LE(h.samples, 130'000u);
    EXPECT_GE(h.samples, 70'000u);
    EXPECT_EQ(h.bins[Histogram::Red][200], h.samples);
}
