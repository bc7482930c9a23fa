#pragma once

#include "LiveViewRendering.h"

#include <QJsonObject>
#include <QThreadPool>
#include <QTimer>
#include <QWidget>

#include <functional>

class QAbstractButton;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSlider;

namespace zarv {

class LiveView;
class LiveViewCanvas;

/// The Live View tab: the camera's frames at its own rate, with the rate shown, a grid, focus
/// peaking, a 100 % view of the area under the pointer, the focus area the camera reports, the
/// focus position where the camera lets it move, and "Take picture". It holds live view only
/// while it is active (on screen in the full window). Frames are decoded on a thread of its
/// own, one at a time: a frame that comes while one is decoded waits in the live view's slot,
/// where a newer one replaces it. Main thread.
class LiveViewPane : public QWidget {
    Q_OBJECT
public:
    LiveViewPane(LiveView& liveView, std::function<void()> takePicture, QWidget* parent = nullptr);
    ~LiveViewPane() override;

    /// On screen in the full window: holds live view; off: lets it go.
    void setActive(bool active);
    bool isActive() const { return m_active; }
    /// A camera arrived: live view starts again if the pane shows and it had ended.
    void cameraConnected();

    void setGridShown(bool shown);
    void setPeakingShown(bool shown);
    void setZoomShown(bool shown);
    /// Puts the pointer over the picture at `share` of its width and height (0-1), as the
    /// 100 % view follows it.
    void pointAt(const QPointF& share);

    /// The text above the picture: the rate while it runs, else why it does not.
    QString statusText() const;
    const LiveViewMeter& meter() const { return m_meter; }
    const LiveViewPicture& picture() const { return m_picture; }
    /// What it shows and has painted, for the window's state file.
    QJsonObject state() const;

signals:
    /// The state changed in a way worth writing down (at most twice a second while frames
    /// flow).
    void stateChanged();

private:
    friend class LiveViewCanvas;
    QHBoxLayout* makeBar(QWidget* take);
    void connectControls();
    void offerFrame();
    void pictureDone(const LiveViewPicture& picture);
    void painted(const LiveViewPicture& picture);
    void liveViewStateChanged();
    void updateStatus();

    LiveView& m_liveView;
    bool m_active = false;
    LiveViewCanvas* m_canvas;
    QLabel* m_status;
    QAbstractButton* m_grid;
    QAbstractButton* m_peaking;
    QAbstractButton* m_zoom;
    QPushButton* m_start;
    QSlider* m_focus;
    QLabel* m_focusLabel;
    QTimer m_focusSend;    // a dragged slider sends its last value, not every step
    QTimer m_statusTimer;  // the rate, redrawn while frames flow
    QThreadPool m_decoder; // one thread: one frame decoded at a time
    bool m_decoding = false;
    bool m_frameWaiting = false;
    uint64_t m_lastPainted = 0;
    LiveViewPicture m_picture;
    LiveViewMeter m_meter;
    qint64 m_lastStateNs = 0;
};

} // namespace zarv
