#include "MyPopoverForCameraSettingViewController.h"
#include "platform/Log.h"

#include "ShareActions.h"
#include "Sheets.h"
#include "ui_MyPopoverForCameraSettingViewController.h"

#include "app/MatchListShare.h"

#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QSysInfo>

namespace zarv {

namespace {

const QString kLogOwner = QStringLiteral("MyPopoverForCameraSettingViewController");

const QString kMessageBody = QStringLiteral("Here's my default camera settings info...\n\n");

QString emailBody() {
    return kMessageBody + QStringLiteral("OS %1\n\n").arg(QSysInfo::prettyProductName());
}

// The settings a write left as they were, for the end of an alert; empty when there are none.
QString settingsNotApplied(const CameraControls::SettingsReport& report) {
    const auto names = [](const QStringList& capabilities) {
        QStringList out;
        for (const QString& c : capabilities)
            out << settingName(c);
        return out.join(QStringLiteral(", "));
    };
    QString text;
    if (!report.invalid.isEmpty())
        text += QStringLiteral("\n\nNot written, their values are invalid: %1.")
                    .arg(names(report.invalid));
    if (!report.refused.isEmpty())
        text += QStringLiteral("\n\nNot taken by the camera: %1.").arg(names(report.refused));
    return text;
}

// Every alert of the popover: warning style, one "OK", a sheet on the window.
void alert(QWidget* sheetWindow, const QString& message, const QString& informativeText) {
    if (!sheetWindow)
        return;
    Alert a;
    a.style = Alert::Style::Warning;
    a.message = message;
    a.informativeText = informativeText;
    a.buttons = {QStringLiteral("OK")};
    beginAlertSheet(sheetWindow, a, {});
}

} // namespace

MyPopoverForCameraSettingViewController::MyPopoverForCameraSettingViewController(
    CameraControls& controls, QWidget* sheetWindow, QWidget* parent)
    : QWidget(parent), m_controls(controls),
      m_ui(std::make_unique<Ui::MyPopoverForCameraSettingViewController>()),
      m_sheetWindow(sheetWindow) {
    m_ui->setupUi(this);
    connectButtonsWithModifiers(
        this,
        {m_ui->savedefault, m_ui->savetofile, m_ui->emailfile, m_ui->loaddefault, m_ui->loadfile},
        [this](QPushButton* button, Qt::KeyboardModifiers held) {
            ibClickedOnButton(button, held);
        });
    ibAdjustForView(QStringLiteral("saveview"));
}

MyPopoverForCameraSettingViewController::~MyPopoverForCameraSettingViewController() = default;

void MyPopoverForCameraSettingViewController::ibAdjustForView(const QString& name) {
    const bool load = name.compare(QLatin1String("loadview"), Qt::CaseInsensitive) == 0;
    m_ui->loadview->setVisible(load);
    m_ui->saveview->setVisible(!load);
    adjustSize();
}

void MyPopoverForCameraSettingViewController::ibClickedOnButton(QObject* sender,
                                                                Qt::KeyboardModifiers modifiers) {
    const QString identifier = sender ? sender->objectName() : QString();
    Log::inside(zarvUi, kLogOwner, "ibClickedOnButton:", identifier);
    const auto is = [&](const char* name) {
        return identifier.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    // The answers come later, maybe after the popover has gone: they need only the window.
    QPointer<QWidget> window = m_sheetWindow;
    if (is("savedefault")) {
        closePopoverOf(this);
        m_controls.SaveAsDefaults([window](bool saved) { showSaved(window, saved); });
    } else if (is("savetofile")) {
        saveToFile();
    } else if (is("emailfile")) {
        emailFile(modifiers.testFlag(Qt::ControlModifier));
    } else if (is("loaddefault")) {
        closePopoverOf(this);
        m_controls.applyDefaults([window](CameraControls::ApplyOutcome outcome,
                                          const CameraControls::SettingsReport& report) {
            showApplied(window, outcome, report);
        });
    } else if (is("loadfile")) {
        loadFromFile();
    }
}

void MyPopoverForCameraSettingViewController::saveToFile() {
    closePopoverOf(this);
    QPointer<QWidget> window = m_sheetWindow;
    CameraControls* controls = &m_controls;
    // Without a fresh reading the defaults kept earlier are saved: the file needs no camera.
    m_controls.SaveAsDefaults([window, controls](bool) {
        QString error;
        const std::optional<QString> file = controls->createPlistFile(&error);
        if (!file) {
            showNoFile(window, error);
            return;
        }
        saveDefaultsToFile(window, *file);
    });
}

void MyPopoverForCameraSettingViewController::emailFile(bool asMessage) {
    closePopoverOf(this);
    QString error;
    const std::optional<QString> file = m_controls.createPlistFile(&error);
    if (!file) {
        showNoFile(m_sheetWindow, error);
        return;
    }
    if (asMessage) {
        Log::inside(zarvUi, kLogOwner, "ibMessageItem:", *file);
        messageFile(kMessageBody, *file);
    } else {
        Log::inside(zarvUi, kLogOwner, "ibEmailItem:", *file);
        zarv::emailFile(m_sheetWindow, emailBody(), *file,
                        tr("The default camera settings could not be mailed"));
    }
}

void MyPopoverForCameraSettingViewController::loadFromFile() {
    closePopoverOf(this);
    QPointer<QWidget> window = m_sheetWindow;
    CameraControls* controls = &m_controls;
    auto* panel = new QFileDialog(window, tr("Please Select Camera Settings File to Import..."));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    panel->setAcceptMode(QFileDialog::AcceptOpen);
    panel->setFileMode(QFileDialog::ExistingFile);
    panel->setNameFilter(tr("Camera settings (*.plist)"));
    panel->setLabelText(QFileDialog::Accept, tr("Import"));
    connect(panel, &QFileDialog::finished, panel, [panel, window, controls](int result) {
        if (result != QDialog::Accepted || panel->selectedFiles().isEmpty())
            return;
        const QString path = panel->selectedFiles().constFirst();
        Log::inside(zarvUi, kLogOwner, "LoadDefaultsFromFile",
                    QStringLiteral("importing %1").arg(path));
        controls->importDefaults(path, [window](CameraControls::ImportOutcome outcome,
                                                const CameraControls::SettingsReport& report) {
            showImported(window, outcome, report);
        });
    });
    panel->open();
}

// --- Answers ------------------------------------------------------------------------------------

void MyPopoverForCameraSettingViewController::showSaved(QWidget* sheetWindow, bool saved) {
    if (saved)
        alert(sheetWindow, QStringLiteral("Defaults Saved !"),
              QStringLiteral("Current Camera Settings has been saved as defaults."));
    else
        alert(sheetWindow, QStringLiteral("Defaults NOT Saved !"),
              QStringLiteral("The camera's settings could not be read. Connect the camera, "
                             "then save again."));
}

void MyPopoverForCameraSettingViewController::showApplied(
    QWidget* sheetWindow, CameraControls::ApplyOutcome outcome,
    const CameraControls::SettingsReport& report) {
    using Outcome = CameraControls::ApplyOutcome;
    switch (outcome) {
    case Outcome::Applied:
        alert(sheetWindow, QStringLiteral("Defaults Applied !"),
              QStringLiteral("Last Saved Default Camera Settings was Applied.") +
                  settingsNotApplied(report));
        break;
    case Outcome::NoDefaults:
        alert(sheetWindow, QStringLiteral("Defaults NOT Applied !"),
              QStringLiteral("There are no default settings to apply. Save the camera's "
                             "settings as defaults, or import a settings file, first."));
        break;
    case Outcome::NoCamera:
        alert(sheetWindow, QStringLiteral("Defaults NOT Applied !"),
              QStringLiteral("No camera is connected. Connect the camera, then apply the "
                             "defaults again."));
        break;
    }
}

void MyPopoverForCameraSettingViewController::showImported(
    QWidget* sheetWindow, CameraControls::ImportOutcome outcome,
    const CameraControls::SettingsReport& report) {
    using Outcome = CameraControls::ImportOutcome;
    switch (outcome) {
    case Outcome::Imported:
        alert(sheetWindow, QStringLiteral("Camera Settings File Imported !"),
              QStringLiteral("Imported Camera Settings From File As Defaults...") +
                  settingsNotApplied(report));
        break;
    case Outcome::Unreadable:
        alert(sheetWindow, QStringLiteral("Problem with Settings File !"),
              QStringLiteral("Selected File Could Not Be Read as Camera Settings (it is not a "
                             "property list, is empty or too large)..."));
        break;
    case Outcome::NoModelName:
        alert(sheetWindow, QStringLiteral("Problem with Settings File !"),
              QStringLiteral("Selected File Is Invalid to be used for Camera Settings "
                             "Defaults..."));
        break;
    case Outcome::InvalidSettings:
        alert(sheetWindow, QStringLiteral("Problem with Loading Camera Settings File !"),
              QStringLiteral("Selected File Contained Invalid/Corrupted Settings to be used as "
                             "Defaults...") +
                  settingsNotApplied(report));
        break;
    }
}

void MyPopoverForCameraSettingViewController::showNoFile(QWidget* sheetWindow,
                                                         const QString& error) {
    alert(sheetWindow, QStringLiteral("Camera Settings File NOT Saved !"),
          error.isEmpty() ? QStringLiteral("There are no default camera settings yet. Save the "
                                           "camera's settings as defaults first.")
                          : error);
}

QFileDialog* MyPopoverForCameraSettingViewController::saveDefaultsToFile(QWidget* sheetWindow,
                                                                         const QString& file) {
    QPointer<QWidget> window = sheetWindow;
    return openSaveCopyPanel(
        sheetWindow, tr("Save Default Camera Settings"), file,
        [window, file](int result, const QString& chosen) {
            Log::inside(zarvUi, kLogOwner, "SaveDefaultsToFile",
                        QStringLiteral("result = %1").arg(result));
            if (chosen.isEmpty())
                return;
            QString error;
            if (!copyFileReplacing(file, chosen, &error)) {
                Log::inside(zarvUi, kLogOwner, "SaveDefaultsToFile",
                            QStringLiteral("error in copyItemAtPath = %1").arg(error));
                return;
            }
            alert(window, QStringLiteral("Defaults Saved !"),
                  QStringLiteral("Default Camera Settings Saved to\n%1\n\n.").arg(chosen));
        });
}

} // namespace zarv
