#pragma once

// The program under test as a separate process, driven like a user and a sibling program would.
// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "TestSupport.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/PropertyList.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>

namespace zarv::test {

inline const QString kProgram = QStringLiteral(ZARV_APP_DIR "/Contents/MacOS/ZarvNikonCapture");
inline const QString kZarvctl = QStringLiteral(ZARV_BIN_DIR "/zarvctl");
inline const QString kService = QStringLiteral("com.quellbay.ZarvNikonCapture");
inline const QString kSenderApp = QStringLiteral("ZarvNikonCapture.app");
inline const char* const kCameraPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
// Generous: a loaded two-core machine running sanitized builds.
inline constexpr int kLong = 60000;

// The program under test, its output kept in a file (the relauncher's successor inherits it).
class Program {
public:
    Program(const QString& dir, const QString& name) : m_log(dir + u'/' + name + ".log") {}
    ~Program() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    enum class Face { Headless, Window };
    void start(const QStringList& args, const QProcessEnvironment& env, Face face = Face::Headless,
               const QString& program = kProgram) {
        m_process.setProcessEnvironment(env);
        m_process.setStandardOutputFile(m_log);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, (face == Face::Headless ? QStringList{QStringLiteral("--headless")}
                                                         : QStringList{}) +
                                     args);
        ASSERT_TRUE(m_process.waitForStarted(kLong)) << m_process.errorString().toStdString();
    }

    QString log() const {
        QFile f(m_log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    bool logContains(const QString& text, qsizetype from = 0) const {
        return log().indexOf(text, from) >= 0;
    }
    // Waits for a line of the log; with `from`, only after that offset.
    bool waitForLog(const QString& text, qsizetype from = 0, int timeoutMs = kLong) const {
        return waitUntil([&] { return logContains(text, from); }, timeoutMs);
    }
    qsizetype logSize() const { return log().size(); }

    qint64 pid() const { return m_process.processId(); }
    bool waitForExit(int timeoutMs = kLong) {
        return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    }
    // Stops the program as a service manager would; its exit status (0 when clean).
    int stop() {
        if (m_process.state() != QProcess::NotRunning)
            ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!waitForExit())
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }
    int exitCode() const { return m_process.exitCode(); }

private:
    QString m_log;
    QProcess m_process;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "umockdev"))
            GTEST_SKIP() << "needs umockdev's preload library: run under umockdev-wrapper";
        if (!QDBusConnection::sessionBus().isConnected())
            GTEST_SKIP() << "needs a session bus";
        ASSERT_TRUE(dir.isValid());
        hot = dir.path() + QStringLiteral("/Hot Folder 'one'");
        config = dir.path() + QStringLiteral("/camera.conf");
        testbed = umockdev_testbed_new();
        token = DistributedNotificationCenter::defaultCenter().addObserver(
            {}, [this](const Notification& n) { received.push_back(n); });
        // Match rules are in force once the bus answers.
        QDBusConnection::sessionBus().interface()->serviceOwner(
            QStringLiteral("org.freedesktop.DBus"));
    }

    void TearDown() override {
        if (!testbed)
            return;
        DistributedNotificationCenter::defaultCenter().removeObserver(token);
        g_object_unref(testbed);
    }

    void plugCamera() {
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_file(
            testbed, ZARV_TEST_DATA "/zarv-virtual-camera.umockdev", &error))
            << (error ? error->message : "");
    }
    void uevent(const char* action) { umockdev_testbed_uevent(testbed, kCameraPath, action); }

    void writeConfig(const QString& text) {
        QFile f(config);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.toUtf8());
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), dir.path() + QStringLiteral("/state"));
        env.insert(QStringLiteral("ZARV_VIRTUAL_CAMERA_CONFIG"), config);
        return env;
    }
    QStringList arguments(const QStringList& more = {}) const {
        return QStringList{QStringLiteral("-prefSaveFolderPath"), hot} + more;
    }
    // Stores settings in the program's settings file, beside those it holds: what a relaunched
    // program is to find, since a relaunch passes no -KEY VALUE on.
    void storeSettings(const QVariantMap& settings) const {
        const QString file =
            dir.path() + QStringLiteral("/config/com.quellbay.ZarvNikonCapture.plist");
        ASSERT_TRUE(QDir().mkpath(QFileInfo(file).path()));
        QVariantMap stored = PropertyList::readFile(file).toMap();
        stored.insert(settings);
        ASSERT_TRUE(PropertyList::writeFile(file, stored));
    }

    int zarvctl(const QString& command) {
        QProcess p;
        p.start(kZarvctl, {command});
        if (!p.waitForFinished(kLong))
            return -1;
        return p.exitCode();
    }

    // Every notification seen, in order, of one name.
    std::vector<QVariantMap> named(const QString& name) const {
        std::vector<QVariantMap> out;
        for (const Notification& n : received)
            if (n.name == name)
                out.push_back(n.userInfo);
        return out;
    }
    // Status messages from the program (its zarvXNotification with "cameraStatus").
    std::vector<QVariantMap> statusMessages() const {
        std::vector<QVariantMap> out;
        for (const QVariantMap& m : named(QStringLiteral("zarvXNotification")))
            if (m.contains(QStringLiteral("cameraStatus")) &&
                m.value(QStringLiteral("senderApp")).toString() == kSenderApp)
                out.push_back(m);
        return out;
    }
    bool waitForStatus(int status, size_t after = 0) {
        return waitUntil(
            [&] {
                const auto all = statusMessages();
                for (size_t i = after; i < all.size(); ++i)
                    if (all[i].value(QStringLiteral("cameraStatus")).toInt() == status)
                        return true;
                return false;
            },
            kLong);
    }
    // Picture paths the program announced (siblings' announcements aside), with how often.
    std::map<QString, int> announced() const {
        std::map<QString, int> paths;
        for (const QVariantMap& m : named(QStringLiteral("zarvXNotification")))
            if (m.contains(QStringLiteral("filePath")) &&
                m.value(QStringLiteral("senderApp")).toString() == kSenderApp)
                ++paths[m.value(QStringLiteral("filePath")).toString()];
        return paths;
    }
    bool waitForPictures(size_t count) {
        return waitUntil([&] { return announced().size() >= count; }, kLong);
    }

    // Every file of the hot folder is a finished picture: a name of the camera's form and a
    // whole JPEG stream.
    void expectOnlyCompletePictures() const {
        static const QRegularExpression name(QStringLiteral("^Image_\\d{17}\\.jpg$"));
        for (const QFileInfo& f : QDir(hot).entryInfoList(QDir::Files | QDir::Hidden)) {
            EXPECT_TRUE(name.match(f.fileName()).hasMatch()) << f.fileName().toStdString();
            QFile file(f.filePath());
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            EXPECT_TRUE(bytes.startsWith("\xFF\xD8") && bytes.contains("\xFF\xD9"))
                << f.fileName().toStdString() << " is not a whole JPEG picture";
        }
    }

    QTemporaryDir dir;
    QString hot;
    QString config;
    UMockdevTestbed* testbed = nullptr;
    DistributedNotificationCenter::Token token = 0;
    std::vector<Notification> received;
};

} // namespace zarv::test
