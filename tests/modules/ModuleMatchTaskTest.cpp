// The matching task against real module bundles through the session's real probe: the
// absent-camera module, an i386-only bundle and the virtual camera in a module folder of the
// test's own; and with a scripted camera for what needs exact control.

#include "../TestSupport.h"
#include "ModulesTestSupport.h"

#include "app/CameraSession.h"
#include "modules/ModuleInventory.h"
#include "modules/ModuleMatchTask.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

using namespace zarv;
using zarv::test::elfHeader;
using zarv::test::FakeApplication;
using zarv::test::lookupEntry;
using zarv::test::makeBundle;
using zarv::test::waitUntil;

namespace {

const QString kCamera = QStringLiteral("Nikon Z 99");
const QString kVirtualCamera = QStringLiteral("ZarvVirtualCamera Module.bundle");
const QString kNoCamera = QStringLiteral("ZarvNoCamera Module.bundle");
const QString kI386Only = QStringLiteral("i386only.bundle");

QVariantMap cameraInfo(const QVariant& productID = 0x7A01) {
    QVariantMap info{{QStringLiteral("deviceName"), kCamera}, {QStringLiteral("vendorID"), 1200}};
    if (productID.isValid())
        info.insert(QStringLiteral("productID"), productID);
    return info;
}

// What a run reported, in order, and where.
struct Record {
    QStringList events;
    int offMain = 0;
    int ends = 0;
    ModuleMatchTask::Outcome outcome{};
};

class MatchTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        modules = work.filePath(QStringLiteral("modules"));
        QDir().mkpath(modules);
        defaults = std::make_unique<UserDefaults>(work.filePath(QStringLiteral("settings.plist")));
        app = std::make_unique<FakeApplication>(QVariantMap{
            {QStringLiteral("LookupTable"),
             QVariantMap{{QStringLiteral("Nikon D1"),
                          lookupEntry(QStringLiteral("Nikon D1"),
                                      QStringLiteral("Type0001 Module.bundle"), 1)}}},
            {QStringLiteral("DefaultNikonModulesSearchPaths"), QStringList{modules}},
            {QStringLiteral("DefaultNikonModulesSearchPathsFor32bit"), QStringList{modules}}});
        posts =
            center.addObserver(kZarvNikonCameraActionsNotification, [this](const Notification& n) {
                QMutexLocker lock(&mutex);
                actions << n.userInfo.value("action").toString();
            });
    }
    void TearDown() override {
        center.removeObserver(posts);
        // Nothing of this test's runs may reach the next one.
        ModuleMatchTask::currentCameraDispatchQueue().sync([] {});
        QCoreApplication::processEvents();
    }

    void addModule(const QString& name, const QString& target) {
        ASSERT_TRUE(QFile::link(target, modules + u'/' + name)) << name.toStdString();
    }
    void addRealModules() {
        ASSERT_TRUE(QFileInfo::exists(QStringLiteral(ZARV_NOCAM_BUNDLE)));
        addModule(kNoCamera, QStringLiteral(ZARV_NOCAM_BUNDLE));
        makeBundle(modules, kI386Only, elfHeader(3, false)); // listed, never loadable here
        addModule(kVirtualCamera, QStringLiteral(ZARV_MODULE_DIR "/") + kVirtualCamera);
    }

    std::shared_ptr<ModuleMatchTask> makeTask(std::shared_ptr<MatchSubject> camera,
                                              DispatchQueue* cameraQueue = nullptr) {
        ModuleMatchTask::Options options;
        options.defaults = defaults.get();
        options.center = &center;
        options.cameraQueue = cameraQueue;
        auto task = ModuleMatchTask::create(std::move(camera), options);
        ModuleMatchTask::Listener listener;
        listener.textChanged = [this](const QString& field, const QString& text) {
            note(field + u'=' + text);
        };
        listener.progressChanged = [this](bool on) { note(QStringLiteral("spin=%1").arg(on)); };
        listener.finished = [this](ModuleMatchTask::Outcome outcome, const QString& module) {
            note(QStringLiteral("end=") + module);
            record.outcome = outcome;
            ++record.ends;
        };
        task->addListener(std::move(listener));
        return task;
    }
    void note(const QString& event) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++record.offMain;
        record.events << event;
    }
    bool finished(int ends = 1) {
        return waitUntil([&] { return record.ends >= ends; }, 30000);
    }
    QStringList postedActions() {
        QMutexLocker lock(&mutex);
        return actions;
    }
    int logCount(const QString& text) const { return log.count(text); }
    QVariantMap userTable() const {
        return defaults->dictionaryForKey(QStringLiteral("prefNikonLookupTable"));
    }

    QTemporaryDir work;
    QString modules;
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<FakeApplication> app;
    NotificationCenter center;
    NotificationCenter::Token posts = 0;
    QMutex mutex;
    QStringList actions;
    test::LogCapture log{QStringLiteral("test_match")};
    Record record;
};

