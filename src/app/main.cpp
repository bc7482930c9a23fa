// ZarvNikonCapture: camera tethering for Nikon cameras driven through their MAID modules.

#include "AppDelegate.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>
#include <QTextStream>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace zarv;

namespace {

const char* const kUsage =
    "usage: ZarvNikonCapture [--headless] [-KEY VALUE]... [FILE]...\n"
    "       ZarvNikonCapture --version | --bundle-info | --help\n"
    "\n"
    "Watches USB for Nikon cameras, connects through their modules and saves every picture\n"
    "into the hot folder (prefSaveFolderPath), announcing it to the sibling programs.\n"
    "--headless     run without a window: status goes to the log, alerts take their\n"
    "               cancelling choice. Without a window in this build, always so.\n"
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
                qInfo("Hang-up signal: quitting and starting again");
                delegate.relaunchApp(QStringLiteral("SIGHUP"));
            } else {
                qInfo("Stop signal: quitting");
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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
    // This build has no window yet: it always runs headless, and says so when not asked to.
    const bool headless = true;
    if (!args.contains(QStringLiteral("--headless")))
        qInfo("No window in this build: running headless");
    Log::setEchoToStderr(true);
    if (!bundle.bundleIdentifier().isEmpty())
        UserDefaults::setStandardIdentifier(bundle.bundleIdentifier());

    AppDelegate delegate({headless, args, {}});
    watchSignals(delegate);
    if (!delegate.initialize())
        return 0; // another copy runs and was asked forward
    if (delegate.applicationWillFinishLaunching()) {
        delegate.applicationDidFinishLaunching();
        const QStringList files = filesOf(args);
        if (!files.isEmpty())
            DispatchQueue::main().async(
                [&delegate, files] { delegate.applicationOpenFiles(files); });
    }
    const int status = QCoreApplication::exec();
    qInfo("ZarvNikonCapture ends");
    return status;
}
