// Failures, memory, entry calls and the command layer over a bound module.

#include "sdk/Function.h"
#include "platform/Log.h"

#include "sdk/CallBack.h"
#include "sdk/Internal.h"

#include "platform/UserDefaults.h"

#include <QDebug>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zarv {

LPMAIDEntryPointProc g_pMAIDEntryPoint = nullptr;
const char* const kMaidCommandTimeoutKey = "prefMaidCommandTimeout";

MaidException::MaidException(int code)
    : std::runtime_error("MAID module failure " + std::to_string(code)), m_code(code) {}

namespace sdk_internal {

int g_nCallbackDepth = 0;
int g_nPendingFailure = 0;

void recordFailure(int code) {
    if (g_nPendingFailure == 0)
        g_nPendingFailure = code;
}

} // namespace sdk_internal

using namespace sdk_internal;

void RaiseMaidFailure(int code) {
    recordFailure(code);
}

// --- Memory ----------------------------------------------------------------------------------

namespace {

long g_allocationLimit = -1;
long g_liveAllocations = 0;

bool allocationAllowed() {
    if (g_allocationLimit < 0)
        return true;
    if (g_allocationLimit == 0)
        return false;
    --g_allocationLimit;
    return true;
}

// Completion records handed to the module and not yet completed, each with where its issuer
// wants the result (null once it stopped waiting). A completion whose record is not here (a
// module completing twice, or inventing a reference) is ignored.
std::unordered_map<tagCompletionRecord*, int32_t*>& outstandingRecords() {
    static std::unordered_map<tagCompletionRecord*, int32_t*> records;
    return records;
}

// Blocks lent to the module for a wait that was given up: it may still write to them, so they
// stay allocated until the module is closed.
std::vector<void*>& keptForModule() {
    static std::vector<void*> blocks;
    return blocks;
}

// Object records opened and not yet freed. A wait whose object is closed by a callback during
// the wait (the camera dropping a picture while it is being fetched) must stop pumping it.
std::unordered_set<const tagNkMAIDObject*>& openObjects() {
    static std::unordered_set<const tagNkMAIDObject*> objects;
    return objects;
}

// The last sign of life from the module; waits count their deadline from it when it is later
// than their start.
std::chrono::steady_clock::time_point g_lastProgress;

double commandTimeoutSeconds() {
    bool ok = false;
    const double seconds = UserDefaults::standard()
                               .objectForKey(QString::fromLatin1(kMaidCommandTimeoutKey))
                               .toDouble(&ok);
    return ok && seconds > 0 ? seconds : kDefaultMaidCommandTimeout;
}

} // namespace

namespace sdk_internal {

void noteProgress() {
    g_lastProgress = std::chrono::steady_clock::now();
}

void noteObjectClosed(const tagNkMAIDObject* pObject) {
    openObjects().erase(pObject);
}

void releaseModuleHoldings() {
    for (const auto& rec : outstandingRecords()) {
        if (auto* dataRec = wordToPtr<tagDataRecord>(rec.first->pRefData)) {
            DiscardPicture(dataRec);
            MaidFree(dataRec);
        }
        MaidFree(rec.first);
    }
    outstandingRecords().clear();
    for (void* block : std::exchange(keptForModule(), {}))
        MaidFree(block);
}

} // namespace sdk_internal

bool IsObjectOpen(const tagNkMAIDObject* pObject) {
    return openObjects().count(pObject) != 0;
}

void* MaidAlloc(size_t size) {
    void* p = allocationAllowed() ? std::malloc(size == 0 ? 1 : size) : nullptr;
    g_liveAllocations += p != nullptr;
    return p;
}

void* MaidRealloc(void* p, size_t size) {
    void* q = allocationAllowed() ? std::realloc(p, size == 0 ? 1 : size) : nullptr;
    g_liveAllocations += p == nullptr && q != nullptr;
    return q;
}

void MaidFree(void* p) {
    g_liveAllocations -= p != nullptr;
    std::free(p);
}

