// The PTP camera module: the module object, one source per camera libgphoto2 finds, an item per
// picture the camera announces and an image data object under each. Camera work runs on each
// camera's worker; the pump (command 0) runs what the workers hand back, so completions, events
// and data pieces reach the program on its own thread. Here: the objects and the pump;
// capabilities: Capabilities.cpp; the camera's events: CameraEvents.cpp; pictures: Downloads.cpp.

#include "ModuleState.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zarv::ptp {

std::unique_ptr<State> g_state;
Options g_options;

using namespace zarv::module;
using Clock = std::chrono::steady_clock;

namespace {

// A pump with nothing to hand over yet, while the program waits for a command, waits this
// long at most for the cameras' threads instead of making the program spin.
constexpr auto kPumpWait = std::chrono::milliseconds(10);

Layer& layer() {
    return g_state->options.layer ? *g_state->options.layer : libgphoto2Layer();
}

bool below(uint64_t handle, uint64_t ancestor) {
    for (const Object* o = find(handle); o; o = find(o->parent))
        if (o->parent == ancestor)
            return true;
    return false;
}

// Pump side: the camera has gone. The program hears it from the module; what waited below the
// source can no longer complete. Pictures not fetched stay remembered for the body's return.
void removeSource(uint32_t sourceId) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || it->second.gone)
        return;
    it->second.gone = true;
    it->second.items.clear();
    it->second.live->stop();
    std::fprintf(stderr, "ZarvPTP: %s on %s has gone\n", it->second.camera.model.c_str(),
                 it->second.camera.port.c_str());
    const uint64_t source = handleFor(kNkMAIDObjectType_Source, sourceId);
    const auto underSource = [source](uint64_t h) { return h == source || below(h, source); };
    if (source)
        cancelTransfers(underSource);
    sendEvent(handleFor(kNkMAIDObjectType_Module, 0), kNkMAIDEvent_RemoveChild, sourceId);
    if (source && g_state)
        g_state->cancelPending(underSource);
}

} // namespace

std::vector<uint32_t> childIds(const Object& o) {
    switch (o.kind) {
    case kNkMAIDObjectType_Module: {
        std::vector<uint32_t> ids;
        for (const auto& [id, s] : g_state->sources)
            if (!s.gone)
                ids.push_back(id);
        return ids;
    }
    case kNkMAIDObjectType_Source: {
        std::vector<uint32_t> ids;
        if (const Source* s = sourceOf(o))
            for (const Item& item : s->items)
                ids.push_back(item.id);
        return ids;
    }
    case kNkMAIDObjectType_Item: {
        const Source* s = sourceOf(o);
        if (s && std::any_of(s->items.begin(), s->items.end(),
                             [&o](const Item& item) { return item.id == o.id; }))
            return {kNkMAIDDataObjType_Image};
        return {};
    }
    default:
        return {};
    }
}

void detectCameras() {
    std::vector<FoundCamera> all;
    const int rc = layer().detect(&all);
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: cannot look for cameras: %s\n", resultText(rc).c_str());
        return;
    }
    std::vector<FoundCamera> found;
    for (const FoundCamera& c : all) {
        if (const char* why = passedOver(c, g_state->usbLocation)) {
            if (g_state->passedOver.insert(c.port).second)
                std::fprintf(stderr, "ZarvPTP: passing over %s on %s: %s\n", c.model.c_str(),
                             c.port.c_str(), why);
        } else {
            found.push_back(c);
        }
    }
    // A camera unplugged before the program opened it simply leaves the list.
    std::erase_if(g_state->sources, [&found](const auto& entry) {
        const Source& s = entry.second;
        if (s.worker)
            return false;
        return std::none_of(found.begin(), found.end(),
                            [&s](const FoundCamera& c) { return c.port == s.camera.port; });
    });
    for (const FoundCamera& c : found) {
        const bool known =
            std::any_of(g_state->sources.begin(), g_state->sources.end(), [&c](const auto& entry) {
                return entry.second.camera.port == c.port && !entry.second.gone;
            });
        if (known)
            continue;
        const uint32_t id = g_state->sources.empty() ? 1 : g_state->sources.rbegin()->first + 1;
        Source s;
        s.id = id;
        s.camera = c;
        g_state->sources.emplace(id, std::move(s));
    }
}

