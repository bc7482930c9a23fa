#pragma once

#include "modules/ModuleMatchTask.h"

#include <QDialog>

#include <memory>

namespace Ui {
class ZarvNikonMatchModuleWindow;
}

namespace zarv {

/// The module match window (ZarvNikonMatchModuleWindowController.ui), shown as a sheet: the
/// camera being matched, the status line, a progress indicator, the start/pause button and a
/// close button that ends the sheet with -1111 when no run is under way. Thin over its task,
/// which it keeps alive while shown. Main thread only.
class ZarvNikonMatchModuleWindowController : public QDialog {
    Q_OBJECT
public:
    ZarvNikonMatchModuleWindowController(std::shared_ptr<ModuleMatchTask> task,
                                         QWidget* parent = nullptr);
    ~ZarvNikonMatchModuleWindowController() override;

    static inline constexpr int kClosedReturn = -1111;

    const std::shared_ptr<ModuleMatchTask>& task() const { return m_task; }
    /// The start/pause button.
    void ibStartTask();
    /// Ends the sheet with -1111, unless a run is under way (it stays open then).
    void forceClosePanel();
    /// Escape and the title bar's close button: as forceClosePanel.
    void reject() override;

protected:
    /// A window opened on a task that never ran starts it 200 ms later, as the window that
    /// "starts matching as soon as it opens".
    void showEvent(QShowEvent* event) override;

private:
    void showText(const QString& field, const QString& text);
    void showSpinning(bool spinning);

    std::shared_ptr<ModuleMatchTask> m_task;
    std::unique_ptr<Ui::ZarvNikonMatchModuleWindow> m_ui;
    ModuleMatchTask::ListenerToken m_listener = 0;
    bool m_autoStartScheduled = false;
};

} // namespace zarv