long MaidLiveAllocations() {
    return g_liveAllocations;
}

void SetMaidAllocationLimit(long count) {
    g_allocationLimit = count;
}

void ForgetCompletionCounter(const uint32_t* pulCount) {
    for (auto& [rec, result] : outstandingRecords()) {
        if (rec->pulCount == ptrToWord(pulCount)) {
            rec->pulCount = 0;
            result = nullptr;
        }
    }
}

tagCompletionRecord* NewCompletionRecord(uint32_t* pulCount, tagDataRecord* pData,
                                         int32_t* pResult) {
    auto* rec = static_cast<tagCompletionRecord*>(MaidAlloc(sizeof(tagCompletionRecord)));
    if (!rec)
        return nullptr;
    rec->pulCount = ptrToWord(pulCount);
    rec->nResult = 0;
    rec->ulReserved = 0;
    rec->pRefData = ptrToWord(pData);
    outstandingRecords().emplace(rec, pResult);
    return rec;
}

// --- Entry calls -----------------------------------------------------------------------------

int32_t CallMAIDEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                           uint32_t ulDataType, uint64_t data, LPMAIDCompletionProc pfnComplete,
                           uint64_t refComplete) {
    if (!g_pMAIDEntryPoint) {
        qCWarning(zarvSdk).noquote()
            << QStringLiteral("No camera module is bound (command %1)").arg(ulCommand);
        return kNkMAIDResult_UnexpectedError;
    }
    const int32_t result =
        g_pMAIDEntryPoint(pObject, ulCommand, ulParam, ulDataType, data, pfnComplete, refComplete);
    if (g_nPendingFailure != 0 && g_nCallbackDepth == 0) {
        const int code = g_nPendingFailure;
        g_nPendingFailure = 0;
        throw MaidException(code);
    }
    return result;
}

void CompletionProc(tagNkMAIDObject*, uint32_t ulCommand, uint32_t ulParam, uint32_t, uint64_t,
                    uint64_t refComplete, int32_t nResult) {
    auto* rec = wordToPtr<tagCompletionRecord>(refComplete);
    const auto found = outstandingRecords().find(rec);
    if (!rec || found == outstandingRecords().end()) {
        qCWarning(zarvSdk).noquote()
            << QStringLiteral("Ignoring a completion with an unknown reference (command %1)")
                   .arg(ulCommand);
        return;
    }
    int32_t* resultSlot = found->second;
    outstandingRecords().erase(found);
    if (ulCommand == kNkMAIDCommand_CapStart && ulParam == kNkMAIDCapability_Acquire) {
        if (auto* dataRec = wordToPtr<tagDataRecord>(rec->pRefData)) {
            // A picture refused or cut short was not saved, whatever the module reports.
            if (nResult >= 0 && (dataRec->fFailed || dataRec->pBuffer))
                nResult = kNkMAIDResult_UnexpectedError;
            DiscardPicture(dataRec); // a picture that never completed leaves nothing behind
            MaidFree(dataRec);
        }
    }
    rec->nResult = nResult;
    if (resultSlot)
        *resultSlot = nResult;
    if (auto* counter = wordToPtr<uint32_t>(rec->pulCount))
        ++*counter;
    if (ulCommand == kNkMAIDCommand_CapStart && ulParam == kNkMAIDCapability_Capture)
        qCInfo(zarvSdk).noquote() << "Captureed new image...";
    MaidFree(rec);
}

