// The PTP module against libgphoto2's emulated Nikon D750, all measured in one run:
//  - a 20 MiB picture through the whole program, from grab to announcement, into the camera's
//    RAM and onto the card, with the emulated link unlimited and at a USB 2.0 body's rate, against
//    the slower of the same grab made directly through libgphoto2 in this process (trigger, then
//    the reads) and the hot folder's disk writing and syncing the same bytes; and the program's CPU
//    time for it against the direct grab's (the emulated camera runs inside each process, so its
//    share counts on both sides);
//  - a setting written and read back through the program's session and module, against the
//    same through libgphoto2's own single-widget calls.
// The module runs as it ships (its poll, its piece size). Run it through bench/app-bench.sh
// (a private session bus and umockdev's preload library).
//
// Usage: bench_ptp_emulated [--shots N]

// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "BenchSupport.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/UserDefaults.h"
#include "ptpcamera/EmulatedCamera.h"
#include "sdk/Maid.h"
#include "session/ZarvNikonBaseCameraHandler.h"

#include <gphoto2/gphoto2.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace zarv;
using zarv::ptp::test::EmulatedCamera;

namespace {

constexpr size_t kPicture = size_t(20) << 20;
const QString kProgram = QStringLiteral(ZARV_APP_DIR "/Contents/MacOS/ZarvNikonCapture");

using bench::spinUntil;

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
    double seconds = 0, cpu = 0;
};

// libgphoto2 alone: the D750 opened on its port, as a program that found it would.
class DirectCamera {
public:
    explicit DirectCamera(const std::string& port) {
        context_ = gp_context_new();
        gp_camera_new(&camera_);
        CameraAbilitiesList* al = nullptr;
        gp_abilities_list_new(&al);
        gp_abilities_list_load(al, context_);
        CameraAbilities a{};
        gp_abilities_list_get_abilities(
            al, gp_abilities_list_lookup_model(al, EmulatedCamera::kModel), &a);
        gp_abilities_list_free(al);
        gp_camera_set_abilities(camera_, a);
        GPPortInfoList* il = nullptr;
        gp_port_info_list_new(&il);
        gp_port_info_list_load(il);
        GPPortInfo info;
        gp_port_info_list_get_info(il, gp_port_info_list_lookup_path(il, port.c_str()), &info);
        gp_camera_set_port_info(camera_, info);
        gp_port_info_list_free(il);
        ok_ = gp_camera_init(camera_, context_) >= GP_OK;
    }
    ~DirectCamera() {
        gp_camera_exit(camera_, context_);
        gp_camera_unref(camera_);
        gp_context_unref(context_);
    }
    bool ok() const { return ok_; }

    // Trigger, wait for the picture, read it whole: partial reads from the card, the picture
    // libgphoto2 already holds from RAM. The bytes read, 0 on failure.
    size_t grab(bool card) {
        if (gp_camera_trigger_capture(camera_, context_) < GP_OK)
            return 0;
        CameraFilePath path{};
        for (int i = 0; i < 100; ++i) {
            CameraEventType type;
            void* data = nullptr;
            if (gp_camera_wait_for_event(camera_, 100, &type, &data, context_) < GP_OK)
                return 0;
            if (type == GP_EVENT_FILE_ADDED)
                path = *static_cast<CameraFilePath*>(data);
            std::free(data);
            if (path.name[0])
                break;
        }
        if (!path.name[0])
            return 0;
        if (card) {
            std::vector<char> piece(1 << 20);
            size_t total = 0;
            for (;;) {
                uint64_t n = piece.size();
                if (gp_camera_file_read(camera_, path.folder, path.name, GP_FILE_TYPE_NORMAL, total,
                                        piece.data(), &n, context_) < GP_OK)
                    return 0;
                if (n == 0)
                    return total;
                total += n;
            }
        }
        CameraFile* file = nullptr;
        gp_file_new(&file);
        const int rc = gp_camera_file_get(camera_, path.folder, path.name, GP_FILE_TYPE_NORMAL,
                                          file, context_);
        const char* bytes = nullptr;
        unsigned long size = 0;
        gp_file_get_data_and_size(file, &bytes, &size);
        gp_camera_file_delete(camera_, path.folder, path.name, context_);
        gp_file_unref(file);
        return rc < GP_OK ? 0 : size;
    }

