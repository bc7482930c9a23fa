#include "platform/UserDefaults.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include "../TestSupport.h"
#include "HostileFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace zarv;

class UserDefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("com.example.test.plist"); }
};

TEST_F(UserDefaultsTest, ArgumentsOverrideSettingsWhichOverrideRegistration) {
    {
        UserDefaults stored(path());
        stored.setObject("prefA", "stored");
        stored.setObject("prefB", "stored");
    }
    UserDefaults d(path(), {"-prefA", "argument", "-NSDocumentRevisionsDebugMode", "YES"});
    d.registerDefaults({{"prefA", "registered"}, {"prefB", "registered"}, {"prefC", "registered"}});
    EXPECT_EQ(d.stringForKey("prefA"), "argument");
    EXPECT_EQ(d.stringForKey("prefB"), "stored");
    EXPECT_EQ(d.stringForKey("prefC"), "registered");

    // Removing the stored value uncovers the registered one; arguments are never written.
    d.removeObject("prefB");
    EXPECT_EQ(d.stringForKey("prefB"), "registered");
    d.synchronize();
    EXPECT_EQ(PropertyList::readFile(path()).toMap().value("prefA"), "stored");
}

TEST_F(UserDefaultsTest, LaunchArgumentsAreTyped) {
    const QVariantMap args = UserDefaults::parseArguments(
        {"-yes", "YES", "-no", "NO", "-n", "-12", "-x", "2.5", "-list",
         "<array><string>a</string><integer>3</integer></array>", "-word", "hello world",
         "--headless", "-broken", "<dict><key>", "-lonely"});
    EXPECT_EQ(args.value("yes"), QVariant(true));
    EXPECT_EQ(args.value("no"), QVariant(false));
    EXPECT_EQ(args.value("n"), QVariant(-12LL));
    EXPECT_EQ(args.value("x"), QVariant(2.5));
    EXPECT_EQ(args.value("list"), QVariant(QVariantList{"a", 3LL}));
    EXPECT_EQ(args.value("word"), QVariant("hello world"));
    EXPECT_EQ(args.value("broken"), QVariant("<dict><key>"));
    EXPECT_FALSE(args.contains("-headless"));
    EXPECT_FALSE(args.contains("lonely"));
}

TEST_F(UserDefaultsTest, TypedGettersFollowTheMacRules) {
    UserDefaults d(path());
    EXPECT_FALSE(d.boolForKey("missing"));
    EXPECT_EQ(d.integerForKey("missing"), 0);
    EXPECT_EQ(d.doubleForKey("missing"), 0.0);
    EXPECT_TRUE(d.stringForKey("missing").isNull());
    EXPECT_TRUE(d.arrayForKey("missing").isEmpty());

    d.setObject("s", "12");
    d.setObject("yes", "YES");
    d.setObject("list", QVariantList{1});
    EXPECT_EQ(d.integerForKey("s"), 12);
    EXPECT_TRUE(d.boolForKey("yes"));
    EXPECT_TRUE(d.boolForKey("s"));
    EXPECT_TRUE(d.dictionaryForKey("list").isEmpty()); // wrong type reads as none
    EXPECT_EQ(d.arrayForKey("list").size(), 1);
}

TEST_F(UserDefaultsTest, ChangesSurviveARestartAndReachTheDiskWithoutSynchronize) {
    {
        UserDefaults d(path());
        d.setObject("prefSaveFolderPath", "/tmp/pictures");
        d.setObject("prefCount", 3);
        // The debounced save writes the file once the event loop has run.
        EXPECT_TRUE(zarv::test::waitUntil([&] { return QFile::exists(path()); }));
        d.setObject("prefLate", true); // flushed by the destructor
    }
    UserDefaults again(path());
    EXPECT_EQ(again.stringForKey("prefSaveFolderPath"), "/tmp/pictures");
    EXPECT_EQ(again.integerForKey("prefCount"), 3);
    EXPECT_TRUE(again.boolForKey("prefLate"));
}

TEST_F(UserDefaultsTest, FourThreadsWritingAtOnceLoseNothing) {
    constexpr int kPerThread = 300;
    {
        UserDefaults d(path());
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&d, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    d.setObject(QStringLiteral("t%1_%2").arg(t).arg(i), i);
                    if (i % 50 == 0)
                        d.synchronize();
                }
            });
        for (auto& th : threads)
            th.join();
        QCoreApplication::processEvents();
    }
    UserDefaults reloaded(path());
    EXPECT_EQ(reloaded.persistentDomain().size(), 4 * kPerThread);
    EXPECT_EQ(reloaded.integerForKey("t3_299"), 299);
}

