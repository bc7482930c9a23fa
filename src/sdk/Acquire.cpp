// Capture and acquire commands.

#include "platform/Log.h"
#include "sdk/Function.h"

#include "sdk/CallBack.h"
#include "sdk/Internal.h"

#include <QDebug>
#include <QString>

#include <cstdio>

namespace zarv {

using namespace sdk_internal;

namespace {

bool startSucceeded(int32_t result) {
    return result == kNkMAIDResult_NoError || result == kNkMAIDResult_Pending ||
           result == kNkMAIDResult_Started1 || result == kNkMAIDResult_Started2 ||
           result == kNkMAIDResult_Started3;
}

} // namespace

bool IssueProcess(LPRefObj pRefObj, uint32_t ulCapID) {
    TreeGuard guard;
    const tagNkMAIDCapInfo* info = GetCapInfo(pRefObj, ulCapID);
    if (!pRefObj || !pRefObj->object || !info)
        return false;
    Log::diagnostic("[%s]\n", info->szDescription);
    uint32_t ulCount = 0;
    tagCompletionRecord* rec = NewCompletionRecord(&ulCount);
    if (!rec)
        return false;
    struct Forget {
        uint32_t* counter;
        ~Forget() { ForgetCompletionCounter(counter); }
    } forget{&ulCount};
    const int32_t result =
        CallMAIDEntryPoint(pRefObj->object, kNkMAIDCommand_CapStart, ulCapID, kNkMAIDDataType_Null,
                           0, CompletionProc, ptrToWord(rec));
    if (!startSucceeded(result))
        return false;
    return IdleLoop(pRefObj->object, &ulCount, 1, "CapStart");
}

bool CheckIfNewItem(LPRefObj pRefSrc, uint32_t* pulItemCount) {
    TreeGuard guard;
    *pulItemCount = 0;
    const tagNkMAIDCapInfo* info = GetCapInfo(pRefSrc, kNkMAIDCapability_Children);
    if (!info || info->ulType != kNkMAIDCapType_Enum ||
        !(info->ulOperations & kNkMAIDCapOperation_Get))
        return false;
    tagNkMAIDEnum stEnum{};
    if (!Command_CapGet(pRefSrc->object, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                        ptrToWord(&stEnum)))
        return false;
    if (stEnum.wPhysicalBytes != 4)
        return false;
    *pulItemCount = stEnum.ulElements;
    return true;
}

bool ListItems(LPRefObj pRefSrc, std::vector<uint32_t>* pItemIDs) {
    return readChildIds(pRefSrc, pItemIDs);
}

bool ImageCommandLoop(LPRefObj pRefItm, uint32_t ulDataID, int32_t* outcome) {
    TreeGuard guard;
    if (outcome)
        *outcome = kNkMAIDResult_UnexpectedError;
    if (LPRefObj data = GetRefChildPtr_ID(pRefItm, int32_t(ulDataID)))
        return IssueAcquire(data, outcome);
    if (!AddChild(pRefItm, int32_t(ulDataID)))
        return false;
    LPRefObj data = GetRefChildPtr_ID(pRefItm, int32_t(ulDataID));
    return data && IssueAcquire(data, outcome);
}

bool IssueAcquire(LPRefObj pRefDat, int32_t* outcomeOut) {
    TreeGuard guard;
    int32_t ignored = 0;
    int32_t& reported = outcomeOut ? *outcomeOut : ignored;
    reported = kNkMAIDResult_UnexpectedError;
    if (!pRefDat || !pRefDat->object || !pRefDat->parent)
        return false;
    if (!CheckCapabilityOperation(pRefDat, kNkMAIDCapability_DataProc, kNkMAIDCapOperation_Set))
        return false;
    auto* dataRec = static_cast<tagDataRecord*>(MaidAlloc(sizeof(tagDataRecord)));
    if (!dataRec)
        return false;
    const int32_t itemID = pRefDat->parent->id;
    *dataRec = tagDataRecord{0, 0, itemID, 0, 0};
    uint32_t ulCount = 0;
    // Stays a failure unless the module completes the acquire without one.
    int32_t outcome = kNkMAIDResult_UnexpectedError;
    tagCompletionRecord* rec = NewCompletionRecord(&ulCount, dataRec, &outcome);
    if (!rec) {
        MaidFree(dataRec);
        return false;
    }
    struct Forget {
        uint32_t* counter;
        ~Forget() { ForgetCompletionCounter(counter); }
    } forget{&ulCount};
    tagNkMAIDCallback callback{ptrToWord(reinterpret_cast<const void*>(&DataProc)),
                               ptrToWord(dataRec)};
    // The set may also have let the camera drop the data object: then start nothing on it.
    if (!Command_CapSet(pRefDat->object, kNkMAIDCapability_DataProc, kNkMAIDDataType_CallbackPtr,
                        ptrToWord(&callback)) ||
        !IsObjectOpen(pRefDat->object)) {
        // Nothing was started: the records are still ours.
        CompletionProc(pRefDat->object, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, 0, 0,
                       ptrToWord(rec), kNkMAIDResult_UnexpectedError);
        return false;
    }
    tagNkMAIDObject* object = pRefDat->object;
    const int32_t result =
        CallMAIDEntryPoint(object, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire,
                           kNkMAIDDataType_Null, 0, CompletionProc, ptrToWord(rec));
    if (!startSucceeded(result)) {
        // The module will not deliver: take the procedure back. The records stay with the
        // module's completion.
        Command_CapSet(object, kNkMAIDCapability_DataProc, kNkMAIDDataType_Null, 0);
        return false;
    }
    const bool completed = IdleLoop(object, &ulCount, 1, "Acquire");
    if (!IsObjectOpen(object))
        return false; // the camera dropped the data object while it was being fetched
    if (!completed) {
        // The module may still be sending this picture: closing its data object stops it,
        // where clearing the procedure would let its late pieces reach the next acquire.
        reported = kNkMAIDResult_TimedOut;
        qCWarning(zarvSdk).noquote()
            << QStringLiteral("The picture of item 0x%1 was not saved: its transfer stalled; "
                              "its data object is closed")
                   .arg(uint32_t(itemID), 0, 16);
        RemoveChild(pRefDat->parent, pRefDat->id);
        return false;
    }
    reported = outcome;
    const bool cleared =
        Command_CapSet(object, kNkMAIDCapability_DataProc, kNkMAIDDataType_Null, 0);
    if (outcome < 0)
        qCWarning(zarvSdk).noquote()
            << QStringLiteral("The picture of item 0x%1 was not saved: the acquire ended with %2")
                   .arg(uint32_t(itemID), 0, 16)
                   .arg(outcome);
    return outcome >= 0 && cleared;
}

} // namespace zarv
