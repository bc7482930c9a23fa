// ZarvLookout: the family's viewer. Shows each picture ZarvNikonCapture saves the moment it is
// announced on the session bus.

#include "CaptureLink.h"
#include "LookoutWindow.h"
#include "Messages.h"
#include "platform/Display.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>
#include <cstring>
#include <malloc.h>

using namespace zarv;
using namespace zarv::lookout;

namespace {

const char* const kVersion = "ZarvLookout 1.0.0";
const char* const kUsage =
    "usage: zarvlookout [--size WIDTHxHEIGHT] [FILE]...\n"
    "       zarvlookout --version | --help\n"
    "\n"
    "Shows each picture ZarvNikonCapture saves, the moment it is announced on the session bus,\n"
    "with its histogram and shooting data, and the session's pictures in a filmstrip. FILEs are\n"
    "shown too. Only one copy runs per desktop session: a second one brings it forward (and\n"
    "hands it its FILEs).\n"
    "Keys: Left/Right previous/next, Home first, End newest (and follow), Space fit / 100 %,\n"
    "C clipping. A click zooms to 100 % on that point; drag to pan.\n";

const QString kService = QStringLiteral("com.quellbay.ZarvLookout");
const QString kObjectPath = QStringLiteral("/com/quellbay/ZarvLookout");

// The running copy's face on the bus: a second copy asks it forward with its files.
class InstanceAdaptor : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quellbay.ZarvLookout")
public:
    explicit InstanceAdaptor(LookoutWindow* window) : QObject(window), m_window(window) {}
public slots:
    Q_SCRIPTABLE void Activate() {
        m_window->showNormal();
        m_window->raise();
        m_window->activateWindow();
    }
    Q_SCRIPTABLE void Open(const QStringList& files) {
        QStringList paths;
        for (const QString& f : files)
            if (isAcceptablePath(f))
                paths << f;
        m_window->addPictures(paths, false);
        // One picture already in the session is shown, as a file manager's "open" expects.
        if (paths.size() == 1 && m_window->session().indexOf(paths.first()) >= 0)
            m_window->showIndex(m_window->session().indexOf(paths.first()));
        Activate();
    }

private:
    LookoutWindow* m_window;
};

bool hasArgument(int argc, char** argv, const char* argument) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], argument) == 0)
            return true;
    return false;
}

QStringList filesOf(const QStringList& arguments) {
    QStringList files;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--size"))
            ++i;
        else if (!arguments.at(i).startsWith(QLatin1Char('-')))
            files << QFileInfo(arguments.at(i)).absoluteFilePath();
    }
    return files;
}

// "--size 1920x1080": the window's size at start.
QSize sizeOf(const QStringList& arguments) {
    const qsizetype i = arguments.indexOf(QStringLiteral("--size"));
    if (i < 0 || i + 1 >= arguments.size())
        return {};
    const QStringList wh = arguments.at(i + 1).split(QLatin1Char('x'));
    const QSize size(wh.value(0).toInt(), wh.value(1).toInt());
    return size.isValid() && !size.isEmpty() ? size : QSize();
}

} // namespace

int main(int argc, char** argv) {
    if (hasArgument(argc, argv, "--version")) {
        std::printf("%s\n", kVersion);
        return 0;
    }
    if (hasArgument(argc, argv, "--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!haveDisplay()) {
        std::fprintf(stderr, "ZarvLookout: no display (DISPLAY and WAYLAND_DISPLAY unset, or the "
                             "X display does not answer)\n");
        return 2;
    }
    // A picture's buffers (its file, its bands, its decoded rows: a few megabytes each) come
    // from the heap and are used again for the next picture: mapped afresh each time, their
    // pages cost a fault apiece, milliseconds a picture. Nor is a freed picture's memory handed
    // back at once, only to be faulted in again for the next one (setting the first threshold
    // leaves the second at its small default). The cache's bound keeps the heap small.
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ZarvLookout"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.quellbay.ZarvLookout"));
    Log::install(QStringLiteral("ZarvLookout"));
    Log::setEchoToStderr(true);
    const QStringList files = filesOf(app.arguments());

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        const auto reply =
            bus.interface()->registerService(kService, QDBusConnectionInterface::DontQueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid() && reply.value() != QDBusConnectionInterface::ServiceRegistered) {
            qCInfo(zarvLookout, "ZarvLookout already runs: asking it forward");
            QDBusMessage call = QDBusMessage::createMethodCall(
                kService, kObjectPath, kService,
                files.isEmpty() ? QStringLiteral("Activate") : QStringLiteral("Open"));
            if (!files.isEmpty())
                call.setArguments({files});
            bus.call(call, QDBus::Block, 5000);
            return 0;
        }
    }

    auto& center = DistributedNotificationCenter::defaultCenter();
    CaptureLink link(center);
    LookoutWindow window(link);
    if (bus.isConnected())
        bus.registerObject(kObjectPath, new InstanceAdaptor(&window),
                           QDBusConnection::ExportScriptableSlots);
    if (const QSize size = sizeOf(app.arguments()); size.isValid())
        window.resize(size);
    window.show();
    link.start();
    if (!files.isEmpty())
        window.addPictures(files, false);
    const QString tour = qEnvironmentVariable("ZARV_LOOKOUT_SCREENSHOT_DIR");
    if (!tour.isEmpty())
        window.startScreenshotTour(tour);
    const int status = QApplication::exec();
    qCInfo(zarvLookout, "ZarvLookout ends");
    return status;
}

#include "main.moc"
