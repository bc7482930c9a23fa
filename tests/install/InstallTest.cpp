// Installs the build as a user would (staged with DESTDIR into a folder whose name has a space)
// and checks the layout, the launcher, the desktop entry, the manual pages and the package.

#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <memory>

using namespace zarv;

namespace {

struct Outcome {
    bool started = false;
    int status = -1;
    QString out;
    QString err;
};

Outcome run(const QString& program, const QStringList& args, const QStringList& extraEnv = {},
            int timeoutMs = 120000) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : extraEnv)
        env.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    p.setProcessEnvironment(env);
    p.start(program, args);
    Outcome r;
    r.started = p.waitForStarted(10000);
    if (!r.started)
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QString readText(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

class InstallLayout : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/zarv install XXXXXX");
        ASSERT_TRUE(s_root->isValid());
        s_install = run(QStringLiteral(ZARV_CMAKE), {"--install", ZARV_BUILD_DIR},
                        {"DESTDIR=" + s_root->path()});
    }
    static void TearDownTestSuite() { s_root.reset(); }

    void SetUp() override {
        ASSERT_TRUE(s_install.started) << "cannot run " ZARV_CMAKE;
        ASSERT_EQ(s_install.status, 0) << qPrintable(s_install.out + s_install.err);
    }

    // A path under the staged prefix.
    static QString staged(const QString& relative) {
        return s_root->path() + QStringLiteral(ZARV_INSTALL_PREFIX "/") + relative;
    }
    static QString bundle() { return staged(QStringLiteral(ZARV_INSTALL_APP_DIR_REL)); }

    static inline std::unique_ptr<QTemporaryDir> s_root;
    static inline Outcome s_install;
};

TEST_F(InstallLayout, PutsBundleToolsAndDesktopFilesUnderThePrefix) {
    const QStringList programs = {
        staged("bin/zarvnikoncapture"),
        staged("bin/zarvctl"),
        staged("bin/zarv-plutil"),
        staged("bin/zarv-usbwatch"),
        staged("bin/zarvlookout"),
        bundle() + "/Contents/MacOS/ZarvNikonCapture",
        bundle() + "/Contents/Resources/relaunch",
    };
    for (const QString& path : programs) {
        const QFileInfo info(path);
        EXPECT_TRUE(info.isFile() && info.isExecutable()) << qPrintable(path);
    }
    const QStringList files = {
        bundle() + "/Contents/Info.plist",
        bundle() + "/Contents/Resources/FactoryDefault.plist",
        bundle() + "/Contents/Resources/FactoryDefaultNikonList.plist",
        bundle() + "/Contents/Resources/NSStatusAvailable.svg",
        staged("share/applications/com.quellbay.ZarvNikonCapture.desktop"),
        staged("share/icons/hicolor/scalable/apps/com.quellbay.ZarvNikonCapture.svg"),
        staged("share/man/man1/zarvnikoncapture.1"),
        staged("share/man/man1/zarvctl.1"),
        staged("share/man/man1/zarv-plutil.1"),
        staged("share/man/man1/zarv-usbwatch.1"),
        staged("share/applications/com.quellbay.ZarvLookout.desktop"),
        staged("share/icons/hicolor/scalable/apps/com.quellbay.ZarvLookout.svg"),
        staged("share/man/man1/zarvlookout.1"),
    };
    for (const QString& path : files)
        EXPECT_TRUE(QFileInfo(path).isFile()) << qPrintable(path);
    // Every property list of the bundle must parse: a broken one costs the program its settings.
    for (const char* name : {"/Contents/Info.plist", "/Contents/Resources/FactoryDefault.plist"}) {
        QString error;
        EXPECT_TRUE(PropertyList::readFile(bundle() + name, &error).isValid()) << qPrintable(error);
    }
}

