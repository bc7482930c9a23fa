// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "TestSupport.h"
#include "platform/DistributedNotificationCenter.h"

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

using namespace zarv;
using zarv::test::waitUntil;

namespace {

const QString kProgram = QStringLiteral(ZARV_APP_DIR "/Contents/MacOS/ZarvNikonCapture");
const QString kZarvctl = QStringLiteral(ZARV_BIN_DIR "/zarvctl");
const QString kService = QStringLiteral("com.quellbay.ZarvNikonCapture");
const char* const kCameraPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
// Generous: a loaded two-core machine running sanitized builds.
constexpr int kLong = 60000;

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

    void start(const QStringList& args, const QProcessEnvironment& env) {
        m_process.setProcessEnvironment(env);
        m_process.setStandardOutputFile(m_log);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(kProgram, QStringList{QStringLiteral("--headless")} + args);
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
        env.insert(QStringLiteral("ZARV_VIRTUAL_CAMERA_CONFIG"), config);
        return env;
    }
    QStringList arguments(const QStringList& more = {}) const {
        return QStringList{QStringLiteral("-prefSaveFolderPath"), hot} + more;
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
    // Status messages from the program (zarvXNotification with "cameraStatus").
    std::vector<QVariantMap> statusMessages() const {
        std::vector<QVariantMap> out;
        for (const QVariantMap& m : named(QStringLiteral("zarvXNotification")))
            if (m.contains(QStringLiteral("cameraStatus")))
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
    // Announced picture paths, with how often each was announced.
    std::map<QString, int> announced() const {
        std::map<QString, int> paths;
        for (const QVariantMap& m : named(QStringLiteral("zarvXNotification")))
            if (m.contains(QStringLiteral("filePath")))
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

// A camera present at start is connected; its pictures land in the hot folder, each announced
// once; a sibling's grab gives one more; the hot folder's list goes to the viewer.
TEST_F(EndToEnd, ConnectsSavesAnnouncesAndAnswersSiblings) {
    writeConfig(QStringLiteral("pictures = 2\npiece_size = 8192\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());

    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    const QVariantMap status = statusMessages().back();
    EXPECT_EQ(status.value(QStringLiteral("cameraName")).toString(), "Zarv Virtual Camera");
    EXPECT_EQ(status.value(QStringLiteral("prefSaveFolderPath")).toString(), hot);
    EXPECT_TRUE(program.waitForLog(QStringLiteral("Status light: NSStatusAvailable")));

    ASSERT_TRUE(waitForPictures(2)) << program.log().toStdString();
    for (const auto& [path, times] : announced()) {
        EXPECT_EQ(times, 1) << path.toStdString();
        EXPECT_EQ(QFileInfo(path).absolutePath(), hot);
        EXPECT_TRUE(QFileInfo::exists(path));
    }

    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    ASSERT_TRUE(waitForPictures(3)) << program.log().toStdString();
    EXPECT_EQ(QDir(hot).entryList(QDir::Files).size(), 3);
    expectOnlyCompletePictures();

    ASSERT_EQ(zarvctl(QStringLiteral("images")), 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QVariantMap& m : named(QStringLiteral("ZarvLookoutNotification")))
                if (m.value(QStringLiteral("value")).toList().size() == 3)
                    return true;
            return false;
        },
        kLong));
    for (const QVariantMap& m : named(QStringLiteral("ZarvLookoutNotification"))) {
        if (m.value(QStringLiteral("value")).toList().size() != 3)
            continue;
        for (const QVariant& path : m.value(QStringLiteral("value")).toList())
            EXPECT_EQ(announced().count(path.toString()), 1u) << path.toString().toStdString();
    }

    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// Unplugging mid-transfer loses nothing: the camera keeps the picture, the hot folder gets no
// half-written file, and after replugging the picture is fetched. Replugging gives one device
// entry and a new session; unplugging stops the scan timer.
TEST_F(EndToEnd, UnplugMidTransferAndReplug) {
    writeConfig(QStringLiteral("pictures = 1\npiece_size = 512\nfault_remove_after_pieces = 2\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    // The camera drops off in the middle of the first transfer.
    ASSERT_TRUE(program.waitForLog(QStringLiteral("Acquiring New Image...")))
        << program.log().toStdString();
    writeConfig(QStringLiteral("pictures = 1\npiece_size = 4096\n"));

    ASSERT_TRUE(program.waitForLog(QStringLiteral("SaveImage -> VERY BAD")))
        << program.log().toStdString();
    const size_t before = statusMessages().size();
    uevent("remove");
    ASSERT_TRUE(program.waitForLog(QStringLiteral("Status: < Camera Disconnected >")))
        << program.log().toStdString();
    ASSERT_TRUE(waitForStatus(0, before));
    EXPECT_TRUE(announced().empty());
    expectOnlyCompletePictures();

    // No scan runs once the camera is gone.
    const qsizetype mark = program.logSize();
    waitUntil([] { return false; }, 2500);
    EXPECT_FALSE(program.logContains(QStringLiteral("self.fTimer ->"), mark));

    const size_t beforeReplug = statusMessages().size();
    uevent("add");
    ASSERT_TRUE(waitForStatus(1, beforeReplug)) << program.log().toStdString();
    EXPECT_TRUE(program.logContains(QStringLiteral("fArrayOfDevices holds 1 device(s)"), mark));
    ASSERT_TRUE(waitForPictures(1)) << program.log().toStdString();
    EXPECT_EQ(QDir(hot).entryList(QDir::Files).size(), 1);
    expectOnlyCompletePictures();
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// What the status says when the camera cannot be driven: a model the table does not know, and
// a module the table names but that is not installed.
TEST_F(EndToEnd, UnknownModelAndMissingModule) {
    writeConfig(QStringLiteral("pictures = 0\n"));
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(
        testbed,
        "P: /devices/pci0000:00/0000:00:14.0/usb1/1-5\nN: bus/usb/001/005\nE: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\nE: BUSNUM=001\nE: ID_VENDOR_ID=04b0\nA: bDeviceClass=00\n"
        "A: bDeviceSubClass=00\nA: busnum=1\nA: devnum=5\nA: idVendor=04b0\nA: idProduct=0999\n"
        "A: product=Nikon D999\nA: serial=D999X\n",
        &error))
        << (error ? error->message : "");
    {
        Program program(dir.path(), QStringLiteral("unknown"));
        program.start(arguments(), environment());
        ASSERT_TRUE(program.waitForLog(QStringLiteral("Status: < UNSUPPORTED MODEL: Nikon D999 >")))
            << program.log().toStdString();
        // Nobody is there to answer the search offer: it is declined.
        EXPECT_TRUE(program.waitForLog(QStringLiteral("Unknown Camera Found??")));
        EXPECT_TRUE(program.waitForLog(QStringLiteral("returncode = 1001")));
        EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
    }
    umockdev_testbed_remove_device(testbed, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-5");
    plugCamera();
    {
        const QString table =
            QStringLiteral("<dict><key>Zarv Virtual Camera</key><dict><key>modulename</key>"
                           "<string>Not Installed Module.bundle</string></dict></dict>");
        Program program(dir.path(), QStringLiteral("missing"));
        program.start(arguments({QStringLiteral("-prefNikonLookupTable"), table}), environment());
        ASSERT_TRUE(program.waitForLog(
            QStringLiteral("Status: < MISSING Required Module for: Zarv Virtual Camera >")))
            << program.log().toStdString();
        EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
    }
}

// A second copy asks the first forward and leaves with status 0; a relaunch comes back as a new
// process that owns the program's bus name.
TEST_F(EndToEnd, SecondCopyAndRelaunch) {
    writeConfig(QStringLiteral("pictures = 0\n"));
    plugCamera();
    Program first(dir.path(), QStringLiteral("first"));
    first.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << first.log().toStdString();

    Program second(dir.path(), QStringLiteral("second"));
    second.start(arguments(), environment());
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(
        second.logContains(QStringLiteral("Another Instance of this app is already running")));
    EXPECT_TRUE(first.waitForLog(QStringLiteral("asked to come forward")));

    auto owner = [] {
        const QDBusReply<uint> reply =
            QDBusConnection::sessionBus().interface()->servicePid(kService);
        return reply.isValid() ? qint64(reply.value()) : qint64(0);
    };
    ASSERT_EQ(owner(), first.pid());
    const QDateTime hangUp = QDateTime::currentDateTimeUtc();
    ::kill(pid_t(first.pid()), SIGHUP); // quit and start again
    ASSERT_TRUE(first.waitForExit());
    EXPECT_EQ(first.exitCode(), 0) << first.log().toStdString();
    ASSERT_TRUE(waitUntil([&] { return owner() != 0 && owner() != first.pid(); }, kLong))
        << first.log().toStdString();
    const qint64 successor = owner();
    // The new process starts over: it announces itself and connects the camera again.
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QVariantMap& m : statusMessages())
                if (m.value(QStringLiteral("appstartup")).toDateTime() >= hangUp &&
                    m.value(QStringLiteral("cameraStatus")).toInt() == 1)
                    return true;
            return false;
        },
        kLong))
        << first.log().toStdString();
    EXPECT_TRUE(first.logContains(QStringLiteral("has ended; starting")));

    ::kill(pid_t(successor), SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return owner() == 0; }, kLong));
    // It stops cleanly too: nothing after its last line.
    EXPECT_TRUE(waitUntil(
        [&] { return first.log().endsWith(QStringLiteral("ZarvNikonCapture ends\n")); }, kLong))
        << first.log().right(3000).toStdString();
}

} // namespace
