// The program under faults a user meets: a full disk, a kill in the middle of a transfer, a
// damaged settings file, a hostile USB device and a hostile sibling on the bus. Each case checks
// what the user would: the program stays up, no picture is lost, half-written or announced twice.
#include "EndToEndSupport.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDirIterator>
#include <QElapsedTimer>

#include <sys/mount.h>
#include <unistd.h>

#include <limits>
#include <random>

using namespace zarv;
using namespace zarv::test;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray randomBytes(qsizetype size, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random() & 0xFF);
    return bytes;
}

// A whole picture of the camera: its final name, at least `minimumSize` bytes, one JPEG stream.
bool isCompletePicture(const QString& path, qint64 minimumSize) {
    static const QRegularExpression name(QStringLiteral("^Image_\\d{17}\\.jpg$"));
    const QByteArray bytes = readAll(path);
    return name.match(QFileInfo(path).fileName()).hasMatch() && bytes.size() >= minimumSize &&
           bytes.startsWith("\xFF\xD8") && bytes.endsWith("\xFF\xD9");
}

// The files a process holds open under `folder`: a transfer in progress shows here even when its
// file has no name yet.
QStringList openFilesUnder(qint64 pid, const QString& folder) {
    QStringList out;
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd :
         QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t n =
            ::readlink((fds + u'/' + fd).toLocal8Bit().constData(), target, sizeof target);
        const QString path = QString::fromLocal8Bit(target, n > 0 ? n : 0);
        if (path.startsWith(folder + u'/'))
            out << path;
    }
    return out;
}

// A tmpfs of its own, unmounted when the case ends.
class SmallDisk {
public:
    // Empty when it is mounted; otherwise why not.
    QString mount(const QString& at, qint64 bytes) {
        if (geteuid() != 0)
            return QStringLiteral("mounting a tmpfs needs root");
        QDir().mkpath(at);
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
        if (::mount("tmpfs", at.toLocal8Bit().constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    options.constData()) != 0)
            return QStringLiteral("cannot mount a tmpfs: %1")
                .arg(QString::fromLocal8Bit(strerror(errno)));
        m_at = at;
        return {};
    }
    ~SmallDisk() {
        if (!m_at.isEmpty())
            ::umount2(m_at.toLocal8Bit().constData(), MNT_DETACH);
    }

private:
    QString m_at;
};

