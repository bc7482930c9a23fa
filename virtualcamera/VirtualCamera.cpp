// The virtual camera: a MAID module of our own. One module object, one camera (source) under
// it, pictures (items) on its card, and one or two data objects per picture. Every asynchronous
// command completes on a later pump; events and data pieces are delivered from pumps too. All
// calls come from one thread; callbacks may call back into the entry point, so no reference into
// the state is held across a callback.

#include "CameraState.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>

using namespace zarv;
using namespace zarv::module;

namespace zarv::vcam {

// Freed with the library when the module is unloaded.
std::unique_ptr<State> g_state;

namespace {

std::vector<uint32_t> dataIdsOf(const Item& item) {
    std::vector<uint32_t> ids;
    if (!g_state->config.noImageData.count(item.id))
        ids.push_back(kNkMAIDDataObjType_Image);
    if (g_state->config.thumbnails)
        ids.push_back(kNkMAIDDataObjType_Thumbnail);
    return ids;
}

} // namespace

std::vector<uint32_t> childIds(const Object& o) {
    switch (o.kind) {
    case kNkMAIDObjectType_Module:
        return g_state->cameraPresent ? std::vector<uint32_t>{g_state->config.sourceId}
                                      : std::vector<uint32_t>{};
    case kNkMAIDObjectType_Source: {
        std::vector<uint32_t> ids;
        for (const Item& item : g_state->card)
            ids.push_back(item.id);
        return ids;
    }
    case kNkMAIDObjectType_Item:
        if (const Item* item = findItem(o.id))
            return dataIdsOf(*item);
        return {};
    default:
        return {};
    }
}

Object* find(uint64_t handle) {
    return g_state->find(handle);
}

Item* findItem(uint32_t id) {
    for (Item& item : g_state->card)
        if (item.id == id)
            return &item;
    return nullptr;
}

void sendEvent(uint64_t handle, uint32_t event, uint64_t data) {
    g_state->sendEvent(handle, event, data);
}

void complete(uint64_t pendingId, int32_t result) {
    g_state->complete(pendingId, result);
}

namespace {

// The absent-camera build answers like a module whose camera is not plugged in: it opens and
// lists its capabilities, but never has a source.
#ifdef ZARV_VCAM_NO_CAMERA
constexpr bool kCameraAttached = false;
#else
constexpr bool kCameraAttached = true;
#endif

std::string bundleResources() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&capsFor), &info) == 0 || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash) + "/../Resources";
}

uint64_t handleOf(const tagNkMAIDObject* record) {
    return ObjectBook::handleOf(record);
}

// Completes every command still waiting on an object, at once, while its record is valid.
void cancelPendingOn(uint64_t handle) {
    g_state->cancelPending([handle](uint64_t object) { return object == handle; });
}

// --- Commands --------------------------------------------------------------------------------

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
        g_state->config = loadConfig();
        g_state->open = true;
        g_state->cameraPresent = kCameraAttached;
        g_state->card.clear();
        g_state->nextItemId = kFirstItemId;
        g_state->nextPicture = 0;
        g_state->enumRestartsLeft = g_state->config.enumRestarts;
        g_state->piecesDelivered = 0;
        g_state->lastAutoShot = std::chrono::steady_clock::now();
        g_state->resources = bundleResources();
        resetSettings(*g_state);
        for (uint32_t i = 0; i < g_state->config.pictures; ++i)
            addPictureToCard();
        o.kind = kNkMAIDObjectType_Module;
    } else {
        const uint64_t parentHandle = handleOf(parentRecord);
        const Object* parent = find(parentHandle);
        if (!parent)
            return kNkMAIDResult_UnexpectedError;
        if (g_state->config.refuseOpen.count(id))
            return kNkMAIDResult_UnexpectedError;
        if (parent->kind == kNkMAIDObjectType_Item &&
            g_state->config.refuseDataOpen.count(parent->id))
            return kNkMAIDResult_UnexpectedError;
        bool known = false;
        for (uint32_t child : childIds(*parent))
            known = known || child == id;
        if (!known)
            return kNkMAIDResult_UnexpectedError;
        o.parent = parentHandle;
        o.kind = parent->kind + 1;
    }
    g_state->add(o);
    return kNkMAIDResult_NoError;
}

int32_t closeObject(uint64_t handle) {
    Object* o = find(handle);
    if (!o)
        return kNkMAIDResult_UnexpectedError;
    // Children the program left open go with their parent.
    for (uint64_t h : g_state->childrenOf(handle))
        closeObject(h);
    cancelPendingOn(handle);
    const bool module = find(handle) && find(handle)->kind == kNkMAIDObjectType_Module;
    // Live view ends with the program's hold on the camera.
    if (find(handle) && find(handle)->kind == kNkMAIDObjectType_Source)
        setLiveViewStatus(kNkMAIDDataType_Unsigned, 0);
    g_state->objects.erase(handle);
    if (module) {
        g_state->open = false;
        g_state->actions.clear();
        // Nothing may outlive the module: complete whatever is left.
        while (!g_state->pending.empty())
            complete(g_state->pending.begin()->first, kNkMAIDResult_UnexpectedError);
        g_state->objects.clear();
    }
    return kNkMAIDResult_NoError;
}

int32_t pump() {
    if (g_state->open && g_state->config.autoShotInterval > 0 && g_state->cameraPresent) {
        const auto now = std::chrono::steady_clock::now();
        if (std::chrono::duration<double>(now - g_state->lastAutoShot).count() >=
            g_state->config.autoShotInterval) {
            g_state->lastAutoShot = now;
            takeShot();
        }
    }
    if (!g_state->runNextAction())
        return kNkMAIDResult_NoError;
    return g_state->actions.empty() ? kNkMAIDResult_NoError : kNkMAIDResult_Pending;
}

const Hooks kHooks = {
    .open = openObject,
    .close = closeObject,
    .pump = pump,
    .childIds = childIds,
    .beforeEnumeration = nullptr,
    .capCount = capCount,
    .capInfo = getCapInfo,
    .capGet = capGet,
    .capGetArray = capGetArray,
    .capSet = capSet,
    .capStart = capStart,
};

} // namespace

} // namespace zarv::vcam

using namespace zarv::vcam;

extern "C" __attribute__((visibility("default"))) int32_t
MAIDEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam, uint32_t ulDataType,
               uint64_t data, LPMAIDCompletionProc pfnComplete, uint64_t refComplete) {
    try {
        if (!g_state)
            g_state = std::make_unique<State>();
        return module::dispatch(*g_state, kHooks, pObject, ulCommand, ulParam, ulDataType, data,
                                pfnComplete, refComplete);
    } catch (...) {
        return kNkMAIDResult_UnexpectedError;
    }
}
