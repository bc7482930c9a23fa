#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <string>
#include <vector>

namespace zarv {

/// A text quoted for /bin/sh: single quotes, with any single quote inside spelled '\''.
QString shellQuote(const QString& text);

/// The command listing the pictures directly inside the hot folder. GNU find has no "-d N";
/// the Mac's "entries exactly one level down" is spelled as a minimum and maximum depth.
QString hotFolderListCommand(const QString& folder);
/// The pictures directly inside the hot folder, as full paths, by the command above; one empty
/// text when there are none. Blocks while the command runs.
QStringList hotFolderPictures(const QString& folder);
/// The command listing the pictures of the folder last changed more than `minutesOld` ago.
QString oldImagesCommand(const QString& folder, const QString& minutesOld);

/// Command output as a list of lines: trimmed at both ends, "\r" read as "\n", "\n\n" as "\n".
/// Empty output gives a list of one empty text.
QStringList cleanCommandOutput(const QString& output);

/// The command that opens a folder in the desktop's file browser.
QString revealCommand(const QString& folder);

/// Opens a folder in the desktop's file browser, without waiting for it; beeps when the path
/// is not an existing folder. A leading "~" is expanded.
void revealItemInFinder(const QString& path);

/// The relauncher's three arguments: the bundle path, the process id, the launch flags (1 unless
/// the information is a dictionary, whose "LSLaunchFlags" then counts, 0 when absent). The new
/// process starts from the stored settings: this run's -KEY VALUE overrides are not passed on.
QStringList relauncherArguments(const QVariant& info, const QString& bundlePath, qint64 pid);

/// Set to "1" in the relauncher's environment when the run it replaces had no window: the
/// relauncher then starts the new process with --headless.
inline constexpr char kRelaunchHeadlessVariable[] = "ZARV_RELAUNCH_HEADLESS";

/// A null-terminated array of C strings for execv, pointing into `storage`; null for an empty
/// list. The caller frees the array with delete[].
char** mallocdArrayOfCStrings(const QStringList& texts, std::vector<std::string>* storage);

} // namespace zarv
