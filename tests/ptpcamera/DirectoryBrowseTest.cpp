// The real libgphoto2 through the module's layer, with its "Directory Browse" camera over a
// folder (port disk:PATH): listing, the announced size and time, whole-file reads, deletion,
// and the whole module downloading from it.

#include "Layer.h"
#include "PtpClient.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <dlfcn.h>

using namespace zarv;
using namespace zarv::ptp;
using namespace zarv::ptp::test;

namespace {

class DirectoryBrowse : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // libgphoto2's port drivers load libudev and unload it again; ThreadSanitizer's
        // suppressions for it need the library to stay (the program links it for good).
        ASSERT_NE(dlopen("libudev.so.1", RTLD_NOW | RTLD_NODELETE), nullptr) << dlerror();
#endif
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("DCIM/100TEST")));
        bytes.resize(2'500'000);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 7 + i / 4093) & 0xff);
        QFile f(dir.filePath(QStringLiteral("DCIM/100TEST/DSC_0001.JPG")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes.data(), qint64(bytes.size()));
        f.close();
        which = {"Directory Browse", "disk:" + dir.path().toStdString(), 0, true};
        const int rc = libgphoto2Layer().open(which, &camera);
        if (rc < kGpOk)
            GTEST_SKIP() << "libgphoto2's Directory Browse camera cannot be opened here: "
                         << resultText(rc);
    }

    QTemporaryDir dir;
    std::string bytes;
    FoundCamera which;
    std::unique_ptr<Camera> camera;
};

TEST_F(DirectoryBrowse, ListsReadsInPiecesChecksSizeAndDeletes) {
    std::vector<std::string> files, folders;
    ASSERT_GE(camera->list("/DCIM/100TEST", &files, &folders), kGpOk);
    ASSERT_EQ(files, std::vector<std::string>{"DSC_0001.JPG"});
    folders.clear();
    files.clear();
    ASSERT_GE(camera->list("/DCIM", &files, &folders), kGpOk);
    EXPECT_EQ(folders, std::vector<std::string>{"100TEST"});

    const FilePath shot{"/DCIM/100TEST", "DSC_0001.JPG"};
    FileInfo info;
    ASSERT_GE(camera->fileInfo(shot, &info), kGpOk);
    EXPECT_TRUE(info.hasSize);
    EXPECT_EQ(info.size, bytes.size());
    EXPECT_GT(info.mtime, 0);

    std::string whole;
    ASSERT_GE(camera->get(shot,
                          [&whole](const char* b, uint64_t n) {
                              whole.append(b, n);
                              return int(kGpOk);
                          }),
              kGpOk);
    EXPECT_TRUE(whole == bytes);

    // This driver has no partial reads, and says so (the module then takes the whole file).
    std::vector<char> piece(1 << 20);
    uint64_t n = piece.size();
    EXPECT_EQ(camera->read(shot, 0, piece.data(), &n), kGpNotSupported);

    ASSERT_GE(camera->remove(shot), kGpOk);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("DCIM/100TEST/DSC_0001.JPG"))));
    EXPECT_LT(camera->fileInfo(shot, &info), kGpOk);
    camera->exit();
}

TEST_F(DirectoryBrowse, TheModuleDownloadsFromIt) {
    camera->exit();
    camera.reset();
    // A layer that finds only this folder's camera, offered as a USB camera (the module never
    // offers a disk), and opens it with the real library.
    struct OneFolder : Layer {
        FoundCamera which;
        int detect(std::vector<FoundCamera>* cameras) override {
            FoundCamera asUsb = which;
            asUsb.port = "usb:001,002";
            cameras->push_back(asUsb);
            return kGpOk;
        }
        int open(const FoundCamera&, std::unique_ptr<Camera>* c) override {
            return libgphoto2Layer().open(which, c);
        }
    } layer;
    layer.which = which;
    Options o;
    o.layer = &layer;
    o.listCard = true;
    o.pollMs = 10;
    setOptions(o);

    PtpClient client;
    ASSERT_TRUE(client.openModule());
    ASSERT_EQ(client.openSource(), kNkMAIDResult_NoError);
    ASSERT_EQ(client.call(&client.source, kNkMAIDCommand_EnumChildren, 0, 0, 0),
              kNkMAIDResult_NoError);
    const uint32_t id = client.waitForItem();
    ASSERT_NE(id, 0u);
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion(30));
    EXPECT_EQ(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_TRUE(client.received == bytes);
    EXPECT_EQ(client.pieces.size(), 3u);

    // The picture changes size on the card after it was announced: the download says so.
    client.call(&client.item, kNkMAIDCommand_Close, 0, 0, 0);
    QFile::resize(dir.filePath(QStringLiteral("DCIM/100TEST/DSC_0001.JPG")), 1'000'000);
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion(30));
    EXPECT_NE(client.lastResult, kNkMAIDResult_NoError);
    EXPECT_EQ(client.received.size(), 1'000'000u);
    client.closeModule();
    setOptions({});
}

} // namespace
