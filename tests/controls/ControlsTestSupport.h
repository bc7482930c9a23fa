#pragma once

// The camera controls against the virtual camera: a session made and connected on a camera
// queue of the test's own, seen through a subject that records every call and its thread.

#include "../session/SessionTestSupport.h"

#include "controls/CameraControls.h"
#include "platform/Dispatch.h"

#include <QThread>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

// Texts in test failures as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace zarv::test {

/// One call into the session as the controls made it.
struct SessionCall {
    QString operation; ///< "GetCameraInfo", "SetCameraInfo", "isCameraConnected", ...
    uint32_t code = 0;
    QVariant value;
    QThread* thread = nullptr;
};

/// Forwards to a real session (or answers for none) and records the calls.
class RecordingSubject : public CameraSettingsSubject {
public:
    explicit RecordingSubject(ZarvNikonBaseCameraHandler* session) : m_session(session) {}

    QVariantMap fUsbDeviceInfo() const override {
        record({QStringLiteral("fUsbDeviceInfo"), 0, {}, QThread::currentThread()});
        return m_session ? m_session->fUsbDeviceInfo() : QVariantMap();
    }
    bool isCameraConnected() override {
        record({QStringLiteral("isCameraConnected"), 0, {}, QThread::currentThread()});
        return m_session && m_session->isCameraConnected();
    }
    int16_t SearchCameraWithModulePath(const QString&) override { return -1; }
    int16_t GetCameraInfo(uint32_t capability, const QString& withType) override {
        record({QStringLiteral("GetCameraInfo"), capability, {}, QThread::currentThread()});
        return m_session ? m_session->GetCameraInfo(capability, withType) : -1;
    }
    int16_t SetCameraInfo(const QVariant& value, uint32_t forCapability,
                          const QString& wtihType) override {
        record({QStringLiteral("SetCameraInfo"), forCapability, value, QThread::currentThread()});
        return m_session ? m_session->SetCameraInfo(value, forCapability, wtihType) : -1;
    }

    std::vector<SessionCall> calls() const {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    std::vector<SessionCall> writes() const {
        std::vector<SessionCall> out;
        for (const SessionCall& c : calls())
            if (c.operation == u"SetCameraInfo")
                out.push_back(c);
        return out;
    }
    void clearCalls() {
        QMutexLocker lock(&m_mutex);
        m_calls.clear();
    }

protected:
    void record(const SessionCall& call) const {
        QMutexLocker lock(&m_mutex);
        m_calls.push_back(call);
    }

private:
    ZarvNikonBaseCameraHandler* m_session;
    mutable QMutex m_mutex;
    mutable std::vector<SessionCall> m_calls;
};

/// What the controls reported to their listener.
struct Reports {
    QMap<QString, PopupList> lists;
    QMap<QString, SliderSetup> sliders;
    QList<bool> pagesPrepared;
    int readPasses = 0;
    int calls = 0;
    /// The fine-tune page's containers, as the window's page holds them.
    QStringList fineTuneSubviews = [] {
        QStringList ids;
        for (const SettingBinding& b : sliderBindings())
            ids << b.identifier;
        return ids;
    }();

