#include "ModuleInventory.h"
#include "platform/Path.h"

#include "LookupTable.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "util/CommandTemplate.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace zarv {
namespace {

std::optional<QStringList> pathList(const QVariantMap& list, const QString& key) {
    const QVariant value = list.value(key);
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() != QMetaType::QVariantList) {
        qCWarning(zarvModules).noquote()
            << QStringLiteral("%1 of %2 is not an array").arg(key, kFactoryDefaultNikonList);
        return std::nullopt;
    }
    QStringList paths;
    for (const QVariant& item : value.toList()) {
        if (item.typeId() != QMetaType::QString) {
            qCWarning(zarvModules).noquote()
                << QStringLiteral("%1 holds a non-string entry; it is skipped").arg(key);
            continue;
        }
        paths.append(expandingTildeInPath(item.toString()));
    }
    if (paths.isEmpty() && !value.toList().isEmpty())
        return std::nullopt;
    return paths;
}

} // namespace

std::optional<QStringList> getDefaultSearchPaths(bool is32bit) {
    const auto list = readFactoryDefaultNikonList();
    if (!list)
        return std::nullopt;
    if (is32bit) {
        auto paths = pathList(*list, QStringLiteral("DefaultNikonModulesSearchPathsFor32bit"));
        if (paths && !paths->isEmpty() && !QFileInfo(paths->first()).isDir())
            paths.reset();
        if (paths)
            return paths;
    }
    return pathList(*list, QStringLiteral("DefaultNikonModulesSearchPaths"));
}

QString moduleFolder(bool is32bit) {
    const auto paths = getDefaultSearchPaths(is32bit);
    return paths && !paths->isEmpty() && !paths->first().isEmpty() ? paths->first()
                                                                   : kDefaultNikonModulesFolder;
}

QString listModulesCommand(const QString& folder) {
    // Inside double quotes the shell still expands $, ` and \, and " ends the word.
    QString quotedFolder;
    for (QChar c : folder) {
        if (c == u'"' || c == u'\\' || c == u'$' || c == u'`')
            quotedFolder += u'\\';
        quotedFolder += c;
    }
    return fillTemplate(kListModulesCommandTemplate,
                        {{QStringLiteral("[path]"), quotedFolder},
                         {QStringLiteral("[depth]"), QStringLiteral("1")}});
}

std::optional<QStringList> getListOfModuleBundles(bool fullPaths, bool is32bit) {
    QString folder = moduleFolder(is32bit);
    while (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    const QFileInfo info(folder);
    if (!info.isDir() || !info.isReadable() || !info.isExecutable()) {
        qCWarning(zarvModules).noquote()
            << QStringLiteral("Module folder %1 %2")
                   .arg(folder, info.exists() ? QStringLiteral("cannot be read")
                                              : QStringLiteral("does not exist"));
        return std::nullopt;
    }

    const QString command = listModulesCommand(folder);
    qCInfo(zarvModules).noquote() << QStringLiteral("runCommand will execute: %1").arg(command);
    QStringList lines = findPaths(command);
    qCInfo(zarvModules).noquote()
        << QStringLiteral("shellcommand returned = %1").arg(lines.join(QLatin1Char('\n')));
    qCInfo(zarvModules).noquote()
        << QStringLiteral("array[%1] = %2").arg(lines.size()).arg(Log::describe(lines));

    if (!fullPaths) {
        const QString prefix = folder == u'/' ? folder : folder + u'/';
        for (QString& line : lines) {
            if (line.startsWith(prefix)) {
                line = line.mid(prefix.size());
            } else {
                line.remove(folder);
                if (line.startsWith(u'/'))
                    line.remove(0, 1);
            }
        }
    }
    if (lines.isEmpty())
        return std::nullopt;
    return lines;
}

QString architectureName(int code) {
    switch (code) {
    case Bundle::I386:
        return QStringLiteral("NSBundleExecutableArchitectureI386");
    case Bundle::PPC:
        return QStringLiteral("NSBundleExecutableArchitecturePPC");
    case Bundle::X86_64:
        return QStringLiteral("NSBundleExecutableArchitectureX86_64");
    case Bundle::PPC64:
        return QStringLiteral("NSBundleExecutableArchitecturePPC64");
    default:
        return QStringLiteral("Unknown_Architecture");
    }
}

bool isModuleAtPath(const QString& path, int type, const QString& owner) {
    Log::inside(zarvModules, owner, QStringLiteral("isModuleAtPath:OfType:"));
    if (path.isEmpty() || !QFileInfo::exists(path))
        return false;
    const Bundle bundle(path);
    QString error;
    const QString executable = bundle.executablePath();
    const QList<int> archs =
        executable.isEmpty() ? QList<int>() : Bundle::architecturesOfFile(executable, &error);
    QVariantList described;
    for (int a : archs)
        described.append(a);
    qCInfo(zarvModules).noquote()
        << QStringLiteral("supported architectures = %1").arg(Log::describe(described));
    if (executable.isEmpty())
        qCInfo(zarvModules).noquote() << QStringLiteral("%1 has no executable").arg(path);
    else if (archs.isEmpty())
        qCInfo(zarvModules).noquote() << error;

    for (int arch : archs) {
        qCInfo(zarvModules).noquote() << architectureName(arch);
        if (arch != type)
            continue;
        if (arch == Bundle::I386 && !isThisAppAllowedToRunIn32BitMode())
            continue;
        return true;
    }
    return false;
}

} // namespace zarv
