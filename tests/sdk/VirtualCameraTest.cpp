// The SDK client against the real virtual camera module, loaded through dlopen.

#include "SdkTestSupport.h"

#include "platform/Bundle.h"
#include "sdk/ModuleObjects.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <ctime>
#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

const QString kBundle = QStringLiteral(ZARV_MODULE_DIR "/ZarvVirtualCamera Module.bundle");
const QString kBundle32 = QStringLiteral(ZARV_MODULE_DIR "/ZarvVirtualCamera32 Module.bundle");

QByteArray sample(int n) {
    QFile f(kBundle + QStringLiteral("/Contents/Resources/sample%1.jpg").arg(n));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Mean squared difference between neighbouring pixels: the sharper, the higher.
double gradientEnergy(const QImage& picture) {
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    for (int y = 0; y + 1 < grey.height(); ++y) {
        const uchar *row = grey.constScanLine(y), *below = grey.constScanLine(y + 1);
        for (int x = 0; x + 1 < grey.width(); ++x)
            sum += (row[x + 1] - row[x]) * (row[x + 1] - row[x]) +
                   (below[x] - row[x]) * (below[x] - row[x]);
    }
    return sum / (double(grey.width()) * grey.height());
}

class VirtualCamera : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        usePrivateSettings();
        static Bundle* bundle = [] {
            auto* b = new Bundle(kBundle);
            QString error;
            EXPECT_TRUE(b->load(&error)) << error.toStdString();
            return b;
        }();
        entry = reinterpret_cast<LPMAIDEntryPointProc>(bundle->symbol("MAIDEntryPoint"));
        ASSERT_NE(entry, nullptr);
    }

    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        saveFolder = work.filePath("pictures");
        UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), saveFolder);
        g_pMAIDEntryPoint = entry;
        InitRefObj(&root);
    }

    void TearDown() override {
        if (root.object) {
            EXPECT_TRUE(Close_Module(&root));
        }
        UserDefaults::standard().removeObject(QString::fromLatin1(kMaidCommandTimeoutKey));
        qunsetenv("ZARV_VIRTUAL_CAMERA_CONFIG");
        g_pMAIDEntryPoint = nullptr;
    }

    // Opens the module with this configuration, as the session does.
    void openModule(const QString& config) {
        const QString path = work.filePath("camera.conf");
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(config.toUtf8());
        f.close();
        qputenv("ZARV_VIRTUAL_CAMERA_CONFIG", path.toUtf8());
        root.object = static_cast<tagNkMAIDObject*>(MaidAlloc(sizeof(tagNkMAIDObject)));
        std::memset(root.object, 0, sizeof(tagNkMAIDObject));
        root.object->refClient = ptrToWord(&root);
        ASSERT_TRUE(Command_Open(nullptr, root.object, 0));
        ASSERT_TRUE(EnumCapabilities(root.object, &root.capCount, &root.capInfos));
        ASSERT_TRUE(SetProc(&root));
        ASSERT_TRUE(Command_CapSet(root.object, kNkMAIDCapability_ModuleMode,
                                   kNkMAIDDataType_Unsigned, kNkMAIDModuleMode_Controller));
    }

    LPRefObj openSource() {
        uint32_t id = 0;
        EXPECT_TRUE(SelectSource(&root, &id));
        EXPECT_TRUE(AddChild(&root, int32_t(id)));
        return GetRefChildPtr_ID(&root, int32_t(id));
    }

    // The session's saving sequence: the first item's image data, to disk.
    static bool saveNext(LPRefObj source) {
        uint32_t itemId = 0;
        if (!SelectItem(source, &itemId) || itemId == 0)
            return false;
        LPRefObj item = GetRefChildPtr_ID(source, int32_t(itemId));
        if (!item) {
            if (!AddChild(source, int32_t(itemId)))
                return false;
            item = GetRefChildPtr_ID(source, int32_t(itemId));
        }
        uint32_t kind = 0;
        if (!SelectData(item, &kind) || kind != kNkMAIDDataObjType_Image)
            return false;
        g_bFileRemoved = false;
        const bool ok = ImageCommandLoop(item, kNkMAIDDataObjType_Image);
        if (g_bFileRemoved)
            RemoveChild(source, int32_t(itemId));
        return ok;
    }

    // A live-view frame read straight from the module, so that every answer is seen as it is.
    static int32_t readFrame(LPRefObj source, tagNkMAIDLiveViewFrame* frame, QByteArray* jpeg,
                             uint32_t room = 4 << 20) {
        jpeg->resize(room);
        *frame = {};
        frame->ulSize = room;
        frame->pData = ptrToWord(jpeg->data());
        const int32_t r =
            entry(source->object, kNkMAIDCommand_CapGet, kNkMAIDCapability_LiveViewFrame,
                  kNkMAIDDataType_LiveViewFramePtr, ptrToWord(frame), nullptr, 0);
        jpeg->resize(r == kNkMAIDResult_NoError ? int(frame->ulSize) : 0);
        return r;
    }
    // The next frame newer than the last one read, decoded.
    static QImage nextFrame(LPRefObj source, tagNkMAIDLiveViewFrame* frame) {
        QByteArray jpeg;
        int32_t r = kNkMAIDResult_NotAvailable;
        for (int i = 0; i < 2500 && r == kNkMAIDResult_NotAvailable; ++i) {
            if ((r = readFrame(source, frame, &jpeg)) == kNkMAIDResult_NotAvailable)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(r, kNkMAIDResult_NoError);
        return QImage::fromData(jpeg, "JPEG");
    }
    static bool setLiveView(LPRefObj source, uint32_t on) {
        return Command_CapSet(source->object, kNkMAIDCapability_LiveViewStatus,
                              kNkMAIDDataType_Unsigned, on);
    }

    QStringList saved() const {
        return QDir(saveFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    static inline LPMAIDEntryPointProc entry = nullptr;
    QTemporaryDir work;
    QString saveFolder;
    tagRefObj root;
};

TEST_F(VirtualCamera, TheTreeFollowsTheCamerasEvents) {
    openModule("pictures = 2\n");
    ASSERT_TRUE(EnumChildrten(root.object));
    ASSERT_EQ(root.childCount, 1u);
    LPRefObj source = root.children[0];
    EXPECT_EQ(source->object->ulType, uint32_t(kNkMAIDObjectType_Source));
    ASSERT_EQ(source->childCount, 2u) << "the source was asked for its pictures when it came";
    ASSERT_TRUE(EnumChildrten(source->object));
    ASSERT_EQ(source->childCount, 2u) << "announced again, opened once";
    for (uint32_t i = 0; i < 2; ++i) {
        LPRefObj item = source->children[i];
        EXPECT_EQ(item->object->ulType, uint32_t(kNkMAIDObjectType_Item));
        ASSERT_EQ(item->childCount, 1u);
        EXPECT_EQ(item->children[0]->id, int32_t(kNkMAIDDataObjType_Image));
        EXPECT_EQ(item->children[0]->object->ulType, uint32_t(kNkMAIDObjectType_DataObj));
    }

    // A shot adds an item that the source's event opens with its data.
    ASSERT_TRUE(IssueProcess(source, kNkMAIDCapability_Capture));
    for (int i = 0; i < 20 && source->childCount < 3; ++i)
        Command_Async(root.object);
    ASSERT_EQ(source->childCount, 3u);
    EXPECT_EQ(source->children[2]->childCount, 1u);
    uint32_t count = 0;
    EXPECT_TRUE(CheckIfNewItem(source, &count));
    EXPECT_EQ(count, 3u);
}

TEST_F(VirtualCamera, OffersEveryCapabilityOfTheTable) {
    openModule("model = Studio Left\n");
    LPRefObj source = openSource();
    ASSERT_NE(source, nullptr);
    struct Row {
        uint32_t id;
        uint32_t type;
    };
    const uint32_t E = kNkMAIDCapType_Enum, R = kNkMAIDCapType_Range, U = kNkMAIDCapType_Unsigned;
    const Row rows[] = {
        {0x8157, E}, {0x8110, E}, {0x8118, E}, {0x8117, E}, {0x822E, E}, {0x823F, E}, {0x8353, E},
        {0x8119, R}, {0x811A, R}, {0x811B, R}, {0x811C, R}, {0x811D, R}, {0x811E, R}, {0x811F, R},
        {53, E},     {0x8111, E}, {0x8113, E}, {0x8112, E}, {0x8121, E}, {0x8122, E}, {0x8114, R},
        {0x8115, R}, {1, U},      {9, U},      {54, U},     {58, U},     {0x8305, U}};
    ASSERT_EQ(std::size(rows), 27u);
    std::set<uint32_t> elementTypes;
    std::set<bool> continuous;
    for (const Row& row : rows) {
        const tagNkMAIDCapInfo* info = GetCapInfo(source, row.id);
        ASSERT_NE(info, nullptr) << row.id;
        EXPECT_EQ(info->ulType, row.type) << row.id;
        UserDefaults::standard().removeObject(QStringLiteral("prefLastNikonResponse"));
        const bool ok = row.type == E   ? GETEnumCapability(source, row.id)
                        : row.type == R ? GETRangeCapability(source, row.id)
                                        : GETUnsignedCapability(source, row.id);
        EXPECT_TRUE(ok) << row.id;
        const QVariantMap response =
            UserDefaults::standard().dictionaryForKey(QStringLiteral("prefLastNikonResponse"));
        EXPECT_TRUE(response.contains("currentsetting")) << row.id;
        if (row.type == E) {
            tagNkMAIDEnum e{};
            ASSERT_TRUE(
                Command_CapGet(source->object, row.id, kNkMAIDDataType_EnumPtr, ptrToWord(&e)));
            elementTypes.insert(e.ulType);
            EXPECT_GT(response.value("elements").toList().size(), 1) << row.id;
        }
        if (row.type == R) {
            tagNkMAIDRange r{};
            ASSERT_TRUE(
                Command_CapGet(source->object, row.id, kNkMAIDDataType_RangePtr, ptrToWord(&r)));
            continuous.insert(r.ulSteps == 0);
        }
    }
    EXPECT_EQ(elementTypes, (std::set<uint32_t>{2, 7, 8}));
    EXPECT_EQ(continuous, (std::set<bool>{false, true}));
    EXPECT_STREQ(GetCapInfo(source, kNkMAIDCapability_Name)->szDescription, "Studio Left");
    EXPECT_NE(GetCapInfo(source, kNkMAIDCapability_CameraType), nullptr);

    // Values written read back.
    ASSERT_TRUE(SETEnumCapability(source, kNkMAIDCapability_ImageSize, 2));
    ASSERT_TRUE(GETEnumCapability(source, kNkMAIDCapability_ImageSize));
    auto response = [] {
        return UserDefaults::standard().dictionaryForKey(QStringLiteral("prefLastNikonResponse"));
    };
    EXPECT_EQ(response().value("currentsetting").toInt(), 2);
    ASSERT_TRUE(SETEnumCapability(source, kNkMAIDCapability_CompressionLevel, 1));
    ASSERT_TRUE(GETEnumCapability(source, kNkMAIDCapability_CompressionLevel));
    EXPECT_EQ(response().value("currentsetting").toInt(), 1);
    ASSERT_TRUE(SETRangeCapability(source, kNkMAIDCapability_ExposureComp, 1.0));
    ASSERT_TRUE(GETRangeCapability(source, kNkMAIDCapability_ExposureComp));
    EXPECT_NEAR(response().value("currentsetting").toDouble(), 1.0, 1e-9);
    ASSERT_TRUE(SETRangeCapability(source, kNkMAIDCapability_FlexibleProgram, -1.5));
    ASSERT_TRUE(GETRangeCapability(source, kNkMAIDCapability_FlexibleProgram));
    EXPECT_DOUBLE_EQ(response().value("currentsetting").toDouble(), -1.5);
    EXPECT_FALSE(SETRangeCapability(source, kNkMAIDCapability_ExposureComp, 10.0))
        << "the camera refuses an index past its steps";
    ASSERT_TRUE(SETUnsignedCapability(source, kNkMAIDCapability_SaveMedia, 0));
    ASSERT_TRUE(GETUnsignedCapability(source, kNkMAIDCapability_SaveMedia));
    EXPECT_EQ(response().value("currentsetting").toInt(), 0);
}

TEST_F(VirtualCamera, PicturesArriveWholeInOnePieceOrMany) {
    openModule("pictures = 1\npiece_size = 1048576\n");
    LPRefObj source = openSource();
    const int before = gNikonCameraCaptureCount;
    ASSERT_TRUE(saveNext(source));
    QStringList names = saved();
    ASSERT_EQ(names.size(), 1);
    EXPECT_EQ(contents(QDir(saveFolder).filePath(names[0])), sample(1));
    EXPECT_FALSE(QImage(QDir(saveFolder).filePath(names[0])).isNull());
    EXPECT_EQ(gNikonCameraCaptureCount, before + 1);
    // The camera dropped the picture, and the tree followed.
    EXPECT_EQ(source->childCount, 0u);
    uint32_t count = 9;
    EXPECT_TRUE(CheckIfNewItem(source, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(saveNext(source)) << "nothing left";
    ASSERT_TRUE(Close_Module(&root));

    QDir(saveFolder).removeRecursively();
    openModule("pictures = 2\npiece_size = 997\n");
    source = openSource();
    ASSERT_TRUE(saveNext(source));
    ASSERT_TRUE(saveNext(source));
    names = saved();
    ASSERT_EQ(names.size(), 2);
    QList<QByteArray> got = {contents(QDir(saveFolder).filePath(names[0])),
                             contents(QDir(saveFolder).filePath(names[1]))};
    EXPECT_TRUE(got.contains(sample(1)));
    EXPECT_TRUE(got.contains(sample(2)));
}

TEST_F(VirtualCamera, LargePicturesOfItsOwnStayDecodable) {
    // A picture named beside the configuration file, padded to an odd size.
    QFile own(work.filePath("own.jpg"));
    ASSERT_TRUE(own.open(QIODevice::WriteOnly));
    own.write(sample(3));
    own.close();
    openModule("pictures = 1\npiece_size = 65536\npicture_size = 300001\npicture = own.jpg\n");
    LPRefObj source = openSource();
    ASSERT_TRUE(saveNext(source));
    const QStringList names = saved();
    ASSERT_EQ(names.size(), 1);
    const QString path = QDir(saveFolder).filePath(names[0]);
    EXPECT_EQ(QFileInfo(path).size(), 300001);
    const QImage image(path);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image, QImage::fromData(sample(3)));
}

TEST_F(VirtualCamera, TheRowLayout) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(work.path()));
    openModule("pictures = 1\nlayout = rows\nrow_bytes = 512\npiece_size = 4096\n");
    LPRefObj source = openSource();
    const bool ok = saveNext(source);
    QDir::setCurrent(previous);
    ASSERT_TRUE(ok);
    const QByteArray raw = contents(work.filePath("Image001.raw"));
    const QByteArray jpeg = sample(1);
    EXPECT_EQ(raw.size() % 512, 0);
    EXPECT_EQ(raw.left(jpeg.size()), jpeg);
    EXPECT_EQ(source->childCount, 0u) << "a removed image drops its item";
}

TEST_F(VirtualCamera, UnpluggedMidTransferReachesTheCallerAsMinus20AndLeavesNoFile) {
    openModule("pictures = 1\npiece_size = 1000\nfault_remove_after_pieces = 3\n");
    LPRefObj source = openSource();
    try {
        saveNext(source);
        ADD_FAILURE() << "the removal did not unwind";
    } catch (const MaidException& e) {
        EXPECT_EQ(e.code(), kNkMAIDResult_CameraRemoved);
    }
    EXPECT_EQ(root.childCount, 0u);
    EXPECT_TRUE(saved().isEmpty()) << saved().join(",").toStdString();
    uint32_t id = 0;
    EXPECT_FALSE(SelectSource(&root, &id)) << "no camera any more";
}

TEST_F(VirtualCamera, InjectedFaults) {
    openModule("fault_enum_restarts = 3\nfault_unavailable = 0x8157\n");
    LPRefObj source = openSource();
    ASSERT_NE(source, nullptr);
    EXPECT_GT(source->capCount, 27u);
    UserDefaults::standard().removeObject(QStringLiteral("prefLastNikonResponse"));
    EXPECT_FALSE(GETEnumCapability(source, kNkMAIDCapability_ImageSize));
    EXPECT_FALSE(UserDefaults::standard().objectForKey("prefLastNikonResponse").isValid());
    ASSERT_TRUE(Close_Module(&root));

    openModule("fault_refuse_open = 1\n");
    uint32_t id = 0;
    ASSERT_TRUE(SelectSource(&root, &id));
    EXPECT_FALSE(AddChild(&root, int32_t(id)));
    EXPECT_EQ(root.childCount, 0u);
    EXPECT_EQ(root.children, nullptr);
}

TEST_F(VirtualCamera, AnAcquireThatNeverCompletesGivesUp) {
    UserDefaults::standard().setObject(QString::fromLatin1(kMaidCommandTimeoutKey), 0.3);
    openModule("pictures = 1\nfault_never_complete = 20\n");
    LPRefObj source = openSource();
    EXPECT_FALSE(saveNext(source));
    EXPECT_TRUE(saved().isEmpty());
    // Closing the module completes what it still held (LeakSanitizer checks the records).
}

TEST_F(VirtualCamera, LyingSizesAreRefusedAndNothingIsWritten) {
    // Each announces less than it sends, or nothing, or more than 32 bits can count.
    for (const char* config :
         {"layout = file\nfault_lie_sizes = overflow\n", "layout = file\nfault_lie_sizes = zero\n",
          "layout = rows\nfault_lie_sizes = rows-overflow\n",
          "layout = rows\nrow_bytes = 512\nfault_lie_sizes = overflow\n"}) {
        const QString previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(work.path()));
        openModule(QStringLiteral("pictures = 1\npiece_size = 4096\n") + config);
        LPRefObj source = openSource();
        saveNext(source); // the refusal reaches the module, not the caller
        QDir::setCurrent(previous);
        EXPECT_TRUE(saved().isEmpty()) << config;
        EXPECT_FALSE(QFileInfo::exists(work.filePath("Image001.raw"))) << config;
        ASSERT_TRUE(Close_Module(&root));
    }
}

