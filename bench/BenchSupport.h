#pragma once

// What the benchmarks share: their options, and a bundle of their own for the program's look-ups.

#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QStringList>
#include <QVariantMap>

namespace zarv::bench {

/// The number after `name` on the command line, else `fallback`.
inline int argument(const QStringList& args, const QString& name, int fallback) {
    const qsizetype i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : fallback;
}

/// Makes "Bench.app" in `folder` the main bundle: `identifier` in its Info.plist, and a factory
/// list with `lookupTable` searching `moduleFolder` (created). Returns the bundle's path.
inline QString useBenchBundle(const QString& folder, const QString& identifier,
                              const QVariantMap& lookupTable, const QString& moduleFolder) {
    const QString bundle = folder + QStringLiteral("/Bench.app");
    QDir().mkpath(moduleFolder);
    QDir().mkpath(bundle + QStringLiteral("/Contents/Resources"));
    PropertyList::writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
                            QVariantMap{{QStringLiteral("CFBundleIdentifier"), identifier}});
    PropertyList::writeFile(
        bundle + QStringLiteral("/Contents/Resources/FactoryDefaultNikonList.plist"),
        QVariantMap{{QStringLiteral("LookupTable"), lookupTable},
                    {QStringLiteral("DefaultNikonModulesSearchPaths"), QStringList{moduleFolder}}});
    Bundle::setMainBundlePath(bundle);
    return bundle;
}

} // namespace zarv::bench
