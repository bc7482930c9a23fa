#include "StatusLight.h"
#include "platform/Log.h"

#include "PathTransformer.h"
#include "platform/Bundle.h"

#include <QDebug>
#include <QHash>
#include <QPainter>
#include <QSet>
#include <QSvgRenderer>

namespace zarv {

namespace {

// Small enough for the mini panel's status line, large enough to tell the colours apart.
constexpr int kDefaultSide = 18;

// Each unknown name is reported once: the controller sets the light on every status change.
bool firstTimeUnknown(const QString& name) {
    static QSet<QString> reported;
    if (reported.contains(name))
        return false;
    reported.insert(name);
    return true;
}

} // namespace

StatusLight::StatusLight(QWidget* parent) : QLabel(parent), m_renderer(new QSvgRenderer(this)) {
    setAlignment(Qt::AlignCenter);
    resize(sizeHint()); // until a layout says otherwise, not a default window's size
    setImageName(QString::fromLatin1(kNoStatusImage));
}

QString StatusLight::stateText(const QString& imageName) {
    static const QHash<QString, QString> kStates{
        {QStringLiteral("NSStatusAvailable"), QStringLiteral("connected")},
        {QStringLiteral("NSStatusPartiallyAvailable"), QStringLiteral("connecting")},
        {QStringLiteral("NSStatusUnavailable"), QStringLiteral("not connected")},
        {QStringLiteral("NSCaution"), QStringLiteral("needs attention")},
    };
    return QStringLiteral("Status: %1").arg(kStates.value(imageName, QStringLiteral("unknown")));
}

void StatusLight::setImageName(const QString& name) {
    m_imageName = name;
    m_shownName = name;
    if (!load(name)) {
        const QString fallback = QString::fromLatin1(kNoStatusImage);
        if (firstTimeUnknown(name))
            qCWarning(zarvUi).noquote()
                << QStringLiteral("Status light: no usable image \"%1\" in %2; "
                                  "showing %3 instead")
                       .arg(name, Bundle::mainBundle().resourcePath(), fallback);
        m_shownName = fallback;
        load(fallback);
    }
    const QString state = stateText(name);
    setAccessibleName(state);
    setAccessibleDescription(QStringLiteral("Camera connection light"));
    setToolTip(state);
    render();
}

bool StatusLight::load(const QString& name) {
    const QString file = PathTransformer::transformedValue(name);
    return !file.isEmpty() && m_renderer->load(file);
}

QSize StatusLight::sizeHint() const {
    const QMargins m = contentsMargins();
    return QSize(kDefaultSide, kDefaultSide).grownBy(m);
}

QSize StatusLight::minimumSizeHint() const {
    return sizeHint();
}

void StatusLight::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    render();
}

void StatusLight::paintEvent(QPaintEvent* event) {
    // Moving to a screen of another density changes the ratio without a resize.
    if (m_renderer->isValid() &&
        (m_renderedRatio != devicePixelRatioF() || m_renderedSide != side()))
        render();
    QLabel::paintEvent(event);
}

int StatusLight::side() const {
    return qMax(1, qMin(contentsRect().width(), contentsRect().height()));
}

void StatusLight::render() {
    if (!m_renderer->isValid()) {
        setPixmap(QPixmap());
        return;
    }
    const qreal ratio = devicePixelRatioF();
    QPixmap image(QSize(side(), side()) * ratio);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        m_renderer->render(&painter);
    }
    image.setDevicePixelRatio(ratio);
    m_renderedSide = side();
    m_renderedRatio = ratio;
    setPixmap(image);
}

} // namespace zarv
