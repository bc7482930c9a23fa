#include "lookout/ShootingData.h"
#include "LookoutTestSupport.h"
#include "lookout/PictureFile.h"

#include <gtest/gtest.h>

using namespace zarv::lookout;

TEST(LookoutShootingData, ValuesReadAsTheCameraShowsThem) {
    EXPECT_EQ(formatExposure(1, 250), QStringLiteral("1/250 s"));
    EXPECT_EQ(formatExposure(10, 8000), QStringLiteral("1/800 s"));
    EXPECT_EQ(formatExposure(10, 25), QStringLiteral("1/2.5 s"));
    EXPECT_EQ(formatExposure(1, 2), QStringLiteral("1/2 s"));
    EXPECT_EQ(formatExposure(1, 1), QStringLiteral("1 s"));
    EXPECT_EQ(formatExposure(13, 10), QStringLiteral("1.3 s"));
    EXPECT_EQ(formatExposure(30, 1), QStringLiteral("30 s"));
    EXPECT_EQ(formatExposure(0, 1), QString());
    EXPECT_EQ(formatAperture(2.8), QStringLiteral("f/2.8"));
    EXPECT_EQ(formatAperture(8.0), QStringLiteral("f/8"));
    EXPECT_EQ(formatExposureBias(1.0 / 3), QStringLiteral("+0.3 EV"));
    EXPECT_EQ(formatExposureBias(-2.0 / 3), QStringLiteral("\u22120.7 EV"));
    EXPECT_EQ(formatExposureBias(0.0), QStringLiteral("0 EV"));
    EXPECT_EQ(formatFocalLength(10.5), QStringLiteral("10.5 mm"));
}

TEST(LookoutShootingData, OneLineFromTheFilesOwnMetadata) {
    test::Pictures pictures;
    const Decoded jpeg = decodePicture(pictures.jpeg(QStringLiteral("a.jpg")), {400, 300});
    EXPECT_EQ(formatShootingLine(jpeg.data),
              QStringLiteral("NIKON Z 7_2  \u00b7  NIKKOR Z 24-70mm f/4 S  \u00b7  50 mm  \u00b7  "
                             "1/250 s  \u00b7  f/8  \u00b7  ISO 100  \u00b7  \u22120.3 EV  "
                             "\u00b7  2026-12-08 17:08:05"));
    const Decoded nef = decodePicture(pictures.nef(QStringLiteral("b.nef")), {400, 300});
    EXPECT_EQ(formatShootingLine(nef.data), formatShootingLine(jpeg.data));

    ShootingData partial;
    partial.make = QStringLiteral("NIKON CORPORATION");
    partial.model = QStringLiteral("D850");
    partial.iso = 6400;
    EXPECT_EQ(formatShootingLine(partial), QStringLiteral("NIKON D850  \u00b7  ISO 6400"));
    EXPECT_EQ(formatShootingLine(ShootingData()), QString());
}
