// The picture's file on its own: made unnamed or hidden, written piece by piece, named only when
// complete and never over another file, and gone without a trace when it is not finished.

#include "sdk/PictureFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zarv;

namespace {

using Scratch = PictureFile::Scratch;

// Every entry of a folder, hidden ones too: a scratch file left behind counts.
QStringList entries(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Whether the folder's file system makes unnamed files.
bool holdsUnnamedFiles(const QString& folder) {
    const int fd = ::open(folder.toLocal8Bit().constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

const QRegularExpression kHiddenName(QStringLiteral("^\\.zarv-transfer-[A-Za-z0-9]{6}$"));

auto only(const std::string& name) {
    return [name](int attempt) { return attempt == 0 ? name : std::string(); };
}

class PictureFileTest : public ::testing::TestWithParam<Scratch> {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    std::string folder() const { return dir.path().toStdString(); }
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir dir;
};

INSTANTIATE_TEST_SUITE_P(Scratch, PictureFileTest,
                         ::testing::Values(Scratch::Unnamed, Scratch::Hidden),
                         [](const auto& param) {
                             return param.param == Scratch::Unnamed ? std::string("Unnamed")
                                                                    : std::string("Hidden");
                         });

TEST_P(PictureFileTest, PiecesBecomeOneFileNamedOnlyWhenFinished) {
    const bool unnamed = GetParam() == Scratch::Unnamed && holdsUnnamedFiles(dir.path());
    PictureFile file;
    ASSERT_TRUE(file.begin(folder(), GetParam()));
    EXPECT_EQ(file.folder(), folder());
    ASSERT_TRUE(file.append("0123", 4));
    ASSERT_TRUE(file.append("", 0));
    ASSERT_TRUE(file.append("456789", 6));
    EXPECT_EQ(file.size(), 10u);

    // Until finished the picture has no name a reader of the folder could take for it.
    const QStringList during = entries(dir.path());
    if (unnamed) {
        EXPECT_TRUE(during.isEmpty()) << during.join(' ').toStdString();
    } else {
        ASSERT_EQ(during.size(), 1);
        EXPECT_TRUE(kHiddenName.match(during[0]).hasMatch()) << during[0].toStdString();
        EXPECT_EQ(contents(dir.filePath(during[0])), "0123456789") << "written as it arrives";
        struct stat st {};
        ASSERT_EQ(::stat(dir.filePath(during[0]).toLocal8Bit().constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u) << "readable as the picture it becomes";
    }

    std::string name;
    ASSERT_TRUE(file.finish(only("Image_1.jpg"), &name));
    EXPECT_EQ(name, "Image_1.jpg");
    EXPECT_EQ(entries(dir.path()), QStringList{"Image_1.jpg"}) << "the scratch name is gone";
    EXPECT_EQ(contents(path("Image_1.jpg")), "0123456789");
}

TEST_P(PictureFileTest, ANameTakenIsNeverReplaced) {
    writeFile(path("a.jpg"), "older");
    writeFile(path("b.jpg"), "old");
    PictureFile file;
    ASSERT_TRUE(file.begin(folder(), GetParam()));
    ASSERT_TRUE(file.append("new", 3));
    std::vector<int> asked;
    std::string name;
    ASSERT_TRUE(file.finish(
        [&](int attempt) {
            asked.push_back(attempt);
            return std::string(1, char('a' + attempt)) + ".jpg";
        },
        &name));
    EXPECT_EQ(name, "c.jpg");
    EXPECT_EQ(asked, (std::vector<int>{0, 1, 2})) << "the names in turn, up to the first free";
    EXPECT_EQ(contents(path("a.jpg")), "older");
    EXPECT_EQ(contents(path("b.jpg")), "old");
    EXPECT_EQ(contents(path("c.jpg")), "new");
    EXPECT_EQ(entries(dir.path()), QStringList({"a.jpg", "b.jpg", "c.jpg"}));
}

TEST_P(PictureFileTest, WhenEveryNameOfferedIsTakenNothingIsNamedAndNothingStays) {
    writeFile(path("a.jpg"), "older");
    {
        PictureFile file;
        ASSERT_TRUE(file.begin(folder(), GetParam()));
        ASSERT_TRUE(file.append("new", 3));
        std::string name;
        errno = 0;
        EXPECT_FALSE(file.finish(only("a.jpg"), &name));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(name, "a.jpg") << "the last name tried, for the caller's log";
    }
    EXPECT_EQ(entries(dir.path()), QStringList{"a.jpg"});
    EXPECT_EQ(contents(path("a.jpg")), "older");
}

TEST_P(PictureFileTest, AFileNotFinishedLeavesNothing) {
    {
        PictureFile file;
        ASSERT_TRUE(file.begin(folder(), GetParam()));
        ASSERT_TRUE(file.append("half a picture", 14));
    }
    EXPECT_TRUE(entries(dir.path()).isEmpty()) << entries(dir.path()).join(' ').toStdString();
    {
        PictureFile file; // never begun
    }
    EXPECT_TRUE(entries(dir.path()).isEmpty());
}

TEST_P(PictureFileTest, NoFileWhereNoneCanBeMade) {
    writeFile(path("plain"), "x");
    for (const std::string& where : {folder() + "/missing", folder() + "/plain"}) {
        SCOPED_TRACE(where);
        PictureFile file;
        errno = 0;
        EXPECT_FALSE(file.begin(where, GetParam()));
        EXPECT_NE(errno, 0);
    }
    EXPECT_EQ(entries(dir.path()), QStringList{"plain"});
}

// A folder that may not be written: read-only for its owner, or, since root writes anyway,
// marked immutable.
TEST_P(PictureFileTest, NoFileInAFolderThatCannotBeWritten) {
    const QString locked = dir.filePath("locked");
    ASSERT_TRUE(QDir().mkdir(locked));
    const int fd = ::open(locked.toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    bool immutable = false;
    if (int flags = 0; geteuid() == 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_IMMUTABLE_FL;
        immutable = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (!immutable)
        ::chmod(locked.toLocal8Bit().constData(), 0555);
    struct Unlock {
        int fd;
        bool immutable;
        QString locked;
        ~Unlock() {
            int f = 0;
            if (immutable && ioctl(fd, FS_IOC_GETFLAGS, &f) == 0) {
                f &= ~FS_IMMUTABLE_FL;
                ioctl(fd, FS_IOC_SETFLAGS, &f);
            }
            ::chmod(locked.toLocal8Bit().constData(), 0755);
            ::close(fd);
        }
    } unlock{fd, immutable, locked};
    const std::string probe = locked.toStdString() + "/probe";
    if (const int p = ::open(probe.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600); p >= 0) {
        ::close(p);
        ::unlink(probe.c_str());
        GTEST_SKIP() << "this folder cannot be made unwritable here";
    }

    PictureFile file;
    errno = 0;
    EXPECT_FALSE(file.begin(locked.toStdString(), GetParam()));
    EXPECT_TRUE(errno == EACCES || errno == EPERM) << std::strerror(errno);
    EXPECT_TRUE(entries(locked).isEmpty());
}

TEST_P(PictureFileTest, AShortWriteFailsAndLeavesNothing) {
    // A file-size limit cuts the write short, as a full disk does.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1000;
    const std::vector<char> big(5000, 'z');
    bool appended = true;
    int error = 0;
    {
        PictureFile file;
        ASSERT_TRUE(file.begin(folder(), GetParam()));
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        errno = 0;
        appended = file.append(big.data(), big.size());
        error = errno;
        setrlimit(RLIMIT_FSIZE, &old);
    }
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(appended);
    EXPECT_EQ(error, EFBIG);
    EXPECT_TRUE(entries(dir.path()).isEmpty()) << entries(dir.path()).join(' ').toStdString();
}

// A real full disk: a small tmpfs of its own, where this process may mount one.
TEST_P(PictureFileTest, AFullDiskFailsAndLeavesNothing) {
    const QString disk = dir.filePath("disk");
    ASSERT_TRUE(QDir().mkdir(disk));
    if (::mount("tmpfs", disk.toLocal8Bit().constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        QString at;
        ~Unmount() { ::umount2(at.toLocal8Bit().constData(), MNT_DETACH); }
    } unmount{disk};
    const std::vector<char> piece(16 * 1024, 'z');
    bool appended = true;
    int error = 0;
    {
        PictureFile file;
        ASSERT_TRUE(file.begin(disk.toStdString(), GetParam()));
        for (int i = 0; i < 16 && appended; ++i) {
            errno = 0;
            appended = file.append(piece.data(), piece.size());
            error = errno;
        }
    }
    EXPECT_FALSE(appended);
    EXPECT_EQ(error, ENOSPC);
    EXPECT_TRUE(entries(disk).isEmpty()) << entries(disk).join(' ').toStdString();
}

// The sweep at start knows the hidden names that a stopped transfer leaves.
TEST(PictureFileLeftovers, AHiddenFileOfAStoppedRunIsSweptAway) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    PictureFile file;
    ASSERT_TRUE(file.begin(dir.path().toStdString(), Scratch::Hidden));
    ASSERT_TRUE(file.append("left", 4));
    const QStringList left = entries(dir.path());
    ASSERT_EQ(left.size(), 1);
    // As if an earlier run had written it.
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.filePath(left[0]).toLocal8Bit().constData(), past, 0), 0);
    EXPECT_EQ(RemoveLeftoverTransferFiles(dir.path().toStdString()), 1);
    EXPECT_TRUE(entries(dir.path()).isEmpty());
}

} // namespace
