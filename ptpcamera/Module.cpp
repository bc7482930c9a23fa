// The PTP camera module: the module object, one source per camera libgphoto2 finds, an item per
// picture the camera announces and an image data object under each. Camera work runs on each
// camera's worker; the pump (command 0) runs what the workers hand back, so completions, events
// and data pieces reach the program on its own thread, one piece at a time. Callbacks may call
// back into the entry point, so no reference into the state is held across a callback.

#include "Module.h"

#include "Layer.h"
#include "Settings.h"
#include "Worker.h"

#include "sdk/ModuleObjects.h"

#include <gphoto2/gphoto2-widget.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zarv::ptp {
namespace {

using namespace zarv::module;

constexpr uint32_t kFirstItemId = 0x1001;
constexpr uint16_t kTextBytes = 256;

const std::vector<CapDef>& fixedCaps(uint32_t kind) {
    static const std::vector<CapDef> source = {
        {kNkMAIDCapability_AsyncRate, kNkMAIDCapType_Unsigned, GS, "Async Rate"},
        {kNkMAIDCapability_ProgressProc, kNkMAIDCapType_Callback, S, "Progress Proc"},
        {kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, S, "Event Proc"},
        {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, G, "Children"},
        {kNkMAIDCapability_Name, kNkMAIDCapType_Unsigned, G, "Name"},
        {kNkMAIDCapability_ModuleType, kNkMAIDCapType_Unsigned, G, "Module Type"},
        {kNkMAIDCapability_Version, kNkMAIDCapType_Unsigned, G, "Version"},
        {kNkMAIDCapability_Capture, kNkMAIDCapType_Process, St, "Capture"},
        {kNkMAIDCapability_CameraType, kNkMAIDCapType_Unsigned, G, "Camera Type"},
    };
    return kind == kNkMAIDObjectType_Source ? source : standardCaps(kind);
}

struct Item {
    uint32_t id = 0;
    FilePath file;
    uint64_t size = 0; // as the camera announced it
};

struct Source {
    uint32_t id = 0;
    FoundCamera camera;
    std::unique_ptr<Worker> worker; // while the source is open
    std::vector<Item> items;
    uint32_t nextItemId = kFirstItemId;
    Settings settings; // the camera's last read, refreshed by the worker
    bool gone = false;
};

struct Transfer {
    uint64_t data = 0;    // handle of the data object
    uint64_t pending = 0; // the acquire's pending id
    Item item;
    uint64_t offset = 0;
    std::unique_ptr<char[]> buffer; // the one piece buffer, filled by the worker
    uint64_t bufferSize = 0;
};

struct State : ObjectBook {
    Options options;
    bool open = false;
    std::map<uint32_t, Source> sources; // by id
    std::deque<std::function<void()>> actions;
    uint32_t asyncRate = 10;
    uint32_t moduleMode = 0;
};

Options g_options;
std::unique_ptr<State> g_state;

Layer& layer() {
    return g_state->options.layer ? *g_state->options.layer : libgphoto2Layer();
}

Object* find(uint64_t handle) {
    return g_state->find(handle);
}

uint64_t handleOf(const tagNkMAIDObject* record) {
    return ObjectBook::handleOf(record);
}

// The source an object belongs to, if any.
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

Item* findItem(Source& s, uint32_t id) {
    for (Item& item : s.items)
        if (item.id == id)
            return &item;
    return nullptr;
}

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
        Source* s = sourceOf(o);
        if (s && findItem(*s, o.id))
            return {kNkMAIDDataObjType_Image};
        return {};
    }
    default:
        return {};
    }
}

// --- Callbacks into the program --------------------------------------------------------------

void sendEvent(uint64_t handle, uint32_t event, uint64_t data) {
    g_state->sendEvent(handle, event, data);
}

void progress(uint64_t handle, uint32_t done, uint32_t total) {
    const Object* o = find(handle);
    if (!o || !o->procs[kNkMAIDCapability_ProgressProc].pProc)
        return;
    const tagNkMAIDCallback p = o->procs[kNkMAIDCapability_ProgressProc];
    reinterpret_cast<LPMAIDProgressProc>(wordToPtr<void>(p.pProc))(
        kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, p.refProc, done, total);
}

