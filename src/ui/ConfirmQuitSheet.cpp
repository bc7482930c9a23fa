#include "ConfirmQuitSheet.h"

#include "ui_ConfirmQuitSheet.h"

#include "app/AppView.h"
#include "app/WindowGeometry.h"

namespace zarv {

ConfirmQuitSheet::ConfirmQuitSheet(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::ConfirmQuitSheet>()) {
    m_ui->setupUi(this);
    for (QPushButton* button : {m_ui->confirmquit, m_ui->confirmquitrelaunch, m_ui->cancel})
        connect(button, &QPushButton::clicked, this,
                [this, button] { ibCloseConfirmWindow(button); });
    m_ui->cancel->setFocus();
}

ConfirmQuitSheet::~ConfirmQuitSheet() = default;

void ConfirmQuitSheet::ibCloseConfirmWindow(QObject* sender) {
    const auto* button = qobject_cast<const QAbstractButton*>(sender);
    done(int(button ? window::confirmQuitCode(button->objectName()) : kCancelReturn));
}

void ConfirmQuitSheet::reject() {
    ibCloseConfirmWindow(m_ui->cancel);
}

} // namespace zarv