// The disk fills up in the middle of a picture: the failure is logged with the folder, nothing
// half-written is left under a picture's name, the camera keeps the picture, and once space is
// freed the next tick saves it.
TEST_F(EndToEnd, FullDiskKeepsThePictureOnTheCameraUntilThereIsRoom) {
    SmallDisk disk;
    const QString mountPoint = dir.path() + QStringLiteral("/disk");
    if (const QString why = disk.mount(mountPoint, 8 * kMiB); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    hot = mountPoint + QStringLiteral("/hot");
    ASSERT_TRUE(QDir().mkpath(hot));
    const QString filler = mountPoint + QStringLiteral("/filler");
    ASSERT_TRUE(writeFile(filler, QByteArray(5 * kMiB, 'x')));
    constexpr qint64 kPicture = 4 * kMiB;
    writeConfig(
        QStringLiteral("pictures = 1\npiece_size = 262144\npicture_size = %1\n").arg(kPicture));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();

    const QString failure = QStringLiteral("problem with fopen file at: %1").arg(hot);
    ASSERT_TRUE(program.waitForLog(failure)) << program.log().toStdString();
    // It tries again on the next ticks and stays up meanwhile.
    ASSERT_TRUE(waitUntil([&] { return program.log().count(failure) >= 2; }, kLong))
        << program.log().toStdString();
    EXPECT_TRUE(program.logContains(QString::fromLocal8Bit(strerror(ENOSPC))));
    EXPECT_TRUE(announced().empty());
    EXPECT_TRUE(QDir(hot).entryList(QDir::Files | QDir::Hidden).isEmpty())
        << QDir(hot).entryList(QDir::Files | QDir::Hidden).join(u' ').toStdString();

    ASSERT_TRUE(QFile::remove(filler));
    ASSERT_TRUE(waitForPictures(1)) << program.log().toStdString();
    const QStringList files = QDir(hot).entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(files.size(), 1) << files.join(u' ').toStdString();
    EXPECT_TRUE(isCompletePicture(hot + u'/' + files.front(), kPicture));
    EXPECT_EQ(announced().begin()->first, hot + u'/' + files.front());
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// SIGKILL while a 64 MiB picture is on its way: what is left is never taken for a picture, by a
// reader listing *.jpg or by the hot-folder list the next run hands to the viewer.
TEST_F(EndToEnd, KilledMidTransferLeavesNothingTakenForAPicture) {
    writeConfig(
        QStringLiteral("pictures = 1\npiece_size = 16384\npicture_size = %1\n").arg(64 * kMiB));
    plugCamera();
    {
        Program program(dir.path(), QStringLiteral("killed"));
        program.start(arguments(), environment());
        ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
        ASSERT_TRUE(waitUntil([&] { return !openFilesUnder(program.pid(), hot).isEmpty(); }, kLong))
            << "no transfer seen\n"
            << program.log().toStdString();
        ::kill(pid_t(program.pid()), SIGKILL);
        ASSERT_TRUE(program.waitForExit());
    }
    EXPECT_TRUE(announced().empty());
    for (const QString& name : QDir(hot).entryList({QStringLiteral("*.jpg")}, QDir::Files))
        EXPECT_TRUE(isCompletePicture(hot + u'/' + name, 64 * kMiB)) << name.toStdString();

    // Where a folder cannot hold unnamed files, a transfer is written under a hidden name: that
    // is what a kill leaves behind there.
    const QString hidden = hot + QStringLiteral("/.zarv-transfer-k1LLed");
    ASSERT_TRUE(writeFile(hidden, "\xFF\xD8\xFF\xFE" + QByteArray(kMiB, 'x')));

    writeConfig(QStringLiteral("pictures = 0\n"));
    Program program(dir.path(), QStringLiteral("next"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    auto lists = [&] { return named(QStringLiteral("ZarvLookoutNotification")); };
    const size_t before = lists().size();
    ASSERT_EQ(zarvctl(QStringLiteral("images")), 0);
    ASSERT_TRUE(waitUntil([&] { return lists().size() > before; }, kLong))
        << program.log().toStdString();
    for (const QVariant& path : lists().back().value(QStringLiteral("value")).toList())
        EXPECT_TRUE(path.toString().isEmpty() || isCompletePicture(path.toString(), 64 * kMiB))
            << path.toString().toStdString();
    // A fresh start clears what the killed run left.
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists(hidden); }, 5000));
    for (const QString& name : QDir(hot).entryList(QDir::Files | QDir::Hidden))
        EXPECT_TRUE(isCompletePicture(hot + u'/' + name, 64 * kMiB)) << name.toStdString();
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

// A settings file that cannot be read is kept aside byte for byte, and the program starts from
// its defaults and connects the camera.
class DamagedSettings : public EndToEnd, public ::testing::WithParamInterface<const char*> {
protected:
    static QByteArray contents(const QByteArray& kind) {
        if (kind == "RandomBytes")
            return randomBytes(4096, 7);
        if (kind == "BinaryHeaderThenNoise")
            return "bplist00" + randomBytes(600, 11);
        return readAll(dataPath(QStringLiteral("truncated.xml.plist")));
    }
};

TEST_P(DamagedSettings, AreKeptAsideAndTheCameraConnects) {
    const QByteArray original = contents(GetParam());
    ASSERT_FALSE(original.isEmpty());
    const QString settings =
        dir.path() + QStringLiteral("/config/com.quellbay.ZarvNikonCapture.plist");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(settings).path()));
    ASSERT_TRUE(writeFile(settings, original));
    writeConfig(QStringLiteral("pictures = 0\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    EXPECT_EQ(readAll(settings + QStringLiteral(".corrupt")), original);
    EXPECT_TRUE(program.logContains(QStringLiteral("Settings unreadable")));
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedSettings,
                         ::testing::Values("RandomBytes", "BinaryHeaderThenNoise", "TruncatedXml"),
                         [](const auto& test) { return std::string(test.param); });

// A device of the camera maker's vendor whose names are 4 000 bytes of path separators, quotes,
// command substitutions, format directives and invalid UTF-8: nothing runs, nothing is written
// outside the program's scratch folder, and the model is reported as unsupported.
TEST_F(EndToEnd, HostileUsbStringsAreOnlyText) {
    const QString marker = dir.path() + QStringLiteral("/ran");
    const QByteArray unit = "/../\"'`touch " + marker.toUtf8() + "`$(touch " + marker.toUtf8() +
                            ")%s%n%x\xFF\xFE\xC3\x28\xE2\x82;|&<>*?\\";
    QByteArray hostile;
    while (hostile.size() + unit.size() <= 4000)
        hostile += unit;
    hostile += QByteArray(4000 - hostile.size(), '/');
    ASSERT_EQ(hostile.size(), 4000);

    const char* const path = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-6";
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(
        testbed,
        "P: /devices/pci0000:00/0000:00:14.0/usb1/1-6\nN: bus/usb/001/006\nE: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\nE: BUSNUM=001\nE: ID_VENDOR_ID=04b0\nA: bDeviceClass=00\n"
        "A: bDeviceSubClass=00\nA: busnum=1\nA: devnum=6\nA: idVendor=04b0\nA: idProduct=0666\n",
        &error))
        << (error ? error->message : "");
    for (const char* attribute : {"product", "manufacturer", "serial"})
        umockdev_testbed_set_attribute_binary(testbed, path, attribute,
                                              reinterpret_cast<guint8*>(hostile.data()),
                                              gsize(hostile.size()));

    // The scratch folder exists, so each arriving device is written down there.
    const QString tmp = dir.path() + QStringLiteral("/tmp");
    const QString scratch = tmp + QStringLiteral("/com.quellbay.ZarvNikonCapture");
    ASSERT_TRUE(QDir().mkpath(scratch));
    QFile::setPermissions(scratch, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("TMPDIR"), tmp);
    writeConfig(QStringLiteral("pictures = 0\n"));

    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), env);
    ASSERT_TRUE(program.waitForLog(QStringLiteral("Status: < UNSUPPORTED MODEL: ")))
        << program.log().left(20000).toStdString();
    ASSERT_TRUE(program.waitForLog(QStringLiteral("returncode = 1001")));
    EXPECT_FALSE(QFileInfo::exists(marker));
    QStringList outside;
    for (QDirIterator it(tmp, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString entry = it.next();
        if (entry != scratch && !entry.startsWith(scratch + u'/'))
            outside << entry;
    }
    EXPECT_TRUE(outside.isEmpty()) << outside.join(u'\n').toStdString();
    // The device was written down, under a name of its own folder.
    EXPECT_FALSE(QDir(scratch).entryList({QStringLiteral("USBInfoFor_*")}, QDir::Files).isEmpty());
    EXPECT_EQ(program.stop(), 0) << program.log().left(20000).toStdString();
    EXPECT_FALSE(QFileInfo::exists(marker));
}

