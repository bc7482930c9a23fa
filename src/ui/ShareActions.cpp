#include "ShareActions.h"

#include "Popover.h"
#include "Sheets.h"

#include "app/MatchListShare.h"

#include <QClipboard>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputEvent>
#include <QPointer>
#include <QPushButton>

namespace zarv {

namespace {

// Keeps the modifiers of the last mouse or key release on the buttons it watches.
class ReleaseModifiers : public QObject {
public:
    explicit ReleaseModifiers(QObject* parent) : QObject(parent) {}
    Qt::KeyboardModifiers modifiers;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::KeyRelease)
            modifiers = static_cast<QInputEvent*>(event)->modifiers();
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void connectButtonsWithModifiers(QWidget* owner, const QList<QPushButton*>& buttons,
                                 std::function<void(QPushButton*, Qt::KeyboardModifiers)> clicked) {
    auto* filter = new ReleaseModifiers(owner);
    for (QPushButton* button : buttons) {
        button->installEventFilter(filter);
        QObject::connect(button, &QPushButton::clicked, owner,
                         [filter, button, clicked] { clicked(button, filter->modifiers); });
    }
}

void emailFile(QWidget* sheetWindow, const QString& body, const QString& file,
               const QString& failureMessage) {
    QPointer<QWidget> window = sheetWindow;
    composeEmail(shareSubject(), body, {file}, supportAddress(),
                 [window, failureMessage](const QString& failure) {
                     if (failure.isEmpty() || !window)
                         return;
                     Alert alert;
                     alert.message = failureMessage;
                     alert.informativeText = failure;
                     beginAlertSheet(window, alert, {});
                 });
}

void messageFile(const QString& body, const QString& file) {
    const QString text = shareByMessage(body, file);
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(text);
}

QFileDialog* openSaveCopyPanel(QWidget* sheetWindow, const QString& title, const QString& file,
                               std::function<void(int result, const QString& chosen)> ended) {
    auto* panel = new QFileDialog(sheetWindow, title);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(sheetWindow ? Qt::WindowModal : Qt::ApplicationModal);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setNameFilter(QObject::tr("Property lists (*.plist)"));
    panel->setDirectory(QDir::homePath());
    panel->selectFile(QFileInfo(file).fileName());
    QObject::connect(panel, &QFileDialog::finished, panel, [panel, ended](int result) {
        const bool chosen = result == QDialog::Accepted && !panel->selectedFiles().isEmpty();
        ended(result, chosen ? panel->selectedFiles().constFirst() : QString());
    });
    panel->open();
    return panel;
}

void closePopoverOf(QWidget* content) {
    if (auto* popover = qobject_cast<Popover*>(content->window()))
        popover->close();
}

} // namespace zarv
