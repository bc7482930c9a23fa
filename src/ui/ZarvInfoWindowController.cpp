#include "ZarvInfoWindowController.h"
#include "platform/Log.h"

#include "ui_ZarvInfoWindow.h"

#include "app/AppView.h"
#include "platform/UserDefaults.h"

#include <QFontDatabase>

namespace zarv {

ZarvInfoWindowController::ZarvInfoWindowController(QWidget* parent)
    : ZarvInfoWindowController(UserDefaults::standard(), parent) {}

ZarvInfoWindowController::ZarvInfoWindowController(UserDefaults& defaults, QWidget* parent)
    : QDialog(parent), m_defaults(defaults), m_ui(std::make_unique<Ui::ZarvInfoWindow>()) {
    m_ui->setupUi(this);
    // The module descriptions line up in columns.
    m_ui->ibTextView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(m_ui->ibCloseButton, &QPushButton::clicked, this,
            &ZarvInfoWindowController::ibCloseButton);
    // The text can run to thousands of lines: read only while someone can see it.
    connect(&m_defaults, &UserDefaults::valueChanged, this, [this](const QString& key) {
        if (key == kTextKey && isVisible())
            readText();
    });
}

ZarvInfoWindowController::~ZarvInfoWindowController() = default;

void ZarvInfoWindowController::ibCloseButton() {
    qCInfo(zarvUi).noquote() << QStringLiteral(
        "Inside ZarvInfoWindowController => ibCloseButton:... ");
    done(int(kCancelReturn));
}

void ZarvInfoWindowController::reject() {
    done(int(kCancelReturn));
}

void ZarvInfoWindowController::showEvent(QShowEvent* event) {
    readText();
    QDialog::showEvent(event);
}

void ZarvInfoWindowController::readText() {
    const QString text = m_defaults.stringForKey(kTextKey);
    if (text != m_ui->ibTextView->toPlainText())
        m_ui->ibTextView->setPlainText(text);
}

} // namespace zarv
