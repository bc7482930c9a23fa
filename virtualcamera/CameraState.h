// The virtual camera's state, shared by its parts (VirtualCamera.cpp: objects and the pump;
// Capabilities.cpp: capabilities and settings; Transfer.cpp: pictures, transfers and faults).
// One thread only; callbacks may call back into the entry point, so no reference into the state
// is held across a callback.

#pragma once

#include "Config.h"
#include "Picture.h"

#include "sdk/Maid.h"
#include "sdk/ModuleObjects.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace zarv::vcam {

constexpr uint32_t kFirstItemId = 0x1001;

struct Item {
    uint32_t id = 0;
    size_t picture = 0; // index into the picture files
};

struct EnumSetting {
    uint32_t elementType = kNkMAIDArrayType_Unsigned;
    std::vector<uint32_t> values;
    std::vector<std::string> texts;
    uint32_t current = 0;
    uint32_t count() const {
        return elementType == kNkMAIDArrayType_Unsigned ? uint32_t(values.size())
                                                        : uint32_t(texts.size());
    }
    uint32_t elements() const {
        if (elementType != kNkMAIDArrayType_PackedString)
            return count();
        uint32_t bytes = 0;
        for (const auto& t : texts)
            bytes += uint32_t(t.size()) + 1;
        return bytes;
    }
    uint16_t bytesPerElement() const {
        return elementType == kNkMAIDArrayType_Unsigned       ? 4
               : elementType == kNkMAIDArrayType_PackedString ? 1
                                                              : 256;
    }
};

struct RangeSetting {
    double lower = 0, upper = 0, value = 0;
    uint32_t steps = 0, index = 0;
};

struct Transfer {
    uint64_t data = 0;    // handle of the data object
    uint64_t pending = 0; // the acquire's pending id
    uint32_t kindBits = 0;
    uint32_t itemId = 0;
    Picture picture;
    uint64_t size = 0; // bytes to deliver (rounded up to whole rows in the row layout)
    uint64_t offset = 0;
    uint32_t pieces = 0;
    bool started = false;
    bool broken = false; // fails after its first piece (fault_broken_transfer)
    std::chrono::steady_clock::time_point linkDue;  // when the pieces so far are through the link
    std::chrono::steady_clock::time_point resumeAt; // stalled until then (fault_stall_transfer)
    std::unique_ptr<uint8_t[]> buffer;              // one piece
};

// Live view: frame n is due at start + n / fps and made when a read asks for it; only the newest
// is kept.
struct LiveView {
    bool running = false;
    std::chrono::steady_clock::time_point start;
    int64_t lastRead = -1; // sequence of the last frame the program read
    int64_t made = -1;     // sequence of the frame in `jpeg`
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> jpeg;
    // What making the frames cost, told when live view stops: a body's own work, which the
    // program's CPU figures must not be charged with.
    int64_t framesMade = 0;
    int64_t makingCpuNs = 0;
};

struct State : module::ObjectBook {
    Config config;
    std::set<uint32_t> stalled; // items whose transfer has stalled once
    bool open = false;
    bool cameraPresent = true;
    std::vector<Item> card;
    uint32_t nextItemId = kFirstItemId;
    size_t nextPicture = 0;
    std::map<uint32_t, EnumSetting> enums;
    std::map<uint32_t, RangeSetting> ranges;
    std::map<uint32_t, uint32_t> unsignedValues;
    uint32_t enumRestartsLeft = 0;
    uint32_t piecesDelivered = 0; // across transfers, for the removal fault
    std::chrono::steady_clock::time_point lastAutoShot;
    std::string resources;
    LiveView liveView;
};

// Freed with the library when the module is unloaded.
extern std::unique_ptr<State> g_state;

module::Object* find(uint64_t handle);
Item* findItem(uint32_t id);
// The ids of an object's children as the camera knows them now.
std::vector<uint32_t> childIds(const module::Object& o);
void sendEvent(uint64_t handle, uint32_t event, uint64_t data);
void complete(uint64_t pendingId, int32_t result);

// Capabilities.cpp
const std::vector<module::CapDef>& capsFor(uint32_t kind);
// The settings as a camera comes out of its box.
void resetSettings(State& s);
uint32_t capCount(const module::Object& o);
int32_t getCapInfo(const module::Object& o, uint32_t count, uint32_t dataType, uint64_t data);
int32_t capGet(const module::Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
int32_t capGetArray(const module::Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
int32_t capSet(module::Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
int32_t capStart(const module::Object& o, uint64_t handle, uint32_t cap, uint64_t pendingId,
                 bool* completesLater);

// LiveView.cpp
// Sets LiveViewStatus: 1 starts live view (unless the configuration refuses it), 0 stops it.
int32_t setLiveViewStatus(uint32_t dataType, uint64_t data);
// Reads the newest frame into the program's tagNkMAIDLiveViewFrame.
int32_t readLiveViewFrame(uint32_t dataType, uint64_t data);

// LiveViewJpeg.cpp (not in builds without libjpeg)
// Encodes 8-bit RGB rows as a baseline JPEG; false when the library fails.
bool encodeJpeg(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
                std::vector<uint8_t>* out);

// Transfer.cpp
void addPictureToCard();
// A shot: a burst of frames, the first at once, each further one on the next pump.
void takeShot();
// The operator deletes a picture on the camera: it leaves the card, and the source tells the
// program before anything else happens.
void dropItem(uint64_t source, uint32_t id);
int32_t startAcquire(uint64_t handle, uint64_t pendingId);

} // namespace zarv::vcam