TEST_F(VirtualCamera, TheOperatorsShotsArriveOnTheirOwn) {
    openModule("auto_shot_interval = 0.05\n");
    LPRefObj source = openSource();
    for (int i = 0; i < 400 && source->childCount < 2; ++i) {
        Command_Async(root.object);
        usleep(2000);
    }
    EXPECT_GE(source->childCount, 2u);
}

// A burst's frames reach the card and the source's event procedure in shot order, each counted
// once as announced; a camera that keeps quiet still lists them.
TEST_F(VirtualCamera, ABurstIsAnnouncedFrameByFrameUnlessTheCameraKeepsQuiet) {
    openModule("burst = 5\n");
    LPRefObj source = openSource();
    const uint32_t before = g_ulItemsAnnounced.load();
    ASSERT_TRUE(IssueProcess(source, kNkMAIDCapability_Capture));
    for (int i = 0; i < 50 && source->childCount < 5; ++i)
        Command_Async(root.object);
    ASSERT_EQ(source->childCount, 5u);
    for (uint32_t i = 1; i < 5; ++i)
        EXPECT_LT(source->children[i - 1]->id, source->children[i]->id);
    EXPECT_EQ(g_ulItemsAnnounced.load() - before, 5u);
    ASSERT_TRUE(Close_Module(&root));

    openModule("burst = 3\nannounce_shots = no\n");
    source = openSource();
    const uint32_t quiet = g_ulItemsAnnounced.load();
    ASSERT_TRUE(IssueProcess(source, kNkMAIDCapability_Capture));
    for (int i = 0; i < 50; ++i)
        Command_Async(root.object);
    EXPECT_EQ(g_ulItemsAnnounced.load(), quiet);
    uint32_t count = 0;
    EXPECT_TRUE(CheckIfNewItem(source, &count));
    EXPECT_EQ(count, 3u);
}

