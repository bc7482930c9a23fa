#include "platform/Path.h"

#include "platform/Bundle.h"
#include "platform/Log.h"

#include "../TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace zarv;
using zarv::test::ScopedEnvironment;

namespace {

mode_t modeOf(const QString& path) {
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

// What the folder functions log while `run` runs.
QString logOf(const std::function<void()>& run) {
    QStringList lines;
    Log::install("test_platform");
    Log::setSink([&](QtMsgType, const QString& line) { lines << line; });
    run();
    Log::setSink({});
    return lines.join(u'\n');
}

} // namespace

TEST(Path, ExpandsOnlyALeadingTildeAndStandardizes) {
    const QString home = QDir::homePath();
    EXPECT_EQ(expandingTildeInPath("~"), home);
    EXPECT_EQ(expandingTildeInPath("~/Pictures/Hot"), home + "/Pictures/Hot");
    EXPECT_EQ(expandingTildeInPath("~other/x"), "~other/x");
    EXPECT_EQ(expandingTildeInPath("/tmp/~/x"), "/tmp/~/x");
    EXPECT_EQ(standardizingPath("~/a/./b/../c//"), home + "/a/c");
    EXPECT_EQ(standardizingPath(""), "");
}

TEST(TemporaryFolder, ComesFromTmpdirThenTheRuntimeFolderThenAFolderOfOurOwnInTmp) {
    QTemporaryDir tmpdir;
    QTemporaryDir runtime;
    {
        ScopedEnvironment a("TMPDIR", tmpdir.path() + "/");
        ScopedEnvironment b("XDG_RUNTIME_DIR", runtime.path());
        EXPECT_EQ(userTemporaryDirectory(), tmpdir.path());
    }
    {
        // A relative TMPDIR would depend on the working folder: not used.
        ScopedEnvironment a("TMPDIR", QString("tmp"));
        ScopedEnvironment b("XDG_RUNTIME_DIR", runtime.path());
        EXPECT_EQ(userTemporaryDirectory(), runtime.path());
    }
    {
        ScopedEnvironment a("TMPDIR", std::nullopt);
        ScopedEnvironment b("XDG_RUNTIME_DIR", std::nullopt);
        const QString shared = userTemporaryDirectory();
        EXPECT_TRUE(shared.startsWith("/tmp/")) << shared.toStdString();
        EXPECT_TRUE(shared.endsWith(QStringLiteral("-%1").arg(geteuid()))) << shared.toStdString();
        EXPECT_EQ(modeOf(shared), 0700u);
        EXPECT_EQ(QFileInfo(shared).ownerId(), geteuid());
    }
}

TEST(TemporaryFolder, IsMadePrivateAndOnlyWhenAsked) {
    QTemporaryDir tmpdir;
    ScopedEnvironment env("TMPDIR", tmpdir.path());
    const QString expected = tmpdir.filePath("com.example.scratch");

    EXPECT_EQ(privateTemporaryFolder("com.example.scratch", IfMissing::GiveNothing), QString());
    EXPECT_FALSE(QFileInfo::exists(expected));
    const mode_t umask = ::umask(0); // made 0700 whatever the umask lets through
    EXPECT_EQ(privateTemporaryFolder("com.example.scratch"), expected);
    ::umask(umask);
    EXPECT_EQ(modeOf(expected), 0700u);
    // Ours but left open to others by an older version: narrowed, then used.
    ASSERT_EQ(::chmod(QFile::encodeName(expected).constData(), 0705), 0);
    EXPECT_EQ(privateTemporaryFolder("com.example.scratch", IfMissing::GiveNothing), expected);
    EXPECT_EQ(modeOf(expected), 0700u);

    // The program's own is named after its bundle identifier.
    Bundle::setMainBundlePath(ZARV_APP_DIR);
    EXPECT_EQ(temporaryFolderForApplication(), tmpdir.filePath("com.quellbay.ZarvNikonCapture"));
    Bundle::setMainBundlePath({});
}

TEST(TemporaryFolder, RefusesALinkOrAFileInItsPlace) {
    QTemporaryDir tmpdir;
    ScopedEnvironment env("TMPDIR", tmpdir.path());
    // Planted by someone hoping we write into a place of their choosing.
    const QString elsewhere = tmpdir.filePath("elsewhere");
    ASSERT_TRUE(QDir().mkdir(elsewhere));
    ASSERT_EQ(::chmod(QFile::encodeName(elsewhere).constData(), 0705), 0);
    const QString link = tmpdir.filePath("com.example.link");
    ASSERT_TRUE(QFile::link(elsewhere, link));
    for (IfMissing ifMissing : {IfMissing::Create, IfMissing::GiveNothing}) {
        QString result = "unset";
        const QString log =
            logOf([&] { result = privateTemporaryFolder("com.example.link", ifMissing); });
        EXPECT_EQ(result, QString());
        EXPECT_TRUE(log.contains(link) && log.contains("link")) << log.toStdString();
    }
    EXPECT_EQ(modeOf(elsewhere), 0705u); // the link's target is left alone

    const QString file = tmpdir.filePath("com.example.file");
    QFile plain(file);
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    const QString log =
        logOf([] { EXPECT_EQ(privateTemporaryFolder("com.example.file"), QString()); });
    EXPECT_TRUE(log.contains(file) && log.contains("not a folder")) << log.toStdString();
}

TEST(TemporaryFolder, RefusesAFolderOfAnotherUser) {
    QTemporaryDir tmpdir;
    ScopedEnvironment env("TMPDIR", tmpdir.path());
    const QString theirs = tmpdir.filePath("com.example.theirs");
    ASSERT_TRUE(QDir().mkdir(theirs));
    const uid_t other = geteuid() == 65534 ? 65533 : 65534;
    if (::chown(QFile::encodeName(theirs).constData(), other, static_cast<gid_t>(-1)) != 0)
        GTEST_SKIP() << "cannot give a folder to another user here: " << std::strerror(errno);
    const QString log = logOf([] {
        EXPECT_EQ(privateTemporaryFolder("com.example.theirs"), QString());
        EXPECT_EQ(privateTemporaryFolder("com.example.theirs", IfMissing::GiveNothing), QString());
    });
    EXPECT_TRUE(log.contains(theirs) && log.contains(QString::number(other))) << log.toStdString();
}
