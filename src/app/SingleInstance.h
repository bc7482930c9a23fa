#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace zarv {

/// One running copy per desktop session, through a well-known name on the D-Bus session bus
/// (the bundle identifier). The owner exports /com/quellbay/ZarvNikonCapture with the method
/// com.quellbay.ZarvNikonCapture.Activate, which a second copy calls to bring it forward.
namespace SingleInstance {

enum class Result {
    Owner,     // this process holds the name
    Duplicate, // another process holds it and was asked forward
    NoBus,     // no session bus: nothing to check against
};

inline constexpr const char* kObjectPath = "/com/quellbay/ZarvNikonCapture";
inline constexpr const char* kInterface = "com.quellbay.ZarvNikonCapture";

/// Claims `serviceName`. As the owner, `onActivate` runs on the main thread whenever another
/// copy asks; the exported object is a child of `parent`. Main thread only.
Result claim(const QString& serviceName, QObject* parent, std::function<void()> onActivate);

} // namespace SingleInstance
} // namespace zarv