TEST_F(UserDefaultsTest, ChangeSignalArrivesOnTheMainThread) {
    UserDefaults d(path());
    QThread* seenOn = nullptr;
    QString seenKey;
    QObject::connect(&d, &UserDefaults::valueChanged, [&](const QString& key) {
        seenOn = QThread::currentThread();
        seenKey = key;
    });
    std::thread([&d] { d.setObject("prefNameOfCameraFound", "D850"); }).join();
    EXPECT_TRUE(zarv::test::waitUntil([&] { return !seenKey.isEmpty(); }));
    EXPECT_EQ(seenKey, "prefNameOfCameraFound");
    EXPECT_EQ(seenOn, QCoreApplication::instance()->thread());
}

TEST_F(UserDefaultsTest, UnreadableSettingsAreKeptAsideNeverOverwritten) {
    const QByteArray garbage = "<plist><dict><key>half";
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(garbage);
    }
    UserDefaults d(path());
    d.registerDefaults({{"prefScanInterval", 1.0}});
    EXPECT_EQ(d.doubleForKey("prefScanInterval"), 1.0);
    QFile aside(path() + ".corrupt");
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), garbage);

    d.setObject("prefNew", 1);
    ASSERT_TRUE(d.synchronize());
    EXPECT_TRUE(PropertyList::readFile(path()).isValid());
    // A second bad file does not replace the first one set aside.
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a plist");
    }
    UserDefaults third(path());
    EXPECT_EQ(QDir(dir.path()).entryList({"*.corrupt"}).size(), 2);
}

TEST_F(UserDefaultsTest, SettingsThatCannotBeReadSafelyAreSetAsideAtOnce) {
    for (const auto kind : zarv::test::kHostileFiles) {
        SCOPED_TRACE(zarv::test::describe(kind));
        QTemporaryDir home;
        const QString settings = home.filePath("com.example.test.plist");
        ASSERT_TRUE(zarv::test::makeHostileFile(settings, kind));
        QStringList lines;
        Log::install("test_platform");
        Log::setSink([&](QtMsgType, const QString& line) { lines << line; });
        QElapsedTimer clock;
        clock.start();
        UserDefaults d(settings);
        Log::setSink({});
        EXPECT_LT(clock.elapsed(), 2000);
        d.registerDefaults({{"prefScanInterval", 1.0}});
        EXPECT_EQ(d.doubleForKey("prefScanInterval"), 1.0);
        EXPECT_TRUE(d.persistentDomain().isEmpty());
        const QFileInfo aside(settings + ".corrupt");
        EXPECT_TRUE(aside.exists() || aside.isSymLink());
        EXPECT_FALSE(QFileInfo(settings).exists());
        EXPECT_TRUE(lines.join('\n').contains(settings)) << lines.join('\n').toStdString();
    }
}

TEST_F(UserDefaultsTest, ValuesWithoutAPlistFormAreRefused) {
    UserDefaults d(path());
    EXPECT_FALSE(
        d.setObject("prefBad", QVariantMap{{"x", QVariant::fromValue(QObject().objectName())},
                                           {"y", QVariant()}}));
    EXPECT_FALSE(d.objectForKey("prefBad").isValid());
    EXPECT_TRUE(d.setObject("prefGood", 1));
    EXPECT_TRUE(d.synchronize());
}

TEST_F(UserDefaultsTest, RegistersDefaultsFromAFileAndRejectsTheWrongShape) {
    UserDefaults d(path());
    const QString good = dir.filePath("FactoryDefault.plist");
    ASSERT_TRUE(PropertyList::writeFile(good, QVariantMap{{"prefShowUserNotifications", true}}));
    EXPECT_TRUE(d.registerDefaultsFromFile(good));
    EXPECT_TRUE(d.boolForKey("prefShowUserNotifications"));

    const QString list = dir.filePath("list.plist");
    ASSERT_TRUE(PropertyList::writeFile(list, QVariantList{1, 2}));
    EXPECT_FALSE(d.registerDefaultsFromFile(list));
    EXPECT_FALSE(d.registerDefaultsFromFile(dir.filePath("missing.plist")));
}
