#pragma once

#include <QFrame>
#include <QPointer>

class QWidget;

namespace zarv {

/// A transient pop-up anchored under the control that opened it, moved right by an offset;
/// it closes (and deletes itself) when the operator clicks elsewhere or presses Escape.
class Popover : public QFrame {
    Q_OBJECT
public:
    /// Shows `content` under `sender`'s rectangle (the cursor's position without a sender),
    /// centred on that rectangle moved right by `offset`, kept on the sender's screen: above
    /// the rectangle when there is no room below. Content without a parent is the popover's
    /// and goes with it; content with a parent (a kept view) goes back to that parent, hidden,
    /// when the popover closes. Main thread only. The popover deletes itself when closed; null
    /// without content.
    static Popover* showAt(QWidget* content, QWidget* sender, int offset);

    /// Where a popover of `size` goes for the anchor rectangle `anchor` (global coordinates)
    /// on a screen whose usable area is `screen`.
    static QRect placement(const QRect& anchor, const QSize& size, const QRect& screen);

    ~Popover() override;

    /// Where the content goes back to when this popover closes; null when it goes with it.
    QWidget* contentOwner() const { return m_contentOwner; }

private:
    explicit Popover(QWidget* content);

    QPointer<QWidget> m_content;
    QPointer<QWidget> m_contentOwner;
};

/// The content of a popover whose view comes later: its title and a line saying so.
QWidget* makePlaceholderPopoverContent(const QString& title);

} // namespace zarv
