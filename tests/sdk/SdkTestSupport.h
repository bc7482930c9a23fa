#pragma once

// Shared by the SDK client's tests: a scripted in-process module and a private settings file.

#include "sdk/CallBack.h"
#include "sdk/Function.h"

#include "platform/UserDefaults.h"

#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace zarv::test {

/// Points the settings database at a private folder before anything uses it.
inline void usePrivateSettings() {
    static QTemporaryDir* dir = [] {
        auto* d = new QTemporaryDir;
        qputenv("XDG_CONFIG_HOME", d->path().toUtf8());
        UserDefaults::setStandardIdentifier(
            QStringLiteral("com.quellbay.ZarvNikonCapture.sdktest"));
        return d;
    }();
    (void)dir;
}

inline tagNkMAIDCapInfo cap(uint32_t id, uint32_t type, uint32_t ops, const char* text = "") {
    tagNkMAIDCapInfo info{};
    info.ulID = id;
    info.ulType = type;
    info.ulOperations = ops;
    std::snprintf(info.szDescription, sizeof info.szDescription, "%s", text);
    return info;
}

/// A module whose behaviour each test scripts. Asynchronous commands complete on the next pump
/// with their immediate result; each pump runs one queued action.
class ScriptedModule {
public:
    struct Call {
        tagNkMAIDObject* object;
        uint32_t command, param, dataType;
        uint64_t data;
        bool async;
    };

    ScriptedModule() {
        current() = this;
        g_pMAIDEntryPoint = &ScriptedModule::entry;
        capLists[kNkMAIDObjectType_Module] = {
            cap(kNkMAIDCapability_ProgressProc, kNkMAIDCapType_Callback, kNkMAIDCapOperation_Set),
            cap(kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, kNkMAIDCapOperation_Set),
            cap(kNkMAIDCapability_Children, kNkMAIDCapType_Enum, kNkMAIDCapOperation_Get)};
        for (uint32_t kind :
             {kNkMAIDObjectType_Source, kNkMAIDObjectType_Item, kNkMAIDObjectType_DataObj})
            capLists[kind] = {
                cap(kNkMAIDCapability_EventProc, kNkMAIDCapType_Callback, kNkMAIDCapOperation_Set)};
    }
    ~ScriptedModule() {
        flush();
        for (auto& f : held)
            f();
        g_pMAIDEntryPoint = nullptr;
        current() = nullptr;
    }

    /// Runs everything still queued (completions included), as a module does when closed.
    void flush() {
        while (!queue.empty()) {
            auto f = std::move(queue.front());
            queue.pop_front();
            f();
        }
    }

    /// The default behaviour for a command: opens by kind, capability lists by kind, callbacks
    /// remembered per object; everything else succeeds.
    int32_t standard(const Call& c) {
        switch (c.command) {
        case kNkMAIDCommand_Open: {
            auto* rec = wordToPtr<tagNkMAIDObject>(c.data);
            rec->ulType = c.object ? c.object->ulType + 1 : uint32_t(kNkMAIDObjectType_Module);
            rec->ulID = c.param;
            return 0;
        }
        case kNkMAIDCommand_GetCapCount:
            *wordToPtr<uint32_t>(c.data) = uint32_t(capLists[c.object->ulType].size());
            return 0;
        case kNkMAIDCommand_GetCapInfo: {
            const auto& list = capLists[c.object->ulType];
            std::memcpy(wordToPtr<void>(c.data), list.data(),
                        list.size() * sizeof(tagNkMAIDCapInfo));
            return 0;
        }
        case kNkMAIDCommand_CapSet:
            if (c.param >= 2 && c.param <= 5) {
                if (c.dataType == kNkMAIDDataType_Null)
                    callbacks[c.object].erase(c.param);
                else
                    callbacks[c.object][c.param] = *wordToPtr<tagNkMAIDCallback>(c.data);
            }
            return 0;
        default:
            return 0;
        }
    }

    /// Calls the event procedure installed on an object.
    void event(tagNkMAIDObject* object, uint32_t ev, uint64_t data) {
        const tagNkMAIDCallback cb = callbacks[object][kNkMAIDCapability_EventProc];
        ASSERT_NE(cb.pProc, 0u);
        reinterpret_cast<LPMAIDEventProc>(wordToPtr<void>(cb.pProc))(cb.refProc, ev, data);
    }