// A limited link takes at least size / rate to deliver a picture, and waits without spinning:
// the thread doing the transfer sleeps through most of it.
TEST_F(VirtualCamera, ALimitedLinkPacesTheTransferWithoutSpinning) {
    openModule("pictures = 1\npicture_size = 2000000\npiece_size = 65536\nbandwidth = 10M\n");
    LPRefObj source = openSource();
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    QElapsedTimer wall;
    wall.start();
    ASSERT_TRUE(saveNext(source));
    const qint64 wallMs = wall.elapsed();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const double cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    ASSERT_EQ(saved().size(), 1);
    EXPECT_GE(QFileInfo(QDir(saveFolder).filePath(saved()[0])).size(), 2000000);
    EXPECT_GE(wallMs, 200) << "2 MB at 10 MB/s";
    EXPECT_LT(cpuMs, wallMs * 0.5) << "busy while waiting for the link";
}

TEST_F(VirtualCamera, LiveViewFramesAtTheirSizeRateAndFocus) {
    openModule("liveview_fps = 20\nliveview_size = 320x200\n");
    LPRefObj source = openSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(setLiveView(source, 1));
    QElapsedTimer running;
    running.start();
    tagNkMAIDLiveViewFrame frame{};
    uint64_t last = 0;
    for (int frames = 0; running.elapsed() < 1000; ++frames) {
        ASSERT_EQ(nextFrame(source, &frame).size(), QSize(320, 200));
        EXPECT_EQ(frame.ulWidth * 1000 + frame.ulHeight, 320200u);
        EXPECT_NEAR(frame.ulFocusLeft * 2.0 + frame.ulFocusWidth, 320, 1) << "centred";
        EXPECT_NEAR(frame.ulFocusTop * 2.0 + frame.ulFocusHeight, 200, 1);
        EXPECT_TRUE(frames == 0 || frame.ullSequence > last);
        last = frame.ullSequence;
    }
    // Frame n is due n / 20 s after the start; bounds wide enough for a loaded machine.
    EXPECT_GE(double(last), 20 * running.elapsed() / 1000.0 * 0.5 - 2);
    EXPECT_LE(double(last), 20 * running.elapsed() / 1000.0 * 1.5 + 2);
    ASSERT_TRUE(SETEnumCapability(source, kNkMAIDCapability_LiveViewImageSize, 1));
    EXPECT_EQ(nextFrame(source, &frame).size(), QSize(160, 100)) << "the smaller size: half";

    // Sharp at the scene's plane, the more blurred the further from it; zoomed to 100 %, the
    // squares are larger and their edges fewer.
    ASSERT_TRUE(SETEnumCapability(source, kNkMAIDCapability_LiveViewImageSize, 2));
    auto energyAt = [&](double focus) {
        EXPECT_TRUE(SETRangeCapability(source, kNkMAIDCapability_FocusPosition, focus));
        return gradientEnergy(nextFrame(source, &frame));
    };
    const double focused = energyAt(60), slightly = energyAt(55), far = energyAt(0);
    EXPECT_GT(focused, slightly);
    EXPECT_GT(slightly, far);
    EXPECT_GT(focused, 3 * far);
    ASSERT_TRUE(SETEnumCapability(source, kNkMAIDCapability_LiveViewImageZoomRate, 6));
    EXPECT_LT(energyAt(60), focused / 2);
}