TEST_F(InstallLayout, TableNamesTheInstalledModuleFolder) {
    QString error;
    const QVariantMap table =
        PropertyList::readFile(bundle() + "/Contents/Resources/FactoryDefaultNikonList.plist",
                               &error)
            .toMap();
    ASSERT_FALSE(table.isEmpty()) << qPrintable(error);
    const QString expected = QStringLiteral(ZARV_INSTALLED_MODULE_DIR);
    for (const char* key :
         {"DefaultNikonModulesSearchPaths", "DefaultNikonModulesSearchPathsFor32bit"})
        EXPECT_EQ(table.value(key).toList().value(0).toString(), expected) << key;
    // The folder it names is part of the install, not only of the build tree.
    EXPECT_TRUE(QFileInfo(s_root->path() + expected).isDir()) << qPrintable(expected);
    EXPECT_FALSE(expected.startsWith(QStringLiteral(ZARV_BUILD_DIR)));
    // The module for real cameras is there, in the layout and architecture the program loads.
    const Bundle ptp(s_root->path() + expected + "/ZarvPTP Module.bundle");
    EXPECT_TRUE(ptp.exists()) << qPrintable(ptp.bundlePath());
    EXPECT_TRUE(Bundle::architecturesOfFile(ptp.executablePath()).contains(Bundle::X86_64))
        << qPrintable(ptp.executablePath());
}

TEST_F(InstallLayout, LauncherStartsTheInstalledProgramThroughALink) {
    // Desktops and users link launchers from elsewhere; the bundle is found from the real file.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const QString link = elsewhere.path() + "/zarvnikoncapture";
    ASSERT_TRUE(QFile::link(staged("bin/zarvnikoncapture"), link));
    for (const QString& launcher : {staged("bin/zarvnikoncapture"), link}) {
        const Outcome version = run(launcher, {"--version"});
        ASSERT_TRUE(version.started) << qPrintable(launcher);
        EXPECT_EQ(version.status, 0) << qPrintable(version.err);
        EXPECT_EQ(version.out.trimmed(), QStringLiteral("ZarvNikonCapture " ZARV_VERSION));
    }
    // The installed program reads its own bundle, not the build tree's.
    const Outcome info = run(link, {"--bundle-info"});
    ASSERT_EQ(info.status, 0) << qPrintable(info.err);
    EXPECT_TRUE(info.out.contains(QDir::cleanPath(bundle()))) << qPrintable(info.out);
    EXPECT_FALSE(info.out.contains(QStringLiteral(ZARV_BUILD_DIR "/"))) << qPrintable(info.out);
}

TEST_F(InstallLayout, DesktopEntryStartsTheLauncherWithTheInstalledIcon) {
    const QString entry =
        readText(staged("share/applications/com.quellbay.ZarvNikonCapture.desktop"));
    ASSERT_TRUE(entry.startsWith(QStringLiteral("[Desktop Entry]\n")));
    QMap<QString, QString> keys;
    for (const QString& line : entry.split(u'\n', Qt::SkipEmptyParts))
        if (line.contains(u'='))
            keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    EXPECT_EQ(keys.value("Type"), QStringLiteral("Application"));
    EXPECT_FALSE(keys.value("Name").isEmpty());
    const QString program = keys.value("Exec").section(u' ', 0, 0);
    EXPECT_TRUE(QFileInfo(staged("bin/" + program)).isExecutable()) << qPrintable(program);
    const QString icon = staged("share/icons/hicolor/scalable/apps/" + keys.value("Icon") + ".svg");
    QFile svg(icon);
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly)) << qPrintable(icon);
    QXmlStreamReader xml(&svg);
    ASSERT_TRUE(xml.readNextStartElement());
    EXPECT_EQ(xml.name(), QStringLiteral("svg"));
    while (!xml.atEnd())
        xml.readNext();
    EXPECT_FALSE(xml.hasError()) << qPrintable(xml.errorString());

    const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
    if (validator.isEmpty())
        GTEST_SKIP() << "desktop-file-validate is not installed (package desktop-file-utils): "
                        "the entry was checked by its keys only";
    for (const char* app : {"com.quellbay.ZarvNikonCapture", "com.quellbay.ZarvLookout"}) {
        const Outcome check =
            run(validator, {staged(QStringLiteral("share/applications/%1.desktop").arg(app))});
        EXPECT_EQ(check.status, 0) << app << ": " << qPrintable(check.out + check.err);
    }
}

