#pragma once

#include "controls/CameraControls.h"
#include "modules/ModuleMatchTask.h"
#include "platform/NotificationCenter.h"
#include "session/FindCameraResult.h"
#include "session/LiveViewFrame.h"

#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace zarv {

/// What the controller asks of a camera session (ZarvNikonBaseCameraHandler); fUsbDeviceInfo(),
/// isCameraConnected() and the module probe come from MatchSubject, the settings from
/// CameraSettingsSubject. Every call except fUsbDeviceInfo() must run on the camera queue. The
/// hooks a session may lack (handleUsbDeviceAdded, handleUsbDeviceRemoved, the probe, the
/// settings) do nothing by default.
class CameraSession : public CameraSettingsSubject {
public:
    /// A session without settings reads nothing and writes nothing.
    int16_t GetCameraInfo(uint32_t, const QString&) override { return -1; }
    int16_t SetCameraInfo(const QVariant&, uint32_t, const QString&) override { return -1; }
    virtual void setFUsbDeviceInfo(const QVariantMap& info) = 0;
    /// 0 connected; -2 unknown model; -3 module missing; -4 module for the other
    /// architecture; kFindCameraDeviceHeld device held by another process; anything else
    /// another failure.
    virtual int16_t FindCamera() = 0;
    /// The module bundle the lookup table names for this camera, when a file exists there.
    virtual std::optional<QString> GetPathToModule() = 0;
    /// A session that cannot probe modules sees no camera through any of them.
    int16_t SearchCameraWithModulePath(const QString&) override { return -1; }
    virtual void handleUsbDeviceAdded(const Notification&) {}
    virtual void handleUsbDeviceRemoved(const Notification&) {}
    virtual bool CloseMyCamera() = 0;
    virtual int16_t UnloadCamera() = 0;
    virtual int16_t GrabImage() = 0;
    virtual void SaveImage() = 0;
    /// Lets the module deliver its events while idle; how many new pictures it announced since
    /// the last call. A session whose module sends no events announces none.
    virtual uint32_t PumpEvents() { return 0; }
    /// The pace, in milliseconds, at which the module wants its idle turns; 0 when unknown.
    virtual uint32_t AsyncRate() { return 0; }
    /// Live view (ZarvNikonBaseCameraHandler::StartLiveView and the rest). A session without
    /// it offers none.
    virtual LiveViewStart StartLiveView(QString* why) {
        *why = QStringLiteral("This camera offers no live view.");
        return LiveViewStart::Unsupported;
    }
    virtual bool StopLiveView() { return true; }
    virtual LiveViewRead ReadLiveViewFrame(LiveViewFrame*) { return LiveViewRead::NotRunning; }
    virtual std::optional<LiveViewFocus> ReadLiveViewFocus() { return std::nullopt; }
    virtual bool SetLiveViewFocus(double) { return false; }
};

/// Makes a new session; called on the camera queue. May give null (allocation refused).
using CameraSessionFactory = std::function<std::shared_ptr<CameraSession>()>;

/// Sessions over the camera maker's modules (ZarvNikonBaseCameraHandler).
CameraSessionFactory nikonCameraSessionFactory();

} // namespace zarv
