#include "AppDelegatePrivate.h"
#include "platform/Log.h"

#include "platform/Beep.h"

namespace zarv {

namespace {

void notImplementedYet(const char* operation, const char* what) {
    Log::info(zarvApp, Log::insideText(
                           kClassName, operation,
                           QStringLiteral("%1 - NOT Implemented Yet...").arg(QLatin1String(what))));
    beep();
}

} // namespace

// --- The toolbars -----------------------------------------------------------------------------

void AppDelegate::ibHandleSegmentedControl1(int tag) {
    switch (tag) {
    case 0:
        notImplementedYet("ibHandleSegmentedControl1:", "Add");
        break;
    case 1:
        notImplementedYet("ibHandleSegmentedControl1:", "Delete");
        break;
    case 2:
        ibUpdateModuleList();
        break;
    case 3:
        view().showPopover(PopoverKind::MatchList, 30);
        break;
    case 4:
        ibImportModuleList();
        break;
    case 5:
        doRevealItem2();
        break;
    default:
        Log::info(zarvApp, Log::insideText(kClassName, "ibHandleSegmentedControl1:",
                                           QStringLiteral("no action for tag %1").arg(tag)));
    }
}

void AppDelegate::ibHandleSegmentedControl2(int tag) {
    switch (tag) {
    case 0:
        notImplementedYet("ibHandleSegmentedControl2:", "Add");
        break;
    case 1:
    case 5:
        view().cameraControlsNextPage();
        break;
    case 2:
        cameraControls().ibReadCurrentCameraSettings();
        cameraControls().ibSetupFineTuneSettings();
        break;
    case 3:
        view().showPopover(PopoverKind::CameraSettingsSave, 10);
        break;
    case 4:
        view().showPopover(PopoverKind::CameraSettingsLoad, 80);
        break;
    default:
        Log::info(zarvApp, Log::insideText(kClassName, "ibHandleSegmentedControl2:",
                                           QStringLiteral("no action for tag %1").arg(tag)));
    }
}

void AppDelegate::cameraSettingsTabSelected() {
    // The pages and their labels for the session there is now: the controls hear of
    // connections and removals, not of every session that comes and goes without connecting.
    cameraControls().ibPrepareHomeView();
    // Whether the camera is connected is the session's to say, on its own queue.
    currentCameraDispatchQueue().async([this] {
        const std::shared_ptr<CameraSession> session = gTestNikonCamera();
        if (session && session->isCameraConnected())
            onMain([this] { cameraControls().ibReadCurrentCameraSettings(); });
    });
}

// --- Quitting ---------------------------------------------------------------------------------

void AppDelegate::ibConfirmQuit() {
    QPointer<AppDelegate> self(this);
    view().showConfirmQuit([self](long code) {
        if (self)
            self->confirmQuitEnded(code);
    });
}

void AppDelegate::confirmQuitEnded(long returnCode) {
    if (returnCode == kConfirmQuitReturn) {
        Log::info(zarvApp, Log::insideText(kClassName, "ibCloseConfirmWindow:",
                                           QStringLiteral("Will terminate app...")));
        terminate();
    } else if (returnCode == kConfirmQuitRelaunchReturn) {
        Log::info(zarvApp, Log::insideText(kClassName, "ibCloseConfirmWindow:",
                                           QStringLiteral("Will Quit and Relaunch")));
        relaunchApp({});
    }
}

} // namespace zarv