// --- Hostile bus ------------------------------------------------------------------------------

// A structure of a text and a real, which a date looks like.
QVariant pair(const QString& text, double value) {
    QDBusArgument arg;
    arg.beginStructure();
    arg << text << value;
    arg.endStructure();
    return QVariant::fromValue(arg);
}

// A dictionary whose keys are not texts.
QVariant integerKeyed() {
    QDBusArgument arg;
    arg.beginMap(QMetaType::fromType<int>(), QMetaType::fromType<QDBusVariant>());
    arg.beginMapEntry();
    arg << 1 << QDBusVariant(QStringLiteral("grabimage"));
    arg.endMapEntry();
    arg.endMap();
    return QVariant::fromValue(arg);
}

QVariant nested(int depth) {
    QVariant v = QStringLiteral("grabimage");
    for (int i = 0; i < depth; ++i)
        v = QVariantMap{{QStringLiteral("action"), v}};
    return v;
}

// Values of every type but text, and texts that are not what they claim.
QVariantList hostileValues() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    return {
        QVariant(42),
        QVariant(std::numeric_limits<qulonglong>::max()),
        QVariant(std::numeric_limits<qlonglong>::min()),
        QVariant(nan),
        QVariant(-inf),
        QVariant(true),
        QVariant(QByteArray("grabimage")),
        QVariant(QStringList{QStringLiteral("grabimage")}),
        QVariant(QVariantList{QStringLiteral("grabimage"), 1}),
        QVariant(QVariantMap{{QStringLiteral("action"), QStringLiteral("grabimage")}}),
        pair(QStringLiteral("date"), nan),
        pair(QStringLiteral("date"), 1e300),
        pair(QStringLiteral("date"), -1e300),
        pair(QStringLiteral("grabimage"), 1),
        QVariant(QString()),
    };
}

