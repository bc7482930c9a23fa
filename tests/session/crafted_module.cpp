// Small MAID modules that misbehave in one way each, for the session's failure paths. The kind is
// chosen at build time (CRAFTED_KIND); every open and close is appended to the file named by
// ZARV_CRAFTED_MODULE_LOG, so a test can tell what was left open even after the module is gone.
//
//   1 refuses to open its module object
//   2 opens, but never sees a camera
//   3 fails the get of its child list (an error other than "not available")
//   4 has a camera whose camera-type get fails
//   5 exports no entry point
//   6 has a camera that another program holds: its open says so

#include "sdk/Maid.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef CRAFTED_KIND
#error CRAFTED_KIND must be set
#endif

using namespace zarv;

namespace {

struct Pending {
    tagNkMAIDObject* object;
    uint32_t command, param, dataType;
    uint64_t data;
    LPMAIDCompletionProc proc;
    uint64_t ref;
    int32_t result;
};

Pending g_pending[64];
int g_pendingCount = 0;

void note(const char* what, uint32_t kind) {
    const char* path = std::getenv("ZARV_CRAFTED_MODULE_LOG");
    if (!path)
        return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s %u\n", what, kind);
        std::fclose(f);
    }
}

tagNkMAIDCapInfo cap(uint32_t id, uint32_t type, uint32_t ops, const char* text) {
    tagNkMAIDCapInfo info{};
    info.ulID = id;
    info.ulType = type;
    info.ulOperations = ops;
    std::snprintf(info.szDescription, sizeof info.szDescription, "%s", text);
    return info;
}

int capList(uint32_t kind, tagNkMAIDCapInfo* out) {
    tagNkMAIDCapInfo list[4];
    int n = 0;
    list[n++] = cap(kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, kNkMAIDCapOperation_Set,
                    "Event Proc");
    if (kind == kNkMAIDObjectType_Module) {
        list[n++] = cap(kNkMAIDCapability_Children, kNkMAIDCapType_Enum, kNkMAIDCapOperation_Get,
                        "Children");
        list[n++] = cap(kNkMAIDCapability_ModuleMode, kNkMAIDCapType_Unsigned,
                        kNkMAIDCapOperation_Get | kNkMAIDCapOperation_Set, "Module Mode");
    } else {
        list[n++] = cap(kNkMAIDCapability_CameraType, kNkMAIDCapType_Unsigned,
                        kNkMAIDCapOperation_Get, "Camera Type");
        list[n++] = cap(kNkMAIDCapability_ImageSize, kNkMAIDCapType_Enum, kNkMAIDCapOperation_Get,
                        "Image Size");
    }
    if (out)
        std::memcpy(out, list, sizeof(tagNkMAIDCapInfo) * size_t(n));
    return n;
}

int32_t run(tagNkMAIDObject* object, uint32_t command, uint32_t param, uint32_t dataType,
            uint64_t data) {
    switch (command) {
    case kNkMAIDCommand_Open: {
        if (!object && CRAFTED_KIND == 1)
            return kNkMAIDResult_UnexpectedError;
        if (object && CRAFTED_KIND == 6)
            return kNkMAIDResult_DeviceHeld;
        auto* record = wordToPtr<tagNkMAIDObject>(data);
        record->ulType = object ? object->ulType + 1 : uint32_t(kNkMAIDObjectType_Module);
        record->ulID = param;
        note("open", record->ulType);
        return 0;
    }
    case kNkMAIDCommand_Close:
        note("close", object->ulType);
        return 0;
    case kNkMAIDCommand_GetCapCount:
        *wordToPtr<uint32_t>(data) = uint32_t(capList(object->ulType, nullptr));
        return 0;
    case kNkMAIDCommand_GetCapInfo:
        capList(object->ulType, wordToPtr<tagNkMAIDCapInfo>(data));
        return 0;
    case kNkMAIDCommand_CapSet:
        return 0;
    case kNkMAIDCommand_CapGet:
        if (param == kNkMAIDCapability_Children && dataType == kNkMAIDDataType_EnumPtr) {
            if (CRAFTED_KIND == 3)
                return kNkMAIDResult_UnexpectedError;
            auto* e = wordToPtr<tagNkMAIDEnum>(data);
            e->ulType = kNkMAIDArrayType_Unsigned;
            e->ulElements = CRAFTED_KIND == 4 || CRAFTED_KIND == 6 ? 1 : 0;
            e->ulValue = 0;
            e->wPhysicalBytes = 4;
            return 0;
        }
        return kNkMAIDResult_UnexpectedError;
    case kNkMAIDCommand_CapGetArray:
        if (param == kNkMAIDCapability_Children && (CRAFTED_KIND == 4 || CRAFTED_KIND == 6)) {
            auto* e = wordToPtr<tagNkMAIDEnum>(data);
            *wordToPtr<uint32_t>(e->pData) = 1;
            return 0;
        }
        return kNkMAIDResult_UnexpectedError;
    default:
        return kNkMAIDResult_NotSupported;
    }
}

int32_t entry(tagNkMAIDObject* object, uint32_t command, uint32_t param, uint32_t dataType,
              uint64_t data, LPMAIDCompletionProc proc, uint64_t ref) {
    if (command == kNkMAIDCommand_Async) {
        const int n = g_pendingCount;
        g_pendingCount = 0;
        for (int i = 0; i < n; ++i) {
            const Pending& p = g_pending[i];
            p.proc(p.object, p.command, p.param, p.dataType, p.data, p.ref, p.result);
        }
        // Keep no pointer into the program's memory: leak checks must see what it frees.
        std::memset(static_cast<void*>(g_pending), 0, sizeof g_pending);
        return 0;
    }
    const int32_t result = run(object, command, param, dataType, data);
    if (proc && g_pendingCount < 64)
        g_pending[g_pendingCount++] = {object, command, param, dataType, data, proc, ref, result};
    return result;
}

} // namespace

#if CRAFTED_KIND != 5
extern "C" __attribute__((visibility("default"))) int32_t
MAIDEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam, uint32_t ulDataType,
               uint64_t data, LPMAIDCompletionProc pfnComplete, uint64_t refComplete) {
    return entry(pObject, ulCommand, ulParam, ulDataType, data, pfnComplete, refComplete);
}
#else
extern "C" __attribute__((visibility("default"))) int32_t
NotTheEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                 uint32_t ulDataType, uint64_t data, LPMAIDCompletionProc pfnComplete,
                 uint64_t refComplete) {
    return entry(pObject, ulCommand, ulParam, ulDataType, data, pfnComplete, refComplete);
}
#endif
