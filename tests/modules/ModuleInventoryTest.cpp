#include "modules/ModuleInventory.h"
#include "ModulesTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QtEndian>

#include <gtest/gtest.h>
#include <unistd.h>

using namespace zarv;
using zarv::test::elfHeader;
using zarv::test::FakeApplication;
using zarv::test::makeBundle;

namespace {

QByteArray fatHeader(const QList<quint32>& cpus) {
    QByteArray h(8, '\0');
    qToBigEndian<quint32>(0xCAFEBABE, h.data());
    qToBigEndian<quint32>(quint32(cpus.size()), h.data() + 4);
    for (quint32 cpu : cpus) {
        QByteArray entry(20, '\0');
        qToBigEndian<quint32>(cpu, entry.data());
        qToBigEndian<quint32>(3, entry.data() + 4);
        h += entry;
    }
    return h + QByteArray(64, '\0');
}

QVariantMap searchPaths(const QVariantList& paths, const QVariant& paths32 = {}) {
    QVariantMap list{{"LookupTable", QVariantMap()}, {"DefaultNikonModulesSearchPaths", paths}};
    if (paths32.isValid())
        list.insert("DefaultNikonModulesSearchPathsFor32bit", paths32);
    return list;
}

struct AppKitVersion {
    explicit AppKitVersion(double v) { setAppKitVersionNumberOverride(v); }
    ~AppKitVersion() { setAppKitVersionNumberOverride(std::nullopt); }
};

} // namespace

TEST(ModuleInventory, SearchPathsFollowTheProcessArchitecture) {
    QTemporaryDir dir;
    const QString exists = dir.filePath("modules32");
    QDir().mkpath(exists);
    FakeApplication app(searchPaths({"/opt/a", "~/modules"}, QVariantList{exists, "/opt/b"}));

    EXPECT_EQ(getDefaultSearchPaths(false), (QStringList{"/opt/a", QDir::homePath() + "/modules"}));
    EXPECT_EQ(getDefaultSearchPaths(true), (QStringList{exists, "/opt/b"}));

    // A 32-bit list whose first folder is missing gives way to the ordinary one.
    app.setFactoryList(searchPaths({"/opt/a"}, QVariantList{dir.filePath("missing")}));
    EXPECT_EQ(getDefaultSearchPaths(true), QStringList{"/opt/a"});

    app.setFactoryList(QVariantMap{{"DefaultNikonModulesSearchPaths", QString("/not/a/list")}});
    EXPECT_EQ(getDefaultSearchPaths(false), std::nullopt);
    EXPECT_EQ(moduleFolder(false), kDefaultNikonModulesFolder);
    app.setFactoryList(QVariantMap{{"DefaultNikonModulesSearchPaths", QVariantList{1, 2}}});
    EXPECT_EQ(getDefaultSearchPaths(false), std::nullopt);
    app.setFactoryList(QVariantMap{{"LookupTable", QVariantMap()}});
    EXPECT_EQ(getDefaultSearchPaths(false), std::nullopt);
    EXPECT_EQ(moduleFolder(false), kDefaultNikonModulesFolder);
}

TEST(ModuleInventory, ListsBundlesDirectlyInsideTheFolder) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("Camera Control Modules");
    makeBundle(folder, "Type0005 Module.bundle", elfHeader(62, true));
    makeBundle(folder, "Type0010 Module.bundle", elfHeader(62, true));
    makeBundle(folder + "/nested", "Deep.bundle", elfHeader(62, true));
    QDir().mkpath(folder + "/Not a bundle");
    FakeApplication app(searchPaths({folder + "/"}));

    const auto names = getListOfModuleBundles(false, false);
    ASSERT_TRUE(names);
    EXPECT_EQ(QSet<QString>(names->begin(), names->end()),
              (QSet<QString>{"Type0005 Module.bundle", "Type0010 Module.bundle"}));
    const auto paths = getListOfModuleBundles(true, false);
    ASSERT_TRUE(paths);
    EXPECT_EQ(
        QSet<QString>(paths->begin(), paths->end()),
        (QSet<QString>{folder + "/Type0005 Module.bundle", folder + "/Type0010 Module.bundle"}));

    // An empty folder gives one empty name; a missing one gives none.
    const QString empty = dir.filePath("empty");
    QDir().mkpath(empty);
    app.setFactoryList(searchPaths({empty}));
    EXPECT_EQ(getListOfModuleBundles(false, false), QStringList{QString()});
    app.setFactoryList(searchPaths({dir.filePath("missing")}));
    EXPECT_EQ(getListOfModuleBundles(true, false), std::nullopt);

    if (geteuid() != 0) { // root reads every folder
        QFile::setPermissions(empty, QFileDevice::Permissions());
        app.setFactoryList(searchPaths({empty}));
        EXPECT_EQ(getListOfModuleBundles(true, false), std::nullopt);
        QFile::setPermissions(empty, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner);
    }
}

