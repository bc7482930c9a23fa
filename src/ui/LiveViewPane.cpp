#include "LiveViewPane.h"

#include "app/LiveView.h"

#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

namespace zarv {

namespace {

constexpr int kLoupeSide = 240;
constexpr qint64 kStateEveryNs = 500'000'000;

QToolButton* toggle(const QString& text, const QString& tip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(tip);
    button->setCheckable(true);
    button->setAutoRaise(true);
    return button;
}

} // namespace

/// Paints the fitted frame and what lies over it.
class LiveViewCanvas : public QWidget {
public:
    explicit LiveViewCanvas(LiveViewPane& pane) : QWidget(&pane), m_pane(pane) {
        setMouseTracking(true);
        setMinimumSize(160, 100);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    bool grid = false;
    bool zoom = false;
    std::optional<QPoint> pointer;

    // Where the frame stands: fitted to the view, enlarged too when the view is larger than
    // the frame (it was decoded at no more than its own size).
    QRect imageRect() const {
        const LiveViewPicture& picture = m_pane.m_picture;
        if (picture.image.isNull())
            return {};
        const QSize fitted = picture.frameSize.scaled(size(), Qt::KeepAspectRatio);
        return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2),
                     fitted);
    }
    // The view's area in device pixels, the size frames are decoded for.
    QSize deviceSize() const { return size() * devicePixelRatioF(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), QColor(24, 24, 24));
        const LiveViewPicture& picture = m_pane.m_picture;
        const QRect target = imageRect();
        if (picture.image.isNull()) {
            p.setPen(QColor(200, 200, 200));
            p.drawText(rect().adjusted(16, 16, -16, -16), Qt::AlignCenter | Qt::TextWordWrap,
                       picture.error.isEmpty() ? m_pane.statusText() : picture.error);
            return;
        }
        p.drawImage(target, picture.image);
        if (!picture.peaking.isNull())
            p.drawImage(target, picture.peaking);
        if (grid)
            drawGrid(p, target);
        drawFocusArea(p, target, picture);
        if (zoom)
            drawLoupe(p, target, picture);
        m_pane.painted(picture);
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        pointer = event->position().toPoint();
        if (zoom)
            update();
    }
    void leaveEvent(QEvent*) override {
        pointer.reset();
        if (zoom)
            update();
    }
    void resizeEvent(QResizeEvent*) override { m_pane.offerFrame(); }