// A run in the listing's order: the i386-only bundle is skipped without being probed, the
// absent-camera module is probed and fails, the virtual camera matches and ends the loop; the
// row is stored beside the built-in entries the first time, and replaces an older row of the
// same camera while keeping the user's other rows the second time.
TEST_F(MatchTaskTest, FindsTheVirtualCameraAndRemembersIt) {
    addRealModules();
    const QStringList listed = getListOfModuleBundles(true).value_or(QStringList());
    ASSERT_EQ(listed.size(), 3);
    auto session = nikonCameraSessionFactory()();
    session->setFUsbDeviceInfo(cameraInfo());
    auto task = makeTask(session);
    task->ibStartTask();
    EXPECT_TRUE(task->fTaskStarted());
    ASSERT_TRUE(finished());

    EXPECT_EQ(record.outcome, ModuleMatchTask::Outcome::Matched);
    EXPECT_EQ(record.offMain, 0);
    const QVariantMap expectedRow = lookupEntry(kCamera, kVirtualCamera, 0x7A01);
    ASSERT_TRUE(waitUntil([&] { return userTable().contains(kCamera); }));
    EXPECT_EQ(userTable().value(kCamera).toMap(), expectedRow);
    EXPECT_TRUE(userTable().contains(QStringLiteral("Nikon D1"))) << "built-in rows kept";
    EXPECT_EQ(task->fStatusMesg1(), QStringLiteral("Matched to Module: ") + kVirtualCamera);
    EXPECT_EQ(task->fStatusCameraName(), kCamera);
    EXPECT_EQ(task->fButtonTitle(), QStringLiteral("Start"));
    EXPECT_FALSE(task->fTaskStarted());
    EXPECT_TRUE(record.events.contains(QStringLiteral("fButtonTitle=Pause")));
    EXPECT_EQ(record.events.filter(QStringLiteral("spin=")),
              QStringList({QStringLiteral("spin=1"), QStringLiteral("spin=0")}));
    EXPECT_TRUE(waitUntil([&] { return postedActions() == QStringList{"updatemodulelist"}; }));

    // What the listing order says must have happened before the match.
    for (const QString& path : listed) {
        const QString name = QFileInfo(path).fileName();
        const bool checked = record.events.contains(
            QStringLiteral("fStatusMesg1=CHECKING MODULE: [%1]...").arg(name));
        if (name == kVirtualCamera) {
            EXPECT_TRUE(checked);
            break;
        }
        if (name == kI386Only) {
            EXPECT_FALSE(checked);
            EXPECT_EQ(
                logCount(QStringLiteral(
                    "skipping invalid module for this running architecture: i386only.bundle")),
                1);
        } else {
            EXPECT_TRUE(checked);
            EXPECT_EQ(
                logCount(QStringLiteral("oserr result from SearchCameraWithModulePath[%1] = -1")
                             .arg(name)),
                1);
        }
    }

    // Again with a user copy: it is the base, the camera's old row goes, the other stays.
    const QVariantMap other = lookupEntry(QStringLiteral("Other Cam"), kNoCamera, 5);
    defaults->setObject(QStringLiteral("prefNikonLookupTable"),
                        QVariantMap{{QStringLiteral("Other Cam"), other},
                                    {kCamera, lookupEntry(kCamera, kNoCamera, 1)}});
    task->ibStartTask();
    ASSERT_TRUE(finished(2));
    ASSERT_TRUE(waitUntil([&] { return userTable().value(kCamera).toMap() == expectedRow; }));
    EXPECT_EQ(userTable(),
              (QVariantMap{{QStringLiteral("Other Cam"), other}, {kCamera, expectedRow}}));
    EXPECT_TRUE(waitUntil([&] { return postedActions().size() == 2; }));
}