// The command layer lends the module copies of the record and its buffer (the module may write
// them after the caller stopped waiting): the frame still lands in the caller's own buffer.
TEST_F(VirtualCamera, AFrameReadThroughTheCommandLayerLandsInTheCallersBuffer) {
    openModule("liveview_fps = 30\nliveview_size = 320x200\n");
    LPRefObj source = openSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(setLiveView(source, 1));
    QByteArray jpeg(1 << 20, '\0');
    tagNkMAIDLiveViewFrame frame{};
    bool read = false;
    for (int i = 0; i < 2500 && !read; ++i) {
        frame = {};
        frame.ulSize = uint32_t(jpeg.size());
        frame.pData = ptrToWord(jpeg.data());
        read = Command_CapGet(source->object, kNkMAIDCapability_LiveViewFrame,
                              kNkMAIDDataType_LiveViewFramePtr, ptrToWord(&frame));
        if (!read)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(read);
    EXPECT_EQ(frame.pData, ptrToWord(jpeg.data())) << "the caller's buffer, not the copy";
    jpeg.resize(int(frame.ulSize));
    EXPECT_EQ(QImage::fromData(jpeg, "JPEG").size(), QSize(320, 200));
    EXPECT_EQ(frame.ulWidth, 320u);
}

TEST_F(VirtualCamera, LiveViewReadsTooEarlyTooSmallOrStoppedAndARefusedStart) {
    openModule("liveview_fps = 0.5\n");
    LPRefObj source = openSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(setLiveView(source, 1));
    tagNkMAIDLiveViewFrame frame{};
    QByteArray jpeg;
    ASSERT_EQ(readFrame(source, &frame, &jpeg, 16), kNkMAIDResult_ValueOutOfRange);
    const uint32_t needed = frame.ulSize;
    EXPECT_GT(needed, 16u);
    EXPECT_EQ(frame.ulWidth * 1000 + frame.ulHeight, 1024680u) << "the default size";
    // The frame asked about waits for a read with room enough; the next is two seconds away.
    ASSERT_EQ(readFrame(source, &frame, &jpeg, needed), kNkMAIDResult_NoError);
    EXPECT_EQ(frame.ullSequence, 0u);
    EXPECT_EQ(QImage::fromData(jpeg, "JPEG").size(), QSize(1024, 680));
    EXPECT_EQ(readFrame(source, &frame, &jpeg), kNkMAIDResult_NotAvailable);
    ASSERT_TRUE(setLiveView(source, 0));
    EXPECT_EQ(readFrame(source, &frame, &jpeg), kNkMAIDResult_UnexpectedError);
    // Closing the camera stops it too.
    ASSERT_TRUE(setLiveView(source, 1));
    ASSERT_TRUE(RemoveChild(&root, source->id));
    source = openSource();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(readFrame(source, &frame, &jpeg), kNkMAIDResult_UnexpectedError);
    EXPECT_TRUE(Close_Module(&root));

    openModule("liveview_refuse = 0x5\n");
    source = openSource();
    ASSERT_NE(source, nullptr);
    EXPECT_FALSE(setLiveView(source, 1));
    EXPECT_EQ(readFrame(source, &frame, &jpeg), kNkMAIDResult_UnexpectedError) << "not running";
    ASSERT_TRUE(GETUnsignedCapability(source, kNkMAIDCapability_LiveViewWarnings));
    EXPECT_EQ(UserDefaults::standard()
                  .dictionaryForKey(QStringLiteral("prefLastNikonResponse"))
                  .value("unsignedstring"),
              QStringLiteral("Card unformatted, No card, \n"));
    ASSERT_TRUE(GETUnsignedCapability(source, kNkMAIDCapability_LiveViewStatus));
    EXPECT_EQ(UserDefaults::standard()
                  .dictionaryForKey(QStringLiteral("prefLastNikonResponse"))
                  .value("currentsetting"),
              0);
}

TEST(VirtualCameraBundles, BothArchitecturesAreBuilt) {
    const Bundle b64(kBundle);
    EXPECT_EQ(b64.executableArchitectures(), QList<int>{Bundle::X86_64});
    EXPECT_EQ(b64.objectForInfoDictionaryKey("CFBundleExecutable").toString(), "ZarvVirtualCamera");
#ifdef ZARV_VIRTUAL_CAMERA32
    const Bundle b32(kBundle32);
    EXPECT_EQ(b32.executableArchitectures(), QList<int>{Bundle::I386});
    EXPECT_FALSE(b32.executablePath().isEmpty());
#else
    GTEST_SKIP() << "no i386 toolchain";
#endif
}

// The command skeleton both modules are built on, over a stand-in module whose start reports
// its progress at once, as an acquire does. The program may close the object from inside that
// report: the command is then completed there, once, and nothing of it is left for a pump.
namespace standin {

module::ObjectBook book;

int32_t open(tagNkMAIDObject* parent, uint32_t id, uint32_t, uint64_t data) {
    module::Object o;
    o.record = wordToPtr<tagNkMAIDObject>(data);
    o.id = id;
    o.kind = parent ? kNkMAIDObjectType_Source : kNkMAIDObjectType_Module;
    o.parent = module::ObjectBook::handleOf(parent);
    book.add(o);
    return kNkMAIDResult_NoError;
}
int32_t close(uint64_t handle) {
    book.cancelPending([handle](uint64_t h) { return h == handle; });
    book.objects.erase(handle);
    return kNkMAIDResult_NoError;
}
int32_t pump() {
    book.runNextAction();
    return book.actions.empty() ? kNkMAIDResult_NoError : kNkMAIDResult_Pending;
}
std::vector<uint32_t> childIds(const module::Object& o) {
    return o.kind == kNkMAIDObjectType_Module ? std::vector<uint32_t>{1} : std::vector<uint32_t>{};
}
uint32_t capCount(const module::Object&) {
    return 0;
}
int32_t unsupported(const module::Object&, uint32_t, uint32_t, uint64_t) {
    return kNkMAIDResult_NotSupported;
}
int32_t set(module::Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    return module::setCallback(o, cap, dataType, data);
}
int32_t start(const module::Object& o, uint64_t, uint32_t cap, uint64_t, bool*) {
    const tagNkMAIDCallback p = o.procs[kNkMAIDCapability_ProgressProc];
    if (p.pProc)
        reinterpret_cast<LPMAIDProgressProc>(wordToPtr<void>(p.pProc))(kNkMAIDCommand_CapStart, cap,
                                                                       p.refProc, 0, 1);
    return kNkMAIDResult_NoError;
}

const module::Hooks hooks = {
    .open = open,
    .close = close,
    .pump = pump,
    .childIds = childIds,
    .beforeEnumeration = nullptr,
    .capCount = capCount,
    .capInfo = unsupported,
    .capGet = unsupported,
    .capGetArray = unsupported,
    .capSet = set,
    .capStart = start,
};

int32_t entry(tagNkMAIDObject* o, uint32_t command, uint32_t param, uint32_t dataType,
              uint64_t data, LPMAIDCompletionProc proc, uint64_t ref) {
    return module::dispatch(book, hooks, o, command, param, dataType, data, proc, ref);
}

struct Program {
    tagNkMAIDObject module{}, source{};
    std::vector<int32_t> completions;
    std::vector<uint32_t> added;
    bool closeOnProgress = false;

    static void onComplete(tagNkMAIDObject*, uint32_t, uint32_t, uint32_t, uint64_t, uint64_t ref,
                           int32_t result) {
        reinterpret_cast<Program*>(ref)->completions.push_back(result);
    }
    static void onProgress(uint32_t, uint32_t, uint64_t ref, uint32_t, uint32_t) {
        auto* p = reinterpret_cast<Program*>(ref);
        if (p->closeOnProgress)
            entry(&p->source, kNkMAIDCommand_Close, 0, 0, 0, nullptr, 0);
    }
    static void onEvent(uint64_t ref, uint32_t event, uint64_t data) {
        if (event == kNkMAIDEvent_AddChild)
            reinterpret_cast<Program*>(ref)->added.push_back(uint32_t(data));
    }
    void setProc(tagNkMAIDObject* o, uint32_t cap, void* proc) {
        const tagNkMAIDCallback cb{ptrToWord(proc), ptrToWord(this)};
        ASSERT_EQ(entry(o, kNkMAIDCommand_CapSet, cap, kNkMAIDDataType_CallbackPtr, ptrToWord(&cb),
                        nullptr, 0),
                  kNkMAIDResult_NoError);
    }
    int32_t start() {
        return entry(&source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture,
                     kNkMAIDDataType_Null, 0, &onComplete, ptrToWord(this));
    }
};

} // namespace standin

TEST(ModuleSkeleton, ACommandCompletesOnALaterPumpOrOnceWhereItsObjectWentWhileItRan) {
    standin::Program p;
    auto& book = standin::book;
    ASSERT_EQ(standin::entry(nullptr, kNkMAIDCommand_Open, 0, kNkMAIDDataType_ObjectPtr,
                             ptrToWord(&p.module), nullptr, 0),
              kNkMAIDResult_NoError);
    p.setProc(&p.module, kNkMAIDCapability_EventProc,
              reinterpret_cast<void*>(&standin::Program::onEvent));
    ASSERT_EQ(standin::entry(&p.module, kNkMAIDCommand_Open, 1, kNkMAIDDataType_ObjectPtr,
                             ptrToWord(&p.source), nullptr, 0),
              kNkMAIDResult_NoError);
    p.setProc(&p.source, kNkMAIDCapability_ProgressProc,
              reinterpret_cast<void*>(&standin::Program::onProgress));
    EXPECT_TRUE(book.pending.empty()) << "synchronous calls leave nothing waiting";

    // Children are announced one a pump, after the call.
    ASSERT_EQ(standin::entry(&p.module, kNkMAIDCommand_EnumChildren, 0, 0, 0, nullptr, 0),
              kNkMAIDResult_NoError);
    EXPECT_TRUE(p.added.empty());
    EXPECT_EQ(standin::entry(&p.module, kNkMAIDCommand_Async, 0, 0, 0, nullptr, 0),
              kNkMAIDResult_NoError);
    EXPECT_EQ(p.added, std::vector<uint32_t>{1});

    ASSERT_EQ(p.start(), kNkMAIDResult_NoError);
    EXPECT_TRUE(p.completions.empty()) << "never inside the call";
    standin::entry(&p.module, kNkMAIDCommand_Async, 0, 0, 0, nullptr, 0);
    EXPECT_EQ(p.completions, std::vector<int32_t>{kNkMAIDResult_NoError});

    p.completions.clear();
    p.closeOnProgress = true;
    EXPECT_EQ(p.start(), kNkMAIDResult_NoError);
    EXPECT_EQ(p.completions, std::vector<int32_t>{kNkMAIDResult_UnexpectedError})
        << "completed as its object went";
    EXPECT_TRUE(book.pending.empty());
    EXPECT_TRUE(book.actions.empty()) << "a completed command leaves no completion behind";
    EXPECT_EQ(book.find(module::ObjectBook::handleOf(&p.source)), nullptr);
    standin::entry(&p.module, kNkMAIDCommand_Close, 0, 0, 0, nullptr, 0);
}

} // namespace
