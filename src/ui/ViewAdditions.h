#pragma once

#include <QString>

class QObject;
class QWidget;

namespace zarv {

/// The first direct child widget of `view` whose object name equals `identifier` without
/// regard to case, in the children's order; deeper levels are not searched. Null when none.
QWidget* findSubviewWithIdentifier(const QWidget* view, const QString& identifier);

/// The dynamic property "tag" (Designer sets it) as a whole number, or -1 when it is missing
/// or not one.
int tagOf(const QObject* object);

} // namespace zarv
