#include "session/SessionSupport.h"

#include "modules/LookupTable.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "sdk/CallBack.h"

#include <QDebug>
#include <QThread>

#include <cstring>

namespace zarv::session_detail {

Bundle* g_pModuleBundle = nullptr;
const ZarvNikonBaseCameraHandler* g_pConnectionOwner = nullptr;

QString stringOrEmpty(const QVariant& value) {
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

// Sets a status text from the main queue, where the window's bindings read it.
void setStatusOnMainQueue(const QString& key, const QString& text) {
    DispatchQueue::main().async([key, text] { UserDefaults::standard().setObject(key, text); });
}

// Closes a module tree, ignoring every failure: used where the connection is being given up
// and the module must not keep an open module object that would refuse the next open.
void closeQuietly(LPRefObj root) {
    if (!root || !root->object)
        return;
    try {
        if (!Close_Module(root))
            Log::info(zarvSession,
                      QStringLiteral("Closing the module failed; its memory is released anyway"));
    } catch (const MaidException& e) {
        Log::info(zarvSession,
                  QStringLiteral("Closing the module failed with %1; its memory is released anyway")
                      .arg(e.code()));
    } catch (const std::exception& e) {
        Log::info(zarvSession,
                  QStringLiteral("Closing the module failed: %1").arg(QString::fromUtf8(e.what())));
    }
}

// A root node with its object record, as the module is opened with; null when memory is short.
LPRefObj newRootNode() {
    auto* node = static_cast<LPRefObj>(MaidAlloc(sizeof(tagRefObj)));
    if (!node)
        return nullptr;
    *node = tagRefObj{};
    InitRefObj(node);
    node->object = static_cast<tagNkMAIDObject*>(MaidAlloc(sizeof(tagNkMAIDObject)));
    if (!node->object) {
        MaidFree(node);
        return nullptr;
    }
    std::memset(node->object, 0, sizeof(tagNkMAIDObject));
    node->object->refClient = ptrToWord(node);
    return node;
}

// Puts the module in controller mode when it offers the setting. False when the set failed.
bool setControllerMode(LPRefObj root) {
    if (!CheckCapabilityOperation(root, kNkMAIDCapability_ModuleMode, kNkMAIDCapOperation_Set))
        return true;
    return Command_CapSet(root->object, kNkMAIDCapability_ModuleMode, kNkMAIDDataType_Unsigned,
                          kNkMAIDModuleMode_Controller);
}

namespace {

// The USB bus and device numbers of the camera (udev's BUSNUM and DEVNUM), as
// (bus << 16) | device; 0 when unknown.
uint32_t usbLocationOf(const QVariantMap& usbProperties) {
    bool busOk = false, deviceOk = false;
    const uint bus = usbProperties.value(QStringLiteral("BUSNUM")).toUInt(&busOk);
    const uint device = usbProperties.value(QStringLiteral("DEVNUM")).toUInt(&deviceOk);
    if (!busOk || !deviceOk || bus == 0 || device == 0 || bus > 0xffff || device > 0xffff)
        return 0;
    return (bus << 16) | device;
}

} // namespace

// Tells a module that sees several cameras (and card readers) which one the program found on
// USB, when it takes that. A module that does not is used unchanged.
void tellUsbLocation(LPRefObj root, const QVariantMap& deviceInfo) {
    const uint32_t location =
        usbLocationOf(deviceInfo.value(QStringLiteral("usbproperties")).toMap());
    if (!location ||
        !CheckCapabilityOperation(root, kNkMAIDCapability_UsbLocation, kNkMAIDCapOperation_Set))
        return;
    if (Command_CapSet(root->object, kNkMAIDCapability_UsbLocation, kNkMAIDDataType_Unsigned,
                       location))
        Log::info(zarvSession,
                  QStringLiteral("The module is to open the camera on USB bus %1, device %2")
                      .arg(location >> 16)
                      .arg(location & 0xffff));
}

QString activationTypeName(UserNotification::ActivationType type) {
    switch (type) {
    case UserNotification::ActivationType::None:
        return QStringLiteral("NSUserNotificationActivationTypeNone");
    case UserNotification::ActivationType::ContentsClicked:
        return QStringLiteral("NSUserNotificationActivationTypeContentsClicked");
    case UserNotification::ActivationType::ActionButtonClicked:
        return QStringLiteral("NSUserNotificationActivationTypeActionButtonClicked");
    case UserNotification::ActivationType::Replied:
        return QStringLiteral("NSUserNotificationActivationTypeReplied");
    }
    return QString();
}

void removeOldNotifications(UserNotificationCenter* center,
                            const std::optional<QString>& identifier) {
    if (!center)
        return;
    if (!identifier) {
        center->removeAllDeliveredNotifications();
        return;
    }
    for (const UserNotification& n : center->deliveredNotifications())
        if (n.identifier.compare(*identifier, Qt::CaseInsensitive) == 0)
            center->removeDeliveredNotification(n);
}

// Replaces the camera's previous notice with this one, if notices are wanted.
void deliverReplacing(UserNotificationCenter* center, const UserNotification& notice,
                      const QString& owner, const QString& operation) {
    removeOldNotifications(center, notice.identifier);
    if (!UserDefaults::standard().boolForKey(kPrefShowUserNotifications)) {
        Log::info(zarvSession,
                  QStringLiteral("Inside %1 => %2...prefShowUserNotifications is disabled...")
                      .arg(owner, operation));
        return;
    }
    if (center)
        center->deliverNotification(notice);
}

// Logs the lookup table's module for a camera, as "Need to <verb> Module: [...]".
void logModuleFor(const QString& owner, const QString& operation, const QString& product,
                  const QString& verb) {
    if (product.isEmpty())
        return;
    const auto table = getNikonLookupTable();
    if (!table || !table->contains(product))
        return;
    const QVariant entry = table->value(product);
    Log::info(zarvSession, QStringLiteral("Inside %1 => %2...moduleInfo = [%3]")
                               .arg(owner, operation, Log::describe(entry)));
    Log::info(zarvSession,
              QStringLiteral("Need to %1 Module: [%2]")
                  .arg(verb, Log::value(entry.toMap().value(QStringLiteral("modulename")))));
}

} // namespace zarv::session_detail
