// Object tree and command layer.

#include "sdk/Function.h"

#include "sdk/CallBack.h"
#include "sdk/Internal.h"

#include "platform/UserDefaults.h"

#include <QDebug>
#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_set>

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

bool allocationAllowed() {
    if (g_allocationLimit < 0)
        return true;
    if (g_allocationLimit == 0)
        return false;
    --g_allocationLimit;
    return true;
}

// Completion records handed to the module and not yet completed. A completion whose record is
// not here (a module completing twice, or inventing a reference) is ignored.
std::unordered_set<tagCompletionRecord*>& outstandingRecords() {
    static std::unordered_set<tagCompletionRecord*> records;
    return records;
}

// Object records opened and not yet freed. A wait whose object is closed by a callback during
// the wait (the camera dropping a picture while it is being fetched) must stop pumping it.
std::unordered_set<const tagNkMAIDObject*>& openObjects() {
    static std::unordered_set<const tagNkMAIDObject*> objects;
    return objects;
}

double commandTimeoutSeconds() {
    bool ok = false;
    const double seconds = UserDefaults::standard()
                               .objectForKey(QString::fromLatin1(kMaidCommandTimeoutKey))
                               .toDouble(&ok);
    return ok && seconds > 0 ? seconds : kDefaultMaidCommandTimeout;
}

} // namespace

bool IsObjectOpen(const tagNkMAIDObject* pObject) {
    return openObjects().count(pObject) != 0;
}

void* MaidAlloc(size_t size) {
    return allocationAllowed() ? std::malloc(size == 0 ? 1 : size) : nullptr;
}

void* MaidRealloc(void* p, size_t size) {
    return allocationAllowed() ? std::realloc(p, size == 0 ? 1 : size) : nullptr;
}

void MaidFree(void* p) {
    std::free(p);
}

void SetMaidAllocationLimit(long count) {
    g_allocationLimit = count;
}

void ForgetCompletionCounter(const uint32_t* pulCount) {
    for (tagCompletionRecord* rec : outstandingRecords())
        if (rec->pulCount == ptrToWord(pulCount))
            rec->pulCount = 0;
}

tagCompletionRecord* NewCompletionRecord(uint32_t* pulCount, tagDataRecord* pData) {
    auto* rec = static_cast<tagCompletionRecord*>(MaidAlloc(sizeof(tagCompletionRecord)));
    if (!rec)
        return nullptr;
    rec->pulCount = ptrToWord(pulCount);
    rec->nResult = 0;
    rec->ulReserved = 0;
    rec->pRefData = ptrToWord(pData);
    outstandingRecords().insert(rec);
    return rec;
}

// --- Entry calls -----------------------------------------------------------------------------

