#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

class QFileDialog;

namespace Ui {
class MyPopoverViewController;
}

namespace zarv {

/// The match list popover's view (MyPopoverViewController.ui): the buttons "imessage", "email"
/// and "savetofile" each write a new match list file and share it, or save a copy of it. Sheets
/// (alerts, the save panel) go on `sheetWindow`, the window the popover was opened from, which
/// outlives the popover. Main thread only.
class MyPopoverViewController : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool fIs32bitMode READ fIs32bitMode CONSTANT)
public:
    explicit MyPopoverViewController(QWidget* sheetWindow, QWidget* parent = nullptr);
    ~MyPopoverViewController() override;

    bool fIs32bitMode() const { return m_is32bitMode; }

    /// A button was pressed with `modifiers` held: writes the match list file and does what the
    /// button's identifier names. Nothing but a log line when there is nothing to share; an
    /// alert on the sheet window when the file could not be written.
    void ibClickedOnButton(QObject* sender, Qt::KeyboardModifiers modifiers);

    /// The match list file, newly written, or none (see createMatchListFile).
    std::optional<QString> createPlistFile(QString* failure = nullptr);

    /// Mails `file` to the support mailbox; a failure is shown as an alert on the sheet window.
    void ibEmailItem(const QString& file);
    /// Shares `file` by message: its folder opens and the message text goes to the clipboard.
    void ibMessageItem(const QString& file);
    /// Opens the save panel (window-modal on the sheet window, never a nested event loop),
    /// preset to the file's name; the copy is made when it ends with OK. Returns the panel.
    QFileDialog* ibSaveMatchModuleListToFile(const QString& file);

private:
    std::unique_ptr<Ui::MyPopoverViewController> m_ui;
    QPointer<QWidget> m_sheetWindow;
    bool m_is32bitMode = false;
};

} // namespace zarv
