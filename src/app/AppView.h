#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace zarv {

class ModuleMatchTask;

/// An alert or sheet. Return codes: 1000 for the first button, 1001 for the second, ...
struct Alert {
    enum class Style { Warning, Informational, Critical };
    Style style = Style::Warning;
    QString message;
    QString informativeText;
    QStringList buttons;
    /// The answer when nobody can be asked (headless), and the one Escape gives: the
    /// cancelling choice.
    long cancelReturnCode = 1000;
};

inline constexpr long kAlertFirstButtonReturn = 1000;
inline constexpr long kAlertSecondButtonReturn = 1001;

/// Return codes of the quit confirmation sheet (and of the info window's close button).
inline constexpr long kConfirmQuitReturn = -1111;
inline constexpr long kCancelReturn = -2222;
inline constexpr long kConfirmQuitRelaunchReturn = -3333;

/// An open panel: what it asks for and which files it offers.
struct OpenPanel {
    QString message;
    /// The title of the button that opens the chosen file.
    QString prompt;
    /// File name extensions without the dot ("plist"); empty offers every file.
    QStringList allowedFileTypes;
    bool allowsMultipleSelection = false;
};

/// Answers of an open panel.
inline constexpr long kModalResponseCancel = 0;
inline constexpr long kModalResponseOK = 1;

/// The popovers the two toolbars open.
enum class PopoverKind {
    MatchList,          ///< the module match list (module-list toolbar, tag 3)
    CameraSettingsSave, ///< default settings, "saveview" (camera-settings toolbar, tag 3)
    CameraSettingsLoad, ///< default settings, "loadview" (camera-settings toolbar, tag 4)
};

/// Everything the controller shows a person. Called on the main thread only. The headless
/// view logs and takes the cancelling choice; the window shows it.
class AppView {
public:
    virtual ~AppView() = default;

    // --- Status ------------------------------------------------------------------------------
    /// The connection status light, by image name ("NSStatusAvailable", "NSStatusUnavailable",
    /// "NSStatusPartiallyAvailable", "NSCaution", ...).
    virtual void setStatusImage(const QString& imageName) = 0;
    /// A status text changed: "prefNameOfCameraFound" or "prefCameraConnectionMessage". The
    /// window's labels follow the settings themselves; this is for views that do not bind.
    virtual void statusTextChanged(const QString& key, const QString& text) = 0;
    /// Work under way that the mini panel's progress indicator shows (busy or idle).
    virtual void setBusy(bool busy) = 0;

    // --- Sheets and windows ------------------------------------------------------------------
    /// Shows an alert as a sheet on the main window. `completion` runs once, on the main
    /// thread, with the return code (1000, 1001, ... by button position).
    virtual void beginSheet(const Alert& alert, std::function<void(long)> completion) = 0;
    /// The information window ("prefTextViewString1") as a sheet; `completion` gets its code.
    virtual void showInfoWindow(std::function<void(long)> completion) = 0;
    /// The quit confirmation sheet; `completion` gets -1111 (quit), -3333 (quit and
    /// relaunch) or -2222 (cancel). A view without a window answers -2222 at once.
    virtual void showConfirmQuit(std::function<void(long)> completion) = 0;
    /// An open panel as a sheet on the main window. `completion` runs once, on the main
    /// thread, with kModalResponseOK and the chosen paths, or kModalResponseCancel and none. A
    /// view without a window answers "cancelled".
    virtual void runOpenPanel(const OpenPanel& panel,
                              std::function<void(long, const QStringList&)> completion) = 0;

    // --- The window's start-up and focus -----------------------------------------------------
    /// Start-up: the disclosure button with no sender, so the window starts as a mini panel.
    virtual void showMiniPanelAtStart() = 0;
    /// The window start-up step: order the window front at the status-window level, made
    /// active first when `activate`; then the initial tab.
    virtual void orderFrontAtStatusLevel(bool activate) = 0;
    /// Gives up keyboard focus and main status.
    virtual void resignMainWindow() = 0;
    /// Activates the program and orders the main window front (a sibling or a second copy
    /// asked for it).
    virtual void bringToFront() = 0;

    // --- Hooks that later views fill ---------------------------------------------------------
    /// Opens a popover at the control that asked, moved right by `offset`.
    virtual void showPopover(PopoverKind kind, int offset) = 0;
    /// The module match window for a task the controller made (and may already have started).
    virtual void showMatchWindow(const std::shared_ptr<ModuleMatchTask>& task) = 0;
    /// The camera controls show their other settings page. (What the pages show comes from
    /// the controller's CameraControls, which the view listens to.)
    virtual void cameraControlsNextPage() = 0;
};

} // namespace zarv