// Values that cost a receiver work: deep, long and wide ones.
QVariantList heavyValues() {
    return {nested(18), QVariant(QVariantList(500, QVariant(7))), QVariant(QString(5000, u'/'))};
}

// Not every action is one the program knows; these are the odd-case and look-alike ones.
const QStringList kActionTexts = {
    QStringLiteral("GrAbImAgE"),
    QStringLiteral("GRABIMAGE"),
    QStringLiteral("grabimage "),
    QStringLiteral(" grabimage"),
    QStringLiteral("grab image"),
    QStringLiteral("ＧＲＡＢＩＭＡＧＥ"),
    QStringLiteral("RequestCameraStatus"),
    QStringLiteral("GETLISTOFIMAGES "),
    QStringLiteral("updatemodulelist"),
    QStringLiteral("\u0130grabimage"),
    QStringLiteral(""),
};

const QStringList kKeys = {
    QStringLiteral("senderApp"),
    QStringLiteral("action"),
    QStringLiteral("filePath"),
    QStringLiteral("appstartup"),
    QStringLiteral("value"),
    QStringLiteral("cameraStatus"),
    QStringLiteral("cameraName"),
    QStringLiteral("cameraDeviceInfo"),
    QStringLiteral("prefSaveFolderPath"),
};

const QStringList kNames = {
    QStringLiteral("ZarvNikonAppNotification"), QStringLiteral("zarvXNotification"),
    QStringLiteral("zarvTillsideNotification"), QStringLiteral("ZarvLookoutNotification"),
    QStringLiteral("zarvnikonappnotification"),
};

QDBusMessage notification(const QVariantList& arguments) {
    QDBusMessage m =
        QDBusMessage::createSignal(QStringLiteral("/com/quellbay/DistributedNotificationCenter"),
                                   QStringLiteral("com.quellbay.DistributedNotificationCenter"),
                                   QStringLiteral("Notification"));
    m.setArguments(arguments);
    return m;
}

// A notification for the program alone: sent to its bus name, no other listener reads it.
QDBusMessage toTheProgram(const QVariantList& arguments) {
    QDBusMessage m = QDBusMessage::createTargetedSignal(
        QStringLiteral("com.quellbay.ZarvNikonCapture"),
        QStringLiteral("/com/quellbay/DistributedNotificationCenter"),
        QStringLiteral("com.quellbay.DistributedNotificationCenter"),
        QStringLiteral("Notification"));
    m.setArguments(arguments);
    return m;
}

bool isAction(const QVariant& v, const char* action) {
    return v.typeId() == QMetaType::QString &&
           v.toString().compare(QLatin1String(action), Qt::CaseInsensitive) == 0;
}

