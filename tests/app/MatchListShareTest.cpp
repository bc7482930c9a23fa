#include "app/MatchListShare.h"
#include "modules/LookupTable.h"
#include "modules/ModulesTestSupport.h"
#include "platform/PropertyList.h"

#include "ShareStub.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace zarv;
using namespace zarv::test;

namespace {

const QString kXdgEmail = QStringLiteral("xdg-email");

QVariantMap factoryList() {
    return {{QStringLiteral("LookupTable"),
             QVariantMap{{QStringLiteral("D800"),
                          lookupEntry(QStringLiteral("D800"),
                                      QStringLiteral("Type0007 Module.bundle"), 0x0422)}}}};
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What composeEmail reported, once it did.
struct Outcome {
    bool done = false;
    int calls = 0;
    QString failure;
    std::function<void(const QString&)> callback() {
        return [this](const QString& f) {
            done = true;
            ++calls;
            failure = f;
        };
    }
};

TEST(MatchListShare, ButtonsChooseTheirShareWhateverTheCase) {
    const auto check = [](const char* id, bool ctrl, bool message, bool email, bool save) {
        const MatchListActions a = matchListActions(QLatin1String(id), ctrl);
        EXPECT_EQ(a.message, message) << id << ctrl;
        EXPECT_EQ(a.email, email) << id << ctrl;
        EXPECT_EQ(a.saveToFile, save) << id << ctrl;
    };
    check("email", false, false, true, false);
    check("EMail", true, true, false, false); // Ctrl turns the e-mail into a message
    check("iMessage", false, true, false, false);
    check("imessage", true, true, false, false);
    check("SaveToFile", true, false, false, true);
    check("print", false, false, false, false);
    check("", true, false, false, false);
}

TEST(MatchListShare, TwoPressesInOneSecondGiveOneFileName) {
    QTemporaryDir tmp;
    const ScopedEnvironment env("TMPDIR", tmp.path());
    FakeApplication app(factoryList());
    UserDefaults defaults(tmp.filePath("d.plist"));
    const QDate day(2026, 12, 8);
    const auto first = createMatchListFile(defaults, QDateTime(day, QTime(13, 5, 9, 1)));
    const QVariantMap user{
        {QStringLiteral("Z8"), lookupEntry("Z8", "Type0031 Module.bundle", 0x0450)}};
    defaults.setObject(kPrefNikonLookupTable, user);
    const auto second = createMatchListFile(defaults, QDateTime(day, QTime(13, 5, 9, 999)));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second);
    EXPECT_TRUE(first->endsWith(QStringLiteral("/MatchedCameras_20261208130509.plist")));
    // The second press's contents won; only one file is there.
    EXPECT_EQ(PropertyList::readFile(*second).toMap().value(kPrefNikonLookupTable).toMap(), user);
    EXPECT_EQ(QDir(app.scratchFolder()).entryList(QDir::Files).size(), 1);
    // The next second gives the next name.
    const auto third = createMatchListFile(defaults, QDateTime(day, QTime(13, 5, 10)));
    ASSERT_TRUE(third);
    EXPECT_NE(*third, *first);
}

TEST(MatchListShare, SavingOverAnExistingFileReplacesIt) {
    QTemporaryDir dir;
    const QString source = dir.filePath("MatchedCameras_20261208130509.plist");
    const QString target = dir.filePath("kept/list.plist");
    ASSERT_TRUE(QDir().mkpath(dir.filePath("kept")));
    ASSERT_TRUE(writeFile(source, "<plist>new</plist>"));
    ASSERT_TRUE(writeFile(target, "an older and much longer file that must not show through"));

    LogCapture log;
    EXPECT_TRUE(saveMatchListCopy(source, dir.filePath("kept/../kept/list.plist")));
    EXPECT_EQ(readFile(target), QByteArray("<plist>new</plist>"));
    EXPECT_TRUE(log.contains(QStringLiteral("SAVED Matched Camera Module List to ") + target));
    EXPECT_EQ(QDir(dir.filePath("kept")).entryList(QDir::Files), QStringList{"list.plist"});
}

// Removing the old file before copying lost it whenever the copy then failed.
TEST(MatchListShare, AFailedCopyKeepsTheFileItWouldHaveReplaced) {
    QTemporaryDir dir;
    const QString target = dir.filePath("list.plist");
    ASSERT_TRUE(writeFile(target, "the user's earlier list"));
    LogCapture log;
    EXPECT_FALSE(saveMatchListCopy(dir.filePath("gone.plist"), target));
    EXPECT_EQ(readFile(target), QByteArray("the user's earlier list"));
    EXPECT_TRUE(log.contains(QStringLiteral("error in copyItemAtPath")));
    EXPECT_TRUE(
        log.contains(QStringLiteral("Did NOT Save Matched Camera Module List to ") + target));
    // A folder that is not there is a failure too, not a crash.
    const QString source = dir.filePath("new.plist");
    ASSERT_TRUE(writeFile(source, "x"));
    EXPECT_FALSE(saveMatchListCopy(source, dir.filePath("missing/list.plist")));
}

// The command line reaches xdg-email word for word: nothing in it is read by a shell.
TEST(MatchListShare, EmailCommandLineReachesXdgEmailAsGiven) {
    StubPath stub;
    stub.addRecorder(kXdgEmail);
    QTemporaryDir dir;
    const QString file = dir.filePath("it's $(touch pwned).plist");
    ASSERT_TRUE(writeFile(file, "x"));
    const QString body = QStringLiteral("Here's my camera modules info...\n\nOS `uname`\n\n");

    Outcome outcome;
    composeEmail(QStringLiteral("Info Sent From ZarvNikonCapture.app"), body,
                 {file, dir.filePath("not-there.plist")}, QStringLiteral("support@example.org"),
                 outcome.callback());
    ASSERT_TRUE(waitUntil([&] { return outcome.done; }));
    EXPECT_EQ(outcome.failure, QString());
    EXPECT_EQ(stub.arguments(kXdgEmail),
              (QStringList{"--subject", "Info Sent From ZarvNikonCapture.app", "--body", body,
                           "--attach", file, "support@example.org"}));
    EXPECT_FALSE(QFile::exists(QDir::current().filePath("pwned")));
    EXPECT_FALSE(QFile::exists(dir.filePath("pwned")));

    // No recipient, and one that would read as an option, are both left out.
    for (const QString& recipient : {QString(), QStringLiteral("--utf8")}) {
        Outcome again;
        composeEmail(QStringLiteral("s"), QString(), {}, recipient, again.callback());
        ASSERT_TRUE(waitUntil([&] { return again.done; }));
        EXPECT_EQ(stub.arguments(kXdgEmail), (QStringList{"--subject", "s"}));
    }
}

TEST(MatchListShare, MissingXdgEmailIsReportedAtOnce) {
    StubPath emptyPath;
    LogCapture log;
    Outcome outcome;
    QElapsedTimer clock;
    clock.start();
    composeEmail(QStringLiteral("s"), QStringLiteral("b"), {}, QStringLiteral("a@example.org"),
                 outcome.callback());
    ASSERT_TRUE(waitUntil([&] { return outcome.done; }, 2000));
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(outcome.failure.contains(QStringLiteral("xdg-email was not found")));
    EXPECT_TRUE(log.contains(QStringLiteral("xdg-email was not found")));
}

TEST(MatchListShare, AFailingOrSlowXdgEmailEndsTheWaitOnce) {
    StubPath stub;
    // Exit code 3: xdg-email found no mail program.
    stub.addRecorder(kXdgEmail, QStringLiteral("exit 3"));
    Outcome failed;
    composeEmail(QStringLiteral("s"), QString(), {}, {}, failed.callback());
    ASSERT_TRUE(waitUntil([&] { return failed.done; }));
    EXPECT_TRUE(failed.failure.contains(QStringLiteral("no mail program")))
        << failed.failure.toStdString();

    // Still running at the time limit: handed over; its later end is not a second report.
    const QString ended = stub.path() + QStringLiteral("/ended");
    stub.addRecorder(kXdgEmail, QStringLiteral("sleep 1; touch '%1'; exit 4").arg(ended));
    Outcome slow;
    QElapsedTimer clock;
    clock.start();
    composeEmail(QStringLiteral("s"), QString(), {}, {}, slow.callback(),
                 std::chrono::milliseconds(100));
    ASSERT_TRUE(waitUntil([&] { return slow.done; }, 900));
    EXPECT_EQ(slow.failure, QString());
    LogCapture log;
    ASSERT_TRUE(
        waitUntil([&] { return log.contains(QStringLiteral("the mail program failed")); }, 5000));
    EXPECT_TRUE(QFile::exists(ended));
    EXPECT_EQ(slow.calls, 1);
}

} // namespace
