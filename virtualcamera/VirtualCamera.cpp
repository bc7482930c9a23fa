// The virtual camera: a MAID module of our own. One module object, one camera (source) under
// it, pictures (items) on its card, and one or two data objects per picture. Every asynchronous
// command completes on a later pump; events and data pieces are delivered from pumps too. All
// calls come from one thread; callbacks may call back into the entry point, so no reference into
// the state is held across a callback.

#include "Config.h"
#include "Picture.h"

#include "sdk/Maid.h"
#include "sdk/ModuleObjects.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>

using namespace zarv;
using namespace zarv::vcam;
using namespace zarv::module;

namespace {

// The absent-camera build answers like a module whose camera is not plugged in: it opens and
// lists its capabilities, but never has a source.
#ifdef ZARV_VCAM_NO_CAMERA
constexpr bool kCameraAttached = false;
#else
constexpr bool kCameraAttached = true;
#endif

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

const std::vector<CapDef>& capsFor(uint32_t kind) {
    static const std::vector<CapDef> source = {
        {kNkMAIDCapability_AsyncRate, kNkMAIDCapType_Unsigned, GS, "Async Rate"},
        {kNkMAIDCapability_ProgressProc, kNkMAIDCapType_Callback, S, "Progress Proc"},
        {kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, S, "Event Proc"},
        {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, G, "Children"},
        {kNkMAIDCapability_Name, kNkMAIDCapType_Unsigned, G, "Name"},
        {kNkMAIDCapability_ModuleType, kNkMAIDCapType_Unsigned, G, "Module Type"},
        {kNkMAIDCapability_Version, kNkMAIDCapType_Unsigned, G, "Version"},
        {kNkMAIDCapability_Capture, kNkMAIDCapType_Process, St, "Capture"},
        {kNkMAIDCapability_FlashMode, kNkMAIDCapType_Enum, GS, "Flash Mode"},
        {kNkMAIDCapability_CompressionLevel, kNkMAIDCapType_Enum, GS, "Compression Level"},
        {kNkMAIDCapability_ExposureMode, kNkMAIDCapType_Enum, GS, "Exposure Mode"},
        {kNkMAIDCapability_ShutterSpeed, kNkMAIDCapType_Enum, GS, "Shutter Speed"},
        {kNkMAIDCapability_Aperture, kNkMAIDCapType_Enum, GS, "Aperture"},
        {kNkMAIDCapability_FlexibleProgram, kNkMAIDCapType_Range, GS, "Flexible Program"},
        {kNkMAIDCapability_ExposureComp, kNkMAIDCapType_Range, GS, "Exposure Compensation"},
        {kNkMAIDCapability_MeteringMode, kNkMAIDCapType_Enum, GS, "Metering Mode"},
        {kNkMAIDCapability_Sensitivity, kNkMAIDCapType_Enum, GS, "Sensitivity"},
        {kNkMAIDCapability_WBMode, kNkMAIDCapType_Enum, GS, "White Balance Mode"},
        {kNkMAIDCapability_WBTuneAuto, kNkMAIDCapType_Range, GS, "WB Tune Auto"},
        {kNkMAIDCapability_WBTuneIncandescent, kNkMAIDCapType_Range, GS, "WB Tune Incandescent"},
        {kNkMAIDCapability_WBTuneFluorescent, kNkMAIDCapType_Range, GS, "WB Tune Fluorescent"},
        {kNkMAIDCapability_WBTuneSunny, kNkMAIDCapType_Range, GS, "WB Tune Sunny"},
        {kNkMAIDCapability_WBTuneFlash, kNkMAIDCapType_Range, GS, "WB Tune Flash"},
        {kNkMAIDCapability_WBTuneShade, kNkMAIDCapType_Range, GS, "WB Tune Shade"},
        {kNkMAIDCapability_WBTuneCloudy, kNkMAIDCapType_Range, GS, "WB Tune Cloudy"},
        {kNkMAIDCapability_FocusMode, kNkMAIDCapType_Enum, GS, "Focus Mode"},
        {kNkMAIDCapability_FocusAreaMode, kNkMAIDCapType_Enum, GS, "Focus Area Mode"},
        {kNkMAIDCapability_FocusPreferredArea, kNkMAIDCapType_Enum, GS, "Focus Preferred Area"},
        {kNkMAIDCapability_ImageSize, kNkMAIDCapType_Enum, GS, "Image Size"},
        {kNkMAIDCapability_CameraType, kNkMAIDCapType_Unsigned, G, "Camera Type"},
        {kNkMAIDCapability_PictureControl, kNkMAIDCapType_Enum, GS, "Picture Control"},
        {kNkMAIDCapability_LiveViewImageZoomRate, kNkMAIDCapType_Enum, GS,
         "Live View Image Zoom Rate"},
        {kNkMAIDCapability_CameraWarnings, kNkMAIDCapType_Unsigned, G, "Warning Status"},
        {kNkMAIDCapability_SaveMedia, kNkMAIDCapType_Unsigned, GS, "Save Media"},
        {kNkMAIDCapability_LiveViewImageSize, kNkMAIDCapType_Enum, GS, "Live View Image Size"},
    };
    return kind == kNkMAIDObjectType_Source ? source : standardCaps(kind);
}

const CapDef* findCap(uint32_t kind, uint32_t cap) {
    for (const CapDef& d : capsFor(kind))
        if (d.id == cap)
            return &d;
    return nullptr;
}

EnumSetting unsignedEnum(std::vector<uint32_t> values, uint32_t current) {
    EnumSetting e;
    e.elementType = kNkMAIDArrayType_Unsigned;
    e.values = std::move(values);
    e.current = current;
    return e;
}

EnumSetting textEnum(uint32_t type, std::vector<std::string> texts, uint32_t current) {
    EnumSetting e;
    e.elementType = type;
    e.texts = std::move(texts);
    e.current = current;
    return e;
}

RangeSetting stepped(double lower, double upper, uint32_t steps, uint32_t index) {
    return {lower, upper, 0, steps, index};
}

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

struct State : ObjectBook {
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
};

// Freed with the library when the module is unloaded.
std::unique_ptr<State> g_state;

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

void resetSettings(State& s) {
    s.enums.clear();
    s.ranges.clear();
    s.unsignedValues.clear();
    s.enums[kNkMAIDCapability_FlashMode] = unsignedEnum({0, 1, 2, 3, 4, 5, 262}, 0);
    s.enums[kNkMAIDCapability_ExposureMode] = unsignedEnum({0, 1, 2, 3, 5, 6, 7, 8, 9}, 0);
    s.enums[kNkMAIDCapability_MeteringMode] = unsignedEnum({0, 1, 2}, 0);
    s.enums[kNkMAIDCapability_FocusMode] = unsignedEnum({0, 1, 2, 3, 4}, 1);
    s.enums[kNkMAIDCapability_FocusPreferredArea] = unsignedEnum({0, 1, 2, 3, 4, 5, 6, 7, 8}, 4);
    s.enums[kNkMAIDCapability_PictureControl] = unsignedEnum({1, 2, 3, 4, 5, 6, 201, 202}, 0);
    s.enums[kNkMAIDCapability_LiveViewImageZoomRate] = unsignedEnum({0, 1, 2, 3, 4, 5}, 0);
    s.enums[kNkMAIDCapability_LiveViewImageSize] = unsignedEnum({1, 2}, 1);
    s.enums[kNkMAIDCapability_CompressionLevel] = textEnum(
        kNkMAIDArrayType_PackedString, {"JPEG Basic", "JPEG Normal", "JPEG Fine", "RAW"}, 2);
    s.enums[kNkMAIDCapability_WBMode] =
        textEnum(kNkMAIDArrayType_PackedString,
                 {"Auto", "Incandescent", "Fluorescent", "Direct sunlight", "Flash", "Cloudy",
                  "Shade", "Preset manual"},
                 0);
    s.enums[kNkMAIDCapability_Aperture] =
        textEnum(kNkMAIDArrayType_PackedString,
                 {"f/1.8", "f/2.8", "f/4", "f/5.6", "f/8", "f/11", "f/16", "f/22"}, 3);
    s.enums[kNkMAIDCapability_ImageSize] =
        textEnum(kNkMAIDArrayType_String, {"6016x4016", "4512x3008", "3008x2008"}, 0);
    s.enums[kNkMAIDCapability_Sensitivity] = textEnum(
        kNkMAIDArrayType_String,
        {"ISO 100", "ISO 200", "ISO 400", "ISO 800", "ISO 1600", "ISO 3200", "ISO 6400"}, 0);
    s.enums[kNkMAIDCapability_ShutterSpeed] =
        textEnum(kNkMAIDArrayType_String,
                 {"1/4000", "1/2000", "1/1000", "1/500", "1/250", "1/125", "1/60", "1/30", "1/15",
                  "1/8", "1/4", "1/2", "1\""},
                 5);
    s.enums[kNkMAIDCapability_FocusAreaMode] = textEnum(
        kNkMAIDArrayType_String, {"Single-point AF", "Dynamic-area AF", "Auto-area AF"}, 0);
    for (uint32_t cap = kNkMAIDCapability_WBTuneAuto; cap <= kNkMAIDCapability_WBTuneCloudy; ++cap)
        s.ranges[cap] = stepped(-6.0, 6.0, 13, 6);
    s.ranges[kNkMAIDCapability_ExposureComp] = stepped(-5.0, 5.0, 31, 15);
    RangeSetting program; // continuous
    program.lower = -5.0;
    program.upper = 5.0;
    program.value = 0.0;
    s.ranges[kNkMAIDCapability_FlexibleProgram] = program;
    s.unsignedValues[kNkMAIDCapability_AsyncRate] = 10;
    s.unsignedValues[kNkMAIDCapability_ModuleType] = 2;
    s.unsignedValues[kNkMAIDCapability_Version] = 0x01000000;
    s.unsignedValues[kNkMAIDCapability_ModuleMode] = 0;
    s.unsignedValues[kNkMAIDCapability_CameraType] = 0x7A01;
    s.unsignedValues[kNkMAIDCapability_CameraWarnings] = 0;
    s.unsignedValues[kNkMAIDCapability_SaveMedia] = 1; // SDRAM: pictures go to the computer
}

Object* find(uint64_t handle) {
    return g_state->find(handle);
}

uint64_t handleOf(const tagNkMAIDObject* record) {
    return ObjectBook::handleOf(record);
}

Item* findItem(uint32_t id) {
    for (Item& item : g_state->card)
        if (item.id == id)
            return &item;
    return nullptr;
}

std::vector<uint32_t> dataIdsOf(const Item& item) {
    std::vector<uint32_t> ids;
    if (!g_state->config.noImageData.count(item.id))
        ids.push_back(kNkMAIDDataObjType_Image);
    if (g_state->config.thumbnails)
        ids.push_back(kNkMAIDDataObjType_Thumbnail);
    return ids;
}

// The ids of an object's children as the camera knows them now.
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

// --- Callbacks into the client ---------------------------------------------------------------

void sendEvent(uint64_t handle, uint32_t event, uint64_t data) {
    g_state->sendEvent(handle, event, data);
}

void complete(uint64_t pendingId, int32_t result) {
    g_state->complete(pendingId, result);
}

// Completes every command still waiting on an object, at once, while its record is valid.
void cancelPendingOn(uint64_t handle) {
    g_state->cancelPending([handle](uint64_t object) { return object == handle; });
}

// --- Pictures --------------------------------------------------------------------------------

void addPictureToCard() {
    Item item;
    item.id = g_state->nextItemId++;
    item.picture = g_state->nextPicture++;
    g_state->card.push_back(item);
}

uint64_t sourceHandle() {
    for (const auto& [h, o] : g_state->objects)
        if (o.kind == kNkMAIDObjectType_Source)
            return h;
    return 0;
}

// One frame: a new picture on the card, announced to the open source unless the camera keeps
// quiet about new pictures.
void takeFrame(bool announceLater) {
    addPictureToCard();
    const uint32_t id = g_state->card.back().id;
    if (!g_state->config.announceShots)
        return;
    const uint64_t src = sourceHandle();
    if (!src)
        return;
    if (announceLater)
        g_state->actions.push_back([src, id] { sendEvent(src, kNkMAIDEvent_AddChild, id); });
    else
        sendEvent(src, kNkMAIDEvent_AddChild, id);
}

// A shot: a burst of frames, the first at once, each further one on the next pump, as fast as
// the camera takes them.
void takeShot() {
    takeFrame(true);
    for (uint32_t frame = 1; frame < g_state->config.burst; ++frame)
        g_state->actions.push_back([] {
            if (g_state->cameraPresent)
                takeFrame(false);
        });
}

// The link streams a transfer at the configured rate from its start: a piece is there once its
// bytes have had their time on the link, and the pump blocks until then, as a USB read does. A
// program slower than the link finds the next piece waiting.
void paceLink(Transfer& t, uint64_t bytes) {
    const uint64_t rate = g_state->config.bandwidth;
    if (rate == 0)
        return;
    using Clock = std::chrono::steady_clock;
    t.linkDue += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(bytes) / double(rate)));
    std::this_thread::sleep_until(t.linkDue);
}

