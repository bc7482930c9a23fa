#include "CameraSession.h"

#include "session/ZarvNikonBaseCameraHandler.h"

namespace zarv {

namespace {

class NikonCameraSession : public CameraSession {
public:
    QVariantMap fUsbDeviceInfo() const override { return m_handler.fUsbDeviceInfo(); }
    void setFUsbDeviceInfo(const QVariantMap& info) override { m_handler.setFUsbDeviceInfo(info); }
    int16_t FindCamera() override { return m_handler.FindCamera(); }
    std::optional<QString> GetPathToModule() override { return m_handler.GetPathToModule(); }
    bool isCameraConnected() override { return m_handler.isCameraConnected(); }
    int16_t SearchCameraWithModulePath(const QString& path) override {
        return m_handler.SearchCameraWithModulePath(path);
    }
    void handleUsbDeviceAdded(const Notification& n) override { m_handler.handleUsbDeviceAdded(n); }
    void handleUsbDeviceRemoved(const Notification& n) override {
        m_handler.handleUsbDeviceRemoved(n);
    }
    bool CloseMyCamera() override { return m_handler.CloseMyCamera(); }
    int16_t UnloadCamera() override { return m_handler.UnloadCamera(); }
    int16_t GrabImage() override { return m_handler.GrabImage(); }
    void SaveImage() override { m_handler.SaveImage(); }
    uint32_t PumpEvents() override { return m_handler.PumpEvents(); }
    uint32_t AsyncRate() override { return m_handler.AsyncRate(); }
    LiveViewStart StartLiveView(QString* why) override { return m_handler.StartLiveView(why); }
    bool StopLiveView() override { return m_handler.StopLiveView(); }
    LiveViewRead ReadLiveViewFrame(LiveViewFrame* frame) override {
        return m_handler.ReadLiveViewFrame(frame);
    }
    std::optional<LiveViewFocus> ReadLiveViewFocus() override {
        return m_handler.ReadLiveViewFocus();
    }
    bool SetLiveViewFocus(double value) override { return m_handler.SetLiveViewFocus(value); }
    int16_t GetCameraInfo(uint32_t capability, const QString& withType) override {
        return m_handler.GetCameraInfo(capability, withType);
    }
    int16_t SetCameraInfo(const QVariant& value, uint32_t forCapability,
                          const QString& wtihType) override {
        return m_handler.SetCameraInfo(value, forCapability, wtihType);
    }

private:
    ZarvNikonBaseCameraHandler m_handler;
};

} // namespace

CameraSessionFactory nikonCameraSessionFactory() {
    return [] { return std::make_shared<NikonCameraSession>(); };
}

} // namespace zarv
