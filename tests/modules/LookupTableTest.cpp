#include "modules/LookupTable.h"
#include "ModulesTestSupport.h"

#include "../TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace zarv;
using zarv::test::FakeApplication;
using zarv::test::lookupEntry;

namespace {

QVariantMap factoryList() {
    return {{QStringLiteral("LookupTable"),
             QVariantMap{{"D3", lookupEntry("D3", "Type0001 Module.bundle", 0x041A)},
                         {"D800", lookupEntry("D800", "Type0010 Module.bundle", 0x0422)},
                         {"D810", lookupEntry("D810", "Type0010 Module.bundle", 0x0422)}}},
            {QStringLiteral("DefaultNikonModulesSearchPaths"), QVariantList{"/opt/modules"}}};
}

QVariantMap camera(const QVariant& name, const QVariant& productID) {
    QVariantMap info;
    if (name.isValid())
        info.insert("deviceName", name);
    if (productID.isValid())
        info.insert("productID", productID);
    info.insert("vendorID", 1200);
    return info;
}

class LookupTableTest : public ::testing::Test {
protected:
    QTemporaryDir settingsDir;
    UserDefaults defaults{settingsDir.filePath("defaults.plist")};
};

} // namespace

TEST_F(LookupTableTest, BuiltInTableUnlessAUserCopyReplacesItWhole) {
    FakeApplication app(factoryList());
    auto table = currentNikonLookupTable(defaults);
    ASSERT_TRUE(table);
    EXPECT_EQ(moduleNameForCamera(*table, "D800"), QString("Type0010 Module.bundle"));
    EXPECT_EQ(moduleNameForCamera(*table, "D4"), std::nullopt);

    defaults.setObject(kPrefNikonLookupTable,
                       QVariantMap{{"D4", lookupEntry("D4", "Type0009 Module.bundle", 0x0423)}});
    table = currentNikonLookupTable(defaults);
    ASSERT_TRUE(table);
    EXPECT_EQ(moduleNameForCamera(*table, "D4"), QString("Type0009 Module.bundle"));
    EXPECT_EQ(moduleNameForCamera(*table, "D800"), std::nullopt) << "no merging with the factory";

    // A user copy of the wrong shape is not a user copy.
    defaults.setObject(kPrefNikonLookupTable, QString("garbage"));
    table = currentNikonLookupTable(defaults);
    ASSERT_TRUE(table);
    EXPECT_TRUE(table->contains("D800"));
}

TEST_F(LookupTableTest, MalformedFactoryListsAndEntriesGiveNone) {
    FakeApplication app;
    EXPECT_EQ(getNikonLookupTable(), std::nullopt) << "no resource";

    app.setFactoryList(QVariantList{"not", "a", "dictionary"});
    EXPECT_EQ(getNikonLookupTable(), std::nullopt);
    app.setFactoryListBytes("<?xml version=\"1.0\"?><plist><dict><key>Look");
    EXPECT_EQ(getNikonLookupTable(), std::nullopt);
    app.setFactoryList(QVariantMap{{"LookupTable", QString("a string")}});
    EXPECT_EQ(getNikonLookupTable(), std::nullopt);

    const QVariantMap odd{{"Plain", QString("not a dictionary")},
                          {"NumberModule", QVariantMap{{"modulename", 42}}},
                          {"EmptyModule", QVariantMap{{"modulename", QString()}}},
                          {"Good", lookupEntry("Good", "Type0005 Module.bundle", 0x0412)}};
    app.setFactoryList(QVariantMap{{"LookupTable", odd}});
    const auto table = getNikonLookupTable(true);
    ASSERT_TRUE(table);
    EXPECT_EQ(moduleNameForCamera(*table, "Plain"), std::nullopt);
    EXPECT_EQ(moduleNameForCamera(*table, "NumberModule"), std::nullopt);
    EXPECT_EQ(moduleNameForCamera(*table, "EmptyModule"), std::nullopt);
    EXPECT_EQ(moduleNameForCamera(*table, "Good"), QString("Type0005 Module.bundle"));
    EXPECT_EQ(productIDsOfLookupTable(*table), QList<int>{0x0412});
}

TEST_F(LookupTableTest, ProductIdentifiersAreDistinctInTableOrder) {
    FakeApplication app(factoryList());
    EXPECT_EQ(productIDsOfLookupTable(*getNikonLookupTable()), (QList<int>{0x041A, 0x0422}));
}