int32_t CallMAIDEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                           uint32_t ulDataType, uint64_t data, LPMAIDCompletionProc pfnComplete,
                           uint64_t refComplete) {
    if (!g_pMAIDEntryPoint) {
        qWarning().noquote()
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
    if (!rec || outstandingRecords().erase(rec) == 0) {
        qWarning().noquote() << QStringLiteral(
                                    "Ignoring a completion with an unknown reference (command %1)")
                                    .arg(ulCommand);
        return;
    }
    rec->nResult = nResult;
    if (auto* counter = wordToPtr<uint32_t>(rec->pulCount))
        ++*counter;
    if (ulCommand == kNkMAIDCommand_CapStart && ulParam == kNkMAIDCapability_Acquire) {
        if (auto* dataRec = wordToPtr<tagDataRecord>(rec->pRefData)) {
            DiscardPicture(dataRec); // a picture that never completed leaves nothing behind
            MaidFree(dataRec);
        }
    }
    if (ulCommand == kNkMAIDCommand_CapStart && ulParam == kNkMAIDCapability_Capture)
        qInfo().noquote() << "Captureed new image...";
    MaidFree(rec);
}

namespace sdk_internal {

int32_t issueAndWait(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                     uint32_t ulDataType, uint64_t data, const char* what, bool* pTimedOut,
                     tagDataRecord* pData) {
    if (pTimedOut)
        *pTimedOut = false;
    uint32_t ulCount = 0;
    tagCompletionRecord* rec = NewCompletionRecord(&ulCount, pData);
    if (!rec) {
        std::printf("There is not enough memory\n");
        return kNkMAIDResult_OutOfMemory;
    }
    // However the wait ends (even by an exception), a late completion must not reach the
    // counter on this stack frame.
    struct Forget {
        uint32_t* counter;
        ~Forget() { ForgetCompletionCounter(counter); }
    } forget{&ulCount};
    const int32_t result = CallMAIDEntryPoint(pObject, ulCommand, ulParam, ulDataType, data,
                                              CompletionProc, ptrToWord(rec));
    const bool done = IdleLoop(pObject, &ulCount, 1, what);
    if (pTimedOut)
        *pTimedOut = !done;
    return result;
}

} // namespace sdk_internal

// --- Object tree and commands ----------------------------------------------------------------

void InitRefObj(LPRefObj pRef) {
    pRef->object = nullptr;
    pRef->id = kRootObjectId;
    pRef->parent = nullptr;
    pRef->childCount = 0;
    pRef->children = nullptr;
    pRef->capCount = 0;
    pRef->capInfos = nullptr;
}

bool Command_Open(tagNkMAIDObject* pParentObj, tagNkMAIDObject* pChildObj, uint32_t ulChildID) {
    const bool opened =
        CallMAIDEntryPoint(pParentObj, kNkMAIDCommand_Open, ulChildID, kNkMAIDDataType_ObjectPtr,
                           ptrToWord(pChildObj), nullptr, 0) == kNkMAIDResult_NoError;
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
        qWarning().noquote()
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
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
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
            qWarning().noquote() << QStringLiteral("%1: its object was closed during the wait")
                                        .arg(QString::fromLatin1(what ? what : "A module command"));
            ForgetCompletionCounter(pulCount);
            return false;
        }
        if (Clock::now() >= deadline)
            break;
    }
    qWarning().noquote() << QStringLiteral("%1 did not complete within %2 s; giving up the wait")
                                .arg(QString::fromLatin1(what ? what : "A module command"))
                                .arg(commandTimeoutSeconds());
    ForgetCompletionCounter(pulCount);
    return false;
}

bool EnumCapabilities(tagNkMAIDObject* pObject, uint32_t* pulCapCount,
                      tagNkMAIDCapInfo** ppCapArray) {
    int32_t result;
    do {
        bool timedOut = false;
        result = issueAndWait(pObject, kNkMAIDCommand_GetCapCount, 0, kNkMAIDDataType_UnsignedPtr,
                              ptrToWord(pulCapCount), "GetCapCount", &timedOut);
        if (timedOut)
            return false;
        if (result == kNkMAIDResult_SetChanged)
            continue;
        if (result != kNkMAIDResult_NoError)
            break;
        // A module announcing an absurd count must not make us allocate without bound.
        if (*pulCapCount > 65536) {
            qWarning().noquote() << QStringLiteral("The module announced %1 capabilities; refusing")
                                        .arg(*pulCapCount);
            *pulCapCount = 0;
            return false;
        }
        *ppCapArray = static_cast<tagNkMAIDCapInfo*>(
            MaidAlloc(size_t(*pulCapCount) * sizeof(tagNkMAIDCapInfo)));
        if (!*ppCapArray) {
            *pulCapCount = 0;
            return false;
        }
        result = issueAndWait(pObject, kNkMAIDCommand_GetCapInfo, *pulCapCount,
                              kNkMAIDDataType_CapInfoPtr, ptrToWord(*ppCapArray), "GetCapInfo",
                              &timedOut);
        if (timedOut || result == kNkMAIDResult_SetChanged) {
            MaidFree(*ppCapArray);
            *ppCapArray = nullptr;
            if (timedOut) {
                *pulCapCount = 0;
                return false;
            }
        }
    } while (result == kNkMAIDResult_SetChanged);
    if (!*ppCapArray)
        *pulCapCount = 0; // no list fetched: it counts as empty
    else
        for (uint32_t i = 0; i < *pulCapCount; ++i)
            (*ppCapArray)[i].szDescription[sizeof((*ppCapArray)[i].szDescription) - 1] = '\0';
    return static_cast<uint32_t>(result) < 2;
}

bool EnumChildrten(tagNkMAIDObject* pObject) {
    bool timedOut = false;
    const int32_t result = issueAndWait(pObject, kNkMAIDCommand_EnumChildren, 0,
                                        kNkMAIDDataType_Null, 0, "EnumChildren", &timedOut);
    return result == kNkMAIDResult_NoError && !timedOut;
}

