#pragma once

#include <QString>

#include <optional>

namespace zarv {

/// True in a 32-bit build of the program, false in a 64-bit one.
constexpr bool isThis32bitMode() {
    return sizeof(void*) == 4;
}

/// What executing the i386 probe showed: whether it ran and succeeded, and if not, why not.
struct I386ProbeResult {
    bool runs = false;
    QString reason;
};

/// Executes the program at `path` directly (never through a shell, so a file the kernel refuses
/// is a refusal) with no arguments, and waits at most `timeoutMs` for it. It runs when it exits
/// with status 0.
I386ProbeResult runI386Probe(const QString& path, int timeoutMs = 5000);

/// The probe to execute: the program named by the environment variable ZARV_I386_PROBE when set,
/// else the main bundle's auxiliary executable "i386-probe" (empty when there is none).
QString i386ProbePath();

/// Whether this system runs i386 programs: runI386Probe(i386ProbePath()), found out once per
/// process.
const I386ProbeResult& systemI386Probe();

/// The AppKit release number this system stands for. Linux has no AppKit; the number answers the
/// one question the program asks of it, whether 32-bit programs may run: 1349.0 (the last
/// release that allowed them) when the system runs the i386 probe, 1404.0 otherwise.
/// The environment variable ZARV_ALLOW_32BIT (1 or 0) decides instead when set.
double appKitVersionNumber();

/// True when 32-bit relaunching and 32-bit modules may be offered: the AppKit number is at most
/// 1349.0.
bool isThisAppAllowedToRunIn32BitMode();

/// Makes appKitVersionNumber() answer `version`; nothing restores the system's answer.
/// For tests.
void setAppKitVersionNumberOverride(std::optional<double> version);

} // namespace zarv
