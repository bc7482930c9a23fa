#pragma once

// The module side's bookkeeping that every module of ours keeps the same way: its objects by
// handle, the callbacks the program set on each, the commands waiting for completion, the work
// left for later pumps, the calls back into the program, and the one command skeleton
// (dispatch) around each module's own hooks. Header only, standard library only: modules link
// no Qt. Callbacks may call back into the module, so nothing here holds a reference into the
// tables across a callback.

#include "sdk/Maid.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <utility>
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

/// A module's objects, waiting commands and work for later pumps. A module's state derives
/// from it.
struct ObjectBook {
    uint64_t nextHandle = 1;
    std::map<uint64_t, Object> objects;
    uint64_t nextPending = 1;
    std::map<uint64_t, Pending> pending;
    // Run one a pump, oldest first: completions, events, a transfer's next step.
    std::deque<std::function<void()>> actions;

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

    /// Runs the oldest action, if any; whether there was one. The action may close the module.
    bool runNextAction() {
        if (actions.empty())
            return false;
        std::function<void()> action = std::move(actions.front());
        actions.pop_front();
        action();
        return true;
    }

    /// Files an object the module has opened under a new handle, and tells the program's
    /// record its kind, id and handle.
    uint64_t add(const Object& o) {
        const uint64_t handle = nextHandle++;
        o.record->ulType = o.kind;
        o.record->ulID = o.id;
        o.record->refModule = handle;
        objects[handle] = o;
        return handle;
    }

    /// The handles of the objects open directly below an object.
    std::vector<uint64_t> childrenOf(uint64_t handle) const {
        std::vector<uint64_t> children;
        for (const auto& [h, child] : objects)
            if (child.parent == handle)
                children.push_back(h);
        return children;
    }
};

// --- Capability helpers every module's hooks share --------------------------------------------

inline void fillEnum(tagNkMAIDEnum* e, uint32_t type, uint32_t elements, uint32_t current,
                     uint16_t bytes) {
    e->ulType = type;
    e->ulElements = elements;
    e->ulValue = current;
    e->ulDefault = 0;
    e->wPhysicalBytes = bytes;
}

/// The answers every module gives alike about an object's children: how many there are (an
/// enumeration record the program then reads the ids into), and the data types they hold (the
/// ids are the data types). Unexpected when the data type is not the one asked for.
inline int32_t answerChildCount(uint32_t dataType, uint64_t data, size_t count) {
    if (dataType != kNkMAIDDataType_EnumPtr)
        return kNkMAIDResult_UnexpectedError;
    fillEnum(wordToPtr<tagNkMAIDEnum>(data), kNkMAIDArrayType_Unsigned, uint32_t(count), 0, 4);
    return kNkMAIDResult_NoError;
}
inline int32_t answerDataTypes(uint32_t dataType, uint64_t data, const std::vector<uint32_t>& ids) {
    if (dataType != kNkMAIDDataType_UnsignedPtr)
        return kNkMAIDResult_UnexpectedError;
    uint32_t bits = 0;
    for (uint32_t id : ids)
        bits |= id;
    *wordToPtr<uint32_t>(data) = bits;
    return kNkMAIDResult_NoError;
}

