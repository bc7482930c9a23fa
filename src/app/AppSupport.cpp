#include "AppSupport.h"
#include "platform/Log.h"
#include "platform/Path.h"

#include "platform/Beep.h"
#include "util/CommandTemplate.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace zarv {

QString shellQuote(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString hotFolderListCommand(const QString& folder) {
    return fillTemplate(
        QStringLiteral("find [path] -mindepth [depth] -maxdepth [depth]  -name '*.jpg'"),
        {{QStringLiteral("[path]"), shellQuote(folder)},
         {QStringLiteral("[depth]"), QStringLiteral("1")}});
}

QStringList hotFolderPictures(const QString& folder) {
    return findPaths(hotFolderListCommand(folder));
}

QString oldImagesCommand(const QString& folder, const QString& minutesOld) {
    return fillTemplate(
        QStringLiteral("/usr/bin/find [hotfolderpath] -type f -mmin [minutesold] -and '(' -name "
                       "'*.jpg' -or -name '*.png' ')' -exec ls '{}' +"),
        {{QStringLiteral("[hotfolderpath]"), shellQuote(folder)},
         {QStringLiteral("[minutesold]"), shellQuote(minutesOld)}});
}

QString revealCommand(const QString& folder) {
    return fillTemplate(QStringLiteral("xdg-open [path]"),
                        {{QStringLiteral("[path]"), shellQuote(folder)}});
}

QStringList cleanCommandOutput(const QString& output) {
    QString text = output.trimmed();
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1String("\n\n"), QLatin1String("\n"));
    return text.split(QLatin1Char('\n'));
}

void revealItemInFinder(const QString& path) {
    qCInfo(zarvApp).noquote()
        << QStringLiteral("Inside revealItemInFinder...revealItemInFinder => %1...").arg(path);
    if (!path.isEmpty()) {
        const QString p = expandingTildeInPath(path);
        if (QFileInfo(p).isDir()) {
            const QString command = revealCommand(p);
            qCInfo(zarvApp).noquote() << QStringLiteral("runCommand will execute: %1").arg(command);
            // Detached: where xdg-open runs the file manager in the foreground, waiting for
            // its output would hold the caller until the window is closed.
            qint64 pid = 0;
            const bool started = QProcess::startDetached(
                QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command}, QString(), &pid);
            qCInfo(zarvApp).noquote()
                << QStringLiteral("shellcommand returned = %1")
                       .arg(started ? QStringLiteral("started (process %1)").arg(pid)
                                    : QStringLiteral("could not start /bin/sh"));
            return;
        }
    }
    beep();
    qCInfo(zarvApp).noquote() << QStringLiteral("User Needs to Select a Valid Existing Folder...");
}

QStringList relauncherArguments(const QVariant& info, const QString& bundlePath, qint64 pid) {
    qlonglong flags = 1;
    if (info.typeId() == QMetaType::QVariantMap)
        flags = info.toMap().value(QStringLiteral("LSLaunchFlags")).toLongLong();
    return {bundlePath, QString::number(pid), QString::number(flags)};
}

char** mallocdArrayOfCStrings(const QStringList& texts, std::vector<std::string>* storage) {
    if (texts.isEmpty())
        return nullptr;
    storage->clear();
    storage->reserve(size_t(texts.size()));
    for (const QString& text : texts)
        storage->push_back(text.toStdString());
    char** array = new char*[storage->size() + 1];
    for (size_t i = 0; i < storage->size(); ++i)
        array[i] = (*storage)[i].data();
    array[storage->size()] = nullptr;
    return array;
}

} // namespace zarv
