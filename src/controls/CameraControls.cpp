#include "CameraControls.h"

// Placeholder: filled in by the camera-controls work.
namespace zarv {

struct CameraControls::State {
    Options options;
    Listener listener;
};

CameraControls::CameraControls(Options options) : m_state(std::make_shared<State>()) {
    m_state->options = std::move(options);
}
CameraControls::~CameraControls() = default;
void CameraControls::setListener(Listener listener) {
    m_state->listener = std::move(listener);
}
void CameraControls::ibHandleCameraConnected() {}
void CameraControls::ibHandleCameraRemoved() {}
void CameraControls::ibReadCurrentCameraSettings() {}
void CameraControls::ibClickedOnPopupButton(const QString&, int) {}
std::optional<double> CameraControls::ibClickedOnSlider(const QString&, double) {
    return std::nullopt;
}
std::optional<SliderSetup> CameraControls::ibClickedOnReset(const QString&) {
    return std::nullopt;
}
void CameraControls::ibSetupFineTuneSettings() {}
void CameraControls::SaveAsDefaults(std::function<void(bool)> done) {
    done(false);
}
std::optional<QString> CameraControls::createPlistFile(QString*) {
    return std::nullopt;
}
void CameraControls::applyDefaults(std::function<void(bool)> done) {
    done(false);
}
void CameraControls::importDefaults(const QString&, std::function<void(ImportOutcome)> done) {
    done(ImportOutcome::Unreadable);
}
bool CameraControls::ReadCurrentCameraSettings() {
    return false;
}
bool CameraControls::setCameraSettingsFromDictionary(const QVariantMap&) {
    return false;
}

} // namespace zarv
