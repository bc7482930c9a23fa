// zarv-usbwatch: watches USB for the camera maker's devices exactly as the program does and
// prints each arrival and removal with its dictionary, as an XML property list.

#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "usb/ZARV_camera.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <cstdio>

using namespace zarv;

namespace {

const char* kUsage = "usage: zarv-usbwatch [--count N] [--timeout SECONDS] [--verbose]\n"
                     "\n"
                     "  --count N    exit 0 after N notifications (default: run until stopped)\n"
                     "  --timeout S  exit 1 when S seconds pass first\n"
                     "  --verbose    also print the watcher's log lines on standard error\n";

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int count = 0;
    double timeout = 0;
    bool verbose = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        bool ok = true;
        if (a == QLatin1String("--count") && i + 1 < args.size())
            count = args.at(++i).toInt(&ok);
        else if (a == QLatin1String("--timeout") && i + 1 < args.size())
            timeout = args.at(++i).toDouble(&ok);
        else if (a == QLatin1String("--verbose"))
            verbose = true;
        else
            ok = false;
        if (!ok || count < 0 || timeout < 0) {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!verbose)
        Log::setSink([](QtMsgType, const QString&) {});
    Log::setEchoToStderr(verbose);
    Log::install(QStringLiteral("zarv-usbwatch"));

    int seen = 0;
    auto print = [&](const char* what, const Notification& n) {
        const QByteArray xml = PropertyList::toData(n.userInfo, PropertyList::Format::Xml);
        std::printf("%s %s\n%s", what, qPrintable(n.name), xml.constData());
        std::fflush(stdout);
        if (count > 0 && ++seen >= count)
            QMetaObject::invokeMethod(
                &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    };
    auto& center = NotificationCenter::defaultCenter();
    center.addObserver(kZarvNikonCameraNotification,
                       [&](const Notification& n) { print("arrived", n); });
    center.addObserver(kZarvNikonCameraRemovedNotification,
                       [&](const Notification& n) { print("removed", n); });
    if (timeout > 0)
        QTimer::singleShot(int(timeout * 1000), &app, [] {
            std::fputs("zarv-usbwatch: timed out\n", stderr);
            QCoreApplication::exit(1);
        });

    ZARV_cameraNikon::getNikonDevices();
    if (!ZARV_camera::sharedNotificationPort()) {
        std::fputs("zarv-usbwatch: udev cannot be reached\n", stderr);
        return 1;
    }
    return app.exec();
}
