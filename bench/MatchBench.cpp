// Module matching benchmark: one matching run over a module folder of N modules that see no
// camera (copies of the absent-camera module), through the session's real probe. Each such
// probe waits 750 ms for the module, then 250 ms after each of its four looks for a camera, so
// a run should take about N x 1.75 s; prints the measured time, the sum of those waits and
// their ratio.
//
// Usage: bench_match [--modules N] [--rounds R]

#include "BenchSupport.h"
#include "app/CameraSession.h"
#include "modules/ModuleMatchTask.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using namespace zarv;

namespace {

constexpr double kWaitsPerProbeSeconds = 0.75 + 4 * 0.25;

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int modules = qMax(1, bench::argument(args, QStringLiteral("--modules"), 3));
    const int rounds = qMax(1, bench::argument(args, QStringLiteral("--rounds"), 1));

    QTemporaryDir work;
    const QString folder = work.filePath(QStringLiteral("modules"));
    bench::useBenchBundle(work.path(), QStringLiteral("com.quellbay.bench.match"), {}, folder);
    for (int i = 0; i < modules; ++i)
        if (!QFile::link(QStringLiteral(ZARV_NOCAM_BUNDLE),
                         folder + QStringLiteral("/Absent%1 Module.bundle").arg(i))) {
            std::fprintf(stderr, "cannot make the module folder in %s\n", qPrintable(folder));
            return 1;
        }
    UserDefaults defaults(work.filePath(QStringLiteral("settings.plist")));
    NotificationCenter center;

    const double waits = modules * kWaitsPerProbeSeconds;
    std::printf("modules: %d, fixed waits per run: %.2f s\n", modules, waits);
    double total = 0;
    for (int round = 0; round < rounds; ++round) {
        auto session = nikonCameraSessionFactory()();
        session->setFUsbDeviceInfo({{QStringLiteral("deviceName"), QStringLiteral("Nikon Z 99")},
                                    {QStringLiteral("productID"), 1}});
        ModuleMatchTask::Options options;
        options.defaults = &defaults;
        options.center = &center;
        auto task = ModuleMatchTask::create(session, options);
        bool done = false;
        ModuleMatchTask::Listener listener;
        listener.finished = [&](ModuleMatchTask::Outcome, const QString&) {
            done = true;
            app.quit();
        };
        task->addListener(std::move(listener));
        QElapsedTimer timer;
        timer.start();
        task->ibStartTask();
        if (!done)
            app.exec();
        const double measured = timer.nsecsElapsed() / 1e9;
        total += measured;
        std::printf("round %d: %.3f s measured, %.2f s of waits, overhead ratio %.3f\n", round + 1,
                    measured, waits, measured / waits);
    }
    std::printf("mean: %.3f s measured, %.2f s of waits, overhead ratio %.3f\n", total / rounds,
                waits, total / rounds / waits);
    Bundle::setMainBundlePath(QString());
    return 0;
}
