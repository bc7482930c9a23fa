#pragma once

#include <QDialog>

namespace Ui {
class ConfirmQuitSheet;
}

namespace zarv {

/// The quit confirmation sheet (ConfirmQuitSheet.ui): buttons "confirmquit",
/// "confirmquitrelaunch" and "cancel", each ending the sheet through ibCloseConfirmWindow
/// with the code of window::confirmQuitCode.
class ConfirmQuitSheet : public QDialog {
    Q_OBJECT
public:
    explicit ConfirmQuitSheet(QWidget* parent = nullptr);
    ~ConfirmQuitSheet() override;

    /// Ends the sheet with the code of the sender's identifier (-2222 when not a button).
    void ibCloseConfirmWindow(QObject* sender);

private:
    Ui::ConfirmQuitSheet* m_ui;
};

} // namespace zarv
