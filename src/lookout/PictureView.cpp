#include "PictureView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace zarv::lookout {

namespace {
const QColor kBackground(0x1c, 0x1c, 0x1e);
constexpr int kDragThreshold = 4;
} // namespace

PictureView::PictureView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("pictureView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 200);
    setFocusPolicy(Qt::StrongFocus);
    m_histogram = new HistogramView(this);
    m_histogram->setObjectName(QStringLiteral("histogram"));
    m_histogram->resize(m_histogram->sizeHint());
    m_histogram->setAttribute(Qt::WA_TransparentForMouseEvents);
}

QSize PictureView::deviceBox() const {
    const qreal dpr = devicePixelRatioF();
    return QSize(int(std::lround(width() * dpr)), int(std::lround(height() * dpr)));
}

void PictureView::setShown(std::shared_ptr<const Shown> shown) {
    const bool newPicture = !m_shown || !shown || m_shown->path != shown->path;
    // The same picture again with its histogram: only the overlay, if shown, needs a paint.
    const bool samePixels = !newPicture && m_shown->full == shown->full &&
                            m_shown->decoded.image.cacheKey() == shown->decoded.image.cacheKey();
    const bool repaint = !samePixels || (m_clipping && !shown->clipping.isNull());
    m_shown = std::move(shown);
    if (m_shown && !m_shown->decoded.error.isEmpty()) {
        m_message = m_shown->decoded.error;
        m_histogram->setHistogram({});
    } else {
        m_message.clear();
        if (m_shown)
            m_histogram->setHistogram(m_shown->histogram);
    }
    if (newPicture && m_zoom == Zoom::Actual && m_shown && !m_shown->full) {
        // Another picture at 100 %: the same place on it, as a photographer compares shots.
        clampFocus();
    }
    if (repaint)
        update();
}

void PictureView::setMessage(const QString& text) {
    m_message = text;
    m_shown.reset();
    m_histogram->setHistogram({});
    update();
}

void PictureView::setClippingVisible(bool on) {
    m_clipping = on;
    update();
}

QSizeF PictureView::fullSizeLogical() const {
    if (!m_shown || m_shown->decoded.image.isNull())
        return {};
    QSizeF full = m_shown->decoded.fullSize;
    if (full.isEmpty())
        full = m_shown->decoded.image.size();
    return full / devicePixelRatioF();
}

QRectF PictureView::pictureRect() const {
    if (!m_shown || m_shown->decoded.image.isNull())
        return {};
    const QSizeF area = size();
    if (m_zoom == Zoom::Fit) {
        const QSizeF full = fullSizeLogical();
        const QSizeF s = full.width() > area.width() || full.height() > area.height()
                             ? full.scaled(area, Qt::KeepAspectRatio)
                             : full;
        return QRectF(QPointF((area.width() - s.width()) / 2, (area.height() - s.height()) / 2), s);
    }
    const QSizeF full = fullSizeLogical();
    const qreal dpr = devicePixelRatioF();
    const QPointF topLeft = QPointF(area.width() / 2, area.height() / 2) - m_focus / dpr;
    return QRectF(topLeft, full);
}

void PictureView::clampFocus() {
    const QSizeF full = fullSizeLogical() * devicePixelRatioF();
    if (full.isEmpty())
        return;
    const QSizeF half = QSizeF(deviceBox()) / 2;
    const auto clampAxis = [](qreal v, qreal length, qreal halfView) {
        if (length <= 2 * halfView)
            return length / 2;
        return std::clamp(v, halfView, length - halfView);
    };
    m_focus = QPointF(clampAxis(m_focus.x(), full.width(), half.width()),
                      clampAxis(m_focus.y(), full.height(), half.height()));
}

void PictureView::zoomTo(Zoom zoom, QPointF at) {
    if (zoom == Zoom::Actual && m_shown && !m_shown->decoded.image.isNull()) {
        // The picture point under `at` now, in full-size pixels.
        const QRectF r = pictureRect();
        const QSizeF full = fullSizeLogical() * devicePixelRatioF();
        QPointF point(full.width() / 2, full.height() / 2);
        if (r.width() > 0 && r.height() > 0)
            point = QPointF((at.x() - r.left()) / r.width() * full.width(),
                            (at.y() - r.top()) / r.height() * full.height());
        const QPointF fromCentre = at - QPointF(width() / 2.0, height() / 2.0);
        m_focus = point - fromCentre * devicePixelRatioF();
    }
    const bool changed = zoom != m_zoom;
    m_zoom = zoom;
    clampFocus();
    update();
    if (changed)
        emit zoomChanged(zoom);
}

void PictureView::centreOn(QPointF point) {
    const bool changed = m_zoom != Zoom::Actual;
    m_zoom = Zoom::Actual;
    m_focus = point;
    clampFocus();
    update();
    if (changed)
        emit zoomChanged(m_zoom);
}

void PictureView::toggleZoom() {
    zoomTo(m_zoom == Zoom::Fit ? Zoom::Actual : Zoom::Fit, QPointF(width() / 2.0, height() / 2.0));
}

