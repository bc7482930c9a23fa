#pragma once

#include <QFrame>

class QWidget;

namespace zarv {

/// A transient pop-up anchored under the control that opened it, moved right by an offset;
/// it closes (and deletes itself) when the operator clicks elsewhere.
class Popover : public QFrame {
    Q_OBJECT
public:
    /// Takes `content` and shows it under `sender`'s rectangle moved right by `offset`.
    static Popover* showAt(QWidget* content, QWidget* sender, int offset);

private:
    explicit Popover(QWidget* content);
};

/// The content of a popover whose view comes later: its title and a line saying so.
QWidget* makePlaceholderPopoverContent(const QString& title);

} // namespace zarv
