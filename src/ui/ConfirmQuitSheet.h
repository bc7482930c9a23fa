#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class ConfirmQuitSheet;
}

namespace zarv {

/// The quit confirmation sheet (ConfirmQuitSheet.ui): buttons "confirmquit",
/// "confirmquitrelaunch" and "cancel" (the default, and what Escape answers), each ending the
/// sheet through ibCloseConfirmWindow with the code of window::confirmQuitCode. Kept and shown
/// again with beginSheet.
class ConfirmQuitSheet : public QDialog {
    Q_OBJECT
public:
    explicit ConfirmQuitSheet(QWidget* parent = nullptr);
    ~ConfirmQuitSheet() override;

    /// Ends the sheet with the code of the sender's identifier (-2222 when not a button).
    void ibCloseConfirmWindow(QObject* sender);

    /// Escape and the window's close button: as the cancel button.
    void reject() override;

private:
    std::unique_ptr<Ui::ConfirmQuitSheet> m_ui;
};

} // namespace zarv
