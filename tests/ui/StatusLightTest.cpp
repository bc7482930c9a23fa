#include "ui/StatusLight.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "ui/PathTransformer.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QMutex>
#include <QSvgRenderer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace zarv;

namespace {

const QStringList kImages{QStringLiteral("NSStatusAvailable"),
                          QStringLiteral("NSStatusPartiallyAvailable"),
                          QStringLiteral("NSStatusUnavailable"), QStringLiteral("NSStatusNone"),
                          QStringLiteral("NSCaution")};

class StatusLightTest : public ::testing::Test {
protected:
    void SetUp() override { Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR)); }
    void TearDown() override {
        Log::setSink({});
        Bundle::setMainBundlePath({});
    }

    // The light's picture at its centre (x, y in [0, 1]).
    static QColor colourAt(const StatusLight& light, double x, double y) {
        const QImage image = light.pixmap().toImage();
        return image.pixelColor(int(x * (image.width() - 1)), int(y * (image.height() - 1)));
    }
};

TEST_F(StatusLightTest, BundleHoldsEveryStatusImageAsSquareDrawing) {
    for (const QString& name : kImages) {
        const QString path = PathTransformer::transformedValue(name);
        ASSERT_TRUE(path.endsWith(name + QStringLiteral(".svg"))) << path.toStdString();
        QSvgRenderer renderer(path);
        EXPECT_TRUE(renderer.isValid()) << path.toStdString();
        EXPECT_EQ(renderer.viewBox(), QRect(0, 0, 32, 32)) << path.toStdString();
    }
}

TEST_F(StatusLightTest, ShowsEachStateAndSaysItInWords) {
    StatusLight light;
    light.resize(20, 20);
    // Run once more at twice the density (see CMakeLists.txt): the picture then has 40 x 40
    // pixels for its 20 x 20 points.
    ASSERT_EQ(light.devicePixelRatioF(), qEnvironmentVariable("QT_SCALE_FACTOR", "1").toDouble());
    const std::pair<QString, QString> states[] = {
        {QStringLiteral("NSStatusAvailable"), QStringLiteral("Status: connected")},
        {QStringLiteral("NSStatusPartiallyAvailable"), QStringLiteral("Status: connecting")},
        {QStringLiteral("NSStatusUnavailable"), QStringLiteral("Status: not connected")},
        {QStringLiteral("NSCaution"), QStringLiteral("Status: needs attention")},
        {QStringLiteral("NSStatusNone"), QStringLiteral("Status: unknown")},
    };
    for (const auto& [name, words] : states) {
        light.setProperty("imageName", name);
        EXPECT_EQ(light.imageName(), name);
        EXPECT_EQ(light.shownImageName(), name);
        EXPECT_EQ(light.accessibleName(), words);
        EXPECT_EQ(light.toolTip(), words);
        ASSERT_FALSE(light.pixmap().isNull()) << name.toStdString();
        EXPECT_EQ(light.pixmap().deviceIndependentSize(), QSizeF(20, 20));
        EXPECT_EQ(light.pixmap().size(), QSize(20, 20) * light.devicePixelRatioF());
    }
}

// Each light is its own colour, so a swapped or misdrawn file shows.
TEST_F(StatusLightTest, LightsHaveTheirColours) {
    StatusLight light;
    light.resize(32, 32);
    light.setImageName(QStringLiteral("NSStatusAvailable"));
    QColor c = colourAt(light, 0.5, 0.6);
    EXPECT_GT(c.green(), c.red() + 60);
    EXPECT_GT(c.green(), c.blue() + 60);
    light.setImageName(QStringLiteral("NSStatusUnavailable"));
    c = colourAt(light, 0.5, 0.6);
    EXPECT_GT(c.red(), c.green() + 60);
    EXPECT_GT(c.red(), c.blue() + 60);
    light.setImageName(QStringLiteral("NSStatusPartiallyAvailable"));
    c = colourAt(light, 0.5, 0.6);
    EXPECT_GT(c.red(), c.blue() + 100);
    EXPECT_GT(c.green(), c.blue() + 60);
    // Hollow: a grey rim around a nearly clear middle.
    light.setImageName(QStringLiteral("NSStatusNone"));
    EXPECT_LT(colourAt(light, 0.5, 0.5).alpha(), 128);
    c = colourAt(light, 0.5, 0.12);
    EXPECT_GT(c.alpha(), 128);
    EXPECT_LT(qAbs(c.red() - c.blue()), 30);
}

TEST_F(StatusLightTest, FollowsItsSize) {
    StatusLight light;
    EXPECT_EQ(light.sizeHint(), QSize(18, 18));
    light.setImageName(QStringLiteral("NSStatusAvailable"));
    EXPECT_EQ(light.pixmap().deviceIndependentSize(), QSizeF(18, 18));
    light.show();
    light.resize(40, 24);
    EXPECT_EQ(light.pixmap().deviceIndependentSize(), QSizeF(24, 24));
    light.resize(16, 16);
    EXPECT_EQ(light.pixmap().deviceIndependentSize(), QSizeF(16, 16));
}

TEST_F(StatusLightTest, UnknownNameShowsNoStatusAndIsLoggedOnce) {
    Log::install(QStringLiteral("test_ui"));
    QMutex mutex;
    QStringList lines;
    Log::setSink([&](QtMsgType, const QString& line) {
        QMutexLocker lock(&mutex);
        lines << line;
    });
    StatusLight light;
    light.resize(20, 20);
    const QString unknown = QStringLiteral("NSStatusSomethingElse");
    for (int i = 0; i < 3; ++i) {
        light.setImageName(unknown);
        light.setImageName(QStringLiteral("NSStatusAvailable"));
    }
    light.setImageName(unknown);
    EXPECT_EQ(light.imageName(), unknown);
    EXPECT_EQ(light.shownImageName(), QStringLiteral("NSStatusNone"));
    EXPECT_EQ(light.accessibleName(), QStringLiteral("Status: unknown"));
    EXPECT_FALSE(light.pixmap().isNull());
    QMutexLocker lock(&mutex);
    EXPECT_EQ(lines.filter(unknown).size(), 1) << lines.join(u'\n').toStdString();
}

// A damaged image counts as missing; without any image the light is empty, but still says
// its state.
TEST_F(StatusLightTest, DamagedOrMissingImages) {
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const QString resources = elsewhere.filePath(QStringLiteral("Contents/Resources"));
    ASSERT_TRUE(QDir().mkpath(resources));
    QFile damaged(resources + QStringLiteral("/NSStatusAvailable.svg"));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write("<svg xmlns=\"http://www.w3.org/2000/svg\"><circle");
    damaged.close();
    ASSERT_TRUE(QFile::copy(PathTransformer::transformedValue(QStringLiteral("NSStatusNone")),
                            resources + QStringLiteral("/NSStatusNone.svg")));
    Bundle::setMainBundlePath(elsewhere.path());

    StatusLight light;
    light.resize(20, 20);
    light.setImageName(QStringLiteral("NSStatusAvailable"));
    EXPECT_EQ(light.shownImageName(), QStringLiteral("NSStatusNone"));
    EXPECT_FALSE(light.pixmap().isNull());

    ASSERT_TRUE(QFile::remove(resources + QStringLiteral("/NSStatusNone.svg")));
    light.setImageName(QStringLiteral("NSStatusAvailable"));
    EXPECT_TRUE(light.pixmap().isNull());
    EXPECT_EQ(light.imageName(), QStringLiteral("NSStatusAvailable"));
    EXPECT_EQ(light.accessibleName(), QStringLiteral("Status: connected"));
}

} // namespace
