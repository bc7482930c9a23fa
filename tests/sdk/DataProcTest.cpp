// Assembling and saving pictures, and the console procedures.

#include "SdkTestSupport.h"

#include "../TestSupport.h"
#include "messaging/OutboundNotifications.h"
#include "platform/DistributedNotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace zarv;
using namespace zarv::test;

namespace {

class DataProcTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSettings(); }
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), folder.path());
        g_bFileRemoved = false;
    }
    void TearDown() override {
        DiscardPicture(&rec);
        SetMaidAllocationLimit(-1);
    }

    static tagNkMAIDFileInfo fileInfo(uint32_t kind, uint32_t type, uint32_t total, uint32_t len,
                                      bool removed = false) {
        tagNkMAIDFileInfo info{};
        info.ulType = kind | kNkMAIDDataObjType_File;
        info.ulFileDataType = type;
        info.ulTotalLength = total;
        info.ulLength = len;
        info.fRemoveObject = removed;
        return info;
    }

    // A piece where a module puts it: right after the last one.
    int32_t send(tagNkMAIDFileInfo info, const char* bytes) {
        info.ulStart = rec.ulOffset;
        return sendAt(info, bytes);
    }
    int32_t sendAt(tagNkMAIDFileInfo info, const char* bytes) {
        return DataProc(ptrToWord(&rec), &info, const_cast<char*>(bytes));
    }

    // Hidden files too: a temporary file left behind counts.
    QStringList files() const {
        return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    QStringList pictures() const { return QDir(folder.path()).entryList(QDir::Files, QDir::Name); }

    QTemporaryDir folder;
    tagDataRecord rec{};
};

TEST_F(DataProcTest, APictureInOnePieceOrManyIsWrittenAndAnnouncedOnce) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    QStringList announced;
    const auto token = center.addObserver(sZarvXNotification, [&](const Notification& n) {
        announced << n.userInfo.value(QStringLiteral("filePath")).toString();
    });
    // Posts leave from the event loop: give them time to arrive, or to show up twice.
    auto settle = [] { waitUntil([] { return false; }, 300); };

    const int before = gNikonCameraCaptureCount;
    ASSERT_EQ(send(fileInfo(kNkMAIDDataObjType_Image, kNkMAIDFileDataType_JPEG, 5, 5), "hello"), 0);
    EXPECT_EQ(gNikonCameraCaptureCount, before + 1);
    EXPECT_EQ(rec.pBuffer, 0u);
    EXPECT_EQ(rec.ulOffset, 0u);
    settle();
    ASSERT_EQ(pictures().size(), 1);
    EXPECT_EQ(announced, QStringList{folder.filePath(pictures()[0])});

    // Three pieces: nothing on disk and nothing announced until the last.
    const QByteArray whole = "0123456789abcdef";
    rec = {};
    ASSERT_EQ(send(fileInfo(1, 1, 16, 6), whole.constData()), 0);
    ASSERT_EQ(send(fileInfo(1, 1, 16, 6), whole.constData() + 6), 0);
    EXPECT_EQ(pictures().size(), 1) << "no name before the last piece";
    EXPECT_EQ(rec.ulOffset, 12u);
    settle();
    EXPECT_EQ(announced.size(), 1);
    ASSERT_EQ(send(fileInfo(1, 1, 16, 4), whole.constData() + 12), 0);
    const QStringList names = files();
    ASSERT_EQ(names.size(), 2);
    const QRegularExpression pattern("^Image_\\d{17}\\.jpg$");
    QStringList paths;
    for (const QString& name : names) {
        EXPECT_TRUE(pattern.match(name).hasMatch()) << name.toStdString();
        paths << folder.filePath(name);
    }
    QStringList contents;
    for (const QString& name : names) {
        QFile f(folder.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        contents << QString::fromLatin1(f.readAll());
    }
    contents.sort();
    EXPECT_EQ(contents, QStringList({"0123456789abcdef", "hello"}));
    EXPECT_EQ(gNikonCameraCaptureCount, before + 2);
    settle();
    center.removeObserver(token);
    announced.sort();
    EXPECT_EQ(announced, paths) << "each picture once, by its full path";
}

TEST_F(DataProcTest, PicturesCompletedTogetherKeepTheirOwnNames) {
    for (int i = 0; i < 5; ++i) {
        rec = {};
        ASSERT_EQ(send(fileInfo(1, 1, 1, 1), "x"), 0);
    }
    EXPECT_EQ(files().size(), 5);
}

