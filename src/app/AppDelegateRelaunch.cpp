#include "AppDelegatePrivate.h"
#include "platform/Log.h"

#include "AppSupport.h"
#include "modules/Architecture.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/DistributedNotificationCenter.h"

#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace zarv {

// --- Relaunch -------------------------------------------------------------------------------

void AppDelegate::relaunchApp(const QVariant& param) {
    Log::info(zarvApp, Log::insideText(kClassName, "relaunchApp:",
                                       QStringLiteral("param = [%1]").arg(param.toString())));
    relaunch({});
}

void AppDelegate::relaunch(const QVariant& info) {
    Log::info(zarvApp,
              Log::insideText(kClassName, "relaunch:",
                              QStringLiteral("info = [%1]").arg(describePropertyValue(info))));
    // Only the bundle, this process and the flags: passing this run's arguments on would carry
    // its -KEY VALUE overrides into the next run, where an override of prefLaunchIn32BitMode
    // would undo the setting the relaunch was made for. The next run starts without a window
    // when this one had none.
    QProcess relauncher;
    relauncher.setProgram(Bundle::mainBundle().pathForResource(QStringLiteral("relaunch")));
    relauncher.setArguments(relauncherArguments(info, Bundle::mainBundle().bundlePath(), getpid()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QLatin1String(kRelaunchHeadlessVariable));
    if (m_options.headless)
        environment.insert(QLatin1String(kRelaunchHeadlessVariable), QStringLiteral("1"));
    relauncher.setProcessEnvironment(environment);
    if (relauncher.program().isEmpty() || !relauncher.startDetached())
        qCWarning(zarvApp).noquote()
            << QStringLiteral("relaunch: could not start the relauncher \"%1\"")
                   .arg(relauncher.program());
    terminate();
}

bool AppDelegate::relaunchApp32bit() {
    if (!isThisAppAllowedToRunIn32BitMode()) {
        Log::info(
            zarvApp,
            Log::insideText(
                kClassName, "relaunchApp32bit:",
                QStringLiteral("Not Allowed to launch in 32bit mode on OS 10.11 and higher.....")));
        beep();
        Alert alert;
        alert.message = QStringLiteral("Cannot Run in 32bit Mode");
        alert.informativeText =
            QStringLiteral("Nikon 32bit Modules will not run correctly on current OS.\nMust be on "
                           "Mac OS 10.10.x or lower...");
        alert.buttons = {QStringLiteral("OK")};
        beginSheet(alert);
        return false;
    }
    return relaunch32bit();
}

bool AppDelegate::relaunch32bit() {
    return relaunchAtBitsize(32);
}

namespace appdelegate {

QString executable32Path(QString* wanted) {
    const Bundle& bundle = Bundle::mainBundle();
    const QString path = bundle.executablePath();
    if (path.endsWith(QLatin1String("_32")))
        return path;
    *wanted = path + QStringLiteral("_32");
    return bundle.pathForAuxiliaryExecutable(QFileInfo(*wanted).fileName());
}

QString why32bitCannotRun() {
    if (!isThisAppAllowedToRunIn32BitMode())
        return QStringLiteral("this system does not run i386 programs");
    QString wanted;
    if (executable32Path(&wanted).isEmpty())
        return QStringLiteral("the 32-bit program was not built (no \"%1\")").arg(wanted);
    return {};
}

} // namespace appdelegate

bool AppDelegate::relaunchAtBitsize(int bits) {
    if (bits != 32)
        return false;
    if (!isThisAppAllowedToRunIn32BitMode()) {
        Log::info(zarvApp, QStringLiteral(
                               "Not Allowed to launch in 32bit mode on OS 10.11 and higher....."));
        return false;
    }
    QString wanted;
    const QString path = executable32Path(&wanted);
    if (path.isEmpty()) {
        Log::info(zarvApp,
                  QStringLiteral("Failed to relaunch. No executable at path \"%1\"").arg(wanted));
        return false;
    }
    Log::info(zarvApp, QStringLiteral("exec'ing to path %1").arg(path));
    return replaceWithExecutable(path);
}

bool AppDelegate::replaceWithExecutable(const QString& path) {
    if (path.isEmpty())
        return false;
    QStringList args = m_options.arguments;
    if (!args.isEmpty())
        args[0] = path;
    std::vector<std::string> storage;
    char** argv = mallocdArrayOfCStrings(args, &storage);
    const QByteArray file = path.toUtf8();
    const int result = ::execv(file.constData(), argv ? argv : nullptr);
    const int error = errno;
    delete[] argv;
    Log::info(zarvApp, QStringLiteral("Failed exec to %1 with error %2")
                           .arg(path, QString::fromLocal8Bit(std::strerror(error))));
    Log::info(zarvApp, Log::insideText(kClassName, "replaceWithExecutable:",
                                       QStringLiteral("execv returned code = %1 ...").arg(result)));
    return false;
}

} // namespace zarv
