// The PTP module's capabilities: the fixed ones of each object, the camera's settings, and
// reading, listing, writing and starting them.

#include "ModuleState.h"

#include <gphoto2/gphoto2-widget.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zarv::ptp {

using namespace zarv::module;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kTextBytes = 256;

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

// Offered where libgphoto2 can fetch previews from the body.
const std::vector<CapDef>& liveViewCaps() {
    static const std::vector<CapDef> caps = {
        {kNkMAIDCapability_LiveViewStatus, kNkMAIDCapType_Unsigned, GS, "Live View Status"},
        {kNkMAIDCapability_LiveViewWarnings, kNkMAIDCapType_Unsigned, G, "Live View Warnings"},
        {kNkMAIDCapability_LiveViewFrame, kNkMAIDCapType_LiveViewFrame, G, "Live View Frame"},
    };
    return caps;
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
    if (s && s->camera.canPreview)
        for (const CapDef& d : liveViewCaps())
            out.push_back({d.id, d.type, d.ops, d.description});
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

const CapView* findCap(const std::vector<CapView>& caps, uint32_t cap) {
    for (const CapView& c : caps)
        if (c.id == cap)
            return &c;
    return nullptr;
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

} // namespace

uint32_t capCount(const Object& o) {
    return uint32_t(capsOf(o).size());
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

int32_t capGet(const Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
    const std::vector<CapView> caps = capsOf(o);
    const CapView* def = findCap(caps, cap);
    if (!def || !(def->ops & G))
        return kNkMAIDResult_NotSupported;
    if (!data)
        return kNkMAIDResult_UnexpectedError;
    const Source* s = sourceOf(o);
    if (cap == kNkMAIDCapability_Children)
        return answerChildCount(dataType, data, childIds(o).size());
    if (cap == kNkMAIDCapability_DataTypes)
        return answerDataTypes(dataType, data, childIds(o));
    if (cap == kNkMAIDCapability_Name && dataType == kNkMAIDDataType_StringPtr) {
        std::snprintf(wordToPtr<char>(data), kTextBytes, "%s",
                      s ? s->camera.model.c_str() : "ZarvPTP");
        return kNkMAIDResult_NoError;
    }
    if (cap == kNkMAIDCapability_LiveViewFrame)
        return s ? readLiveViewFrame(*sourceOf(o), dataType, data) : kNkMAIDResult_UnexpectedError;
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
    case kNkMAIDCapability_LiveViewStatus:
        value = s && s->live->running() ? 1 : 0;
        break;
    case kNkMAIDCapability_LiveViewWarnings:
        value = s ? s->liveWarnings : 0;
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
    if (cap == kNkMAIDCapability_LiveViewStatus) {
        Source* s = sourceOf(o);
        if (!s)
            return kNkMAIDResult_UnexpectedError;
        if (data > 1)
            return kNkMAIDResult_ValueOutOfRange;
        return data ? startLiveView(*s) : stopLiveView(*s);
    }
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

} // namespace zarv::ptp