TEST_F(DataProcTest, FileTypesAndPrefixes) {
    struct Case {
        uint32_t kind, type;
        const char* pattern;
    } cases[] = {
        {kNkMAIDDataObjType_Image, kNkMAIDFileDataType_TIFF, "^Image_\\d{17}\\.tif$"},
        {kNkMAIDDataObjType_Image, kNkMAIDFileDataType_NEF, "^Image_\\d{17}\\.nef$"},
        {kNkMAIDDataObjType_Image, kNkMAIDFileDataType_NDF, "^Image_\\d{17}\\.ndf$"},
        {kNkMAIDDataObjType_Image, 3, "^Image_\\d{17}\\.dat$"},
        {kNkMAIDDataObjType_Thumbnail, 8, "^Thumb_\\d{17}\\.dat$"},
        {kNkMAIDDataObjType_Image | kNkMAIDDataObjType_Thumbnail, 1, "^Image_\\d{17}\\.jpg$"},
        {kNkMAIDDataObjType_Video, 1, "^Unknown_\\d{17}\\.jpg$"},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), dir.path());
        rec = {};
        ASSERT_EQ(send(fileInfo(c.kind, c.type, 2, 2), "ab"), 0);
        const QStringList names = QDir(dir.path()).entryList(QDir::Files);
        ASSERT_EQ(names.size(), 1);
        EXPECT_TRUE(QRegularExpression(c.pattern).match(names[0]).hasMatch())
            << names[0].toStdString();
    }
}

TEST_F(DataProcTest, OnlyARemovedImageSetsTheRemovedFlag) {
    ASSERT_EQ(send(fileInfo(kNkMAIDDataObjType_Thumbnail, 1, 1, 1, true), "t"), 0);
    EXPECT_FALSE(g_bFileRemoved);
    rec = {};
    ASSERT_EQ(send(fileInfo(kNkMAIDDataObjType_Image, 1, 1, 1, false), "i"), 0);
    EXPECT_FALSE(g_bFileRemoved);
    rec = {};
    ASSERT_EQ(send(fileInfo(kNkMAIDDataObjType_Image, 1, 1, 1, true), "i"), 0);
    EXPECT_TRUE(g_bFileRemoved);
}

TEST_F(DataProcTest, TheRowLayoutNumbersItsFilesInTheCurrentFolder) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    QFile taken(folder.filePath("Image002.raw"));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("old");
    taken.close();
    tagNkMAIDImageInfo info{};
    info.ulType = kNkMAIDDataObjType_Image;
    info.ulTotalRows = 2;
    info.ulRowBytes = 3;
    info.ulRows = 1;
    info.fRemoveObject = 1;
    const int before = gNikonCameraCaptureCount;
    for (int picture = 0; picture < 2; ++picture) {
        rec = {};
        ASSERT_EQ(DataProc(ptrToWord(&rec), &info, const_cast<char*>("abc")), 0);
        ASSERT_EQ(DataProc(ptrToWord(&rec), &info, const_cast<char*>("def")), 0);
    }
    QDir::setCurrent(previous);
    EXPECT_EQ(files(), QStringList({"Image001.raw", "Image002.raw", "Image003.raw"}));
    QFile third(folder.filePath("Image003.raw"));
    ASSERT_TRUE(third.open(QIODevice::ReadOnly));
    EXPECT_EQ(third.readAll(), "abcdef");
    EXPECT_TRUE(g_bFileRemoved);
    EXPECT_EQ(gNikonCameraCaptureCount, before) << "rows are not counted";
}

