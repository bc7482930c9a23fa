// Transfer benchmark: the virtual camera delivers a 64 MiB picture in 1 MiB pieces through the
// SDK client into the save folder; in the same run the same bytes are written to the same folder
// with one write and one fsync. Prints both throughputs, their ratio and the transfer's peak
// resident memory.
//
// Usage: transfer [--folder DIR] [--rounds N] [--size MIB]

#include "sdk/Function.h"

#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace zarv;
using Clock = std::chrono::steady_clock;

namespace {

long statusKiB(const char* field) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Starts a new peak: the kernel resets VmHWM to the current resident size.
void resetPeak() {
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Camera {
    tagRefObj root{};
    LPRefObj source = nullptr;

    bool open() {
        InitRefObj(&root);
        root.object = static_cast<tagNkMAIDObject*>(MaidAlloc(sizeof(tagNkMAIDObject)));
        std::memset(root.object, 0, sizeof(tagNkMAIDObject));
        root.object->refClient = ptrToWord(&root);
        uint32_t id = 0;
        if (!Command_Open(nullptr, root.object, 0) ||
            !EnumCapabilities(root.object, &root.capCount, &root.capInfos) || !SetProc(&root) ||
            !SelectSource(&root, &id) || !AddChild(&root, int32_t(id)))
            return false;
        source = GetRefChildPtr_ID(&root, int32_t(id));
        return source != nullptr;
    }

    bool fetch() {
        uint32_t itemId = 0;
        if (!SelectItem(source, &itemId) || itemId == 0 || !AddChild(source, int32_t(itemId)))
            return false;
        LPRefObj item = GetRefChildPtr_ID(source, int32_t(itemId));
        g_bFileRemoved = false;
        const bool ok = ImageCommandLoop(item, kNkMAIDDataObjType_Image);
        if (g_bFileRemoved)
            RemoveChild(source, int32_t(itemId));
        return ok;
    }

    void close() { Close_Module(&root); }
};

struct Options {
    QString parent = QDir::currentPath();
    int rounds = 3;
    long mib = 64;
};

Options parseArguments(const QStringList& args) {
    Options o;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--folder"))
            o.parent = args[i + 1];
        else if (args[i] == QLatin1String("--rounds"))
            o.rounds = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--size"))
            o.mib = std::max(1L, args[i + 1].toLong());
    }
    return o;
}

void writeCameraConfig(const QString& path, int rounds, uint64_t size) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral("pictures = %1\npiece_size = 1048576\npicture_size = %2\n")
                .arg(rounds)
                .arg(size)
                .toUtf8());
}

// The same bytes as the saved picture `name`, written to the same folder with one write and one
// fsync; the seconds that took. The bytes are read back outside the timing and let go before
// the next transfer so that they never count in its peak.
double plainWriteSeconds(const QString& folder, const QString& name) {
    std::vector<char> bytes;
    {
        QFile saved(QDir(folder).filePath(name));
        saved.open(QIODevice::ReadOnly);
        const QByteArray all = saved.readAll();
        bytes.assign(all.begin(), all.end());
    }
    const std::string plain = QDir(folder).filePath(QStringLiteral("plain.bin")).toStdString();
    const auto t1 = Clock::now();
    const int fd = ::open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    fsync(fd);
    ::close(fd);
    const double took = seconds(Clock::now() - t1);
    if (written != ssize_t(bytes.size()))
        std::fprintf(stderr, "transfer: the plain write came up short\n");
    unlink(plain.c_str());
    return took;
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    QCoreApplication app(argc, argv);
    UserDefaults::setStandardIdentifier(QStringLiteral("com.quellbay.ZarvNikonCapture.bench"));

    const Options options = parseArguments(app.arguments());
    const QString& parent = options.parent;
    const int rounds = options.rounds;
    const uint64_t size = uint64_t(options.mib) << 20;
    QTemporaryDir work(parent + QStringLiteral("/zarv-transfer-bench-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "transfer: cannot make a folder in %s\n", qPrintable(parent));
        return 1;
    }
    const QString folder = work.filePath(QStringLiteral("pictures"));
    QDir().mkpath(folder);
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), folder);
    const QString config = work.filePath(QStringLiteral("camera.conf"));
    writeCameraConfig(config, rounds, size);
    qputenv("ZARV_VIRTUAL_CAMERA_CONFIG", config.toUtf8());

    Bundle bundle(QStringLiteral(ZARV_MODULE_DIR "/ZarvVirtualCamera Module.bundle"));
    QString error;
    if (!bundle.load(&error)) {
        std::fprintf(stderr, "transfer: %s\n", qPrintable(error));
        return 1;
    }
    g_pMAIDEntryPoint = reinterpret_cast<LPMAIDEntryPointProc>(bundle.symbol("MAIDEntryPoint"));
    Camera camera;
    if (!g_pMAIDEntryPoint || !camera.open()) {
        std::fprintf(stderr, "transfer: the virtual camera does not open\n");
        return 1;
    }

    std::vector<double> clientTimes, plainTimes;
    long peakKiB = 0;
    const long before = statusKiB("VmRSS:");
    for (int round = 0; round < rounds; ++round) {
        resetPeak();
        const auto t0 = Clock::now();
        if (!camera.fetch()) {
            std::fprintf(stderr, "transfer: the picture did not arrive\n");
            return 1;
        }
        clientTimes.push_back(seconds(Clock::now() - t0));
        peakKiB = std::max(peakKiB, statusKiB("VmHWM:"));

        const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Time);
        if (names.isEmpty()) {
            std::fprintf(stderr, "transfer: no file was written\n");
            return 1;
        }
        plainTimes.push_back(plainWriteSeconds(folder, names.front()));
        for (const QString& name : names)
            QFile::remove(QDir(folder).filePath(name));
    }
    camera.close();

    const double client = median(clientTimes);
    const double plain = median(plainTimes);
    const double mb = double(size) / (1 << 20);
    std::printf("\npicture: %.0f MiB in 1 MiB pieces, %d rounds, median times, folder %s\n", mb,
                rounds, qPrintable(parent));
    std::printf("client transfer : %8.1f MiB/s (%.3f s)\n", mb / client, client);
    std::printf("one write+fsync : %8.1f MiB/s (%.3f s)\n", mb / plain, plain);
    std::printf("ratio           : %8.2f (goal >= 0.80)\n", plain / client);
    std::printf("peak resident   : %8.1f MiB during the transfer, %.1f MiB above the start "
                "(goal <= %.0f MiB)\n",
                peakKiB / 1024.0, (peakKiB - before) / 1024.0, mb + 16);
    return 0;
}
