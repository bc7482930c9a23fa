#include "WindowGeometry.h"

namespace zarv::window {

// Placeholder until written.
std::optional<QVariantMap> getMiniPanelInfo(const QVariantList&, const QString&) {
    return std::nullopt;
}
double getMiniWidth(const std::optional<QVariantMap>&) {
    return kDefaultMiniWidth;
}
double getMiniVerticalOffset(const std::optional<QVariantMap>&) {
    return kDefaultMiniVerticalOffset;
}
QSize miniPanelSize(const std::optional<QVariantMap>&) {
    return {350, 70};
}
int miniPanelSizeIndex(const QVariantList&, const QString&) {
    return -1;
}
bool removesTitleBar(const QString&) {
    return false;
}
bool wantsBottomRight(bool force, const QString&) {
    return force;
}
QRect placeWindow(const QRect& current, const QSize& size, const QRect&, bool) {
    return {current.topLeft(), size};
}
bool zoomMakesFullWindow(int height) {
    return height <= 100;
}
QString initialTabIdentifier(const QString& stored) {
    return stored;
}
long confirmQuitCode(const QString&) {
    return -2222;
}
bool anyCommandModifier(Qt::KeyboardModifiers) {
    return false;
}

} // namespace zarv::window
