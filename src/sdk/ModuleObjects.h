#pragma once

// The module side's bookkeeping that every module of ours keeps the same way: its objects by
// handle, the callbacks the program set on each, the commands waiting for completion, and the
// calls back into the program. Header only, standard library only: modules link no Qt.
// Callbacks may call back into the module, so nothing here holds a reference into the tables
// across a callback.

#include "sdk/Maid.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace zarv::module {

constexpr uint32_t G = kNkMAIDCapOperation_Get;
constexpr uint32_t S = kNkMAIDCapOperation_Set;
constexpr uint32_t GS = G | S;
constexpr uint32_t St = kNkMAIDCapOperation_Start;

/// One row of an object's capability list.
struct CapDef {
    uint32_t id;
    uint32_t type;
    uint32_t ops;
    const char* description;
};

/// The capabilities the module, picture and data objects of every module of ours have; a
/// camera's own (its source's) list is the module's to give. Empty for any other kind.
inline const std::vector<CapDef>& standardCaps(uint32_t kind) {
    static const std::vector<CapDef> module = {
        {kNkMAIDCapability_AsyncRate, kNkMAIDCapType_Unsigned, GS, "Async Rate"},
        {kNkMAIDCapability_ProgressProc, kNkMAIDCapType_Callback, S, "Progress Proc"},
        {kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, S, "Event Proc"},
        {kNkMAIDCapability_UIRequestProc, kNkMAIDCapType_Callback, S, "UI Request Proc"},
        {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, G, "Children"},
        {kNkMAIDCapability_Name, kNkMAIDCapType_Unsigned, G, "Name"},
        {kNkMAIDCapability_ModuleType, kNkMAIDCapType_Unsigned, G, "Module Type"},
        {kNkMAIDCapability_Version, kNkMAIDCapType_Unsigned, G, "Version"},
        {kNkMAIDCapability_ModuleMode, kNkMAIDCapType_Unsigned, GS, "Module Mode"},
    };
    static const std::vector<CapDef> item = {
        {kNkMAIDCapability_ProgressProc, kNkMAIDCapType_Callback, S, "Progress Proc"},
        {kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, S, "Event Proc"},
        {kNkMAIDCapability_Children, kNkMAIDCapType_Enum, G, "Children"},
        {kNkMAIDCapability_DataTypes, kNkMAIDCapType_Unsigned, G, "Data Types"},
    };
    static const std::vector<CapDef> data = {
        {kNkMAIDCapability_ProgressProc, kNkMAIDCapType_Callback, S, "Progress Proc"},
        {kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, S, "Event Proc"},
        {kNkMAIDCapability_DataProc, kNkMAIDCapType_Callback, S, "Data Proc"},
        {kNkMAIDCapability_Acquire, kNkMAIDCapType_Process, St, "Acquire"},
    };
    static const std::vector<CapDef> none;
    switch (kind) {
    case kNkMAIDObjectType_Module:
        return module;
    case kNkMAIDObjectType_Item:
        return item;
    case kNkMAIDObjectType_DataObj:
        return data;
    default:
        return none;
    }
}

struct Object {
    uint32_t kind = 0;
    uint32_t id = 0;
    uint64_t parent = 0; // handle
    tagNkMAIDObject* record = nullptr;
    tagNkMAIDCallback procs[6] = {}; // by capability 2 to 5
};

/// An asynchronous command, completed on a later pump.
struct Pending {
    uint64_t object = 0; // handle of the object the command was issued on
    tagNkMAIDObject* record = nullptr;
    uint32_t command = 0, param = 0, dataType = 0;
    uint64_t data = 0;
    LPMAIDCompletionProc proc = nullptr;
    uint64_t ref = 0;
};

/// A module's objects and waiting commands. A module's state derives from it.
struct ObjectBook {
    uint64_t nextHandle = 1;
    std::map<uint64_t, Object> objects;
    uint64_t nextPending = 1;
    std::map<uint64_t, Pending> pending;

    Object* find(uint64_t handle) {
        auto it = objects.find(handle);
        return it == objects.end() ? nullptr : &it->second;
    }
    static uint64_t handleOf(const tagNkMAIDObject* record) {
        return record ? record->refModule : 0;
    }

    uint64_t addPending(uint64_t handle, tagNkMAIDObject* record, uint32_t command, uint32_t param,
                        uint32_t dataType, uint64_t data, LPMAIDCompletionProc proc, uint64_t ref) {
        const uint64_t id = nextPending++;
        pending[id] = Pending{handle, record, command, param, dataType, data, proc, ref};
        return id;
    }

    /// Completes a waiting command with `result`; unknown ids are ignored.
    void complete(uint64_t pendingId, int32_t result) {
        auto it = pending.find(pendingId);
        if (it == pending.end())
            return;
        const Pending p = it->second;
        pending.erase(it);
        if (p.proc)
            p.proc(p.record, p.command, p.param, p.dataType, p.data, p.ref, result);
    }

    /// Completes every command waiting on an object `on` accepts, at once, while the records
    /// are still valid.
    void cancelPending(const std::function<bool(uint64_t)>& on) {
        std::vector<uint64_t> ids;
        for (const auto& [id, p] : pending)
            if (on(p.object))
                ids.push_back(id);
        for (uint64_t id : ids)
            complete(id, kNkMAIDResult_UnexpectedError);
    }

    /// Sends an event to the object's event procedure, if the program set one.
    void sendEvent(uint64_t handle, uint32_t event, uint64_t data) {
        const Object* o = find(handle);
        if (!o || !o->procs[kNkMAIDCapability_EventProc].pProc)
            return;
        const tagNkMAIDCallback cb = o->procs[kNkMAIDCapability_EventProc];
        reinterpret_cast<LPMAIDEventProc>(wordToPtr<void>(cb.pProc))(cb.refProc, event, data);
    }
};

} // namespace zarv::module
