#include "CameraSettings.h"

// Placeholder: filled in by the camera-controls work.
namespace zarv {

const std::vector<SettingBinding>& popupBindings() {
    static const std::vector<SettingBinding> b;
    return b;
}
const std::vector<SettingBinding>& sliderBindings() {
    static const std::vector<SettingBinding> b;
    return b;
}
const QStringList& pageCapabilities() {
    static const QStringList l;
    return l;
}
std::optional<QString> capabilityForPopup(const QString&) {
    return std::nullopt;
}
std::optional<QString> capabilityForSlider(const QString&) {
    return std::nullopt;
}
std::optional<QString> widgetForCapability(const QString&) {
    return std::nullopt;
}
std::optional<CapabilityRow> capabilityRow(const QString&) {
    return std::nullopt;
}
PopupList popupListFromResponse(const std::optional<QVariant>&) {
    return {};
}
std::optional<uint16_t> valueForChoice(const CapabilityRow&, int) {
    return std::nullopt;
}
bool isChoiceEnabled(const QString&, const QString&) {
    return true;
}
std::optional<SliderSetup> sliderFromResponse(const QVariant&) {
    return std::nullopt;
}
double sliderStep(double position, double, double) {
    return position;
}
QString modelNameOf(const QVariantMap&, const QString& fallback) {
    return fallback;
}
bool isImportableSettingsFile(const QVariantMap&) {
    return false;
}
SettingsPlan planSettingsWrite(const QVariantMap&) {
    return {};
}
QVariantMap defaultsFromReading(const QVariantMap& reading, const QString&, const QDateTime&,
                                const std::optional<QString>&) {
    return reading;
}
std::optional<QString> writeDefaultsFile(const QVariantMap&, const QDateTime&, QString*) {
    return std::nullopt;
}
std::optional<QVariantMap> readSettingsFile(const QString&, QString*) {
    return std::nullopt;
}

} // namespace zarv
