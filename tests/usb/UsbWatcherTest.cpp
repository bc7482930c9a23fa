// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "../modules/ModulesTestSupport.h"
#include "TestSupport.h"
#include "platform/NotificationCenter.h"
#include "usb/ZARV_camera.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

using namespace zarv;
using zarv::test::FakeApplication;

namespace {

const QString kCameraPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-4";

// One device in umockdev's text form, below the first root hub. Attributes given as null are
// left out.
QString usbDevice(const QString& sysname, const char* vendor, const char* product,
                  const QString& name, int devnum) {
    QString d = QString("P: /devices/pci0000:00/0000:00:14.0/usb1/%1\n"
                        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\n"
                        "A: bDeviceClass=00\nA: bDeviceSubClass=00\nA: busnum=1\n"
                        "A: devnum=%2\n")
                    .arg(sysname)
                    .arg(devnum);
    if (vendor)
        d += QString("A: idVendor=%1\nE: ID_VENDOR_ID=%1\n").arg(vendor);
    if (product)
        d += QString("A: idProduct=%1\n").arg(product);
    if (!name.isNull())
        d += QString("A: product=%1\n").arg(name);
    return d;
}

class UsbWatcher : public ::testing::Test {
protected:
    struct Posted {
        QString name;
        QVariantMap userInfo;
        bool onWatcherQueue;
    };

    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "umockdev"))
            GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        testbed = umockdev_testbed_new();
        token = NotificationCenter::defaultCenter().addObserver({}, [this](const Notification& n) {
            if (n.name != kZarvNikonCameraNotification &&
                n.name != kZarvNikonCameraRemovedNotification)
                return;
            QMutexLocker lock(&mutex);
            posted.push_back({n.name, n.userInfo, ZARV_camera::notificationQueue()->isCurrent()});
        });
    }

    void TearDown() override {
        if (!testbed)
            return;
        NotificationCenter::defaultCenter().removeObserver(token);
        ZARV_camera::resetForTesting();
        g_object_unref(testbed);
    }

    void add(const QString& description) {
        GError* error = nullptr;
        const bool ok =
            umockdev_testbed_add_from_string(testbed, description.toUtf8().constData(), &error);
        ASSERT_TRUE(ok) << (error ? error->message : "");
    }
    void uevent(const QString& devpath, const char* action) {
        umockdev_testbed_uevent(testbed, ("/sys" + devpath).toUtf8().constData(), action);
    }
    qsizetype count() {
        QMutexLocker lock(&mutex);
        return qsizetype(posted.size());
    }
    Posted at(qsizetype i) {
        QMutexLocker lock(&mutex);
        return posted.at(size_t(i));
    }
    // Lets late or duplicate events arrive before a count is checked.
    void settle() {
        zarv::test::waitUntil([] { return false; }, 300);
    }

    UMockdevTestbed* testbed = nullptr;
    NotificationCenter::Token token = 0;
    QMutex mutex;
    std::vector<Posted> posted;
};

} // namespace

