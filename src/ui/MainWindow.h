#pragma once

#include "app/AppView.h"

#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

class QAbstractButton;

namespace Ui {
class MainWindow;
}

namespace zarv {

class AppDelegate;
class CameraControlsViewController;
class ConfirmQuitSheet;
class LiveViewPane;
class ModuleListModel;
class ZarvInfoWindowController;
class ZarvNikonMatchModuleWindowController;

/// The main window (MainWindow.ui) in its two forms: the mini panel (the status strip alone)
/// and the full window (the tabs above it). It shows what the controller decides, and its
/// controls call the controller. Main thread only.
///
/// With the environment variable ZARV_UI_STATE_FILE naming a file, the window keeps a JSON
/// description of what it shows there (for end-to-end tests and benchmarks); with
/// ZARV_UI_FULL_WINDOW=1 it opens as the full window on its initial tab.
class MainWindow : public QWidget, public AppView {
    Q_OBJECT
public:
    explicit MainWindow(AppDelegate& delegate, QWidget* parent = nullptr);
    ~MainWindow() override;

    // --- AppView -----------------------------------------------------------------------------
    void setStatusImage(const QString& imageName) override;
    void statusTextChanged(const QString& key, const QString& text) override;
    void setBusy(bool busy) override;
    void beginSheet(const Alert& alert, std::function<void(long)> completion) override;
    void showInfoWindow(std::function<void(long)> completion) override;
    void showConfirmQuit(std::function<void(long)> completion) override;
    /// A window-modal file dialog (open(), never a nested event loop).
    void runOpenPanel(const OpenPanel& panel,
                      std::function<void(long, const QStringList&)> completion) override;
    void showMiniPanelAtStart() override;
    void orderFrontAtStatusLevel(bool activate) override;
    void resignMainWindow() override;
    void bringToFront() override;
    void showPopover(PopoverKind kind, int offset) override;
    void showMatchWindow(const std::shared_ptr<ModuleMatchTask>& task) override;
    /// The settings tab's other page.
    void cameraControlsNextPage() override;

    // --- The two forms -----------------------------------------------------------------------
    /// The full window: 550 x 466, tabs shown, with a title bar.
    void ibTestButton1();
    /// The mini panel: the chosen size's width x (100 - its offset), tabs hidden; sizes
    /// "pref1" and "pref2" lose the title bar.
    void ibTestButton2();
    bool isMiniPanel() const { return m_mini; }
    /// The disclosure button. On with Ctrl, Alt or Meta held: the full window on the initial
    /// tab. On without one: a beep, the button goes off again and the title bar is toggled.
    /// Off, or no button: the mini panel, giving up the focus.
    void ibDisclosureButton(QAbstractButton* sender, Qt::KeyboardModifiers modifiers);
    /// The zoom (maximise) button: never maximises; 0.1 s later a window 100 high or lower
    /// becomes the full window, a taller one the mini panel.
    void windowShouldZoom();
    bool hasTitleBar() const { return !m_titleBarRemoved; }

    // --- Mini-panel sizes --------------------------------------------------------------------
    /// Selects the stored size in the size pop-up (the last entry when it is not listed).
    void setupMiniPanelSizeStuff();
    /// The size pop-up chose entry `index`: stored for the next mini panel.
    void ibClickSelectMiniSize(int index);

    // --- Tabs --------------------------------------------------------------------------------
    /// The preferred tab ("prefDefaultMainTabviewItemIdentifier", else "preferences"); an
    /// unknown one is logged and the current tab stays.
    void selectIntialTabviewItem();
    /// Selects the tab whose identifier is `identifier`; false when there is none.
    bool selectTab(const QString& identifier);
    QStringList tabIdentifiers() const;
    QString currentTabIdentifier() const;

    ConfirmQuitSheet* confirmQuitSheet() const { return m_confirmQuit; }
    /// The control the last toolbar click came from: where popovers open.
    QWidget* popoverAnchor() const { return m_popoverAnchor; }
    /// The settings pages of the "camerasettings" tab.
    CameraControlsViewController* cameraControlsView() const { return m_cameraControls; }
    /// The "liveview" tab.
    LiveViewPane* liveViewPane() const { return m_liveView; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void bindSettings();
    void connectControls();
    void setUpModuleTable();
    void fillModuleTable(const QVariantList& entries);
    void fillMiniSizes(const QVariantList& sizes);
    /// Window flags for the current form: frameless when the title bar is removed, no focus
    /// for the mini panel, above other windows once ordered front at the status level.
    void applyWindowFlags();
    /// Gives the window `size`, placed by the position rule from its frame `current`.
    void placeWindow(const QRect& current, const QSize& size);
    void windowShouldZoom(int height);
    void setFormControls(bool mini, int miniHeight, int offset);
    void fixUpDisclosureButton(QAbstractButton* sender);
    void scheduleStateWrite();
    void writeState();
    // Live view runs while its tab shows in the full window on screen; the window grows for
    // it and shrinks back after.
    void updateLiveViewActive();

    AppDelegate& m_delegate;
    std::unique_ptr<Ui::MainWindow> m_ui;
    ConfirmQuitSheet* m_confirmQuit = nullptr;
    ZarvInfoWindowController* m_infoWindow = nullptr;
    QPointer<ZarvNikonMatchModuleWindowController> m_matchWindow;
    ModuleListModel* m_moduleList = nullptr;
    CameraControlsViewController* m_cameraControls = nullptr;
    LiveViewPane* m_liveView = nullptr;
    bool m_grownForLiveView = false;
    QPointer<QWidget> m_popoverAnchor;

    bool m_mini = false;
    bool m_titleBarRemoved = false;
    bool m_statusLevel = false;
    bool m_controlKeyPressed = false;

    QString m_stateFile;
    QTimer m_stateTimer;
    bool m_painted = false;
};

} // namespace zarv
