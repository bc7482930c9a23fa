#include "Popover.h"

#include <QLabel>

namespace zarv {

// Placeholder until written.
Popover::Popover(QWidget* content) : QFrame(nullptr, Qt::Popup) {
    content->setParent(this);
}
Popover* Popover::showAt(QWidget* content, QWidget*, int) {
    return new Popover(content);
}
QWidget* makePlaceholderPopoverContent(const QString& title) {
    return new QLabel(title);
}

} // namespace zarv
