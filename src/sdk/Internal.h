#pragma once

// Shared between the client's source files; not for other subsystems.

#include "sdk/Function.h"

#include <string>
#include <string_view>

namespace zarv::sdk_internal {

/// Callbacks run inside this guard: depth counts them, and any exception is recorded as a
/// pending failure instead of crossing the module's frames.
extern int g_nCallbackDepth;
extern int g_nPendingFailure; // 0 when none

/// Records `code` unless a failure is already pending.
void recordFailure(int code);

/// Runs `body` as a callback; returns its result, or `fallback` when it threw.
template <typename R, typename F> R guarded(R fallback, F&& body) {
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
/// Returns the immediate result; *pTimedOut tells whether the wait gave up.
int32_t issueAndWait(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                     uint32_t ulDataType, uint64_t data, const char* what,
                     bool* pTimedOut = nullptr, tagDataRecord* pData = nullptr);

/// The mkostemp template of a picture being received where the folder cannot hold unnamed files:
/// a hidden name that RemoveLeftoverTransferFiles recognises as ours.
std::string transferFileTemplate(const std::string& folder);
/// Whether a file name is one that transferFileTemplate makes.
bool isTransferFileName(std::string_view name);

} // namespace zarv::sdk_internal
