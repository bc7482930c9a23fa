#include "session/ZarvNikonBaseCameraHandler.h"

#include "session/SessionSupport.h"

#include "messaging/InboundPayload.h"
#include "messaging/OutboundNotifications.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <QFileInfo>

namespace zarv {

using namespace session_detail;

// --- Notices -----------------------------------------------------------------------------------

void ZarvNikonBaseCameraHandler::handleSavedImageNotification(const Notification& notification) {
    Log::info(zarvSession,
              QStringLiteral("%1->handleSavedImageNotification: object = %2, userInfo = %3")
                  .arg(description(), Log::value(Log::capped(notification.object)),
                       Log::describe(Log::capped(notification.userInfo))));
    const InboundPayload payload = readInboundPayload(notification);
    const QString sender = payload.senderApp.value_or(QString());
    const QString path = payload.filePath.value_or(QString());
    if (sender.isEmpty() || path.isEmpty())
        return;
    sendUserNotificationForNewImage(path);
    mySendLookoutAppNotificationWithFilePath(path);
}

void ZarvNikonBaseCameraHandler::sendUserNotificationForNewImage(const QString& path) {
    const UsbFacts usb(fUsbDeviceInfo().value(QStringLiteral("usbproperties")).toMap());
    UserNotification notice;
    notice.title = Log::value(usb.product);
    notice.subtitle = QStringLiteral("Found New Image:");
    notice.informativeText = path.isEmpty()
                                 ? QStringLiteral("saved image...")
                                 : QFileInfo(path).completeBaseName() + QStringLiteral("...");
    notice.hasReplyButton = false;
    notice.soundName = QString();
    notice.hasActionButton = false;
    notice.actionButtonTitle = QStringLiteral("ACTION1");
    notice.identifier = usb.identifier();

    UserNotificationCenter* center = fUserNotifCenter();
    const QString owner = description();
    DispatchQueue::global().async([center, notice, owner] {
        deliverReplacing(center, notice, owner, QStringLiteral("sendUserNotificationForNewImage"));
    });
}

void ZarvNikonBaseCameraHandler::removeOldNotificationsWithIdentifer(
    const std::optional<QString>& identifier) {
    removeOldNotifications(fUserNotifCenter(), identifier);
}

void ZarvNikonBaseCameraHandler::handleUsbDeviceAdded(const Notification& notification) {
    const QString op = QStringLiteral("handleUsbDeviceAdded:");
    Log::info(zarvSession,
              QStringLiteral("Inside %1 => %2...notification = %3")
                  .arg(description(), op, Log::describe(Log::capped(notification.userInfo))));
    const UsbFacts usb(notification.userInfo.value(QStringLiteral("usbproperties")).toMap());
    const QString product = stringOrEmpty(usb.product);
    if (product.isEmpty())
        return;
    logModuleFor(description(), op, product, QStringLiteral("Load"));
    UserNotification notice;
    notice.identifier = usb.identifier();
    notice.title = QStringLiteral("Found Device Vendor: %1").arg(Log::value(usb.vendor));
    notice.subtitle = QStringLiteral(": %1 at 0x%2").arg(product, usb.locationHex());
    notice.informativeText = QStringLiteral("SN: %1").arg(Log::value(usb.serial));
    notice.soundName = UserNotification::kDefaultSoundName;
    notice.hasReplyButton = false;
    notice.hasActionButton = false;
    notice.actionButtonTitle = QStringLiteral("ACTION1");

    UserNotificationCenter* center = fUserNotifCenter();
    const QString owner = description();
    DispatchQueue::global().async(
        [center, notice, owner, op] { deliverReplacing(center, notice, owner, op); });
}

void ZarvNikonBaseCameraHandler::handleUsbDeviceRemoved(const Notification& notification) {
    const QString op = QStringLiteral("handleUsbDeviceRemoved:");
    Log::info(zarvSession,
              QStringLiteral("Inside %1 => %2...notification = %3")
                  .arg(description(), op, Log::describe(Log::capped(notification.userInfo))));
    const UsbFacts usb(notification.userInfo.value(QStringLiteral("usbproperties")).toMap());
    const QString product = stringOrEmpty(usb.product);
    logModuleFor(description(), op, product, QStringLiteral("Close"));
    UserNotification notice;
    notice.identifier = usb.identifier();
    notice.title = QStringLiteral("!! DEVICE REMOVED !!");
    notice.subtitle = QStringLiteral(" %1 at 0x%2").arg(Log::value(usb.product), usb.locationHex());
    notice.informativeText = QStringLiteral("SN: %1").arg(Log::value(usb.serial));
    notice.soundName = UserNotification::kDefaultSoundName;
    notice.hasReplyButton = false;
    notice.hasActionButton = false;
    deliverReplacing(fUserNotifCenter(), notice, description(), op);
    Log::info(zarvSession, QStringLiteral("Inside %1 => %2...DONE...").arg(description(), op));
}

bool ZarvNikonBaseCameraHandler::shouldPresentNotification(UserNotificationCenter&,
                                                           const UserNotification&) {
    return true;
}

void ZarvNikonBaseCameraHandler::didDeliverNotification(UserNotificationCenter&,
                                                        const UserNotification&) {}

void ZarvNikonBaseCameraHandler::didActivateNotification(UserNotificationCenter&,
                                                         const UserNotification& notification) {
    Log::info(zarvSession, activationTypeName(notification.activationType));
    if (notification.activationType == UserNotification::ActivationType::ActionButtonClicked &&
        notification.actionButtonTitle.compare(QLatin1String("action1"), Qt::CaseInsensitive) == 0)
        Log::info(zarvSession, QStringLiteral("do some action1"));
}

} // namespace zarv
