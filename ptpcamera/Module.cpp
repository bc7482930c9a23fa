// The PTP camera module: the module object, one source per camera libgphoto2 finds, an item per
// picture the camera announces and an image data object under each. Camera work runs on each
// camera's worker; the pump (command 0) runs what the workers hand back, so completions, events
// and data pieces reach the program on its own thread. Pictures themselves: Downloads.cpp.

#include "ModuleState.h"

#include <gphoto2/gphoto2-widget.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zarv::ptp {

std::unique_ptr<State> g_state;
Options g_options;

using namespace zarv::module;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kTextBytes = 256;
// A pump with nothing to hand over yet, while the program waits for a command, waits this
// long at most for the cameras' threads instead of making the program spin.
constexpr auto kPumpWait = std::chrono::milliseconds(10);

const std::vector<CapDef>& fixedCaps(uint32_t kind) {
    static const std::vector<CapDef> module = [] {
        std::vector<CapDef> caps = standardCaps(kNkMAIDObjectType_Module);
        caps.push_back({kNkMAIDCapability_UsbLocation, kNkMAIDCapType_Unsigned, S, "USB Location"});
        return caps;
    }();
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
    if (kind == kNkMAIDObjectType_Module)
        return module;
    return kind == kNkMAIDObjectType_Source ? source : standardCaps(kind);
}

Layer& layer() {
    return g_state->options.layer ? *g_state->options.layer : libgphoto2Layer();
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

// --- The camera's thread ----------------------------------------------------------------------

// What the camera's thread keeps of the body between its calls (that thread only).
struct Body {
    bool settingsDirty = false;
    Clock::time_point lastRead{};
    // Since a capture from the computer the body is in PC mode, its own controls locked.
    bool handBack = false;
    bool pictureSince = false;
    Clock::time_point capturedAt{};
};

namespace {

Settings readCameraSettings(Camera& camera) {
    CameraWidget* root = nullptr;
    if (patient([&] { return camera.getConfig(&root); }) < kGpOk || !root)
        return {};
    Settings s = readSettings(root);
    gp_widget_free(root);
    return s;
}

// One widget read on its own, as the setting it maps to (none when it maps to none).
Settings readWidget(Camera& camera, const std::string& name) {
    CameraWidget* w = nullptr;
    if (patient([&] { return camera.getWidget(name, &w); }) < kGpOk || !w)
        return {};
    Settings s = readSettings(w);
    gp_widget_free(w);
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
        item.fileType = fileDataTypeOf(name);
        FileInfo info;
        if (item.fileType && camera.fileInfo(item.file, &info) >= kGpOk && info.hasSize) {
            item.size = info.size;
            item.mtime = info.mtime;
            out->push_back(item);
        }
    }
    for (const std::string& sub : folders)
        listFolder(camera, prefix + sub, out);
}

// Pump side: settings the camera's thread read again.
void takeSettings(uint32_t sourceId, Settings read, bool whole) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || read.empty())
        return;
    if (whole)
        it->second.settings = std::move(read);
    else
        for (auto& [cap, setting] : read)
            it->second.settings[cap] = std::move(setting);
}

// libgphoto2 names the widget of a changed property and its new value:
// PTP Property 500d changed, "shutterspeed" to "1/250"
bool changedWidget(const std::string& text, std::string* name, std::string* value) {
    static const std::string nameAt = "changed, \"", valueAt = "\" to \"";
    const auto begin = text.find(nameAt);
    const auto middle = begin == std::string::npos ? begin : text.find(valueAt, begin);
    if (middle == std::string::npos || text.back() != '"')
        return false;
    *name = text.substr(begin + nameAt.size(), middle - begin - nameAt.size());
    const auto from = middle + valueAt.size();
    *value = text.substr(from, text.size() - 1 - std::min(from, text.size() - 1));
    return true;
}

// Pump side: a setting changed on the body. The event says to what, so the camera need not be
// asked; where the value is not one the setting lists, the widget is read again on its own.
void noteChange(uint32_t sourceId, uint32_t cap, const std::string& name,
                const std::string& value) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || !it->second.worker)
        return;
    Source& s = it->second;
    auto setting = s.settings.find(cap);
    if (setting != s.settings.end()) {
        Setting& now = setting->second;
        const auto label = std::find(now.labels.begin(), now.labels.end(), value);
        if (label != now.labels.end()) {
            now.current = uint32_t(label - now.labels.begin());
            return;
        }
        // A continuous range names its value as a number ("%f").
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (now.kind == Setting::Range && now.labels.empty() && end && *end == '\0' &&
            !value.empty() && now.steps > 1 && now.upper > now.lower) {
            const double at = (v - now.lower) / (now.upper - now.lower) * double(now.steps - 1);
            now.current = uint32_t(std::clamp(std::lround(at), 0L, long(now.steps - 1)));
            return;
        }
    }
    Worker* w = s.worker.get();
    w->post([w, sourceId, name](Camera& camera) {
        Settings read = readWidget(camera, name);
        w->deliver([sourceId, read = std::move(read)]() mutable {
            takeSettings(sourceId, std::move(read), false);
        });
    });
}

// Pump side: the body says its card is full; pictures into its RAM still arrive.
void noteCardFull(uint32_t sourceId) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || it->second.cardFull)
        return;
    it->second.cardFull = true;
    std::fprintf(stderr,
                 "ZarvPTP: the card in %s is full: free some room on it, or set \"Save to\" "
                 "to the camera's RAM (SDRAM)\n",
                 it->second.camera.model.c_str());
}

