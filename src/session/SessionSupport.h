// What the session's files share: its settings keys and fixed waits, the bundle and owner of
// the process-wide connection, and small helpers for logging, status texts, notices and the
// module's root node. Internal to the session.

#pragma once

#include "platform/Log.h"
#include "sdk/Function.h"

#include "platform/Bundle.h"
#include "platform/UserNotificationCenter.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <cstdint>
#include <optional>

namespace zarv {

class ZarvNikonBaseCameraHandler;

namespace session_detail {

inline const QString kPrefNameOfCameraFound = QStringLiteral("prefNameOfCameraFound");
inline const QString kPrefCameraConnectionMessage = QStringLiteral("prefCameraConnectionMessage");
inline const QString kPrefLastNikonResponse = QStringLiteral("prefLastNikonResponse");
inline const QString kPrefShowUserNotifications = QStringLiteral("prefShowUserNotifications");
inline const QString kUnknownModule = QStringLiteral("Unknown Module.bundle");
inline const char* const kEntryPointName = "MAIDEntryPoint";

constexpr unsigned long kControllerModeWaitMs = 750;
constexpr unsigned long kSourceRetryWaitMs = 250;
constexpr int kFindCameraTries = 10;
constexpr int kProbeTries = 4;

// The loaded module bundle of the connection. Kept for the life of the process unless a session
// unloads it: like the Mac's bundles, it is never unloaded behind the module's back at exit.
extern Bundle* g_pModuleBundle;
// The session that opened pRefMod; it closes the module if it goes away with it still open.
extern const ZarvNikonBaseCameraHandler* g_pConnectionOwner;

QString stringOrEmpty(const QVariant& value);
// Sets a status text from the main queue, where the window's bindings read it.
void setStatusOnMainQueue(const QString& key, const QString& text);
// Closes a module tree, ignoring every failure: used where the connection is being given up
// and the module must not keep an open module object that would refuse the next open.
void closeQuietly(LPRefObj root);
// A root node with its object record, as the module is opened with; null when memory is short.
LPRefObj newRootNode();
// Puts the module in controller mode when it offers the setting. False when the set failed.
bool setControllerMode(LPRefObj root);
// Tells a module that sees several cameras (and card readers) which one the program found on
// USB, when it takes that. A module that does not is used unchanged.
void tellUsbLocation(LPRefObj root, const QVariantMap& deviceInfo);
QString activationTypeName(UserNotification::ActivationType type);
void removeOldNotifications(UserNotificationCenter* center,
                            const std::optional<QString>& identifier);
// Replaces the camera's previous notice with this one, if notices are wanted.
void deliverReplacing(UserNotificationCenter* center, const UserNotification& notice,
                      const QString& owner, const QString& operation);
// Logs the lookup table's module for a camera, as "Need to <verb> Module: [...]".
void logModuleFor(const QString& owner, const QString& operation, const QString& product,
                  const QString& verb);

// The camera's USB description from a watcher notification or a device dictionary.
struct UsbFacts {
    QVariant product, serial, location, vendor;
    explicit UsbFacts(const QVariantMap& props)
        : product(props.value(QStringLiteral("USB Product Name"))),
          serial(props.value(QStringLiteral("USB Serial Number"))),
          location(props.value(QStringLiteral("locationID"))),
          vendor(props.value(QStringLiteral("USB Vendor Name"))) {}
    QString identifier() const {
        return QStringLiteral("%1-%2").arg(Log::value(product), Log::value(location));
    }
    QString locationHex() const {
        bool ok = false;
        const qulonglong value = location.toULongLong(&ok);
        return QString::number(ok ? value : 0, 16);
    }
};

} // namespace session_detail
} // namespace zarv
