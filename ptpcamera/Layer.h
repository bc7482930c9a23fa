// The thin layer over the libgphoto2 calls the PTP module makes, so that tests can replay
// scripted camera behaviour. Every call blocks; a Camera is used by one thread only (its
// worker), which is what libgphoto2 requires of a camera handle.

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _CameraWidget;

namespace zarv::ptp {

// libgphoto2 result codes the module acts on.
enum : int {
    kGpOk = 0,
    kGpError = -1,        // unspecified: file information and reads outside the card say so
    kGpNotSupported = -6, // the driver lacks the operation (partial reads, for one)
    kGpIo = -7,           // the device went away mid-call
    kGpUsbFind = -52,     // the device is no longer on the bus
    kGpUsbClaim = -53,    // another process holds the device
    kGpCameraBusy = -110, // the camera is busy: try again shortly
    kGpCancel = -112,     // the operation was cancelled (by us)
    kGpNoSpace = -115,    // the card is full
};

struct FilePath {
    std::string folder; // "/store_00010001/DCIM/100NIKON", or "/" for a picture held in RAM
    std::string name;   // "DSC_0001.JPG", "capt0000.jpg"
    bool operator==(const FilePath&) const = default;
};

// What the camera says of a file; each part only where it says it.
struct FileInfo {
    bool hasSize = false;
    uint64_t size = 0;
    int64_t mtime = 0; // seconds since the epoch, 0 when unknown
};

struct CameraEvent {
    enum Kind { Timeout, FileAdded, CaptureComplete, Other } kind = Timeout;
    FilePath file;    // FileAdded
    std::string text; // Other: libgphoto2's description ("PTP Property 500d changed, ...")
};

struct FoundCamera {
    std::string model; // libgphoto2's model name, "Nikon DSC D850"
    std::string port;  // "usb:001,007"
    uint32_t usbProduct = 0;
    bool canCapture = true;  // the driver can trigger a capture on it
    bool canPreview = false; // the driver can fetch live-view frames from it
};

class Camera {
public:
    // Receives a file's bytes as the library reads them; a negative answer stops the read.
    using Sink = std::function<int(const char* bytes, uint64_t size)>;

    virtual ~Camera() = default;
    // Files and subfolders of a folder.
    virtual int list(const std::string& folder, std::vector<std::string>* files,
                     std::vector<std::string>* folders) = 0;
    virtual int fileInfo(const FilePath& file, FileInfo* info) = 0;
    // Reads up to *size bytes from offset into buffer; *size becomes the count read.
    virtual int read(const FilePath& file, uint64_t offset, char* buffer, uint64_t* size) = 0;
    // The whole file, handed to `sink` piece by piece as it arrives.
    virtual int get(const FilePath& file, const Sink& sink) = 0;
    // Frees the file on the camera, or for a picture in RAM the library's copy of it.
    virtual int remove(const FilePath& file) = 0;
    virtual int waitEvent(int timeoutMs, CameraEvent* event) = 0;
    virtual int trigger() = 0;
    // One live-view frame as the body sends it (a JPEG); the library starts live view on the
    // body where it is not running yet.
    virtual int preview(std::string* jpeg) = 0;
    // What the library last reported to the user about this camera ("Liveview cannot start:
    // Card unformatted"), and forgets it; empty when it said nothing.
    virtual std::string takeMessage() = 0;
    // The configuration tree, or one widget of it by name; the caller owns what it gets
    // (gp_widget_free).
    virtual int getConfig(_CameraWidget** root) = 0;
    virtual int setConfig(_CameraWidget* root) = 0;
    virtual int getWidget(const std::string& name, _CameraWidget** widget) = 0;
    virtual int setWidget(const std::string& name, _CameraWidget* widget) = 0;
    // The body's serial number, empty when it does not say.
    virtual std::string serialNumber() = 0;
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
