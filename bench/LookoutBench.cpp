// The viewer, ZarvLookout, as it ships: in a 1920 x 1080 window on a virtual display, beside the
// capture program and the virtual camera on a mocked USB bus. Run through bench/app-bench.sh
// (a private session bus and umockdev's preload library).
//
//   latency     announcement to the picture painted, 24 MP JPEG shots through the capture
//               program, and NEF files announced as the capture program announces them
//   decode      the viewer's decode of the fitted view against libjpeg-turbo's own scaled decode
//   session     thumbnails of a 1 000-picture session, the longest stall of the window meanwhile,
//               then resident memory after browsing all 1 000

// umockdev's header pulls in GLib, whose struct members clash with Qt's keywords: it comes first.
#include <umockdev.h>

#include "BenchSupport.h"
#include "lookout/PictureFile.h"
#include "lookout/SamplePictures.h"
#include "platform/DistributedNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <jpeglib.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

using namespace zarv;
// The viewer stamps its own paints: the bench only looks now and then, and keeps off the cores.
using bench::pollUntil;

namespace {

const QString kCapture = QStringLiteral(ZARV_APP_DIR "/Contents/MacOS/ZarvNikonCapture");
const QString kViewer = QStringLiteral(ZARV_LOOKOUT);
const QSize kWindow(1920, 1080);

double median(const std::vector<double>& v);

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

double median(const std::vector<double>& v) {
    return percentile(v, 0.5);
}

QJsonObject readJson(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                       : QJsonObject();
}

// The viewer's record of painting `path` fitted: when anything of it was first painted (a quick
// stand-in, or the picture), when the decoded picture itself was painted ("at"), asked for,
// taken up by a thread and decoded (ms since 1970); empty until the picture itself is painted.
QJsonObject paintOf(const QJsonObject& state, const QString& path) {
    for (const QJsonValue& p : state.value(QStringLiteral("painted")).toArray()) {
        const QJsonObject o = p.toObject();
        if (!o.value(QStringLiteral("full")).toBool() &&
            o.value(QStringLiteral("sharp")).toBool() &&
            o.value(QStringLiteral("path")).toString() == path)
            return o;
    }
    return {};
}

qint64 paintedAt(const QJsonObject& state, const QString& path) {
    const QJsonObject o = paintOf(state, path);
    return o.isEmpty() ? -1 : qint64(o.value(QStringLiteral("at")).toDouble());
}

// Where the time between announcement and paint went, shot by shot.
struct Stages {
    std::vector<double> toAsked, queued, decoding, toPainted;
    void add(const QJsonObject& paint, qint64 announcedAt) {
        const auto at = [&](const char* key) { return paint.value(QLatin1String(key)).toDouble(); };
        if (at("asked") <= 0)
            return;
        toAsked.push_back(at("asked") - double(announcedAt));
        queued.push_back(at("started") - at("asked"));
        decoding.push_back(at("decoded") - at("started"));
        toPainted.push_back(at("at") - at("decoded"));
    }
};

long long residentKiB(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// A display of 1920 x 1200, so that the 1920 x 1080 window fits whole.
struct VirtualDisplay {
    QProcess server;
    QString name;
    VirtualDisplay() {
        server.start(QStringLiteral("Xvfb"),
                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                      QStringLiteral("0"), QStringLiteral("1920x1200x24"),
                      QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                      QStringLiteral("-noreset")});
        QByteArray number;
        while (server.waitForStarted(10000) && !number.contains('\n') &&
               server.waitForReadyRead(10000))
            number += server.readAllStandardOutput();
        bool ok = false;
        const int n = number.trimmed().toInt(&ok);
        if (ok)
            name = QStringLiteral(":%1").arg(n);
    }
    ~VirtualDisplay() {
        server.terminate();
        server.waitForFinished(5000);
    }
};

struct Viewer {
    QProcess process;
    QString state;
    void start(const VirtualDisplay& display, const QString& folder) {
        state = folder + QStringLiteral("/viewer-state.json");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display.name);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("ZARV_LOOKOUT_STATE_FILE"), state);
        env.remove(QStringLiteral("LD_PRELOAD")); // the viewer has no use for the mocked USB
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(folder + QStringLiteral("/viewer.log"));
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(kViewer,
                      {QStringLiteral("--size"),
                       QStringLiteral("%1x%2").arg(kWindow.width()).arg(kWindow.height())});
        process.waitForStarted();
        pollUntil([&] { return readJson(state).contains(QStringLiteral("count")); }, 30000);
    }
    QJsonObject now() const { return readJson(state); }
    ~Viewer() {
        process.terminate();
        process.waitForFinished(10000);
    }
};

