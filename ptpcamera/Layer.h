// The thin layer over the libgphoto2 calls the PTP module makes, so that tests can replay
// scripted camera behaviour. Every call blocks; a Camera is used by one thread only (its
// worker), which is what libgphoto2 requires of a camera handle.

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct _CameraWidget;

namespace zarv::ptp {

// libgphoto2 result codes the module acts on.
enum : int {
    kGpOk = 0,
    kGpIo = -7,          // the device went away mid-call
    kGpUsbFind = -52,    // the device is no longer on the bus
    kGpUsbClaim = -53,   // another process holds the device
    kGpCameraBusy = -110 // the camera is busy: try again shortly
};

struct FilePath {
    std::string folder; // "/store_00010001/DCIM/100NIKON"
    std::string name;   // "DSC_0001.JPG"
    bool operator==(const FilePath&) const = default;
};

struct CameraEvent {
    enum Kind { Timeout, FileAdded, CaptureComplete, Other } kind = Timeout;
    FilePath file; // for FileAdded
};

struct FoundCamera {
    std::string model; // libgphoto2's model name, "Nikon DSC D850"
    std::string port;  // "usb:001,007"
    uint32_t usbProduct = 0;
};

class Camera {
public:
    virtual ~Camera() = default;
    // Files and subfolders of a folder.
    virtual int list(const std::string& folder, std::vector<std::string>* files,
                     std::vector<std::string>* folders) = 0;
    // The size the camera announces for a file.
    virtual int fileSize(const FilePath& file, uint64_t* size) = 0;
    // Reads up to *size bytes from offset into buffer; *size becomes the count read.
    virtual int read(const FilePath& file, uint64_t offset, char* buffer, uint64_t* size) = 0;
    virtual int remove(const FilePath& file) = 0;
    virtual int waitEvent(int timeoutMs, CameraEvent* event) = 0;
    virtual int trigger() = 0;
    // The configuration tree; the caller owns it (gp_widget_free).
    virtual int getConfig(_CameraWidget** root) = 0;
    virtual int setConfig(_CameraWidget* root) = 0;
    // Ends the session: the body goes back to its own control.
    virtual int exit() = 0;
};

class Layer {
public:
    virtual ~Layer() = default;
    virtual int detect(std::vector<FoundCamera>* cameras) = 0;
    virtual int open(const FoundCamera& which, std::unique_ptr<Camera>* camera) = 0;
};

// The real libgphoto2. Owned by the library; lives until it is unloaded.
Layer& libgphoto2Layer();

// Text for a libgphoto2 result code.
std::string resultText(int code);

} // namespace zarv::ptp