    /// Runs `action` once, from inside the first later command (a pump included) that `when`
    /// accepts, before that command returns: a module reporting an event while busy with a call.
    void onceInside(std::function<bool(const Call&)> when, std::function<void()> action) {
        triggers.push_back({std::move(when), std::move(action)});
    }
    /// Matches a command on one object.
    static std::function<bool(const Call&)> on(uint32_t command, const tagNkMAIDObject* object) {
        return [=](const Call& c) { return c.command == command && c.object == object; };
    }

    int count(uint32_t command) const {
        int n = 0;
        for (const Call& c : calls)
            n += c.command == command;
        return n;
    }

    std::vector<Call> calls;
    std::deque<std::function<void()>> queue;
    std::vector<std::function<void()>> held; // completions the module keeps back (see completes)
    std::deque<int32_t> pumpResults;         // returned by the next pumps, before any work
    std::function<int32_t(const Call&)> handler; // null: standard()
    std::function<bool(const Call&)> completes;  // null: every asynchronous command completes
    std::map<uint32_t, std::vector<tagNkMAIDCapInfo>> capLists; // object kind -> capabilities
    std::map<tagNkMAIDObject*, std::map<uint32_t, tagNkMAIDCallback>> callbacks;
    int pumps = 0;

private:
    struct Trigger {
        std::function<bool(const Call&)> when;
        std::function<void()> action;
    };
    std::vector<Trigger> triggers;

    // Takes the first trigger the call matches out of the list (its action may call us again).
    void fire(const Call& call) {
        for (auto it = triggers.begin(); it != triggers.end(); ++it) {
            if (it->when(call)) {
                auto action = std::move(it->action);
                triggers.erase(it);
                action();
                return;
            }
        }
    }

    static ScriptedModule*& current() {
        static ScriptedModule* m = nullptr;
        return m;
    }

    static int32_t entry(tagNkMAIDObject* object, uint32_t command, uint32_t param,
                         uint32_t dataType, uint64_t data, LPMAIDCompletionProc proc,
                         uint64_t ref) {
        ScriptedModule& m = *current();
        if (command == kNkMAIDCommand_Async) {
            ++m.pumps;
            m.fire(Call{object, command, param, dataType, data, false});
            if (!m.pumpResults.empty()) {
                const int32_t r = m.pumpResults.front();
                m.pumpResults.pop_front();
                return r;
            }
            if (!m.queue.empty()) {
                auto f = std::move(m.queue.front());
                m.queue.pop_front();
                f();
            }
            return 0;
        }
        const Call call{object, command, param, dataType, data, proc != nullptr};
        m.calls.push_back(call);
        const int32_t r = m.handler ? m.handler(call) : m.standard(call);
        m.fire(call);
        if (proc) {
            auto completion = [=] { proc(object, command, param, dataType, data, ref, r); };
            if (!m.completes || m.completes(call))
                m.queue.push_back(completion);
            else
                m.held.push_back(completion);
        }
        return r;
    }
};

/// A root node opened on the scripted module, closed (and freed) at the end.
struct ScriptedRoot {
    explicit ScriptedRoot(ScriptedModule& m) : module(m) {
        InitRefObj(&root);
        root.object = static_cast<tagNkMAIDObject*>(MaidAlloc(sizeof(tagNkMAIDObject)));
        std::memset(root.object, 0, sizeof(tagNkMAIDObject));
        root.object->refClient = ptrToWord(&root);
        EXPECT_TRUE(Command_Open(nullptr, root.object, 0));
        EXPECT_TRUE(EnumCapabilities(root.object, &root.capCount, &root.capInfos));
        EXPECT_TRUE(SetProc(&root));
    }
    ~ScriptedRoot() {
        EXPECT_TRUE(Close_Module(&root));
        module.flush();
    }
    ScriptedModule& module;
    tagRefObj root;
};

/// Gives data objects a data procedure, then opens source `sourceId`, its item `itemId` and the
/// item's image data object under `r`. Returns the item; null when an open failed.
inline LPRefObj openImageItem(ScriptedModule& m, ScriptedRoot& r, int32_t sourceId = 1,
                              int32_t itemId = 0x100) {
    m.capLists[kNkMAIDObjectType_DataObj].push_back(
        cap(kNkMAIDCapability_DataProc, kNkMAIDCapType_Callback, kNkMAIDCapOperation_Set));
    if (!AddChild(&r.root, sourceId) || !AddChild(r.root.children[0], itemId))
        return nullptr;
    LPRefObj item = r.root.children[0]->children[0];
    return AddChild(item, kNkMAIDDataObjType_Image) ? item : nullptr;
}

} // namespace zarv::test
