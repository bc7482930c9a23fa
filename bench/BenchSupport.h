#pragma once

// What the benchmarks share: their options, and a bundle of their own for the program's look-ups.

#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <unistd.h>

#include <functional>

namespace zarv::bench {

/// The number after `name` on the command line, else `fallback`.
inline int argument(const QStringList& args, const QString& name, int fallback) {
    const qsizetype i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : fallback;
}

/// Runs the event loop until `done` holds; false when `timeoutMs` passed first.
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

/// As spinUntil, but idle in the event loop between looks `everyMs` apart: for waits whose
/// moment is recorded elsewhere (by a callback, in the measured program's own state file), so
/// that the benchmark leaves the cores to what it measures.
inline bool pollUntil(const std::function<bool()>& done, int timeoutMs, int everyMs = 10) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop idle;
        QTimer::singleShot(everyMs, &idle, &QEventLoop::quit);
        idle.exec();
    }
    return true;
}

/// The CPU time (user and system) another process has used so far, in seconds; -1 when it
/// cannot be read.
inline double processCpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) /
           double(sysconf(_SC_CLK_TCK));
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
