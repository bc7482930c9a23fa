#include "Popover.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace zarv {

namespace {

// Content still in an earlier popover belongs to that popover's owner.
QWidget* ownerOf(const QWidget* content) {
    const auto* earlier = qobject_cast<const Popover*>(content->parentWidget());
    return earlier ? earlier->contentOwner() : content->parentWidget();
}

} // namespace

Popover::Popover(QWidget* content)
    : QFrame(nullptr, Qt::Popup), m_content(content), m_contentOwner(ownerOf(content)) {
    setObjectName(QStringLiteral("popover"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(content);
    content->show();
}

Popover::~Popover() {
    // A kept view outlives this opening; anything else was handed over and goes with it.
    if (m_content && m_content->parentWidget() == this && m_contentOwner) {
        m_content->hide();
        m_content->setParent(m_contentOwner);
    }
}

QRect Popover::placement(const QRect& anchor, const QSize& size, const QRect& screen) {
    QRect frame(QPoint(anchor.left() + (anchor.width() - size.width()) / 2, anchor.bottom() + 1),
                size);
    if (frame.bottom() > screen.bottom() && anchor.top() - size.height() >= screen.top())
        frame.moveBottom(anchor.top() - 1);
    // Kept on the screen; a popover larger than the screen shows its top-left part.
    frame.moveLeft(
        std::max(screen.left(), std::min(frame.left(), screen.right() - size.width() + 1)));
    frame.moveTop(
        std::max(screen.top(), std::min(frame.top(), screen.bottom() - size.height() + 1)));
    return frame;
}

Popover* Popover::showAt(QWidget* content, QWidget* sender, int offset) {
    if (!content)
        return nullptr;
    auto* popover = new Popover(content);
    popover->adjustSize();
    QRect anchor;
    QScreen* screen = nullptr;
    if (sender) {
        anchor = QRect(sender->mapToGlobal(QPoint(0, 0)), sender->size());
        screen = sender->screen();
    } else {
        anchor = QRect(QCursor::pos(), QSize(1, 1));
        screen = QGuiApplication::screenAt(anchor.topLeft());
    }
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    anchor.translate(offset, 0);
    const QRect area =
        screen ? screen->availableGeometry() : QRect(anchor.topLeft(), popover->size());
    popover->setGeometry(placement(anchor, popover->size(), area));
    popover->show();
    return popover;
}

QWidget* makePlaceholderPopoverContent(const QString& title) {
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    auto* heading = new QLabel(title, content);
    heading->setObjectName(QStringLiteral("popoverTitle"));
    heading->setTextFormat(Qt::PlainText);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    auto* note = new QLabel(QStringLiteral("Coming in a later version"), content);
    note->setObjectName(QStringLiteral("popoverNote"));
    note->setTextFormat(Qt::PlainText);
    layout->addWidget(heading);
    layout->addWidget(note);
    return content;
}

} // namespace zarv
