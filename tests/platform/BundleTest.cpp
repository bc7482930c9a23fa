#include "platform/Bundle.h"
#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace zarv;

namespace {

QByteArray be32(quint32 v) {
    QByteArray b(4, '\0');
    qToBigEndian(v, b.data());
    return b;
}
QByteArray le32(quint32 v) {
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray elf(char cls, char endian, quint16 machine) {
    QByteArray h(64, '\0');
    h.replace(0, 4,
              "\x7F"
              "ELF");
    h[4] = cls;
    h[5] = endian;
    h[6] = 1;
    h[18] = static_cast<char>(endian == 1 ? machine & 0xFF : machine >> 8);
    h[19] = static_cast<char>(endian == 1 ? machine >> 8 : machine & 0xFF);
    return h;
}

QByteArray fat(const QList<quint32>& cpus, bool wide) {
    QByteArray h = be32(wide ? 0xCAFEBABF : 0xCAFEBABE) + be32(cpus.size());
    for (quint32 cpu : cpus) {
        QByteArray entry = be32(cpu) + be32(3);
        entry.append(QByteArray(wide ? 24 : 12, '\0'));
        h += entry;
    }
    return h + QByteArray(64, '\0');
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

QString makeBundle(const QTemporaryDir& dir, const QString& name, const QVariantMap& info,
                   const QByteArray& executable = {}) {
    const QString root = dir.filePath(name);
    QDir().mkpath(root + "/Contents/MacOS");
    if (!info.isEmpty())
        PropertyList::writeFile(root + "/Contents/Info.plist", info);
    if (!executable.isEmpty())
        writeFile(dir, name + "/Contents/MacOS/" + info.value("CFBundleExecutable").toString(),
                  executable);
    return root;
}

} // namespace

TEST(Bundle, ReadsArchitecturesFromElfAndMachOHeaders) {
    QTemporaryDir dir;
    const struct {
        const char* name;
        QByteArray bytes;
        QList<int> expected;
    } cases[] = {
        {"elf32", elf(1, 1, 3), {Bundle::I386}},
        {"elf64", elf(2, 1, 62), {Bundle::X86_64}},
        {"elf-ppc-be", elf(1, 2, 20), {Bundle::PPC}},
        {"elf-ppc64-be", elf(2, 2, 21), {Bundle::PPC64}},
        {"macho-be", be32(0xFEEDFACE) + be32(18) + QByteArray(40, '\0'), {Bundle::PPC}},
        {"macho-le64",
         le32(0xFEEDFACF) + le32(0x01000007) + QByteArray(40, '\0'),
         {Bundle::X86_64}},
        {"macho-le32", le32(0xFEEDFACE) + le32(7) + QByteArray(40, '\0'), {Bundle::I386}},
        {"fat", fat({7, 0x01000007}, false), {Bundle::I386, Bundle::X86_64}},
        {"fat64", fat({18, 7, 0x01000007}, true), {Bundle::PPC, Bundle::I386, Bundle::X86_64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_EQ(Bundle::architecturesOfFile(writeFile(dir, c.name, c.bytes), &error), c.expected)
            << error.toStdString();
    }
}

TEST(Bundle, NonExecutablesGiveNoArchitecturesAndAReason) {
    QTemporaryDir dir;
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"empty", {}},
        {"short", "\x7F"
                  "EL"},
        {"text", "#!/bin/sh\necho hello\n"},
        {"java-class", be32(0xCAFEBABE) + be32(0x00000034) + QByteArray(64, '\0')},
        {"truncated-fat", be32(0xCAFEBABE) + be32(3) + be32(7)},
        {"elf-odd-machine", elf(2, 1, 0x1234)},
        {"elf-bad-order", elf(2, 9, 62)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_TRUE(Bundle::architecturesOfFile(writeFile(dir, c.name, c.bytes), &error).isEmpty());
        EXPECT_FALSE(error.isEmpty());
    }
    QString error;
    EXPECT_TRUE(Bundle::architecturesOfFile(dir.filePath("missing"), &error).isEmpty());
    EXPECT_TRUE(error.contains("missing"));
}

TEST(Bundle, ReadsInfoResourcesAndAuxiliaryExecutables) {
    QTemporaryDir dir;
    const QString root = makeBundle(
        dir, "Cam.bundle",
        {{"CFBundleExecutable", "Cam"}, {"CFBundleIdentifier", "com.example.cam"}}, elf(2, 1, 62));
    writeFile(dir, "Cam.bundle/Contents/Resources/FactoryDefault.plist", "x");
    writeFile(dir, "Cam.bundle/Contents/MacOS/relaunch", "x");
    const Bundle b(root);
    EXPECT_TRUE(b.exists());
    EXPECT_EQ(b.bundleIdentifier(), "com.example.cam");
    EXPECT_EQ(b.executablePath(), root + "/Contents/MacOS/Cam");
    EXPECT_EQ(b.executableArchitectures(), QList<int>{Bundle::X86_64});
    EXPECT_EQ(b.pathForResource("FactoryDefault", "plist"),
              root + "/Contents/Resources/FactoryDefault.plist");
    EXPECT_EQ(b.pathForResource("FactoryDefault.plist"),
              root + "/Contents/Resources/FactoryDefault.plist");
    EXPECT_TRUE(b.pathForResource("Missing", "plist").isEmpty());
    EXPECT_TRUE(b.pathForResource("../Info", "plist").isEmpty());
    EXPECT_EQ(b.pathForAuxiliaryExecutable("relaunch"), root + "/Contents/MacOS/relaunch");
    EXPECT_TRUE(b.pathForAuxiliaryExecutable("ZarvNikonCapture_32").isEmpty());
}

TEST(Bundle, BrokenBundlesAreReportedNotLoaded) {
    QTemporaryDir dir;
    const Bundle noInfo(makeBundle(dir, "NoInfo.bundle", {}));
    EXPECT_TRUE(noInfo.infoDictionary().isEmpty());
    EXPECT_TRUE(noInfo.executablePath().isEmpty());

    Bundle noExecutable(makeBundle(dir, "NoExe.bundle", {{"CFBundleExecutable", "Gone"}}));
    QString error;
    EXPECT_TRUE(noExecutable.executableArchitectures().isEmpty());
    EXPECT_FALSE(noExecutable.load(&error));
    EXPECT_TRUE(error.contains("no executable"));

    writeFile(dir, "BadInfo.bundle/Contents/Info.plist", "<plist><dict><key>");
    EXPECT_TRUE(Bundle(dir.filePath("BadInfo.bundle")).infoDictionary().isEmpty());

    Bundle garbage(
        makeBundle(dir, "Garbage.bundle", {{"CFBundleExecutable", "Garbage"}}, elf(2, 1, 62)));
    EXPECT_FALSE(garbage.load(&error));
    EXPECT_TRUE(error.contains(garbage.executablePath())) << error.toStdString();
    EXPECT_FALSE(garbage.isLoaded());
    EXPECT_EQ(garbage.symbol("MAIDEntryPoint", &error), nullptr);

    EXPECT_FALSE(Bundle(dir.filePath("Nowhere.bundle")).exists());
}

TEST(Bundle, LoadsResolvesAndUnloadsAModule) {
    QTemporaryDir dir;
    QFile module(ZARV_TEST_MODULE);
    ASSERT_TRUE(module.open(QIODevice::ReadOnly));
    Bundle b(makeBundle(dir, "Test.bundle", {{"CFBundleExecutable", "Test"}}, module.readAll()));
    EXPECT_EQ(b.executableArchitectures(), QList<int>{Bundle::currentArchitecture()});
    QString error;
    ASSERT_TRUE(b.load(&error)) << error.toStdString();
    auto answer = reinterpret_cast<int (*)()>(b.symbol("ZarvTestAnswer", &error));
    ASSERT_NE(answer, nullptr) << error.toStdString();
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(b.symbol("NoSuchSymbol", &error), nullptr);
    EXPECT_TRUE(error.contains("NoSuchSymbol"));
    b.unload();
    EXPECT_FALSE(b.isLoaded());
}

TEST(Bundle, MainBundleIsTheApplicationBundleAroundTheExecutable) {
    Bundle::setMainBundlePath(ZARV_APP_DIR);
    EXPECT_EQ(Bundle::mainBundle().bundleIdentifier(), "com.quellbay.ZarvNikonCapture");
    EXPECT_FALSE(Bundle::mainBundle().pathForResource("FactoryDefault", "plist").isEmpty());
    Bundle::setMainBundlePath({});
    // A test binary lives outside any bundle: its own folder stands in.
    EXPECT_EQ(Bundle::mainBundle().bundlePath(), QCoreApplication::applicationDirPath());
}
