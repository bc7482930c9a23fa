#include "lookout/LookoutWindow.h"
#include "LookoutTestSupport.h"
#include "lookout/CaptureLink.h"
#include "lookout/PictureView.h"
#include "platform/DistributedNotificationCenter.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace zarv;
using namespace zarv::lookout;
using zarv::lookout::test::Pictures;
using zarv::lookout::test::spinUntil;

namespace {

struct LookoutWindowTest : ::testing::Test {
    CaptureLink link{DistributedNotificationCenter::defaultCenter()};
    LookoutWindow window{link};
    Pictures pictures;

    void SetUp() override {
        window.resize(1000, 760);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    // The picture on screen, drawn from a decode of `path` (fitted, or at full size).
    bool showing(const QString& path, bool full = false) {
        return spinUntil([&] {
            const auto s = window.view()->shownPicture();
            return s && s->path == path && s->full == full;
        });
    }
    void key(int k) { QTest::keyClick(&window, Qt::Key(k)); }
};

} // namespace

TEST_F(LookoutWindowTest, TheNewestIsShownFittedAndFollowingStopsWhileLookingBack) {
    const QString a = pictures.jpeg(QStringLiteral("Image_1.jpg"));
    const QString b = pictures.jpeg(QStringLiteral("Image_2.jpg"));
    window.addPictures({a}, false);
    ASSERT_TRUE(showing(a));
    const QRectF r = window.view()->pictureRect();
    EXPECT_TRUE(QRectF(window.view()->rect()).contains(r));
    EXPECT_TRUE(qFuzzyCompare(r.width(), window.view()->width()) ||
                qFuzzyCompare(r.height(), window.view()->height()));
    EXPECT_FALSE(window.shootingLine()->text().isEmpty());

    window.addPictures({b}, false);
    ASSERT_TRUE(showing(b));
    EXPECT_EQ(window.filmstrip()->currentIndex().row(), 1);

    key(Qt::Key_Left);
    ASSERT_TRUE(showing(a));
    EXPECT_FALSE(window.session().following());
    const QString c = pictures.jpeg(QStringLiteral("Image_3.jpg"));
    window.addPictures({c}, false);
    spinUntil([] { return false; }, 200);
    EXPECT_EQ(window.view()->shownPicture()->path, a); // still the one under study
    EXPECT_EQ(window.filmstrip()->model()->rowCount(), 3);
    EXPECT_TRUE(window.nameLine()->text().contains(QLatin1String("End")));

    key(Qt::Key_End);
    ASSERT_TRUE(showing(c));
    EXPECT_TRUE(window.session().following());
    key(Qt::Key_Home);
    ASSERT_TRUE(showing(a));
    key(Qt::Key_Right);
    ASSERT_TRUE(showing(b));
}

TEST_F(LookoutWindowTest, AClickZoomsTo100PercentOnThatPointAndADragPans) {
    const QString a = pictures.jpeg(QStringLiteral("big.jpg"), {3000, 2000});
    window.addPictures({a}, false);
    ASSERT_TRUE(showing(a));
    PictureView* view = window.view();
    const QRectF r = view->pictureRect();
    // A quarter in from the left, at mid height: picture point (750, 1000).
    const QPoint at = (r.topLeft() + QPointF(r.width() / 4, r.height() / 2)).toPoint();
    QTest::mouseClick(view, Qt::LeftButton, {}, at);
    EXPECT_EQ(view->zoom(), PictureView::Zoom::Actual);
    ASSERT_TRUE(showing(a, true));
    // The same picture point is still under the pointer.
    const QRectF z = view->pictureRect();
    EXPECT_EQ(z.size(), QSizeF(3000, 2000) / view->devicePixelRatioF());
    const QPointF under = (QPointF(at) - z.topLeft()) * view->devicePixelRatioF();
    EXPECT_NEAR(under.x(), 750, 3);
    EXPECT_NEAR(under.y(), 1000, 3);

    const QPointF before = view->focus();
    QTest::mousePress(view, Qt::LeftButton, {}, at);
    for (int i = 1; i <= 10; ++i) {
        QMouseEvent move(QEvent::MouseMove, QPointF(at) - QPointF(10 * i, 5 * i),
                         view->mapToGlobal(QPointF(at) - QPointF(10 * i, 5 * i)), Qt::NoButton,
                         Qt::LeftButton, {});
        QCoreApplication::sendEvent(view, &move);
    }
    QTest::mouseRelease(view, Qt::LeftButton, {}, at - QPoint(100, 50));
    EXPECT_EQ(view->zoom(), PictureView::Zoom::Actual); // a drag is no click
    EXPECT_NEAR(view->focus().x() - before.x(), 100 * view->devicePixelRatioF(), 1);

    key(Qt::Key_Space);
    EXPECT_EQ(view->zoom(), PictureView::Zoom::Fit);
    key(Qt::Key_Space);
    EXPECT_EQ(view->zoom(), PictureView::Zoom::Actual);
    QTest::mouseClick(view, Qt::LeftButton, {}, view->rect().center());
    EXPECT_EQ(view->zoom(), PictureView::Zoom::Fit);
}

TEST_F(LookoutWindowTest, ClippingIsMarkedOnThePictureAndBadFilesSaySoInItsPlace) {
    const QString a = pictures.jpeg(QStringLiteral("a.jpg"));
    window.addPictures({a}, false);
    ASSERT_TRUE(showing(a));
    // The histogram follows the picture.
    ASSERT_TRUE(spinUntil([&] { return window.view()->shownPicture()->analysed; }));
    EXPECT_GT(window.view()->histogram()->histogramShown().clippedHighlights, 0.0);
    window.clippingButton()->click();
    ASSERT_TRUE(spinUntil([&] {
        const auto s = window.view()->shownPicture();
        return s && !s->clipping.isNull();
    }));
    EXPECT_TRUE(window.view()->clippingVisible());
    key(Qt::Key_C);
    EXPECT_FALSE(window.view()->clippingVisible());

    const QString fifo = pictures.path(QStringLiteral("pipe.jpg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    window.addPictures({fifo}, false);
    ASSERT_TRUE(
        spinUntil([&] { return window.view()->message().contains(QLatin1String("FIFO")); }));
    EXPECT_EQ(window.view()->histogram()->isVisible(), false);
    // The operator can still go back to the good one.
    key(Qt::Key_Left);
    ASSERT_TRUE(showing(a));
    EXPECT_TRUE(window.view()->message().isEmpty());
}

TEST_F(LookoutWindowTest, WithoutTheCaptureProgramTheWindowSaysSoAndOffersToStartIt) {
    if (link.captureRunning())
        GTEST_SKIP() << "a capture program runs on this bus";
    EXPECT_FALSE(window.banner()->isHidden());
    EXPECT_FALSE(window.startButton()->isHidden());
    EXPECT_FALSE(window.takeButton()->isEnabled());
}

TEST(LookoutWindowPaints, TheStandInIsPaintedFirstAndNeverOverTheSharpPicture) {
    Pictures pictures;
    const QString stateFile = pictures.path(QStringLiteral("state.json"));
    qputenv("ZARV_LOOKOUT_STATE_FILE", QFile::encodeName(stateFile));
    CaptureLink link{DistributedNotificationCenter::defaultCenter()};
    LookoutWindow window{link};
    qunsetenv("ZARV_LOOKOUT_STATE_FILE");
    window.resize(1000, 760);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QString a = pictures.jpeg(QStringLiteral("a.jpg"), {2400, 1600});
    const QString b = pictures.jpeg(QStringLiteral("b.jpg"), {2400, 1600}, 1, false);
    window.addPictures({a}, false);
    const auto paintOf = [&](const QString& path) {
        QFile f(stateFile);
        if (!f.open(QIODevice::ReadOnly))
            return QJsonObject();
        for (const QJsonValue& p : QJsonDocument::fromJson(f.readAll())
                                       .object()
                                       .value(QStringLiteral("painted"))
                                       .toArray())
            if (p.toObject().value(QStringLiteral("path")).toString() == path &&
                p.toObject().value(QStringLiteral("sharp")).toBool())
                return p.toObject();
        return QJsonObject();
    };
    QJsonObject paint;
    ASSERT_TRUE(spinUntil([&] { return !(paint = paintOf(a)).isEmpty(); }));
    EXPECT_TRUE(paint.value(QStringLiteral("quickFirst")).toBool());
    EXPECT_LE(paint.value(QStringLiteral("first")).toDouble(),
              paint.value(QStringLiteral("at")).toDouble());
    ASSERT_TRUE(spinUntil([&] {
        const auto s = window.view()->shownPicture();
        return s && s->path == a && s->analysed;
    }));
    const auto sharp = window.view()->shownPicture();

    // A stand-in arriving late, of this picture or of another one, changes nothing.
    auto late = std::make_shared<Shown>(*sharp);
    late->decoded.quick = true;
    late->decoded.image = QImage(10, 10, QImage::Format_RGB32);
    emit window.loader().shown(late);
    auto other = std::make_shared<Shown>(*late);
    other->path = b;
    emit window.loader().shown(other);
    EXPECT_EQ(window.view()->shownPicture(), sharp);

    // Without a thumbnail: one paint, the picture itself.
    window.addPictures({b}, false);
    ASSERT_TRUE(spinUntil([&] { return !(paint = paintOf(b)).isEmpty(); }));
    EXPECT_FALSE(paint.value(QStringLiteral("quickFirst")).toBool());
    EXPECT_EQ(paint.value(QStringLiteral("first")).toDouble(),
              paint.value(QStringLiteral("at")).toDouble());
}

TEST(LookoutHistogramView, EachHistogramIsDrawnAfreshAndAtItsSize) {
    HistogramView view;
    view.resize(view.sizeHint());
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const auto levels = [](int at) {
        Histogram h;
        for (int c = 0; c < 4; ++c)
            h.bins[size_t(c)][size_t(at)] = 1000;
        h.bins[3][128] = 10;
        h.samples = 1010;
        return h;
    };
    view.setHistogram(levels(40));
    const QImage dark = view.grab().toImage();
    view.setHistogram(levels(220));
    const QImage bright = view.grab().toImage();
    EXPECT_NE(dark, bright);
    view.setHistogram(levels(40));
    EXPECT_EQ(view.grab().toImage(), dark);
    // Wider: the panel reaches the new right edge, not only as far as the old drawing did.
    const auto edge = [&] {
        const QImage shot = view.grab().toImage();
        return shot.pixel(shot.width() - 3, shot.height() / 2);
    };
    const QRgb before = edge();
    view.resize(view.sizeHint() + QSize(60, 20));
    EXPECT_EQ(edge(), before);
}