void announce(DistributedNotificationCenter& center, const QVariant& value) {
    center.post(QStringLiteral("ZarvLookoutNotification"), QStringLiteral("test"),
                {{QStringLiteral("senderApp"), QStringLiteral("ZarvNikonCapture.app")},
                 {QStringLiteral("action"), QStringLiteral("newImageToDisplayForLookout")},
                 {QStringLiteral("value"), value}});
}

// libjpeg-turbo alone: the file read and decoded at 1/`denominator`, as a program of its own
// would for the same view, with its default settings or with the fast transform and plain
// upsampling the viewer's fitted decode asks for. Returns milliseconds.
double referenceDecodeMs(const QString& path, int denominator, bool fast, QSize* size) {
    QElapsedTimer clock;
    clock.start();
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QByteArray bytes = f.readAll();
    jpeg_decompress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 (unsigned long)bytes.size());
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = unsigned(denominator);
    info.out_color_space = JCS_EXT_BGRX; // what a screen takes
    if (fast) {
        info.dct_method = JDCT_IFAST;
        info.do_fancy_upsampling = FALSE;
    }
    jpeg_start_decompress(&info);
    std::vector<unsigned char> pixels(size_t(info.output_width) * info.output_height * 4);
    while (info.output_scanline < info.output_height) {
        unsigned char* row = pixels.data() + size_t(info.output_scanline) * info.output_width * 4;
        jpeg_read_scanlines(&info, &row, 1);
    }
    *size = QSize(int(info.output_width), int(info.output_height));
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return double(clock.nsecsElapsed()) / 1e6;
}

// What every part of the run shares: the samples, the display, the verdicts.
struct Bench {
    QStringList args;
    QTemporaryDir work;
    QString hot;
    QString jpeg;
    QString nef;
    DistributedNotificationCenter& center = DistributedNotificationCenter::defaultCenter();
    VirtualDisplay display;
    QSize viewSize; // the picture's area in the viewer's window, as it reports it
    int failures = 0;

    const char* verdict(bool ok) {
        failures += ok ? 0 : 1;
        return ok ? "met" : "MISSED";
    }
    void makeSamples();
    bool latency(int shots);
    void decode();
    void session(int count);
};

void Bench::makeSamples() {
    hot = work.path() + QStringLiteral("/hot");
    QDir().mkpath(hot);
    // The pictures: a 24 MP JPEG with its EXIF thumbnail, as cameras write them, and an NEF
    // with its full-size JPEG preview.
    std::printf("making the sample pictures (6000 x 4000)...\n");
    std::fflush(stdout);
    jpeg = work.path() + QStringLiteral("/sample.jpg");
    nef = work.path() + QStringLiteral("/sample.nef");
    const QImage scene = lookout::samples::drawScene({6000, 4000}, 1);
    lookout::samples::writeJpeg(jpeg, scene, {}, 92);
    lookout::samples::writeNef(nef, scene, {});
    std::printf("JPEG %lld bytes, NEF %lld bytes\n", QFileInfo(jpeg).size(), QFileInfo(nef).size());
}

// The capture program, headless, on the virtual camera whose every shot is `picture`.
struct Capture {
    QProcess process;
    Capture(const QString& folder, const QString& hot, const QString& picture) {
        QFile config(folder + QStringLiteral("/camera.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(QStringLiteral("pictures = 0\npicture = %1\n").arg(picture).toUtf8());
        config.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), folder + QStringLiteral("/state"));
        env.insert(QStringLiteral("ZARV_VIRTUAL_CAMERA_CONFIG"), config.fileName());
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(folder + QStringLiteral("/capture.log"));
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(kCapture,
                      {QStringLiteral("--headless"), QStringLiteral("-prefSaveFolderPath"), hot});
    }
    ~Capture() {
        ::kill(pid_t(process.processId()), SIGTERM);
        process.waitForFinished(30000);
    }
};

