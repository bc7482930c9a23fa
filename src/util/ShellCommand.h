#pragma once

#include <QString>

#include <optional>

namespace zarv {

/// Largest amount of a command's output that runShellCommand returns.
inline constexpr std::size_t kShellOutputLimit = 512000;

/// Runs `command` through /bin/sh and returns what it printed on standard output, at most
/// kShellOutputLimit bytes, as UTF-8. Gives nothing when the command printed nothing or could
/// not be started. Blocks until the command ends. SIGCHLD is ignored while any call runs and
/// the previous handling comes back when the last one ends; safe from any thread.
std::optional<QString> runShellCommand(const QString& command);

} // namespace zarv