TEST_F(UsbWatcher, CameraPresentAtStartIsReportedOnceWithItsDictionary) {
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_file(
        testbed, zarv::test::dataPath("zarv-virtual-camera.umockdev").toUtf8().constData(),
        &error));

    ZARV_cameraNikon::getNikonDevices();
    ASSERT_EQ(count(), 1) << "reported before getNikonDevices returns";
    settle();
    ASSERT_EQ(count(), 1) << "the root hub of another vendor is not reported";

    const Posted p = at(0);
    EXPECT_EQ(p.name, kZarvNikonCameraNotification);
    EXPECT_TRUE(p.onWatcherQueue);
    const QVariantMap& info = p.userInfo;
    const auto typeOf = [&](const QVariantMap& m, const char* key) {
        return m.value(key).typeId();
    };
    EXPECT_EQ(info.value("deviceName"), QString("Zarv Virtual Camera"));
    EXPECT_EQ(info.value("location"), QString("1400000"));
    for (const char* key : {"deviceClass", "deviceSubClass", "vendorID", "productID"})
        EXPECT_EQ(typeOf(info, key), QMetaType::LongLong) << key;
    EXPECT_EQ(info.value("vendorID").toInt(), 1200);
    EXPECT_EQ(info.value("productID").toInt(), 0x7A01);
    EXPECT_EQ(info.value("deviceClass").toInt(), 0);

    const QVariantMap usb = info.value("usbproperties").toMap();
    EXPECT_EQ(usb.value("USB Product Name"), QString("Zarv Virtual Camera"));
    EXPECT_EQ(usb.value("USB Vendor Name"), QString("Quellbay"));
    EXPECT_EQ(usb.value("USB Serial Number"), QString("ZVC000042"));
    EXPECT_EQ(typeOf(usb, "locationID"), QMetaType::LongLong);
    EXPECT_EQ(usb.value("locationID").toLongLong(), 0x01400000);
    EXPECT_EQ(usb.value("idVendor").toInt(), 1200);
    EXPECT_EQ(usb.value("idProduct").toInt(), 0x7A01);
    EXPECT_EQ(usb.value("ID_SERIAL_SHORT"), QString("ZVC000042")) << "raw udev properties too";
}

TEST_F(UsbWatcher, ArrivalAndRemovalOnTheWatcherQueue) {
    ZARV_cameraNikon::getNikonDevices();
    EXPECT_EQ(count(), 0);

    const QString d800 = "/devices/pci0000:00/0000:00:14.0/usb1/1-2.3";
    add(usbDevice("1-2.3", "04b0", "0422", "D800", 7));
    uevent(d800, "add");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 1; }));
    settle();
    ASSERT_EQ(count(), 1);
    EXPECT_TRUE(at(0).onWatcherQueue);
    EXPECT_EQ(at(0).userInfo.value("deviceName"), QString("D800"));
    EXPECT_EQ(at(0).userInfo.value("location"), QString("1230000"));

    // The removal describes the device as it arrived, whatever sysfs says by then.
    umockdev_testbed_set_attribute(testbed, ("/sys" + d800).toUtf8().constData(), "product",
                                   "Changed");
    uevent(d800, "remove");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 2; }));
    const Posted removed = at(1);
    EXPECT_EQ(removed.name, kZarvNikonCameraRemovedNotification);
    EXPECT_TRUE(removed.onWatcherQueue);
    EXPECT_EQ(removed.userInfo.value("USB Product Name"), QString("D800"));
    EXPECT_EQ(removed.userInfo.value("locationID").toLongLong(), 0x01230000);
    EXPECT_EQ(removed.userInfo.value("idProduct").toInt(), 0x0422);
    const QVariantMap usb = removed.userInfo.value("usbproperties").toMap();
    EXPECT_EQ(usb.value("USB Product Name"), QString("D800"));
    EXPECT_EQ(usb.value("locationID").toLongLong(), 0x01230000);

    // Unknown removals post nothing: the same device again, another vendor's, one never added.
    uevent(d800, "remove");
    const QString mouse = "/devices/pci0000:00/0000:00:14.0/usb1/1-5";
    add(usbDevice("1-5", "046d", "c077", "Mouse", 9));
    uevent(mouse, "add");
    uevent(mouse, "remove");
    settle();
    EXPECT_EQ(count(), 2);

    // Plugged in again: a new arrival.
    uevent(d800, "add");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 3; }));
    EXPECT_EQ(at(2).name, kZarvNikonCameraNotification);
    EXPECT_EQ(at(2).userInfo.value("deviceName"), QString("Changed"));
}