void complete(uint64_t pendingId, int32_t result) {
    g_state->complete(pendingId, result);
}

// Completes every command waiting on the given objects, while their records are valid.
void cancelPending(const std::function<bool(uint64_t)>& on) {
    g_state->cancelPending(on);
}

bool below(uint64_t handle, uint64_t ancestor) {
    for (const Object* o = find(handle); o; o = find(o->parent))
        if (o->parent == ancestor)
            return true;
    return false;
}

// --- Camera work -----------------------------------------------------------------------------

// Repeats a call while the camera says it is busy.
int patient(const std::function<int()>& call) {
    int rc = call();
    for (int i = 0; rc == kGpCameraBusy && i < g_options.busyRetries; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rc = call();
    }
    return rc;
}

Settings readCameraSettings(Camera& camera) {
    CameraWidget* root = nullptr;
    if (patient([&] { return camera.getConfig(&root); }) < kGpOk || !root)
        return {};
    Settings s = readSettings(root);
    gp_widget_free(root);
    return s;
}

// Worker side: the files of a folder and those below it.
void listFolder(Camera& camera, const std::string& folder, std::vector<Item>* out) {
    std::vector<std::string> files, folders;
    if (camera.list(folder, &files, &folders) < kGpOk)
        return;
    const std::string prefix = folder == "/" ? "/" : folder + "/";
    for (const std::string& name : files) {
        Item item;
        item.file = {folder, name};
        if (camera.fileSize(item.file, &item.size) >= kGpOk)
            out->push_back(item);
    }
    for (const std::string& sub : folders)
        listFolder(camera, prefix + sub, out);
}

// Pump side: a picture the camera announced becomes an item, and the program hears of it.
void addItem(uint32_t sourceId, Item item) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end())
        return;
    Source& s = it->second;
    for (const Item& known : s.items)
        if (known.file == item.file)
            return;
    item.id = s.nextItemId++;
    s.items.push_back(item);
    sendEvent(handleFor(kNkMAIDObjectType_Source, sourceId), kNkMAIDEvent_AddChild, item.id);
}

// Pump side: the camera has gone. The program hears it from the module; what waited below the
// source can no longer complete.
void removeSource(uint32_t sourceId) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || it->second.gone)
        return;
    it->second.gone = true;
    it->second.items.clear();
    std::fprintf(stderr, "ZarvPTP: %s on %s has gone\n", it->second.camera.model.c_str(),
                 it->second.camera.port.c_str());
    const uint64_t source = handleFor(kNkMAIDObjectType_Source, sourceId);
    sendEvent(handleFor(kNkMAIDObjectType_Module, 0), kNkMAIDEvent_RemoveChild, sourceId);
    if (source)
        cancelPending([source](uint64_t h) { return h == source || below(h, source); });
}

// Worker side: what the camera reports while no job runs.
void onCameraEvent(uint32_t sourceId, Worker& worker, Camera& camera, const CameraEvent& e) {
    if (e.kind == CameraEvent::FileAdded) {
        Item item;
        item.file = e.file;
        const int rc = patient([&] { return camera.fileSize(e.file, &item.size); });
        if (worker.gone(rc))
            return;
        if (rc < kGpOk) {
            std::fprintf(stderr, "ZarvPTP: cannot read the size of %s/%s: %s\n",
                         e.file.folder.c_str(), e.file.name.c_str(), resultText(rc).c_str());
            return;
        }
        worker.deliver([sourceId, item] { addItem(sourceId, item); });
    }
}

// Worker side: settings may have changed on the body. Bodies report property changes in
// bursts, so the tree is read again at most twice a second, once they have settled.
void onSettingsEvent(uint32_t sourceId, Worker& worker, Camera& camera, const CameraEvent& e,
                     bool* dirty, std::chrono::steady_clock::time_point* lastRead) {
    if (e.kind == CameraEvent::Other)
        *dirty = true;
    const auto now = std::chrono::steady_clock::now();
    if (!*dirty || now - *lastRead < std::chrono::milliseconds(500))
        return;
    *dirty = false;
    *lastRead = now;
    {
        Settings read = readCameraSettings(camera);
        worker.deliver([sourceId, read = std::move(read)]() mutable {
            auto it = g_state->sources.find(sourceId);
            if (it != g_state->sources.end() && !read.empty())
                it->second.settings = std::move(read);
        });
    }
}