TEST_F(DataProcTest, PiecesThatWouldOverflowTheBufferAreRefused) {
    // More than announced.
    EXPECT_EQ(send(fileInfo(1, 1, 4, 3), "abc"), 0);
    EXPECT_EQ(send(fileInfo(1, 1, 4, 3), "def"), kNkMAIDResult_OutOfMemory);
    EXPECT_EQ(rec.pBuffer, 0u);
    EXPECT_EQ(send(fileInfo(1, 1, 4, 1), "g"), kNkMAIDResult_OutOfMemory) << "the rest too";
    // A total of zero; a total that changes half-way.
    rec = {};
    EXPECT_EQ(send(fileInfo(1, 1, 0, 0), ""), kNkMAIDResult_OutOfMemory);
    rec = {};
    EXPECT_EQ(send(fileInfo(1, 1, 4, 2), "ab"), 0);
    EXPECT_EQ(send(fileInfo(1, 1, 400, 2), "cd"), kNkMAIDResult_OutOfMemory);
    // Rows whose product does not fit 32 bits.
    rec = {};
    tagNkMAIDImageInfo rows{};
    rows.ulType = kNkMAIDDataObjType_Image;
    rows.ulTotalRows = 0x10000;
    rows.ulRowBytes = 0x10001;
    rows.ulRows = 1;
    EXPECT_EQ(DataProc(ptrToWord(&rec), &rows, const_cast<char*>("x")), kNkMAIDResult_OutOfMemory);
    EXPECT_TRUE(files().isEmpty());
    // Memory that cannot be had.
    rec = {};
    SetMaidAllocationLimit(0);
    EXPECT_EQ(send(fileInfo(1, 1, 4, 2), "ab"), kNkMAIDResult_OutOfMemory);
    SetMaidAllocationLimit(-1);
    rec = {};
    rec.ulOffset = 2; // bytes received, but the buffer is gone
    EXPECT_EQ(send(fileInfo(1, 1, 4, 2), "ab"), kNkMAIDResult_OutOfMemory);
}

// Pieces are written as they come: one that does not start where the last one ended (a late
// piece of an earlier transfer, one sent twice) is refused, and nothing is saved.
TEST_F(DataProcTest, APieceOutOfPlaceIsRefusedAndNothingSaved) {
    for (const uint32_t start : {0u, 6u, 3u}) {
        SCOPED_TRACE(start);
        ASSERT_EQ(send(fileInfo(1, 1, 12, 3), "abc"), 0);
        tagNkMAIDFileInfo info = fileInfo(1, 1, 12, 3);
        info.ulStart = start;
        if (start == 3) {
            EXPECT_EQ(sendAt(info, "def"), 0) << "the next piece in its place";
        } else {
            EXPECT_EQ(sendAt(info, "xyz"), kNkMAIDResult_OutOfMemory);
            EXPECT_EQ(send(fileInfo(1, 1, 12, 9), "ghijklmno"), kNkMAIDResult_OutOfMemory)
                << "the rest too";
            EXPECT_TRUE(files().isEmpty()) << "nothing of it is kept";
        }
        DiscardPicture(&rec);
        rec = tagDataRecord{};
    }
    EXPECT_TRUE(files().isEmpty());
}

TEST_F(DataProcTest, TheSaveFolderIsCreatedAndPathsOfAnyLengthWork) {
    QString deep = folder.path();
    for (int i = 0; i < 12; ++i)
        deep += QStringLiteral("/a-rather-long-folder-name-%1").arg(i);
    ASSERT_GT(deep.toUtf8().size(), 300);
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), deep);
    ASSERT_EQ(send(fileInfo(1, 1, 2, 2), "ok"), 0);
    EXPECT_EQ(QDir(deep).entryList(QDir::Files).size(), 1);
}

TEST_F(DataProcTest, AFolderThatCannotBeMadeFailsWithMinus117) {
    QFile blocker(folder.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"),
                                       folder.filePath("file/sub"));
    const int before = gNikonCameraCaptureCount;
    EXPECT_EQ(send(fileInfo(1, 1, 2, 2), "no"), kNkMAIDResult_FileError);
    EXPECT_EQ(rec.pBuffer, 0u);
    EXPECT_EQ(gNikonCameraCaptureCount, before);
}

TEST_F(DataProcTest, AShortWriteLeavesNothingBehind) {
    // A file-size limit makes the write come up short, like a full disk.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<char> big(5000, 'z');
    const int before = gNikonCameraCaptureCount;
    const int32_t result = send(fileInfo(1, 1, 5000, 5000), big.data());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(result, kNkMAIDResult_FileError);
    EXPECT_TRUE(files().isEmpty()) << files().join(",").toStdString();
    EXPECT_EQ(gNikonCameraCaptureCount, before);
}

TEST(UIRequest, WithoutAConsoleTheSafeChoiceIsTaken) {
    const int saved = dup(STDIN_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    ASSERT_GE(devNull, 0);
    dup2(devNull, STDIN_FILENO);
    tagNkMAIDUIRequestInfo request{};
    const char* text = "Format the card?";
    request.lpPrompt = ptrToWord(text);
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 1}, {1, 2}, {2, 4}, {3, 2}, {9, 0}};
    for (const auto& [type, answer] : cases) {
        request.ulType = type;
        EXPECT_EQ(UIRequestProc(0, &request), answer) << type;
    }
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(devNull);
}

} // namespace
