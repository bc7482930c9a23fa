#include "HeadlessView.h"

#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <QDebug>

namespace zarv {

namespace {

const QString kNameOfCameraFound = QStringLiteral("prefNameOfCameraFound");

// Answers as a window would: later, on the main thread, never inside the caller.
void answerLater(std::function<void(long)> completion, long code) {
    if (completion)
        DispatchQueue::main().async(
            [completion = std::move(completion), code] { completion(code); });
}

} // namespace

void HeadlessView::setStatusImage(const QString& imageName) {
    qCInfo(zarvApp).noquote() << QStringLiteral("Status light: %1").arg(imageName);
}

void HeadlessView::statusTextChanged(const QString& key, const QString& text) {
    QString& last = key == kNameOfCameraFound ? m_loggedStatus : m_loggedMessage;
    if (text == last)
        return;
    last = text;
    // Status texts carry the device's name, which the device itself reports.
    if (key == kNameOfCameraFound)
        qCInfo(zarvApp).noquote() << QStringLiteral("Status: %1").arg(Log::quoted(text));
    else if (!text.isEmpty())
        qCInfo(zarvApp).noquote()
            << QStringLiteral("Connection message: %1").arg(Log::quoted(text));
}

void HeadlessView::beginSheet(const Alert& alert, std::function<void(long)> completion) {
    const long answer = alert.cancelReturnCode;
    const qsizetype index = answer - kAlertFirstButtonReturn;
    const QString choice =
        index >= 0 && index < alert.buttons.size() ? alert.buttons.at(index) : QString();
    qCWarning(zarvApp).noquote() << QStringLiteral(
                                        "Alert: %1 | %2 | buttons [%3] -> headless answers \"%4\"")
                                        .arg(alert.message, alert.informativeText.trimmed(),
                                             alert.buttons.join(QStringLiteral(", ")), choice);
    answerLater(std::move(completion), answer);
}

void HeadlessView::showInfoWindow(std::function<void(long)> completion) {
    qCInfo(zarvApp).noquote() << QStringLiteral("Info window:\n%1")
                                     .arg(UserDefaults::standard().stringForKey(
                                         QStringLiteral("prefTextViewString1")));
    answerLater(std::move(completion), kCancelReturn);
}

void HeadlessView::showConfirmQuit(std::function<void(long)> completion) {
    // Nobody to confirm with: quitting is the signals' job here (TERM, INT).
    answerLater(std::move(completion), kCancelReturn);
}

void HeadlessView::runOpenPanel(const OpenPanel& panel,
                                std::function<void(long, const QStringList&)> completion) {
    qCInfo(zarvApp).noquote()
        << QStringLiteral("No window: open panel \"%1\" answers \"cancelled\"").arg(panel.message);
    if (completion)
        DispatchQueue::main().async(
            [completion = std::move(completion)] { completion(kModalResponseCancel, {}); });
}

void HeadlessView::showPopover(PopoverKind kind, int) {
    qCInfo(zarvApp).noquote() << QStringLiteral("No window: popover %1 not shown").arg(int(kind));
}

void HeadlessView::showMatchWindow(const std::shared_ptr<ModuleMatchTask>& task) {
    if (task)
        qCInfo(zarvApp).noquote()
            << "No window: the module search goes on; its lines are in the log";
}

} // namespace zarv
