#include "Pictures.h"

#include "sdk/Maid.h"

#include <cstdio>
#include <strings.h>

namespace zarv::ptp {

uint32_t fileDataTypeOf(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return 0;
    const std::string ext = name.substr(dot + 1);
    static const struct {
        const char* ext;
        uint32_t type;
    } types[] = {
        {"jpg", kNkMAIDFileDataType_JPEG},  {"jpeg", kNkMAIDFileDataType_JPEG},
        {"nef", kNkMAIDFileDataType_NEF},   {"nrw", kNkMAIDFileDataType_NRW},
        {"tif", kNkMAIDFileDataType_TIFF},  {"tiff", kNkMAIDFileDataType_TIFF},
        {"hif", kNkMAIDFileDataType_HEIF},  {"heif", kNkMAIDFileDataType_HEIF},
        {"heic", kNkMAIDFileDataType_HEIF},
    };
    for (const auto& t : types)
        if (strcasecmp(ext.c_str(), t.ext) == 0)
            return t.type;
    return 0;
}

bool heldInRam(const FilePath& file) {
    return file.folder.rfind("/store_", 0) != 0;
}

void Unfetched::add(const std::string& body, const Item& item) {
    std::vector<Item>& list = waiting_[body];
    for (const Item& known : list)
        if (known.samePicture(item))
            return;
    list.push_back(item);
}

void Unfetched::fetched(const std::string& body, const Item& item) {
    auto it = waiting_.find(body);
    if (it == waiting_.end())
        return;
    // Pictures held in memory are the same picture only as the same bytes.
    std::erase_if(it->second, [&item](const Item& known) {
        return known.samePicture(item) || (known.bytes && known.bytes == item.bytes);
    });
    if (it->second.empty())
        waiting_.erase(it);
}

std::vector<Item> Unfetched::take(const std::string& body) {
    auto it = waiting_.find(body);
    if (it == waiting_.end())
        return {};
    std::vector<Item> out = std::move(it->second);
    waiting_.erase(it);
    return out;
}

Unfetched& unfetched() {
    static Unfetched memory;
    return memory;
}

std::string usbPort(uint32_t usbLocation) {
    char port[32];
    std::snprintf(port, sizeof port, "usb:%03u,%03u", usbLocation >> 16, usbLocation & 0xffff);
    return port;
}

const char* passedOver(const FoundCamera& camera, uint32_t usbLocation) {
    if (camera.port.rfind("disk:", 0) == 0 || camera.port == "usb:" || !camera.canCapture)
        return "not a camera the module can take pictures with";
    if (usbLocation && camera.port != usbPort(usbLocation))
        return "not the camera the program found";
    return nullptr;
}

} // namespace zarv::ptp
