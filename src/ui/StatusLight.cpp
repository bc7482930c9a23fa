#include "StatusLight.h"

namespace zarv {

// Placeholder until written.
StatusLight::StatusLight(QWidget* parent) : QLabel(parent) {}
void StatusLight::setImageName(const QString& name) {
    m_imageName = name;
}

} // namespace zarv
