// A Nikon body arriving on USB (umockdev, udev properties only) is named as the factory table
// names it, and the table sends it to the PTP module.

// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "../modules/ModulesTestSupport.h"
#include "TestSupport.h"
#include "modules/LookupTable.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "usb/ZARV_camera.h"

#include <QMutex>
#include <QMutexLocker>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace zarv;

namespace {

TEST(PtpArrival, ANikonBodyIsNamedAsTheTableNamesItAndGoesToThePtpModule) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev"))
        GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
    // The factory table the build ships.
    zarv::test::FakeApplication app(PropertyList::readFile(
        QStringLiteral(ZARV_APP_DIR "/Contents/Resources/FactoryDefaultNikonList.plist")));
    ASSERT_TRUE(ZARV_cameraNikon::USBProductIDs().contains(0x0441));

    UMockdevTestbed* testbed = umockdev_testbed_new();
    QMutex mutex;
    QVariantMap arrived;
    const auto token =
        NotificationCenter::defaultCenter().addObserver({}, [&](const Notification& n) {
            if (n.name != kZarvNikonCameraNotification)
                return;
            QMutexLocker lock(&mutex);
            arrived = n.userInfo;
        });
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_file(
        testbed, zarv::test::dataPath("nikon-d850.umockdev").toUtf8().constData(), &error));
    ZARV_cameraNikon::getNikonDevices();
    QVariantMap info;
    {
        QMutexLocker lock(&mutex);
        info = arrived;
    }
    NotificationCenter::defaultCenter().removeObserver(token);
    ZARV_camera::resetForTesting();
    g_object_unref(testbed);

    ASSERT_FALSE(info.isEmpty()) << "the body was not reported";
    const QString name = info.value(QStringLiteral("deviceName")).toString();
    EXPECT_EQ(name, QStringLiteral("NIKON DSC D850"));
    EXPECT_EQ(info.value(QStringLiteral("productID")).toInt(), 0x0441);
    const std::optional<QVariantMap> table = getNikonLookupTable();
    ASSERT_TRUE(table);
    EXPECT_EQ(table->value(name).toMap().value(QStringLiteral("modulename")).toString(),
              QStringLiteral("ZarvPTP Module.bundle"));
}

} // namespace