namespace {

// The bytes a command's data word points at, for the data types that point at something.
size_t lentSize(uint32_t ulParam, uint32_t ulDataType) {
    switch (ulDataType) {
    case kNkMAIDDataType_UnsignedPtr:
        return sizeof(uint32_t);
    case kNkMAIDDataType_CallbackPtr:
        return sizeof(tagNkMAIDCallback);
    case kNkMAIDDataType_RangePtr:
        return sizeof(tagNkMAIDRange);
    case kNkMAIDDataType_EnumPtr:
        return sizeof(tagNkMAIDEnum);
    case kNkMAIDDataType_CapInfoPtr:
        return size_t(ulParam) * sizeof(tagNkMAIDCapInfo);
    case kNkMAIDDataType_StringPtr:
        return 256;
    case kNkMAIDDataType_LiveViewFramePtr:
        return sizeof(tagNkMAIDLiveViewFrame);
    default:
        return 0; // a value, or nothing the module writes back
    }
}

// The module may write a command's data until it completes, however long we wait. So it gets a
// copy of the caller's memory (and of what it points at: an enumeration's element array, a
// frame's buffer), which goes back to the caller once the command completed; the copy of a
// command that never completed stays with the module until it is closed.
class LentData {
public:
    LentData(uint32_t ulParam, uint32_t ulDataType, uint64_t data, const uint32_t* pulCount)
        : m_caller(wordToPtr<uint8_t>(data)), m_size(data ? lentSize(ulParam, ulDataType) : 0),
          m_count(pulCount) {
        if (m_size == 0)
            return;
        m_copy = static_cast<uint8_t*>(MaidAlloc(m_size));
        if (!m_copy)
            return;
        std::memcpy(m_copy, m_caller, m_size);
        if (ulDataType == kNkMAIDDataType_EnumPtr) {
            auto* e = reinterpret_cast<tagNkMAIDEnum*>(m_copy);
            m_pointer = &e->pData;
            m_arraySize = size_t(e->ulElements) * e->wPhysicalBytes;
        } else if (ulDataType == kNkMAIDDataType_LiveViewFramePtr) {
            auto* f = reinterpret_cast<tagNkMAIDLiveViewFrame*>(m_copy);
            m_pointer = &f->pData;
            m_arraySize = f->ulSize;
        } else {
            return;
        }
        m_callerArray = wordToPtr<uint8_t>(*m_pointer);
        if (!m_callerArray)
            return;
        m_array = static_cast<uint8_t*>(MaidAlloc(m_arraySize));
        if (m_array)
            std::memcpy(m_array, m_callerArray, m_arraySize);
        *m_pointer = ptrToWord(m_array);
    }
    ~LentData() {
        if (m_handedOver && *m_count == 0) {
            for (void* block : {static_cast<void*>(m_copy), static_cast<void*>(m_array)})
                if (block)
                    keptForModule().push_back(block);
            return;
        }
        MaidFree(m_copy);
        MaidFree(m_array);
    }
    LentData(const LentData&) = delete;
    LentData& operator=(const LentData&) = delete;

    bool allocated() const {
        return m_size == 0 || (m_copy && (!m_callerArray || m_array || m_arraySize == 0));
    }
    uint64_t word(uint64_t data) {
        m_handedOver = true;
        return m_copy ? ptrToWord(m_copy) : data;
    }

    // The outcome goes to the caller's memory; what it points at stays where the caller put it.
    void giveBack() {
        if (!m_copy)
            return;
        std::memcpy(m_caller, m_copy, m_size);
        if (m_callerArray) {
            std::memcpy(m_callerArray, m_array, m_arraySize);
            *reinterpret_cast<uint64_t*>(m_caller + (reinterpret_cast<uint8_t*>(m_pointer) -
                                                     m_copy)) = ptrToWord(m_callerArray);
        }
    }

private:
    uint8_t* m_caller;
    size_t m_size;
    const uint32_t* m_count;
    uint8_t* m_copy = nullptr;
    uint64_t* m_pointer = nullptr; // in the copy: the word that points at the array
    uint8_t* m_callerArray = nullptr;
    size_t m_arraySize = 0;
    uint8_t* m_array = nullptr;
    bool m_handedOver = false;
};

} // namespace

