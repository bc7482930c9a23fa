// Files chosen for a module list import: what is taken, what is refused and why.

#include "modules/ModuleListFile.h"
#include "ModulesTestSupport.h"
#include "modules/LookupTable.h"
#include "platform/PropertyList.h"

#include "../platform/HostileFiles.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace zarv;
using zarv::test::lookupEntry;
using Kind = ModuleListFile::Kind;

namespace {

class ModuleListFileTest : public ::testing::Test {
protected:
    QString write(const QString& name, const QVariant& contents,
                  PropertyList::Format format = PropertyList::Format::Xml) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(PropertyList::writeFile(path, contents, format));
        return path;
    }
    QString writeBytes(const QString& name, const QByteArray& bytes) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return path;
    }
    QTemporaryDir dir;
};

const QVariantMap kUserTable{{"D4", lookupEntry("D4", "Type0009 Module.bundle", 0x0423)},
                             {"Z 9", lookupEntry("Z 9", "Type0031 Module.bundle", 0x0450)}};
const QVariantMap kFactoryList{
    {"LookupTable", QVariantMap{{"D3", lookupEntry("D3", "Type0001 Module.bundle", 0x041A)}}}};

} // namespace

TEST_F(ModuleListFileTest, UserTableWinsOverTheFactoryList) {
    ModuleListFile file =
        readModuleListFile(write("user.plist", QVariantMap{{kPrefNikonLookupTable, kUserTable}}));
    EXPECT_EQ(file.kind, Kind::UserTable);
    EXPECT_EQ(file.table, kUserTable);
    EXPECT_TRUE(file.problems.isEmpty()) << file.problems.join('\n').toStdString();

    file = readModuleListFile(
        write("both.plist", QVariantMap{{kPrefNikonLookupTable, kUserTable},
                                        {kFactoryDefaultNikonList, kFactoryList}}));
    EXPECT_EQ(file.kind, Kind::UserTable);
    EXPECT_EQ(file.table, kUserTable);

    file = readModuleListFile(
        write("factory.plist", QVariantMap{{kFactoryDefaultNikonList, kFactoryList}}));
    EXPECT_EQ(file.kind, Kind::FactoryOnly);
    EXPECT_TRUE(file.table.isEmpty());

    file = readModuleListFile(write("other.plist", QVariantMap{{"LookupTable", kUserTable}}));
    EXPECT_EQ(file.kind, Kind::Invalid) << "a bare lookup table is neither";

    EXPECT_EQ(readModuleListFile(write("empty.plist", QVariantMap{})).kind, Kind::Empty);
}

// Only a plain file name can reach the module loader; every other entry is skipped and named.
TEST_F(ModuleListFileTest, EntriesThatCannotNameAModuleAreSkipped) {
    QVariantMap table = kUserTable;
    table.insert("Up", lookupEntry("Up", "../../../tmp/evil.bundle", 1));
    table.insert("Dots", lookupEntry("Dots", "..", 2));
    table.insert("Dot", lookupEntry("Dot", ".", 3));
    table.insert("Absolute", lookupEntry("Absolute", "/tmp/evil.bundle", 4));
    table.insert("Sub", lookupEntry("Sub", "sub/evil.bundle", 5));
    table.insert("Empty", lookupEntry("Empty", "", 6));
    table.insert("Number", QVariantMap{{"modulename", 7}});
    table.insert("Missing", QVariantMap{{"productid", 8}});
    table.insert("Text", QString("not a dictionary"));
    table.insert("List", QVariantList{"a", "b"});
    const ModuleListFile file =
        readModuleListFile(write("hostile.plist", QVariantMap{{kPrefNikonLookupTable, table}}));
    ASSERT_EQ(file.kind, Kind::UserTable);
    EXPECT_EQ(file.table, kUserTable);
    EXPECT_EQ(file.problems.size(), 10);
    const QString log = file.problems.join('\n');
    EXPECT_TRUE(log.contains("\"Up\" skipped: modulename \"../../../tmp/evil.bundle\" is not a "
                             "plain file name"))
        << log.toStdString();
    EXPECT_TRUE(log.contains("\"Text\" skipped: not a dictionary")) << log.toStdString();
    EXPECT_TRUE(log.contains("\"Number\" skipped: its modulename is not a text"))
        << log.toStdString();
    for (const QVariant& entry : file.table)
        EXPECT_TRUE(isPlainModuleName(entry.toMap().value("modulename").toString()));
}