/// Sets (or, with no data, clears) one of the object's callbacks.
inline int32_t setCallback(Object& o, uint32_t cap, uint32_t dataType, uint64_t data) {
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

/// The child list's array into the program's enumeration record.
inline int32_t copyChildIds(tagNkMAIDEnum* e, const std::vector<uint32_t>& ids) {
    // The caller's array was sized from an earlier get: never write past it.
    if (e->wPhysicalBytes != 4 || e->ulElements < ids.size())
        return kNkMAIDResult_UnexpectedError;
    std::memcpy(wordToPtr<uint8_t>(e->pData), ids.data(), ids.size() * 4);
    e->ulElements = uint32_t(ids.size());
    return kNkMAIDResult_NoError;
}

// --- The command skeleton ---------------------------------------------------------------------

/// A module's own part of the commands; dispatch() keeps the bookkeeping around them. Every
/// hook runs on the program's thread and may call back into the program.
struct Hooks {
    /// Opens child `id` of the object behind `parent` (none: the module object itself) into the
    /// record `data` points to, filing it with ObjectBook::add.
    int32_t (*open)(tagNkMAIDObject* parent, uint32_t id, uint32_t dataType, uint64_t data);
    /// Closes the object and what is open below it, completing what waited on them.
    int32_t (*close)(uint64_t handle);
    /// Command 0: the module's work for one turn, usually ObjectBook::runNextAction among it.
    int32_t (*pump)();
    /// The ids of an object's children as the camera knows them now.
    std::vector<uint32_t> (*childIds)(const Object& o);
    /// Before the children are enumerated (may be null).
    void (*beforeEnumeration)(const Object& o);
    uint32_t (*capCount)(const Object& o);
    int32_t (*capInfo)(const Object& o, uint32_t count, uint32_t dataType, uint64_t data);
    int32_t (*capGet)(const Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
    int32_t (*capGetArray)(const Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
    int32_t (*capSet)(Object& o, uint32_t cap, uint32_t dataType, uint64_t data);
    /// Sets *completesLater when the module itself completes `pendingId` on a later pump.
    int32_t (*capStart)(const Object& o, uint64_t handle, uint32_t cap, uint64_t pendingId,
                        bool* completesLater);
};

/// One command from the program. An asynchronous command's result reaches its completion
/// procedure on a later pump (or when the module completes it, for a start that says so); a
/// synchronous one leaves nothing waiting. Children are enumerated as add-child events, one a
/// pump.
inline int32_t dispatch(ObjectBook& book, const Hooks& hooks, tagNkMAIDObject* record,
                        uint32_t command, uint32_t param, uint32_t dataType, uint64_t data,
                        LPMAIDCompletionProc proc, uint64_t ref) {
    if (command == kNkMAIDCommand_Open && !record)
        return hooks.open(nullptr, param, dataType, data);
    const uint64_t handle = ObjectBook::handleOf(record);
    Object* o = book.find(handle);
    if (!o)
        return kNkMAIDResult_UnexpectedError;
    if (command == kNkMAIDCommand_Async)
        return hooks.pump();
    if (command == kNkMAIDCommand_Open)
        return hooks.open(record, param, dataType, data);
    if (command == kNkMAIDCommand_Close)
        return hooks.close(handle);

    const uint64_t pendingId =
        book.addPending(handle, record, command, param, dataType, data, proc, ref);
    bool completesLater = false;
    int32_t result = kNkMAIDResult_NotSupported;
    switch (command) {
    case kNkMAIDCommand_GetCapCount: {
        auto* count = wordToPtr<uint32_t>(data);
        if (dataType != kNkMAIDDataType_UnsignedPtr || !count) {
            result = kNkMAIDResult_UnexpectedError;
        } else {
            *count = hooks.capCount(*o);
            result = kNkMAIDResult_NoError;
        }
        break;
    }
    case kNkMAIDCommand_GetCapInfo:
        result = hooks.capInfo(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_CapStart:
        result = hooks.capStart(*o, handle, param, pendingId, &completesLater);
        break;
    case kNkMAIDCommand_CapSet:
        result = hooks.capSet(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_CapGet:
        result = hooks.capGet(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_CapGetArray:
        result = hooks.capGetArray(*o, param, dataType, data);
        break;
    case kNkMAIDCommand_EnumChildren:
        if (hooks.beforeEnumeration)
            hooks.beforeEnumeration(*o);
        for (uint32_t id : hooks.childIds(*o))
            book.actions.push_back(
                [&book, handle, id] { book.sendEvent(handle, kNkMAIDEvent_AddChild, id); });
        result = kNkMAIDResult_NoError;
        break;
    default:
        break;
    }
    if (!book.pending.count(pendingId))
        return result; // completed already (the object went while the command ran)
    if (!proc)
        book.pending.erase(pendingId); // a synchronous call: nothing to complete
    else if (!completesLater)
        book.actions.push_back([&book, pendingId, result] { book.complete(pendingId, result); });
    return result;
}

} // namespace zarv::module