bool loadPicture(size_t index, Picture* picture) {
    const Config& c = g_state->config;
    std::string path;
    if (!c.pictureFiles.empty()) {
        path = c.pictureFiles[index % c.pictureFiles.size()];
    } else {
        static const char* const samples[] = {"sample1.jpg", "sample2.jpg", "sample3.jpg"};
        path = g_state->resources + "/" + samples[index % 3];
    }
    std::string error;
    if (!picture->load(path, c.pictureSize, &error)) {
        std::fprintf(stderr, "ZarvVirtualCamera: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The camera is unplugged: the module tells the program, then drops what was waiting.
void unplug() {
    g_state->cameraPresent = false;
    g_state->card.clear();
    const uint32_t sourceId = g_state->config.sourceId;
    uint64_t module = 0;
    for (const auto& [h, o] : g_state->objects)
        if (o.kind == kNkMAIDObjectType_Module)
            module = h;
    sendEvent(module, kNkMAIDEvent_RemoveChild, sourceId);
    // Whatever the program left open below the module can no longer complete.
    std::vector<uint64_t> ids;
    for (const auto& [id, p] : g_state->pending)
        if (p.object != module)
            ids.push_back(id);
    for (uint64_t id : ids)
        complete(id, kNkMAIDResult_UnexpectedError);
}

// The operator deletes a picture on the camera: it leaves the card, and the source tells the
// program before anything else happens.
void dropItem(uint64_t source, uint32_t id) {
    std::erase_if(g_state->card, [id](const Item& item) { return item.id == id; });
    g_state->actions.push_front([source, id] { sendEvent(source, kNkMAIDEvent_RemoveChild, id); });
}

void transferStep(std::shared_ptr<Transfer> t) {
    if (!g_state->pending.count(t->pending))
        return; // cancelled
    // A stalled transfer keeps its place without holding the pump.
    if (std::chrono::steady_clock::now() < t->resumeAt) {
        g_state->actions.push_back([t] { transferStep(t); });
        return;
    }
    if (t->broken && t->pieces > 0) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const Object* o = find(t->data);
    if (!o) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const tagNkMAIDCallback dataProc = o->procs[kNkMAIDCapability_DataProc];
    const tagNkMAIDCallback progress = o->procs[kNkMAIDCapability_ProgressProc];
    if (!dataProc.pProc) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const Config& c = g_state->config;
    if (!t->started) {
        t->started = true;
        t->linkDue = std::chrono::steady_clock::now();
        if (progress.pProc)
            reinterpret_cast<LPMAIDProgressProc>(wordToPtr<void>(progress.pProc))(
                kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, progress.refProc, 0,
                uint32_t(t->size));
    }
    uint64_t piece = std::min<uint64_t>(t->size - t->offset, c.pieceSize);
    if (c.layout == Layout::Rows) {
        const uint64_t rows = std::max<uint64_t>(1, c.pieceSize / c.rowBytes);
        piece = std::min<uint64_t>(t->size - t->offset, rows * c.rowBytes);
    }
    // One buffer for the whole transfer, left uninitialised: the picture fills it.
    if (!t->buffer)
        t->buffer.reset(new uint8_t[std::max<uint64_t>(piece, 1)]);
    uint8_t* bytes = t->buffer.get();
    t->picture.read(t->offset, bytes, size_t(piece));
    paceLink(*t, piece);
    const bool last = t->offset + piece >= t->size;
    const bool removed = last && c.removeAfterTransfer;
    int32_t result;
    const auto proc = reinterpret_cast<LPMAIDDataProc>(wordToPtr<void>(dataProc.pProc));
    if (c.layout == Layout::File) {
        tagNkMAIDFileInfo info{};
        info.ulType = t->kindBits | kNkMAIDDataObjType_File;
        info.ulFileDataType = c.fileType;
        info.ulTotalLength = uint32_t(t->size);
        info.ulStart = uint32_t(t->offset);
        info.ulLength = uint32_t(piece);
        info.fDiskFile = 0;
        info.fRemoveObject = removed ? 1 : 0;
        if (c.lieSizes == SizeLie::Overflow)
            info.ulTotalLength = uint32_t(t->size / 2);
        else if (c.lieSizes == SizeLie::Zero)
            info.ulTotalLength = 0;
        result = proc(dataProc.refProc, &info, bytes);
    } else {
        tagNkMAIDImageInfo info{};
        info.ulType = t->kindBits;
        info.ulWidth = c.rowBytes;
        info.ulTotalRows = uint32_t(t->size / c.rowBytes);
        info.ulRows = uint32_t(piece / c.rowBytes);
        info.ulRowBytes = c.rowBytes;
        info.fRemoveObject = removed ? 1 : 0;
        if (c.lieSizes == SizeLie::RowsOverflow) {
            info.ulTotalRows = 0x10000;
            info.ulRowBytes = 0x10001;
        } else if (c.lieSizes == SizeLie::Zero) {
            info.ulTotalRows = 0;
        } else if (c.lieSizes == SizeLie::Overflow) {
            info.ulTotalRows = std::max<uint32_t>(1, info.ulTotalRows / 2);
        }
        result = proc(dataProc.refProc, &info, bytes);
    }
    if (!g_state || !g_state->pending.count(t->pending))
        return; // the program closed the object from inside the callback
    t->offset += piece;
    ++t->pieces;
    ++g_state->piecesDelivered;
    if (const Object* again = find(t->data)) {
        const tagNkMAIDCallback p = again->procs[kNkMAIDCapability_ProgressProc];
        if (p.pProc)
            reinterpret_cast<LPMAIDProgressProc>(wordToPtr<void>(p.pProc))(
                kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, p.refProc, uint32_t(t->offset),
                uint32_t(t->size));
    }
    if (!g_state || !g_state->pending.count(t->pending))
        return;
    if (result != kNkMAIDResult_NoError) {
        complete(t->pending, result);
        return;
    }
    if (g_state->config.removeAfterPieces != 0 &&
        g_state->piecesDelivered >= g_state->config.removeAfterPieces) {
        unplug();
        return;
    }
    if (!last) {
        if (t->pieces == 1 && g_state->config.stallTransfer > 0 &&
            g_state->stalled.insert(t->itemId).second)
            t->resumeAt = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(g_state->config.stallTransfer));
        g_state->actions.push_back([t] { transferStep(t); });
        return;
    }
    // Transferred: the camera drops the picture from its card when told to.
    if (g_state->config.removeAfterTransfer) {
        if (const Object* dataObj = find(t->data))
            if (const Object* itemObj = find(dataObj->parent)) {
                const uint32_t itemId = itemObj->id;
                auto& card = g_state->card;
                for (auto it = card.begin(); it != card.end(); ++it)
                    if (it->id == itemId) {
                        card.erase(it);
                        break;
                    }
            }
    }
    complete(t->pending, kNkMAIDResult_NoError);
}

int32_t startAcquire(uint64_t handle, uint64_t pendingId) {
    const Object* dataObj = find(handle);
    const Object* itemObj = dataObj ? find(dataObj->parent) : nullptr;
    const Item* item = itemObj ? findItem(itemObj->id) : nullptr;
    if (!item)
        return kNkMAIDResult_UnexpectedError;
    if (!dataObj->procs[kNkMAIDCapability_DataProc].pProc)
        return kNkMAIDResult_UnexpectedError;
    auto t = std::make_shared<Transfer>();
    t->data = handle;
    t->pending = pendingId;
    t->kindBits = dataObj->id; // the data id is its kind bit
    t->itemId = item->id;
    t->broken = g_state->config.brokenTransfer.count(item->id) != 0;
    if (!loadPicture(item->picture, &t->picture))
        return kNkMAIDResult_UnexpectedError;
    t->size = t->picture.size();
    if (g_state->config.layout == Layout::Rows) {
        const uint64_t rb = g_state->config.rowBytes;
        t->size = (t->size + rb - 1) / rb * rb;
    }
    if (t->size > UINT32_MAX)
        return kNkMAIDResult_UnexpectedError;
    g_state->actions.push_back([t] { transferStep(t); });
    return kNkMAIDResult_NoError;
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

uint32_t capCount(const Object& o) {
    return uint32_t(capsFor(o.kind).size());
}

int32_t getCapInfo(const Object& o, uint32_t count, uint32_t dataType, uint64_t data) {
    auto* infos = wordToPtr<tagNkMAIDCapInfo>(data);
    const auto& caps = capsFor(o.kind);
    if (dataType != kNkMAIDDataType_CapInfoPtr || !infos || count < caps.size())
        return kNkMAIDResult_UnexpectedError;
    if (g_state->enumRestartsLeft > 0) {
        --g_state->enumRestartsLeft;
        return kNkMAIDResult_SetChanged;
    }
    for (size_t i = 0; i < caps.size(); ++i) {
        tagNkMAIDCapInfo& info = infos[i];
        std::memset(&info, 0, sizeof info);
        info.ulID = caps[i].id;
        info.ulType = caps[i].type;
        info.ulVisibility = 0;
        info.ulOperations = caps[i].ops;
        // The model's name travels as the description of its Name capability.
        const char* description = caps[i].id == kNkMAIDCapability_Name
                                      ? g_state->config.model.c_str()
                                      : caps[i].description;
        std::snprintf(info.szDescription, sizeof info.szDescription, "%s", description);
    }
    return kNkMAIDResult_NoError;
}

int32_t capGet(const Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    const CapDef* def = findCap(o.kind, cap);
    if (!def || !(def->ops & G))
        return kNkMAIDResult_NotSupported;
    if (g_state->config.unavailable.count(cap))
        return kNkMAIDResult_NotAvailable;
    if (!data)
        return kNkMAIDResult_UnexpectedError;
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
        if (o.kind == kNkMAIDObjectType_Item && g_state->config.dropOnSelect.count(o.id))
            dropItem(o.parent, o.id);
        return kNkMAIDResult_NoError;
    }
    if (cap == kNkMAIDCapability_Name && dataType == kNkMAIDDataType_StringPtr) {
        std::snprintf(wordToPtr<char>(data), 256, "%s", g_state->config.model.c_str());
        return kNkMAIDResult_NoError;
    }
    if (def->type == kNkMAIDCapType_Enum) {
        const auto it = g_state->enums.find(cap);
        if (dataType != kNkMAIDDataType_EnumPtr || it == g_state->enums.end())
            return kNkMAIDResult_UnexpectedError;
        const EnumSetting& e = it->second;
        fillEnum(wordToPtr<tagNkMAIDEnum>(data), e.elementType, e.elements(), e.current,
                 e.bytesPerElement());
        return kNkMAIDResult_NoError;
    }
    if (def->type == kNkMAIDCapType_Range) {
        const auto it = g_state->ranges.find(cap);
        if (dataType != kNkMAIDDataType_RangePtr || it == g_state->ranges.end())
            return kNkMAIDResult_UnexpectedError;
        const RangeSetting& r = it->second;
        auto* out = wordToPtr<tagNkMAIDRange>(data);
        std::memset(out, 0, sizeof *out);
        out->lfValue = r.steps == 0 ? r.value : 0.0;
        out->ulValueIndex = r.index;
        out->lfLower = r.lower;
        out->lfUpper = r.upper;
        out->ulSteps = r.steps;
        return kNkMAIDResult_NoError;
    }
    if (def->type == kNkMAIDCapType_Unsigned) {
        if (dataType != kNkMAIDDataType_UnsignedPtr)
            return kNkMAIDResult_UnexpectedError;
        *wordToPtr<uint32_t>(data) = g_state->unsignedValues[cap];
        return kNkMAIDResult_NoError;
    }
    return kNkMAIDResult_NotSupported;
}

int32_t capGetArray(const Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    const CapDef* def = findCap(o.kind, cap);
    if (!def || def->type != kNkMAIDCapType_Enum || !(def->ops & G))
        return kNkMAIDResult_NotSupported;
    if (g_state->config.unavailable.count(cap))
        return kNkMAIDResult_NotAvailable;
    auto* e = wordToPtr<tagNkMAIDEnum>(data);
    if (dataType != kNkMAIDDataType_EnumPtr || !e || !e->pData)
        return kNkMAIDResult_UnexpectedError;
    if (cap == kNkMAIDCapability_Children)
        return copyChildIds(e, childIds(o));
    auto* out = wordToPtr<uint8_t>(e->pData);
    const auto it = g_state->enums.find(cap);
    if (it == g_state->enums.end())
        return kNkMAIDResult_UnexpectedError;
    const EnumSetting& s = it->second;
    if (e->wPhysicalBytes != s.bytesPerElement() || e->ulElements < s.elements())
        return kNkMAIDResult_UnexpectedError;
    switch (s.elementType) {
    case kNkMAIDArrayType_Unsigned:
        std::memcpy(out, s.values.data(), s.values.size() * 4);
        break;
    case kNkMAIDArrayType_PackedString:
        for (const std::string& t : s.texts) {
            std::memcpy(out, t.c_str(), t.size() + 1);
            out += t.size() + 1;
        }
        break;
    default:
        for (const std::string& t : s.texts) {
            std::memset(out, 0, 256);
            std::snprintf(reinterpret_cast<char*>(out), 256, "%s", t.c_str());
            out += 256;
        }
        break;
    }
    fillEnum(e, s.elementType, s.elements(), s.current, s.bytesPerElement());
    return kNkMAIDResult_NoError;
}

int32_t capSet(Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    const CapDef* def = findCap(o.kind, cap);
    if (!def || !(def->ops & S))
        return kNkMAIDResult_NotSupported;
    if (def->type == kNkMAIDCapType_Callback)
        return setCallback(o, cap, dataType, data);
    if (def->type == kNkMAIDCapType_Enum) {
        const auto* e = wordToPtr<tagNkMAIDEnum>(data);
        auto it = g_state->enums.find(cap);
        if (dataType != kNkMAIDDataType_EnumPtr || !e || it == g_state->enums.end())
            return kNkMAIDResult_UnexpectedError;
        if (e->ulValue >= it->second.count())
            return kNkMAIDResult_ValueOutOfRange;
        it->second.current = e->ulValue;
        return kNkMAIDResult_NoError;
    }
    if (def->type == kNkMAIDCapType_Range) {
        const auto* r = wordToPtr<tagNkMAIDRange>(data);
        auto it = g_state->ranges.find(cap);
        if (dataType != kNkMAIDDataType_RangePtr || !r || it == g_state->ranges.end())
            return kNkMAIDResult_UnexpectedError;
        RangeSetting& s = it->second;
        if (s.steps == 0) {
            if (!(r->lfValue >= s.lower && r->lfValue <= s.upper))
                return kNkMAIDResult_ValueOutOfRange;
            s.value = r->lfValue;
        } else {
            if (r->ulValueIndex >= s.steps)
                return kNkMAIDResult_ValueOutOfRange;
            s.index = r->ulValueIndex;
        }
        return kNkMAIDResult_NoError;
    }
    if (def->type == kNkMAIDCapType_Unsigned) {
        if (dataType != kNkMAIDDataType_Unsigned)
            return kNkMAIDResult_UnexpectedError;
        if (cap == kNkMAIDCapability_SaveMedia && data > 2)
            return kNkMAIDResult_ValueOutOfRange;
        g_state->unsignedValues[cap] = uint32_t(data);
        return kNkMAIDResult_NoError;
    }
    return kNkMAIDResult_NotSupported;
}

int32_t capStart(const Object& o, uint64_t handle, uint32_t cap, uint64_t pendingId,
                 bool* completesLater) {
    const CapDef* def = findCap(o.kind, cap);
    if (!def || !(def->ops & St))
        return kNkMAIDResult_NotSupported;
    if (g_state->config.neverComplete.count(cap)) {
        *completesLater = true;
        return kNkMAIDResult_NoError;
    }
    if (cap == kNkMAIDCapability_Capture) {
        if (!g_state->cameraPresent)
            return kNkMAIDResult_UnexpectedError;
        takeShot();
        return kNkMAIDResult_NoError;
    }
    if (cap == kNkMAIDCapability_Acquire) {
        const int32_t r = startAcquire(handle, pendingId);
        *completesLater = r == kNkMAIDResult_NoError;
        return r;
    }
    return kNkMAIDResult_NotSupported;
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