// A table whose every entry is unusable, or that is no table, would leave every camera without
// a module: the file is invalid rather than imported.
TEST_F(ModuleListFileTest, NothingUsableIsInvalid) {
    const QVariantMap bad{{"Up", lookupEntry("Up", "../evil.bundle", 1)}};
    EXPECT_EQ(readModuleListFile(
                  write("bad.plist", QVariantMap{{kPrefNikonLookupTable, bad},
                                                 {kFactoryDefaultNikonList, kFactoryList}}))
                  .kind,
              Kind::Invalid);
    EXPECT_EQ(
        readModuleListFile(write("none.plist", QVariantMap{{kPrefNikonLookupTable, QVariantMap{}}}))
            .kind,
        Kind::Invalid);
    const ModuleListFile notTable = readModuleListFile(
        write("text.plist", QVariantMap{{kPrefNikonLookupTable, QString("D4=Type0009")}}));
    EXPECT_EQ(notTable.kind, Kind::Invalid);
    EXPECT_TRUE(notTable.problems.join('\n').contains("is not a dictionary"));
}

// Thousands of bad entries name the first twenty and count the rest.
TEST_F(ModuleListFileTest, ManyBadEntriesDoNotFloodTheLog) {
    QVariantMap table = kUserTable;
    for (int i = 0; i < 500; ++i)
        table.insert(QStringLiteral("Bad %1").arg(i, 3, 10, QChar('0')), QString("x"));
    const ModuleListFile file =
        readModuleListFile(write("many.plist", QVariantMap{{kPrefNikonLookupTable, table}}));
    ASSERT_EQ(file.kind, Kind::UserTable);
    EXPECT_EQ(file.table.size(), 2);
    ASSERT_EQ(file.problems.size(), 21);
    EXPECT_EQ(file.problems.last(), "480 more entries skipped");
}

// A binary property list holds the same table as an XML one.
TEST_F(ModuleListFileTest, BinaryListsAreReadLikeXml) {
    const QVariantMap user{{kPrefNikonLookupTable, kUserTable}};
    const ModuleListFile binary =
        readModuleListFile(write("binary.plist", user, PropertyList::Format::Binary));
    EXPECT_EQ(binary.kind, Kind::UserTable);
    EXPECT_EQ(binary.table, kUserTable);
    EXPECT_TRUE(binary.problems.isEmpty()) << binary.problems.join('\n').toStdString();
    const ModuleListFile factory = readModuleListFile(
        write("factory.plist", QVariantMap{{kFactoryDefaultNikonList, kFactoryList}},
              PropertyList::Format::Binary));
    EXPECT_EQ(factory.kind, Kind::FactoryOnly);
}

TEST_F(ModuleListFileTest, FilesThatAreNoDictionaryAreRefused) {
    for (const auto& [name, bytes] :
         {std::pair{"text.plist", QByteArray("D4 = Type0009 Module.bundle\n")},
          std::pair{"truncated.plist",
                    QByteArray("<?xml version=\"1.0\"?><plist><dict><key>prefNikonLook")},
          std::pair{"array.plist",
                    PropertyList::toData(QVariantList{kUserTable}, PropertyList::Format::Xml)},
          std::pair{"nothing.plist", QByteArray()}}) {
        const ModuleListFile file = readModuleListFile(writeBytes(name, bytes));
        EXPECT_EQ(file.kind, Kind::Unreadable) << name;
        ASSERT_EQ(file.problems.size(), 1) << name;
        EXPECT_TRUE(file.problems.first().startsWith("cannot import " + dir.filePath(name)))
            << file.problems.first().toStdString();
    }
    EXPECT_EQ(readModuleListFile(dir.filePath("missing.plist")).kind, Kind::Unreadable);
    EXPECT_EQ(readModuleListFile(dir.path()).kind, Kind::Unreadable);
}

// Over 16 MiB is too large whatever it holds, told apart for its sheet; a pipe or an endless
// device is never read from (the call would not return).
TEST_F(ModuleListFileTest, HugeFilesPipesAndDevicesAreNotRead) {
    const QString huge = dir.filePath("huge.plist");
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(kMaxModuleListFileSize + 1)); // sparse: cheap to make
    }
    const ModuleListFile tooLarge = readModuleListFile(huge);
    EXPECT_EQ(tooLarge.kind, Kind::TooLarge);
    EXPECT_TRUE(tooLarge.problems.join("").contains("larger than 16 MiB"));

    for (test::Hostile kind : {test::Hostile::Pipe, test::Hostile::EndlessDevice}) {
        const QString path = dir.filePath(QStringLiteral("hostile%1.plist").arg(int(kind)));
        ASSERT_TRUE(test::makeHostileFile(path, kind));
        const ModuleListFile file = readModuleListFile(path);
        EXPECT_EQ(file.kind, Kind::Unreadable) << test::describe(kind);
        EXPECT_TRUE(file.problems.join("").contains("not a regular file")) << test::describe(kind);
    }
}
