// The whole program with a Nikon body driven by the PTP module over its scripted layer: the body
// arrives on the mocked USB bus, the factory table sends it to the scripted module bundle, and
// the test plays the camera through the bundle's folder (a dropped picture, an unplugged or a
// held camera).

#include "EndToEndSupport.h"
#include "platform/PropertyList.h"

#include <unistd.h>

using namespace zarv;
using namespace zarv::test;

namespace {

const char* const kD850Path = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const QString kD850 = QStringLiteral("NIKON DSC D850");
const QString kScriptedModule = QStringLiteral("ZarvPTPScripted Module.bundle");

class PtpEndToEnd : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        if (IsSkipped())
            return;
        script = dir.path() + QStringLiteral("/camera script");
        ASSERT_TRUE(QDir().mkpath(script + QStringLiteral("/shots")));
        writeFile(script + QStringLiteral("/camera"),
                  "model=Nikon DSC D850\nport=usb:001,007\nusb_product=0x0441\n");
        makeProgram();
    }

    static void writeFile(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        f.write(bytes);
    }

    // A program bundle of the test's own, so that its factory table and module folder can
    // differ from the build's: the program itself (a hard link, so that it finds this bundle as
    // its own), the build's resources, and a table that sends the D850 to the scripted module in
    // a module folder holding only that module.
    void makeProgram() {
        const QString app = dir.path() + QStringLiteral("/ZarvNikonCapture.app/Contents");
        const QString built = QStringLiteral(ZARV_APP_DIR "/Contents");
        const QString modules = dir.path() + QStringLiteral("/modules");
        ASSERT_TRUE(QDir().mkpath(app + QStringLiteral("/MacOS")));
        ASSERT_TRUE(QDir().mkpath(app + QStringLiteral("/Resources")));
        ASSERT_TRUE(QDir().mkpath(modules));
        ASSERT_TRUE(QFile::link(QStringLiteral(ZARV_PTP_SCRIPTED_BUNDLE),
                                modules + u'/' + kScriptedModule));
        ASSERT_TRUE(QFile::link(built + QStringLiteral("/Info.plist"),
                                app + QStringLiteral("/Info.plist")));
        program = app + QStringLiteral("/MacOS/ZarvNikonCapture");
        for (const QFileInfo& f :
             QDir(built + QStringLiteral("/MacOS")).entryInfoList(QDir::Files)) {
            const QString to = app + QStringLiteral("/MacOS/") + f.fileName();
            const bool made = to == program ? ::link(QFile::encodeName(f.filePath()).constData(),
                                                     QFile::encodeName(to).constData()) == 0 ||
                                                  QFile::copy(f.filePath(), to)
                                            : QFile::link(f.filePath(), to);
            ASSERT_TRUE(made) << to.toStdString();
        }
        const QString listName = QStringLiteral("FactoryDefaultNikonList.plist");
        for (const QFileInfo& f : QDir(built + QStringLiteral("/Resources"))
                                      .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
            if (f.fileName() == listName)
                continue;
            ASSERT_TRUE(
                QFile::link(f.filePath(), app + QStringLiteral("/Resources/") + f.fileName()));
        }
        QVariantMap list = PropertyList::readFile(resource(built, listName)).toMap();
        QVariantMap table = list.value(QStringLiteral("LookupTable")).toMap();
        QVariantMap row = table.value(kD850).toMap();
        ASSERT_FALSE(row.isEmpty()) << "the factory table has no row for the D850";
        row.insert(QStringLiteral("modulename"), kScriptedModule);
        table.insert(kD850, row);
        list.insert(QStringLiteral("LookupTable"), table);
        list.insert(QStringLiteral("DefaultNikonModulesSearchPaths"), QStringList{modules});
        ASSERT_TRUE(PropertyList::writeFile(resource(app, listName), list));
    }
    static QString resource(const QString& contents, const QString& name) {
        return contents + QStringLiteral("/Resources/") + name;
    }

    // The D850's udev description; `node` replaces its device node when given.
    void plugD850(const QString& node = {}) {
        QFile f(QStringLiteral(ZARV_TEST_DATA "/nikon-d850.umockdev"));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QByteArray description = f.readAll();
        if (!node.isEmpty())
            description.replace("E: DEVNAME=/dev/bus/usb/001/007", "E: DEVNAME=" + node.toUtf8());
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, description.constData(), &error))
            << (error ? error->message : "");
    }

    QProcessEnvironment ptpEnvironment() const {
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("ZARV_PTP_SCRIPT_FOLDER"), script);
        return env;
    }

    // A picture taken on the body: written beside the folder, then moved in whole.
    void shoot(const QString& name, const QByteArray& bytes) {
        const QString pending = script + QStringLiteral("/.") + name;
        writeFile(pending, bytes);
        ASSERT_TRUE(QFile::rename(pending, script + QStringLiteral("/shots/") + name));
    }

    QString script;
    QString program;
};

