// The object tree: its nodes, their children, capability lists and procedures, and closing it.

#include "platform/Log.h"
#include "sdk/CallBack.h"
#include "sdk/Function.h"
#include "sdk/Internal.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zarv {

using namespace sdk_internal;

namespace {

// Nodes removed and blocks given up during the current client call (see TreeGuard), and the
// nodes whose removal is under way.
int g_treeDepth = 0;
std::vector<void*>& retiredBlocks() {
    static std::vector<void*> blocks;
    return blocks;
}
std::unordered_set<LPRefObj>& retiredNodes() {
    static std::unordered_set<LPRefObj> nodes;
    return nodes;
}
std::unordered_set<const tagRefObj*>& nodesBeingRemoved() {
    static std::unordered_set<const tagRefObj*> nodes;
    return nodes;
}

} // namespace

namespace sdk_internal {

TreeGuard::TreeGuard() {
    ++g_treeDepth;
}

TreeGuard::~TreeGuard() {
    if (--g_treeDepth > 0 || (retiredNodes().empty() && retiredBlocks().empty()))
        return;
    // Freeing makes no module call, so nothing is retired while this runs.
    const auto nodes = std::exchange(retiredNodes(), {});
    const auto blocks = std::exchange(retiredBlocks(), {});
    for (LPRefObj node : nodes)
        FreeRefObjTree(node, true);
    for (void* block : blocks)
        MaidFree(block);
}

void retireBlock(void* p) {
    if (!p)
        return;
    if (g_treeDepth > 0)
        retiredBlocks().push_back(p);
    else
        MaidFree(p);
}

bool isRetired(const tagRefObj* pRef) {
    return retiredNodes().count(const_cast<LPRefObj>(pRef)) != 0;
}

} // namespace sdk_internal

// --- Nodes and their children -------------------------------------------------------------

void InitRefObj(LPRefObj pRef) {
    pRef->object = nullptr;
    pRef->id = kRootObjectId;
    pRef->parent = nullptr;
    pRef->childCount = 0;
    pRef->children = nullptr;
    pRef->capCount = 0;
    pRef->capInfos = nullptr;
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

// Takes a removed node out of service: its object counts as closed at once (waits on it end),
// its memory goes when the outermost client call returns.
void retireNode(LPRefObj pRef) {
    noteObjectClosed(pRef->object);
    if (g_treeDepth > 0)
        retiredNodes().insert(pRef);
    else
        FreeRefObjTree(pRef, true);
}

// Marks a node whose removal is under way, for as long as it runs (however it ends).
class RemovalMark {
public:
    explicit RemovalMark(const tagRefObj* pRef) : m_ref(pRef) { nodesBeingRemoved().insert(pRef); }
    ~RemovalMark() { nodesBeingRemoved().erase(m_ref); }
    RemovalMark(const RemovalMark&) = delete;
    RemovalMark& operator=(const RemovalMark&) = delete;

private:
    const tagRefObj* m_ref;
};

bool beingRemoved(const tagRefObj* pRef) {
    return nodesBeingRemoved().count(pRef) != 0;
}

// Takes a child out of its parent's list, found by identity: callbacks may have reordered it.
void detachChild(LPRefObj pRefParent, LPRefObj pRefChild) {
    uint32_t index = 0;
    while (index < pRefParent->childCount && pRefParent->children[index] != pRefChild)
        ++index;
    if (index == pRefParent->childCount)
        return;
    for (uint32_t i = index + 1; i < pRefParent->childCount; ++i)
        pRefParent->children[i - 1] = pRefParent->children[i];
    --pRefParent->childCount;
    if (pRefParent->childCount == 0) {
        retireBlock(pRefParent->children);
        pRefParent->children = nullptr;
    }
}

// Appends a child to its parent's list; false when memory is short.
bool attachChild(LPRefObj pRefParent, LPRefObj pRefChild) {
    auto* grown =
        static_cast<LPRefObj*>(MaidAlloc((pRefParent->childCount + 1) * sizeof(LPRefObj)));
    if (!grown)
        return false;
    if (pRefParent->childCount > 0)
        std::memcpy(grown, pRefParent->children, pRefParent->childCount * sizeof(LPRefObj));
    grown[pRefParent->childCount] = pRefChild;
    retireBlock(pRefParent->children);
    pRefParent->children = grown;
    ++pRefParent->childCount;
    return true;
}

bool removeNode(LPRefObj pRefParent, LPRefObj pRefChild);

// Removes a node's children, first to last, each with everything below it. A child whose
// removal is already under way further up the stack is left to it.
bool removeChildren(LPRefObj pRef) {
    for (uint32_t i = 0; i < pRef->childCount;) {
        LPRefObj child = pRef->children[i];
        if (beingRemoved(child)) {
            ++i;
            continue;
        }
        if (!removeNode(pRef, child))
            return false;
    }
    return true;
}

// Removes a child's own children, resets its procedures, closes it and takes it out of the tree.
bool removeNode(LPRefObj pRefParent, LPRefObj pRefChild) {
    // A removal announced again from inside this one finds the mark and leaves the work here.
    RemovalMark mark(pRefChild);
    if (!removeChildren(pRefChild) || !ResetProc(pRefChild))
        return false;
    if (CallMAIDEntryPoint(pRefChild->object, kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0,
                           nullptr, 0) != kNkMAIDResult_NoError)
        return false;
    detachChild(pRefParent, pRefChild);
    retireNode(pRefChild);
    return true;
}

// Frees a node that never made it into the tree, however AddChild ends.
struct UnattachedNode {
    LPRefObj node;
    ~UnattachedNode() {
        if (node)
            FreeRefObjTree(node, true);
    }
};

} // namespace

