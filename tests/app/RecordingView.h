#pragma once

// A view that records what the controller shows, and answers sheets as scripted: controller
// tests check every light, text and sheet without a display.

#include "app/AppView.h"
#include "modules/ModuleMatchTask.h"
#include "platform/Dispatch.h"

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringList>

#include <atomic>
#include <optional>
#include <utility>
#include <vector>

namespace zarv::test {

class RecordingView : public AppView {
public:
    ~RecordingView() override {
        for (auto& [task, token] : m_matchTasks)
            if (auto alive = task.lock())
                alive->removeListener(token);
    }

    /// Every event so far, as "kind:detail" texts.
    QStringList events() const {
        QMutexLocker lock(&m_mutex);
        return m_events;
    }
    bool saw(const QString& event) const { return events().contains(event); }
    /// Events whose text starts with `kind`.
    QStringList eventsOf(const QString& kind) const {
        return events().filter(
            QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(kind)));
    }
    /// Calls made from a thread other than the main thread.
    int offMainCalls() const { return m_offMain.load(); }

    /// The code the next sheets answer with; the alert's cancelling choice when unset.
    void answerSheetsWith(std::optional<long> code) {
        QMutexLocker lock(&m_mutex);
        m_answer = code;
    }
    /// The paths the next open panels choose; none (the default) cancels them.
    void answerOpenPanelsWith(std::optional<QStringList> paths) {
        QMutexLocker lock(&m_mutex);
        m_openPanelAnswer = std::move(paths);
    }
    void answerQuitWith(long code) {
        QMutexLocker lock(&m_mutex);
        m_quitAnswer = code;
    }

    void setStatusImage(const QString& imageName) override {
        record(QStringLiteral("light:") + imageName);
    }
    void statusTextChanged(const QString& key, const QString& text) override {
        record(QStringLiteral("text:%1=%2").arg(key, text));
    }
    void setBusy(bool busy) override { record(QStringLiteral("busy:%1").arg(busy)); }
    void beginSheet(const Alert& alert, std::function<void(long)> completion) override {
        record(QStringLiteral("sheet:%1|%2").arg(alert.message, alert.buttons.join(u'/')));
        long code = alert.cancelReturnCode;
        {
            QMutexLocker lock(&m_mutex);
            if (m_answer)
                code = *m_answer;
        }
        answer(std::move(completion), code);
    }
    void showInfoWindow(std::function<void(long)> completion) override {
        record(QStringLiteral("info"));
        answer(std::move(completion), kCancelReturn);
    }
    void showConfirmQuit(std::function<void(long)> completion) override {
        record(QStringLiteral("quit"));
        long code;
        {
            QMutexLocker lock(&m_mutex);
            code = m_quitAnswer;
        }
        answer(std::move(completion), code);
    }
    void runOpenPanel(const OpenPanel& panel,
                      std::function<void(long, const QStringList&)> completion) override {
        record(QStringLiteral("openpanel:%1|%2|%3")
                   .arg(panel.message, panel.prompt, panel.allowedFileTypes.join(u',')));
        std::optional<QStringList> paths;
        {
            QMutexLocker lock(&m_mutex);
            paths = m_openPanelAnswer;
        }
        DispatchQueue::main().async([completion = std::move(completion), paths] {
            completion(paths ? kModalResponseOK : kModalResponseCancel,
                       paths.value_or(QStringList()));
        });
    }
    void showMiniPanelAtStart() override { record(QStringLiteral("mini")); }
    void orderFrontAtStatusLevel(bool activate) override {
        record(QStringLiteral("front:%1").arg(activate));
    }
    void resignMainWindow() override { record(QStringLiteral("resign")); }
    void bringToFront() override { record(QStringLiteral("bringtofront")); }
    void showPopover(PopoverKind kind, int offset) override {
        record(QStringLiteral("popover:%1:%2").arg(int(kind)).arg(offset));
    }
    /// Records the window, then the task's texts ("match:FIELD=TEXT") and ends
    /// ("matchend:OUTCOME").
    void showMatchWindow(const std::shared_ptr<ModuleMatchTask>& task) override {
        record(QStringLiteral("matchwindow"));
        if (!task)
            return;
        ModuleMatchTask::Listener listener;
        listener.textChanged = [this](const QString& field, const QString& text) {
            record(QStringLiteral("match:%1=%2").arg(field, text));
        };
        listener.finished = [this](ModuleMatchTask::Outcome outcome, const QString&) {
            record(QStringLiteral("matchend:%1").arg(int(outcome)));
        };
        m_matchTasks.emplace_back(task, task->addListener(std::move(listener)));
    }
    void cameraControlsNextPage() override { record(QStringLiteral("controls:nextpage")); }

private:
    void record(const QString& event) {
        if (!DispatchQueue::main().isCurrent())
            ++m_offMain;
        QMutexLocker lock(&m_mutex);
        m_events << event;
    }
    // A sheet answers later, as a person would.
    static void answer(std::function<void(long)> completion, long code) {
        DispatchQueue::main().async(
            [completion = std::move(completion), code] { completion(code); });
    }

    mutable QMutex m_mutex;
    QStringList m_events;
    std::optional<long> m_answer;
    long m_quitAnswer = kCancelReturn;
    std::optional<QStringList> m_openPanelAnswer;
    std::atomic<int> m_offMain{0};
    std::vector<std::pair<std::weak_ptr<ModuleMatchTask>, ModuleMatchTask::ListenerToken>>
        m_matchTasks; // main thread
};

} // namespace zarv::test
