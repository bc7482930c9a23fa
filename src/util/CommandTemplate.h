#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace zarv {

/// A placeholder of a command template ("[path]") and the text that replaces it.
using TemplateValue = std::pair<QString, QString>;

/// Fills a command template in one pass: every occurrence of each placeholder is replaced, and
/// what was put in is never searched again, so a folder named "a[depth]" stays as it is.
/// Quoting the values for the shell is the caller's part.
QString fillTemplate(const QString& text, const QList<TemplateValue>& values);

/// Runs a find command (through runShellCommand, so it blocks) with "-print0" added, and
/// returns the paths it printed. Names are split at the NUL find puts after each one, never at
/// line breaks or blanks, so a folder named with a line break stays one path. Nothing found
/// gives one empty text, as the siblings expect from an empty listing.
QStringList findPaths(const QString& findCommand);

} // namespace zarv
