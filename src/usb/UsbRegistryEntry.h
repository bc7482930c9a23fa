#pragma once

#include <QMap>
#include <QString>
#include <QVariantMap>

#include <optional>

struct udev_device;

namespace zarv {

/// The sysfs attributes read for each device.
inline constexpr const char* kUsbRegistryAttributes[] = {
    "idVendor",        "idProduct",
    "bDeviceClass",    "bDeviceSubClass",
    "bDeviceProtocol", "bcdDevice",
    "manufacturer",    "product",
    "serial",          "busnum",
    "devnum",          "speed",
    "bMaxPacketSize0", "bNumConfigurations",
    "version",
};

/// What the program knows of one USB device: the stand-in for an IOKit registry entry, read from
/// udev once, so that it can still describe the device after it has gone.
struct UsbRegistryEntry {
    QString syspath;                   // the handle: the device's sysfs path
    QString sysname;                   // "1-4.2", "usb1"
    QMap<QString, QString> attributes; // sysfs attributes that were present
    QMap<QString, QString> properties; // udev properties (ID_VENDOR_ID, DEVNAME, ...)

    /// The registry name: the product string, or "IOUSBDevice" for a device without one.
    QString name() const;
    /// The location identifier as the Mac forms it: the bus number in the top byte, then one
    /// nibble per port along the path from the root hub. None without a bus number.
    std::optional<quint32> locationID() const;
    /// The location in the "IOService" plane: the location identifier in hexadecimal.
    QString location() const;
    /// A hexadecimal sysfs attribute (idVendor, bDeviceClass, ...), if present and well formed.
    std::optional<int> hexAttribute(const QString& name) const;
    /// A decimal sysfs attribute (busnum, devnum, ...), if present and well formed.
    std::optional<int> decimalAttribute(const QString& name) const;
    /// The registry properties: the Mac's names for what the program reads ("USB Product Name",
    /// "USB Vendor Name", "USB Serial Number", "locationID", "idVendor", "idProduct" and a few
    /// more), beside every udev property under its own name.
    QVariantMap registryProperties() const;

    /// Reads a device's attributes and properties. A device without a sysfs path gives an entry
    /// with an empty syspath.
    static UsbRegistryEntry fromUdevDevice(udev_device* device);
};

} // namespace zarv