tagNkMAIDCapInfo* GetCapInfo(LPRefObj pRef, uint32_t ulID) {
    if (!pRef || pRef->capCount == 0 || !pRef->capInfos)
        return nullptr;
    for (uint32_t i = 0; i < pRef->capCount; ++i)
        if (pRef->capInfos[i].ulID == ulID)
            return &pRef->capInfos[i];
    return nullptr;
}

bool CheckCapabilityOperation(LPRefObj pRef, uint32_t ulID, uint32_t ulOperations) {
    const tagNkMAIDCapInfo* info = GetCapInfo(pRef, ulID);
    return info && (info->ulOperations & ulOperations) != 0;
}

LPRefObj GetRefChildPtr_ID(LPRefObj pRefParent, int32_t lIDChild) {
    if (!pRefParent || !pRefParent->children)
        return nullptr;
    for (uint32_t i = 0; i < pRefParent->childCount; ++i)
        if (pRefParent->children[i] && pRefParent->children[i]->id == lIDChild)
            return pRefParent->children[i];
    return nullptr;
}

namespace {

// Gives the parent's array back its old size after a failed open.
void shrinkBack(LPRefObj pRefParent) {
    if (pRefParent->childCount == 0) {
        MaidFree(pRefParent->children);
        pRefParent->children = nullptr;
        return;
    }
    // Shrinking never fails in practice; if it did, the larger array stays valid.
    if (void* p = std::realloc(pRefParent->children, pRefParent->childCount * sizeof(LPRefObj)))
        pRefParent->children = static_cast<LPRefObj*>(p);
}

void freeNode(LPRefObj pRef) {
    openObjects().erase(pRef->object);
    MaidFree(pRef->object);
    MaidFree(pRef->capInfos);
    MaidFree(pRef->children);
    MaidFree(pRef);
}

} // namespace

bool AddChild(LPRefObj pRefParent, int32_t lIDChild) {
    if (!pRefParent || !pRefParent->object)
        return false;
    auto* grown = static_cast<LPRefObj*>(
        MaidRealloc(pRefParent->children, (pRefParent->childCount + 1) * sizeof(LPRefObj)));
    if (!grown) {
        std::printf("There is not enough memory\n");
        return false;
    }
    pRefParent->children = grown;
    auto* child = static_cast<LPRefObj>(MaidAlloc(sizeof(tagRefObj)));
    if (!child) {
        std::printf("There is not enough memory\n");
        shrinkBack(pRefParent);
        return false;
    }
    *child = tagRefObj{};
    child->id = lIDChild;
    child->parent = pRefParent;
    child->object = static_cast<tagNkMAIDObject*>(MaidAlloc(sizeof(tagNkMAIDObject)));
    if (!child->object) {
        std::printf("There is not enough memory\n");
        MaidFree(child);
        shrinkBack(pRefParent);
        return false;
    }
    std::memset(child->object, 0, sizeof(tagNkMAIDObject));
    child->object->refClient = ptrToWord(child);
    // The slot is filled only once the open succeeded, so a callback running during the open
    // never sees a half-made child.
    if (!Command_Open(pRefParent->object, child->object, uint32_t(lIDChild))) {
        std::printf("Failed in Opening an object.\n");
        MaidFree(child->object);
        MaidFree(child);
        shrinkBack(pRefParent);
        return false;
    }
    pRefParent->children[pRefParent->childCount] = child;
    ++pRefParent->childCount;
    EnumCapabilities(child->object, &child->capCount, &child->capInfos);
    SetProc(child);
    return true;
}

bool RemoveChild(LPRefObj pRefParent, int32_t lIDChild) {
    LPRefObj child = GetRefChildPtr_ID(pRefParent, lIDChild);
    if (!child)
        return false;
    while (child->childCount > 0)
        if (!RemoveChild(child, child->children[0]->id))
            return false;
    if (!ResetProc(child))
        return false;
    if (CallMAIDEntryPoint(child->object, kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0, nullptr,
                           0) != kNkMAIDResult_NoError)
        return false;
    // Look the child up again: the close may have run callbacks that changed the list.
    uint32_t index = 0;
    while (index < pRefParent->childCount && pRefParent->children[index] != child)
        ++index;
    if (index == pRefParent->childCount)
        return false;
    // Removing from the array in place cannot fail, unlike allocating a smaller copy.
    for (uint32_t i = index + 1; i < pRefParent->childCount; ++i)
        pRefParent->children[i - 1] = pRefParent->children[i];
    --pRefParent->childCount;
    if (pRefParent->childCount == 0) {
        MaidFree(pRefParent->children);
        pRefParent->children = nullptr;
    }
    freeNode(child);
    return true;
}

