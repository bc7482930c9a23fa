#include "ZARV_camera.h"

#include "modules/Architecture.h"
#include "modules/LookupTable.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>

#include <libudev.h>

#include <vector>

namespace zarv {

/// The stand-in for an IOKit notification port: one udev netlink monitor for USB devices, read
/// on the notification queue's thread. Lives and dies on that thread.
class UsbNotificationPort {
public:
    UsbNotificationPort() = default;
    ~UsbNotificationPort() {
        delete notifier;
        if (monitor)
            udev_monitor_unref(monitor);
        if (context)
            udev_unref(context);
    }
    UsbNotificationPort(const UsbNotificationPort&) = delete;
    UsbNotificationPort& operator=(const UsbNotificationPort&) = delete;

    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    QSocketNotifier* notifier = nullptr;
    // Registrations are armed on the dispatch port only; what another port reads is dropped,
    // as a Mac port without registrations delivers nothing.
    bool feedsRegistrations = false;
};

namespace {

// IOKit's "not found" status, reported when an attribute is missing.
constexpr int kIOReturnNotFound = int(0xE00002F0);

struct Registration {
    QString owner;
    std::optional<int> vendorID;              // none: devices of class 255
    QHash<QString, UsbRegistryEntry> arrived; // by syspath
};

// Everything below is touched only on the notification queue.
struct WatchState {
    std::unique_ptr<UsbNotificationPort> port;
    bool portFailed = false;
    // Shared, so that an observer that starts or resets watching while being told of a device
    // never pulls a registration from under the code telling it.
    std::vector<std::shared_ptr<Registration>> registrations;
};

WatchState& state() {
    static auto* s = new WatchState; // lives as long as the queue that uses it
    return *s;
}

bool isUsbDevice(udev_device* device) {
    const char* subsystem = udev_device_get_subsystem(device);
    const char* devtype = udev_device_get_devtype(device);
    return subsystem && devtype && qstrcmp(subsystem, "usb") == 0 &&
           qstrcmp(devtype, "usb_device") == 0;
}

bool matches(const Registration& r, const UsbRegistryEntry& entry) {
    if (r.vendorID)
        return entry.hexAttribute(QStringLiteral("idVendor")) == r.vendorID;
    return entry.hexAttribute(QStringLiteral("bDeviceClass")) == 255;
}

void handleArrival(Registration& r, const UsbRegistryEntry& entry) {
    if (entry.syspath.isEmpty() || !matches(r, entry))
        return;
    const auto it = r.arrived.constFind(entry.syspath);
    // The same device seen twice (listed at start and announced while listing) is reported
    // once; a new device number at the same path is a new plug.
    if (it != r.arrived.cend() && it->attributes.value(QStringLiteral("devnum")) ==
                                      entry.attributes.value(QStringLiteral("devnum")))
        return;
    // Only a device that could be described is watched for its removal.
    if (ZARV_camera::addedDeviceObject(entry, r.owner))
        r.arrived.insert(entry.syspath, entry);
    else
        r.arrived.remove(entry.syspath);
}

void handleRemoval(Registration& r, const QString& syspath) {
    const auto it = r.arrived.find(syspath);
    if (it == r.arrived.end())
        return;
    const UsbRegistryEntry recorded = *it;
    r.arrived.erase(it);
    ZARV_camera::removedDeviceObject(recorded, r.owner);
}

void handleEvent(const UsbRegistryEntry& entry, const QString& action) {
    const auto registrations = state().registrations;
    if (action == QLatin1String("add")) {
        for (const auto& r : registrations)
            handleArrival(*r, entry);
    } else if (action == QLatin1String("remove")) {
        bool known = false;
        for (const auto& r : registrations) {
            known = known || r->arrived.contains(entry.syspath);
            handleRemoval(*r, entry.syspath);
        }
        if (!known)
            qCDebug(zarvUsb).noquote()
                << QStringLiteral("USB device %1 left without having been seen "
                                  "arriving; nothing to report")
                       .arg(entry.syspath);
    }
}

// Called on the queue's thread whenever the monitor has something to read.
void readMonitor(UsbNotificationPort* port) {
    udev_device* device = udev_monitor_receive_device(port->monitor);
    if (!device)
        return;
    const QString action = QString::fromUtf8(udev_device_get_action(device));
    const bool usb = isUsbDevice(device);
    const UsbRegistryEntry entry =
        usb ? UsbRegistryEntry::fromUdevDevice(device) : UsbRegistryEntry();
    udev_device_unref(device);
    if (!usb || !port->feedsRegistrations)
        return;
    // Handled as a block of the queue, so that observers find themselves on it.
    ZARV_camera::notificationQueue()->async([entry, action] { handleEvent(entry, action); });
}

std::unique_ptr<UsbNotificationPort> openPort(bool feedsRegistrations) {
    auto port = std::make_unique<UsbNotificationPort>();
    port->feedsRegistrations = feedsRegistrations;
    port->context = udev_new();
    if (!port->context)
        return nullptr;
    port->monitor = udev_monitor_new_from_netlink(port->context, "udev");
    if (!port->monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(port->monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(port->monitor) < 0)
        return nullptr;
    const int fd = udev_monitor_get_fd(port->monitor);
    if (fd < 0)
        return nullptr;
    port->notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    UsbNotificationPort* raw = port.get();
    QObject::connect(port->notifier, &QSocketNotifier::activated, port->notifier,
                     [raw] { readMonitor(raw); });
    return port;
}

// The devices attached now, each handed to the registration as an arrival.
void drainPresentDevices(UsbNotificationPort* port, Registration& r) {
    udev_enumerate* enumerate = udev_enumerate_new(port->context);
    if (!enumerate)
        return;
    udev_enumerate_add_match_subsystem(enumerate, "usb");
    udev_enumerate_scan_devices(enumerate);
    for (udev_list_entry* e = udev_enumerate_get_list_entry(enumerate); e;
         e = udev_list_entry_get_next(e)) {
        udev_device* device =
            udev_device_new_from_syspath(port->context, udev_list_entry_get_name(e));
        if (!device)
            continue;
        if (isUsbDevice(device))
            handleArrival(r, UsbRegistryEntry::fromUdevDevice(device));
        udev_device_unref(device);
    }
    udev_enumerate_unref(enumerate);
}

QString formatLocationID(const UsbRegistryEntry& entry) {
    return QStringLiteral("0x%1").arg(qulonglong(entry.locationID().value_or(0)), 4, 16,
                                      QLatin1Char('0'));
}

// Diagnostic files go only where the folder already exists.
void writeDiagnosticFile(const QString& name, const QVariantMap& contents) {
    const QString folder = temporaryFolderForApplication(IfMissing::GiveNothing);
    if (folder.isEmpty())
        return;
    QString error;
    if (!PropertyList::writeFile(folder + u'/' + name, contents, PropertyList::Format::Xml, &error))
        qCDebug(zarvUsb).noquote() << error;
}

} // namespace

std::shared_ptr<DispatchQueue> ZARV_camera::notificationQueue() {
    // Never destroyed: registrations last the life of the process.
    static auto* queue =
        new std::shared_ptr<DispatchQueue>(DispatchQueue::createSerial(kUsbNotificationQueueLabel));
    return *queue;
}

UsbNotificationPort* ZARV_camera::sharedNotificationPort() {
    return sharedNotificationPortDispatch();
}

UsbNotificationPort* ZARV_camera::sharedNotificationPortRunLoop() {
    static QMutex mutex;
    static UsbNotificationPort* port = nullptr; // kept for the life of the process
    QMutexLocker lock(&mutex);
    if (port)
        return port;
    if (!QThread::currentThread()->eventDispatcher()) {
        qCWarning(zarvUsb, "failed to add a runloop source for device notifications\n");
        return nullptr;
    }
    port = openPort(false).release();
    if (!port)
        qCWarning(zarvUsb, "failed to get a mach master port");
    return port;
}

UsbNotificationPort* ZARV_camera::sharedNotificationPortDispatch() {
    UsbNotificationPort* result = nullptr;
    notificationQueue()->sync([&] {
        WatchState& s = state();
        if (!s.port && !s.portFailed) {
            s.port = openPort(true);
            if (!s.port) {
                s.portFailed = true;
                qCWarning(zarvUsb, "failed to get a mach master port");
            }
        }
        result = s.port.get();
    });
    return result;
}

void ZARV_camera::getNikonDevices() {
    watchDevices(className(), USBVendorID());
}

void ZARV_camera::watchDevices(const QString& owner, std::optional<int> vendorID) {
    UsbNotificationPort* port = sharedNotificationPort();
    if (!port)
        return;
    if (!vendorID)
        qCWarning(zarvUsb,
                  "WARNING: subclass must override -[ USBVendorID] to return an appropriate value");
    notificationQueue()->sync([&] {
        auto& registrations = state().registrations;
        for (const auto& r : registrations)
            if (r->owner == owner) {
                qCWarning(zarvUsb).noquote()
                    << QStringLiteral("%1 already watches USB devices").arg(owner);
                return;
            }
        const auto registration = std::make_shared<Registration>(Registration{owner, vendorID, {}});
        registrations.push_back(registration);
        drainPresentDevices(port, *registration);
    });
}

std::optional<QVariantMap> ZARV_camera::getUsbDeviceProperties(const UsbRegistryEntry& entry) {
    const QVariantMap properties = entry.registryProperties();
    if (properties.isEmpty()) {
        qCInfo(zarvUsb, "(null)");
        return std::nullopt;
    }
    writeDiagnosticFile(
        diagnosticFileName(
            QStringLiteral("USBInfoFor_"),
            properties.value(QStringLiteral("USB Product Name"), QStringLiteral("(null)"))
                .toString(),
            formatLocationID(entry)),
        properties);
    qCInfo(zarvUsb).noquote() << Log::describe(properties);
    return properties;
}

std::optional<QVariantMap> ZARV_camera::getIOKitObjectInfo(const UsbRegistryEntry& entry) {
    const QString name = entry.name();
    const QString location = entry.location();
    if (!location.isEmpty())
        qCInfo(zarvUsb).noquote()
            << QStringLiteral("Found IORegistryEntryGetLocationInPlane %1").arg(location);
    if (entry.syspath.isEmpty()) {
        qCWarning(zarvUsb, "ERROR: IOCreatePlugInInterfaceForService() returned [%d]\n",
                  kIOReturnNotFound);
        return std::nullopt;
    }

    const struct {
        const char* attribute;
        const char* failure;
    } reads[] = {
        {"bDeviceClass", "GetInterfaceClass() returned [%d]\n"},
        {"bDeviceSubClass", "GetInterfaceSubClass() returned [%d]\n"},
        {"idVendor", "GetDeviceVendor() returned [%d]\n"},
        {"idProduct", "GetDeviceProduct() returned [%d]\n"},
    };
    int values[4] = {};
    for (int i = 0; i < 4; ++i) {
        const auto value = entry.hexAttribute(QLatin1String(reads[i].attribute));
        if (!value) {
            qCWarning(zarvUsb, reads[i].failure, kIOReturnNotFound);
            return std::nullopt;
        }
        values[i] = *value;
    }

    QVariantMap info;
    info.insert(QStringLiteral("deviceName"), name);
    info.insert(QStringLiteral("location"), location);
    info.insert(QStringLiteral("deviceClass"), qlonglong(values[0] & 0xFF));
    info.insert(QStringLiteral("deviceSubClass"), qlonglong(values[1] & 0xFF));
    info.insert(QStringLiteral("vendorID"), qlonglong(values[2] & 0xFFFF));
    info.insert(QStringLiteral("productID"), qlonglong(values[3] & 0xFFFF));
    if (const auto properties = getUsbDeviceProperties(entry))
        info.insert(QStringLiteral("usbproperties"), *properties);
    return info;
}

bool ZARV_camera::matchedOurProductList(const QVariantMap& info) {
    const QVariant vendor = info.value(QStringLiteral("vendorID"));
    bool ok = false;
    return vendor.typeId() != QMetaType::QString && vendor.toLongLong(&ok) == kNikonUSBVendorID &&
           ok;
}

bool ZARV_camera::addedDeviceObject(const UsbRegistryEntry& entry, const QString& owner) {
    const auto info = getIOKitObjectInfo(entry);
    qCInfo(zarvUsb).noquote() << QStringLiteral("addedDeviceObject info returned %1")
                                     .arg(info ? Log::describe(*info) : QStringLiteral("(null)"));
    if (!info)
        return false;
    if (!matchedOurProductList(*info))
        return true;
    qCInfo(zarvUsb).noquote() << QStringLiteral("\n\n%1->%2... MATCHED OUR Prodcut List = %3\n\n")
                                     .arg(owner, QStringLiteral("addedDeviceObject:"),
                                          Log::describe(*info));
    NotificationCenter::defaultCenter().post(kZarvNikonCameraNotification, QVariant(), *info);
    return true;
}

void ZARV_camera::removedDeviceObject(const UsbRegistryEntry& entry, const QString& owner) {
    Q_UNUSED(owner);
    const QString name = entry.name();
    const QString location = entry.location();
    qCInfo(zarvUsb).noquote() << QStringLiteral("Found RemovedObject %1").arg(name);
    if (!location.isEmpty())
        qCInfo(zarvUsb).noquote()
            << QStringLiteral("Found IORegistryEntryGetLocationInPlane %1").arg(location);
    QVariantMap removed = entry.registryProperties();
    if (removed.isEmpty())
        return;
    writeDiagnosticFile(diagnosticFileName(QStringLiteral("RemovedUSBInfoFor_"), name, location),
                        removed);
    if (const auto properties = getUsbDeviceProperties(entry))
        removed.insert(QStringLiteral("usbproperties"), *properties);
    NotificationCenter::defaultCenter().post(kZarvNikonCameraRemovedNotification, QVariant(),
                                             removed);
}

QString ZARV_camera::diagnosticFileName(const QString& prefix, const QString& first,
                                        const QString& second) {
    // Each part keeps at most 100 bytes, so the whole name stays below the 255-byte limit.
    auto clean = [](const QString& part) {
        QString out;
        for (QChar c : part)
            out += (c == u'/' || c.category() == QChar::Other_Control) ? QChar(u'_') : c;
        while (out.toUtf8().size() > 100)
            out.chop(1);
        if (!out.isEmpty() && out.back().isHighSurrogate())
            out.chop(1);
        return out;
    };
    return prefix + clean(first) + u'_' + clean(second) + QStringLiteral(".plist");
}

bool ZARV_camera::isThis32bitMode() {
    return zarv::isThis32bitMode();
}

bool ZARV_camera::isThisAppAllowedToRunIn32BitMode() {
    return zarv::isThisAppAllowedToRunIn32BitMode();
}

void ZARV_camera::resetForTesting() {
    notificationQueue()->sync([] {
        WatchState& s = state();
        s.registrations.clear();
        s.port.reset();
        s.portFailed = false;
    });
}

QList<int> ZARV_cameraNikon::USBProductIDs() {
    const auto table = getNikonLookupTable();
    return table ? productIDsOfLookupTable(*table) : QList<int>();
}

void ZARV_cameraNikon::getNikonDevices() {
    watchDevices(className(), USBVendorID());
}

void ZARV_usbDeviceApple::getNikonDevices() {
    watchDevices(className(), USBVendorID());
}

} // namespace zarv
