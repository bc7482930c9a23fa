#pragma once

#include <QString>

namespace zarv {

/// A leading "~" (alone or before "/") replaced by the user's home folder; anything else as is.
QString expandingTildeInPath(const QString& path);

/// The tilde expanded, then "." and ".." segments and doubled slashes removed. Empty stays empty.
QString standardizingPath(const QString& path);

/// Whether a private folder that does not exist yet is made.
enum class IfMissing { Create, GiveNothing };

/// The user's own temporary folder: $TMPDIR when it is an absolute path, else $XDG_RUNTIME_DIR,
/// else /tmp/<login name>-<uid>, which is made 0700 and refused when it is a link or belongs to
/// someone else. Empty, with a log line, when it cannot be used.
QString userTemporaryDirectory(IfMissing ifMissing = IfMissing::Create);

/// The folder `name` inside userTemporaryDirectory(), kept private to the user: made 0700,
/// narrowed to 0700 when it is ours but open to others, refused (empty, with a log line saying
/// what to do) when it is a link, not a folder, or belongs to another user. With
/// IfMissing::GiveNothing a missing folder gives an empty path, quietly.
QString privateTemporaryFolder(const QString& name, IfMissing ifMissing = IfMissing::Create);

/// The program's scratch folder, the one place for its diagnostic and match-list files:
/// privateTemporaryFolder() named after the main bundle's identifier, or ~/Documents when the
/// bundle has no identifier fit for a folder name. Empty when it cannot be used. Thread-safe.
QString temporaryFolderForApplication(IfMissing ifMissing = IfMissing::Create);

} // namespace zarv