private:
    static void drawGrid(QPainter& p, const QRect& r) {
        p.setPen(QPen(QColor(255, 255, 255, 110), 1));
        for (int i = 1; i < 3; ++i) {
            const int x = r.left() + r.width() * i / 3;
            const int y = r.top() + r.height() * i / 3;
            p.drawLine(x, r.top(), x, r.bottom());
            p.drawLine(r.left(), y, r.right(), y);
        }
    }
    static void drawFocusArea(QPainter& p, const QRect& r, const LiveViewPicture& picture) {
        if (picture.focusArea.isEmpty() || picture.frameSize.isEmpty())
            return;
        const double sx = double(r.width()) / picture.frameSize.width();
        const double sy = double(r.height()) / picture.frameSize.height();
        const QRectF area(r.left() + picture.focusArea.left() * sx,
                          r.top() + picture.focusArea.top() * sy, picture.focusArea.width() * sx,
                          picture.focusArea.height() * sy);
        p.setPen(QPen(QColor(255, 214, 0), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(area);
    }
    // The frame at its own size around the pixel under the pointer, in a box beside it.
    void drawLoupe(QPainter& p, const QRect& r, const LiveViewPicture& picture) {
        if (!pointer || !r.contains(*pointer) || picture.full.isNull())
            return;
        const QPointF at((pointer->x() - r.left()) * double(picture.full.width()) / r.width(),
                         (pointer->y() - r.top()) * double(picture.full.height()) / r.height());
        const QRect source(int(at.x()) - kLoupeSide / 2, int(at.y()) - kLoupeSide / 2, kLoupeSide,
                           kLoupeSide);
        QRect box(*pointer + QPoint(16, 16), QSize(kLoupeSide, kLoupeSide));
        if (box.right() > width())
            box.moveRight(pointer->x() - 16);
        if (box.bottom() > height())
            box.moveBottom(pointer->y() - 16);
        box.moveTop(std::max(0, box.top()));
        box.moveLeft(std::max(0, box.left()));
        p.fillRect(box, Qt::black);
        p.drawImage(box, picture.full, source);
        p.setPen(QPen(Qt::white, 1));
        p.drawRect(box.adjusted(0, 0, -1, -1));
        p.drawText(box.adjusted(6, 4, -6, -4), Qt::AlignLeft | Qt::AlignTop,
                   QStringLiteral("100 %"));
    }

    LiveViewPane& m_pane;
};

LiveViewPane::LiveViewPane(LiveView& liveView, std::function<void()> takePicture, QWidget* parent)
    : QWidget(parent), m_liveView(liveView) {
    setObjectName(QStringLiteral("liveview"));
    m_decoder.setMaxThreadCount(1);
    m_canvas = new LiveViewCanvas(*this);
    auto* take = new QPushButton(tr("Take Picture"), this);
    take->setObjectName(QStringLiteral("liveViewTakePicture"));
    connect(take, &QPushButton::clicked, this, [takePicture] { takePicture(); });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    layout->addLayout(makeBar(take));
    layout->addWidget(m_canvas, 1);
    connectControls();
    updateStatus();
}

QHBoxLayout* LiveViewPane::makeBar(QWidget* take) {
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("liveViewStatus"));
    // A long reason must not widen the window past its other tabs.
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_grid = toggle(tr("Grid"), tr("Rule-of-thirds lines over the picture"), this);
    m_peaking = toggle(tr("Peaking"), tr("Marks the sharp edges in red while you focus"), this);
    m_zoom = toggle(tr("100 %"), tr("Shows the area under the pointer at full size"), this);
    m_start = new QPushButton(tr("Start Live View"), this);
    m_start->setObjectName(QStringLiteral("liveViewStart"));
    m_focusLabel = new QLabel(tr("Focus"), this);
    m_focus = new QSlider(Qt::Horizontal, this);
    m_focus->setObjectName(QStringLiteral("liveViewFocus"));
    m_focus->setToolTip(tr("Moves the camera's focus, near to far"));
    m_focus->setRange(0, 1000);
    m_focus->setMinimumWidth(60);
    m_focus->setMaximumWidth(160);
    m_focusLabel->hide();
    m_focus->hide();
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 0, 0);
    bar->addWidget(m_status, 1);
    for (QWidget* w : {static_cast<QWidget*>(m_focusLabel), static_cast<QWidget*>(m_focus),
                       static_cast<QWidget*>(m_grid), static_cast<QWidget*>(m_peaking),
                       static_cast<QWidget*>(m_zoom), static_cast<QWidget*>(m_start), take})
        bar->addWidget(w);
    return bar;
}

void LiveViewPane::connectControls() {
    connect(m_grid, &QAbstractButton::toggled, this, &LiveViewPane::setGridShown);
    connect(m_peaking, &QAbstractButton::toggled, this, &LiveViewPane::setPeakingShown);
    connect(m_zoom, &QAbstractButton::toggled, this, &LiveViewPane::setZoomShown);
    connect(m_start, &QPushButton::clicked, this, [this] {
        if (m_active)
            m_liveView.hold(LiveView::WindowHolder);
    });
    m_focusSend.setSingleShot(true);
    m_focusSend.setInterval(40);
    connect(m_focus, &QSlider::valueChanged, this, [this] { m_focusSend.start(); });
    connect(&m_focusSend, &QTimer::timeout, this, [this] {
        const std::optional<LiveViewFocus> focus = m_liveView.focus();
        if (focus)
            m_liveView.setFocus(focus->lower +
                                (focus->upper - focus->lower) * m_focus->value() / 1000.0);
    });
    m_statusTimer.setInterval(500);
    connect(&m_statusTimer, &QTimer::timeout, this, &LiveViewPane::updateStatus);
    connect(&m_liveView, &LiveView::frameReady, this, &LiveViewPane::offerFrame);
    connect(&m_liveView, &LiveView::stateChanged, this, &LiveViewPane::liveViewStateChanged);
}

LiveViewPane::~LiveViewPane() {
    m_decoder.waitForDone();
    if (m_active)
        m_liveView.release(LiveView::WindowHolder);
}

void LiveViewPane::setActive(bool active) {
    if (active == m_active)
        return;
    m_active = active;
    if (active) {
        m_liveView.hold(LiveView::WindowHolder);
        m_statusTimer.start();
    } else {
        m_liveView.release(LiveView::WindowHolder);
        m_statusTimer.stop();
        m_picture = {};
        m_canvas->update();
    }
    updateStatus();
    emit stateChanged();
}

void LiveViewPane::cameraConnected() {
    if (m_active && m_liveView.state() != LiveView::State::Running)
        m_liveView.hold(LiveView::WindowHolder);
}

void LiveViewPane::setGridShown(bool shown) {
    m_grid->setChecked(shown);
    m_canvas->grid = shown;
    m_canvas->update();
}

