#include "Architecture.h"

#include <QFileInfo>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace zarv {
namespace {

constexpr double kLastAppKitWith32Bit = 1349.0;
constexpr double kFirstAppKitWithout32Bit = 1404.0;

// A negative number stands for "no override".
std::atomic<double>& overrideValue() {
    static std::atomic<double> value{-1.0};
    return value;
}

bool systemRuns32BitPrograms() {
    if (const char* env = std::getenv("ZARV_ALLOW_32BIT"); env && *env)
        return std::strcmp(env, "0") != 0;
    static const bool hasLoader = QFileInfo::exists(QStringLiteral("/lib/ld-linux.so.2"));
    return hasLoader;
}

} // namespace

double appKitVersionNumber() {
    const double forced = overrideValue().load();
    if (forced >= 0)
        return forced;
    return systemRuns32BitPrograms() ? kLastAppKitWith32Bit : kFirstAppKitWithout32Bit;
}

bool isThisAppAllowedToRunIn32BitMode() {
    return appKitVersionNumber() <= kLastAppKitWith32Bit;
}

void setAppKitVersionNumberOverride(std::optional<double> version) {
    overrideValue().store(version && *version >= 0 ? *version : -1.0);
}

} // namespace zarv
