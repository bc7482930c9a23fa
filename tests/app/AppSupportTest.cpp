#include "app/AppSupport.h"
#include "TestSupport.h"
#include "util/CommandTemplate.h"
#include "util/ShellCommand.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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

// A folder named with a marker of the template, or with a line break, still lists its own
// pictures, one whole path each; markers are filled once, whatever the values hold.
TEST(AppSupport, TemplatesAreFilledOnceAndPathsStayWhole) {
    EXPECT_EQ(fillTemplate(QStringLiteral("a [x] [y] [x]"),
                           {{QStringLiteral("[x]"), QStringLiteral("[y]")},
                            {QStringLiteral("[y]"), QStringLiteral("2")}}),
              "a [y] 2 [y]");
    EXPECT_EQ(fillTemplate(QStringLiteral("[x]"), {}), "[x]");

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString other = dir.path() + QStringLiteral("/1");
    const QString folder = dir.path() + QStringLiteral("/[depth]\nshots");
    for (const QString& picture :
         {folder + QStringLiteral("/Image\n1.jpg"), folder + QStringLiteral("/Image 2.jpg"),
          other + QStringLiteral("/Elsewhere.jpg")}) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(picture).path()));
        QFile f(picture);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    QStringList list = hotFolderPictures(folder);
    list.sort();
    EXPECT_EQ(list, (QStringList{folder + QStringLiteral("/Image\n1.jpg"),
                                 folder + QStringLiteral("/Image 2.jpg")}));
    // Nothing there: one empty entry, as the viewer has always received it.
    const QString empty = dir.path() + QStringLiteral("/empty");
    ASSERT_TRUE(QDir().mkpath(empty));
    EXPECT_EQ(hotFolderPictures(empty), QStringList{QString()});
}

// Revealing a folder starts the file browser and goes on at once, even where the browser
// stays in the foreground until its window closes.
TEST(AppSupport, RevealDoesNotWaitForTheFileBrowser) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString bin = dir.path() + QStringLiteral("/bin");
    const QString opened = dir.path() + QStringLiteral("/opened");
    const QString folder = dir.path() + QStringLiteral("/it's here");
    ASSERT_TRUE(QDir().mkpath(bin));
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile fake(bin + QStringLiteral("/xdg-open"));
    ASSERT_TRUE(fake.open(QIODevice::WriteOnly));
    fake.write(QStringLiteral("#!/bin/sh\nexec >/dev/null 2>&1\nprintf '%s' \"$1\" > '%1'\n"
                              "exec sleep 5\n")
                   .arg(opened)
                   .toUtf8());
    fake.close();
    fake.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.toUtf8() + ':' + path);
    QElapsedTimer clock;
    clock.start();
    revealItemInFinder(folder);
    const qint64 took = clock.elapsed();
    qputenv("PATH", path);
    EXPECT_LT(took, 3000);
    ASSERT_TRUE(test::waitUntil([&] { return QFileInfo(opened).size() > 0; }, 10000));
    QFile result(opened);
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(result.readAll()), folder);
}

TEST(AppSupport, RelauncherArgumentsCarryTheFlags) {
    EXPECT_EQ(relauncherArguments({}, QStringLiteral("/a/Z.app"), 42),
              (QStringList{QStringLiteral("/a/Z.app"), QStringLiteral("42"), QStringLiteral("1")}));
    const QVariantMap zero{{QStringLiteral("LSLaunchFlags"), 0}};
    EXPECT_EQ(relauncherArguments(zero, QStringLiteral("/a/Z.app"), 42).at(2), "0");
    const QVariantMap none{{QStringLiteral("sender"), QStringLiteral("x")}};
    EXPECT_EQ(relauncherArguments(none, QStringLiteral("/a/Z.app"), 42).at(2), "0");
}

// The relauncher waits for the process to end, then starts the bundle's program with nothing
// but --headless, and that only when the ended run had no window.
TEST(AppSupport, RelauncherStartsTheProgramWithoutArgumentsOrHeadless) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString bundle = dir.filePath(QStringLiteral("Zarv.app"));
    ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")));
    {
        QFile info(bundle + QStringLiteral("/Contents/Info.plist"));
        ASSERT_TRUE(info.open(QIODevice::WriteOnly));
        info.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable"
                   "</key><string>Zarv</string></dict></plist>");
    }
    const QString record = dir.filePath(QStringLiteral("started"));
    {
        QFile program(bundle + QStringLiteral("/Contents/MacOS/Zarv"));
        ASSERT_TRUE(program.open(QIODevice::WriteOnly));
        program.write(QStringLiteral("#!/bin/sh\necho \"$# $* headless=$ZARV_RELAUNCH_HEADLESS\" "
                                     ">> '%1'\n")
                          .arg(record)
                          .toUtf8());
        program.setPermissions(program.permissions() | QFileDevice::ExeOwner);
    }
    for (const bool headless : {false, true}) {
        QProcess ended;
        ended.start(QStringLiteral("true"), {});
        ASSERT_TRUE(ended.waitForStarted());
        const QString pid = QString::number(ended.processId());
        ASSERT_TRUE(ended.waitForFinished());
        QProcess relauncher;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("ZARV_RELAUNCH_HEADLESS"));
        if (headless)
            env.insert(QStringLiteral("ZARV_RELAUNCH_HEADLESS"), QStringLiteral("1"));
        relauncher.setProcessEnvironment(env);
        relauncher.start(QStringLiteral(ZARV_APP_DIR "/Contents/Resources/relaunch"),
                         {bundle, pid, QStringLiteral("1")});
        ASSERT_TRUE(relauncher.waitForFinished(10000));
        EXPECT_EQ(relauncher.exitCode(), 0) << relauncher.readAllStandardError().toStdString();
    }
    QFile started(record);
    ASSERT_TRUE(started.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(started.readAll()),
              QStringLiteral("0  headless=\n1 --headless headless=\n"));
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
