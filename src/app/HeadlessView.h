#pragma once

#include "AppView.h"

namespace zarv {

/// The view of a program without a window: status goes to the log, every alert is logged and
/// answered with its cancelling choice, so nothing waits for a person who is not there.
class HeadlessView : public AppView {
public:
    void setStatusImage(const QString& imageName) override;
    void statusTextChanged(const QString& key, const QString& text) override;
    void setBusy(bool) override {}

    void beginSheet(const Alert& alert, std::function<void(long)> completion) override;
    void showInfoWindow(std::function<void(long)> completion) override;
    void showConfirmQuit(std::function<void(long)> completion) override;
    void runOpenPanel(const OpenPanel& panel,
                      std::function<void(long, const QStringList&)> completion) override;

    void showMiniPanelAtStart() override {}
    void orderFrontAtStatusLevel(bool) override {}
    void resignMainWindow() override {}
    void bringToFront() override {}

    void showPopover(PopoverKind kind, int offset) override;
    /// Logs that there is no window: the controller logs the task's texts already.
    void showMatchWindow(const std::shared_ptr<ModuleMatchTask>& task) override;
    void cameraControlsNextPage() override {}

private:
    QString m_loggedStatus;
    QString m_loggedMessage;
};

} // namespace zarv