// Announcement to paint of `path`, announced by `announceIt`, which returns the moment of the
// announcement (-1: none came).
struct Timings {
    std::vector<double> ms;      // to the sharp paint: what the goals are judged on
    std::vector<double> firstMs; // to the first paint, a quick stand-in where the file has one
    int quickFirst = 0;
    Stages stages;
    bool measure(const Viewer& viewer, const std::function<qint64(QString*)>& announceIt) {
        QString path;
        const qint64 sent = announceIt(&path);
        if (sent < 0)
            return false;
        qint64 at = -1;
        if (!pollUntil([&] { return (at = paintedAt(viewer.now(), path)) >= 0; }, 30000))
            return false;
        ms.push_back(double(at - sent));
        const QJsonObject paint = paintOf(viewer.now(), path);
        firstMs.push_back(paint.value(QStringLiteral("first")).toDouble() - double(sent));
        quickFirst += paint.value(QStringLiteral("quickFirst")).toBool() ? 1 : 0;
        stages.add(paint, sent);
        pollUntil([] { return false; }, 150);
        return true;
    }
};

bool Bench::latency(int shots) {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    umockdev_testbed_add_from_file(testbed, ZARV_TEST_DATA "/zarv-virtual-camera.umockdev",
                                   nullptr);
    Viewer viewer;
    viewer.start(display, work.path());
    QStringList announced;
    QList<qint64> announcedAt;
    const auto token =
        center.addObserver(QStringLiteral("ZarvLookoutNotification"), [&](const Notification& n) {
            const QVariant v = n.userInfo.value(QStringLiteral("value"));
            if (v.typeId() == QMetaType::QString) {
                announced << v.toString();
                announcedAt << QDateTime::currentMSecsSinceEpoch();
            }
        });
    Timings jpegs, nefs;
    {
        Capture capture(work.path(), hot, jpeg);
        if (!pollUntil(
                [&] { return viewer.now().value(QStringLiteral("captureRunning")).toBool(); },
                30000)) {
            std::fprintf(stderr, "the viewer never saw the capture program\n");
            return false;
        }
        pollUntil([] { return false; }, 3000); // the camera connects
        for (int i = 0; i < shots; ++i) {
            const bool ok = jpegs.measure(viewer, [&](QString* path) -> qint64 {
                const qsizetype before = announced.size();
                center.post(QStringLiteral("ZarvNikonAppNotification"), {},
                            {{QStringLiteral("senderApp"), QStringLiteral("bench")},
                             {QStringLiteral("action"), QStringLiteral("grabimage")}});
                if (!pollUntil([&] { return announced.size() > before; }, 30000))
                    return -1;
                *path = announced.last();
                return announcedAt.last();
            });
            if (!ok) {
                std::fprintf(stderr, "shot %d was not announced or not painted\n", i);
                return false;
            }
        }
        // The virtual camera sends JPEG only: NEFs land in the hot folder and are announced as
        // the capture program announces each picture it saves.
        for (int i = 0; i < shots; ++i) {
            const bool ok = nefs.measure(viewer, [&](QString* path) {
                *path = hot + QStringLiteral("/Image_%1.nef").arg(i, 4, 10, QLatin1Char('0'));
                QFile::copy(nef, *path);
                const qint64 sent = QDateTime::currentMSecsSinceEpoch();
                announce(center, *path);
                return sent;
            });
            if (!ok) {
                std::fprintf(stderr, "NEF %d was not painted\n", i);
                return false;
            }
        }
    }
    center.removeObserver(token);
    const QJsonObject state = viewer.now();
    std::printf("\nannouncement to painted, 1920 x 1080 window, %d shots each; the goals are "
                "judged on the sharp paint (the fitted decode itself), the first paint (a quick "
                "stand-in from the file's own embedded picture) is shown beside it:\n",
                shots);
    std::printf("  24 MP JPEG sharp: p50 %.0f ms (goal < 80: %s), p95 %.0f ms (goal < 150: %s)\n",
                percentile(jpegs.ms, 0.5), verdict(percentile(jpegs.ms, 0.5) < 80),
                percentile(jpegs.ms, 0.95), verdict(percentile(jpegs.ms, 0.95) < 150));
    std::printf("  24 MP JPEG first: p50 %.0f ms, p95 %.0f ms (%d of %zu with a stand-in first)\n",
                percentile(jpegs.firstMs, 0.5), percentile(jpegs.firstMs, 0.95), jpegs.quickFirst,
                jpegs.ms.size());
    std::printf("  NEF preview sharp: p50 %.0f ms (goal < 60: %s), p95 %.0f ms\n",
                percentile(nefs.ms, 0.5), verdict(percentile(nefs.ms, 0.5) < 60),
                percentile(nefs.ms, 0.95));
    std::printf("  NEF preview first: p50 %.0f ms, p95 %.0f ms (%d of %zu with a stand-in first)\n",
                percentile(nefs.firstMs, 0.5), percentile(nefs.firstMs, 0.95), nefs.quickFirst,
                nefs.ms.size());
    for (const auto& [what, st] :
         {std::pair<const char*, const Stages*>{"JPEG", &jpegs.stages}, {"NEF", &nefs.stages}})
        std::printf("  %s medians: announcement to asked %.0f ms, waiting for a thread %.0f "
                    "ms, read and decode %.0f ms, decoded to painted %.0f ms\n",
                    what, median(st->toAsked), median(st->queued), median(st->decoding),
                    median(st->toPainted));
    const QJsonArray size = state.value(QStringLiteral("size")).toArray();
    viewSize = QSize(size.at(0).toInt(), size.at(1).toInt());
    const int stall = state.value(QStringLiteral("longestStallMs")).toInt();
    std::printf("  view %d x %d, longest stall of the window: %d ms (goal < 16: %s)\n",
                viewSize.width(), viewSize.height(), stall, verdict(stall < 16));
    umockdev_testbed_remove_device(testbed, "/sys/devices/usb1"); // best effort
    g_object_unref(testbed);
    return true;
}

