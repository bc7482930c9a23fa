#include "platform/PropertyList.h"

#include "../TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace zarv;
using zarv::test::dataPath;

namespace {

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

Outcome run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

const QString kPlutil = QStringLiteral(ZARV_BIN_DIR "/zarv-plutil");

} // namespace

TEST(ZarvPlutil, ConvertsABinaryListFromAnotherImplementationToEquivalentXml) {
    QTemporaryDir dir;
    const QString out = dir.filePath("out.plist");
    const Outcome r =
        run(kPlutil, {"-convert", "xml1", dataPath("all_types.binary.plist"), "-o", out});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().startsWith("<?xml"));
    EXPECT_EQ(PropertyList::readFile(out), PropertyList::readFile(dataPath("all_types.xml.plist")));

    // And back to binary, in place.
    ASSERT_EQ(run(kPlutil, {"-convert", "binary1", out}).status, 0);
    f.close();
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().startsWith("bplist00"));
    EXPECT_EQ(PropertyList::readFile(out), PropertyList::readFile(dataPath("all_types.xml.plist")));
}

TEST(ZarvPlutil, LintsAndPrints) {
    Outcome ok = run(kPlutil, {"-lint", dataPath("all_types.xml.plist")});
    EXPECT_EQ(ok.status, 0);
    EXPECT_TRUE(ok.out.endsWith(": OK\n"));

    Outcome bad = run(
        kPlutil, {"-lint", dataPath("all_types.xml.plist"), dataPath("truncated.binary.plist")});
    EXPECT_NE(bad.status, 0);
    EXPECT_TRUE(bad.err.contains("truncated.binary.plist")) << bad.err.toStdString();

    Outcome printed = run(kPlutil, {"-p", dataPath("all_types.binary.plist")});
    EXPECT_EQ(printed.status, 0);
    EXPECT_TRUE(printed.out.contains("\"int\" => 42")) << printed.out.toStdString();
    EXPECT_TRUE(printed.out.contains("\"date\" => 2024-05-17 12:34:56 +0000"));
    EXPECT_TRUE(printed.out.contains("\"four\" => 4"));

    EXPECT_EQ(run(kPlutil, {"-convert", "json", dataPath("all_types.xml.plist")}).status, 2);
    EXPECT_EQ(run(kPlutil, {}).status, 2);
}

TEST(ZarvPlutil, AFailedConversionLeavesTheFileAsItWas) {
    QTemporaryDir dir;
    const QString copy = dir.filePath("garbage.plist");
    ASSERT_TRUE(QFile::copy(dataPath("garbage.plist"), copy));
    EXPECT_NE(run(kPlutil, {"-convert", "xml1", copy}).status, 0);
    QFile a(copy), b(dataPath("garbage.plist"));
    a.open(QIODevice::ReadOnly);
    b.open(QIODevice::ReadOnly);
    EXPECT_EQ(a.readAll(), b.readAll());
}

TEST(Application, PrintsItsVersionFromTheBundle) {
    const Outcome r =
        run(QStringLiteral(ZARV_APP_DIR "/Contents/MacOS/ZarvNikonCapture"), {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, QStringLiteral("ZarvNikonCapture %1\n").arg(ZARV_VERSION));
}
