#include "LookupTable.h"

#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"

#include <QDebug>

namespace zarv {
namespace {

const QString kLookupTable = QStringLiteral("LookupTable");
const QString kDeviceNameKey = QStringLiteral("devicename");
const QString kModuleNameKey = QStringLiteral("modulename");
const QString kProductIDKey = QStringLiteral("productid");

std::optional<QVariantMap> userLookupTable(UserDefaults& defaults) {
    const QVariant user = defaults.objectForKey(kPrefNikonLookupTable);
    if (user.typeId() == QMetaType::QVariantMap)
        return user.toMap();
    if (user.isValid())
        qCWarning(zarvModules).noquote()
            << QStringLiteral("%1 is not a dictionary; it is not used").arg(kPrefNikonLookupTable);
    return std::nullopt;
}

} // namespace

std::optional<QVariantMap> readFactoryDefaultNikonList(bool logContents) {
    const QString path =
        Bundle::mainBundle().pathForResource(kFactoryDefaultNikonList, QStringLiteral("plist"));
    if (path.isEmpty()) {
        qCWarning(zarvModules).noquote()
            << QStringLiteral("No %1.plist among the resources of %2")
                   .arg(kFactoryDefaultNikonList, Bundle::mainBundle().bundlePath());
        return std::nullopt;
    }
    QString error;
    const QVariant value = PropertyList::readFile(path, &error);
    if (logContents)
        qCInfo(zarvModules).noquote()
            << QStringLiteral("plistInfo contains: %1").arg(Log::describe(value));
    if (value.typeId() != QMetaType::QVariantMap) {
        qCWarning(zarvModules).noquote()
            << QStringLiteral("Cannot use %1: %2")
                   .arg(path, error.isEmpty() ? QStringLiteral("not a dictionary") : error);
        return std::nullopt;
    }
    return value.toMap();
}

std::optional<QVariantMap> getNikonLookupTable(bool logContents) {
    const auto list = readFactoryDefaultNikonList(logContents);
    if (!list)
        return std::nullopt;
    const QVariant table = list->value(kLookupTable);
    if (table.typeId() != QMetaType::QVariantMap) {
        if (table.isValid())
            qCWarning(zarvModules).noquote() << QStringLiteral("%1 of %2 is not a dictionary")
                                                    .arg(kLookupTable, kFactoryDefaultNikonList);
        return std::nullopt;
    }
    return table.toMap();
}

std::optional<QVariantMap> currentNikonLookupTable(UserDefaults& defaults) {
    if (auto user = userLookupTable(defaults))
        return user;
    return getNikonLookupTable();
}

std::optional<QString> moduleNameForCamera(const QVariantMap& table, const QString& cameraName) {
    const auto it = table.constFind(cameraName);
    if (it == table.cend())
        return std::nullopt;
    if (it->typeId() != QMetaType::QVariantMap) {
        qCWarning(zarvModules).noquote()
            << QStringLiteral("Lookup entry for \"%1\" is not a dictionary").arg(cameraName);
        return std::nullopt;
    }
    const QVariant name = it->toMap().value(kModuleNameKey);
    if (name.typeId() != QMetaType::QString || name.toString().isEmpty()) {
        qCWarning(zarvModules).noquote()
            << QStringLiteral("Lookup entry for \"%1\" has no usable modulename").arg(cameraName);
        return std::nullopt;
    }
    return name.toString();
}

bool isPlainModuleName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(u'/') && !name.contains(QChar(0));
}

QList<int> productIDsOfLookupTable(const QVariantMap& table) {
    QList<int> ids;
    for (const QVariant& entry : table) {
        if (entry.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariant id = entry.toMap().value(kProductIDKey);
        if (!PropertyList::isNumber(id))
            continue;
        const int value = id.toInt();
        if (!ids.contains(value))
            ids.append(value);
    }
    return ids;
}

std::optional<QVariantMap> lookupTableWithMatchedCamera(const QVariantMap& deviceInfo,
                                                        const QString& moduleName,
                                                        UserDefaults& defaults) {
    QVariantMap entry;
    const QVariant deviceName = deviceInfo.value(QStringLiteral("deviceName"));
    if (deviceName.typeId() == QMetaType::QString && !deviceName.toString().isEmpty())
        entry.insert(kDeviceNameKey, deviceName.toString());
    if (!moduleName.isEmpty())
        entry.insert(kModuleNameKey, moduleName);
    const QVariant productID = deviceInfo.value(QStringLiteral("productID"));
    if (PropertyList::isNumber(productID))
        entry.insert(kProductIDKey, productID.toLongLong());
    qCInfo(zarvModules).noquote()
        << QStringLiteral("need to add new lookup dict = %1").arg(Log::describe(entry));
    if (entry.size() < 3)
        return std::nullopt;

    QVariantMap table =
        userLookupTable(defaults).value_or(getNikonLookupTable().value_or(QVariantMap()));
    table.insert(entry.value(kDeviceNameKey).toString(), entry);
    return table;
}

bool addMatchedCamera(const QVariantMap& deviceInfo, const QString& moduleName,
                      UserDefaults& defaults) {
    const auto table = lookupTableWithMatchedCamera(deviceInfo, moduleName, defaults);
    if (!table)
        return false;
    auto store = [table = *table, target = &defaults] {
        target->setObject(kPrefNikonLookupTable, table);
    };
    if (DispatchQueue::main().isCurrent())
        store();
    else
        DispatchQueue::main().async(store);
    return true;
}

std::optional<QString> createMatchListFile(UserDefaults& defaults, const QDateTime& now,
                                           QString* failure) {
    QVariantMap contents;
    if (auto user = userLookupTable(defaults))
        contents.insert(kPrefNikonLookupTable, *user);
    if (auto factory = readFactoryDefaultNikonList())
        contents.insert(kFactoryDefaultNikonList, *factory);
    if (contents.isEmpty())
        return std::nullopt;

    // Sharing or saving a copy needs the file, so the folder is made when missing.
    const QString folder = temporaryFolderForApplication(IfMissing::Create);
    if (folder.isEmpty()) {
        qCWarning(zarvModules).noquote() << QStringLiteral(
            "Matched Camera Module List Did NOT Save: no temporary folder to write it in");
        if (failure)
            *failure = QStringLiteral("There is no private temporary folder to write it in.");
        return std::nullopt;
    }
    const QString path = folder + QStringLiteral("/MatchedCameras_%1.plist")
                                      .arg(now.toString(QStringLiteral("yyyyMMddHHmmss")));
    QString error;
    const bool saved = PropertyList::writeFile(path, contents, PropertyList::Format::Xml, &error);
    qCInfo(zarvModules).noquote()
        << QStringLiteral("Inside %1 => %2...%3 Matched Camera Module List to %4")
               .arg(QStringLiteral("MyPopoverViewController"), QStringLiteral("createPlistFile"),
                    saved ? QStringLiteral("SAVED") : QStringLiteral("Did NOT Save"), path);
    if (!saved) {
        qCWarning(zarvModules).noquote() << error;
        // Shared without its file, the list would reach nobody.
        if (failure)
            *failure = error;
        return std::nullopt;
    }
    return path;
}

} // namespace zarv