    CameraControls::Listener listener() {
        CameraControls::Listener l;
        l.listChanged = [this](const QString& id, const PopupList& list) {
            ++calls;
            lists.insert(id, list);
        };
        l.sliderChanged = [this](const QString& id, const SliderSetup& setup) {
            ++calls;
            sliders.insert(id, setup);
        };
        l.pagesPrepared = [this](bool pageOne) {
            ++calls;
            pagesPrepared << pageOne;
        };
        l.readPassFinished = [this] {
            ++calls;
            ++readPasses;
        };
        l.fineTuneSubviews = [this] { return fineTuneSubviews; };
        return l;
    }
};

class ControlsTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        UserDefaults& d = UserDefaults::standard();
        for (const QString& key : {kPrefNikonSettingsForAllModels, kPrefDefaultCameraSettings,
                                   kPrefCameraSettingsFileVersion, kPrefCameraConnected,
                                   kPrefModelOfCurrentConnectedCamera})
            d.removeObject(key);
        queue =
            DispatchQueue::createSerial(QStringLiteral("com.quellbay.zarv.current.camera.queue"));
        queue->sync([this] { queueThread = QThread::currentThread(); });
    }

    void TearDown() override {
        controls.reset();
        queue->sync([this] {
            setSubject(nullptr);
            camera.reset();
        });
        queue.reset();
        SessionTest::TearDown();
    }

    /// Connects the virtual camera on the camera queue and makes the controls for it.
    void connectCamera(const QVariantMap& info = deviceInfo(kVirtualCameraName)) {
        int16_t found = 1;
        queue->sync([&] {
            camera = std::make_unique<ZarvNikonBaseCameraHandler>();
            camera->setFUsbDeviceInfo(deviceInfo(kVirtualCameraName));
            found = camera->FindCamera();
            camera->setFUsbDeviceInfo(info);
            setSubject(std::make_shared<RecordingSubject>(camera.get()));
        });
        ASSERT_EQ(found, 0);
        makeControls();
    }

    void makeControls() {
        CameraControls::Options options;
        options.cameraQueue = queue.get();
        options.session = [this]() -> std::shared_ptr<CameraSettingsSubject> {
            EXPECT_EQ(QThread::currentThread(), queueThread) << "session asked off the queue";
            return currentSubject();
        };
        controls = std::make_unique<CameraControls>(options);
        controls->setListener(reports.listener());
    }

    void setSubject(std::shared_ptr<RecordingSubject> s) {
        QMutexLocker lock(&subjectMutex);
        subject = std::move(s);
    }
    std::shared_ptr<RecordingSubject> currentSubject() {
        QMutexLocker lock(&subjectMutex);
        return subject;
    }

    /// The camera's current record for a capability, read on the camera queue after everything
    /// queued before.
    QVariantMap cameraRecord(const QString& capability) {
        const std::optional<CapabilityRow> row = capabilityRow(capability);
        EXPECT_TRUE(row.has_value()) << capability.toStdString();
        QVariantMap record;
        queue->sync([&] {
            UserDefaults::standard().removeObject(kPrefLastNikonResponse);
            camera->GetCameraInfo(row->code, row->kind);
            record = UserDefaults::standard().dictionaryForKey(kPrefLastNikonResponse);
        });
        return record;
    }
    double cameraValue(const QString& capability) {
        return cameraRecord(capability).value(QStringLiteral("currentsetting")).toDouble();
    }
    void setCameraValue(const QString& capability, const QVariant& value) {
        const std::optional<CapabilityRow> row = capabilityRow(capability);
        ASSERT_TRUE(row.has_value());
        queue->sync([&] { camera->SetCameraInfo(value, row->code, row->kind); });
    }

    /// The answer of an operation that answers through a completion (SaveAsDefaults), waited
    /// for; none when it never came.
    std::optional<bool> answerOf(void (CameraControls::*operation)(std::function<void(bool)>)) {
        std::optional<bool> answer;
        (controls.get()->*operation)([&](bool ok) { answer = ok; });
        waitUntil([&] { return answer.has_value(); });
        return answer;
    }
    /// applyDefaults' answer, waited for; none when it never came.
    std::optional<CameraControls::ApplyOutcome>
    applied(CameraControls::SettingsReport* report = {}) {
        std::optional<CameraControls::ApplyOutcome> answer;
        controls->applyDefaults(
            [&](CameraControls::ApplyOutcome o, const CameraControls::SettingsReport& r) {
                answer = o;
                if (report)
                    *report = r;
            });
        waitUntil([&] { return answer.has_value(); });
        return answer;
    }
    /// importDefaults' answer for the file at `path`, waited for; none when it never came.
    std::optional<CameraControls::ImportOutcome>
    imported(const QString& path, CameraControls::SettingsReport* report = {}) {
        std::optional<CameraControls::ImportOutcome> answer;
        controls->importDefaults(
            path, [&](CameraControls::ImportOutcome o, const CameraControls::SettingsReport& r) {
                answer = o;
                if (report)
                    *report = r;
            });
        waitUntil([&] { return answer.has_value(); });
        return answer;
    }

    bool readPass() {
        const int before = reports.readPasses;
        controls->ibReadCurrentCameraSettings();
        return waitUntil([&] { return reports.readPasses > before; });
    }
    /// Runs `work` on the camera queue and lets the main thread take what it posted.
    template <typename F> auto onQueue(F job) {
        decltype(job()) result{};
        queue->sync([&] { result = job(); });
        QCoreApplication::processEvents();
        return result;
    }
    /// Every session call so far ran on the camera queue.
    void expectAllCallsOnQueue() {
        const auto s = currentSubject();
        ASSERT_TRUE(s);
        for (const SessionCall& c : s->calls())
            EXPECT_EQ(c.thread, queueThread) << c.operation.toStdString();
    }

    std::shared_ptr<DispatchQueue> queue;
    QThread* queueThread = nullptr;
    std::unique_ptr<ZarvNikonBaseCameraHandler> camera;
    QMutex subjectMutex;
    std::shared_ptr<RecordingSubject> subject;
    Reports reports;
    std::unique_ptr<CameraControls> controls;
};

} // namespace zarv::test
