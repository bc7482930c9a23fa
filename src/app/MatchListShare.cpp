#include "MatchListShare.h"

#include "AppSupport.h"
#include "messaging/OutboundNotifications.h"
#include "platform/Log.h"
#include "platform/Path.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>

#include <memory>

namespace zarv {

namespace {

const QString kOwner = QStringLiteral("MyPopoverViewController");
const QString kXdgEmail = QStringLiteral("xdg-email");

// xdg-email's documented exit codes, in words a person can act on.
QString xdgEmailFailure(int code) {
    switch (code) {
    case 1:
        return QStringLiteral("it refused its arguments");
    case 2:
        return QStringLiteral("an attachment could not be read");
    case 3:
        return QStringLiteral("no mail program is set up (set one as the desktop's default)");
    case 4:
        return QStringLiteral("the mail program failed");
    default:
        return QStringLiteral("it ended with code %1").arg(code);
    }
}

} // namespace

MatchListActions matchListActions(const QString& identifier, bool commandHeld) {
    MatchListActions actions;
    const auto is = [&](const char* name) {
        return identifier.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    actions.message = is("imessage") || (is("email") && commandHeld);
    actions.email = is("email") && !commandHeld;
    actions.saveToFile = is("savetofile");
    return actions;
}

QString matchListMessageBody() {
    return QStringLiteral("Here's my camera modules info...\n\n");
}

QString matchListEmailBody() {
    return QStringLiteral("Here's my camera modules info...\n\nOS %1\n\n")
        .arg(QSysInfo::prettyProductName());
}

QString shareSubject() {
    return QStringLiteral("Info Sent From %1").arg(getApplicationName());
}

QString supportAddress(UserDefaults& defaults) {
    return defaults.stringForKey(kPrefSupportEmailAddress).trimmed();
}

QStringList emailArguments(const QString& subject, const QString& body,
                           const QStringList& attachments, const QString& recipient) {
    QStringList args{QStringLiteral("--subject"), subject};
    if (!body.isEmpty())
        args << QStringLiteral("--body") << body;
    for (const QString& item : attachments)
        if (QFileInfo(item).isFile())
            args << QStringLiteral("--attach") << item;
    // A recipient that looks like an option would be read as one.
    if (!recipient.isEmpty() && !recipient.startsWith(u'-'))
        args << recipient;
    return args;
}

void composeEmail(const QString& subject, const QString& body, const QStringList& attachments,
                  const QString& recipient, std::function<void(const QString& failure)> done,
                  std::chrono::milliseconds limit) {
    const auto finish = std::make_shared<std::function<void(const QString&)>>(std::move(done));
    // Every failure is logged; the caller hears only the first outcome.
    const auto report = [finish](const QString& failure) {
        if (!failure.isEmpty())
            qCWarning(zarvApp).noquote() << failure;
        if (!*finish)
            return;
        const auto callback = std::move(*finish);
        *finish = nullptr;
        callback(failure);
    };

    const QString program = QStandardPaths::findExecutable(kXdgEmail);
    if (program.isEmpty()) {
        QString failure =
            QStringLiteral("Could not compose the e-mail: %1 was not found on PATH. Install "
                           "xdg-utils")
                .arg(kXdgEmail);
        failure += attachments.isEmpty() ? QStringLiteral(".")
                                         : QStringLiteral(", or attach %1 to a message yourself.")
                                               .arg(attachments.join(QStringLiteral(", ")));
        report(failure);
        return;
    }
    const QStringList args = emailArguments(subject, body, attachments, recipient);
    qCInfo(zarvApp).noquote() << QStringLiteral("runCommand will execute: %1 %2")
                                     .arg(program, Log::quoted(args.join(u' ')));

    // Not parented: a mail program still running when the window closes must not be killed
    // with it. The process object goes once xdg-email ends.
    auto* process = new QProcess;
    process->setProgram(program);
    process->setArguments(args);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, report, program](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         report(QStringLiteral("Could not compose the e-mail: %1 could not be "
                                               "started (%2). Check that it is executable.")
                                    .arg(program, process->errorString()));
                         process->deleteLater();
                     });
    QObject::connect(
        process, &QProcess::finished, process,
        [process, report, program](int code, QProcess::ExitStatus status) {
            if (status == QProcess::NormalExit && code == 0) {
                qCInfo(zarvApp).noquote()
                    << QStringLiteral("%1 handed the message to the mail program").arg(program);
                report(QString());
            } else {
                report(QStringLiteral("Could not compose the e-mail: %1 failed: %2.")
                           .arg(program, status == QProcess::NormalExit
                                             ? xdgEmailFailure(code)
                                             : QStringLiteral("it crashed")));
            }
            process->deleteLater();
        });
    QTimer::singleShot(limit, process, [process, report, program, limit] {
        if (process->state() == QProcess::NotRunning)
            return;
        qCInfo(zarvApp).noquote() << QStringLiteral(
                                         "%1 still runs after %2 s: the mail program has it")
                                         .arg(program)
                                         .arg(double(limit.count()) / 1000.0);
        report(QString());
    });
    process->start();
}

QString shareByMessage(const QString& body, const QString& file) {
    const QString folder = QFileInfo(file).absolutePath();
    revealItemInFinder(folder);
    qCInfo(zarvApp).noquote()
        << QStringLiteral("No message service on this system: opened %1 and put the text on "
                          "the clipboard; attach %2 to your message")
               .arg(folder, file);
    return body + file;
}

bool copyFileReplacing(const QString& source, const QString& destination, QString* error) {
    const QString target = standardizingPath(destination);
    QString failure;
    QFile in(source);
    QSaveFile out(target);
    if (!in.open(QIODevice::ReadOnly)) {
        failure = QStringLiteral("%1: %2").arg(source, in.errorString());
    } else if (!out.open(QIODevice::WriteOnly)) {
        failure = QStringLiteral("%1: %2").arg(target, out.errorString());
    } else {
        const QByteArray contents = in.readAll();
        if (in.error() != QFile::NoError)
            failure = QStringLiteral("%1: %2").arg(source, in.errorString());
        else if (out.write(contents) != contents.size() || !out.commit())
            failure = QStringLiteral("%1: %2").arg(target, out.errorString());
    }
    if (error)
        *error = failure;
    return failure.isEmpty();
}

bool saveMatchListCopy(const QString& source, const QString& destination) {
    const QString target = standardizingPath(destination);
    QString error;
    copyFileReplacing(source, target, &error);
    if (!error.isEmpty())
        Log::inside(zarvApp, kOwner, "ibSaveMatchModuleListToFile:",
                    QStringLiteral("error in copyItemAtPath = %1").arg(error));
    Log::inside(zarvApp, kOwner, "ibSaveMatchModuleListToFile:",
                QStringLiteral("%1 Matched Camera Module List to %2")
                    .arg(error.isEmpty() ? QStringLiteral("SAVED") : QStringLiteral("Did NOT Save"),
                         target));
    return error.isEmpty();
}

} // namespace zarv