namespace {

// Camera side, at opening: what the body had announced before and the program did not fetch,
// where it is still there. libgphoto2 stamps a picture it is told of with the computer's time
// and one it lists with the body's, so across connections only the path and size tell.
std::vector<Item> stillThere(Camera& camera, std::vector<Item> remembered) {
    std::vector<Item> out;
    for (Item& item : remembered) {
        FileInfo info;
        if (!item.bytes && (camera.fileInfo(item.file, &info) < kGpOk || !info.hasSize ||
                            info.size != item.size)) {
            std::fprintf(stderr,
                         "ZarvPTP: %s, announced before and not fetched, is no longer on the "
                         "camera\n",
                         item.path().c_str());
            continue;
        }
        if (!item.bytes)
            item.mtime = info.mtime;
        out.push_back(std::move(item));
    }
    return out;
}

int32_t openSource(Source& s) {
    const uint32_t sourceId = s.id;
    auto worker =
        std::make_unique<Worker>(layer(), s.camera, g_state->options.pollMs, g_state->doorbell);
    worker->setOnGone([sourceId] { removeSource(sourceId); });
    std::vector<Item> onCard;
    Settings settings;
    std::string serial;
    const bool listCard = g_state->options.listCard;
    const std::string model = s.camera.model;
    std::vector<Item> waiting;
    auto body = std::make_shared<Body>();
    const int rc = worker->start(
        [&](Camera& camera) {
            settings = readCameraSettings(camera);
            serial = camera.serialNumber();
            waiting = stillThere(camera, unfetched().take(model + "#" + serial));
            if (listCard)
                listFolder(camera, "/", &onCard);
        },
        [sourceId, body](Worker& w, Camera& camera, const CameraEvent& e) {
            onCameraEvent(sourceId, w, camera, e, body.get());
        });
    if (rc == kGpUsbClaim) {
        // The program names the holder and can ask the automounter to let go.
        std::fprintf(stderr,
                     "ZarvPTP: cannot claim %s on %s: another program holds the camera "
                     "(often the desktop's automounter); unmount the camera in the file "
                     "manager and plug it in again\n",
                     s.camera.model.c_str(), s.camera.port.c_str());
        return kNkMAIDResult_DeviceHeld;
    }
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: cannot open %s on %s: %s\n", s.camera.model.c_str(),
                     s.camera.port.c_str(), resultText(rc).c_str());
        return kNkMAIDResult_UnexpectedError;
    }
    s.body = model + "#" + serial;
    s.settings = std::move(settings);
    s.items.clear();
    for (Item& item : waiting) {
        item.id = s.nextItemId++;
        s.items.push_back(item);
        unfetched().add(s.body, item);
    }
    for (Item& item : onCard) {
        if (std::any_of(s.items.begin(), s.items.end(),
                        [&item](const Item& known) { return known.samePicture(item); }))
            continue;
        item.id = s.nextItemId++;
        s.items.push_back(item);
    }
    s.onCamera = std::move(body);
    s.worker = std::move(worker);
    s.live = std::make_shared<LiveFeed>();
    s.liveWarnings = 0;
    return kNkMAIDResult_NoError;
}

int32_t openObject(tagNkMAIDObject* parentRecord, uint32_t id, uint32_t dataType, uint64_t data) {
    auto* record = wordToPtr<tagNkMAIDObject>(data);
    if (dataType != kNkMAIDDataType_ObjectPtr || !record)
        return kNkMAIDResult_UnexpectedError;
    Object o;
    o.record = record;
    o.id = id;
    if (!parentRecord) {
        if (g_state->open)
            return kNkMAIDResult_UnexpectedError; // one module object at a time
        g_state->options = g_options;
        g_state->open = true;
        g_state->sources.clear();
        g_state->usbLocation = 0;
        g_state->passedOver.clear();
        detectCameras();
        o.kind = kNkMAIDObjectType_Module;
    } else {
        const uint64_t parentHandle = ObjectBook::handleOf(parentRecord);
        const Object* parent = find(parentHandle);
        if (!parent)
            return kNkMAIDResult_UnexpectedError;
        const std::vector<uint32_t> ids = childIds(*parent);
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            return kNkMAIDResult_UnexpectedError;
        if (handleFor(parent->kind + 1, id) && parent->kind == kNkMAIDObjectType_Module)
            return kNkMAIDResult_UnexpectedError; // a camera has one session
        o.parent = parentHandle;
        o.kind = parent->kind + 1;
        if (o.kind == kNkMAIDObjectType_Source) {
            const int32_t rc = openSource(g_state->sources.at(id));
            if (rc != kNkMAIDResult_NoError)
                return rc;
        }
    }
    g_state->add(o);
    return kNkMAIDResult_NoError;
}