void LiveViewPane::setPeakingShown(bool shown) {
    m_peaking->setChecked(shown);
    if (!shown)
        m_picture.peaking = {};
    m_canvas->update();
}

void LiveViewPane::setZoomShown(bool shown) {
    m_zoom->setChecked(shown);
    m_canvas->zoom = shown;
    m_canvas->update();
}

void LiveViewPane::pointAt(const QPointF& share) {
    const QRect picture = m_canvas->imageRect();
    const QRect area = picture.isEmpty() ? m_canvas->rect() : picture;
    m_canvas->pointer =
        area.topLeft() + QPoint(int(area.width() * share.x()), int(area.height() * share.y()));
    m_canvas->update();
}

void LiveViewPane::offerFrame() {
    if (m_decoding) {
        m_frameWaiting = true;
        return;
    }
    m_frameWaiting = false;
    if (!m_active)
        return;
    std::optional<LiveViewFrame> frame = m_liveView.takeFrame();
    if (!frame)
        return;
    LiveViewRenderOptions options;
    options.view = m_canvas->deviceSize();
    options.full = m_zoom->isChecked();
    options.peaking = m_peaking->isChecked();
    m_decoding = true;
    m_decoder.start([this, frame = std::move(*frame), options] {
        LiveViewPicture picture = renderLiveViewFrame(frame, options);
        QMetaObject::invokeMethod(
            this, [this, picture = std::move(picture)] { pictureDone(picture); },
            Qt::QueuedConnection);
    });
}

void LiveViewPane::pictureDone(const LiveViewPicture& picture) {
    m_decoding = false;
    if (m_active) {
        m_picture = picture;
        m_canvas->update();
    }
    if (m_frameWaiting)
        offerFrame();
}

void LiveViewPane::painted(const LiveViewPicture& picture) {
    if (picture.sequence == m_lastPainted && m_meter.paintedCount() > 0)
        return;
    m_lastPainted = picture.sequence;
    const int64_t now = liveViewClockNs();
    m_meter.painted(picture.readAtNs, now);
    if (now - m_lastStateNs >= kStateEveryNs) {
        m_lastStateNs = now;
        emit stateChanged();
    }
}

void LiveViewPane::liveViewStateChanged() {
    const LiveView::State state = m_liveView.state();
    const std::optional<LiveViewFocus> focus = m_liveView.focus();
    const bool focusable = state == LiveView::State::Running && focus;
    m_focus->setVisible(focusable);
    m_focusLabel->setVisible(focusable);
    if (focusable) {
        const QSignalBlocker quiet(m_focus);
        m_focus->setValue(
            int((focus->value - focus->lower) * 1000.0 / (focus->upper - focus->lower)));
    }
    if (state != LiveView::State::Running) {
        m_picture = {};
        m_canvas->update();
    }
    updateStatus();
    emit stateChanged();
}

QString LiveViewPane::statusText() const {
    if (!m_active)
        return tr("Live view is off.");
    switch (m_liveView.state()) {
    case LiveView::State::Running:
        return m_meter.paintedCount() == 0
                   ? tr("Live view: waiting for the first frame...")
                   : tr("Live view: %1 fps")
                         .arg(m_meter.framesPerSecond(liveViewClockNs()), 0, 'f', 1);
    case LiveView::State::Refused:
        return tr("The camera refuses live view: %1").arg(m_liveView.stateText());
    case LiveView::State::Stopped:
        break;
    }
    const QString why = m_liveView.stateText();
    return why.isEmpty() ? tr("Live view starts...") : tr("Live view stopped: %1").arg(why);
}

void LiveViewPane::updateStatus() {
    m_status->setText(statusText());
    m_start->setVisible(m_active && m_liveView.state() != LiveView::State::Running &&
                        !m_liveView.stateText().isEmpty());
    if (m_picture.image.isNull())
        m_canvas->update();
}

QJsonObject LiveViewPane::state() const {
    QJsonArray waits;
    for (uint64_t n : m_meter.waits())
        waits.append(qint64(n));
    return {
        {QStringLiteral("active"), m_active},
        {QStringLiteral("status"), m_status->text()},
        {QStringLiteral("painted"), qint64(m_meter.paintedCount())},
        // Steady clock, which every process of the machine shares.
        {QStringLiteral("lastPaintNs"), qint64(m_meter.lastPaintNs())},
        {QStringLiteral("dropped"), qint64(m_liveView.framesDropped())},
        {QStringLiteral("waitsMs"), waits},
        {QStringLiteral("frameWidth"), m_picture.frameSize.width()},
        {QStringLiteral("frameHeight"), m_picture.frameSize.height()},
    };
}

} // namespace zarv