bool AddChild(LPRefObj pRefParent, int32_t lIDChild, int32_t* pOpenResult) {
    TreeGuard guard;
    // A parent on its way out takes no new children: they would outlive its close.
    auto parentGoing = [pRefParent] {
        return isRetired(pRefParent) || beingRemoved(pRefParent) || !pRefParent->object;
    };
    if (!pRefParent || parentGoing())
        return false;
    UnattachedNode pending{static_cast<LPRefObj>(MaidAlloc(sizeof(tagRefObj)))};
    LPRefObj child = pending.node;
    if (!child) {
        Log::diagnostic("There is not enough memory\n");
        return false;
    }
    *child = tagRefObj{};
    child->id = lIDChild;
    child->parent = pRefParent;
    child->object = static_cast<tagNkMAIDObject*>(MaidAlloc(sizeof(tagNkMAIDObject)));
    if (!child->object) {
        Log::diagnostic("There is not enough memory\n");
        return false;
    }
    std::memset(child->object, 0, sizeof(tagNkMAIDObject));
    child->object->refClient = ptrToWord(child);
    if (!Command_Open(pRefParent->object, child->object, uint32_t(lIDChild), pOpenResult)) {
        Log::diagnostic("Failed in Opening an object.\n");
        return false;
    }
    // The open may have run callbacks: the parent can be gone, its list changed. The child joins
    // the list as it is now.
    const bool parentGone = parentGoing();
    if (parentGone || !attachChild(pRefParent, child)) {
        if (!parentGone)
            Log::diagnostic("There is not enough memory\n");
        CallMAIDEntryPoint(child->object, kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0, nullptr,
                           0);
        return false;
    }
    pending.node = nullptr;
    // From here on callbacks may remove the child; it stays readable until we return.
    EnumCapabilities(child->object, &child->capCount, &child->capInfos);
    if (!isRetired(child))
        SetProc(child);
    return !isRetired(child);
}

bool RemoveChild(LPRefObj pRefParent, int32_t lIDChild) {
    TreeGuard guard;
    LPRefObj child = GetRefChildPtr_ID(pRefParent, lIDChild);
    if (!child)
        return false;
    return beingRemoved(child) || removeNode(pRefParent, child);
}

