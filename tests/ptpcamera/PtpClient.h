// A minimal program side of the module contract for the PTP module's tests: it opens the
// module, the camera, items and data objects, pumps, and records events and data pieces.

#pragma once

#include "Module.h"

#include "sdk/Maid.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zarv::ptp::test {

struct PtpClient {
    using Entry = int32_t (*)(tagNkMAIDObject*, uint32_t, uint32_t, uint32_t, uint64_t,
                              LPMAIDCompletionProc, uint64_t);
    Entry entry = &zarv::ptp::entry;
    tagNkMAIDObject module{}, source{}, item{}, data{};
    std::vector<std::pair<uint32_t, uint64_t>> moduleEvents, sourceEvents;
    std::string received;
    std::vector<uint32_t> pieces;
    uint32_t fileType = 0;      // of the last piece
    bool removesObject = false; // the last piece says the camera no longer has the picture
    int completions = 0;
    int pumps = 0;
    int32_t lastResult = 1;
    bool closeInDataProc = false;

    static void onModuleEvent(uint64_t ref, uint32_t event, uint64_t data) {
        reinterpret_cast<PtpClient*>(ref)->moduleEvents.emplace_back(event, data);
    }
    static void onSourceEvent(uint64_t ref, uint32_t event, uint64_t data) {
        reinterpret_cast<PtpClient*>(ref)->sourceEvents.emplace_back(event, data);
    }
    static int32_t onData(uint64_t ref, void* info, void* bytes) {
        auto* c = reinterpret_cast<PtpClient*>(ref);
        const auto* fi = static_cast<tagNkMAIDFileInfo*>(info);
        if (fi->ulStart != c->received.size())
            return kNkMAIDResult_UnexpectedError;
        c->received.append(static_cast<const char*>(bytes), fi->ulLength);
        c->pieces.push_back(fi->ulLength);
        c->fileType = fi->ulFileDataType;
        c->removesObject = fi->fRemoveObject != 0;
        if (c->closeInDataProc)
            c->call(&c->data, kNkMAIDCommand_Close, 0, 0, 0);
        return kNkMAIDResult_NoError;
    }
    static void onComplete(tagNkMAIDObject*, uint32_t, uint32_t, uint32_t, uint64_t, uint64_t ref,
                           int32_t result) {
        auto* c = reinterpret_cast<PtpClient*>(ref);
        ++c->completions;
        c->lastResult = result;
    }

    int32_t call(tagNkMAIDObject* o, uint32_t command, uint32_t param, uint32_t type,
                 uint64_t word) {
        return entry(o, command, param, type, word, nullptr, 0);
    }
    int32_t callAsync(tagNkMAIDObject* o, uint32_t command, uint32_t param, uint32_t type,
                      uint64_t word) {
        return entry(o, command, param, type, word, &onComplete, ptrToWord(this));
    }
    int32_t setProc(tagNkMAIDObject* o, uint32_t cap, void* proc) {
        tagNkMAIDCallback cb{ptrToWord(reinterpret_cast<void*>(proc)), ptrToWord(this)};
        return call(o, kNkMAIDCommand_CapSet, cap, kNkMAIDDataType_CallbackPtr, ptrToWord(&cb));
    }
    int32_t open(tagNkMAIDObject* parent, uint32_t id, tagNkMAIDObject* child) {
        std::memset(child, 0, sizeof *child);
        return entry(parent, kNkMAIDCommand_Open, id, kNkMAIDDataType_ObjectPtr, ptrToWord(child),
                     nullptr, 0);
    }
    // The ids of an object's children, as the program reads them: count, then the array.
    std::vector<uint32_t> children(tagNkMAIDObject* o) {
        tagNkMAIDEnum e{};
        if (call(o, kNkMAIDCommand_CapGet, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                 ptrToWord(&e)) != kNkMAIDResult_NoError ||
            e.ulElements == 0)
            return {};
        std::vector<uint32_t> ids(e.ulElements);
        e.pData = ptrToWord(ids.data());
        if (call(o, kNkMAIDCommand_CapGetArray, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                 ptrToWord(&e)) != kNkMAIDResult_NoError)
            return {};
        ids.resize(e.ulElements);
        return ids;
    }
    // Pumps until the condition holds or seconds pass.
    bool pumpUntil(const std::function<bool()>& done, double seconds = 5) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            const int32_t r = call(&module, kNkMAIDCommand_Async, 0, 0, 0);
            ++pumps;
            if (r != kNkMAIDResult_NoError && r != kNkMAIDResult_Pending)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(10)); // as the program does
        }
        return true;
    }
    bool openModule() {
        if (open(nullptr, 0, &module) != kNkMAIDResult_NoError)
            return false;
        return setProc(&module, kNkMAIDCapability_EventProc,
                       reinterpret_cast<void*>(&onModuleEvent)) == kNkMAIDResult_NoError;
    }
    int32_t openSource(uint32_t id = 1) {
        const int32_t r = open(&module, id, &source);
        if (r == kNkMAIDResult_NoError)
            setProc(&source, kNkMAIDCapability_EventProc, reinterpret_cast<void*>(&onSourceEvent));
        return r;
    }
    // The id of the first item the source announced.
    uint32_t waitForItem(size_t n = 1) {
        size_t seen = 0;
        uint32_t id = 0;
        pumpUntil([&] {
            seen = 0;
            for (const auto& [event, child] : sourceEvents)
                if (event == kNkMAIDEvent_AddChild && ++seen == n)
                    id = uint32_t(child);
            return seen >= n;
        });
        return id;
    }
    // Opens the item and its image and starts the acquire; returns the immediate result.
    int32_t startAcquire(uint32_t itemId) {
        if (open(&source, itemId, &item) != kNkMAIDResult_NoError ||
            open(&item, kNkMAIDDataObjType_Image, &data) != kNkMAIDResult_NoError)
            return kNkMAIDResult_UnexpectedError;
        setProc(&data, kNkMAIDCapability_DataProc, reinterpret_cast<void*>(&onData));
        received.clear();
        pieces.clear();
        completions = 0;
        pumps = 0;
        return callAsync(&data, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire,
                         kNkMAIDDataType_Null, 0);
    }
    bool waitForCompletion(double seconds = 10) {
        return pumpUntil([&] { return completions > 0; }, seconds);
    }
    void closeModule() {
        if (module.refModule)
            call(&module, kNkMAIDCommand_Close, 0, 0, 0);
        module = {};
    }
};

} // namespace zarv::ptp::test