// --- Transfers -------------------------------------------------------------------------------

void readPiece(Worker& worker, std::shared_ptr<Transfer> t);

// Pump side: one piece read by the worker goes to the program.
void deliverPiece(Worker* worker, std::shared_ptr<Transfer> t, int rc, uint64_t got) {
    if (!g_state->pending.count(t->pending))
        return; // cancelled
    const Object* o = find(t->data);
    if (!o) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const uint64_t size = t->item.size;
    const std::string path = t->item.file.folder + "/" + t->item.file.name;
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: download of %s failed at byte %llu: %s\n", path.c_str(),
                     static_cast<unsigned long long>(t->offset), resultText(rc).c_str());
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    // The library can report a download cut short as success: only the announced size counts.
    if (got == 0 || got > size - t->offset) {
        std::fprintf(stderr,
                     "ZarvPTP: download of %s stopped at %llu of the %llu bytes the camera "
                     "announced; take the picture again or copy it from the card\n",
                     path.c_str(), static_cast<unsigned long long>(t->offset + (got ? got : 0)),
                     static_cast<unsigned long long>(size));
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const tagNkMAIDCallback dataProc = o->procs[kNkMAIDCapability_DataProc];
    if (!dataProc.pProc) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    tagNkMAIDFileInfo info{};
    info.ulType = kNkMAIDDataObjType_Image | kNkMAIDDataObjType_File;
    info.ulFileDataType = fileDataTypeOf(t->item.file.name);
    info.ulTotalLength = uint32_t(size);
    info.ulStart = uint32_t(t->offset);
    info.ulLength = uint32_t(got);
    info.fDiskFile = 0;
    info.fRemoveObject = 0;
    const int32_t result = reinterpret_cast<LPMAIDDataProc>(wordToPtr<void>(dataProc.pProc))(
        dataProc.refProc, &info, t->buffer.get());
    if (!g_state || !g_state->pending.count(t->pending))
        return; // the program closed the object from inside the callback
    t->offset += got;
    progress(t->data, uint32_t(t->offset), uint32_t(size));
    if (!g_state->pending.count(t->pending))
        return;
    if (result != kNkMAIDResult_NoError) {
        complete(t->pending, result);
        return;
    }
    if (t->offset < size)
        readPiece(*worker, t);
    else
        complete(t->pending, kNkMAIDResult_NoError);
}

void readPiece(Worker& worker, std::shared_ptr<Transfer> t) {
    Worker* w = &worker;
    worker.post([w, t](Camera& camera) {
        uint64_t got = std::min(t->bufferSize, t->item.size - t->offset);
        const int rc =
            patient([&] { return camera.read(t->item.file, t->offset, t->buffer.get(), &got); });
        w->gone(rc);
        w->deliver([w, t, rc, got] { deliverPiece(w, t, rc, got); });
    });
}

int32_t startAcquire(const Object& dataObj, uint64_t handle, uint64_t pendingId) {
    Source* s = sourceOf(dataObj);
    const Object* itemObj = find(dataObj.parent);
    const Item* item = s && itemObj ? findItem(*s, itemObj->id) : nullptr;
    if (!item || !s->worker || s->gone)
        return kNkMAIDResult_UnexpectedError;
    if (!dataObj.procs[kNkMAIDCapability_DataProc].pProc)
        return kNkMAIDResult_UnexpectedError;
    if (item->size == 0 || item->size > UINT32_MAX) {
        std::fprintf(stderr, "ZarvPTP: %s/%s announces %llu bytes, which cannot be delivered\n",
                     item->file.folder.c_str(), item->file.name.c_str(),
                     static_cast<unsigned long long>(item->size));
        return kNkMAIDResult_UnexpectedError;
    }
    auto t = std::make_shared<Transfer>();
    t->data = handle;
    t->pending = pendingId;
    t->item = *item;
    t->bufferSize = std::min<uint64_t>(g_state->options.pieceSize, item->size);
    t->buffer.reset(new char[t->bufferSize]);
    progress(handle, 0, uint32_t(item->size));
    readPiece(*s->worker, t);
    return kNkMAIDResult_NoError;
}

