#include "AppDelegatePrivate.h"

#include "AppSupport.h"
#include "modules/LookupTable.h"
#include "modules/ModuleInventory.h"
#include "platform/Beep.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
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

void AppDelegate::ibImportModuleList() {
    inside("ibImportModuleList:");
    OpenPanel panel;
    panel.message = QStringLiteral("Please Select Camera Module List Files to Impoprt...");
    panel.prompt = QStringLiteral("Import");
    panel.allowedFileTypes = {QStringLiteral("plist")};
    QPointer<AppDelegate> self(this);
    view().runOpenPanel(panel, [self](long response, const QStringList& paths) {
        if (!self || response != kModalResponseOK || paths.isEmpty())
            return;
        const QString path = paths.first();
        // Reading and checking a large list takes long enough to stall the window.
        self->onGlobal([delegate = self.data(), path] {
            ModuleListFile file = readModuleListFile(path);
            delegate->onMain([delegate, path, file = std::move(file)] {
                delegate->importModuleListFile(path, file);
            });
        });
    });
}

void AppDelegate::importModuleListFile(const QString& path, const ModuleListFile& file) {
    for (const QString& problem : file.problems)
        Log::info(zarvApp, Log::insideText(kClassName, "ibImportModuleList:", problem));
    switch (file.kind) {
    case ModuleListFile::Kind::Unreadable:
    case ModuleListFile::Kind::Empty:
        return;
    case ModuleListFile::Kind::TooLarge: {
        Alert alert;
        alert.message = QStringLiteral("File Too Large to Import !");
        alert.informativeText =
            QStringLiteral("%1 is larger than %2 MiB, more than any camera module list.\n\n"
                           "Choose a module list exported by this program.")
                .arg(QFileInfo(path).fileName())
                .arg(kMaxModuleListFileSize >> 20);
        alert.buttons = {QStringLiteral("OK")};
        beginSheet(alert);
        return;
    }
    case ModuleListFile::Kind::UserTable:
    case ModuleListFile::Kind::FactoryOnly:
    case ModuleListFile::Kind::Invalid:
        break;
    }
    // A table of thousands of cameras would make one line of megabytes: the start is enough.
    Log::info(zarvApp,
              QStringLiteral("oldtable = %1")
                  .arg(Log::quoted(Log::describe(defaults().objectForKey(kPrefNikonLookupTable)))));
    if (file.kind == ModuleListFile::Kind::UserTable) {
        defaults().setObject(kPrefNikonLookupTable, file.table);
        defaults().synchronize();
        ibUpdateModuleList();
        return;
    }
    Alert alert;
    alert.buttons = {QStringLiteral("OK")};
    if (file.kind == ModuleListFile::Kind::FactoryOnly) {
        Log::info(
            zarvApp,
            Log::insideText(kClassName, "ibImportModuleList:",
                            QStringLiteral("Only contains factory info - so we need to implement "
                                           "in future....")));
        alert.message = QStringLiteral("File Contains Defaults Only !");
        alert.informativeText = QStringLiteral("File does not contain any newly matched camera "
                                               "info.\n\nContains only factory info.\n\n");
    } else {
        Log::info(zarvApp, Log::insideText(kClassName, "ibImportModuleList:",
                                           QStringLiteral("Invalid or mising info????")));
        alert.message = QStringLiteral("Invalid File for Import !");
        alert.informativeText = QStringLiteral("File does not contain valid info.");
    }
    beginSheet(alert);
}

void AppDelegate::ibRevertModuleList() {
    inside("ibRevertToOrignal:");
    Alert alert;
    alert.message = QStringLiteral("Revert Back to Factory Module List??");
    alert.informativeText = QStringLiteral("Click Yes to revert back to factory list of module "
                                           "list...\nUser Matched Camera Models May Get "
                                           "Removed...");
    alert.buttons = {QStringLiteral("NO"), QStringLiteral("YES")};
    alert.cancelReturnCode = kAlertFirstButtonReturn;
    beginSheet(alert, [this](long code) {
        Log::info(zarvApp, QStringLiteral("returncode = %1").arg(code));
        if (code != kAlertSecondButtonReturn)
            return;
        defaults().removeObject(kPrefNikonLookupTable);
        ibUpdateModuleList();
    });
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
            Log::info(zarvApp, QStringLiteral("Camera already connected to a module..."));
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
            Log::info(zarvApp, Log::insideText(kClassName, "ibAutoSearchModule:",
                                               QStringLiteral("No Camera To Match...")));
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
    Log::info(zarvApp, Log::insideText(kClassName, "ibAutoSearchModule:",
                                       QStringLiteral("Please Wait - ALREADY in Progress...")));
    view().showMatchWindow(m_fMatchController);
    return true;
}

void AppDelegate::startMatchTask(const std::shared_ptr<ModuleMatchTask>& task) {
    if (showRunningMatchTask())
        return;
    if (m_fMatchController)
        m_fMatchController->removeListener(m_matchListener);
    m_fMatchController = task;
    // The search runs behind the main window, which stays usable for the n x 1.75 s it takes:
    // its progress indicator follows the run, its status line names each module tried (the
    // task's owner), and the lines the match window would show go to the log. That window
    // opens only when the search is asked for again while it runs.
    ModuleMatchTask::Listener listener;
    listener.progressChanged = [this](bool spinning) { view().setBusy(spinning); };
    listener.textChanged = [](const QString& field, const QString& text) {
        if (field != ModuleMatchTask::kButtonTitle)
            Log::info(zarvApp, QStringLiteral("Module match: %1").arg(Log::quoted(text)));
    };
    m_matchListener = task->addListener(std::move(listener));
    task->ibStartTask();
}

std::optional<QString> AppDelegate::performGetBundleInfo(const QString& path) {
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    QString text = path + QLatin1Char('\n');
    Bundle bundle(path);
    for (int arch : bundle.executableArchitectures()) {
        const QString name = architectureName(arch);
        Log::info(zarvApp, name);
        text += name + QLatin1Char(' ');
    }
    text += QStringLiteral("\n\n");
    Log::info(zarvApp, QStringLiteral("%1->%2 mstring = %3")
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
    Log::info(zarvApp, QStringLiteral("%1->%2 returnstring = %3")
                           .arg(kClassName, QStringLiteral("performGetDylibInfo:"), text));
    return text;
}

void AppDelegate::performGetMyDirectoryInfo(const QString& path) {
    inside("performGetMyDirectoryInfo:");
    const QFileInfo item(path);
    if (path.isEmpty() || !item.exists()) {
        Log::info(zarvApp, Log::insideText(kClassName, "performGetMyDirectoryInfo:",
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
        Log::info(zarvApp, QStringLiteral("array[%1] = %2")
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
