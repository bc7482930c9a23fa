#pragma once

#include "Architecture.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace zarv {

/// Where the camera maker installs its modules; used wherever no search-path list exists.
inline const QString kDefaultNikonModulesFolder =
    QStringLiteral("/Library/Application Support/Nikon/Camera Control Modules");

/// The listing command: [path] and [depth] are replaced. GNU find spells the Mac's "-d 1"
/// (entries exactly one level down) as a minimum and maximum depth.
inline const QString kListModulesCommandTemplate =
    QStringLiteral("find \"[path]\" -mindepth [depth] -maxdepth [depth]  -name '*.bundle'");

/// The module folders of the factory list, in order of preference, with a leading "~"
/// expanded: "DefaultNikonModulesSearchPathsFor32bit" in a 32-bit process when its first folder
/// exists, else "DefaultNikonModulesSearchPaths". None when the resource or key is missing or
/// holds no strings.
std::optional<QStringList> getDefaultSearchPaths(bool is32bit = isThis32bitMode());

/// The first search path, or kDefaultNikonModulesFolder when there is none.
QString moduleFolder(bool is32bit = isThis32bitMode());

/// The ".bundle" entries directly inside moduleFolder(), in the order the file system gives
/// them: full paths, or bare names ("Type0005 Module.bundle"). An empty folder gives one empty
/// string; a folder that is missing or cannot be read gives none (logged). Runs a shell command
/// and blocks until it ends.
std::optional<QStringList> getListOfModuleBundles(bool fullPaths, bool is32bit = isThis32bitMode());

/// The listing command for a folder: the template with the folder quoted for the shell.
QString listModulesCommand(const QString& folder);

/// The log name of an architecture code ("NSBundleExecutableArchitectureX86_64", ...).
QString architectureName(int code);

/// True when the bundle at `path` holds an executable for the architecture `type` (a CPU type
/// code of Bundle::Architecture). An i386 match counts only when 32-bit operation is allowed.
/// Never loads the bundle. `owner` names the caller in the log.
bool isModuleAtPath(const QString& path, int type,
                    const QString& owner = QStringLiteral("ZarvNikonBaseCameraHandler"));

} // namespace zarv