// No module sees the camera: the absent-camera module is probed and fails, the i386-only bundle
// is skipped; nothing is stored, the status keeps the last module tried, and the list refreshes.
TEST_F(MatchTaskTest, NoModuleSeesTheCamera) {
    ASSERT_TRUE(QFileInfo::exists(QStringLiteral(ZARV_NOCAM_BUNDLE)));
    addModule(kNoCamera, QStringLiteral(ZARV_NOCAM_BUNDLE));
    makeBundle(modules, kI386Only, elfHeader(3, false)); // listed, never loadable here
    auto session = nikonCameraSessionFactory()();
    session->setFUsbDeviceInfo(cameraInfo());
    auto task = makeTask(session);
    task->ibStartTask();
    ASSERT_TRUE(finished());
    EXPECT_EQ(record.outcome, ModuleMatchTask::Outcome::NotFound);
    EXPECT_EQ(task->fStatusMesg1(), QStringLiteral("CHECKING MODULE: [%1]...").arg(kNoCamera));
    EXPECT_EQ(logCount(QStringLiteral(
                  "skipping invalid module for this running architecture: i386only.bundle")),
              1);
    EXPECT_EQ(logCount(QStringLiteral("ibStartTask CHECKING MODULE")), 1);
    EXPECT_EQ(
        logCount(
            QStringLiteral("oserr result from SearchCameraWithModulePath[%1] = -1").arg(kNoCamera)),
        1);
    EXPECT_TRUE(waitUntil([&] { return postedActions() == QStringList{"updatemodulelist"}; }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(defaults->objectForKey(QStringLiteral("prefNikonLookupTable")).isValid());
}

// A pause asked for while the first probe runs is honoured once it ends: no further module is
// tried, nothing is stored (even when that probe found the camera), and the list still refreshes.
TEST_F(MatchTaskTest, PauseDuringTheFirstProbeStopsAfterIt) {
    addRealModules();
    auto session = nikonCameraSessionFactory()();
    session->setFUsbDeviceInfo(cameraInfo());
    auto task = makeTask(session);
    task->ibStartTask();
    ASSERT_TRUE(waitUntil(
        [&] { return task->fStatusMesg1().startsWith(QStringLiteral("CHECKING MODULE")); }, 10000));
    task->ibStartTask(); // the button, now "Pause"
    EXPECT_TRUE(task->fWantsToPauseTask());
    ASSERT_TRUE(finished());

    EXPECT_EQ(record.outcome, ModuleMatchTask::Outcome::Aborted);
    EXPECT_EQ(task->fStatusMesg1(), QStringLiteral("User Aborted Task..."));
    EXPECT_EQ(logCount(QStringLiteral("ibStartTask CHECKING MODULE")), 1);
    EXPECT_EQ(logCount(QStringLiteral("Please Wait - ALREADY in Progress...")), 1);
    EXPECT_FALSE(task->fWantsToPauseTask());
    EXPECT_TRUE(waitUntil([&] { return postedActions() == QStringList{"updatemodulelist"}; }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(defaults->objectForKey(QStringLiteral("prefNikonLookupTable")).isValid());
}

// A camera that gave no product id matches but cannot be remembered: nothing is stored, and the
// status says so rather than announcing a stored match.
TEST_F(MatchTaskTest, MatchWithoutProductIdIsNotStored) {
    addModule(kVirtualCamera, QStringLiteral(ZARV_MODULE_DIR "/") + kVirtualCamera);
    auto session = nikonCameraSessionFactory()();
    session->setFUsbDeviceInfo(cameraInfo(QVariant()));
    auto task = makeTask(session);
    task->ibStartTask();
    ASSERT_TRUE(finished());
    EXPECT_EQ(record.outcome, ModuleMatchTask::Outcome::Matched);
    EXPECT_TRUE(task->fStatusMesg1().contains(QStringLiteral("NOT stored")));
    QCoreApplication::processEvents();
    EXPECT_FALSE(defaults->objectForKey(QStringLiteral("prefNikonLookupTable")).isValid());
}

// A camera whose calls are scripted: connected or not, probes counted with the queue they ran on.
class ScriptedCamera : public MatchSubject {
public:
    explicit ScriptedCamera(bool connected, DispatchQueue* queue = nullptr)
        : m_connected(connected), m_queue(queue) {}
    QVariantMap fUsbDeviceInfo() const override { return cameraInfo(); }
    bool isCameraConnected() override {
        check();
        return m_connected;
    }
    int16_t SearchCameraWithModulePath(const QString&) override {
        check();
        ++probes;
        QThread::msleep(50);
        return -1;
    }
    std::atomic<int> probes{0};
    std::atomic<int> offQueue{0};

private:
    void check() {
        if (m_queue && !m_queue->isCurrent())
            ++offQueue;
    }
    bool m_connected;
    DispatchQueue* m_queue;
};

// Refusals: a connected camera leaves everything as it was and posts nothing; no camera at all
// says so at once.
TEST_F(MatchTaskTest, ConnectedCameraOrNoCameraRefusesToStart) {
    addRealModules();
    auto connected = std::make_shared<ScriptedCamera>(true);
    auto task = makeTask(connected);
    task->ibStartTask();
    ASSERT_TRUE(finished());
    EXPECT_EQ(record.outcome, ModuleMatchTask::Outcome::Refused);
    EXPECT_EQ(logCount(QStringLiteral("Camera already connected to a module...")), 1);
    EXPECT_EQ(connected->probes.load(), 0);
    EXPECT_FALSE(task->fTaskStarted());
    EXPECT_EQ(task->fButtonTitle(), QStringLiteral("Start"));
    EXPECT_TRUE(task->fStatusMesg1().isEmpty());
    EXPECT_EQ(record.events, QStringList{QStringLiteral("end=")});

    auto none = makeTask(nullptr);
    none->ibStartTask();
    EXPECT_EQ(none->fStatusCameraName(), QStringLiteral("NO Camera To Match??"));
    EXPECT_EQ(none->runCount(), 0);
    EXPECT_EQ(logCount(QStringLiteral("NO Camera To Match....")), 1);
    ModuleMatchTask::currentCameraDispatchQueue().sync([] {});
    QCoreApplication::processEvents();
    EXPECT_TRUE(postedActions().isEmpty());
}

// Two presses before the queue starts the run make one run and a pause, never two runs; every
// probe goes through the camera queue; stop() ends a run without a refresh.
TEST_F(MatchTaskTest, OneRunAtATimeThroughTheCameraQueue) {
    for (int i = 0; i < 3; ++i)
        addModule(QStringLiteral("Absent%1.bundle").arg(i), QStringLiteral(ZARV_NOCAM_BUNDLE));
    auto cameraQueue = DispatchQueue::createSerial(QStringLiteral("test.camera.queue"));
    auto camera = std::make_shared<ScriptedCamera>(false, cameraQueue.get());
    auto task = makeTask(camera, cameraQueue.get());
    // Hold the match queue so that both presses land before the run begins.
    std::atomic<bool> release{false};
    ModuleMatchTask::currentCameraDispatchQueue().async([&] {
        while (!release)
            QThread::msleep(5);
    });
    task->ibStartTask();
    task->ibStartTask();
    release = true;
    ASSERT_TRUE(finished());
    EXPECT_EQ(record.outcome, ModuleMatchTask::Outcome::Aborted);
    EXPECT_EQ(camera->probes.load(), 1);
    ModuleMatchTask::currentCameraDispatchQueue().sync([] {});
    QCoreApplication::processEvents();
    EXPECT_EQ(record.ends, 1);
    EXPECT_EQ(postedActions().size(), 1);

    task->ibStartTask();
    task->stop();
    ASSERT_TRUE(finished(2));
    EXPECT_EQ(record.outcome, ModuleMatchTask::Outcome::Stopped);
    EXPECT_LE(camera->probes.load(), 2);
    EXPECT_EQ(camera->offQueue.load(), 0);
    EXPECT_EQ(postedActions().size(), 1) << "a stopped run asks for no refresh";
}

} // namespace