// --- Commands --------------------------------------------------------------------------------

void detectCameras() {
    std::vector<FoundCamera> found;
    const int rc = layer().detect(&found);
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: cannot look for cameras: %s\n", resultText(rc).c_str());
        return;
    }
    // A camera unplugged before the program opened it simply leaves the list.
    std::erase_if(g_state->sources, [&found](const auto& entry) {
        const Source& s = entry.second;
        if (s.worker)
            return false;
        for (const FoundCamera& c : found)
            if (c.port == s.camera.port)
                return false;
        return true;
    });
    for (const FoundCamera& c : found) {
        bool known = false;
        for (const auto& [id, s] : g_state->sources)
            known = known || (s.camera.port == c.port && !s.gone);
        if (known)
            continue;
        const uint32_t id = g_state->sources.empty() ? 1 : g_state->sources.rbegin()->first + 1;
        Source s;
        s.id = id;
        s.camera = c;
        g_state->sources.emplace(id, std::move(s));
    }
}

int32_t openSource(Source& s) {
    const uint32_t sourceId = s.id;
    auto worker = std::make_unique<Worker>(layer(), s.camera, g_state->options.pollMs);
    worker->setOnGone([sourceId] { removeSource(sourceId); });
    std::vector<Item> onCard;
    Settings settings;
    const bool listCard = g_state->options.listCard;
    const int rc = worker->start(
        [&](Camera& camera) {
            settings = readCameraSettings(camera);
            if (listCard)
                listFolder(camera, "/", &onCard);
        },
        [sourceId, dirty = false, lastRead = std::chrono::steady_clock::time_point()](
            Worker& w, Camera& camera, const CameraEvent& e) mutable {
            onCameraEvent(sourceId, w, camera, e);
            onSettingsEvent(sourceId, w, camera, e, &dirty, &lastRead);
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
    s.settings = std::move(settings);
    s.items.clear();
    for (Item& item : onCard) {
        item.id = s.nextItemId++;
        s.items.push_back(item);
    }
    s.worker = std::move(worker);
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
        detectCameras();
        o.kind = kNkMAIDObjectType_Module;
    } else {
        const uint64_t parentHandle = handleOf(parentRecord);
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
    const uint64_t handle = g_state->nextHandle++;
    record->ulType = o.kind;
    record->ulID = id;
    record->refModule = handle;
    g_state->objects[handle] = o;
    return kNkMAIDResult_NoError;
}

int32_t closeObject(uint64_t handle) {
    Object* o = find(handle);
    if (!o)
        return kNkMAIDResult_UnexpectedError;
    std::vector<uint64_t> children;
    for (const auto& [h, child] : g_state->objects)
        if (child.parent == handle)
            children.push_back(h);
    for (uint64_t h : children)
        closeObject(h);
    cancelPending([handle](uint64_t h) { return h == handle; });
    o = find(handle);
    if (!o)
        return kNkMAIDResult_NoError;
    const uint32_t kind = o->kind, id = o->id;
    g_state->objects.erase(handle);
    if (kind == kNkMAIDObjectType_Source) {
        auto it = g_state->sources.find(id);
        if (it != g_state->sources.end()) {
            // Ends the session, which hands the body back to its own controls.
            it->second.worker.reset();
            if (it->second.gone)
                g_state->sources.erase(it);
        }
    }
    if (kind == kNkMAIDObjectType_Module) {
        g_state->open = false;
        g_state->actions.clear();
        while (!g_state->pending.empty())
            complete(g_state->pending.begin()->first, kNkMAIDResult_UnexpectedError);
        g_state->objects.clear();
        g_state->sources.clear(); // stops every camera's worker
    }
    return kNkMAIDResult_NoError;
}

struct CapView {
    uint32_t id, type, ops;
    std::string description;
};

std::vector<CapView> capsOf(const Object& o) {
    std::vector<CapView> out;
    const Source* s = o.kind == kNkMAIDObjectType_Source ? sourceOf(o) : nullptr;
    for (const CapDef& d : fixedCaps(o.kind)) {
        std::string description = d.description;
        // The model's name travels as the description of its Name capability.
        if (d.id == kNkMAIDCapability_Name && s)
            description = s->camera.model;
        out.push_back({d.id, d.type, d.ops, description});
    }
    if (s)
        for (const auto& [cap, setting] : s->settings) {
            const uint32_t type = setting.kind == Setting::Range      ? kNkMAIDCapType_Range
                                  : setting.kind == Setting::Unsigned ? kNkMAIDCapType_Unsigned
                                                                      : kNkMAIDCapType_Enum;
            out.push_back({cap, type, setting.writable ? GS : G, "Camera setting"});
        }
    return out;
}

const Setting* settingOf(const Object& o, uint32_t cap) {
    const Source* s = o.kind == kNkMAIDObjectType_Source ? sourceOf(o) : nullptr;
    if (!s)
        return nullptr;
    auto it = s->settings.find(cap);
    return it == s->settings.end() ? nullptr : &it->second;
}

int32_t getCapInfo(const Object& o, uint32_t count, uint32_t dataType, uint64_t data) {
    auto* infos = wordToPtr<tagNkMAIDCapInfo>(data);
    const std::vector<CapView> caps = capsOf(o);
    if (dataType != kNkMAIDDataType_CapInfoPtr || !infos || count < caps.size())
        return kNkMAIDResult_UnexpectedError;
    for (size_t i = 0; i < caps.size(); ++i) {
        tagNkMAIDCapInfo& info = infos[i];
        std::memset(&info, 0, sizeof info);
        info.ulID = caps[i].id;
        info.ulType = caps[i].type;
        info.ulOperations = caps[i].ops;
        std::snprintf(info.szDescription, sizeof info.szDescription, "%s",
                      caps[i].description.c_str());
    }
    return kNkMAIDResult_NoError;
}

const CapView* findCap(const std::vector<CapView>& caps, uint32_t cap) {
    for (const CapView& c : caps)
        if (c.id == cap)
            return &c;
    return nullptr;
}

void fillEnum(tagNkMAIDEnum* e, uint32_t type, uint32_t elements, uint32_t current,
              uint16_t bytes) {
    e->ulType = type;
    e->ulElements = elements;
    e->ulValue = current;
    e->ulDefault = 0;
    e->wPhysicalBytes = bytes;
}

int32_t capGet(const Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    const std::vector<CapView> caps = capsOf(o);
    const CapView* def = findCap(caps, cap);
    if (!def || !(def->ops & G))
        return kNkMAIDResult_NotSupported;
    if (!data)
        return kNkMAIDResult_UnexpectedError;
    const Source* s = sourceOf(o);
    if (cap == kNkMAIDCapability_Children) {
        if (dataType != kNkMAIDDataType_EnumPtr)
            return kNkMAIDResult_UnexpectedError;
        fillEnum(wordToPtr<tagNkMAIDEnum>(data), kNkMAIDArrayType_Unsigned,
                 uint32_t(childIds(o).size()), 0, 4);
        return kNkMAIDResult_NoError;
    }
    if (cap == kNkMAIDCapability_DataTypes) {
        if (dataType != kNkMAIDDataType_UnsignedPtr)
            return kNkMAIDResult_UnexpectedError;
        uint32_t bits = 0;
        for (uint32_t id : childIds(o))
            bits |= id;
        *wordToPtr<uint32_t>(data) = bits;
        return kNkMAIDResult_NoError;
    }
    if (cap == kNkMAIDCapability_Name && dataType == kNkMAIDDataType_StringPtr) {
        std::snprintf(wordToPtr<char>(data), kTextBytes, "%s",
                      s ? s->camera.model.c_str() : "ZarvPTP");
        return kNkMAIDResult_NoError;
    }
    if (const Setting* setting = settingOf(o, cap)) {
        if (s && s->gone)
            return kNkMAIDResult_NotAvailable;
        if (setting->kind == Setting::Range) {
            if (dataType != kNkMAIDDataType_RangePtr)
                return kNkMAIDResult_UnexpectedError;
            auto* out = wordToPtr<tagNkMAIDRange>(data);
            std::memset(out, 0, sizeof *out);
            out->ulValueIndex = setting->current;
            out->lfLower = setting->lower;
            out->lfUpper = setting->upper;
            out->ulSteps = setting->steps;
            return kNkMAIDResult_NoError;
        }
        if (setting->kind == Setting::Unsigned) {
            if (dataType != kNkMAIDDataType_UnsignedPtr)
                return kNkMAIDResult_UnexpectedError;
            *wordToPtr<uint32_t>(data) = setting->current;
            return kNkMAIDResult_NoError;
        }
        if (dataType != kNkMAIDDataType_EnumPtr)
            return kNkMAIDResult_UnexpectedError;
        const bool text = setting->kind == Setting::TextEnum;
        fillEnum(wordToPtr<tagNkMAIDEnum>(data),
                 text ? kNkMAIDArrayType_String : kNkMAIDArrayType_Unsigned,
                 uint32_t(setting->labels.size()), setting->current, text ? kTextBytes : 4);
        return kNkMAIDResult_NoError;
    }
    if (def->type != kNkMAIDCapType_Unsigned || dataType != kNkMAIDDataType_UnsignedPtr)
        return kNkMAIDResult_UnexpectedError;
    uint32_t value = 0;
    switch (cap) {
    case kNkMAIDCapability_AsyncRate:
        value = g_state->asyncRate;
        break;
    case kNkMAIDCapability_ModuleType:
        value = 2;
        break;
    case kNkMAIDCapability_Version:
        value = 0x01000000;
        break;
    case kNkMAIDCapability_ModuleMode:
        value = g_state->moduleMode;
        break;
    case kNkMAIDCapability_CameraType:
        value = s ? s->camera.usbProduct : 0;
        break;
    default:
        break;
    }
    *wordToPtr<uint32_t>(data) = value;
    return kNkMAIDResult_NoError;
}

int32_t capGetArray(const Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    auto* e = wordToPtr<tagNkMAIDEnum>(data);
    if (dataType != kNkMAIDDataType_EnumPtr || !e || !e->pData)
        return kNkMAIDResult_UnexpectedError;
    auto* out = wordToPtr<uint8_t>(e->pData);
    if (cap == kNkMAIDCapability_Children) {
        if (!findCap(capsOf(o), cap))
            return kNkMAIDResult_NotSupported;
        const std::vector<uint32_t> ids = childIds(o);
        // The caller's array was sized from an earlier get: never write past it.
        if (e->wPhysicalBytes != 4 || e->ulElements < ids.size())
            return kNkMAIDResult_UnexpectedError;
        std::memcpy(out, ids.data(), ids.size() * 4);
        e->ulElements = uint32_t(ids.size());
        return kNkMAIDResult_NoError;
    }
    const Setting* s = settingOf(o, cap);
    if (!s || (s->kind != Setting::TextEnum && s->kind != Setting::ValueEnum))
        return kNkMAIDResult_NotSupported;
    const bool text = s->kind == Setting::TextEnum;
    const uint16_t bytes = text ? kTextBytes : 4;
    if (e->wPhysicalBytes != bytes || e->ulElements < s->labels.size())
        return kNkMAIDResult_UnexpectedError;
    if (text) {
        for (const std::string& label : s->labels) {
            std::memset(out, 0, kTextBytes);
            std::snprintf(reinterpret_cast<char*>(out), kTextBytes, "%s", label.c_str());
            out += kTextBytes;
        }
    } else {
        std::memcpy(out, s->values.data(), s->values.size() * 4);
    }
    fillEnum(e, text ? kNkMAIDArrayType_String : kNkMAIDArrayType_Unsigned,
             uint32_t(s->labels.size()), s->current, bytes);
    return kNkMAIDResult_NoError;
}

// Writes one setting on the camera's thread and reads them all back; blocks until done.
int32_t writeSetting(Source& s, uint32_t cap, uint32_t value) {
    if (s.gone || !s.worker)
        return kNkMAIDResult_NotAvailable;
    int32_t result = kNkMAIDResult_UnexpectedError;
    Settings after;
    Worker& worker = *s.worker;
    const int rc = worker.call([&](Camera& camera) {
        CameraWidget* root = nullptr;
        int r = patient([&] { return camera.getConfig(&root); });
        if (r < kGpOk || !root)
            return r < kGpOk ? r : kGpIo;
        result = applySetting(root, cap, value);
        if (result == kNkMAIDResult_NoError) {
            r = patient([&] { return camera.setConfig(root); });
            if (r < kGpOk)
                result = kNkMAIDResult_UnexpectedError;
        }
        gp_widget_free(root);
        if (!worker.gone(r))
            after = readCameraSettings(camera);
        return r;
    });
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: cannot change a setting of %s: %s\n", s.camera.model.c_str(),
                     resultText(rc).c_str());
        return kNkMAIDResult_UnexpectedError;
    }
    if (!after.empty())
        s.settings = std::move(after);
    return result;
}

