#pragma once

#include "Loader.h"

#include <QPointer>
#include <QWidget>

#include <memory>

namespace zarv::lookout {

class HistogramView;

/// The picture: fitted to the view, or at 100 % (one picture pixel to one screen pixel) around a
/// chosen point. A click on the fitted picture zooms to 100 % on that point, a click at 100 %
/// goes back to fitted, a drag pans. Text takes the picture's place when there is none to show.
class PictureView : public QWidget {
    Q_OBJECT
public:
    enum class Zoom { Fit, Actual };

    explicit PictureView(QWidget* parent = nullptr);

    /// What to draw: a fitted result, or a full-size one at 100 %.
    void setShown(std::shared_ptr<const Shown> shown);
    std::shared_ptr<const Shown> shownPicture() const { return m_shown; }
    /// Text in place of the picture (empty: none).
    void setMessage(const QString& text);
    QString message() const { return m_message; }
    void setClippingVisible(bool on);
    bool clippingVisible() const { return m_clipping; }

    Zoom zoom() const { return m_zoom; }
    /// To 100 % with the picture point under `at` (view coordinates) kept there, or to fit.
    void zoomTo(Zoom zoom, QPointF at);
    void toggleZoom();
    /// To 100 % with `point` (full-size pixels) at the view's centre, as far as the edges allow.
    void centreOn(QPointF point);
    /// The picture point (full-size pixels) at the view's centre at 100 %.
    QPointF focus() const { return m_focus; }
    /// Where on the view the picture is drawn now (logical pixels); empty without a picture.
    QRectF pictureRect() const;
    /// The fitted view's size in device pixels.
    QSize deviceBox() const;
    HistogramView* histogram() const { return m_histogram; }

signals:
    void zoomChanged(zarv::lookout::PictureView::Zoom zoom);
    /// After a paint that drew `path` (full: at 100 % from the full-size picture; sharp: not a
    /// quick stand-in).
    void painted(const QString& path, bool full, bool sharp);
    void boxChanged(QSize deviceBox);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QSizeF fullSizeLogical() const;
    void clampFocus();

    std::shared_ptr<const Shown> m_shown;
    QString m_message;
    bool m_clipping = false;
    Zoom m_zoom = Zoom::Fit;
    QPointF m_focus;
    QPointF m_pressAt;
    QPointF m_lastDrag;
    bool m_pressed = false;
    bool m_dragging = false;
    HistogramView* m_histogram = nullptr;
};

/// The histogram of the picture on screen: red, green and blue added up, the luminance as a
/// line, and the clipped shares beneath.
class HistogramView : public QWidget {
    Q_OBJECT
public:
    explicit HistogramView(QWidget* parent = nullptr);
    void setHistogram(const Histogram& histogram);
    const Histogram& histogramShown() const { return m_histogram; }
    QSize sizeHint() const override { return {276, 128}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void render(QPainter& p) const;

    Histogram m_histogram;
    // Drawn once for each histogram and size: its antialiased curves cost milliseconds, and the
    // picture beneath repaints it on every pan.
    QImage m_drawn;
};

} // namespace zarv::lookout