TEST_F(UsbWatcher, MissingAttributesAndHostileNames) {
    FakeApplication app;
    QDir().mkpath(app.scratchFolder());
    ZARV_cameraNikon::getNikonDevices();

    // Without a product identifier the camera cannot be described: neither arrival nor removal.
    const QString bare = "/devices/pci0000:00/0000:00:14.0/usb1/1-6";
    add(usbDevice("1-6", "04b0", nullptr, "Nameless", 11));
    uevent(bare, "add");
    settle();
    uevent(bare, "remove");
    settle();
    EXPECT_EQ(count(), 0);

    // No product string: described under the registry's own name.
    const QString anonymous = "/devices/pci0000:00/0000:00:14.0/usb1/1-7";
    add(usbDevice("1-7", "04b0", "0430", QString(), 12));
    uevent(anonymous, "add");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 1; }));
    EXPECT_EQ(at(0).userInfo.value("deviceName"), QString("IOUSBDevice"));
    EXPECT_FALSE(at(0).userInfo.value("usbproperties").toMap().contains("USB Product Name"));

    const QString hostileName = "Evil/../\"Cam' $(touch x) `y`";
    const QString hostile = "/devices/pci0000:00/0000:00:14.0/usb1/1-3";
    add(usbDevice("1-3", "04b0", "0428", hostileName, 13));
    uevent(hostile, "add");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 2; }));
    EXPECT_EQ(at(1).userInfo.value("deviceName"), hostileName);
    uevent(hostile, "remove");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 3; }));

    const QString safe = "Evil_.._\"Cam' $(touch x) `y`";
    QDir scratch(app.scratchFolder());
    EXPECT_TRUE(scratch.entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    const QString arrived = "USBInfoFor_" + safe + "_0x1300000.plist";
    const QString left = "RemovedUSBInfoFor_" + safe + "_1300000.plist";
    EXPECT_TRUE(scratch.exists(arrived)) << scratch.entryList().join(", ").toStdString();
    EXPECT_TRUE(scratch.exists(left)) << scratch.entryList().join(", ").toStdString();
    EXPECT_EQ(PropertyList::readFile(scratch.filePath(left)).toMap().value("USB Product Name"),
              hostileName);
}

TEST_F(UsbWatcher, EachClassWatchesItsOwnDevicesOnce) {
    // Present at start: a vendor-specific (class 255) Nikon device and an ordinary one.
    add(usbDevice("1-1", "04b0", "0001", "Service Port", 3)
            .replace("bDeviceClass=00", "bDeviceClass=ff"));
    add(usbDevice("1-2", "04b0", "0422", "D800", 4));

    // Without a vendor of its own the base class watches class 255 devices.
    ZARV_camera::getNikonDevices();
    ASSERT_EQ(count(), 1);
    EXPECT_EQ(at(0).userInfo.value("deviceName"), QString("Service Port"));

    ZARV_cameraNikon::getNikonDevices();
    ZARV_cameraNikon::getNikonDevices(); // a second call adds no second registration
    ASSERT_EQ(count(), 3);
    QStringList names{at(1).userInfo.value("deviceName").toString(),
                      at(2).userInfo.value("deviceName").toString()};
    names.sort();
    EXPECT_EQ(names, (QStringList{"D800", "Service Port"}));

    ZARV_usbDeviceApple::getNikonDevices(); // Apple's vendor: nothing of this bus
    settle();
    EXPECT_EQ(count(), 3);
}

TEST_F(UsbWatcher, TheRunLoopPortNeedsAnEventLoopAndAddsNoReports) {
    UsbNotificationPort* fromPlainThread = nullptr;
    std::thread([&] { fromPlainThread = ZARV_camera::sharedNotificationPortRunLoop(); }).join();
    EXPECT_EQ(fromPlainThread, nullptr);

    ZARV_cameraNikon::getNikonDevices();
    ASSERT_NE(ZARV_camera::sharedNotificationPortRunLoop(), nullptr);
    // Both ports now read every event, read at different times; each device is still reported
    // once each way.
    const QString z6 = "/devices/pci0000:00/0000:00:14.0/usb1/1-9";
    add(usbDevice("1-9", "04b0", "0442", "Z 6", 5));
    uevent(z6, "add");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 1; }));
    uevent(z6, "remove");
    ASSERT_TRUE(zarv::test::waitUntil([&] { return count() >= 2; }));
    settle();
    ASSERT_EQ(count(), 2);
    EXPECT_EQ(at(0).name, kZarvNikonCameraNotification);
    EXPECT_EQ(at(1).name, kZarvNikonCameraRemovedNotification);
}