// The i-th message of the flood. Requests that would act carry a "senderApp" that is not a text.
constexpr int kFlood = 10000;

QDBusMessage hostileMessage(int i, std::mt19937& random, const QVariantList& values,
                            const QVariantList& heavy) {
    auto pick = [&](auto& list) { return list.at(qsizetype(random() % list.size())); };
    switch (i % 50) {
    case 0:
        return notification({QStringLiteral("ZarvNikonAppNotification")});
    case 1:
        return notification({7, QStringLiteral("x"), QVariantMap{}});
    case 2:
        return notification({QStringLiteral("ZarvNikonAppNotification"), QString(),
                             QVariantList{QStringLiteral("grabimage")}});
    case 3:
        return notification(
            {QStringLiteral("ZarvNikonAppNotification"), QString(), integerKeyed()});
    case 4:
        return notification({QString(), QString(), QVariantMap{}});
    default:
        break;
    }
    const QString name = pick(kNames);
    QVariantMap info;
    for (int n = 0; n < 2; ++n)
        info.insert(pick(kKeys), pick(values));
    if (random() % 25 == 0)
        info.insert(pick(kKeys), pick(heavy));
    if (random() % 2)
        info.insert(QStringLiteral("action"), pick(kActionTexts));
    // Status requests are all genuine and counted, so the answers can be told apart.
    if (isAction(info.value(QStringLiteral("action")), "requestcamerastatus"))
        info.insert(QStringLiteral("action"), QStringList{QStringLiteral("requestcamerastatus")});
    const bool acts = isAction(info.value(QStringLiteral("action")), "grabimage") ||
                      isAction(info.value(QStringLiteral("action")), "getlistofimages");
    const QVariant sender = info.value(QStringLiteral("senderApp"));
    if (acts && (sender.typeId() == QMetaType::QString || !sender.isValid()))
        info.insert(QStringLiteral("senderApp"),
                    random() % 2 ? QVariant(1) : QVariant(QStringList{QStringLiteral("x")}));
    else if (!acts && random() % 2)
        info.insert(QStringLiteral("senderApp"), QStringLiteral("Hostile"));
    return notification({name, random() % 10 ? QVariant(QString()) : pick(values), info});
}

// Values that cost a receiver memory to read: texts and data up to the limit and beyond it, a
// list of texts too long to take, and one nested too deep.
QVariantList largeValues() {
    QVariantList values;
    for (qint64 size : {kMiB, 4 * kMiB, 8 * kMiB, 15 * kMiB}) {
        values << QVariant(QString(size, u'T'));
        values << QVariant(QByteArray(size * 2, 'D'));
    }
    values << QVariant(QByteArray(33 * kMiB, 'D'));
    values << QVariant(QStringList(200000, QStringLiteral("grabimage")));
    values << nested(18);
    return values;
}

// The resident size of a process, in bytes; -1 when /proc does not tell. Under AddressSanitizer
// its shadow memory (one byte for each eight the program ever used, kept for good) is left out:
// what is measured is what the program itself holds.
qint64 residentBytes(qint64 pid) {
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (!smaps.open(QIODevice::ReadOnly))
        return -1;
#if defined(__SANITIZE_ADDRESS__)
    // x86_64: low shadow, shadow gap and high shadow.
    constexpr quint64 kShadowBegin = 0x7fff8000ULL;
    constexpr quint64 kShadowEnd = 0x10007fff8000ULL;
#else
    constexpr quint64 kShadowBegin = 0;
    constexpr quint64 kShadowEnd = 0;
#endif
    qint64 kib = 0;
    bool counted = true;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        if (line.startsWith("Rss:")) {
            if (counted)
                kib += line.mid(4).trimmed().split(' ').constFirst().toLongLong();
        } else if (const QByteArray range = line.left(line.indexOf(' '));
                   range.contains('-') && !range.contains(':')) {
            // A mapping's first line: "start-end perms ...".
            const quint64 start = range.left(range.indexOf('-')).toULongLong(nullptr, 16);
            counted = start < kShadowBegin || start >= kShadowEnd;
        }
    }
    return kib * 1024;
}

