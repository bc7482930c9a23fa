#include "MyPopoverViewController.h"

#include "Popover.h"
#include "Sheets.h"
#include "ui_MyPopoverViewController.h"

#include "app/MatchListShare.h"
#include "modules/Architecture.h"
#include "modules/LookupTable.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputEvent>
#include <QSysInfo>

namespace zarv {

namespace {

void logInside(const char* operation, const QString& rest = {}) {
    qInfo().noquote() << QStringLiteral("Inside MyPopoverViewController => %1...%2")
                             .arg(QLatin1String(operation), rest);
}

} // namespace

MyPopoverViewController::MyPopoverViewController(QWidget* sheetWindow, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::MyPopoverViewController>()),
      m_sheetWindow(sheetWindow), m_is32bitMode(isThis32bitMode()) {
    m_ui->setupUi(this);
    for (QPushButton* button : {m_ui->imessage, m_ui->email, m_ui->savetofile}) {
        button->installEventFilter(this);
        connect(button, &QPushButton::clicked, this,
                [this, button] { ibClickedOnButton(button, m_clickModifiers); });
    }
}

MyPopoverViewController::~MyPopoverViewController() = default;

bool MyPopoverViewController::eventFilter(QObject* watched, QEvent* event) {
    // A button reports its click on release: the keys held then are the ones that count.
    if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::KeyRelease)
        m_clickModifiers = static_cast<QInputEvent*>(event)->modifiers();
    return QWidget::eventFilter(watched, event);
}

std::optional<QString> MyPopoverViewController::createPlistFile() {
    return createMatchListFile();
}

void MyPopoverViewController::ibClickedOnButton(QObject* sender, Qt::KeyboardModifiers modifiers) {
    logInside("ibClickedOnButton:");
    logInside(
        "ibClickedOnButton:",
        QStringLiteral("operatingSystemVersionString = %1...").arg(QSysInfo::prettyProductName()));
    logInside("ibClickedOnButton:",
              QStringLiteral("                 processName = %1...")
                  .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName()));
    const std::optional<QString> file = createPlistFile();
    if (!file) {
        logInside("ibClickedOnButton:", QStringLiteral("Unable to create plist file????"));
        return;
    }
    const MatchListActions actions = matchListActions(sender ? sender->objectName() : QString(),
                                                      modifiers.testFlag(Qt::ControlModifier));
    if (actions.message)
        ibMessageItem(*file);
    if (actions.email)
        ibEmailItem(*file);
    if (actions.saveToFile)
        ibSaveMatchModuleListToFile(*file);
}

void MyPopoverViewController::ibEmailItem(const QString& file) {
    logInside("ibEmailItem:", file);
    QPointer<QWidget> window = m_sheetWindow;
    composeEmail(shareSubject(), matchListEmailBody(), {file}, supportAddress(),
                 [window](const QString& failure) {
                     if (failure.isEmpty() || !window)
                         return;
                     Alert alert;
                     alert.message = QObject::tr("The match list could not be mailed");
                     alert.informativeText = failure;
                     beginAlertSheet(window, alert, {});
                 });
    closePopover();
}

void MyPopoverViewController::ibMessageItem(const QString& file) {
    const QString text = shareByMessage(file);
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(text);
    closePopover();
}

QFileDialog* MyPopoverViewController::ibSaveMatchModuleListToFile(const QString& file) {
    logInside("ibSaveMatchModuleListToFile:",
              QStringLiteral("window = %1")
                  .arg(m_sheetWindow ? m_sheetWindow->objectName() : QStringLiteral("(none)")));
    auto* panel = new QFileDialog(m_sheetWindow, tr("Save the match list"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(m_sheetWindow ? Qt::WindowModal : Qt::ApplicationModal);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setNameFilter(tr("Property lists (*.plist)"));
    panel->setDirectory(QDir::homePath());
    panel->selectFile(QFileInfo(file).fileName());
    // The panel outlives the popover: it keeps what it needs itself.
    connect(panel, &QFileDialog::finished, panel, [panel, file](int result) {
        logInside("ibSaveMatchModuleListToFile:", QStringLiteral("result = %1").arg(result));
        if (result != QDialog::Accepted || panel->selectedFiles().isEmpty())
            return;
        saveMatchListCopy(file, panel->selectedFiles().constFirst());
    });
    closePopover();
    panel->open();
    return panel;
}

void MyPopoverViewController::closePopover() {
    if (auto* popover = qobject_cast<Popover*>(window()))
        popover->close();
}

} // namespace zarv
