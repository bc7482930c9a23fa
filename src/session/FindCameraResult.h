#pragma once

// What a session's FindCamera answers; the controller acts on each.

#include <cstdint>

namespace zarv {

enum : int16_t {
    kFindCameraFound = 0,
    kFindCameraFailed = -1,
    kFindCameraUnknownModel = -2,
    kFindCameraModuleMissing = -3,
    kFindCameraWrongArchitecture = -4,
    /// The camera's USB device is claimed by another process, such as the desktop's automounter
    /// (libgphoto2's "could not claim the USB device"): the module reports it so, and the
    /// controller names the holder and offers to release it.
    kFindCameraDeviceHeld = -5,
    kFindCameraModuleNotOpened = -9090,
};

} // namespace zarv