// The resident size once the program has given back what it freed: it does so a moment after a
// message it refuses, and AddressSanitizer's quarantine holds everything freed until then.
qint64 settledResidentBytes(const QDBusConnection& bus, qint64 pid) {
    bus.send(notification({QStringLiteral("FaultCampaignSettle")}));
    waitUntil([] { return false; }, 1500);
    return residentBytes(pid);
}

bool isPathOrPaths(const QVariant& value) {
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QStringList)
        return true;
    if (value.typeId() != QMetaType::QVariantList)
        return false;
    for (const QVariant& element : value.toList())
        if (element.typeId() != QMetaType::QString)
            return false;
    return true;
}

QDBusMessage request(const QString& action) {
    return notification({QStringLiteral("ZarvNikonAppNotification"), QString(),
                         QVariantMap{{QStringLiteral("senderApp"), QStringLiteral("FaultCampaign")},
                                     {QStringLiteral("action"), action}}});
}

// Beyond what a receiver takes (a huge list, a huge text), and large ones it takes and large
// ones it does not, each read and let go. The large ones go to the program alone: this process,
// listening to every notification, would have to read them too.
void sendLargeMessages(QDBusConnection& bus) {
    bus.send(
        notification({QStringLiteral("ZarvNikonAppNotification"), QString(),
                      QVariantMap{{QStringLiteral("senderApp"), QStringLiteral("x")},
                                  {QStringLiteral("action"), QVariantList(100001, QVariant(1))}}}));
    bus.send(notification({QStringLiteral("zarvXNotification"), QString(),
                           QVariantMap{{QStringLiteral("senderApp"), QString(33 * kMiB, u'Q')}}}));
    for (const QVariant& value : largeValues())
        bus.send(toTheProgram({QStringLiteral("zarvTillsideNotification"), QString(),
                               QVariantMap{{QStringLiteral("senderApp"), QStringLiteral("Hostile")},
                                           {QStringLiteral("value"), value}}}));
}

void expectAboutAsLarge(qint64 before, qint64 after) {
    std::fprintf(stderr, "resident size: %.1f MiB before the flood, %.1f MiB after it\n",
                 double(before) / kMiB, double(after) / kMiB);
#if !defined(__SANITIZE_THREAD__) // ThreadSanitizer's allocator keeps what it was given
    if (before > 0) {
        EXPECT_LE(after, before + 10 * kMiB)
            << "resident size " << before / kMiB << " MiB before the flood, " << after / kMiB
            << " MiB after it";
    }
#endif
}