TEST(UsbDiagnostics, ProductListsOfTheClasses) {
    FakeApplication app(QVariantMap{
        {"LookupTable",
         QVariantMap{{"D800", zarv::test::lookupEntry("D800", "Type0010 Module.bundle", 0x0422)},
                     {"D810", zarv::test::lookupEntry("D810", "Type0010 Module.bundle", 0x0422)},
                     {"Zarv Virtual Camera",
                      zarv::test::lookupEntry("Zarv Virtual Camera",
                                              "ZarvVirtualCamera Module.bundle", 0x7A01)}}}});
    EXPECT_EQ(ZARV_cameraNikon::USBProductIDs(), (QList<int>{0x0422, 0x7A01}));
    EXPECT_EQ(ZARV_cameraNikon::USBVendorID(), 1200);
    EXPECT_EQ(ZARV_camera::USBVendorID(), std::nullopt);
    EXPECT_EQ(ZARV_usbDeviceApple::USBProductIDs(), (QList<int>{4776, 4778, 4779}));
    EXPECT_TRUE(ZARV_camera::matchedOurProductList({{"vendorID", 1200}}));
    EXPECT_FALSE(ZARV_camera::matchedOurProductList({{"vendorID", "1200"}}));
    EXPECT_FALSE(ZARV_camera::matchedOurProductList({{"vendorID", 1452}}));
    EXPECT_FALSE(ZARV_camera::matchedOurProductList({}));
}

TEST(UsbDiagnostics, FileNamesStayOneComponent) {
    EXPECT_EQ(ZARV_camera::diagnosticFileName("USBInfoFor_", "a/b\nc", "0x1"),
              "USBInfoFor_a_b_c_0x1.plist");
    const QString longName = ZARV_camera::diagnosticFileName("P_", QString(400, u'\u00e9'), "x");
    EXPECT_LE(longName.toUtf8().size(), 255);
    EXPECT_FALSE(longName.contains(u'/'));
}

TEST(UsbDiagnostics, LocationIdentifiersAsTheMacFormsThem) {
    UsbRegistryEntry e;
    e.sysname = "3-1.2.4";
    EXPECT_EQ(e.locationID(), 0x03124000u);
    EXPECT_EQ(e.location(), "3124000");
    e.sysname = "usb2";
    EXPECT_EQ(e.locationID(), 0x02000000u);
    e.sysname = "1-1.2.3.4.5.6.7";
    EXPECT_EQ(e.locationID(), 0x01123456u) << "six levels fit";
    e.sysname = "odd";
    EXPECT_EQ(e.locationID(), std::nullopt);
    e.attributes.insert("busnum", "4");
    EXPECT_EQ(e.locationID(), 0x04000000u);
    e.syspath = "/sys/devices/odd";
    e.attributes.insert("bDeviceClass", "ff");
    e.attributes.insert("bDeviceSubClass", "00");
    e.attributes.insert("idVendor", "04b0");
    EXPECT_EQ(ZARV_camera::getIOKitObjectInfo(e), std::nullopt) << "no product identifier";
    e.attributes.insert("idProduct", "zz");
    EXPECT_EQ(ZARV_camera::getIOKitObjectInfo(e), std::nullopt) << "a malformed one";
    e.attributes.insert("idProduct", "0001");
    ASSERT_TRUE(ZARV_camera::getIOKitObjectInfo(e));
    EXPECT_EQ(ZARV_camera::getIOKitObjectInfo(e)->value("deviceClass").toInt(), 255);
}
