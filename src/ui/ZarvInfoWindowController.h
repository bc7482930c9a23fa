#pragma once

#include <QDialog>

namespace Ui {
class ZarvInfoWindow;
}

namespace zarv {

/// The information window (ZarvInfoWindow.ui): a read-only text bound to
/// "prefTextViewString1" and a close button that ends the sheet with -2222.
class ZarvInfoWindowController : public QDialog {
    Q_OBJECT
public:
    explicit ZarvInfoWindowController(QWidget* parent = nullptr);
    ~ZarvInfoWindowController() override;

    void ibCloseButton();

private:
    Ui::ZarvInfoWindow* m_ui;
};

} // namespace zarv
