#pragma once

#include <QLabel>
#include <QString>

namespace zarv {

/// The connection status light: shows the image named by the controller
/// ("NSStatusAvailable", ...), found through PathTransformer. Its dynamic property
/// "imageName" holds the name shown, for tests and accessibility.
class StatusLight : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString imageName READ imageName WRITE setImageName)
public:
    explicit StatusLight(QWidget* parent = nullptr);
    QString imageName() const { return m_imageName; }
    void setImageName(const QString& name);

private:
    QString m_imageName;
};

} // namespace zarv
