#include "AppDelegatePrivate.h"

#include "AppSupport.h"
#include "modules/LookupTable.h"
#include "modules/ModuleInventory.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "util/CommandTemplate.h"
#include "util/ShellCommand.h"

#include <QDir>
#include <QFileInfo>

namespace zarv {

// --- Module list ----------------------------------------------------------------------------

void AppDelegate::ibUpdateModuleList() {
    inside("ibUpdateModuleList:");
    const std::optional<QVariantMap> table = currentNikonLookupTable(defaults());
    if (!table)
        return;
    QVariantList list;
    for (auto it = table->cbegin(); it != table->cend(); ++it) {
        if (it.value().typeId() != QMetaType::QVariantMap)
            continue;
        QVariantMap entry = it.value().toMap();
        entry.insert(QStringLiteral("devicename"), it.key());
        list.append(entry);
    }
    defaults().setObject(QStringLiteral("prefNikonLookupArray"), list);
}

void AppDelegate::ibAutoSearchModule() {
    inside("ibAutoSearchModule:");
    // Answered here: the camera queue is busy with the search's probes.
    if (showRunningMatchTask())
        return;
    currentCameraDispatchQueue().async([this] {
        std::shared_ptr<CameraSession> session = gTestNikonCamera();
        Alert alert;
        if (session && session->isCameraConnected()) {
            logInfo(QStringLiteral("Camera already connected to a module..."));
            alert.message = QStringLiteral("Camera Found and Connected");
            alert.informativeText =
                QStringLiteral("Camera is found and connected to a valid Nikon module...");
            alert.buttons = {QStringLiteral("Close")};
        } else if (session) {
            // Made here, so that the session's last reference can only go on this queue.
            ModuleMatchTask::Options options;
            options.cameraQueue = &currentCameraDispatchQueue();
            options.fOwner = true;
            auto task = ModuleMatchTask::create(std::move(session), options);
            onMain([this, task = std::move(task)] { startMatchTask(task); });
            return;
        } else {
            beep();
            logInfo(insideText("ibAutoSearchModule:", QStringLiteral("No Camera To Match...")));
            alert.message = QStringLiteral("No Camera Detected??");
            alert.informativeText = QStringLiteral("No Camera Detected to Match with Module...");
            alert.buttons = {QStringLiteral("OK")};
        }
        onMain([this, alert] { beginSheet(alert); });
    });
}

bool AppDelegate::showRunningMatchTask() {
    if (!m_fMatchController || !m_fMatchController->fTaskStarted())
        return false;
    logInfo(
        insideText("ibAutoSearchModule:", QStringLiteral("Please Wait - ALREADY in Progress...")));
    view().showMatchWindow(m_fMatchController);
    return true;
}

void AppDelegate::startMatchTask(const std::shared_ptr<ModuleMatchTask>& task) {
    if (showRunningMatchTask())
        return;
    if (m_fMatchController)
        m_fMatchController->removeListener(m_matchListener);
    m_fMatchController = task;
    // The main window's progress indicator follows the search.
    ModuleMatchTask::Listener listener;
    listener.progressChanged = [this](bool spinning) { view().setBusy(spinning); };
    m_matchListener = task->addListener(std::move(listener));
    task->ibStartTask();
    view().showMatchWindow(task);
}

std::optional<QString> AppDelegate::performGetBundleInfo(const QString& path) {
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    QString text = path + QLatin1Char('\n');
    Bundle bundle(path);
    for (int arch : bundle.executableArchitectures()) {
        const QString name = architectureName(arch);
        logInfo(name);
        text += name + QLatin1Char(' ');
    }
    text += QStringLiteral("\n\n");
    logInfo(QStringLiteral("%1->%2 mstring = %3")
                .arg(kClassName, QStringLiteral("performGetBundleInfo:"), text));
    return text;
}

std::optional<QString> AppDelegate::performGetDylibInfo(const QString& path) {
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    std::optional<QString> output = runShellCommand(fillTemplate(
        QStringLiteral("/usr/bin/file [path]"), {{QStringLiteral("[path]"), shellQuote(path)}}));
    if (!output || output->isEmpty())
        output = QStringLiteral("Unable to get info from this camera...");
    const QString text = path + QLatin1Char('\n') + *output + QLatin1Char('\n');
    logInfo(QStringLiteral("%1->%2 returnstring = %3")
                .arg(kClassName, QStringLiteral("performGetDylibInfo:"), text));
    return text;
}

void AppDelegate::performGetMyDirectoryInfo(const QString& path) {
    inside("performGetMyDirectoryInfo:");
    const QFileInfo item(path);
    if (path.isEmpty() || !item.exists()) {
        logInfo(insideText("performGetMyDirectoryInfo:",
                           QStringLiteral(" pathToItem does NOT exist...")));
        return;
    }
    auto describeOne = [this](const QString& p) -> QString {
        const QString suffix = QFileInfo(p).suffix();
        if (suffix.compare(QLatin1String("bundle"), Qt::CaseInsensitive) == 0)
            return performGetBundleInfo(p).value_or(QString());
        if (suffix.compare(QLatin1String("dylib"), Qt::CaseInsensitive) == 0)
            return performGetDylibInfo(p).value_or(QString());
        return {};
    };
    QString text;
    if (item.isDir() && item.suffix().compare(QLatin1String("bundle"), Qt::CaseInsensitive) != 0) {
        const std::optional<QString> output = runShellCommand(fillTemplate(
            QStringLiteral("/bin/ls [path]"), {{QStringLiteral("[path]"), shellQuote(path)}}));
        const QStringList names = cleanCommandOutput(output.value_or(QString()));
        logInfo(QStringLiteral("array[%1] = %2")
                    .arg(names.size())
                    .arg(names.join(QStringLiteral(", "))));
        for (const QString& name : names)
            if (!name.isEmpty())
                text += describeOne(QDir(path).filePath(name));
    } else {
        text += describeOne(path);
    }
    defaults().setObject(kTextView, text);
}

} // namespace zarv
