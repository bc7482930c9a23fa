#pragma once

// The camera SDK client: plain functions over a tree of tagRefObj nodes that mirrors the objects
// of the bound MAID module. Every function must run on the one thread that owns the camera (the
// camera queue); there are no locks, and module callbacks run inside these calls on that thread.
// Functions return true on success unless said otherwise.

#include "sdk/Maid.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace zarv {

/// One node of the object tree. The session owns the root node itself: it calls InitRefObj,
/// allocates the root's object record (24 bytes, with MaidAlloc or malloc: the client frees it
/// with MaidFree), sets its refClient to the node and opens it with Command_Open(nullptr, record,
/// 0). Every other node is made by AddChild and freed by RemoveChild or Close_Module.
struct tagRefObj {
    tagNkMAIDObject* object = nullptr; // owned
    int32_t id = kRootObjectId;        // the id under which the parent opened it
    tagRefObj* parent = nullptr;
    uint32_t childCount = 0;
    tagRefObj** children = nullptr; // heap array of childCount nodes, in order of opening; owned
    uint32_t capCount = 0;
    tagNkMAIDCapInfo* capInfos = nullptr; // heap array of capCount records; owned
};
using LPRefObj = tagRefObj*;

/// One per asynchronous command: the issuer allocates it, CompletionProc frees it.
struct tagCompletionRecord {
    uint64_t pulCount; // the issuer's counter (uint32_t*); 0 once the issuer stopped waiting
    int32_t nResult;   // written by CompletionProc
    uint32_t ulReserved;
    uint64_t pRefData; // tagDataRecord*, only for an acquire
};
static_assert(sizeof(tagCompletionRecord) == 24);

/// The reference of DataProc during one acquire.
struct tagDataRecord {
    uint64_t pBuffer; // the picture being received (its temporary file); null until the first piece
    uint32_t ulOffset; // bytes received so far
    int32_t lID;       // the item being transferred
    uint32_t ulTotal;  // the picture's size, fixed by the first piece
    uint32_t fFailed;  // a piece was refused: the rest of this picture is refused too
};
static_assert(sizeof(tagDataRecord) == 24);

/// Carries a module failure (a capability get that fails, the camera's removal) from deep inside
/// a camera operation to the session's handler. Only ever thrown from our own frames, never
/// through a module's.
class MaidException : public std::runtime_error {
public:
    explicit MaidException(int code);
    int code() const { return m_code; }

private:
    int m_code;
};

// Globals of the client.
extern LPMAIDEntryPointProc g_pMAIDEntryPoint; // the bound module's entry function
extern bool g_bFileRemoved;                    // the camera dropped the picture just fetched
extern int32_t gNikonCameraCaptureCount;       // pictures written
extern uint32_t g_ulProgressValue;
extern bool g_bFirstCall;

/// The setting holding how long, in seconds, a wait for a module's completion may last.
extern const char* const kMaidCommandTimeoutKey; // "prefMaidCommandTimeout"
constexpr double kDefaultMaidCommandTimeout = 60.0;

// --- Entry calls -----------------------------------------------------------------------------

/// Calls the bound entry function; then, when a callback recorded a failure that must unwind
/// (and no callback is running), throws it as MaidException.
int32_t CallMAIDEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                           uint32_t ulDataType, uint64_t data, LPMAIDCompletionProc pfnComplete,
                           uint64_t refComplete);

// --- Object tree and commands ----------------------------------------------------------------

void InitRefObj(LPRefObj pRef);
/// The module's answer to the open goes to *pResult when given.
bool Command_Open(tagNkMAIDObject* pParentObj, tagNkMAIDObject* pChildObj, uint32_t ulChildID,
                  int32_t* pResult = nullptr);
/// Throws MaidException for results other than 0 and -127 (and on a time-out).
bool Command_CapGet(tagNkMAIDObject* pObject, uint32_t ulParam, uint32_t ulDataType, uint64_t data);
bool Command_CapSet(tagNkMAIDObject* pObject, uint32_t ulParam, uint32_t ulDataType, uint64_t data);
bool Command_CapGetArray(tagNkMAIDObject* pObject, uint32_t ulParam, uint32_t ulDataType,
                         uint64_t data);
bool Command_Async(tagNkMAIDObject* pObject);
/// Pumps until *pulCount reaches ulTarget, the pump fails, or the module shows no sign of life (a
/// data piece, a progress report) for "prefMaidCommandTimeout" seconds, counted from the start or
/// the last such sign. False when the wait is given up, on the time-out or because a
/// callback closed the object being pumped; logged with `what`. The issuer's counter is then
/// forgotten so that a late completion cannot touch it.
bool IdleLoop(tagNkMAIDObject* pObject, uint32_t* pulCount, uint32_t ulTarget,
              const char* what = nullptr);