namespace sdk_internal {

int32_t issueAndWait(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                     uint32_t ulDataType, uint64_t data, const char* what, bool* pTimedOut,
                     tagDataRecord* pData) {
    if (pTimedOut)
        *pTimedOut = false;
    uint32_t ulCount = 0;
    LentData lent(ulParam, ulDataType, data, &ulCount);
    tagCompletionRecord* rec = lent.allocated() ? NewCompletionRecord(&ulCount, pData) : nullptr;
    if (!rec) {
        Log::diagnostic("There is not enough memory\n");
        return kNkMAIDResult_OutOfMemory;
    }
    // However the wait ends (even by an exception), a late completion must not reach the
    // counter on this stack frame.
    struct Forget {
        uint32_t* counter;
        ~Forget() { ForgetCompletionCounter(counter); }
    } forget{&ulCount};
    const int32_t result = CallMAIDEntryPoint(pObject, ulCommand, ulParam, ulDataType,
                                              lent.word(data), CompletionProc, ptrToWord(rec));
    const bool done = IdleLoop(pObject, &ulCount, 1, what);
    if (done)
        lent.giveBack();
    if (pTimedOut)
        *pTimedOut = !done;
    return result;
}

} // namespace sdk_internal

// --- Commands ------------------------------------------------------------------------------

bool Command_Open(tagNkMAIDObject* pParentObj, tagNkMAIDObject* pChildObj, uint32_t ulChildID,
                  int32_t* pResult) {
    const int32_t result =
        CallMAIDEntryPoint(pParentObj, kNkMAIDCommand_Open, ulChildID, kNkMAIDDataType_ObjectPtr,
                           ptrToWord(pChildObj), nullptr, 0);
    if (pResult)
        *pResult = result;
    const bool opened = result == kNkMAIDResult_NoError;
    if (opened)
        openObjects().insert(pChildObj);
    return opened;
}

bool Command_CapGet(tagNkMAIDObject* pObject, uint32_t ulParam, uint32_t ulDataType,
                    uint64_t data) {
    bool timedOut = false;
    const int32_t result = issueAndWait(pObject, kNkMAIDCommand_CapGet, ulParam, ulDataType, data,
                                        "Command_CapGet", &timedOut);
    if (result == kNkMAIDResult_NotAvailable)
        return false;
    const int32_t failure = timedOut ? int32_t(kNkMAIDResult_TimedOut) : result;
    if (failure != kNkMAIDResult_NoError) {
        qCWarning(zarvSdk).noquote()
            << QStringLiteral("Command_CapGet -> throwing again... nResult=%1").arg(failure);
        throw MaidException(failure);
    }
    return true;
}

bool Command_CapSet(tagNkMAIDObject* pObject, uint32_t ulParam, uint32_t ulDataType,
                    uint64_t data) {
    bool timedOut = false;
    const int32_t result = issueAndWait(pObject, kNkMAIDCommand_CapSet, ulParam, ulDataType, data,
                                        "Command_CapSet", &timedOut);
    return result == kNkMAIDResult_NoError && !timedOut;
}

bool Command_CapGetArray(tagNkMAIDObject* pObject, uint32_t ulParam, uint32_t ulDataType,
                         uint64_t data) {
    bool timedOut = false;
    const int32_t result = issueAndWait(pObject, kNkMAIDCommand_CapGetArray, ulParam, ulDataType,
                                        data, "Command_CapGetArray", &timedOut);
    return result == kNkMAIDResult_NoError && !timedOut;
}

bool Command_Async(tagNkMAIDObject* pObject) {
    const int32_t result =
        CallMAIDEntryPoint(pObject, kNkMAIDCommand_Async, 0, kNkMAIDDataType_Null, 0, nullptr, 0);
    return result == kNkMAIDResult_NoError || result == kNkMAIDResult_Pending;
}