namespace {

bool setCallback(LPRefObj pRefObj, uint32_t ulCapID, void* proc) {
    tagNkMAIDCallback callback{ptrToWord(reinterpret_cast<const void*>(proc)), ptrToWord(pRefObj)};
    return Command_CapSet(pRefObj->object, ulCapID, kNkMAIDDataType_CallbackPtr,
                          ptrToWord(&callback));
}

template <typename F> void* procAddress(F f) {
    return reinterpret_cast<void*>(f);
}

} // namespace

bool SetProc(LPRefObj pRefObj) {
    if (!pRefObj || !pRefObj->object)
        return false;
    if (CheckCapabilityOperation(pRefObj, kNkMAIDCapability_ProgressProc,
                                 kNkMAIDCapOperation_Set) &&
        !setCallback(pRefObj, kNkMAIDCapability_ProgressProc, procAddress(&ProgressProc)))
        return false;
    void* eventProc = nullptr;
    switch (pRefObj->object->ulType) {
    case kNkMAIDObjectType_Module:
        if (CheckCapabilityOperation(pRefObj, kNkMAIDCapability_EventProc,
                                     kNkMAIDCapOperation_Set) &&
            !setCallback(pRefObj, kNkMAIDCapability_EventProc, procAddress(&ModEventProc)))
            return false;
        if (CheckCapabilityOperation(pRefObj, kNkMAIDCapability_UIRequestProc,
                                     kNkMAIDCapOperation_Set) &&
            !setCallback(pRefObj, kNkMAIDCapability_UIRequestProc, procAddress(&UIRequestProc)))
            return false;
        return true;
    case kNkMAIDObjectType_Source:
        eventProc = procAddress(&SrcEventProc);
        break;
    case kNkMAIDObjectType_Item:
        eventProc = procAddress(&ItmEventProc);
        break;
    case kNkMAIDObjectType_DataObj:
        eventProc = procAddress(&DatEventProc);
        break;
    default:
        return true;
    }
    if (CheckCapabilityOperation(pRefObj, kNkMAIDCapability_EventProc, kNkMAIDCapOperation_Set) &&
        !setCallback(pRefObj, kNkMAIDCapability_EventProc, eventProc))
        return false;
    return true;
}

bool ResetProc(LPRefObj pRefObj) {
    if (!pRefObj || !pRefObj->object)
        return false;
    auto clear = [&](uint32_t cap) {
        return !CheckCapabilityOperation(pRefObj, cap, kNkMAIDCapOperation_Set) ||
               Command_CapSet(pRefObj->object, cap, kNkMAIDDataType_Null, 0);
    };
    if (!clear(kNkMAIDCapability_ProgressProc) || !clear(kNkMAIDCapability_EventProc))
        return false;
    if (pRefObj->object->ulType == kNkMAIDObjectType_Module &&
        !clear(kNkMAIDCapability_UIRequestProc))
        return false;
    return true;
}

namespace {

bool closeSubtree(LPRefObj pRef);

// Closes a node's children (each freed once closed), then resets the node's procedures and
// closes the node itself; the node's own memory is the caller's to free.
bool closeChildrenAndSelf(LPRefObj pRef) {
    while (pRef->childCount > 0) {
        if (!closeSubtree(pRef->children[0]))
            return false;
        for (uint32_t i = 1; i < pRef->childCount; ++i)
            pRef->children[i - 1] = pRef->children[i];
        --pRef->childCount;
    }
    if (!ResetProc(pRef))
        return false;
    return CallMAIDEntryPoint(pRef->object, kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0,
                              nullptr, 0) == kNkMAIDResult_NoError;
}

// Resets, closes and frees a node below the root and everything under it, deepest first.
bool closeSubtree(LPRefObj pRef) {
    if (!closeChildrenAndSelf(pRef))
        return false;
    freeNode(pRef);
    return true;
}

} // namespace

