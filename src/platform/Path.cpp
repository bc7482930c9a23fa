#include "Path.h"

#include <QDir>

namespace zarv {

QString expandingTildeInPath(const QString& path) {
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.mid(1);
    return path;
}

QString standardizingPath(const QString& path) {
    return path.isEmpty() ? path : QDir::cleanPath(expandingTildeInPath(path));
}

} // namespace zarv