// 10 000 hostile notifications while pictures are being saved: the program stays up, answers a
// status request within a second afterwards, and every picture is saved and announced once,
// with no picture taken for a request that was not genuine.
TEST_F(EndToEnd, HostileBusLosesNoPictureAndStillAnswers) {
    constexpr int kCameraPictures = 5;
    constexpr int kGrabs = 4;
    writeConfig(QStringLiteral("pictures = %1\npiece_size = 65536\npicture_size = %2\n")
                    .arg(kCameraPictures)
                    .arg(kMiB));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    // The start-up status and the connection's come in either order; both are in before counting.
    ASSERT_TRUE(waitUntil(
        [&] {
            bool startup = false;
            bool connected = false;
            for (const QVariantMap& m : statusMessages()) {
                startup = startup || m.contains(QStringLiteral("appstartup"));
                connected = connected || (!m.contains(QStringLiteral("appstartup")) &&
                                          m.value(QStringLiteral("cameraStatus")).toInt() == 1);
            }
            return startup && connected;
        },
        kLong));

    QDBusConnection bus = QDBusConnection::sessionBus();
    std::mt19937 random(2026);
    const QVariantList values = hostileValues();
    const QVariantList heavy = heavyValues();
    int unsent = 0;
    qint64 residentBefore = -1;
    size_t statusRequests = 0;
    const size_t statusBefore = statusMessages().size();
    for (int i = 0; i < kFlood; ++i) {
        if (!bus.send(hostileMessage(i, random, values, heavy)))
            ++unsent;
        if (i % 2500 == 1000) {
            ASSERT_TRUE(bus.send(request(QStringLiteral("gRaBiMaGe"))));
        }
        if (i % 2000 == 0)
            bus.send(request(QStringLiteral("GetListOfImages")));

        if (i == 5000)
            sendLargeMessages(bus);
        // A status request closes each burst; the next burst waits for its answer, so the
        // program is flooded as fast as it reads, without an ever-growing backlog.
        if (i % 500 == 499) {
            ASSERT_TRUE(bus.send(request(QStringLiteral("REQUESTCAMERASTATUS"))));
            ++statusRequests;
            ASSERT_TRUE(waitUntil(
                [&] { return statusMessages().size() >= statusBefore + statusRequests; }, kLong))
                << program.log().right(20000).toStdString();
            if (i == 499) // the first burst has run every path once
                residentBefore = settledResidentBytes(bus, program.pid());
        }
    }
    // A long value that is accepted; the log quotes it only in part.
    bus.send(notification({QStringLiteral("zarvXNotification"), QString(),
                           QVariantMap{{QStringLiteral("senderApp"), QStringLiteral("Hostile")},
                                       {QStringLiteral("filePath"), QString(kMiB, u'Q')}}}));
    EXPECT_LT(unsent, kFlood / 100);

    // This side catches up with its own echo first: what is timed is the program's answer.
    bus.send(notification({QStringLiteral("FaultCampaignEnd"), QString(), QVariantMap{}}));
    ASSERT_TRUE(
        waitUntil([&] { return !named(QStringLiteral("FaultCampaignEnd")).empty(); }, kLong));
    QElapsedTimer answer;
    answer.start();
    ASSERT_TRUE(bus.send(request(QStringLiteral("requestcamerastatus"))));
    // Each genuine request is answered once; ours is the last.
    ASSERT_TRUE(waitUntil(
        [&] { return statusMessages().size() >= statusBefore + statusRequests + 1; }, kLong))
        << program.log().right(20000).toStdString();
    EXPECT_LT(answer.elapsed(), 1000);

    // What the flood took is given back: the program is about as large as before it.
    expectAboutAsLarge(residentBefore, settledResidentBytes(bus, program.pid()));

    ASSERT_TRUE(waitForPictures(kCameraPictures + kGrabs))
        << program.log().right(20000).toStdString();
    // Time for a picture that should not have been taken to show up.
    waitUntil([] { return false; }, 3000);
    const auto pictures = announced();
    EXPECT_EQ(pictures.size(), size_t(kCameraPictures + kGrabs));
    for (const auto& [path, times] : pictures) {
        EXPECT_EQ(times, 1) << path.toStdString();
        EXPECT_TRUE(isCompletePicture(path, kMiB)) << path.toStdString();
    }
    EXPECT_EQ(QDir(hot).entryList(QDir::Files | QDir::Hidden).size(), qsizetype(pictures.size()));
    // What the viewer is handed is paths, whatever the siblings sent.
    for (const QVariantMap& m : named(QStringLiteral("ZarvLookoutNotification"))) {
        if (m.value(QStringLiteral("senderApp")).toString() == kSenderApp) {
            EXPECT_TRUE(isPathOrPaths(m.value(QStringLiteral("value"))))
                << m.value(QStringLiteral("value")).typeName();
        }
    }
    EXPECT_EQ(statusMessages().size(), statusBefore + statusRequests + 1);
    EXPECT_FALSE(program.logContains(QString(8192, u'Q')));
    EXPECT_EQ(program.stop(), 0) << program.log().right(20000).toStdString();
}

} // namespace
