#pragma once

#include "UsbRegistryEntry.h"
#include "platform/Dispatch.h"

#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace zarv {

/// Posted on the local notification centre, with the device information dictionary, when a
/// device of vendor 1200 arrives or was present at start.
inline const QString kZarvNikonCameraNotification = QStringLiteral("com.quellbay.ZarvNikonCamera");
/// Posted with the removed-device dictionary when a watched device leaves.
inline const QString kZarvNikonCameraRemovedNotification =
    QStringLiteral("com.quellbay.ZarvNikonCamera.device.removed");
/// The serial queue every arrival and removal is handled on.
inline const QString kUsbNotificationQueueLabel =
    QStringLiteral("com.quellbay.zarv.iokit.notifications");
/// The camera maker's USB vendor identifier.
inline constexpr int kNikonUSBVendorID = 1200;

class UsbNotificationPort;

/// USB device watching over udev. The class family is used through its class operations
/// (static members); `getNikonDevices` of a subclass watches that subclass's vendor. Arrivals
/// (devices present at start included) and removals are handled one at a time on the serial
/// queue "com.quellbay.zarv.iokit.notifications", which also runs the observers of the
/// notifications posted: observers must move lasting work to their own queues.
class ZARV_camera {
public:
    ZARV_camera() = default;
    virtual ~ZARV_camera() = default;
    ZARV_camera(const ZARV_camera&) = default;
    ZARV_camera& operator=(const ZARV_camera&) = default;

    QVariantMap fUsbDeviceInfo() const { return m_usbDeviceInfo; }
    void setFUsbDeviceInfo(const QVariantMap& info) { m_usbDeviceInfo = info; }
    /// The device's handle: its sysfs path.
    QString iokitDeviceObject() const { return m_iokitDeviceObject; }
    void setIokitDeviceObject(const QString& object) { m_iokitDeviceObject = object; }

    /// Hooks for subclasses that keep their cameras; the base keeps none.
    virtual QVariantList connectedCameras() const { return {}; }
    virtual void addCameraWithIOKitObject(const QString& object, void* usbDeviceInterface) {
        Q_UNUSED(object);
        Q_UNUSED(usbDeviceInterface);
    }

    static QString className() { return QStringLiteral("ZARV_camera"); }
    /// None: a subclass supplies its vendor.
    static std::optional<int> USBVendorID() { return std::nullopt; }
    static QList<int> USBProductIDs() { return {}; }

    /// Starts watching for this class: devices already attached are reported at once, through
    /// the same path as later arrivals, before this returns. Without a vendor identifier it
    /// logs a warning and watches devices of class 255 instead. Blocks until the devices present
    /// have been handled on the notification queue (so observers must not wait for the calling
    /// thread); safe to call from any thread. A second call for the same class does nothing.
    static void getNikonDevices();

    /// The notification queue, created once and kept for the life of the process.
    static std::shared_ptr<DispatchQueue> notificationQueue();
    /// The udev monitor shared by every registration, delivering on the notification queue;
    /// null when udev cannot be reached (logged as "failed to get a mach master port").
    static UsbNotificationPort* sharedNotificationPort();
    static UsbNotificationPort* sharedNotificationPortDispatch();
    /// An alternative port, created once, read by the event loop of the thread that first asks
    /// for it. Null, logged, when that thread has no event loop. getNikonDevices does not use
    /// it, and no registration is armed on it: it reports nothing.
    static UsbNotificationPort* sharedNotificationPortRunLoop();

    /// The device information dictionary of an entry ("deviceName", "location",
    /// "deviceClass", "deviceSubClass", "vendorID", "productID", "usbproperties"), or none when
    /// one of the class, subclass, vendor or product attributes is missing (logged).
    static std::optional<QVariantMap> getIOKitObjectInfo(const UsbRegistryEntry& entry);
    /// The entry's registry properties, or none when there are none; also written to the
    /// "USBInfoFor_<product>_<location>.plist" file of the temporary folder when it exists.
    static std::optional<QVariantMap> getUsbDeviceProperties(const UsbRegistryEntry& entry);
    /// True when the dictionary's "vendorID" is 1200.
    static bool matchedOurProductList(const QVariantMap& info);
    /// An arriving entry: posts "com.quellbay.ZarvNikonCamera" when it is a camera maker's.
    /// False when the entry could not be described (it is then not watched for removal).
    static bool addedDeviceObject(const UsbRegistryEntry& entry,
                                  const QString& owner = className());
    /// A leaving entry, as recorded at its arrival: writes the "RemovedUSBInfoFor_" file and
    /// posts "com.quellbay.ZarvNikonCamera.device.removed".
    static void removedDeviceObject(const UsbRegistryEntry& entry,
                                    const QString& owner = className());

    /// The diagnostic file name "<prefix><first>_<second>.plist" with every '/' and control
    /// character of the parts replaced, and the parts shortened to fit one file name.
    static QString diagnosticFileName(const QString& prefix, const QString& first,
                                      const QString& second);

    static bool isThis32bitMode();
    static bool isThisAppAllowedToRunIn32BitMode();

    /// Stops watching and forgets every registration and recorded device, so that a test can
    /// start again. Not for the program: the Mac's registrations last the life of the process.
    static void resetForTesting();

protected:
    static void watchDevices(const QString& owner, std::optional<int> vendorID);

private:
    QVariantMap m_usbDeviceInfo;
    QString m_iokitDeviceObject;
};

/// The camera maker's cameras: vendor 1200, the product identifiers of the built-in table.
class ZARV_cameraNikon : public ZARV_camera {
public:
    static QString className() { return QStringLiteral("ZARV_cameraNikon"); }
    static std::optional<int> USBVendorID() { return kNikonUSBVendorID; }
    /// Every distinct "productid" of the built-in lookup table; offered, not used to match.
    static QList<int> USBProductIDs();
    static void getNikonDevices();
};

/// Apple's devices (vendor 1452); kept for completeness of the family.
class ZARV_usbDeviceApple : public ZARV_camera {
public:
    static QString className() { return QStringLiteral("ZARV_usbDeviceApple"); }
    static std::optional<int> USBVendorID() { return 1452; }
    static QList<int> USBProductIDs() { return {4776, 4778, 4779}; }
    static void getNikonDevices();
};

} // namespace zarv
