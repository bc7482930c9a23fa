// The virtual camera's capabilities: which each object has, the camera's settings as they
// come out of the box, and reading, listing, writing and starting them.

#include "CameraState.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace zarv;
using namespace zarv::module;

namespace zarv::vcam {

namespace {

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

} // namespace

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
        {kNkMAIDCapability_LiveViewStatus, kNkMAIDCapType_Unsigned, GS, "Live View Status"},
        {kNkMAIDCapability_LiveViewWarnings, kNkMAIDCapType_Unsigned, G,
         "Live View Prohibit Condition"},
        {kNkMAIDCapability_LiveViewFrame, kNkMAIDCapType_LiveViewFrame, G, "Live View Frame"},
        {kNkMAIDCapability_FocusPosition, kNkMAIDCapType_Range, GS, "Focus Position"},
    };
    return kind == kNkMAIDObjectType_Source ? source : standardCaps(kind);
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
    RangeSetting focus; // continuous, out of focus until the program focuses
    focus.lower = 0.0;
    focus.upper = 100.0;
    focus.value = 30.0;
    s.ranges[kNkMAIDCapability_FocusPosition] = focus;
    s.unsignedValues[kNkMAIDCapability_AsyncRate] = 10;
    s.unsignedValues[kNkMAIDCapability_ModuleType] = 2;
    s.unsignedValues[kNkMAIDCapability_Version] = 0x01000000;
    s.unsignedValues[kNkMAIDCapability_ModuleMode] = 0;
    s.unsignedValues[kNkMAIDCapability_CameraType] = 0x7A01;
    s.unsignedValues[kNkMAIDCapability_CameraWarnings] = 0;
    s.unsignedValues[kNkMAIDCapability_SaveMedia] = 1; // SDRAM: pictures go to the computer
    s.unsignedValues[kNkMAIDCapability_LiveViewStatus] = 0;
    s.unsignedValues[kNkMAIDCapability_LiveViewWarnings] = s.config.liveViewRefuse;
    s.liveView = LiveView{};
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
    if (cap == kNkMAIDCapability_Children)
        return answerChildCount(dataType, data, childIds(o).size());
    if (cap == kNkMAIDCapability_DataTypes) {
        const int32_t result = answerDataTypes(dataType, data, childIds(o));
        if (result == kNkMAIDResult_NoError && o.kind == kNkMAIDObjectType_Item &&
            g_state->config.dropOnSelect.count(o.id))
            dropItem(o.parent, o.id);
        return result;
    }
    if (cap == kNkMAIDCapability_Name && dataType == kNkMAIDDataType_StringPtr) {
        std::snprintf(wordToPtr<char>(data), 256, "%s", g_state->config.model.c_str());
        return kNkMAIDResult_NoError;
    }
    if (cap == kNkMAIDCapability_LiveViewFrame)
        return readLiveViewFrame(dataType, data);
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
    if (cap == kNkMAIDCapability_LiveViewStatus)
        return setLiveViewStatus(dataType, data);
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

} // namespace zarv::vcam