TEST(ModuleInventory, HostileFolderNamesStayInsideTheShellWord) {
    QTemporaryDir dir;
    const QString marker = dir.filePath("PWNED");
    const QString folder =
        dir.filePath(QString("we\"ird $(touch %1) `touch %1` \\ 'q' [path] ; x").arg(marker));
    makeBundle(folder, "Cam \"1\" $(x).bundle", elfHeader(62, true));
    FakeApplication app(searchPaths({folder}));

    EXPECT_EQ(getListOfModuleBundles(false, false), QStringList{"Cam \"1\" $(x).bundle"});
    EXPECT_EQ(getListOfModuleBundles(true, false), QStringList{folder + "/Cam \"1\" $(x).bundle"});
    EXPECT_FALSE(QFileInfo::exists(marker));

    // A marker in the name is not filled in again, and a line break does not split the path.
    const QString split = dir.filePath("modules [depth]\nsecond line");
    makeBundle(split, "Line\nBreak.bundle", elfHeader(62, true));
    app.setFactoryList(searchPaths({split}));
    EXPECT_EQ(getListOfModuleBundles(false, false), QStringList{"Line\nBreak.bundle"});
    EXPECT_EQ(getListOfModuleBundles(true, false), QStringList{split + "/Line\nBreak.bundle"});
}

TEST(ModuleInventory, ArchitecturesOfFixtureBundles) {
    QTemporaryDir dir;
    const QString f = dir.path();
    const QString x64 = makeBundle(f, "x64.bundle", elfHeader(62, true));
    const QString i386 = makeBundle(f, "i386.bundle", elfHeader(3, false));
    const QString both = makeBundle(f, "fat.bundle", fatHeader({7, 0x01000007}));
    const QString ppc = makeBundle(f, "ppc.bundle", fatHeader({18}));
    const QString noExecutable = makeBundle(f, "noexe.bundle", QByteArray());
    const QString noInfo = makeBundle(f, "noinfo.bundle", elfHeader(62, true), false);
    const QString truncated = makeBundle(f, "short.bundle",
                                         QByteArray("\x7F"
                                                    "EL"));
    const QString garbage = makeBundle(f, "garbage.bundle", QByteArray(4096, 'z'));
    const QString loop = makeBundle(f, "loop.bundle", {});
    QFile::link(loop + "/Contents/MacOS/Module", loop + "/Contents/MacOS/Module");
    QDir().mkpath(f + "/plain-folder");

    for (double version : {1349.0, 1404.0}) {
        AppKitVersion appKit(version);
        const bool allowed = version <= 1349.0;
        SCOPED_TRACE(version);
        EXPECT_TRUE(isModuleAtPath(x64, Bundle::X86_64));
        EXPECT_FALSE(isModuleAtPath(x64, Bundle::I386));
        EXPECT_EQ(isModuleAtPath(i386, Bundle::I386), allowed);
        EXPECT_FALSE(isModuleAtPath(i386, Bundle::X86_64));
        EXPECT_TRUE(isModuleAtPath(both, Bundle::X86_64));
        EXPECT_EQ(isModuleAtPath(both, Bundle::I386), allowed);
        EXPECT_TRUE(isModuleAtPath(ppc, Bundle::PPC));
        EXPECT_FALSE(isModuleAtPath(ppc, Bundle::X86_64));
        for (const QString& bad : {noExecutable, noInfo, truncated, garbage, loop,
                                   f + "/plain-folder", f + "/absent.bundle", QString()})
            EXPECT_FALSE(isModuleAtPath(bad, Bundle::X86_64)) << bad.toStdString();
    }
}

TEST(ModuleInventory, ThirtyTwoBitPermissionEndsAfterAppKit1349) {
    {
        AppKitVersion v(1349.0);
        EXPECT_TRUE(isThisAppAllowedToRunIn32BitMode());
    }
    {
        AppKitVersion v(1349.01);
        EXPECT_FALSE(isThisAppAllowedToRunIn32BitMode());
    }
    EXPECT_EQ(architectureName(Bundle::PPC64), "NSBundleExecutableArchitecturePPC64");
    EXPECT_EQ(architectureName(Bundle::ARM64), "Unknown_Architecture");
}

// The build the program says it is must be the build it is: the module checks and the relaunch
// offers are decided on it.
TEST(ModuleInventory, ThirtyTwoBitModeMatchesTheRunningExecutable) {
    const QList<int> archs = Bundle::architecturesOfFile(QStringLiteral("/proc/self/exe"));
    if (!archs.contains(Bundle::I386) && !archs.contains(Bundle::X86_64))
        GTEST_SKIP() << "the test executable is neither i386 nor x86_64";
    EXPECT_EQ(archs, QList<int>{isThis32bitMode() ? Bundle::I386 : Bundle::X86_64});
}
