#include "ui/Popover.h"
#include "ui/MURREL_Window.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <ostream>

// Readable rectangles in failure messages.
void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.x() << ',' << r.y() << ' ' << r.width() << 'x' << r.height();
}

namespace zarv {
namespace {

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(PopoverPlacement, CentredUnderTheAnchorAndKeptOnTheScreen) {
    const QRect screen(0, 0, 800, 600);
    const QSize size(200, 100);
    // Centred under the anchor, touching its bottom edge.
    EXPECT_EQ(Popover::placement(QRect(300, 100, 40, 20), size, screen), QRect(220, 120, 200, 100));
    // Near the right and left edges: pushed back onto the screen.
    EXPECT_EQ(Popover::placement(QRect(760, 100, 40, 20), size, screen).right(), 799);
    EXPECT_EQ(Popover::placement(QRect(0, 100, 40, 20), size, screen).left(), 0);
    // No room below: above the anchor instead.
    EXPECT_EQ(Popover::placement(QRect(300, 550, 40, 20), size, screen), QRect(220, 450, 200, 100));
    // No room either way: as low as fits.
    EXPECT_EQ(Popover::placement(QRect(300, 40, 40, 540), size, screen).bottom(), 599);
    // A screen that does not start at the origin (a second monitor).
    const QRect second(800, 0, 1024, 768);
    EXPECT_EQ(Popover::placement(QRect(790, 100, 20, 20), size, second).left(), 800);
    // Larger than the screen: its top-left part shows.
    EXPECT_EQ(Popover::placement(QRect(300, 100, 40, 20), QSize(900, 700), screen).topLeft(),
              QPoint(0, 0));
}

class PopoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.resize(300, 200);
        window.move(100, 100);
        auto* layout = new QVBoxLayout(&window);
        sender = new QLabel(QStringLiteral("toolbar"), &window);
        sender->setFixedSize(120, 24);
        layout->addWidget(sender);
        layout->addStretch();
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    void TearDown() override {
        for (QWidget* popup = QApplication::activePopupWidget(); popup;
             popup = QApplication::activePopupWidget())
            popup->close();
        flushDeletes();
    }
    QWidget window;
    QLabel* sender = nullptr;
};

TEST_F(PopoverTest, OpensUnderTheSenderMovedRightByTheOffset) {
    const QRect anchor(sender->mapToGlobal(QPoint(0, 0)), sender->size());
    for (int offset : {10, 80}) {
        QPointer<Popover> popover =
            Popover::showAt(makePlaceholderPopoverContent(QStringLiteral("Match")), sender, offset);
        ASSERT_TRUE(popover);
        EXPECT_TRUE(popover->isVisible());
        EXPECT_EQ(popover->windowType(), Qt::Popup);
        EXPECT_EQ(popover->geometry().top(), anchor.bottom() + 1);
        EXPECT_NEAR(popover->geometry().center().x(), anchor.center().x() + offset, 1);
        EXPECT_TRUE(sender->screen()->availableGeometry().contains(popover->geometry()));
        popover->close();
        flushDeletes();
        EXPECT_TRUE(popover.isNull());
    }
}

TEST_F(PopoverTest, EscapeClosesAndDeletesItWithItsContent) {
    auto* content = new QWidget;
    auto* field = new QLineEdit(content);
    QPointer<QWidget> owned = content;
    QPointer<Popover> popover = Popover::showAt(content, sender, 30);
    // Escape pressed in the content reaches the popover.
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_FALSE(popover && popover->isVisible());
    flushDeletes();
    EXPECT_TRUE(popover.isNull());
    EXPECT_TRUE(owned.isNull());
}

TEST_F(PopoverTest, ClickElsewhereClosesIt) {
    QPointer<Popover> popover =
        Popover::showAt(makePlaceholderPopoverContent(QStringLiteral("Save")), sender, 10);
    ASSERT_EQ(QApplication::activePopupWidget(), popover.data());
    QTest::mouseClick(popover, Qt::LeftButton, {}, QPoint(-20, -20));
    flushDeletes();
    EXPECT_TRUE(popover.isNull());
}

TEST_F(PopoverTest, KeptContentGoesBackToItsOwner) {
    QWidget owner;
    auto* kept = new QLabel(QStringLiteral("match list"), &owner);
    QPointer<QLabel> alive = kept;
    for (int opening = 0; opening < 2; ++opening) {
        QPointer<Popover> popover = Popover::showAt(kept, sender, 30);
        EXPECT_EQ(kept->window(), popover.data());
        EXPECT_TRUE(kept->isVisible());
        QTest::keyClick(popover, Qt::Key_Escape);
        flushDeletes();
        EXPECT_TRUE(popover.isNull());
        ASSERT_TRUE(alive) << "opening " << opening;
        EXPECT_EQ(kept->parentWidget(), &owner);
        EXPECT_FALSE(kept->isVisibleTo(&owner));
    }
    // Opened again before the first closed: the second takes it, and both hand it back.
    QPointer<Popover> first = Popover::showAt(kept, sender, 30);
    QPointer<Popover> second = Popover::showAt(kept, sender, 30);
    EXPECT_EQ(kept->window(), second.data());
    first->close();
    flushDeletes();
    EXPECT_EQ(kept->window(), second.data()) << "taken from the popover showing it";
    second->close();
    flushDeletes();
    EXPECT_TRUE(first.isNull() && second.isNull());
    ASSERT_TRUE(alive);
    EXPECT_EQ(kept->parentWidget(), &owner);
}

TEST(PopoverContent, PlaceholderNamesItsTitleAndSaysItComesLater) {
    std::unique_ptr<QWidget> content(makePlaceholderPopoverContent(QStringLiteral("Load <b>")));
    const auto* title = content->findChild<QLabel*>(QStringLiteral("popoverTitle"));
    const auto* note = content->findChild<QLabel*>(QStringLiteral("popoverNote"));
    ASSERT_TRUE(title && note);
    EXPECT_EQ(title->text(), QStringLiteral("Load <b>"));
    EXPECT_EQ(title->textFormat(), Qt::PlainText);
    EXPECT_TRUE(note->text().contains(QStringLiteral("later version")));
}

TEST(MurrelWindow, FramelessButTakesTheKeyboard) {
    MURREL_Window window;
    auto* layout = new QVBoxLayout(&window);
    auto* field = new QLineEdit(&window);
    layout->addWidget(field);
    EXPECT_TRUE(window.isWindow());
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_NE(window.focusPolicy(), Qt::NoFocus);
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        GTEST_SKIP() << "this display platform does not activate windows";
    EXPECT_EQ(QApplication::activeWindow(), &window);
    field->setFocus();
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("typed"));
    EXPECT_EQ(field->text(), QStringLiteral("typed"));
}

} // namespace
} // namespace zarv
