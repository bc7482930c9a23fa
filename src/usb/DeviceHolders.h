#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

namespace zarv {

/// A process that has a device node open.
struct DeviceHolder {
    qint64 pid = 0;
    QString name;        // the short name (comm), "gvfsd-gphoto2"
    QString commandLine; // its arguments joined by spaces; empty for a kernel thread
    /// True for the desktop's camera automounter, which a GIO unmount releases.
    bool isAutomounter() const;
};

struct DeviceHolders {
    QList<DeviceHolder> holders;
    /// Processes whose open files could not be read (another user's, without privilege): one of
    /// them may hold the device.
    int uninspected = 0;
};

/// The device node of a USB device from its bus and device numbers: "/dev/bus/usb/001/005".
QString usbDeviceNode(int bus, int device);

/// Processes with `deviceNode` open, found through the open-file links of a /proc-like tree
/// (`procRoot`/PID/fd/N). Process folders that vanish while being read are passed over.
DeviceHolders findDeviceHolders(const QString& deviceNode,
                                const QString& procRoot = QStringLiteral("/proc"));

/// The text that says who holds the camera's device and what to do about it, for the status
/// line and the log.
QString deviceHeldText(const QString& deviceNode, const DeviceHolders& found);

/// The device node named by a device dictionary's USB properties (udev's DEVNAME, else the bus
/// and device numbers), or empty.
QString deviceNodeOf(const QVariantMap& usbProperties);

/// The desktop's gphoto2:// mount of the device in `gio mount -l -i` output: the mount of the
/// volume whose unix-device is the node, or one whose address names the node's bus and device
/// ("gphoto2://[usb:001,005]/"). Empty when there is none.
QString gphoto2MountFor(const QString& deviceNode, const QString& gioMountList);

/// Asks the desktop's automounter to let go of the device: finds its gphoto2:// mount through
/// `gio mount -l -i` and unmounts it with `gio mount -u`, each run limited to `timeoutMs`.
/// Blocks; run it off the main thread. Returns empty on success, else what failed.
QString releaseFromAutomounter(const QString& deviceNode,
                               const QString& gioProgram = QStringLiteral("gio"),
                               int timeoutMs = 10000);

} // namespace zarv
