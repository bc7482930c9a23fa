#pragma once

#include <QLabel>
#include <QPixmap>
#include <QString>

class QSvgRenderer;

namespace zarv {

/// The connection status light: shows the image named by the controller
/// ("NSStatusAvailable", ...), found through PathTransformer, drawn to fit the label at the
/// screen's pixel density. Its property "imageName" holds the name last set, for tests; the
/// accessible name says the state in words ("Status: connected") for screen readers. A name
/// with no image shows "NSStatusNone". Main thread only.
class StatusLight : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString imageName READ imageName WRITE setImageName)
public:
    /// The image shown when a name has none.
    static constexpr const char* kNoStatusImage = "NSStatusNone";

    explicit StatusLight(QWidget* parent = nullptr);
    QString imageName() const { return m_imageName; }
    void setImageName(const QString& name);
    /// The image actually drawn: the name set, or kNoStatusImage when it has no image.
    QString shownImageName() const { return m_shownName; }

    /// What a screen reader says for an image name.
    static QString stateText(const QString& imageName);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool load(const QString& name);
    int side() const;
    void render();

    QSvgRenderer* m_renderer;
    QString m_imageName;
    QString m_shownName;
    int m_renderedSide = 0;
    qreal m_renderedRatio = 0;
};

} // namespace zarv
