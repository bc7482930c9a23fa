// The object tree and command layer against a scripted module.

#include "SdkTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <utility>

using namespace zarv;
using namespace zarv::test;

namespace {

class CommandLayer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSettings(); }
    void TearDown() override {
        SetMaidAllocationLimit(-1);
        UserDefaults::standard().removeObject(QString::fromLatin1(kMaidCommandTimeoutKey));
    }
};

TEST_F(CommandLayer, IdleLoopPumpsUntilTheCounterOrAFailingPump) {
    ScriptedModule m;
    tagNkMAIDObject object{};
    uint32_t counter = 1;
    EXPECT_TRUE(IdleLoop(&object, &counter, 1));
    EXPECT_EQ(m.pumps, 0) << "a reached target needs no pump";

    counter = 0;
    m.queue.push_back([] {});
    m.queue.push_back([&] { ++counter; });
    EXPECT_TRUE(IdleLoop(&object, &counter, 1));
    EXPECT_EQ(m.pumps, 2);

    // A pump result of 2, or any negative one, ends the wait although nothing completed.
    for (int32_t result : {2, -1, -127}) {
        counter = 0;
        m.pumps = 0;
        m.pumpResults = {0, 1, result, 0};
        EXPECT_TRUE(IdleLoop(&object, &counter, 1));
        EXPECT_EQ(m.pumps, 3) << result;
        EXPECT_EQ(counter, 0u);
        m.pumpResults.clear();
    }
}

TEST_F(CommandLayer, AWaitThatNeverCompletesGivesUpAtItsDeadline) {
    UserDefaults::standard().setObject(QString::fromLatin1(kMaidCommandTimeoutKey), 0.2);
    ScriptedModule m;
    ScriptedRoot r(m);
    // The module keeps the completion to itself.
    m.completes = [](const ScriptedModule::Call& c) { return c.command != kNkMAIDCommand_CapSet; };
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(
        Command_CapSet(r.root.object, kNkMAIDCapability_ModuleMode, kNkMAIDDataType_Unsigned, 1));
    EXPECT_GE(timer.elapsed(), 150);
    EXPECT_LT(timer.elapsed(), 5000);
    ASSERT_EQ(m.held.size(), 1u);
    // A late completion finds no counter to raise and only frees its record.
    m.held.front()();
    m.held.clear();
    // Another one the module never completes before it is closed: the close frees it, and a
    // completion after that is ignored (LeakSanitizer and AddressSanitizer watch both).
    EXPECT_FALSE(
        Command_CapSet(r.root.object, kNkMAIDCapability_ModuleMode, kNkMAIDDataType_Unsigned, 1));
    m.completes = nullptr;
    EXPECT_TRUE(
        Command_CapSet(r.root.object, kNkMAIDCapability_AsyncRate, kNkMAIDDataType_Unsigned, 1));
}

TEST_F(CommandLayer, CapGetRaisesEveryResultButNotAvailable) {
    ScriptedModule m;
    ScriptedRoot r(m);
    int32_t next = 0;
    m.handler = [&](const ScriptedModule::Call& c) {
        return c.command == kNkMAIDCommand_CapGet ? next : m.standard(c);
    };
    uint32_t value = 0;
    EXPECT_TRUE(Command_CapGet(r.root.object, 1, kNkMAIDDataType_UnsignedPtr, ptrToWord(&value)));
    next = kNkMAIDResult_NotAvailable;
    EXPECT_FALSE(Command_CapGet(r.root.object, 1, kNkMAIDDataType_UnsignedPtr, ptrToWord(&value)));
    for (int32_t failure : {-5, -126, 1, 164}) {
        next = failure;
        try {
            Command_CapGet(r.root.object, 1, kNkMAIDDataType_UnsignedPtr, ptrToWord(&value));
            ADD_FAILURE() << "no exception for " << failure;
        } catch (const MaidException& e) {
            EXPECT_EQ(e.code(), failure);
        }
    }
    // Set and array: true only on 0, never raised.
    next = 0;
    m.handler = [&](const ScriptedModule::Call& c) {
        return c.command == kNkMAIDCommand_GetCapCount ? m.standard(c) : next;
    };
    EXPECT_TRUE(Command_CapSet(r.root.object, 1, kNkMAIDDataType_Unsigned, 0));
    next = 1;
    EXPECT_FALSE(Command_CapSet(r.root.object, 1, kNkMAIDDataType_Unsigned, 0));
    EXPECT_FALSE(Command_CapGetArray(r.root.object, 1, kNkMAIDDataType_EnumPtr, 0));
    m.handler = nullptr;
}