    // The camera's own answer to a write and a read-back of one widget, in seconds.
    double setAndRead(const char* name, int choice) {
        QElapsedTimer clock;
        clock.start();
        CameraWidget* w = nullptr;
        if (gp_camera_get_single_config(camera_, name, &w, context_) < GP_OK)
            return -1;
        const char* value = nullptr;
        gp_widget_get_choice(w, choice, &value);
        gp_widget_set_value(w, value);
        gp_camera_set_single_config(camera_, name, w, context_);
        gp_widget_free(w);
        w = nullptr;
        gp_camera_get_single_config(camera_, name, &w, context_);
        gp_widget_free(w);
        return double(clock.nsecsElapsed()) / 1e9;
    }

private:
    ::Camera* camera_ = nullptr;
    GPContext* context_ = nullptr;
    bool ok_ = false;
};

// The same bytes written and synced into the hot folder as the program does: in 1 MiB pieces,
// then the file and its folder.
Timing diskWrite(const QString& folder, const std::string& bytes) {
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/.bench-write"));
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (size_t at = 0; fd >= 0 && at < bytes.size(); at += 1 << 20)
        if (::write(fd, bytes.data() + at, std::min<size_t>(1 << 20, bytes.size() - at)) < 0)
            break;
    ::fsync(fd);
    ::close(fd);
    const int dirFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    ::fsync(dirFd);
    ::close(dirFd);
    Timing t{double(clock.nsecsElapsed()) / 1e9, cpuSeconds() - cpu0};
    ::unlink(path.constData());
    return t;
}

// The whole program, headless, with the emulated D750 on the mocked USB bus.
struct Program {
    QTemporaryDir dir;
    QProcess process;
    QString hot = dir.path() + QStringLiteral("/hot");
    std::vector<Notification>* received = nullptr;

