#include "BusyIndicator.h"

#include <QPainter>

#include <algorithm>

namespace zarv {

namespace {
constexpr int kSpokes = 12;
}

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent) {
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % kSpokes;
        update();
    });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void BusyIndicator::setBusy(bool busy) {
    if (busy == isBusy())
        return;
    if (busy)
        m_timer.start();
    else
        m_timer.stop();
    update();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    if (!isBusy())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    QColor colour = palette().color(QPalette::WindowText);
    QPen pen(colour, std::max<qreal>(1.5, side / 10), Qt::SolidLine, Qt::RoundCap);
    for (int i = 0; i < kSpokes; ++i) {
        // The newest spoke is darkest; the others fade behind it.
        const int age = (m_step - i + kSpokes) % kSpokes;
        colour.setAlphaF(1.0 - 0.75 * age / kSpokes);
        pen.setColor(colour);
        painter.setPen(pen);
        painter.drawLine(QPointF(0, -side * 0.22), QPointF(0, -side * 0.42));
        painter.rotate(360.0 / kSpokes);
    }
}

} // namespace zarv