int32_t closeObject(uint64_t handle) {
    Object* o = find(handle);
    if (!o)
        return kNkMAIDResult_UnexpectedError;
    for (uint64_t h : g_state->childrenOf(handle))
        closeObject(h);
    cancelTransfers([handle](uint64_t h) { return h == handle; });
    g_state->cancelPending([handle](uint64_t h) { return h == handle; });
    o = find(handle);
    if (!o)
        return kNkMAIDResult_NoError;
    const uint32_t kind = o->kind, id = o->id;
    g_state->objects.erase(handle);
    if (kind == kNkMAIDObjectType_Source) {
        auto it = g_state->sources.find(id);
        if (it != g_state->sources.end()) {
            // Ends the session, which hands the body back to its own controls.
            stopLiveView(it->second);
            it->second.worker.reset();
            if (it->second.gone)
                g_state->sources.erase(it);
        }
    }
    if (kind == kNkMAIDObjectType_Module) {
        g_state->open = false;
        g_state->actions.clear();
        cancelTransfers([](uint64_t) { return true; });
        while (!g_state->pending.empty())
            complete(g_state->pending.begin()->first, kNkMAIDResult_UnexpectedError);
        g_state->objects.clear();
        g_state->sources.clear(); // stops every camera's worker
    }
    return kNkMAIDResult_NoError;
}

// Runs what the cameras' threads handed over; whether there was anything.
bool runResults() {
    std::vector<uint32_t> ids;
    for (const auto& [id, s] : g_state->sources)
        if (s.worker)
            ids.push_back(id);
    bool did = false;
    for (uint32_t id : ids) {
        auto it = g_state ? g_state->sources.find(id) : decltype(g_state->sources.end()){};
        if (!g_state || it == g_state->sources.end() || !it->second.worker)
            continue;
        for (auto& result : it->second.worker->collect()) {
            did = true;
            result();
            if (!g_state || !g_state->open)
                return did;
            // A closure may have closed the source.
            auto again = g_state->sources.find(id);
            if (again == g_state->sources.end() || !again->second.worker)
                break;
        }
    }
    return did;
}

int32_t pump() {
    const uint64_t rung = g_state->doorbell->rings();
    bool did = runResults();
    if (!g_state || !g_state->open)
        return kNkMAIDResult_NoError;
    did = pumpTransfers() || did;
    if (!g_state || !g_state->open)
        return kNkMAIDResult_NoError;
    if (g_state->runNextAction()) {
        did = true;
        if (!g_state || !g_state->open)
            return kNkMAIDResult_NoError;
    }
    if (!g_state->actions.empty())
        return kNkMAIDResult_Pending;
    for (const auto& [id, s] : g_state->sources)
        if (s.worker && s.worker->hasResults())
            return kNkMAIDResult_Pending;
    if (g_state->pending.empty())
        return kNkMAIDResult_NoError;
    // The program waits for a command that the cameras' threads are working on: rather than
    // have it spin, wait for them a little.
    if (!did)
        g_state->doorbell->waitAfter(rung, kPumpWait);
    return kNkMAIDResult_Pending;
}

// The program asks for the module's children to see which cameras there are now.
void beforeEnumeration(const Object& o) {
    if (o.kind == kNkMAIDObjectType_Module)
        detectCameras();
}

const Hooks kHooks = {
    .open = openObject,
    .close = closeObject,
    .pump = pump,
    .childIds = childIds,
    .beforeEnumeration = beforeEnumeration,
    .capCount = capCount,
    .capInfo = getCapInfo,
    .capGet = capGet,
    .capGetArray = capGetArray,
    .capSet = capSet,
    .capStart = capStart,
};

} // namespace

Object* find(uint64_t handle) {
    return g_state->find(handle);
}

Source* sourceOf(const Object& o) {
    const Object* at = &o;
    while (at && at->kind > kNkMAIDObjectType_Source)
        at = find(at->parent);
    if (!at || at->kind != kNkMAIDObjectType_Source)
        return nullptr;
    auto it = g_state->sources.find(at->id);
    return it == g_state->sources.end() ? nullptr : &it->second;
}

uint64_t handleFor(uint32_t kind, uint32_t id) {
    for (const auto& [h, o] : g_state->objects)
        if (o.kind == kind && o.id == id)
            return h;
    return 0;
}

void sendEvent(uint64_t handle, uint32_t event, uint64_t data) {
    g_state->sendEvent(handle, event, data);
}

void complete(uint64_t pendingId, int32_t result) {
    g_state->complete(pendingId, result);
}

int patient(const std::function<int()>& call) {
    return patiently(g_options.busyRetries, call);
}

void setOptions(const Options& options) {
    g_options = options;
}

int32_t entry(tagNkMAIDObject* object, uint32_t command, uint32_t param, uint32_t dataType,
              uint64_t data, LPMAIDCompletionProc complete, uint64_t ref) {
    try {
        if (!g_state)
            g_state = std::make_unique<State>();
        return module::dispatch(*g_state, kHooks, object, command, param, dataType, data, complete,
                                ref);
    } catch (...) {
        return kNkMAIDResult_UnexpectedError;
    }
}

} // namespace zarv::ptp