int32_t capSet(Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    const std::vector<CapView> caps = capsOf(o);
    const CapView* def = findCap(caps, cap);
    if (!def || !(def->ops & S))
        return kNkMAIDResult_NotSupported;
    if (def->type == kNkMAIDCapType_Callback) {
        if (dataType == kNkMAIDDataType_Null) {
            o.procs[cap] = {};
            return kNkMAIDResult_NoError;
        }
        const auto* cb = wordToPtr<tagNkMAIDCallback>(data);
        if (dataType != kNkMAIDDataType_CallbackPtr || !cb)
            return kNkMAIDResult_UnexpectedError;
        o.procs[cap] = *cb;
        return kNkMAIDResult_NoError;
    }
    if (const Setting* setting = settingOf(o, cap)) {
        uint32_t value = 0;
        if (setting->kind == Setting::Range) {
            const auto* r = wordToPtr<tagNkMAIDRange>(data);
            if (dataType != kNkMAIDDataType_RangePtr || !r)
                return kNkMAIDResult_UnexpectedError;
            value = r->ulValueIndex;
        } else if (setting->kind == Setting::Unsigned) {
            if (dataType != kNkMAIDDataType_Unsigned)
                return kNkMAIDResult_UnexpectedError;
            value = uint32_t(data);
        } else {
            const auto* e = wordToPtr<tagNkMAIDEnum>(data);
            if (dataType != kNkMAIDDataType_EnumPtr || !e)
                return kNkMAIDResult_UnexpectedError;
            value = e->ulValue;
        }
        return writeSetting(*sourceOf(o), cap, value);
    }
    if (dataType != kNkMAIDDataType_Unsigned)
        return kNkMAIDResult_UnexpectedError;
    if (cap == kNkMAIDCapability_AsyncRate)
        g_state->asyncRate = uint32_t(data);
    else if (cap == kNkMAIDCapability_ModuleMode)
        g_state->moduleMode = uint32_t(data);
    return kNkMAIDResult_NoError;
}

