// What the module knows of the pictures a camera announces and of the cameras libgphoto2
// finds: plain values and pure functions, apart from the process-wide memory of pictures not
// yet fetched (program thread only).

#pragma once

#include "Layer.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zarv::ptp {

// A picture's file data type from its name (NEF, NRW, JPG, TIF, HIF), or 0 for a file the
// program does not save as a picture (a movie, a sound, anything else).
uint32_t fileDataTypeOf(const std::string& name);

// Whether a file is a picture libgphoto2 holds in memory (a capture into the camera's RAM,
// announced outside the card's folders) rather than a file on a card.
bool heldInRam(const FilePath& file);

struct Item {
    uint32_t id = 0;
    FilePath file;
    uint64_t size = 0; // as the camera announced it, or of the bytes held
    int64_t mtime = 0; // as the camera announced it; 0 unknown
    uint32_t fileType = 0;
    // The whole picture, where it was fetched at once (from RAM, or a file the camera could
    // not size); the camera itself no longer has to be asked for it.
    std::shared_ptr<const std::string> bytes;

    // The same picture: a card's numbering restarts after a format, so the path alone does
    // not tell.
    bool samePicture(const Item& other) const {
        return file == other.file && size == other.size && mtime == other.mtime && !bytes &&
               !other.bytes;
    }
    std::string path() const { return file.folder + (file.folder == "/" ? "" : "/") + file.name; }
};

// The pictures each camera announced that the program has not fetched yet, kept across the
// camera's leaving and coming back (and across the module's closing), by the body: model and
// serial number. A picture held in RAM lives only here once the camera has gone.
class Unfetched {
public:
    void add(const std::string& body, const Item& item);
    void fetched(const std::string& body, const Item& item);
    // What is waiting for the body, oldest first; it is forgotten here until added again.
    std::vector<Item> take(const std::string& body);
    void clear() { waiting_.clear(); }

private:
    std::map<std::string, std::vector<Item>> waiting_;
};
Unfetched& unfetched();

// "usb:BBB,DDD", libgphoto2's name for a USB device's port.
std::string usbPort(uint32_t usbLocation);

// Why a camera libgphoto2 found is not worth offering, or null when it is: never a disk with
// a DCIM folder, the generic "usb:" entry or anything that cannot take a picture; with a
// location, only the camera on that port.
const char* passedOver(const FoundCamera& camera, uint32_t usbLocation);

} // namespace zarv::ptp
