#include "ZarvNikonMatchModuleWindowController.h"

#include "ui_ZarvNikonMatchModuleWindowController.h"

#include "platform/Log.h"

#include <QDebug>
#include <QPushButton>
#include <QTimer>

namespace zarv {

ZarvNikonMatchModuleWindowController::ZarvNikonMatchModuleWindowController(
    std::shared_ptr<ModuleMatchTask> task, QWidget* parent)
    : QDialog(parent), m_task(std::move(task)),
      m_ui(std::make_unique<Ui::ZarvNikonMatchModuleWindow>()) {
    m_ui->setupUi(this);
    connect(m_ui->ibStartButton, &QPushButton::clicked, this,
            &ZarvNikonMatchModuleWindowController::ibStartTask);
    connect(m_ui->ibCloseButton, &QPushButton::clicked, this,
            &ZarvNikonMatchModuleWindowController::forceClosePanel);
    if (!m_task)
        return;
    showText(ModuleMatchTask::kStatusCameraName, m_task->fStatusCameraName());
    showText(ModuleMatchTask::kStatusMesg1, m_task->fStatusMesg1());
    showText(ModuleMatchTask::kButtonTitle, m_task->fButtonTitle());
    showSpinning(m_task->isSpinning());
    ModuleMatchTask::Listener listener;
    listener.textChanged = [this](const QString& field, const QString& text) {
        showText(field, text);
    };
    listener.progressChanged = [this](bool spinning) { showSpinning(spinning); };
    m_listener = m_task->addListener(std::move(listener));
}

ZarvNikonMatchModuleWindowController::~ZarvNikonMatchModuleWindowController() {
    if (m_task)
        m_task->removeListener(m_listener);
}

void ZarvNikonMatchModuleWindowController::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_task || m_autoStartScheduled || m_task->runCount() > 0)
        return;
    m_autoStartScheduled = true;
    QTimer::singleShot(200, this, [this] {
        // Started meanwhile (the button, or the controller): a second start would be a pause.
        if (m_task->runCount() == 0)
            m_task->ibStartTask();
    });
}

void ZarvNikonMatchModuleWindowController::ibStartTask() {
    if (m_task)
        m_task->ibStartTask();
    else
        Log::inside(zarvUi, ModuleMatchTask::kClassName,
                    "ibStartTask:", QStringLiteral(" NO Camera To Match...."));
}

void ZarvNikonMatchModuleWindowController::forceClosePanel() {
    Log::inside(zarvUi, ModuleMatchTask::kClassName, "forceClosePanel:");
    if (m_task && m_task->fTaskStarted()) {
        Log::inside(zarvUi, ModuleMatchTask::kClassName,
                    "forceClosePanel:", QStringLiteral("Please Wait - TASK Still in Progress..."));
        return;
    }
    showSpinning(false);
    // Only a sheet has a window to end it on.
    if (!parentWidget()) {
        Log::inside(zarvUi, ModuleMatchTask::kClassName,
                    "forceClosePanel:", QStringLiteral("WHAT ??????"));
        return;
    }
    done(kClosedReturn);
}

void ZarvNikonMatchModuleWindowController::reject() {
    forceClosePanel();
}

void ZarvNikonMatchModuleWindowController::showText(const QString& field, const QString& text) {
    if (field == ModuleMatchTask::kStatusCameraName)
        m_ui->ibStatusCameraName->setText(text);
    else if (field == ModuleMatchTask::kStatusMesg1)
        m_ui->ibStatusMesg1->setText(text);
    else if (field == ModuleMatchTask::kButtonTitle)
        m_ui->ibStartButton->setText(text);
}

void ZarvNikonMatchModuleWindowController::showSpinning(bool spinning) {
    // A busy bar while spinning, an empty one at rest.
    m_ui->ibProgressIndicator->setRange(0, spinning ? 0 : 1);
    m_ui->ibProgressIndicator->setValue(0);
}

} // namespace zarv
