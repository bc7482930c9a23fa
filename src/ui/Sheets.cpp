#include "Sheets.h"
#include "platform/Log.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <utility>

namespace zarv {
namespace {

// One showing of a dialog: hands its result to the completion once. A child of the dialog, so
// a dialog destroyed before it was answered still answers, with the cancelling code.
class SheetSession : public QObject {
public:
    SheetSession(QDialog* dialog, long cancelCode, std::function<void(long)> completion)
        : QObject(dialog), m_cancelCode(cancelCode), m_completion(std::move(completion)) {
        connect(dialog, &QDialog::finished, this, [this](int code) {
            finish(code);
            deleteLater();
        });
    }
    ~SheetSession() override { finish(m_cancelCode); }

private:
    void finish(long code) {
        // Taken first: the completion may show the same sheet again.
        auto completion = std::exchange(m_completion, nullptr);
        if (completion)
            completion(code);
    }

    long m_cancelCode;
    std::function<void(long)> m_completion;
};

// Window-modal on a parent, without a nested event loop; application-modal without one, since
// a window-modal dialog with no parent would block nothing.
void showModal(QWidget* parent, QDialog* dialog) {
    if (parent) {
        dialog->open();
    } else {
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->show();
    }
}

QStyle::StandardPixmap iconFor(Alert::Style style) {
    switch (style) {
    case Alert::Style::Informational:
        return QStyle::SP_MessageBoxInformation;
    case Alert::Style::Critical:
        return QStyle::SP_MessageBoxCritical;
    case Alert::Style::Warning:
        break;
    }
    return QStyle::SP_MessageBoxWarning;
}

// Plain text throughout: messages quote camera names and file paths, which are not markup.
QLabel* plainLabel(const QString& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// The alert's own dialog rather than QMessageBox, which orders buttons by role, not as given.
class AlertDialog : public QDialog {
public:
    AlertDialog(QWidget* parent, const Alert& alert)
        : QDialog(parent), m_cancelCode(alert.cancelReturnCode) {
        setObjectName(QStringLiteral("alertSheet"));
        setAttribute(Qt::WA_DeleteOnClose);

        auto* icon = new QLabel(this);
        icon->setObjectName(QStringLiteral("alertIcon"));
        const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
        icon->setPixmap(style()
                            ->standardIcon(iconFor(alert.style), nullptr, this)
                            .pixmap(QSize(iconSize, iconSize), devicePixelRatio()));
        icon->setAlignment(Qt::AlignTop);

        auto* message = plainLabel(alert.message, "alertMessage", this);
        QFont bold = message->font();
        bold.setBold(true);
        message->setFont(bold);
        auto* informative = plainLabel(alert.informativeText, "alertInformativeText", this);
        informative->setVisible(!alert.informativeText.isEmpty());

        auto* texts = new QVBoxLayout;
        texts->addWidget(message);
        texts->addWidget(informative);
        texts->addStretch();
        auto* top = new QHBoxLayout;
        top->addWidget(icon);
        top->addLayout(texts, 1);

        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        const QStringList titles =
            alert.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : alert.buttons;
        for (qsizetype i = 0; i < titles.size(); ++i) {
            auto* button = new QPushButton(titles.at(i), this);
            const long code = kAlertFirstButtonReturn + i;
            button->setObjectName(QStringLiteral("alertButton%1").arg(code));
            connect(button, &QPushButton::clicked, this, [this, code] { done(int(code)); });
            buttons->addWidget(button);
            if (i == 0) {
                button->setDefault(true);
                button->setFocus();
            }
        }

        auto* layout = new QVBoxLayout(this);
        layout->addLayout(top);
        layout->addLayout(buttons);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        message->setMinimumWidth(320);
    }

    // Escape and the window's close button answer the cancelling choice.
    void reject() override { done(int(m_cancelCode)); }

private:
    long m_cancelCode;
};

} // namespace

QDialog* beginAlertSheet(QWidget* parent, const Alert& alert,
                         std::function<void(long)> completion) {
    auto* dialog = new AlertDialog(parent, alert);
    new SheetSession(dialog, alert.cancelReturnCode, std::move(completion));
    showModal(parent, dialog);
    return dialog;
}

void beginSheet(QWidget* parent, QDialog* sheet, std::function<void(long)> completion) {
    if (!sheet) {
        qCWarning(zarvUi).noquote()
            << QStringLiteral("No sheet to show: answering %1").arg(kCancelReturn);
        if (completion)
            completion(kCancelReturn);
        return;
    }
    if (sheet->isVisible())
        return;
    if (parent && sheet->parentWidget() != parent)
        sheet->setParent(parent, sheet->windowFlags());
    new SheetSession(sheet, kCancelReturn, std::move(completion));
    showModal(parent, sheet);
}

} // namespace zarv