int32_t capture(Source& s) {
    if (s.gone || !s.worker)
        return kNkMAIDResult_UnexpectedError;
    Worker& worker = *s.worker;
    // The new pictures arrive as events, and so as items, after the trigger.
    const int rc = worker.call([&worker](Camera& camera) {
        const int r = patient([&] { return camera.trigger(); });
        worker.gone(r);
        return r;
    });
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: %s did not take the picture: %s\n", s.camera.model.c_str(),
                     resultText(rc).c_str());
        return kNkMAIDResult_UnexpectedError;
    }
    return kNkMAIDResult_NoError;
}

int32_t capStart(const Object& o, uint64_t handle, uint32_t cap, uint64_t pendingId,
                 bool* completesLater) {
    const std::vector<CapView> caps = capsOf(o);
    const CapView* def = findCap(caps, cap);
    if (!def || !(def->ops & St))
        return kNkMAIDResult_NotSupported;
    if (cap == kNkMAIDCapability_Capture) {
        Source* s = sourceOf(o);
        return s ? capture(*s) : kNkMAIDResult_UnexpectedError;
    }
    if (cap == kNkMAIDCapability_Acquire) {
        const int32_t r = startAcquire(o, handle, pendingId);
        *completesLater = r == kNkMAIDResult_NoError;
        return r;
    }
    return kNkMAIDResult_NotSupported;
}