TEST_F(CommandLayer, EnumerationRestartsOnAChangedSetFromEitherStep) {
    ScriptedModule m;
    std::deque<int32_t> countResults = {-124, 0, 0, 0};
    std::deque<int32_t> arrayResults = {-124, 0};
    m.handler = [&](const ScriptedModule::Call& c) {
        std::deque<int32_t>* script = c.command == kNkMAIDCommand_GetCapCount  ? &countResults
                                      : c.command == kNkMAIDCommand_GetCapInfo ? &arrayResults
                                                                               : nullptr;
        if (script && !script->empty()) {
            const int32_t r = script->front();
            script->pop_front();
            if (r != 0)
                return r;
        }
        return m.standard(c);
    };
    tagNkMAIDObject object{};
    object.ulType = kNkMAIDObjectType_Module;
    uint32_t count = 0;
    tagNkMAIDCapInfo* infos = nullptr;
    ASSERT_TRUE(EnumCapabilities(&object, &count, &infos));
    EXPECT_EQ(m.count(kNkMAIDCommand_GetCapCount), 3);
    EXPECT_EQ(m.count(kNkMAIDCommand_GetCapInfo), 2);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(infos[2].ulID, uint32_t(kNkMAIDCapability_Children));
    MaidFree(infos);
    infos = nullptr;

    // Any other result from the count ends it with no list.
    m.handler = [&](const ScriptedModule::Call& c) {
        return c.command == kNkMAIDCommand_GetCapCount ? -3 : m.standard(c);
    };
    EXPECT_FALSE(EnumCapabilities(&object, &count, &infos));
    EXPECT_EQ(infos, nullptr);
    EXPECT_EQ(count, 0u);

    // The array cannot be allocated: a failure, not an empty success.
    m.handler = nullptr;
    m.calls.clear();
    SetMaidAllocationLimit(1); // the completion record of the count, then nothing
    EXPECT_FALSE(EnumCapabilities(&object, &count, &infos));
    EXPECT_EQ(infos, nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(CommandLayer, TheTreeGrowsAndShrinksAndRefusalsLeaveItAsItWas) {
    ScriptedModule m;
    ScriptedRoot r(m);
    ASSERT_TRUE(AddChild(&r.root, 7));
    LPRefObj source = GetRefChildPtr_ID(&r.root, 7);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->parent, &r.root);
    EXPECT_EQ(source->object->refClient, ptrToWord(source));
    EXPECT_EQ(source->capCount, 1u);
    EXPECT_EQ(m.callbacks[source->object].count(kNkMAIDCapability_EventProc), 1u);
    EXPECT_EQ(GetRefChildPtr_ID(&r.root, 9), nullptr);
    EXPECT_EQ(GetRefChildPtr_ID(nullptr, 7), nullptr);

    // A refused open leaves the parent's list as it was, and the caller learns the module's
    // answer.
    m.handler = [&](const ScriptedModule::Call& c) {
        return c.command == kNkMAIDCommand_Open && c.param == 8 ? kNkMAIDResult_DeviceHeld
                                                                : m.standard(c);
    };
    int32_t opened = kNkMAIDResult_NoError;
    EXPECT_FALSE(AddChild(&r.root, 8, &opened));
    EXPECT_EQ(opened, kNkMAIDResult_DeviceHeld);
    EXPECT_EQ(r.root.childCount, 1u);
    EXPECT_EQ(r.root.children[0], source);
    m.handler = nullptr;

    // Allocation failures at each step leave it as it was too.
    for (long limit : {0L, 1L, 2L}) {
        SetMaidAllocationLimit(limit);
        EXPECT_FALSE(AddChild(&r.root, 8)) << limit;
        SetMaidAllocationLimit(-1);
        EXPECT_EQ(r.root.childCount, 1u) << limit;
        EXPECT_EQ(r.root.children[0], source);
    }

    ASSERT_TRUE(AddChild(&r.root, 8));
    EXPECT_EQ(r.root.childCount, 2u);
    EXPECT_TRUE(RemoveChild(&r.root, 7));
    EXPECT_EQ(r.root.childCount, 1u);
    EXPECT_EQ(r.root.children[0]->id, 8);
    EXPECT_FALSE(RemoveChild(&r.root, 7));
    EXPECT_TRUE(RemoveChild(&r.root, 8));
    EXPECT_EQ(r.root.childCount, 0u);
    EXPECT_EQ(r.root.children, nullptr);
    EXPECT_EQ(m.callbacks[nullptr].size(), 0u);
}

TEST_F(CommandLayer, CloseModuleClosesDeepestFirstAndKeepsTheRoot) {
    ScriptedModule m;
    std::vector<const tagNkMAIDObject*> expected;
    {
        ScriptedRoot r(m);
        ASSERT_TRUE(AddChild(&r.root, 1));
        LPRefObj source = r.root.children[0];
        ASSERT_TRUE(AddChild(source, 0x100));
        ASSERT_TRUE(AddChild(source, 0x101));
        ASSERT_TRUE(AddChild(source->children[0], 4));
        // The first item's data object, both items in order, the source, the module itself.
        expected = {source->children[0]->children[0]->object, source->children[0]->object,
                    source->children[1]->object, source->object, r.root.object};
        m.calls.clear();
        EXPECT_TRUE(Close_Module(&r.root));
        EXPECT_EQ(r.root.object, nullptr) << "the root node stays, emptied";
        EXPECT_EQ(r.root.childCount, 0u);
        EXPECT_EQ(r.root.children, nullptr);
        EXPECT_EQ(r.root.capInfos, nullptr);
    }
    std::vector<const tagNkMAIDObject*> closed;
    std::vector<const tagNkMAIDObject*> reset; // event procedures taken back before each close
    for (const ScriptedModule::Call& c : m.calls) {
        if (c.command == kNkMAIDCommand_Close)
            closed.push_back(c.object);
        if (c.command == kNkMAIDCommand_CapSet && c.param == kNkMAIDCapability_EventProc &&
            c.dataType == kNkMAIDDataType_Null) {
            EXPECT_EQ(std::count(closed.begin(), closed.end(), c.object), 0)
                << "reset after its close";
            reset.push_back(c.object);
        }
    }
    EXPECT_EQ(closed, expected);
    EXPECT_EQ(reset, expected);
    tagRefObj closedRoot;
    InitRefObj(&closedRoot);
    EXPECT_TRUE(Close_Module(&closedRoot)) << "a root with no object is already closed";
}

TEST_F(CommandLayer, SelectingSourceItemAndData) {
    ScriptedModule m;
    m.capLists[kNkMAIDObjectType_Source].push_back(
        cap(kNkMAIDCapability_Children, kNkMAIDCapType_Enum, kNkMAIDCapOperation_Get));
    m.capLists[kNkMAIDObjectType_Item].push_back(
        cap(kNkMAIDCapability_DataTypes, kNkMAIDCapType_Unsigned, kNkMAIDCapOperation_Get));
    std::map<uint32_t, std::vector<uint32_t>> children = {{kNkMAIDObjectType_Module, {0x31, 0x32}},
                                                          {kNkMAIDObjectType_Source, {}}};
    uint16_t bytes = 4;
    uint32_t dataTypes = kNkMAIDDataObjType_Sound;
    m.handler = [&](const ScriptedModule::Call& c) {
        if (c.command == kNkMAIDCommand_CapGet && c.param == kNkMAIDCapability_Children) {
            auto* e = wordToPtr<tagNkMAIDEnum>(c.data);
            e->ulType = kNkMAIDArrayType_Unsigned;
            e->ulElements = uint32_t(children[c.object->ulType].size());
            e->wPhysicalBytes = bytes;
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapGetArray) {
            auto* e = wordToPtr<tagNkMAIDEnum>(c.data);
            const auto& ids = children[c.object->ulType];
            std::memcpy(wordToPtr<void>(e->pData), ids.data(), ids.size() * 4);
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapGet && c.param == kNkMAIDCapability_DataTypes) {
            *wordToPtr<uint32_t>(c.data) = dataTypes;
            return 0;
        }
        return m.standard(c);
    };
    ScriptedRoot r(m);
    uint32_t id = 0;
    ASSERT_TRUE(SelectSource(&r.root, &id));
    EXPECT_EQ(id, 0x31u);
    ASSERT_TRUE(AddChild(&r.root, 0x31));
    LPRefObj source = r.root.children[0];

    uint32_t item = 0xABCD;
    EXPECT_TRUE(SelectItem(source, &item)) << "no items is not a failure";
    EXPECT_EQ(item, 0xABCDu);
    uint32_t count = 99;
    EXPECT_TRUE(CheckIfNewItem(source, &count));
    EXPECT_EQ(count, 0u);

    children[kNkMAIDObjectType_Source] = {0x200, 0x201};
    EXPECT_TRUE(SelectItem(source, &item));
    EXPECT_EQ(item, 0x200u);
    EXPECT_TRUE(CheckIfNewItem(source, &count));
    EXPECT_EQ(count, 2u);

    bytes = 2; // not a list of 32-bit ids
    EXPECT_FALSE(SelectItem(source, &item));
    count = 5;
    EXPECT_FALSE(CheckIfNewItem(source, &count));
    EXPECT_EQ(count, 0u);
    children[kNkMAIDObjectType_Module] = {};
    bytes = 4;
    EXPECT_FALSE(SelectSource(&r.root, &id)) << "a module without sources";

    ASSERT_TRUE(AddChild(source, 0x200));
    LPRefObj itemNode = source->children[0];
    uint32_t kind = 77;
    EXPECT_TRUE(SelectData(itemNode, &kind)) << "only sound: nothing to pick";
    EXPECT_EQ(kind, 77u);
    dataTypes = kNkMAIDDataObjType_Thumbnail | kNkMAIDDataObjType_Video;
    EXPECT_TRUE(SelectData(itemNode, &kind));
    EXPECT_EQ(kind, uint32_t(kNkMAIDDataObjType_Video));
    dataTypes = kNkMAIDDataObjType_Thumbnail | kNkMAIDDataObjType_Image;
    EXPECT_TRUE(SelectData(itemNode, &kind));
    EXPECT_EQ(kind, uint32_t(kNkMAIDDataObjType_Image));
    EXPECT_FALSE(SelectData(source, &kind)) << "a source has no data types";

    EXPECT_FALSE(CheckCapabilityOperation(nullptr, 7, 2));
    EXPECT_TRUE(CheckCapabilityOperation(source, kNkMAIDCapability_Children, 0x6));
    EXPECT_FALSE(CheckCapabilityOperation(source, kNkMAIDCapability_Children, 0x4));
}

TEST_F(CommandLayer, EventsBuildTheTreeAndTheCamerasRemovalUnwindsAsMinus20) {
    ScriptedModule m;
    ScriptedRoot r(m);
    // The module announces its camera while enumerating; the camera its picture, and so on.
    m.handler = [&](const ScriptedModule::Call& c) {
        if (c.command == kNkMAIDCommand_EnumChildren) {
            const uint64_t child = c.object->ulType == kNkMAIDObjectType_Module ? 1
                                   : c.object->ulType == kNkMAIDObjectType_Source
                                       ? 0x100
                                       : uint64_t(kNkMAIDDataObjType_Image);
            tagNkMAIDObject* object = c.object;
            m.queue.push_front(
                [&m, object, child] { m.event(object, kNkMAIDEvent_AddChild, child); });
        }
        return m.standard(c);
    };
    ASSERT_TRUE(EnumChildrten(r.root.object));
    ASSERT_EQ(r.root.childCount, 1u);
    LPRefObj source = r.root.children[0];
    ASSERT_EQ(source->childCount, 1u);
    LPRefObj item = source->children[0];
    ASSERT_EQ(item->childCount, 1u);
    EXPECT_EQ(item->children[0]->id, int32_t(kNkMAIDDataObjType_Image));

    // Events on the data object only print.
    m.event(item->children[0]->object, kNkMAIDEvent_AddChild, 9);
    m.event(item->children[0]->object, 1234, 0);
    EXPECT_EQ(item->childCount, 1u);

    // The item drops its data object, the source its item.
    m.event(item->object, kNkMAIDEvent_RemoveChild, kNkMAIDDataObjType_Image);
    EXPECT_EQ(item->childCount, 0u);
    m.event(source->object, kNkMAIDEvent_RemoveChild, 0x100);
    EXPECT_EQ(source->childCount, 0u);

    // The camera goes away during a wait: the tree loses it and the caller gets -20, thrown
    // only after the module's pump has returned.
    m.handler = nullptr;
    tagNkMAIDObject* module = r.root.object;
    m.queue.push_back([&m, module] { m.event(module, kNkMAIDEvent_RemoveChild, 1); });
    try {
        uint32_t value = 0;
        Command_CapGet(r.root.object, 1, kNkMAIDDataType_UnsignedPtr, ptrToWord(&value));
        ADD_FAILURE() << "the removal did not unwind";
    } catch (const MaidException& e) {
        EXPECT_EQ(e.code(), kNkMAIDResult_CameraRemoved);
    }
    EXPECT_EQ(r.root.childCount, 0u);
    EXPECT_EQ(r.root.children, nullptr);
    // Nothing stays pending for the next operation.
    uint32_t value = 0;
    m.flush();
    EXPECT_TRUE(Command_CapGet(r.root.object, 1, kNkMAIDDataType_UnsignedPtr, ptrToWord(&value)));
}

TEST_F(CommandLayer, StartsSucceedWithTheirExtraResultsAndAcquireNeedsItsDataProcedure) {
    ScriptedModule m;
    m.capLists[kNkMAIDObjectType_Source].push_back(cap(
        kNkMAIDCapability_Capture, kNkMAIDCapType_Process, kNkMAIDCapOperation_Start, "Capture"));
    int32_t startResult = 0;
    m.handler = [&](const ScriptedModule::Call& c) {
        return c.command == kNkMAIDCommand_CapStart ? startResult : m.standard(c);
    };
    ScriptedRoot r(m);
    ASSERT_TRUE(AddChild(&r.root, 1));
    LPRefObj source = r.root.children[0];
    for (int32_t ok : {0, 1, 164, 165, 166}) {
        startResult = ok;
        EXPECT_TRUE(IssueProcess(source, kNkMAIDCapability_Capture)) << ok;
        EXPECT_TRUE(m.queue.empty()) << "waited for the completion";
    }
    startResult = 163;
    EXPECT_FALSE(IssueProcess(source, kNkMAIDCapability_Capture));
    EXPECT_FALSE(IssueProcess(source, kNkMAIDCapability_Acquire)) << "not offered";
    EXPECT_FALSE(IssueProcess(nullptr, kNkMAIDCapability_Capture));
    m.flush();

    // A data object whose data procedure may not be set: nothing is started.
    ASSERT_TRUE(AddChild(source, 0x100));
    LPRefObj item = source->children[0];
    m.calls.clear();
    EXPECT_FALSE(ImageCommandLoop(item, kNkMAIDDataObjType_Image));
    ASSERT_EQ(item->childCount, 1u) << "opened on the way";
    EXPECT_EQ(m.count(kNkMAIDCommand_CapStart), 0);
    EXPECT_FALSE(ImageCommandLoop(item, kNkMAIDDataObjType_Image));
    EXPECT_EQ(m.count(kNkMAIDCommand_Open), 1) << "an open data object is not opened again";
}

TEST_F(CommandLayer, ADataObjectDroppedDuringItsAcquireEndsTheWait) {
    UserDefaults::standard().setObject(QString::fromLatin1(kMaidCommandTimeoutKey), 30);
    ScriptedModule m;
    ScriptedRoot r(m);
    LPRefObj item = openImageItem(m, r);
    ASSERT_NE(item, nullptr);
    tagNkMAIDObject* itemObject = item->object;
    // The acquire never completes; instead the camera drops the picture's data object.
    m.completes = [](const ScriptedModule::Call& c) {
        return c.command != kNkMAIDCommand_CapStart;
    };
    m.handler = [&](const ScriptedModule::Call& c) {
        if (c.command == kNkMAIDCommand_CapStart)
            m.queue.push_back([&m, itemObject] {
                m.event(itemObject, kNkMAIDEvent_RemoveChild, kNkMAIDDataObjType_Image);
            });
        return m.standard(c);
    };
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(ImageCommandLoop(item, kNkMAIDDataObjType_Image));
    EXPECT_LT(timer.elapsed(), 5000) << "not the time-out";
    EXPECT_EQ(item->childCount, 0u);
    UserDefaults::standard().removeObject(QString::fromLatin1(kMaidCommandTimeoutKey));
}

TEST_F(CommandLayer, WhatAGivenUpWaitLentTheModuleStaysAllocatedUntilTheClose) {
    UserDefaults::standard().setObject(QString::fromLatin1(kMaidCommandTimeoutKey), 0.1);
    const long before = MaidLiveAllocations();
    {
        ScriptedModule m;
        ScriptedRoot r(m);
        // The module keeps what it was given for these commands and fills it only after the
        // client stopped waiting: a count, a capability array, a child list and its record.
        std::vector<std::pair<void*, size_t>> kept;
        m.handler = [&](const ScriptedModule::Call& c) {
            if (c.command == kNkMAIDCommand_CapGet && c.param == kNkMAIDCapability_Children) {
                auto* e = wordToPtr<tagNkMAIDEnum>(c.data);
                e->ulType = kNkMAIDArrayType_Unsigned;
                e->ulElements = 3;
                e->wPhysicalBytes = 4;
                return 0;
            }
            return m.standard(c);
        };
        m.completes = [&](const ScriptedModule::Call& c) {
            switch (c.command) {
            case kNkMAIDCommand_GetCapCount:
                kept.emplace_back(wordToPtr<void>(c.data), sizeof(uint32_t));
                return false;
            case kNkMAIDCommand_GetCapInfo:
                kept.emplace_back(wordToPtr<void>(c.data), c.param * sizeof(tagNkMAIDCapInfo));
                return false;
            case kNkMAIDCommand_CapGetArray: {
                auto* e = wordToPtr<tagNkMAIDEnum>(c.data);
                kept.emplace_back(wordToPtr<void>(e->pData), size_t(e->ulElements) * 4);
                kept.emplace_back(e, sizeof *e);
                return false;
            }
            default:
                return true;
            }
        };
        uint32_t count = 7;
        tagNkMAIDCapInfo* infos = nullptr;
        EXPECT_FALSE(EnumCapabilities(r.root.object, &count, &infos)) << "count held";
        EXPECT_EQ(count, 0u);
        m.completes = [&, inner = m.completes](const ScriptedModule::Call& c) {
            return c.command == kNkMAIDCommand_GetCapCount || inner(c);
        };
        EXPECT_FALSE(EnumCapabilities(r.root.object, &count, &infos)) << "array held";
        EXPECT_EQ(infos, nullptr);
        std::vector<uint32_t> ids{1, 2};
        EXPECT_FALSE(ListItems(&r.root, &ids));
        EXPECT_TRUE(ids.empty());
        ASSERT_EQ(kept.size(), 4u);
        ASSERT_EQ(m.held.size(), 3u);

        // The late writes land in memory that is still allocated (AddressSanitizer watches),
        // and the late completions only free their records.
        for (const auto& [block, size] : kept)
            std::memset(block, 0x5A, size);
        for (auto& complete : std::exchange(m.held, {}))
            complete();
        EXPECT_EQ(count, 0u) << "nothing reaches the caller once it stopped waiting";
        EXPECT_EQ(infos, nullptr);
        EXPECT_TRUE(ids.empty());
        m.completes = nullptr;
    }
    EXPECT_EQ(MaidLiveAllocations(), before) << "the close frees what the module kept";
}

TEST_F(CommandLayer, AnAcquireSucceedsOnlyWhenThePictureWasSaved) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    ScriptedModule m;
    ScriptedRoot r(m);
    LPRefObj item = openImageItem(m, r);
    ASSERT_NE(item, nullptr);
    tagNkMAIDObject* dataObject = item->children[0]->object;

    // The module delivers `length` of `total` bytes and then reports the acquire complete
    // without an error, whatever the data procedure answered.
    uint32_t total = 0;
    uint32_t length = 0;
    m.handler = [&](const ScriptedModule::Call& c) {
        if (c.command == kNkMAIDCommand_CapStart)
            m.queue.push_back([&m, &total, &length, dataObject] {
                tagNkMAIDFileInfo info{};
                info.ulType = kNkMAIDDataObjType_Image | kNkMAIDDataObjType_File;
                info.ulFileDataType = kNkMAIDFileDataType_JPEG;
                info.ulTotalLength = total;
                info.ulLength = length;
                const tagNkMAIDCallback cb = m.callbacks[dataObject][kNkMAIDCapability_DataProc];
                reinterpret_cast<LPMAIDDataProc>(wordToPtr<void>(cb.pProc))(
                    cb.refProc, &info, const_cast<char*>("abcd"));
            });
        return m.standard(c);
    };
    const int32_t savedBefore = gNikonCameraCaptureCount;
    const auto acquire = [&](const QString& saveFolder, uint32_t t, uint32_t l) {
        UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), saveFolder);
        total = t;
        length = l;
        return ImageCommandLoop(item, kNkMAIDDataObjType_Image);
    };
    // A save folder that cannot be made (its parent is a file), and a picture cut short.
    QFile blocker(folder.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(acquire(folder.filePath("file/pictures"), 4, 4));
    EXPECT_FALSE(acquire(folder.path(), 4, 2));
    EXPECT_EQ(gNikonCameraCaptureCount, savedBefore);
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"file"});
    EXPECT_TRUE(acquire(folder.path(), 4, 4));
    EXPECT_EQ(gNikonCameraCaptureCount, savedBefore + 1);
    UserDefaults::standard().removeObject(QStringLiteral("prefSaveFolderPath"));
}

TEST_F(CommandLayer, CompletionsWithUnknownReferencesAreIgnored) {
    ScriptedModule m;
    tagCompletionRecord stray{};
    uint32_t counter = 0;
    stray.pulCount = ptrToWord(&counter);
    CompletionProc(nullptr, kNkMAIDCommand_CapGet, 0, 0, 0, ptrToWord(&stray), 0);
    CompletionProc(nullptr, kNkMAIDCommand_CapGet, 0, 0, 0, 0, 0);
    EXPECT_EQ(counter, 0u);
}

} // namespace
