// The module match window over a task whose camera is scripted: the button's title follows the
// run, the window cannot be closed while a run is under way, and it ends its sheet with -1111.

#include "TestSupport.h"
#include "modules/ModulesTestSupport.h"

#include "modules/ModuleMatchTask.h"
#include "ui/Sheets.h"
#include "ui/ZarvNikonMatchModuleWindowController.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace zarv {
namespace {

using test::waitUntil;

// Sees no camera through any module; a probe lasts while `hold` is set, so that a person's
// presses land during it.
class SlowAbsentCamera : public MatchSubject {
public:
    QVariantMap fUsbDeviceInfo() const override {
        return {{QStringLiteral("deviceName"), QStringLiteral("Nikon Z 99")},
                {QStringLiteral("productID"), 1}};
    }
    bool isCameraConnected() override { return false; }
    int16_t SearchCameraWithModulePath(const QString&) override {
        ++probes;
        for (int i = 0; i < 2000 && hold; ++i)
            QThread::msleep(5);
        return -1;
    }
    std::atomic<int> probes{0};
    std::atomic<bool> hold{true};
};

class MatchWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        const QString modules = work.filePath(QStringLiteral("modules"));
        QDir().mkpath(modules);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(QFile::link(QStringLiteral(ZARV_NOCAM_BUNDLE),
                                    modules + QStringLiteral("/Absent%1.bundle").arg(i)));
        app = std::make_unique<test::FakeApplication>(
            QVariantMap{{QStringLiteral("LookupTable"), QVariantMap()},
                        {QStringLiteral("DefaultNikonModulesSearchPaths"), QStringList{modules}}});
        ModuleMatchTask::Options options;
        options.defaults = &defaults;
        options.center = &center;
        task = ModuleMatchTask::create(camera, options);
    }
    void TearDown() override {
        task->stop();
        camera->hold = false;
        ModuleMatchTask::currentCameraDispatchQueue().sync([] {});
        QCoreApplication::processEvents();
    }
    QPushButton* button(const char* name) {
        return window->findChild<QPushButton*>(QLatin1String(name));
    }
    bool running() const { return task->fTaskStarted(); }

    QTemporaryDir work;
    std::unique_ptr<test::FakeApplication> app;
    UserDefaults defaults{work.filePath(QStringLiteral("settings.plist"))};
    NotificationCenter center;
    std::shared_ptr<SlowAbsentCamera> camera = std::make_shared<SlowAbsentCamera>();
    std::shared_ptr<ModuleMatchTask> task;
    QWidget parent;
    ZarvNikonMatchModuleWindowController* window = nullptr;
    std::vector<long> codes;
};

// The sheet starts its task on opening; Close and Escape are refused during the run; the button
// reads "Pause" then, and pausing brings "Start" back; then Close ends the sheet with -1111.
TEST_F(MatchWindow, ButtonFollowsTheRunAndClosingWaitsForIt) {
    window = new ZarvNikonMatchModuleWindowController(task, &parent);
    parent.show();
    beginSheet(&parent, window, [this](long code) { codes.push_back(code); });
    EXPECT_EQ(button("ibStartButton")->text(), QStringLiteral("Start"));

    ASSERT_TRUE(waitUntil([&] { return button("ibStartButton")->text() == "Pause"; }, 5000));
    ASSERT_TRUE(running());
    EXPECT_EQ(window->findChild<QProgressBar*>("ibProgressIndicator")->maximum(), 0);
    EXPECT_EQ(window->findChild<QLabel*>("ibStatusCameraName")->text(), "Nikon Z 99");

    QTest::mouseClick(button("ibCloseButton"), Qt::LeftButton);
    QTest::keyClick(window, Qt::Key_Escape);
    window->close();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(codes.empty());

    QTest::mouseClick(button("ibStartButton"), Qt::LeftButton);
    EXPECT_TRUE(task->fWantsToPauseTask());
    camera->hold = false;
    ASSERT_TRUE(waitUntil([&] { return !running(); }, 10000));
    EXPECT_EQ(button("ibStartButton")->text(), QStringLiteral("Start"));
    EXPECT_EQ(window->findChild<QLabel*>("ibStatusMesg1")->text(), "User Aborted Task...");
    EXPECT_EQ(window->findChild<QProgressBar*>("ibProgressIndicator")->maximum(), 1);
    EXPECT_EQ(camera->probes.load(), 1);

    QTest::mouseClick(button("ibCloseButton"), Qt::LeftButton);
    EXPECT_EQ(codes, std::vector<long>{ZarvNikonMatchModuleWindowController::kClosedReturn});
    EXPECT_FALSE(window->isVisible());
    delete window;
}

// A window opened on a run the controller already started does not press Start again (that
// would ask the run to pause); one without a parent cannot end a sheet.
TEST_F(MatchWindow, WindowOnAStartedRunLeavesItRunning) {
    task->ibStartTask();
    window = new ZarvNikonMatchModuleWindowController(task, &parent);
    parent.show();
    beginSheet(&parent, window, [this](long code) { codes.push_back(code); });
    QTest::qWait(400);
    EXPECT_TRUE(running());
    EXPECT_FALSE(task->fWantsToPauseTask());
    EXPECT_EQ(task->runCount(), 1);
    task->stop();
    camera->hold = false;
    ASSERT_TRUE(waitUntil([&] { return !running(); }, 10000));
    delete window;

    ZarvNikonMatchModuleWindowController alone(task);
    alone.forceClosePanel();
    EXPECT_EQ(alone.result(), 0) << "nothing to end the sheet on";
}

} // namespace
} // namespace zarv