int32_t enumChildren(const Object& o, uint64_t handle) {
    for (uint32_t id : childIds(o))
        g_state->actions.push_back([handle, id] { sendEvent(handle, kNkMAIDEvent_AddChild, id); });
    return kNkMAIDResult_NoError;
}

int32_t pump() {
    // What the cameras' threads handed over, then one queued action.
    std::vector<uint32_t> ids;
    for (const auto& [id, s] : g_state->sources)
        if (s.worker)
            ids.push_back(id);
    for (uint32_t id : ids) {
        auto it = g_state ? g_state->sources.find(id) : decltype(g_state->sources.end()){};
        if (!g_state || it == g_state->sources.end() || !it->second.worker)
            continue;
        for (auto& result : it->second.worker->collect()) {
            result();
            if (!g_state || !g_state->open)
                return kNkMAIDResult_NoError;
            // A closure may have closed the source.
            auto again = g_state->sources.find(id);
            if (again == g_state->sources.end() || !again->second.worker)
                break;
        }
    }
    if (!g_state->actions.empty()) {
        std::function<void()> action = std::move(g_state->actions.front());
        g_state->actions.pop_front();
        action();
    }
    if (!g_state->actions.empty() || !g_state->pending.empty())
        return kNkMAIDResult_Pending;
    for (const auto& [id, s] : g_state->sources)
        if (s.worker && s.worker->hasWork())
            return kNkMAIDResult_Pending;
    return kNkMAIDResult_NoError;
}