void Bench::decode() {
    if (!viewSize.isValid()) {
        Viewer viewer;
        viewer.start(display, work.path());
        const QJsonArray size = viewer.now().value(QStringLiteral("size")).toArray();
        viewSize = QSize(size.at(0).toInt(), size.at(1).toInt());
    }
    // What the viewer does for the view: its decode at the decoder's scale, brought to the
    // view's exact size.
    const QSize box = viewSize;
    const QSize scaled =
        lookout::jpegScaledSize({6000, 4000}, QSize(6000, 4000).scaled(box, Qt::KeepAspectRatio));
    const int denominator = 6000 / scaled.width();
    std::vector<double> ours, plain, fast;
    QSize ourSize, referenceSize;
    for (int i = 0; i < 21; ++i) {
        QElapsedTimer clock;
        clock.start();
        lookout::Decoded d = lookout::decodePicture(jpeg, box);
        lookout::fitToBox(d, box);
        ours.push_back(double(clock.nsecsElapsed()) / 1e6);
        ourSize = d.image.size();
        plain.push_back(referenceDecodeMs(jpeg, denominator, false, &referenceSize));
        fast.push_back(referenceDecodeMs(jpeg, denominator, true, &referenceSize));
    }
    // The viewer decodes with libjpeg-turbo's default settings: that decode is the measure.
    const double ratio = median(plain) / median(ours);
    std::printf("\nfitted decode of the 24 MP JPEG for the %d x %d view:\n", box.width(),
                box.height());
    std::printf("  viewer %.1f ms (to %d x %d, with its metadata); libjpeg-turbo alone at 1/%d "
                "(%d x %d): %.1f ms with its defaults (as the viewer decodes), %.1f ms with the "
                "fast transform and plain upsampling\n",
                median(ours), ourSize.width(), ourSize.height(), denominator, referenceSize.width(),
                referenceSize.height(), median(plain), median(fast));
    std::printf("  ratio to libjpeg-turbo's same (default) decode %.2f (goal >= 0.9: %s), to "
                "its fast decode %.2f\n",
                ratio, verdict(ratio >= 0.9), median(fast) / median(ours));
    // As the viewer asks for a new picture: the stand-in first, then the fitted decode.
    for (const auto& [what, path] : {std::pair{"JPEG", jpeg}, std::pair{"NEF", nef}}) {
        std::vector<double> first, sharp;
        for (int i = 0; i < 11; ++i) {
            QElapsedTimer clock;
            clock.start();
            double quickAt = -1;
            lookout::Decoded d = lookout::decodePicture(path, box, true, [&](lookout::Decoded&&) {
                quickAt = double(clock.nsecsElapsed()) / 1e6;
            });
            lookout::fitToBox(d, box);
            sharp.push_back(double(clock.nsecsElapsed()) / 1e6);
            first.push_back(quickAt);
        }
        std::printf("  %s as the viewer reads a new one: stand-in after %.1f ms, fitted picture "
                    "after %.1f ms\n",
                    what, median(first), median(sharp));
    }
}