// A body arrives, is connected and named; a picture taken on it lands in the hot folder under
// the program's naming scheme, whole, and is announced once; unplugging it is noticed.
TEST_F(PtpEndToEnd, ABodyConnectsSavesAnnouncesAndLeaves) {
    plugD850();
    Program zarv(dir.path(), QStringLiteral("program"));
    zarv.start(arguments(), ptpEnvironment(), Program::Face::Headless, program);
    ASSERT_TRUE(waitForStatus(1)) << zarv.log().toStdString();
    EXPECT_EQ(statusMessages().back().value(QStringLiteral("cameraName")).toString(), kD850);
    EXPECT_TRUE(zarv.logContains(kScriptedModule)) << zarv.log().toStdString();

    QByteArray picture("\xFF\xD8\xFF\xE0", 4);
    for (int i = 0; i < 300000; ++i)
        picture.append(char(i * 7));
    picture.append("\xFF\xD9", 2);
    shoot(QStringLiteral("DSC_0001.JPG"), picture);
    ASSERT_TRUE(waitForPictures(1)) << zarv.log().toStdString();
    const auto saved = announced();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved.begin()->second, 1);
    QFile file(saved.begin()->first);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << saved.begin()->first.toStdString();
    EXPECT_TRUE(file.readAll() == picture) << "the saved picture differs from the camera's";
    EXPECT_EQ(QFileInfo(file).absolutePath(), hot);
    expectOnlyCompletePictures();

    const size_t before = statusMessages().size();
    writeFile(script + QStringLiteral("/unplug"), {});
    umockdev_testbed_uevent(testbed, kD850Path, "remove");
    ASSERT_TRUE(zarv.waitForLog(QStringLiteral("Status: < Camera Disconnected >")))
        << zarv.log().toStdString();
    EXPECT_TRUE(waitForStatus(0, before));
    EXPECT_TRUE(zarv.logContains(QStringLiteral("ZarvPTP: Nikon DSC D850 on usb:001,007 has gone")))
        << zarv.log().toStdString();
    EXPECT_EQ(announced().size(), 1u);
    EXPECT_EQ(zarv.stop(), 0) << zarv.log().toStdString();
}

// A body another program holds: the status says so and names the body, the log names the
// holding process, and nothing is stopped.
TEST_F(PtpEndToEnd, AHeldBodyNamesItsHolder) {
    // The program sees the device's node through the testbed's redirection, but a holder's
    // open file shows the real path: the description names that path, which the holder opens.
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const QString node = QString::fromUtf8(root) + QStringLiteral("/dev/bus/usb/001/007");
    g_free(root);
    plugD850(node);
    ASSERT_TRUE(QFileInfo::exists(node)) << node.toStdString();
    writeFile(script + QStringLiteral("/held"), {});
    const QString tether = dir.path() + QStringLiteral("/gphoto2");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), tether));
    QProcess holder;
    holder.setStandardInputFile(node);
    holder.start(tether, {QStringLiteral("120")});
    ASSERT_TRUE(holder.waitForStarted());

    Program zarv(dir.path(), QStringLiteral("program"));
    zarv.start(arguments(), ptpEnvironment(), Program::Face::Headless, program);
    ASSERT_TRUE(
        zarv.waitForLog(QStringLiteral("Status: < Camera In Use by Another Program: ") + kD850))
        << zarv.log().toStdString();
    EXPECT_TRUE(zarv.waitForLog(
        QStringLiteral("process %1 (gphoto2) holds %2").arg(holder.processId()).arg(node)))
        << zarv.log().toStdString();
    EXPECT_TRUE(zarv.logContains(QStringLiteral("is held by another program")));
    EXPECT_TRUE(announced().empty());
    EXPECT_EQ(zarv.stop(), 0) << zarv.log().toStdString();
    EXPECT_EQ(holder.state(), QProcess::Running) << "the holder was stopped";
    holder.kill();
    holder.waitForFinished();
}

} // namespace