TEST_F(InstallLayout, ManualPagesRenderWithoutWarnings) {
    const QString groff = QStandardPaths::findExecutable("groff");
    if (groff.isEmpty())
        GTEST_SKIP() << "groff is not installed: the manual pages cannot be rendered here";
    for (const char* page :
         {"zarvnikoncapture", "zarvctl", "zarv-plutil", "zarv-usbwatch", "zarvlookout"}) {
        const QString path = staged(QStringLiteral("share/man/man1/%1.1").arg(page));
        const Outcome render =
            run(groff, {"-man", "-Tutf8", "-P-cbou", "-ww", path}, {"LC_ALL=C.UTF-8"});
        ASSERT_TRUE(render.started);
        EXPECT_EQ(render.status, 0) << page;
        EXPECT_TRUE(render.err.isEmpty()) << page << ": " << qPrintable(render.err);
        EXPECT_TRUE(render.out.contains("NAME") && render.out.contains("SYNOPSIS")) << page;
    }
}

TEST(DebianPackage, NamesItsDependenciesAndInstallsWhereTheTablePoints) {
    for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            GTEST_SKIP() << tool << " is not installed (package dpkg-dev): no package is made here";
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    // The package is made from an install staged here: cpack's own install step would first
    // rebuild the build tree, under the feet of the other tests running from it.
    const QString stage = out.path() + QStringLiteral("/stage");
    const Outcome install =
        run(QStringLiteral(ZARV_CMAKE), {"--install", ZARV_BUILD_DIR}, {"DESTDIR=" + stage});
    ASSERT_EQ(install.status, 0) << qPrintable(install.out + install.err);
    const Outcome cpack =
        run(QStringLiteral(ZARV_CPACK),
            {"-G", "DEB", "--config", ZARV_BUILD_DIR "/CPackConfig.cmake", "-B", out.path(), "-D",
             "CPACK_INSTALL_CMAKE_PROJECTS=", "-D", "CPACK_INSTALLED_DIRECTORIES=" + stage + ";."},
            {}, 280000);
    ASSERT_EQ(cpack.status, 0) << qPrintable(cpack.out + cpack.err);
    const QStringList debs = QDir(out.path()).entryList({"*.deb"}, QDir::Files);
    ASSERT_EQ(debs.size(), 1) << qPrintable(debs.join(u' '));
    const QString deb = out.path() + u'/' + debs.first();

    const Outcome depends = run("dpkg-deb", {"-f", deb, "Depends"});
    ASSERT_EQ(depends.status, 0) << qPrintable(depends.err);
    // Found by dpkg-shlibdeps from the programs, and the two named by hand.
    for (const char* package :
         {"libqt6core6", "libplist3", "libudev1", "libglib2.0-bin", "libgphoto2-6"})
        EXPECT_TRUE(depends.out.contains(QLatin1String(package)))
            << package << " missing from: " << qPrintable(depends.out);

    const Outcome contents = run("dpkg-deb", {"-c", deb});
    ASSERT_EQ(contents.status, 0) << qPrintable(contents.err);
    for (const QString& path :
         {QStringLiteral(ZARV_INSTALL_PREFIX "/bin/zarvnikoncapture"),
          QStringLiteral(ZARV_INSTALL_PREFIX "/" ZARV_INSTALL_APP_DIR_REL
                                             "/Contents/MacOS/ZarvNikonCapture"),
          QStringLiteral(ZARV_INSTALLED_MODULE_DIR "/")})
        EXPECT_TRUE(contents.out.contains(u'.' + path)) << qPrintable(path);
}

} // namespace
