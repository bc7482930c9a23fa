// ZarvNikonCapture: camera tethering for Nikon cameras driven through their MAID modules.

#include "app/AppDelegate.h"
#include "messaging/ShotTimeline.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Display.h"
#include "platform/Log.h"
#include "platform/Memory.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "ui/MainWindow.h"
#include "ui/PathTransformer.h"
#include "ui/ScreenshotTour.h"

#include <QApplication>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QStringList>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace zarv;

namespace {

const char* const kUsage =
    "usage: ZarvNikonCapture [--headless] [-KEY VALUE]... [FILE]...\n"
    "       ZarvNikonCapture --version | --bundle-info | --help\n"
    "\n"
    "Watches USB for Nikon cameras, connects through their modules and saves every picture\n"
    "into the hot folder (prefSaveFolderPath), announcing it to the sibling programs.\n"
    "Without --headless it shows its window (a small status panel; Ctrl+click on its arrow\n"
    "opens the full window) and needs a display: it exits with status 2 when there is none.\n"
    "--headless     run without a window and without a display: status goes to the log,\n"
    "               alerts take their cancelling choice.\n"
    "-KEY VALUE     a setting for this run only (for example -prefSaveFolderPath /tmp/shots)\n"
    "FILE           module bundles or folders to describe in the log\n"
    "Signals: TERM and INT stop cleanly; HUP quits and starts again.\n";

QString versionText(const Bundle& bundle) {
    return QStringLiteral("%1 %2").arg(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString(),
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString());
}

void printBundleInformation(QTextStream& out, const Bundle& bundle) {
    out << versionText(bundle) << "\n";
    out << "Bundle:      " << bundle.bundlePath() << "\n";
    const QVariantMap info = bundle.infoDictionary();
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        out << "  " << it.key() << " = " << it.value().toString() << "\n";
    out << "Executable:  " << bundle.executablePath() << "\n";
    const QString helper32 =
        bundle.pathForAuxiliaryExecutable(QStringLiteral("ZarvNikonCapture_32"));
    out << "32-bit build: " << (helper32.isEmpty() ? QStringLiteral("not built") : helper32)
        << "\n";
    out << "Resources:   " << bundle.resourcePath() << "\n";
    for (const QString& name :
         {QStringLiteral("FactoryDefault"), QStringLiteral("FactoryDefaultNikonList")}) {
        const QString path = bundle.pathForResource(name, QStringLiteral("plist"));
        QString state = QStringLiteral("missing");
        if (!path.isEmpty()) {
            QString error;
            const QVariant value = PropertyList::readFile(path, &error);
            state =
                value.isValid() ? QStringLiteral("%1 entries").arg(value.toMap().size()) : error;
        }
        out << "  " << name << ": " << state << "\n";
    }
}

// Files named on the command line: what is neither an option nor a "-KEY VALUE" setting.
QStringList filesOf(const QStringList& arguments) {
    QStringList files;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments.at(i);
        if (a.startsWith(QLatin1String("--")))
            continue;
        if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-')))
                ++i;
            continue;
        }
        files << QFileInfo(a).absoluteFilePath();
    }
    return files;
}

int g_signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// Signals arrive through a pipe so that the handling runs on the main thread.
void watchSignals(AppDelegate& delegate) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &delegate);
    QObject::connect(notifier, &QSocketNotifier::activated, &delegate, [&delegate] {
        char byte = 0;
        while (::read(g_signalPipe[0], &byte, 1) == 1) {
            if (byte == SIGHUP) {
                qCInfo(zarvApp, "Hang-up signal: quitting and starting again");
                delegate.relaunchApp(QStringLiteral("SIGHUP"));
            } else {
                qCInfo(zarvApp, "Stop signal: quitting");
                delegate.terminate();
            }
        }
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &action, nullptr);
}

bool hasArgument(int argc, char** argv, const char* argument) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], argument) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread: what a hostile message made the D-Bus thread take can be given back.
    Memory::useOneHeap();
    // The camera layer's diagnostics go to standard output: line by line, they join the log
    // beside what caused them instead of at exit, after the last line, when it is a pipe or file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The kind of application object is chosen before there is one to parse the arguments.
    const bool headless = hasArgument(argc, argv, "--headless");
    const bool informationOnly = hasArgument(argc, argv, "--version") ||
                                 hasArgument(argc, argv, "--help") ||
                                 hasArgument(argc, argv, "--bundle-info");
    const bool windowed = !headless && !informationOnly;
    if (windowed) {
        QString why;
        if (!haveDisplay(&why)) {
            std::fprintf(stderr,
                         "ZarvNikonCapture: no display (%s): run with --headless to use it "
                         "without a window\n",
                         qPrintable(why));
            return 2;
        }
    }
    std::unique_ptr<QCoreApplication> application;
    if (windowed)
        application = std::make_unique<QApplication>(argc, argv);
    else
        application = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication& app = *application;
    const Bundle& bundle = Bundle::mainBundle();
    QCoreApplication::setApplicationName(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString());
    QCoreApplication::setApplicationVersion(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString());

    const QStringList args = app.arguments();
    QTextStream out(stdout);
    if (args.contains(QStringLiteral("--version"))) {
        out << versionText(bundle) << "\n";
        return 0;
    }
    if (args.contains(QStringLiteral("--help"))) {
        out << kUsage;
        return 0;
    }
    if (args.contains(QStringLiteral("--bundle-info"))) {
        printBundleInformation(out, bundle);
        return 0;
    }

    Log::install(QStringLiteral("ZarvNikonCapture"));
    Log::setEchoToStderr(true);
    if (!bundle.bundleIdentifier().isEmpty())
        UserDefaults::setStandardIdentifier(bundle.bundleIdentifier());

    AppDelegate delegate({!windowed, args, {}});
    watchSignals(delegate);
    std::unique_ptr<MainWindow> window;
    if (windowed) {
        setBeepFunction([] { QApplication::beep(); });
        PathTransformer::registerTransformer(); // the status light finds its images through it
        window = std::make_unique<MainWindow>(delegate);
        delegate.setView(window.get());
    }
    // The controller drops the window before it goes, whichever way main() ends.
    const auto dropWindow = qScopeGuard([&delegate] { delegate.setView(nullptr); });
    if (!delegate.initialize())
        return 0; // another copy runs and was asked forward
    ShotTimeline::shared().setLogFile(ShotTimeline::defaultLogPath());
    if (delegate.applicationWillFinishLaunching()) {
        delegate.applicationDidFinishLaunching();
        const QStringList files = filesOf(args);
        if (!files.isEmpty())
            DispatchQueue::main().async(
                [&delegate, files] { delegate.applicationOpenFiles(files); });
        if (window)
            ScreenshotTour::startIfAsked(delegate, *window);
    }
    const int status = QCoreApplication::exec();
    ShotTimeline::shared().flush();
    qCInfo(zarvApp, "ZarvNikonCapture ends");
    return status;
}
