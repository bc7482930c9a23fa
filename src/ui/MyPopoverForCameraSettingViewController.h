#pragma once

#include "controls/CameraControls.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QFileDialog;

namespace Ui {
class MyPopoverForCameraSettingViewController;
}

namespace zarv {

/// The default-settings popover (MyPopoverForCameraSettingViewController.ui): "saveview" with
/// "savedefault", "savetofile" and "emailfile", "loadview" with "loaddefault" and "loadfile".
/// The buttons ask the camera controls; alerts, the save and open panels go on `sheetWindow`,
/// the window the popover was opened from, which outlives the popover. What the controls answer
/// later is shown even once the popover has closed. Main thread only; `controls` must outlive
/// every answer (the controller owns them).
class MyPopoverForCameraSettingViewController : public QWidget {
    Q_OBJECT
public:
    MyPopoverForCameraSettingViewController(CameraControls& controls, QWidget* sheetWindow,
                                            QWidget* parent = nullptr);
    ~MyPopoverForCameraSettingViewController() override;

    /// "loadview" (without regard to case) shows the load buttons, any other name the save
    /// buttons.
    void ibAdjustForView(const QString& name);

    /// A button was pressed with `modifiers` held: does what its identifier names (without
    /// regard to case); other identifiers do nothing.
    void ibClickedOnButton(QObject* sender, Qt::KeyboardModifiers modifiers);

    // --- What the controls' answers show (public for tests) -------------------------------------
    /// The outcome of keeping the camera's settings as defaults.
    static void showSaved(QWidget* sheetWindow, bool saved);
    /// The outcome of applying the stored defaults; the settings `report` names are named
    /// in the alert.
    static void showApplied(QWidget* sheetWindow, CameraControls::ApplyOutcome outcome,
                            const CameraControls::SettingsReport& report = {});
    /// The outcome of importing a settings file, naming the settings `report` names.
    static void showImported(QWidget* sheetWindow, CameraControls::ImportOutcome outcome,
                             const CameraControls::SettingsReport& report = {});
    /// No defaults file could be written (`error` says why; empty: there are no defaults).
    static void showNoFile(QWidget* sheetWindow, const QString& error);

    /// The save panel for the defaults file `file`: the copy replaces a file at the chosen
    /// place, then "Defaults Saved !" says where. Returns the panel.
    static QFileDialog* saveDefaultsToFile(QWidget* sheetWindow, const QString& file);

private:
    void saveToFile();
    void emailFile(bool asMessage);
    void loadFromFile();

    CameraControls& m_controls;
    std::unique_ptr<Ui::MyPopoverForCameraSettingViewController> m_ui;
    QPointer<QWidget> m_sheetWindow;
};

} // namespace zarv
