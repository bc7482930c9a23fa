#include "app/WindowGeometry.h"
#include "app/AppView.h"

#include <gtest/gtest.h>

using namespace zarv;
using namespace zarv::window;

namespace {

QVariantMap entry(const QString& key, const QVariant& width, const QVariant& offset = {}) {
    QVariantMap map{{QStringLiteral("somevalue"), key},
                    {QStringLiteral("displayname"), key.toUpper()},
                    {QStringLiteral("width"), width}};
    if (offset.isValid())
        map.insert(QStringLiteral("heightoffset"), offset);
    return map;
}

const QVariantList kSizes{entry(QStringLiteral("pref1"), 300, 30),
                          entry(QStringLiteral("pref2"), 350, 30),
                          entry(QStringLiteral("pref3"), 450, 20)};

TEST(WindowGeometry, StoredSizeIsFoundWithoutRegardToCase) {
    const auto info = getMiniPanelInfo(kSizes, QStringLiteral("PREF3"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->value(QStringLiteral("somevalue")).toString(), QStringLiteral("pref3"));
    EXPECT_EQ(miniPanelSize(info), QSize(450, 80));
    EXPECT_EQ(miniPanelSizeIndex(kSizes, QStringLiteral("Pref3")), 2);
    EXPECT_EQ(miniPanelSizeIndex(kSizes, QStringLiteral("pref1")), 0);
}

// The pop-up shows the last size while the panel itself keeps the built-in 350 x 70.
TEST(WindowGeometry, UnknownStoredSizeSelectsLastRowButKeepsDefaultSize) {
    const QString stored = QStringLiteral("pref9");
    EXPECT_EQ(miniPanelSizeIndex(kSizes, stored), 2);
    const auto info = getMiniPanelInfo(kSizes, stored);
    EXPECT_FALSE(info.has_value());
    EXPECT_EQ(getMiniWidth(info), 350);
    EXPECT_EQ(getMiniVerticalOffset(info), 30);
    EXPECT_EQ(miniPanelSize(info), QSize(350, 70));
    // Nothing stored at all reads the same way.
    EXPECT_EQ(miniPanelSizeIndex(kSizes, QString()), 2);
    EXPECT_EQ(miniPanelSize(getMiniPanelInfo(kSizes, QString())), QSize(350, 70));
}

TEST(WindowGeometry, EmptyOrOddSizeListSelectsNothing) {
    EXPECT_EQ(miniPanelSizeIndex({}, QStringLiteral("pref1")), -1);
    EXPECT_FALSE(getMiniPanelInfo({}, QStringLiteral("pref1")).has_value());
    EXPECT_EQ(miniPanelSize(std::nullopt), QSize(350, 70));
    // Entries that are no dictionaries, or carry no key, never match, not even an empty key;
    // the row still counts them, as the pop-up lists every entry.
    const QVariantList odd{QStringLiteral("pref1"), QVariantMap{{"width", 200}},
                           entry(QStringLiteral("pref1"), 280)};
    EXPECT_FALSE(getMiniPanelInfo(odd, QString()).has_value());
    EXPECT_EQ(miniPanelSizeIndex(odd, QString()), 2);
    EXPECT_EQ(miniPanelSizeIndex(odd, QStringLiteral("PREF1")), 2);
    EXPECT_EQ(miniPanelSize(getMiniPanelInfo(odd, QStringLiteral("pref1"))), QSize(280, 70));
}

// Hand-edited settings store numbers as texts or reals; a missing offset means 30.
TEST(WindowGeometry, SizeNumbersInAnyFormAndMissingOffset) {
    EXPECT_EQ(miniPanelSize(entry("a", 300)), QSize(300, 70));
    EXPECT_EQ(miniPanelSize(entry("a", QStringLiteral(" 400 "), QStringLiteral("25"))),
              QSize(400, 75));
    EXPECT_EQ(miniPanelSize(entry("a", 412.6, 19.6)), QSize(413, 80));
    EXPECT_EQ(miniPanelSize(entry("a", qulonglong(500), qlonglong(10))), QSize(500, 90));
    // What is no number counts as missing.
    EXPECT_EQ(miniPanelSize(entry("a", QStringLiteral("wide"), QStringLiteral("low"))),
              QSize(350, 70));
    EXPECT_EQ(miniPanelSize(entry("a", true, false)), QSize(350, 70));
    EXPECT_EQ(miniPanelSize(entry("a", QVariantList{300}, QVariantMap{})), QSize(350, 70));
    EXPECT_EQ(miniPanelSize(entry("a", qQNaN(), qInf())), QSize(350, 70));
}

// A panel with no height or width could not be seen, and one taller than 100 could never be
// zoomed back to the full window.
TEST(WindowGeometry, UnusableSizesFallBackToDefaults) {
    EXPECT_EQ(miniPanelSize(entry("a", 0, 100)), QSize(350, 70));
    EXPECT_EQ(miniPanelSize(entry("a", -300, -20)), QSize(350, 70));
    EXPECT_EQ(miniPanelSize(entry("a", 1, 0)), QSize(1, 100));
    EXPECT_EQ(miniPanelSize(entry("a", 300, 99)), QSize(300, 1));
    EXPECT_TRUE(zoomMakesFullWindow(miniPanelSize(entry("a", 300, -20)).height()));
}

TEST(WindowGeometry, BottomRightWhenForcedOrSpelledWithBlanks) {
    EXPECT_TRUE(wantsBottomRight(true, QString()));
    EXPECT_TRUE(wantsBottomRight(false, QStringLiteral("BOTTOM RIGHT")));
    EXPECT_TRUE(wantsBottomRight(false, QStringLiteral("\t bottom  Right \n")));
    EXPECT_TRUE(wantsBottomRight(false, QStringLiteral("bottomright")));
    EXPECT_FALSE(wantsBottomRight(false, QStringLiteral("bottom-right")));
    EXPECT_FALSE(wantsBottomRight(false, QStringLiteral("bottom left")));
    EXPECT_FALSE(wantsBottomRight(false, QString()));
}

TEST(WindowGeometry, PlacementKeepsBottomLeftCornerOrSnapsToScreenCorner) {
    const QRect full(100, 200, 550, 466);
    const QRect mini = placeWindow(full, QSize(350, 70), QRect(0, 0, 1920, 1080), false);
    EXPECT_EQ(mini, QRect(100, 596, 350, 70));
    EXPECT_EQ(mini.bottomLeft(), full.bottomLeft());
    // Back again: the same frame as before.
    EXPECT_EQ(placeWindow(mini, kFullWindowSize, QRect(0, 0, 1920, 1080), false), full);

    const QRect screen(0, 0, 1920, 1080);
    const QRect snapped = placeWindow(full, QSize(350, 70), screen, true);
    EXPECT_EQ(snapped, QRect(1570, 1010, 350, 70));
    EXPECT_EQ(snapped.bottomRight(), screen.bottomRight());
    // A screen that does not start at the origin (a second monitor, a panel at the top).
    const QRect second(1920, 24, 1280, 1000);
    EXPECT_EQ(placeWindow(full, kFullWindowSize, second, true).bottomRight(), second.bottomRight());
}

TEST(WindowGeometry, ZoomOpensFullWindowUpToOneHundredHigh) {
    EXPECT_TRUE(zoomMakesFullWindow(100));
    EXPECT_TRUE(zoomMakesFullWindow(70));
    EXPECT_FALSE(zoomMakesFullWindow(101));
    EXPECT_FALSE(zoomMakesFullWindow(kFullWindowSize.height()));
}

TEST(WindowGeometry, ControlChoices) {
    EXPECT_TRUE(removesTitleBar(QStringLiteral("pref1")));
    EXPECT_TRUE(removesTitleBar(QStringLiteral("PREF2")));
    EXPECT_FALSE(removesTitleBar(QStringLiteral("pref3")));
    EXPECT_FALSE(removesTitleBar(QString()));

    EXPECT_EQ(initialTabIdentifier(QStringLiteral(" camerasettings\n")),
              QStringLiteral("camerasettings"));
    EXPECT_EQ(initialTabIdentifier(QString()), QStringLiteral("preferences"));
    EXPECT_EQ(initialTabIdentifier(QStringLiteral(" \t ")), QStringLiteral("preferences"));

    EXPECT_EQ(confirmQuitCode(QStringLiteral("ConfirmQuit")), kConfirmQuitReturn);
    EXPECT_EQ(confirmQuitCode(QStringLiteral("CONFIRMQUITRELAUNCH")), kConfirmQuitRelaunchReturn);
    EXPECT_EQ(confirmQuitCode(QStringLiteral("cancel")), kCancelReturn);
    EXPECT_EQ(confirmQuitCode(QString()), kCancelReturn);
    EXPECT_EQ(kConfirmQuitReturn, -1111);
    EXPECT_EQ(kConfirmQuitRelaunchReturn, -3333);
    EXPECT_EQ(kCancelReturn, -2222);

    EXPECT_FALSE(anyCommandModifier(Qt::NoModifier));
    EXPECT_FALSE(anyCommandModifier(Qt::ShiftModifier | Qt::KeypadModifier));
    EXPECT_TRUE(anyCommandModifier(Qt::ControlModifier));
    EXPECT_TRUE(anyCommandModifier(Qt::AltModifier | Qt::ShiftModifier));
    EXPECT_TRUE(anyCommandModifier(Qt::MetaModifier));
}

} // namespace