int32_t dispatch(tagNkMAIDObject* record, uint32_t command, uint32_t param, uint32_t dataType,
                 uint64_t data, LPMAIDCompletionProc proc, uint64_t ref) {
    if (!g_state)
        g_state = std::make_unique<State>();
    if (command == kNkMAIDCommand_Open && !record)
        return openObject(nullptr, param, dataType, data);
    const uint64_t handle = handleOf(record);
    Object* o = find(handle);
    if (!o)
        return kNkMAIDResult_UnexpectedError;
    if (command == kNkMAIDCommand_Async)
        return pump();
    if (command == kNkMAIDCommand_Open)
        return openObject(record, param, dataType, data);
    if (command == kNkMAIDCommand_Close)
        return closeObject(handle);

    const uint64_t pendingId =
        g_state->addPending(handle, record, command, param, dataType, data, proc, ref);
    bool completesLater = false;
    int32_t result;
    switch (command) {
    case kNkMAIDCommand_GetCapCount: {
        auto* count = wordToPtr<uint32_t>(data);
        if (dataType != kNkMAIDDataType_UnsignedPtr || !count) {
            result = kNkMAIDResult_UnexpectedError;
        } else {
            *count = uint32_t(capsOf(*o).size());
            result = kNkMAIDResult_NoError;
        }
        break;
    }
    case kNkMAIDCommand_GetCapInfo:
        result = getCapInfo(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_CapStart:
        result = capStart(*o, handle, param, pendingId, &completesLater);
        break;
    case kNkMAIDCommand_CapSet:
        result = capSet(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_CapGet:
        result = capGet(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_CapGetArray:
        result = capGetArray(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_EnumChildren:
        if (o->kind == kNkMAIDObjectType_Module)
            detectCameras();
        result = enumChildren(*o, handle);
        break;
    default:
        result = kNkMAIDResult_NotSupported;
        break;
    }
    if (!g_state->pending.count(pendingId))
        return result; // completed already (the object went while the command ran)
    if (!proc)
        g_state->pending.erase(pendingId);
    else if (!completesLater)
        g_state->actions.push_back([pendingId, result] { complete(pendingId, result); });
    return result;
}

} // namespace

void setOptions(const Options& options) {
    g_options = options;
}

int32_t entry(tagNkMAIDObject* object, uint32_t command, uint32_t param, uint32_t dataType,
              uint64_t data, LPMAIDCompletionProc complete, uint64_t ref) {
    try {
        return dispatch(object, command, param, dataType, data, complete, ref);
    } catch (...) {
        return kNkMAIDResult_UnexpectedError;
    }
}

} // namespace zarv::ptp
