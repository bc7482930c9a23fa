#include "app/AppSupport.h"
#include "TestSupport.h"
#include "util/ShellCommand.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace zarv;

namespace {

TEST(AppSupport, CommandOutputBecomesOneNamePerLine) {
    EXPECT_EQ(cleanCommandOutput(QStringLiteral("a.jpg\r\nb.jpg\n")),
              (QStringList{QStringLiteral("a.jpg"), QStringLiteral("b.jpg")}));
    EXPECT_EQ(cleanCommandOutput(QStringLiteral("  one.jpg  \n")),
              QStringList{QStringLiteral("one.jpg")});
    // Nothing printed still gives one (empty) entry, which the viewer receives as it is.
    EXPECT_EQ(cleanCommandOutput(QString()), QStringList{QString()});
}

// A hot folder whose name the shell would otherwise read as code lists its pictures, and only
// those directly inside it.
TEST(AppSupport, HotFolderListingSurvivesAwkwardNames) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + QStringLiteral("/it's \"$(touch pwned)\" `x`");
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/inner")));
    for (const QString& name : {QStringLiteral("Image_1.jpg"), QStringLiteral("note.txt"),
                                QStringLiteral("inner/Image_2.jpg")}) {
        QFile f(folder + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QStringList list =
        cleanCommandOutput(runShellCommand(hotFolderListCommand(folder)).value_or(QString()));
    EXPECT_EQ(list, QStringList{folder + QStringLiteral("/Image_1.jpg")});
    EXPECT_FALSE(QFile::exists(QStringLiteral("pwned")));
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/pwned")));
}

TEST(AppSupport, RelauncherArgumentsCarryFlagsAndLaunchArguments) {
    const QStringList extra{QStringLiteral("--headless")};
    EXPECT_EQ(relauncherArguments({}, QStringLiteral("/a/Z.app"), 42, extra),
              (QStringList{QStringLiteral("/a/Z.app"), QStringLiteral("42"), QStringLiteral("1"),
                           QStringLiteral("--headless")}));
    const QVariantMap zero{{QStringLiteral("LSLaunchFlags"), 0}};
    EXPECT_EQ(relauncherArguments(zero, QStringLiteral("/a/Z.app"), 42, {}).at(2), "0");
    const QVariantMap none{{QStringLiteral("sender"), QStringLiteral("x")}};
    EXPECT_EQ(relauncherArguments(none, QStringLiteral("/a/Z.app"), 42, {}).at(2), "0");
}

TEST(AppSupport, ArgumentArrayEndsWithNull) {
    std::vector<std::string> storage;
    EXPECT_EQ(mallocdArrayOfCStrings({}, &storage), nullptr);
    char** array = mallocdArrayOfCStrings(
        {QStringLiteral("a"), QStringLiteral("é"), QStringLiteral("c d")}, &storage);
    ASSERT_NE(array, nullptr);
    EXPECT_STREQ(array[0], "a");
    EXPECT_STREQ(array[1], "\xC3\xA9");
    EXPECT_STREQ(array[2], "c d");
    EXPECT_EQ(array[3], nullptr);
    delete[] array;
}

} // namespace