void FreeRefObjTree(LPRefObj pRef, bool freeRoot) {
    if (!pRef)
        return;
    for (uint32_t i = 0; i < pRef->childCount; ++i)
        FreeRefObjTree(pRef->children[i], true);
    openObjects().erase(pRef->object);
    MaidFree(pRef->children);
    MaidFree(pRef->capInfos);
    MaidFree(pRef->object);
    pRef->children = nullptr;
    pRef->capInfos = nullptr;
    pRef->object = nullptr;
    pRef->childCount = 0;
    pRef->capCount = 0;
    if (freeRoot)
        MaidFree(pRef);
}

bool Close_Module(LPRefObj pRefMod) {
    if (!pRefMod)
        return false;
    if (!pRefMod->object)
        return true;
    if (!closeChildrenAndSelf(pRefMod))
        return false;
    // A closed module completes nothing more: what it still held is ours to free. Should it
    // complete one anyway, CompletionProc no longer knows the reference and ignores it.
    for (tagCompletionRecord* rec : outstandingRecords()) {
        if (auto* dataRec = wordToPtr<tagDataRecord>(rec->pRefData)) {
            DiscardPicture(dataRec);
            MaidFree(dataRec);
        }
        MaidFree(rec);
    }
    outstandingRecords().clear();
    // The children are closed and freed already; the root's own records go, the node stays.
    FreeRefObjTree(pRefMod, false);
    return true;
}

namespace {

// Reads capability 7 (the child list) of a node into a fresh array of ids. Returns false when
// the node has no readable list of 4-byte ids; *count is 0 and *ids null for an empty list.
bool readChildList(LPRefObj pRef, bool emptyIsFailure, uint32_t* pulFirst, bool* pFound) {
    *pFound = false;
    const tagNkMAIDCapInfo* info = GetCapInfo(pRef, kNkMAIDCapability_Children);
    if (!info || info->ulType != kNkMAIDCapType_Enum ||
        !(info->ulOperations & kNkMAIDCapOperation_Get))
        return false;
    tagNkMAIDEnum stEnum{};
    if (!Command_CapGet(pRef->object, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                        ptrToWord(&stEnum)))
        return false;
    if (stEnum.ulElements == 0)
        return !emptyIsFailure;
    if (stEnum.wPhysicalBytes != 4 || stEnum.ulElements > (1u << 24))
        return false;
    auto* ids = static_cast<uint32_t*>(MaidAlloc(size_t(stEnum.ulElements) * 4));
    if (!ids)
        return false;
    stEnum.pData = ptrToWord(ids);
    if (!Command_CapGetArray(pRef->object, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                             ptrToWord(&stEnum)) ||
        stEnum.ulElements == 0) {
        MaidFree(ids);
        return false;
    }
    *pulFirst = ids[0];
    *pFound = true;
    MaidFree(ids);
    return true;
}

} // namespace

bool SelectSource(LPRefObj pRefMod, uint32_t* pulSrcID) {
    uint32_t first = 0;
    bool found = false;
    if (!readChildList(pRefMod, true, &first, &found))
        return false;
    *pulSrcID = first;
    return true;
}

bool SelectItem(LPRefObj pRefSrc, uint32_t* pulItemID) {
    uint32_t first = 0;
    bool found = false;
    if (!readChildList(pRefSrc, false, &first, &found))
        return false;
    if (found)
        *pulItemID = first;
    return true;
}

bool SelectData(LPRefObj pRefItm, uint32_t* pulDataType) {
    if (!CheckCapabilityOperation(pRefItm, kNkMAIDCapability_DataTypes, kNkMAIDCapOperation_Get))
        return false;
    uint32_t types = 0;
    if (!Command_CapGet(pRefItm->object, kNkMAIDCapability_DataTypes, kNkMAIDDataType_UnsignedPtr,
                        ptrToWord(&types)))
        return false;
    for (uint32_t bit :
         {kNkMAIDDataObjType_Image, kNkMAIDDataObjType_Video, kNkMAIDDataObjType_Thumbnail}) {
        if (types & bit) {
            *pulDataType = bit;
            break;
        }
    }
    return true;
}

} // namespace zarv
