#include "UsbRegistryEntry.h"

#include <QRegularExpression>
#include <QStringList>

#include <libudev.h>

namespace zarv {
namespace {

QString fromUdev(const char* s) {
    return s ? QString::fromUtf8(s) : QString();
}

// The Mac's speed codes: 0 low, 1 full, 2 high, 3 super, 4 super-plus.
std::optional<int> speedCode(const QString& megabits) {
    const QString s = megabits.trimmed();
    if (s == QLatin1String("1.5"))
        return 0;
    if (s == QLatin1String("12"))
        return 1;
    if (s == QLatin1String("480"))
        return 2;
    if (s == QLatin1String("5000"))
        return 3;
    if (s == QLatin1String("10000") || s == QLatin1String("20000"))
        return 4;
    return std::nullopt;
}

} // namespace

QString UsbRegistryEntry::name() const {
    const QString product = attributes.value(QStringLiteral("product"));
    return product.isEmpty() ? QStringLiteral("IOUSBDevice") : product;
}

std::optional<int> UsbRegistryEntry::hexAttribute(const QString& key) const {
    const auto it = attributes.constFind(key);
    if (it == attributes.cend())
        return std::nullopt;
    bool ok = false;
    const int value = it->trimmed().toInt(&ok, 16);
    return ok && value >= 0 ? std::optional<int>(value) : std::nullopt;
}

std::optional<int> UsbRegistryEntry::decimalAttribute(const QString& key) const {
    const auto it = attributes.constFind(key);
    if (it == attributes.cend())
        return std::nullopt;
    bool ok = false;
    const int value = it->trimmed().toInt(&ok, 10);
    return ok && value >= 0 ? std::optional<int>(value) : std::nullopt;
}

std::optional<quint32> UsbRegistryEntry::locationID() const {
    // "B-P.P.P" for a device, "usbB" for a root hub.
    static const QRegularExpression devicePattern(QStringLiteral("^(\\d+)-(\\d+(?:\\.\\d+)*)$"));
    static const QRegularExpression hubPattern(QStringLiteral("^usb(\\d+)$"));
    std::optional<int> bus = decimalAttribute(QStringLiteral("busnum"));
    QStringList ports;
    if (const auto m = devicePattern.match(sysname); m.hasMatch()) {
        bus = m.captured(1).toInt();
        ports = m.captured(2).split(u'.');
    } else if (const auto h = hubPattern.match(sysname); h.hasMatch()) {
        bus = h.captured(1).toInt();
    }
    if (!bus)
        return std::nullopt;
    quint32 id = quint32(*bus & 0xFF) << 24;
    int shift = 20;
    for (const QString& port : ports) {
        if (shift < 0)
            break;
        id |= quint32(port.toUInt() & 0xF) << shift;
        shift -= 4;
    }
    return id;
}

QString UsbRegistryEntry::location() const {
    const auto id = locationID();
    return id ? QString::number(*id, 16) : QString();
}

QVariantMap UsbRegistryEntry::registryProperties() const {
    QVariantMap p;
    for (auto it = properties.cbegin(); it != properties.cend(); ++it)
        p.insert(it.key(), it.value());
    auto putString = [&](const char* key, const char* attribute) {
        const auto it = attributes.constFind(QLatin1String(attribute));
        if (it != attributes.cend())
            p.insert(QLatin1String(key), *it);
    };
    auto putNumber = [&](const char* key, std::optional<int> value) {
        if (value)
            p.insert(QLatin1String(key), qlonglong(*value));
    };
    putString("USB Product Name", "product");
    putString("USB Vendor Name", "manufacturer");
    putString("USB Serial Number", "serial");
    if (const auto id = locationID())
        p.insert(QStringLiteral("locationID"), qlonglong(*id));
    putNumber("idVendor", hexAttribute(QStringLiteral("idVendor")));
    putNumber("idProduct", hexAttribute(QStringLiteral("idProduct")));
    putNumber("bDeviceClass", hexAttribute(QStringLiteral("bDeviceClass")));
    putNumber("bDeviceSubClass", hexAttribute(QStringLiteral("bDeviceSubClass")));
    putNumber("bDeviceProtocol", hexAttribute(QStringLiteral("bDeviceProtocol")));
    putNumber("bcdDevice", hexAttribute(QStringLiteral("bcdDevice")));
    putNumber("bMaxPacketSize0", decimalAttribute(QStringLiteral("bMaxPacketSize0")));
    putNumber("bNumConfigurations", decimalAttribute(QStringLiteral("bNumConfigurations")));
    putNumber("USB Address", decimalAttribute(QStringLiteral("devnum")));
    putNumber("Device Speed", speedCode(attributes.value(QStringLiteral("speed"))));
    return p;
}

UsbRegistryEntry UsbRegistryEntry::fromUdevDevice(udev_device* device) {
    UsbRegistryEntry entry;
    if (!device)
        return entry;
    entry.syspath = fromUdev(udev_device_get_syspath(device));
    entry.sysname = fromUdev(udev_device_get_sysname(device));
    for (const char* attribute : kUsbRegistryAttributes)
        if (const char* value = udev_device_get_sysattr_value(device, attribute))
            entry.attributes.insert(QLatin1String(attribute), QString::fromUtf8(value));
    for (udev_list_entry* e = udev_device_get_properties_list_entry(device); e;
         e = udev_list_entry_get_next(e))
        entry.properties.insert(fromUdev(udev_list_entry_get_name(e)),
                                fromUdev(udev_list_entry_get_value(e)));
    return entry;
}

} // namespace zarv