/// True while an object record opened by Command_Open has not been freed by the client.
bool IsObjectOpen(const tagNkMAIDObject* pObject);
bool EnumCapabilities(tagNkMAIDObject* pObject, uint32_t* pulCapCount,
                      tagNkMAIDCapInfo** ppCapArray);
bool EnumChildrten(tagNkMAIDObject* pObject);
bool CheckCapabilityOperation(LPRefObj pRef, uint32_t ulID, uint32_t ulOperations);
/// The capability's record in the node's list (first match), or null.
tagNkMAIDCapInfo* GetCapInfo(LPRefObj pRef, uint32_t ulID);
LPRefObj GetRefChildPtr_ID(LPRefObj pRefParent, int32_t lIDChild);
/// Opens the child and joins it to the tree. The module's answer to the open goes to
/// *pOpenResult when given (it stays as it was when no open was sent).
bool AddChild(LPRefObj pRefParent, int32_t lIDChild, int32_t* pOpenResult = nullptr);
bool RemoveChild(LPRefObj pRefParent, int32_t lIDChild);
bool SetProc(LPRefObj pRefObj);
bool ResetProc(LPRefObj pRefObj);
bool Close_Module(LPRefObj pRefMod);
/// Frees a node's records and everything below it without sending anything to the module (for
/// a connection being forgotten). The node itself is freed too when freeRoot is set; otherwise
/// it is left empty for reuse.
void FreeRefObjTree(LPRefObj pRef, bool freeRoot);
bool SelectSource(LPRefObj pRefMod, uint32_t* pulSrcID);
bool SelectItem(LPRefObj pRefSrc, uint32_t* pulItemID);
bool SelectData(LPRefObj pRefItm, uint32_t* pulDataType);

void CompletionProc(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam,
                    uint32_t ulDataType, uint64_t data, uint64_t refComplete, int32_t nResult);

/// Makes every outstanding completion record that points at this counter forget it: the issuer
/// stopped waiting, and a late completion must only free the record.
void ForgetCompletionCounter(const uint32_t* pulCount);
/// A completion record for an asynchronous command; null when memory is short. The completion's
/// result goes to *pResult too, unless the issuer stopped waiting by then.
tagCompletionRecord* NewCompletionRecord(uint32_t* pulCount, tagDataRecord* pData = nullptr,
                                         int32_t* pResult = nullptr);

// --- Capability access by type ---------------------------------------------------------------
// Gets leave a response record under "prefLastNikonResponse".

bool GETEnumCapability(LPRefObj pRefObj, uint32_t ulCapID);
bool GETRangeCapability(LPRefObj pRefObj, uint32_t ulCapID);
bool GETUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID);
bool SETEnumCapability(LPRefObj pRefObj, uint32_t ulCapID, uint16_t wPosition);
bool SETRangeCapability(LPRefObj pRefObj, uint32_t ulCapID, double lfValue);
bool SETUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID, uint32_t ulValue);
bool GETEnumUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum);
bool GETEnumPackedStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum);
bool GETEnumStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum);
bool SETEnumUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum,
                               uint16_t wPosition);
bool SETEnumPackedStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum,
                                   uint16_t wPosition);
bool SETEnumStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum,
                             uint16_t wPosition);

// --- Capability value names ------------------------------------------------------------------

/// Names one element of an unsigned enumeration; psz must hold at least 33 bytes.
char* GetEnumString(uint32_t ulCapID, uint32_t ulValue, char* psz);
/// Describes an unsigned capability's value; psz must hold at least 256 bytes.
char* GetUnsignedString(uint32_t ulCapID, uint32_t ulValue, char* psz);

// --- Acquisition -----------------------------------------------------------------------------

bool IssueProcess(LPRefObj pRefObj, uint32_t ulCapID);
bool CheckIfNewItem(LPRefObj pRefSrc, uint32_t* pulItemCount);
/// The ids of the source's items, in the camera's order (its child list). False when the list
/// cannot be read; an empty list is a success.
bool ListItems(LPRefObj pRefSrc, std::vector<uint32_t>* pItemIDs);
/// Fetches an item's data (opening its data object if needed). With `outcome`, also says how
/// the acquire ended: the module's result, or -130 when the wait for it was given up (the data
/// object is then closed, so that a module still sending stops and nothing reaches a later
/// acquire).
bool ImageCommandLoop(LPRefObj pRefItm, uint32_t ulDataID, int32_t* outcome = nullptr);
bool IssueAcquire(LPRefObj pRefDat, int32_t* outcome = nullptr);

// --- Memory ----------------------------------------------------------------------------------
// Every allocation of the client goes through these, so that tests can make one fail.

void* MaidAlloc(size_t size);
void* MaidRealloc(void* p, size_t size);
void MaidFree(void* p);
/// Tests: the next `count` allocations succeed, then every one fails until reset with -1.
void SetMaidAllocationLimit(long count);
/// Tests: blocks taken through MaidAlloc (or MaidRealloc of null) and not yet given back.
long MaidLiveAllocations();

} // namespace zarv
