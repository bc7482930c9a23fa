#pragma once

#include <QString>

namespace zarv {

/// A leading "~" (alone or before "/") replaced by the user's home folder; anything else as is.
QString expandingTildeInPath(const QString& path);

/// The tilde expanded, then "." and ".." segments and doubled slashes removed. Empty stays empty.
QString standardizingPath(const QString& path);

} // namespace zarv
