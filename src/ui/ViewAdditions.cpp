#include "ViewAdditions.h"

#include <QVariant>
#include <QWidget>

#include <limits>

namespace zarv {

QWidget* findSubviewWithIdentifier(const QWidget* view, const QString& identifier) {
    // Unnamed widgets carry no identifier, so an empty one names nothing.
    if (!view || identifier.isEmpty())
        return nullptr;
    for (QObject* child : view->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && widget->objectName().compare(identifier, Qt::CaseInsensitive) == 0)
            return widget;
    }
    return nullptr;
}

int tagOf(const QObject* object) {
    if (!object)
        return -1;
    const QVariant tag = object->property("tag");
    // A yes/no would convert to 0 or 1 and pass for a real tag.
    if (!tag.isValid() || tag.typeId() == QMetaType::Bool)
        return -1;
    bool ok = false;
    const qlonglong value = tag.typeId() == QMetaType::QString
                                ? tag.toString().trimmed().toLongLong(&ok)
                                : tag.toLongLong(&ok);
    return ok && value >= std::numeric_limits<int>::min() &&
                   value <= std::numeric_limits<int>::max()
               ? int(value)
               : -1;
}

} // namespace zarv