    bool start(const EmulatedCamera& cam) {
        QDir().mkpath(hot);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), dir.path() + QStringLiteral("/state"));
        cam.addTo(env);
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(dir.path() + QStringLiteral("/program.log"));
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(kProgram,
                      {QStringLiteral("--headless"), QStringLiteral("-prefSaveFolderPath"), hot});
        return process.waitForStarted() &&
               spinUntil(
                   [&] {
                       for (const Notification& n : *received)
                           if (n.userInfo.value(QStringLiteral("cameraStatus")).toInt() == 1)
                               return true;
                       return false;
                   },
                   60000);
    }
    int pictures() const {
        int n = 0;
        for (const Notification& note : *received)
            n += note.userInfo.contains(QStringLiteral("filePath")) ? 1 : 0;
        return n;
    }
    // Grab to announcement, and the program's CPU time meanwhile.
    Timing grab() {
        const int before = pictures();
        const double cpu0 = bench::processCpuSeconds(process.processId());
        QElapsedTimer clock;
        clock.start();
        DistributedNotificationCenter::defaultCenter().post(
            QStringLiteral("ZarvNikonAppNotification"), {},
            {{QStringLiteral("senderApp"), QStringLiteral("bench")},
             {QStringLiteral("action"), QStringLiteral("grabimage")}});
        if (!spinUntil([&] { return pictures() > before; }, 60000))
            return {-1, -1};
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        return {seconds, bench::processCpuSeconds(process.processId()) - cpu0};
    }
    QString log() const {
        QFile f(dir.path() + QStringLiteral("/program.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    ~Program() {
        ::kill(pid_t(process.processId()), SIGTERM);
        process.waitForFinished(30000);
    }
};

// One capture target: N grabs each way, medians.
bool compareGrabs(bool card, long rate, int shots, const std::string& picture,
                  std::vector<Notification>& received) {
    const char* target = card ? "card" : "RAM";
    const std::string link = rate ? "rate " + std::to_string(rate) : std::string("rate 0");
    std::vector<double> direct, directCpu, program, programCpu, disk;
    {
        EmulatedCamera cam;
        cam.addPicture("DSC_0001.JPG", picture);
        cam.applyToProcess();
        cam.setCaptureTarget(card ? EmulatedCamera::Target::Card : EmulatedCamera::Target::Sdram);
        cam.command(link);
        DirectCamera direct0(cam.port());
        if (!direct0.ok() || direct0.grab(card) != picture.size()) { // the first trigger warms up
            std::fprintf(stderr, "the direct grab into %s failed\n", target);
            return false;
        }
        for (int i = 0; i < shots; ++i) {
            const double cpu0 = cpuSeconds();
            QElapsedTimer clock;
            clock.start();
            if (direct0.grab(card) != picture.size())
                return false;
            direct.push_back(double(clock.nsecsElapsed()) / 1e9);
            directCpu.push_back(cpuSeconds() - cpu0);
        }
    }
    EmulatedCamera cam;
    cam.addPicture("DSC_0001.JPG", picture);
    cam.setCaptureTarget(card ? EmulatedCamera::Target::Card : EmulatedCamera::Target::Sdram);
    cam.command(link);
    received.clear();
    Program run;
    run.received = &received;
    if (!run.start(cam) || run.grab().seconds < 0) {
        std::fprintf(stderr, "the program did not connect or grab:\n%s\n", qPrintable(run.log()));
        return false;
    }
    for (int i = 0; i < shots; ++i) {
        const Timing t = run.grab();
        if (t.seconds < 0)
            return false;
        program.push_back(t.seconds);
        programCpu.push_back(t.cpu);
        disk.push_back(diskWrite(run.hot, picture).seconds);
    }
    const Timing write = diskWrite(run.hot, picture);
    // Connected and idle: the camera's thread asks for events every 30 ms, and the emulated
    // body reports a changed setting about once a second for every setting ever read.
    const double idle0 = bench::processCpuSeconds(run.process.processId());
    QElapsedTimer idleClock;
    idleClock.start();
    spinUntil([] { return false; }, 10000);
    const double idleShare = (bench::processCpuSeconds(run.process.processId()) - idle0) /
                             (double(idleClock.nsecsElapsed()) / 1e9);

    const double slower = std::max(median(direct), median(disk));
    const std::string over = rate ? "a link of " + std::to_string(rate / 1000000) + " MB/s"
                                  : std::string("no link limit");
    std::printf("20 MiB into %s over %s, %d shots: program grab to announcement %.0f ms; direct "
                "libgphoto2 grab %.0f ms, disk write and sync %.0f ms; slower/program %.2f "
                "(goal >= 0.9)\n",
                target, over.c_str(), shots, median(program) * 1e3, median(direct) * 1e3,
                median(disk) * 1e3, slower / median(program));
    std::printf("   CPU: program %.0f ms, direct grab %.0f ms (%.2f x; goal <= 1.5 x plus the "
                "write's own %.0f ms = %.2f x)\n",
                median(programCpu) * 1e3, median(directCpu) * 1e3,
                median(programCpu) / median(directCpu), write.cpu * 1e3,
                1.5 + write.cpu / median(directCpu));
    std::printf("   connected and idle for 10 s: %.2f %% of one core\n", idleShare * 100);
    return true;
}

// A setting written and read back through the session and the module, against libgphoto2's
// own single-widget write and read of the same widget.
bool compareSetting(int rounds) {
    QTemporaryDir work;
    EmulatedCamera cam;
    cam.addPicture("DSC_0001.JPG", EmulatedCamera::jpeg(1000));
    cam.applyToProcess();
    std::vector<double> direct, session;
    {
        DirectCamera camera(cam.port());
        if (!camera.ok())
            return false;
        for (int i = 0; i < rounds; ++i)
            direct.push_back(camera.setAndRead("shutterspeed", i % 2));
    }
    const QString folder = work.filePath(QStringLiteral("modules"));
    const QString module = QStringLiteral("ZarvPTP Module.bundle");
    bench::useBenchBundle(
        work.path(), QStringLiteral("com.quellbay.bench.ptp"),
        {{QStringLiteral("NIKON DSC D750"),
          QVariantMap{{QStringLiteral("devicename"), QStringLiteral("NIKON DSC D750")},
                      {QStringLiteral("modulename"), module}}}},
        folder);
    QFile::link(QStringLiteral(ZARV_MODULE_DIR "/") + module, folder + u'/' + module);
    auto queue =
        DispatchQueue::createSerial(QStringLiteral("com.quellbay.zarv.current.camera.queue"));
    bool ok = false;
    queue->sync([&] {
        ZarvNikonBaseCameraHandler handler;
        handler.setFUsbDeviceInfo(
            {{QStringLiteral("deviceName"), QStringLiteral("NIKON DSC D750")},
             {QStringLiteral("usbproperties"),
              QVariantMap{{QStringLiteral("BUSNUM"), QStringLiteral("001")},
                          {QStringLiteral("DEVNUM"), QStringLiteral("009")}}}});
        if (handler.FindCamera() != 0)
            return;
        for (int i = 0; i < rounds; ++i) {
            QElapsedTimer clock;
            clock.start();
            handler.SetCameraInfo(i % 2, kNkMAIDCapability_ShutterSpeed,
                                  QStringLiteral("enumtype"));
            handler.GetCameraInfo(kNkMAIDCapability_ShutterSpeed, QStringLiteral("enumtype"));
            session.push_back(double(clock.nsecsElapsed()) / 1e9);
        }
        handler.CloseMyCamera();
        ok = true;
    });
    if (!ok)
        return false;
    std::printf("shutter speed written and read back, %d rounds: through the program %.1f ms, "
                "libgphoto2 alone %.1f ms: %.1f ms beyond the camera's own answer (goal < 50)\n",
                rounds, median(session) * 1e3, median(direct) * 1e3,
                (median(session) - median(direct)) * 1e3);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QCoreApplication app(argc, argv);
    UserDefaults::setStandardIdentifier(QStringLiteral("com.quellbay.bench.ptp"));
    std::string why;
    const char* preload = std::getenv("LD_PRELOAD");
    if (!EmulatedCamera::available(&why) || !preload || !std::strstr(preload, "umockdev") ||
        !QDBusConnection::sessionBus().isConnected()) {
        std::fprintf(stderr, "%s\n", why.empty() ? "run through bench/app-bench.sh" : why.c_str());
        return 2;
    }
    const int shots = std::max(1, bench::argument(app.arguments(), QStringLiteral("--shots"), 5));
    std::vector<Notification> received;
    DistributedNotificationCenter::defaultCenter().addObserver(
        {}, [&](const Notification& n) { received.push_back(n); });
    QDBusConnection::sessionBus().interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
    // udev's view of the body, for every program run.
    UMockdevTestbed* testbed = umockdev_testbed_new();
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_file(testbed, ZARV_TEST_DATA "/nikon-d750.umockdev", &error)) {
        std::fprintf(stderr, "umockdev: %s\n", error ? error->message : "?");
        return 1;
    }
    const std::string picture = EmulatedCamera::jpeg(kPicture, 7);
    // The emulated link as fast as memory (the program's own costs laid bare), and as a body's
    // USB 2.0 link carries a picture (about 35 MB/s).
    bool ok = true;
    for (const long rate : {0L, 35000000L})
        for (const bool card : {false, true})
            ok = ok && compareGrabs(card, rate, shots, picture, received);
    ok = ok && compareSetting(20);
    g_object_unref(testbed);
    return ok ? 0 : 1;
}