// Ten different 24 MP pictures under `count` names (links: the disk holds ten); returns the
// names, and the ten in `sources`.
QVariantList makeSession(const QString& folder, int count, QStringList* sources) {
    const QString session = folder + QStringLiteral("/session");
    QDir().mkpath(session);
    for (int v = 0; v < 10; ++v) {
        const QString s = folder + QStringLiteral("/source%1.jpg").arg(v);
        lookout::samples::writeJpeg(s, lookout::samples::drawScene({6000, 4000}, v + 2), {}, 92);
        *sources << s;
    }
    QVariantList paths;
    for (int i = 0; i < count; ++i) {
        const QString p = session + QStringLiteral("/Image_%1.jpg").arg(i, 5, 10, QLatin1Char('0'));
        ::link(QFile::encodeName(sources->at(i % 10)).constData(),
               QFile::encodeName(p).constData());
        paths << p;
    }
    return paths;
}

void Bench::session(int count) {
    QStringList sources;
    const QVariantList paths = makeSession(work.path(), count, &sources);
    // One thumbnail as the viewer makes it, here in this process: a thousand of them should
    // take about a thousand times as long.
    std::vector<double> one;
    for (int i = 0; i < 50; ++i) {
        QElapsedTimer clock;
        clock.start();
        const lookout::Decoded t = lookout::makeThumbnail(sources[i % 10], {144, 96});
        one.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (t.image.isNull())
            std::fprintf(stderr, "no thumbnail of %s\n", qPrintable(sources[i % 10]));
    }
    // The sources leave the page cache: the first look at each comes from the disk.
    for (const QString& source : sources) {
        const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY);
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
    Viewer viewer;
    viewer.start(display, work.path() + QStringLiteral("/session"));
    pollUntil([] { return false; }, 1000);
    QElapsedTimer clock;
    clock.start();
    announce(center, paths); // as the capture program answers "getlistofimages"
    const bool ready = pollUntil(
        [&] { return viewer.now().value(QStringLiteral("thumbnailsReady")).toInt() >= count; },
        60000);
    const double seconds = double(clock.elapsed()) / 1000.0;
    const int stall = viewer.now().value(QStringLiteral("longestStallMs")).toInt();
    std::printf("\n%d-picture session: thumbnails ready in %.2f s (goal < 5: %s), longest "
                "stall of the window %d ms (goal < 16: %s)\n",
                count, seconds, verdict(ready && seconds < 5), stall, verdict(stall < 16));
    std::printf("  one thumbnail in this process: %.2f ms (EXIF thumbnail from the file's "
                "head), times %d: %.2f s\n",
                median(one), count, median(one) * count / 1000.0);
    // Browsing: each picture shown in turn, as a second copy asks the first.
    QElapsedTimer browse;
    browse.start();
    for (const QVariant& p : paths) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("com.quellbay.ZarvLookout"), QStringLiteral("/com/quellbay/ZarvLookout"),
            QStringLiteral("com.quellbay.ZarvLookout"), QStringLiteral("Open"));
        call.setArguments({QStringList{p.toString()}});
        QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
        pollUntil([&] { return paintedAt(viewer.now(), p.toString()) >= 0; }, 10000);
    }
    pollUntil([] { return false; }, 1000);
    const long long rss = residentKiB(viewer.process.processId());
    std::printf("after browsing all %d (%.0f s): resident memory %.0f MiB (goal < 300: %s)\n",
                count, double(browse.elapsed()) / 1000.0, double(rss) / 1024.0,
                verdict(rss > 0 && rss < 300 * 1024));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen"); // the bench draws its samples; it shows nothing
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString only =
        args.size() > 1 && !args[1].startsWith(QLatin1String("--")) ? args[1] : QString();
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev") ||
        !QDBusConnection::sessionBus().isConnected()) {
        std::fprintf(stderr, "run through bench/app-bench.sh (private bus and umockdev)\n");
        return 2;
    }
    Bench bench;
    bench.makeSamples();
    if (bench.display.name.isEmpty()) {
        std::fprintf(stderr, "Xvfb could not be started\n");
        return 1;
    }
    if ((only.isEmpty() || only == QLatin1String("latency")) &&
        !bench.latency(bench::argument(args, QStringLiteral("--shots"), 50)))
        return 1;
    if (only.isEmpty() || only == QLatin1String("decode"))
        bench.decode();
    if (only.isEmpty() || only == QLatin1String("session"))
        bench.session(bench::argument(args, QStringLiteral("--pictures"), 1000));
    return bench.failures == 0 ? 0 : 1;
}