bool IdleLoop(tagNkMAIDObject* pObject, uint32_t* pulCount, uint32_t ulTarget, const char* what) {
    if (*pulCount >= ulTarget)
        return true;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto limit = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(commandTimeoutSeconds()));
    const timespec pause{0, 10000};
    const bool tracked = IsObjectOpen(pObject);
    while (true) {
        const int32_t result = CallMAIDEntryPoint(pObject, kNkMAIDCommand_Async, 0,
                                                  kNkMAIDDataType_Null, 0, nullptr, 0);
        // A module that says it has more to do (1) gets its next turn at once; an idle one is
        // given a moment between turns.
        if (result != kNkMAIDResult_Pending)
            nanosleep(&pause, nullptr);
        if (static_cast<uint32_t>(result) >= 2 || *pulCount >= ulTarget)
            return true;
        if (tracked && !IsObjectOpen(pObject)) {
            qCWarning(zarvSdk).noquote()
                << QStringLiteral("%1: its object was closed during the wait")
                       .arg(QString::fromLatin1(what ? what : "A module command"));
            ForgetCompletionCounter(pulCount);
            return false;
        }
        // A slow transfer that keeps delivering is alive: only silence counts.
        if (Clock::now() - std::max(start, g_lastProgress) >= limit)
            break;
    }
    qCWarning(zarvSdk).noquote() << QStringLiteral(
                                        "%1 showed no progress for %2 s; giving up the wait")
                                        .arg(QString::fromLatin1(what ? what : "A module command"))
                                        .arg(commandTimeoutSeconds());
    ForgetCompletionCounter(pulCount);
    return false;
}

bool EnumCapabilities(tagNkMAIDObject* pObject, uint32_t* pulCapCount,
                      tagNkMAIDCapInfo** ppCapArray) {
    // The count and list are usually a node's fields, which callbacks may replace or free while
    // we wait: work on our own and put the outcome in place at the end.
    TreeGuard guard;
    uint32_t count = 0;
    MaidPtr<tagNkMAIDCapInfo> array;
    int32_t result;
    do {
        array.reset();
        bool timedOut = false;
        result = issueAndWait(pObject, kNkMAIDCommand_GetCapCount, 0, kNkMAIDDataType_UnsignedPtr,
                              ptrToWord(&count), "GetCapCount", &timedOut);
        if (timedOut)
            break;
        if (result == kNkMAIDResult_SetChanged)
            continue;
        if (result != kNkMAIDResult_NoError)
            break;
        // A module announcing an absurd count must not make us allocate without bound.
        if (count > 65536) {
            qCWarning(zarvSdk).noquote()
                << QStringLiteral("The module announced %1 capabilities; refusing").arg(count);
            break;
        }
        array.reset(
            static_cast<tagNkMAIDCapInfo*>(MaidAlloc(size_t(count) * sizeof(tagNkMAIDCapInfo))));
        if (!array)
            break;
        // Records the module leaves unfilled read as nothing rather than as stale memory.
        std::memset(array.get(), 0, size_t(count) * sizeof(tagNkMAIDCapInfo));
        result = issueAndWait(pObject, kNkMAIDCommand_GetCapInfo, count, kNkMAIDDataType_CapInfoPtr,
                              ptrToWord(array.get()), "GetCapInfo", &timedOut);
        if (timedOut)
            array.reset();
    } while (result == kNkMAIDResult_SetChanged);
    // Only a list fetched in full counts; anything else leaves the list empty.
    const bool ok = array && static_cast<uint32_t>(result) < 2;
    if (!ok)
        array.reset();
    for (uint32_t i = 0; ok && i < count; ++i)
        array.get()[i].szDescription[sizeof(array.get()[i].szDescription) - 1] = '\0';
    retireBlock(*ppCapArray);
    *ppCapArray = array.release();
    *pulCapCount = ok ? count : 0;
    return ok;
}

bool EnumChildrten(tagNkMAIDObject* pObject) {
    bool timedOut = false;
    const int32_t result = issueAndWait(pObject, kNkMAIDCommand_EnumChildren, 0,
                                        kNkMAIDDataType_Null, 0, "EnumChildren", &timedOut);
    return result == kNkMAIDResult_NoError && !timedOut;
}

} // namespace zarv