TEST_F(LookupTableTest, AMatchReplacesItsEntryAndKeepsTheOthers) {
    FakeApplication app(factoryList());
    // Without a user copy the built-in table is the starting point.
    ASSERT_TRUE(addMatchedCamera(camera("D800", 0x0422), "Type0011 Module.bundle", defaults));
    QVariantMap stored = defaults.dictionaryForKey(kPrefNikonLookupTable);
    EXPECT_EQ(stored.keys(), (QStringList{"D3", "D800", "D810"}));
    EXPECT_EQ(stored.value("D800").toMap(), lookupEntry("D800", "Type0011 Module.bundle", 0x0422));

    defaults.setObject(kPrefNikonLookupTable,
                       QVariantMap{{"D4", lookupEntry("D4", "Type0009 Module.bundle", 0x0423)},
                                   {"Df", lookupEntry("Df", "Type0012 Module.bundle", 0x0427)}});
    ASSERT_TRUE(addMatchedCamera(camera("D4", 0x0423), "Type0013 Module.bundle", defaults));
    stored = defaults.dictionaryForKey(kPrefNikonLookupTable);
    EXPECT_EQ(stored.keys(), (QStringList{"D4", "Df"}));
    EXPECT_EQ(moduleNameForCamera(stored, "D4"), QString("Type0013 Module.bundle"));
    EXPECT_EQ(moduleNameForCamera(stored, "Df"), QString("Type0012 Module.bundle"));
}

TEST_F(LookupTableTest, AnIncompleteMatchStoresNothing) {
    FakeApplication app(factoryList());
    EXPECT_FALSE(addMatchedCamera(camera("D800", {}), "Type0011 Module.bundle", defaults));
    EXPECT_FALSE(addMatchedCamera(camera({}, 0x0422), "Type0011 Module.bundle", defaults));
    EXPECT_FALSE(addMatchedCamera(camera("D800", 0x0422), QString(), defaults));
    EXPECT_FALSE(addMatchedCamera(camera("D800", QString("0x0422")), "X.bundle", defaults));
    EXPECT_FALSE(defaults.objectForKey(kPrefNikonLookupTable).isValid());

    // With neither a user copy nor a factory list the table starts empty.
    FakeApplication bare;
    const auto table = lookupTableWithMatchedCamera(camera("Z9", 0x0450), "T.bundle", defaults);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->keys(), QStringList{"Z9"});
}

TEST_F(LookupTableTest, MatchListFileIsNeverWrittenThroughAPlantedLink) {
    FakeApplication app(factoryList());
    QTemporaryDir tmpdir;
    QTemporaryDir elsewhere;
    // Planted by another user before the program made its scratch folder.
    EXPECT_TRUE(QFile::link(elsewhere.path(), tmpdir.filePath(app.identifier)));
    {
        const zarv::test::ScopedEnvironment env("TMPDIR", tmpdir.path());
        EXPECT_FALSE(createMatchListFile(defaults));
    }
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
}

TEST_F(LookupTableTest, MatchListFileHoldsWhatExists) {
    FakeApplication app(factoryList());
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7));
    auto path = createMatchListFile(defaults, when);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, app.scratchFolder() + "/MatchedCameras_20260304050607.plist");
    EXPECT_TRUE(QRegularExpression("/MatchedCameras_\\d{14}\\.plist$").match(*path).hasMatch());
    QVariantMap written = PropertyList::readFile(*path).toMap();
    EXPECT_EQ(written.keys(), QStringList{"FactoryDefaultNikonList"});
    EXPECT_EQ(written.value("FactoryDefaultNikonList").toMap(), factoryList());

    // Same second: the second file replaces the first.
    const QVariantMap user{{"D4", lookupEntry("D4", "Type0009 Module.bundle", 0x0423)}};
    defaults.setObject(kPrefNikonLookupTable, user);
    path = createMatchListFile(defaults, when);
    ASSERT_TRUE(path);
    written = PropertyList::readFile(*path).toMap();
    EXPECT_EQ(written.value(kPrefNikonLookupTable).toMap(), user);
    EXPECT_TRUE(written.contains("FactoryDefaultNikonList"));
    EXPECT_EQ(QDir(app.scratchFolder()).entryList(QDir::Files).size(), 1);

    defaults.removeObject(kPrefNikonLookupTable);
    FakeApplication bare;
    QString failure;
    EXPECT_EQ(createMatchListFile(defaults, when, &failure), std::nullopt);
    EXPECT_TRUE(failure.isEmpty()) << "nothing to share is not a failure";
}

TEST_F(LookupTableTest, AMatchListFileThatCannotBeWrittenIsNoneAndSaysWhy) {
    FakeApplication app(factoryList());
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7));
    // Something that is not a file holds the name.
    ASSERT_TRUE(QDir().mkpath(app.scratchFolder() + "/MatchedCameras_20260304050607.plist"));
    QString failure;
    EXPECT_EQ(createMatchListFile(defaults, when, &failure), std::nullopt);
    EXPECT_FALSE(failure.isEmpty());
}
