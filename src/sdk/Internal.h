#pragma once

// Shared between the client's source files; not for other subsystems.

#include "sdk/Function.h"

#include <memory>
#include <vector>

namespace zarv::sdk_internal {

/// The module may call back into us, and so change the tree, inside any call we make into it.
/// Memory of the tree given up meanwhile (a removed node, a replaced list) therefore stays
/// allocated until the outermost client function returns: every function that holds a pointer
/// into the tree across a module call keeps one of these for its whole run.
class TreeGuard {
public:
    TreeGuard();
    ~TreeGuard();
    TreeGuard(const TreeGuard&) = delete;
    TreeGuard& operator=(const TreeGuard&) = delete;
};

/// Frees a block of the tree now, or when the outermost TreeGuard ends.
void retireBlock(void* p);
/// True for a node removed during the current client call: still readable, no longer in the
/// tree, its object closed.
bool isRetired(const tagRefObj* pRef);

/// Owns a block from MaidAlloc until it is released, so that an unwinding failure frees it.
struct MaidDeleter {
    void operator()(void* p) const { MaidFree(p); }
};
template <typename T> using MaidPtr = std::unique_ptr<T, MaidDeleter>;

/// An object record left service (closed, freed or removed): waits on it stop pumping.
void noteObjectClosed(const tagNkMAIDObject* pObject);

/// Frees what a closed module still held: the records of commands it never completed and the
/// copies lent to them.
void releaseModuleHoldings();

/// The module showed it is alive (a data piece, a progress report): waits count their
/// deadline from now.
void noteProgress();

/// Callbacks run inside this guard: depth counts them, and any exception is recorded as a
/// pending failure instead of crossing the module's frames.
extern int g_nCallbackDepth;
extern int g_nPendingFailure; // 0 when none

/// Records `code` unless a failure is already pending.
void recordFailure(int code);

/// Runs `body` as a callback; returns its result, or `fallback` when it threw.
template <typename R, typename F> R guarded(R fallback, F&& body) {
    TreeGuard tree;
    ++g_nCallbackDepth;
    R r = fallback;
    try {
        r = body();
    } catch (const MaidException& e) {
        recordFailure(e.code());
    } catch (...) {
        recordFailure(kNkMAIDResult_UnexpectedError);
    }
    --g_nCallbackDepth;
    return r;
}

/// Starts an asynchronous command with a fresh completion record and waits for it.
/// Returns the immediate result; *pTimedOut tells whether the wait gave up. The module works on
/// a copy of what `data` points at, which the caller gets back once the command completed; a
/// copy the module may still write to stays allocated until Close_Module.
int32_t issueAndWait(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                     uint32_t ulDataType, uint64_t data, const char* what,
                     bool* pTimedOut = nullptr, tagDataRecord* pData = nullptr);

/// The ids of a node's child list (capability 7), in the module's order. False when the node
/// has no readable list of 4-byte ids; an empty list is a success.
bool readChildIds(LPRefObj pRef, std::vector<uint32_t>* pIDs);

} // namespace zarv::sdk_internal
