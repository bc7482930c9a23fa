#pragma once

#include "platform/UserDefaults.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace zarv {

/// Name of the factory list resource (type "plist") in the application bundle.
inline const QString kFactoryDefaultNikonList = QStringLiteral("FactoryDefaultNikonList");
/// The user copy of the lookup table, when the user matched or imported cameras.
inline const QString kPrefNikonLookupTable = QStringLiteral("prefNikonLookupTable");

/// The factory list file of the main bundle, read afresh: a dictionary, or none when it is
/// missing, unreadable or not a dictionary (each logged). With `logContents` the whole file is
/// logged as "plistInfo contains: %@".
std::optional<QVariantMap> readFactoryDefaultNikonList(bool logContents = false);

/// The built-in camera-to-module table: "LookupTable" of the factory list, or none when the
/// file or the key is missing or the value is not a dictionary. Read afresh on every call.
std::optional<QVariantMap> getNikonLookupTable(bool logContents = false);

/// The table a module is chosen from: the user copy when "prefNikonLookupTable" holds a
/// dictionary (it replaces the built-in table whole), else the built-in table.
std::optional<QVariantMap>
currentNikonLookupTable(UserDefaults& defaults = UserDefaults::standard());

/// table[camera]["modulename"], or none when the camera has no entry or the entry is malformed
/// (not a dictionary, or a module name that is not a non-empty string; logged).
std::optional<QString> moduleNameForCamera(const QVariantMap& table, const QString& cameraName);

/// Whether a module name from a table can only name a file directly inside the module folder:
/// not empty, not "." or "..", without "/" or a NUL character.
bool isPlainModuleName(const QString& name);

/// Every distinct "productid" of the table's entries, in the table's order; entries that are not
/// dictionaries or have no numeric product identifier are passed over.
QList<int> productIDsOfLookupTable(const QVariantMap& table);

/// The table after matching a camera (its device information dictionary: "deviceName",
/// "productID") to a module bundle file name: the user copy, else the built-in table, else an
/// empty table, with the camera's entry set or replaced. None, when the entry would lack its
/// device name, module name or product identifier: such a match is not stored.
std::optional<QVariantMap>
lookupTableWithMatchedCamera(const QVariantMap& deviceInfo, const QString& moduleName,
                             UserDefaults& defaults = UserDefaults::standard());

/// Computes the table as above and stores it as "prefNikonLookupTable" on the main queue (at
/// once when called there). `defaults` must outlive the store. True when a table was stored.
bool addMatchedCamera(const QVariantMap& deviceInfo, const QString& moduleName,
                      UserDefaults& defaults = UserDefaults::standard());

/// Writes the match list file "MatchedCameras_yyyyMMddHHmmss.plist" (local time of `now`) into
/// temporaryFolderForApplication(), creating that folder: the user copy under
/// "prefNikonLookupTable" and the factory list under "FactoryDefaultNikonList", each when it
/// exists. The path once written; none when neither exists (*failure left empty: nothing to
/// share), or when there is no usable scratch folder or the write failed (logged with "Did NOT
/// Save", and *failure says why, for the user).
std::optional<QString> createMatchListFile(UserDefaults& defaults = UserDefaults::standard(),
                                           const QDateTime& now = QDateTime::currentDateTime(),
                                           QString* failure = nullptr);

} // namespace zarv
