#include "ModuleListFile.h"

#include "LookupTable.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace zarv {
namespace {

// A hostile file may hold thousands of bad entries: the log names the first few.
constexpr qsizetype kMaxProblemsListed = 20;

void addProblem(QStringList& problems, qsizetype& count, const QString& text) {
    if (++count <= kMaxProblemsListed)
        problems << text;
}

QVariantMap usableEntries(const QVariantMap& table, QStringList& problems) {
    QVariantMap usable;
    qsizetype skipped = 0;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const QString camera = u'"' + Log::quoted(it.key()) + u'"';
        if (it.value().typeId() != QMetaType::QVariantMap) {
            addProblem(problems, skipped,
                       QStringLiteral("entry %1 skipped: not a dictionary").arg(camera));
            continue;
        }
        const QVariant module = it.value().toMap().value(QStringLiteral("modulename"));
        if (module.typeId() != QMetaType::QString) {
            addProblem(
                problems, skipped,
                QStringLiteral("entry %1 skipped: its modulename is not a text").arg(camera));
            continue;
        }
        if (!isPlainModuleName(module.toString())) {
            addProblem(
                problems, skipped,
                QStringLiteral("entry %1 skipped: modulename \"%2\" is not a plain file name")
                    .arg(camera, Log::quoted(module.toString())));
            continue;
        }
        usable.insert(it.key(), it.value());
    }
    if (skipped > kMaxProblemsListed)
        problems << QStringLiteral("%1 more entries skipped").arg(skipped - kMaxProblemsListed);
    return usable;
}

} // namespace

ModuleListFile readModuleListFile(const QString& path) {
    ModuleListFile result;
    QString reason;
    bool tooLarge = false;
    const std::optional<QByteArray> data =
        PropertyList::readFileData(path, kMaxModuleListFileSize, &reason, &tooLarge);
    if (!data) {
        result.kind = tooLarge ? ModuleListFile::Kind::TooLarge : ModuleListFile::Kind::Unreadable;
        result.problems << QStringLiteral("cannot import %1: %2").arg(path, reason);
        return result;
    }
    const QVariant value = PropertyList::fromData(*data, &reason);
    if (value.typeId() != QMetaType::QVariantMap) {
        result.problems << QStringLiteral("cannot import %1: %2")
                               .arg(path,
                                    value.isValid() ? QStringLiteral("not a dictionary") : reason);
        return result;
    }
    const QVariantMap contents = value.toMap();
    if (contents.isEmpty()) {
        result.kind = ModuleListFile::Kind::Empty;
        result.problems << QStringLiteral("nothing to import: %1 is an empty dictionary").arg(path);
        return result;
    }
    const auto user = contents.constFind(kPrefNikonLookupTable);
    if (user != contents.cend()) {
        if (user->typeId() != QMetaType::QVariantMap) {
            result.kind = ModuleListFile::Kind::Invalid;
            result.problems
                << QStringLiteral("%1 of %2 is not a dictionary").arg(kPrefNikonLookupTable, path);
            return result;
        }
        result.table = usableEntries(user->toMap(), result.problems);
        if (result.table.isEmpty()) {
            // Importing it would leave every camera without a module.
            result.kind = ModuleListFile::Kind::Invalid;
            result.problems
                << QStringLiteral("%1 of %2 has no usable entry").arg(kPrefNikonLookupTable, path);
            return result;
        }
        result.kind = ModuleListFile::Kind::UserTable;
        return result;
    }
    result.kind = contents.contains(kFactoryDefaultNikonList) ? ModuleListFile::Kind::FactoryOnly
                                                              : ModuleListFile::Kind::Invalid;
    return result;
}

} // namespace zarv
