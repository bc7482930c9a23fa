// Camera controls benchmark, against the virtual camera loaded through the real session: a full
// read pass of the settings pages (16 reads) and the reading of every capability of the table
// (27 reads, ReadCurrentCameraSettings). Prints, per operation, the mean total time, the time
// spent inside the session's GetCameraInfo calls and the rest (ours), their ratio, and the longest
// stall of the main thread during the read passes (a 5 ms timer measuring the gaps between its
// ticks).
//
// Usage: bench_controls [--rounds R]

#include "BenchSupport.h"
#include "controls/CameraControls.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "session/ZarvNikonBaseCameraHandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cstdio>

using namespace zarv;

namespace {

const QString kCamera = QStringLiteral("Zarv Virtual Camera");
const QString kModule = QStringLiteral("ZarvVirtualCamera Module.bundle");

// The real session, timing its reads.
class TimedSession : public CameraSettingsSubject {
public:
    explicit TimedSession(ZarvNikonBaseCameraHandler& session) : m_session(session) {}
    QVariantMap fUsbDeviceInfo() const override { return m_session.fUsbDeviceInfo(); }
    bool isCameraConnected() override { return m_session.isCameraConnected(); }
    int16_t SearchCameraWithModulePath(const QString&) override { return -1; }
    int16_t GetCameraInfo(uint32_t capability, const QString& withType) override {
        QElapsedTimer t;
        t.start();
        const int16_t result = m_session.GetCameraInfo(capability, withType);
        inside += t.nsecsElapsed();
        return result;
    }
    int16_t SetCameraInfo(const QVariant& value, uint32_t forCapability,
                          const QString& wtihType) override {
        return m_session.SetCameraInfo(value, forCapability, wtihType);
    }
    std::atomic<qint64> inside{0};

private:
    ZarvNikonBaseCameraHandler& m_session;
};

struct Totals {
    qint64 total = 0;
    qint64 inside = 0;
    void print(const char* name, int rounds) const {
        const double t = total / 1e6 / rounds;
        const double s = inside / 1e6 / rounds;
        std::printf("%-28s %8.3f ms total, %8.3f ms in the session, %8.3f ms ours, "
                    "ours/session %.3f\n",
                    name, t, s, t - s, s > 0 ? (t - s) / s : 0.0);
    }
};

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir work;
    qputenv("XDG_CONFIG_HOME", work.path().toUtf8());
    QCoreApplication app(argc, argv);
    UserDefaults::setStandardIdentifier(QStringLiteral("com.quellbay.bench.controls"));
    const int rounds = qMax(1, bench::argument(app.arguments(), QStringLiteral("--rounds"), 20));

    const QString folder = work.filePath(QStringLiteral("modules"));
    bench::useBenchBundle(work.path(), QStringLiteral("com.quellbay.bench.controls"),
                          QVariantMap{{kCamera, QVariantMap{{QStringLiteral("devicename"), kCamera},
                                                            {QStringLiteral("modulename"), kModule},
                                                            {QStringLiteral("productid"), 31233}}}},
                          folder);
    if (!QFile::link(QStringLiteral(ZARV_MODULE_DIR "/") + kModule, folder + u'/' + kModule)) {
        std::fprintf(stderr, "cannot make the module folder in %s\n", qPrintable(folder));
        return 1;
    }

    auto queue =
        DispatchQueue::createSerial(QStringLiteral("com.quellbay.zarv.current.camera.queue"));
    std::unique_ptr<ZarvNikonBaseCameraHandler> handler;
    std::shared_ptr<TimedSession> session;
    int16_t found = -1;
    queue->sync([&] {
        handler = std::make_unique<ZarvNikonBaseCameraHandler>();
        handler->setFUsbDeviceInfo(
            {{QStringLiteral("deviceName"), kCamera}, {QStringLiteral("productID"), 31233}});
        found = handler->FindCamera();
        session = std::make_shared<TimedSession>(*handler);
    });
    if (found != 0) {
        std::fprintf(stderr, "the virtual camera did not connect (%d)\n", found);
        return 1;
    }

    CameraControls::Options options;
    options.cameraQueue = queue.get();
    options.session = [&]() -> std::shared_ptr<CameraSettingsSubject> { return session; };
    CameraControls controls(options);
    bool finished = false;
    CameraControls::Listener listener;
    listener.readPassFinished = [&] {
        finished = true;
        app.quit();
    };
    controls.setListener(listener);

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestStall = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestStall = std::max(longestStall, clock.nsecsElapsed() - lastTick);
        lastTick = clock.nsecsElapsed();
    });

    std::printf("rounds: %d\n", rounds);
    Totals pass;
    Totals everything;
    for (int round = 0; round < rounds; ++round) {
        session->inside = 0;
        finished = false;
        clock.start();
        lastTick = 0;
        ticker.start();
        controls.ibReadCurrentCameraSettings();
        if (!finished)
            app.exec();
        pass.total += clock.nsecsElapsed();
        ticker.stop();
        pass.inside += session->inside;

        session->inside = 0;
        bool read = false;
        qint64 elapsed = 0;
        queue->sync([&] {
            QElapsedTimer t;
            t.start();
            read = controls.ReadCurrentCameraSettings();
            elapsed = t.nsecsElapsed();
        });
        if (!read) {
            std::fprintf(stderr, "ReadCurrentCameraSettings read nothing\n");
            return 1;
        }
        everything.total += elapsed;
        everything.inside += session->inside;
    }
    pass.print("read pass (16 reads)", rounds);
    everything.print("reading everything (27)", rounds);
    std::printf("longest main-thread stall during the read passes: %.3f ms (timer period 5 ms)\n",
                longestStall / 1e6);
    queue->sync([&] {
        session.reset();
        handler.reset();
    });
    Bundle::setMainBundlePath(QString());
    return 0;
}
