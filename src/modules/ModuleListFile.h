#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace zarv {

/// The largest module list file an import reads: a list of every camera ever made is a few
/// hundred kilobytes, so anything larger is a mistake.
inline constexpr qsizetype kMaxModuleListFileSize = qsizetype(16) << 20;

/// What a file chosen for import holds, judged without touching the settings.
struct ModuleListFile {
    enum class Kind {
        Unreadable,  ///< missing, not a regular file, not a property list, or no dictionary
        TooLarge,    ///< over kMaxModuleListFileSize: nothing past the limit was read
        Empty,       ///< an empty dictionary
        UserTable,   ///< "prefNikonLookupTable" with usable entries, which `table` holds
        FactoryOnly, ///< no user table, only "FactoryDefaultNikonList"
        Invalid,     ///< neither key, or a user table that is no dictionary or has no usable entry
    };
    Kind kind = Kind::Unreadable;
    /// The usable entries of the user table (UserTable only).
    QVariantMap table;
    /// For the log: why the file was refused, or which entries were skipped and why.
    QStringList problems;
};

/// Reads a file chosen for import, an XML or a binary property list. The user table wins over
/// the factory list when both are there. Entries that are not dictionaries, or whose "modulename"
/// is not a plain file name (isPlainModuleName), are left out. Reentrant: it may run off the main
/// thread.
ModuleListFile readModuleListFile(const QString& path);

} // namespace zarv
