#pragma once

#include <QString>
#include <QVariant>

namespace zarv {

/// A property-list value written the way the Mac's "%@" prints it, for log lines:
/// dictionaries as { key = value; }, arrays as ( a, b ), data as <hex>; strings are quoted
/// when they hold anything but letters, digits, '_', '.' and '$'.
QString describe(const QVariant& value);

} // namespace zarv
