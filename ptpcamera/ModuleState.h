// The module's state, shared by its parts (Module.cpp: objects and the pump; Capabilities.cpp:
// capabilities; CameraEvents.cpp: the camera's thread; Downloads.cpp: pictures from the camera to
// the program). Program thread only: the cameras' threads reach it
// only through the closures they deliver to the pump. Callbacks may call back into the entry
// point, so no reference into the state is held across a callback.

#pragma once

#include "Download.h"
#include "LiveView.h"
#include "Module.h"
#include "Pictures.h"
#include "Settings.h"
#include "Worker.h"

#include "sdk/ModuleObjects.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace zarv::ptp {

// What the camera's thread keeps of the body between its calls (that thread only).
struct Body {
    bool settingsDirty = false;
    std::chrono::steady_clock::time_point lastRead{};
    // Since a capture from the computer the body is in PC mode, its own controls locked.
    bool handBack = false;
    bool pictureSince = false;
    std::chrono::steady_clock::time_point capturedAt{};
    // Live view runs: the body stays in PC mode until it stops.
    bool liveView = false;
    bool liveFailing = false; // the last live-view fetch failed, and was logged
};

struct Source {
    uint32_t id = 0;
    FoundCamera camera;
    std::string body;               // model and serial number: the body across connections
    std::unique_ptr<Worker> worker; // while the source is open
    std::vector<Item> items;
    uint32_t nextItemId = 0x1001;
    Settings settings;              // the camera's last read, refreshed by the worker
    std::shared_ptr<Body> onCamera; // what the camera's thread keeps of the body (it alone)
    bool cardFull = false;          // the body said so, and no picture reached the card since
    bool gone = false;
    std::shared_ptr<LiveFeed> live = std::make_shared<LiveFeed>();
    uint32_t liveWarnings = 0; // why live view last refused to start (LiveViewWarnings bits)
};

// An acquire under way.
struct Transfer {
    uint64_t data = 0;    // handle of the data object
    uint64_t pending = 0; // the acquire's pending id
    uint32_t sourceId = 0;
    Item item;
    uint64_t delivered = 0;
    std::shared_ptr<Download> download; // pieces read by the camera's thread; none for bytes held
};

struct State : module::ObjectBook {
    Options options;
    bool open = false;
    std::map<uint32_t, Source> sources;     // by id
    std::map<uint64_t, Transfer> transfers; // by pending id
    std::shared_ptr<Doorbell> doorbell = std::make_shared<Doorbell>();
    uint32_t asyncRate = 10;
    uint32_t moduleMode = 0;
    uint32_t usbLocation = 0;         // the camera the program asked for; 0 any
    std::set<std::string> passedOver; // ports already said to be passed over
};

extern std::unique_ptr<State> g_state;
extern Options g_options;

module::Object* find(uint64_t handle);
// The source an object belongs to, if any.
Source* sourceOf(const module::Object& o);
uint64_t handleFor(uint32_t kind, uint32_t id);
void sendEvent(uint64_t handle, uint32_t event, uint64_t data);
void complete(uint64_t pendingId, int32_t result);
int patient(const std::function<int()>& call);

// Module.cpp
// The ids of an object's children: the cameras, a camera's pictures, a picture's data object.
std::vector<uint32_t> childIds(const module::Object& o);
// Looks for cameras again: new ones become sources, unopened ones no longer there are dropped.
void detectCameras();

// Capabilities.cpp: the module's capability hooks.
uint32_t capCount(const module::Object& o);
int32_t getCapInfo(const module::Object& o, uint32_t count, uint32_t dataType, uint64_t data);
int32_t capGet(const module::Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
int32_t capGetArray(const module::Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
int32_t capSet(module::Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
int32_t capStart(const module::Object& o, uint64_t handle, uint32_t cap, uint64_t pendingId,
                 bool* completesLater);

// LiveView.cpp: live view of a source, on the program's thread; they block while the camera's
// thread starts or stops it.
int32_t startLiveView(Source& s);
int32_t stopLiveView(Source& s);
int32_t readLiveViewFrame(Source& s, uint32_t dataType, uint64_t data);

// CameraEvents.cpp: on the camera's thread.
// Takes the body out of PC mode, back to its own controls.
void handBackControls(Worker& worker, Camera& camera);
// The camera's whole configuration as settings; none when it cannot be read.
Settings readCameraSettings(Camera& camera);
// One widget read on its own, as the setting it maps to (none when it maps to none).
Settings readWidget(Camera& camera, const std::string& name);
// The files of a folder and those below it.
void listFolder(Camera& camera, const std::string& folder, std::vector<Item>* out);
// One event from the camera, then what is due between events.
void onCameraEvent(uint32_t sourceId, Worker& worker, Camera& camera, const CameraEvent& e,
                   Body* body);

// Downloads.cpp
// Camera side, for each picture the camera announces: sized, or fetched whole at once where
// the camera cannot size it or holds it in RAM only; then handed to the pump as an item.
void onFileAdded(uint32_t sourceId, Worker& worker, Camera& camera, const FilePath& file);
// Pump side: a picture becomes an item unless it is known already; the program hears of it.
void addItem(uint32_t sourceId, Item item);
int32_t startAcquire(const module::Object& dataObj, uint64_t handle, uint64_t pendingId);
// Hands the program the next piece of each transfer; whether anything was done.
bool pumpTransfers();
// Stops the transfers `on` accepts (by data object handle); their commands complete failed.
void cancelTransfers(const std::function<bool(uint64_t)>& on);

} // namespace zarv::ptp