void onOtherEvent(uint32_t sourceId, Worker& worker, const CameraEvent& e, Body* body) {
    // libgphoto2 passes the StoreFull event on as its code: "PTP Event 400a, Param1 00010001".
    if (e.text.rfind("PTP Event 400a", 0) == 0) {
        worker.deliver([sourceId] { noteCardFull(sourceId); });
        return;
    }
    std::string name, value;
    if (changedWidget(e.text, &name, &value)) {
        if (const uint32_t cap = capabilityOfWidget(name))
            worker.deliver([=] { noteChange(sourceId, cap, name, value); });
        return;
    }
    // A new lens or mode may change what the settings can take: all of them again, once
    // a burst of such changes has settled.
    if (e.text.rfind("PTP Deviceinfo changed", 0) == 0)
        body->settingsDirty = true;
}

// Between events: the settings once they have settled, and the body handed back to its own
// controls once a capture from the computer is over.
void betweenEvents(uint32_t sourceId, Worker& worker, Camera& camera, Body* body) {
    const auto now = Clock::now();
    if (body->settingsDirty && now - body->lastRead >= std::chrono::milliseconds(500)) {
        body->settingsDirty = false;
        body->lastRead = now;
        Settings read = readCameraSettings(camera);
        worker.deliver([sourceId, read = std::move(read)]() mutable {
            takeSettings(sourceId, std::move(read), true);
        });
    }
    if (body->handBack && now - body->capturedAt >= g_options.handBackAfter &&
        (body->pictureSince || now - body->capturedAt >= std::chrono::seconds(10))) {
        body->handBack = false;
        CameraWidget* w = nullptr;
        if (camera.getWidget("controlmode", &w) >= kGpOk && w) {
            gp_widget_set_value(w, "0");
            const int rc = camera.setWidget("controlmode", w);
            gp_widget_free(w);
            if (!worker.gone(rc) && rc < kGpOk)
                std::fprintf(stderr, "ZarvPTP: cannot hand the body back to its own controls: %s\n",
                             resultText(rc).c_str());
        }
    }
}

void onCameraEvent(uint32_t sourceId, Worker& worker, Camera& camera, const CameraEvent& e,
                   Body* body) {
    switch (e.kind) {
    case CameraEvent::FileAdded:
        body->pictureSince = true;
        onFileAdded(sourceId, worker, camera, e.file);
        break;
    case CameraEvent::CaptureComplete:
        body->pictureSince = true;
        break;
    case CameraEvent::Other:
        onOtherEvent(sourceId, worker, e, body);
        break;
    case CameraEvent::Timeout:
        break;
    }
    betweenEvents(sourceId, worker, camera, body);
}

// --- Commands --------------------------------------------------------------------------------

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
        return copyChildIds(e, childIds(o));
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

// Writes one setting on the camera's thread and reads it back; blocks until done. The widget
// is written and read on its own: a whole configuration tree takes seconds on some bodies.
int32_t writeSetting(Source& s, uint32_t cap, uint32_t value) {
    if (s.gone || !s.worker)
        return kNkMAIDResult_NotAvailable;
    const auto known = s.settings.find(cap);
    if (known == s.settings.end())
        return kNkMAIDResult_NotSupported;
    const std::string name = known->second.widget;
    int32_t result = kNkMAIDResult_UnexpectedError;
    Settings after;
    Worker& worker = *s.worker;
    const int rc = worker.call([&](Camera& camera) {
        CameraWidget* w = nullptr;
        int r = patient([&] { return camera.getWidget(name, &w); });
        if (r < kGpOk || !w)
            return r < kGpOk ? r : kGpIo;
        result = applySetting(w, cap, value);
        if (result == kNkMAIDResult_NoError) {
            r = patient([&] { return camera.setWidget(name, w); });
            if (r < kGpOk)
                result = kNkMAIDResult_UnexpectedError;
        }
        gp_widget_free(w);
        if (!worker.gone(r))
            after = readWidget(camera, name);
        return r;
    });
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: cannot change %s of %s: %s\n", name.c_str(),
                     s.camera.model.c_str(), resultText(rc).c_str());
        return kNkMAIDResult_UnexpectedError;
    }
    for (auto& [c, setting] : after)
        s.settings[c] = std::move(setting);
    return result;
}

int32_t capSet(Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    const std::vector<CapView> caps = capsOf(o);
    const CapView* def = findCap(caps, cap);
    if (!def || !(def->ops & S))
        return kNkMAIDResult_NotSupported;
    if (def->type == kNkMAIDCapType_Callback)
        return setCallback(o, cap, dataType, data);
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
    else if (cap == kNkMAIDCapability_UsbLocation) {
        g_state->usbLocation = uint32_t(data);
        detectCameras(); // the cameras offered so far may not be that one
    }
    return kNkMAIDResult_NoError;
}

int32_t capture(Source& s) {
    if (s.gone || !s.worker)
        return kNkMAIDResult_UnexpectedError;
    Worker& worker = *s.worker;
    // The new pictures arrive as events, and so as items, after the trigger. The trigger puts
    // the body in PC mode; the camera's thread hands it back once the shot is over.
    const int rc = worker.call([&worker, body = s.onCamera](Camera& camera) {
        const int r = patient([&] { return camera.trigger(); });
        if (r >= kGpOk) {
            body->handBack = true;
            body->pictureSince = false;
            body->capturedAt = Clock::now();
        }
        worker.gone(r);
        return r;
    });
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: %s did not take the picture: %s%s\n", s.camera.model.c_str(),
                     resultText(rc).c_str(),
                     rc == kGpNoSpace || s.cardFull ? "; the card is full" : "");
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

uint32_t capCount(const Object& o) {
    return uint32_t(capsOf(o).size());
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
