// The module's state, shared by its parts (Module.cpp: objects and commands; Downloads.cpp:
// pictures from the camera to the program). Program thread only: the cameras' threads reach it
// only through the closures they deliver to the pump. Callbacks may call back into the entry
// point, so no reference into the state is held across a callback.

#pragma once

#include "Download.h"
#include "Module.h"
#include "Pictures.h"
#include "Settings.h"
#include "Worker.h"

#include "sdk/ModuleObjects.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace zarv::ptp {

struct Body;

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
