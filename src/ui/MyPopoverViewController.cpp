#include "MyPopoverViewController.h"
#include "platform/Log.h"

#include "ShareActions.h"
#include "Sheets.h"
#include "ui_MyPopoverViewController.h"

#include "app/MatchListShare.h"
#include "modules/Architecture.h"
#include "modules/LookupTable.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QSysInfo>

namespace zarv {

namespace {

const QString kLogOwner = QStringLiteral("MyPopoverViewController");

} // namespace

MyPopoverViewController::MyPopoverViewController(QWidget* sheetWindow, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::MyPopoverViewController>()),
      m_sheetWindow(sheetWindow), m_is32bitMode(isThis32bitMode()) {
    m_ui->setupUi(this);
    connectButtonsWithModifiers(this, {m_ui->imessage, m_ui->email, m_ui->savetofile},
                                [this](QPushButton* button, Qt::KeyboardModifiers held) {
                                    ibClickedOnButton(button, held);
                                });
}

MyPopoverViewController::~MyPopoverViewController() = default;

std::optional<QString> MyPopoverViewController::createPlistFile(QString* failure) {
    return createMatchListFile(UserDefaults::standard(), QDateTime::currentDateTime(), failure);
}

void MyPopoverViewController::ibClickedOnButton(QObject* sender, Qt::KeyboardModifiers modifiers) {
    Log::inside(zarvUi, kLogOwner, "ibClickedOnButton:");
    Log::inside(
        zarvUi, kLogOwner, "ibClickedOnButton:",
        QStringLiteral("operatingSystemVersionString = %1...").arg(QSysInfo::prettyProductName()));
    Log::inside(zarvUi, kLogOwner, "ibClickedOnButton:",
                QStringLiteral("                 processName = %1...")
                    .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName()));
    QString failure;
    const std::optional<QString> file = createPlistFile(&failure);
    if (!file) {
        Log::inside(zarvUi, kLogOwner,
                    "ibClickedOnButton:", QStringLiteral("Unable to create plist file????"));
        if (!failure.isEmpty() && m_sheetWindow) {
            closePopoverOf(this);
            Alert alert;
            alert.message = tr("The match list could not be written");
            alert.informativeText = failure;
            beginAlertSheet(m_sheetWindow, alert, {});
        }
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
    Log::inside(zarvUi, kLogOwner, "ibEmailItem:", file);
    emailFile(m_sheetWindow, matchListEmailBody(), file, tr("The match list could not be mailed"));
    closePopoverOf(this);
}

void MyPopoverViewController::ibMessageItem(const QString& file) {
    Log::inside(zarvUi, kLogOwner, "ibMessageItem:");
    messageFile(matchListMessageBody(), file);
    closePopoverOf(this);
}

QFileDialog* MyPopoverViewController::ibSaveMatchModuleListToFile(const QString& file) {
    Log::inside(zarvUi, kLogOwner, "ibSaveMatchModuleListToFile:",
                QStringLiteral("window = %1")
                    .arg(m_sheetWindow ? m_sheetWindow->objectName() : QStringLiteral("(none)")));
    closePopoverOf(this);
    return openSaveCopyPanel(
        m_sheetWindow, tr("Save the match list"), file, [file](int result, const QString& chosen) {
            Log::inside(zarvUi, kLogOwner,
                        "ibSaveMatchModuleListToFile:", QStringLiteral("result = %1").arg(result));
            if (!chosen.isEmpty())
                saveMatchListCopy(file, chosen);
        });
}

} // namespace zarv
