#pragma once

// Shared by the session's tests: a throw-away application whose factory list points at a module
// folder of the test's own (holding the virtual camera and the crafted modules), private
// settings, and a record of the log.

#include "../TestSupport.h"
#include "../modules/ModulesTestSupport.h"

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "session/ZarvNikonBaseCameraHandler.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace zarv::test {

inline const QString kVirtualCameraName = QStringLiteral("Zarv Virtual Camera");
inline const QString kVirtualCameraModule = QStringLiteral("ZarvVirtualCamera Module.bundle");
inline const QString kVirtualCameraBundle =
    QStringLiteral(ZARV_MODULE_DIR "/") + kVirtualCameraModule;
inline const QString kVirtualCamera32Bundle =
    QStringLiteral(ZARV_MODULE_DIR "/ZarvVirtualCamera32 Module.bundle");

/// The device dictionary USB watching gives for a camera.
inline QVariantMap deviceInfo(const QString& name, qlonglong location = 0x14200000) {
    return {{QStringLiteral("deviceName"), name},
            {QStringLiteral("vendorID"), 1200},
            {QStringLiteral("productID"), 31233},
            {QStringLiteral("usbproperties"),
             QVariantMap{{QStringLiteral("USB Product Name"), name},
                         {QStringLiteral("USB Serial Number"), QStringLiteral("ZVC000042")},
                         {QStringLiteral("USB Vendor Name"), QStringLiteral("Quellbay")},
                         {QStringLiteral("locationID"), location},
                         {QStringLiteral("idVendor"), 1200}}}};
}

class SessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static QTemporaryDir* settings = [] {
            auto* d = new QTemporaryDir;
            qputenv("XDG_CONFIG_HOME", d->path().toUtf8());
            UserDefaults::setStandardIdentifier(
                QStringLiteral("com.quellbay.ZarvNikonCapture.sessiontest"));
            Log::install(QStringLiteral("test_session"));
            return d;
        }();
        (void)settings;
        // The virtual camera stays loaded for the whole run, so that the sessions' unloads only
        // drop their own reference (its state would otherwise be lost with the code).
        static Bundle* keep = [] {
            auto* b = new Bundle(kVirtualCameraBundle);
            QString error;
            EXPECT_TRUE(b->load(&error)) << error.toStdString();
            return b;
        }();
        (void)keep;
    }

    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        modules = work.filePath(QStringLiteral("modules"));
        saveFolder = work.filePath(QStringLiteral("pictures"));
        QDir().mkpath(modules);
        ASSERT_TRUE(QFile::link(kVirtualCameraBundle, modulePath(kVirtualCameraModule)));
        for (int kind = 1; kind <= 6; ++kind)
            addCraftedBundle(kind);
        app = std::make_unique<FakeApplication>(QVariantMap{
            {QStringLiteral("LookupTable"),
             QVariantMap{
                 {kVirtualCameraName, lookupEntry(kVirtualCameraName, kVirtualCameraModule, 31233)},
                 {QStringLiteral("Missing Cam"),
                  lookupEntry(QStringLiteral("Missing Cam"),
                              QStringLiteral("Missing Module.bundle"), 1)},
                 {QStringLiteral("Old Cam"),
                  lookupEntry(QStringLiteral("Old Cam"),
                              QStringLiteral("ZarvVirtualCamera32 Module.bundle"), 2)},
                 {QStringLiteral("Broken Cam"),
                  lookupEntry(QStringLiteral("Broken Cam"), QStringLiteral("Broken Module.bundle"),
                              3)},
                 {QStringLiteral("Crafted1"),
                  lookupEntry(QStringLiteral("Crafted1"), crafted(1), 11)},
                 {QStringLiteral("Crafted2"),
                  lookupEntry(QStringLiteral("Crafted2"), crafted(2), 12)},
                 {QStringLiteral("Crafted3"),
                  lookupEntry(QStringLiteral("Crafted3"), crafted(3), 13)},
                 {QStringLiteral("Crafted4"),
                  lookupEntry(QStringLiteral("Crafted4"), crafted(4), 14)},
                 {QStringLiteral("Crafted5"),
                  lookupEntry(QStringLiteral("Crafted5"), crafted(5), 15)},
                 {QStringLiteral("Crafted6"),
                  lookupEntry(QStringLiteral("Crafted6"), crafted(6), 16)},
             }},
            {QStringLiteral("DefaultNikonModulesSearchPaths"), QStringList{modules}},
            {QStringLiteral("DefaultNikonModulesSearchPathsFor32bit"), QStringList{modules}}});
        UserDefaults& d = UserDefaults::standard();
        for (const char* key : {"prefNikonLookupTable", "prefNameOfCameraFound",
                                "prefCameraConnectionMessage", "prefLastNikonResponse"})
            d.removeObject(QString::fromLatin1(key));
        d.setObject(QStringLiteral("prefSaveFolderPath"), saveFolder);
        d.setObject(QStringLiteral("prefShowUserNotifications"), true);
        craftedLog = work.filePath(QStringLiteral("crafted.log"));
        qputenv("ZARV_CRAFTED_MODULE_LOG", craftedLog.toUtf8());
        setCameraConfig(QString());
        Log::setSink([this](QtMsgType, const QString& line) {
            QMutexLocker lock(&logMutex);
            logLines.append(line);
        });
    }

    void TearDown() override {
        Log::setSink({});
        session.reset();
        qunsetenv("ZARV_VIRTUAL_CAMERA_CONFIG");
        qunsetenv("ZARV_CRAFTED_MODULE_LOG");
        SetMaidAllocationLimit(-1);
        // Let queued status updates land before the next test's settings.
        QCoreApplication::processEvents();
    }

    static QString crafted(int kind) { return QStringLiteral("Crafted%1 Module.bundle").arg(kind); }
    QString modulePath(const QString& name) const { return modules + u'/' + name; }

    // A bundle around one crafted module executable.
    void addCraftedBundle(int kind) {
        const QString bundle = modulePath(crafted(kind));
        QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
        PropertyList::writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
                                QVariantMap{{QStringLiteral("CFBundleExecutable"),
                                             QStringLiteral("crafted%1").arg(kind)}});
        ASSERT_TRUE(QFile::copy(QStringLiteral(ZARV_CRAFTED_DIR "/crafted%1").arg(kind),
                                bundle + QStringLiteral("/Contents/MacOS/crafted%1").arg(kind)));
    }

    void setCameraConfig(const QString& text) {
        const QString path = work.filePath(QStringLiteral("camera.conf"));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.toUtf8());
        f.close();
        qputenv("ZARV_VIRTUAL_CAMERA_CONFIG", path.toUtf8());
    }

    ZarvNikonBaseCameraHandler& newSession(const QString& name = kVirtualCameraName) {
        session.reset();
        session = std::make_unique<ZarvNikonBaseCameraHandler>();
        session->setFUsbDeviceInfo(deviceInfo(name));
        return *session;
    }

    QStringList log() {
        QMutexLocker lock(&logMutex);
        return logLines;
    }
    int logCount(const QString& text) {
        int n = 0;
        for (const QString& line : log())
            n += line.contains(text);
        return n;
    }
    QStringList craftedEvents() const {
        QFile f(craftedLog);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }

    static QVariant setting(const char* key) {
        return UserDefaults::standard().objectForKey(QString::fromLatin1(key));
    }
    /// Waits for a setting that the session sets from the main queue.
    static bool waitForSetting(const char* key, const QVariant& value, int timeoutMs = 3000) {
        return waitUntil([&] { return setting(key) == value; }, timeoutMs);
    }

    QTemporaryDir work;
    QString modules;
    QString saveFolder;
    QString craftedLog;
    std::unique_ptr<FakeApplication> app;
    std::unique_ptr<ZarvNikonBaseCameraHandler> session;
    QMutex logMutex;
    QStringList logLines;
};

} // namespace zarv::test