namespace {

// False too when an earlier set let a callback remove the node: its object is closed.
bool setCallback(LPRefObj pRefObj, uint32_t ulCapID, void* proc) {
    if (isRetired(pRefObj))
        return false;
    tagNkMAIDCallback callback{ptrToWord(reinterpret_cast<const void*>(proc)), ptrToWord(pRefObj)};
    return Command_CapSet(pRefObj->object, ulCapID, kNkMAIDDataType_CallbackPtr,
                          ptrToWord(&callback));
}

template <typename F> void* procAddress(F f) {
    return reinterpret_cast<void*>(f);
}

} // namespace

bool SetProc(LPRefObj pRefObj) {
    TreeGuard guard;
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
    TreeGuard guard;
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

void FreeRefObjTree(LPRefObj pRef, bool freeRoot) {
    if (!pRef)
        return;
    for (uint32_t i = 0; i < pRef->childCount; ++i)
        FreeRefObjTree(pRef->children[i], true);
    noteObjectClosed(pRef->object);
    retireBlock(pRef->children);
    retireBlock(pRef->capInfos);
    retireBlock(pRef->object);
    pRef->children = nullptr;
    pRef->capInfos = nullptr;
    pRef->object = nullptr;
    pRef->childCount = 0;
    pRef->capCount = 0;
    if (freeRoot)
        retireBlock(pRef);
}

bool Close_Module(LPRefObj pRefMod) {
    if (!pRefMod)
        return false;
    if (!pRefMod->object)
        return true;
    TreeGuard guard;
    if (!removeChildren(pRefMod) || !ResetProc(pRefMod) ||
        CallMAIDEntryPoint(pRefMod->object, kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0,
                           nullptr, 0) != kNkMAIDResult_NoError)
        return false;
    // A closed module completes nothing more: what it still held is ours to free. Should it
    // complete one anyway, CompletionProc no longer knows the reference and ignores it.
    releaseModuleHoldings();
    // The children are closed and gone already; the root's own records go, the node stays.
    FreeRefObjTree(pRefMod, false);
    return true;
}

namespace sdk_internal {

bool readChildIds(LPRefObj pRef, std::vector<uint32_t>* pIDs) {
    TreeGuard guard;
    pIDs->clear();
    const tagNkMAIDCapInfo* info = GetCapInfo(pRef, kNkMAIDCapability_Children);
    if (!info || info->ulType != kNkMAIDCapType_Enum ||
        !(info->ulOperations & kNkMAIDCapOperation_Get))
        return false;
    tagNkMAIDEnum stEnum{};
    if (!Command_CapGet(pRef->object, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                        ptrToWord(&stEnum)))
        return false;
    if (stEnum.ulElements == 0)
        return true;
    // The get may have let a callback remove the node: its object is closed.
    if (stEnum.wPhysicalBytes != 4 || stEnum.ulElements > (1u << 24) || isRetired(pRef))
        return false;
    const uint32_t capacity = stEnum.ulElements;
    MaidPtr<uint32_t> ids(static_cast<uint32_t*>(MaidAlloc(size_t(capacity) * 4)));
    if (!ids)
        return false;
    stEnum.pData = ptrToWord(ids.get());
    // A module may shorten the list between the two calls, but must not claim more than fits.
    if (!Command_CapGetArray(pRef->object, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr,
                             ptrToWord(&stEnum)) ||
        stEnum.ulElements > capacity)
        return false;
    pIDs->assign(ids.get(), ids.get() + stEnum.ulElements);
    return true;
}

} // namespace sdk_internal

bool SelectSource(LPRefObj pRefMod, uint32_t* pulSrcID) {
    std::vector<uint32_t> ids;
    if (!readChildIds(pRefMod, &ids) || ids.empty())
        return false;
    *pulSrcID = ids.front();
    return true;
}

bool SelectItem(LPRefObj pRefSrc, uint32_t* pulItemID) {
    std::vector<uint32_t> ids;
    if (!readChildIds(pRefSrc, &ids))
        return false;
    if (!ids.empty())
        *pulItemID = ids.front();
    return true;
}

bool SelectData(LPRefObj pRefItm, uint32_t* pulDataType) {
    TreeGuard guard;
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
