#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class ZarvInfoWindow;
}

namespace zarv {

class UserDefaults;

/// The information window (ZarvInfoWindow.ui): a read-only text showing the setting
/// "prefTextViewString1" (read when the window is shown, and again as it changes while shown)
/// and a close button that ends the sheet with -2222, as Escape does.
class ZarvInfoWindowController : public QDialog {
    Q_OBJECT
public:
    /// Reads UserDefaults::standard().
    explicit ZarvInfoWindowController(QWidget* parent = nullptr);
    /// Reads `defaults`, which must outlive the window.
    ZarvInfoWindowController(UserDefaults& defaults, QWidget* parent = nullptr);
    ~ZarvInfoWindowController() override;

    void ibCloseButton();
    void reject() override;

    static inline const QString kTextKey = QStringLiteral("prefTextViewString1");

protected:
    void showEvent(QShowEvent* event) override;

private:
    void readText();

    UserDefaults& m_defaults;
    std::unique_ptr<Ui::ZarvInfoWindow> m_ui;
};

} // namespace zarv