void PictureView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    if (m_shown && !m_shown->decoded.image.isNull()) {
        const QRectF target = pictureRect();
        const QImage& image = m_shown->decoded.image;
        const bool exact = std::abs(target.width() * devicePixelRatioF() - image.width()) < 1.0;
        // An exact fit is a plain copy; a picture still at the wrong size for a moment (a
        // resize, 100 % before its full-size decode) is drawn scaled, smoothly when small.
        p.setRenderHint(QPainter::SmoothPixmapTransform, !exact && m_zoom == Zoom::Fit);
        p.drawImage(target, image);
        if (m_clipping && !m_shown->clipping.isNull()) {
            p.setOpacity(0.85);
            p.drawImage(target, m_shown->clipping);
            p.setOpacity(1.0);
        }
        if (m_zoom == Zoom::Actual) {
            const QString label =
                m_shown->full ? QStringLiteral("100 %") : QStringLiteral("100 % \u2026");
            QFont f = font();
            f.setBold(true);
            p.setFont(f);
            const QRectF box(12, 12, p.fontMetrics().horizontalAdvance(label) + 16,
                             p.fontMetrics().height() + 8);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0, 0, 0, 160));
            p.drawRoundedRect(box, 4, 4);
            p.setPen(QColor(235, 235, 235));
            p.drawText(box, Qt::AlignCenter, label);
        }
    } else if (!m_message.isEmpty()) {
        QFont f = font();
        f.setPointSizeF(f.pointSizeF() * 1.25);
        p.setFont(f);
        const QRectF area = rect().adjusted(48, 48, -48, -48);
        const QRectF text = p.boundingRect(area, Qt::AlignCenter | Qt::TextWordWrap, m_message);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 18));
        p.drawRoundedRect(text.adjusted(-24, -16, 24, 16), 8, 8);
        p.setPen(QColor(220, 220, 220));
        p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, m_message);
    }
    p.end();
    if (m_shown && !m_shown->decoded.image.isNull())
        emit painted(m_shown->path, m_shown->full && m_zoom == Zoom::Actual,
                     !m_shown->decoded.quick);
}

void PictureView::resizeEvent(QResizeEvent*) {
    m_histogram->move(width() - m_histogram->width() - 12, 12);
    clampFocus();
    emit boxChanged(deviceBox());
}

void PictureView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    m_pressed = true;
    m_dragging = false;
    m_pressAt = m_lastDrag = event->position();
}

void PictureView::mouseMoveEvent(QMouseEvent* event) {
    if (!m_pressed)
        return;
    const QPointF at = event->position();
    if (!m_dragging && (at - m_pressAt).manhattanLength() > kDragThreshold)
        m_dragging = true;
    if (m_dragging && m_zoom == Zoom::Actual) {
        m_focus -= (at - m_lastDrag) * devicePixelRatioF();
        clampFocus();
        update();
        setCursor(Qt::ClosedHandCursor);
    }
    m_lastDrag = at;
}

void PictureView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    unsetCursor();
    if (m_dragging)
        return;
    // A click: the focus check on that point, or back to the whole picture.
    zoomTo(m_zoom == Zoom::Fit ? Zoom::Actual : Zoom::Fit, event->position());
}

HistogramView::HistogramView(QWidget* parent) : QWidget(parent) {}

void HistogramView::setHistogram(const Histogram& histogram) {
    m_histogram = histogram;
    m_drawn = QImage();
    setVisible(!histogram.isEmpty());
    update();
}

void HistogramView::paintEvent(QPaintEvent*) {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (m_drawn.size() != pixels || m_drawn.devicePixelRatio() != ratio) {
        m_drawn = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_drawn.setDevicePixelRatio(ratio);
        m_drawn.fill(Qt::transparent);
        QPainter onImage(&m_drawn);
        render(onImage);
    }
    QPainter p(this);
    p.drawImage(0, 0, m_drawn);
}

void HistogramView::render(QPainter& p) const {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 170));
    p.drawRoundedRect(rect(), 6, 6);
    if (m_histogram.isEmpty())
        return;
    const QRectF plot = QRectF(rect()).adjusted(10, 8, -10, -24);
    // Scaled to the tallest inner level: a peak of pure black or white would flatten the rest.
    quint32 peak = 1;
    for (int c = 0; c < 4; ++c)
        for (int i = 1; i < 255; ++i)
            peak = std::max(peak, m_histogram.bins[size_t(c)][size_t(i)]);
    const auto curve = [&](int channel) {
        QPainterPath path(QPointF(plot.left(), plot.bottom()));
        for (int i = 0; i < 256; ++i) {
            const double v =
                std::min(1.0, double(m_histogram.bins[size_t(channel)][size_t(i)]) / double(peak));
            path.lineTo(plot.left() + plot.width() * i / 255.0, plot.bottom() - v * plot.height());
        }
        path.lineTo(plot.right(), plot.bottom());
        path.closeSubpath();
        return path;
    };
    p.setCompositionMode(QPainter::CompositionMode_Plus);
    const QColor colours[3] = {QColor(200, 40, 40), QColor(40, 170, 40), QColor(50, 80, 220)};
    for (int c = 0; c < 3; ++c) {
        p.setBrush(colours[c]);
        p.drawPath(curve(c));
    }
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(240, 240, 240, 220), 1.2));
    p.drawPath(curve(Histogram::Luminance));
    p.setPen(QColor(200, 200, 200));
    QFont f = font();
    f.setPointSizeF(f.pointSizeF() * 0.85);
    p.setFont(f);
    const QRectF text(plot.left(), plot.bottom() + 4, plot.width(), 16);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Shadows %1 %").arg(m_histogram.clippedShadows * 100, 0, 'f', 1));
    p.drawText(
        text, Qt::AlignRight | Qt::AlignVCenter,
        QStringLiteral("Highlights %1 %").arg(m_histogram.clippedHighlights * 100, 0, 'f', 1));
}

} // namespace zarv::lookout
