#pragma once

#include <optional>

namespace zarv {

/// True in a 32-bit build of the program, false in a 64-bit one.
constexpr bool isThis32bitMode() {
    return sizeof(void*) == 4;
}

/// The AppKit release number this system stands for. Linux has no AppKit; the number answers the
/// one question the program asks of it, whether 32-bit programs may run: 1349.0 (the last
/// release that allowed them) when the system has its 32-bit loader, 1404.0 otherwise.
/// The environment variable ZARV_ALLOW_32BIT (1 or 0) decides instead when set.
double appKitVersionNumber();

/// True when 32-bit relaunching and 32-bit modules may be offered: the AppKit number is at most
/// 1349.0.
bool isThisAppAllowedToRunIn32BitMode();

/// Makes appKitVersionNumber() answer `version`; nothing restores the system's answer.
/// For tests.
void setAppKitVersionNumberOverride(std::optional<double> version);

} // namespace zarv
