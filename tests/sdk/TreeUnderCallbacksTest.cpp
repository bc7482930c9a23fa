// The object tree while the module changes it from inside our own calls: removals, additions
// and list refreshes that arrive while a frame up the stack still holds a node.

#include "SdkTestSupport.h"

#include <QDir>
#include <QElapsedTimer>

#include <chrono>
#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

using Call = ScriptedModule::Call;

constexpr int32_t kSourceId = 1;
constexpr int32_t kItemId = 0x100;

class TreeUnderCallbacks : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSettings(); }
    void SetUp() override { live = MaidLiveAllocations(); }
    void TearDown() override {
        UserDefaults::standard().removeObject(QString::fromLatin1(kMaidCommandTimeoutKey));
        EXPECT_EQ(MaidLiveAllocations(), live) << "blocks leaked or freed twice";
    }

    static int closesOf(const ScriptedModule& m, const tagNkMAIDObject* object) {
        int n = 0;
        for (const Call& c : m.calls)
            n += c.command == kNkMAIDCommand_Close && c.object == object;
        return n;
    }

    // Runs `body`, which must unwind with the camera's removal.
    template <typename F> static void expectCameraRemoved(F&& body) {
        try {
            body();
            ADD_FAILURE() << "the removal did not unwind";
        } catch (const MaidException& e) {
            EXPECT_EQ(e.code(), kNkMAIDResult_CameraRemoved);
        }
    }

    long live = 0;
};

// Any command on an item object (the one being opened has no node yet to compare with).
std::function<bool(const Call&)> onItem(uint32_t command) {
    return [=](const Call& c) {
        return c.command == command && c.object && c.object->ulType == kNkMAIDObjectType_Item;
    };
}

TEST_F(TreeUnderCallbacks, AChildRemovedWhileItIsBeingAdded) {
    // The item, or the whole camera, goes away inside each step that follows the open.
    for (uint32_t step :
         {kNkMAIDCommand_GetCapCount, kNkMAIDCommand_GetCapInfo, kNkMAIDCommand_CapSet}) {
        for (bool wholeCamera : {false, true}) {
            SCOPED_TRACE(testing::Message() << "step " << step << ", camera " << wholeCamera);
            ScriptedModule m;
            ScriptedRoot r(m);
            ASSERT_TRUE(AddChild(&r.root, kSourceId));
            tagNkMAIDObject* sourceObject = r.root.children[0]->object;
            tagNkMAIDObject* moduleObject = r.root.object;
            // -124 from the array step makes the enumeration free its array after the removal.
            if (step == kNkMAIDCommand_GetCapInfo)
                m.handler = [&, first = true](const Call& c) mutable {
                    if (c.command == kNkMAIDCommand_GetCapInfo && first) {
                        first = false;
                        return int32_t(kNkMAIDResult_SetChanged);
                    }
                    return m.standard(c);
                };
            m.onceInside(onItem(step), [&] {
                if (wholeCamera)
                    m.event(moduleObject, kNkMAIDEvent_RemoveChild, kSourceId);
                else
                    m.event(sourceObject, kNkMAIDEvent_RemoveChild, kItemId);
            });
            if (wholeCamera) {
                expectCameraRemoved([&] { AddChild(r.root.children[0], kItemId); });
                EXPECT_EQ(r.root.childCount, 0u);
            } else {
                EXPECT_FALSE(AddChild(r.root.children[0], kItemId));
                EXPECT_EQ(r.root.children[0]->childCount, 0u);
            }
            m.handler = nullptr;
        }
    }
}

TEST_F(TreeUnderCallbacks, TheCameraRemovedDuringAnOpenLeavesNothingBehind) {
    ScriptedModule m;
    ScriptedRoot r(m);
    ASSERT_TRUE(AddChild(&r.root, kSourceId));
    LPRefObj source = r.root.children[0];
    tagNkMAIDObject* moduleObject = r.root.object;
    m.onceInside(ScriptedModule::on(kNkMAIDCommand_Open, source->object),
                 [&] { m.event(moduleObject, kNkMAIDEvent_RemoveChild, kSourceId); });
    expectCameraRemoved([&] { AddChild(source, kItemId); });
    EXPECT_EQ(r.root.childCount, 0u);
}

TEST_F(TreeUnderCallbacks, TheParentsListChangesDuringAnOpen) {
    ScriptedModule m;
    ScriptedRoot r(m);
    ASSERT_TRUE(AddChild(&r.root, kSourceId));
    LPRefObj source = r.root.children[0];

    // Another child announced while the first is being opened.
    m.onceInside(ScriptedModule::on(kNkMAIDCommand_Open, source->object),
                 [&] { m.event(source->object, kNkMAIDEvent_AddChild, kItemId + 1); });
    ASSERT_TRUE(AddChild(source, kItemId));
    ASSERT_EQ(source->childCount, 2u);
    EXPECT_NE(GetRefChildPtr_ID(source, kItemId), nullptr);
    EXPECT_NE(GetRefChildPtr_ID(source, kItemId + 1), nullptr);

    // The last other child removed while one is being opened.
    ASSERT_TRUE(RemoveChild(source, kItemId));
    m.onceInside(ScriptedModule::on(kNkMAIDCommand_Open, source->object),
                 [&] { m.event(source->object, kNkMAIDEvent_RemoveChild, kItemId + 1); });
    ASSERT_TRUE(AddChild(source, kItemId + 2));
    ASSERT_EQ(source->childCount, 1u);
    EXPECT_EQ(source->children[0]->id, kItemId + 2);
}

TEST_F(TreeUnderCallbacks, AChildAnnouncedToAParentBeingRemovedIsNotKept) {
    ScriptedModule m;
    m.capLists[kNkMAIDObjectType_Source].push_back(
        cap(kNkMAIDCapability_ProgressProc, kNkMAIDCapType_Callback, kNkMAIDCapOperation_Set));
    ScriptedRoot r(m);
    ASSERT_TRUE(AddChild(&r.root, kSourceId));
    tagNkMAIDObject* sourceObject = r.root.children[0]->object;
    int opened = 0;
    int closed = 0;
    m.handler = [&](const Call& c) {
        opened += c.command == kNkMAIDCommand_Open && c.object == sourceObject;
        closed += c.command == kNkMAIDCommand_Close && c.object->ulType == kNkMAIDObjectType_Item;
        return m.standard(c);
    };
    // While the source's progress procedure is taken back, it announces a new picture.
    m.onceInside(
        [&](const Call& c) {
            return c.command == kNkMAIDCommand_CapSet && c.object == sourceObject &&
                   c.param == kNkMAIDCapability_ProgressProc && c.dataType == kNkMAIDDataType_Null;
        },
        [&] { m.event(sourceObject, kNkMAIDEvent_AddChild, kItemId); });
    EXPECT_TRUE(RemoveChild(&r.root, kSourceId));
    EXPECT_EQ(r.root.childCount, 0u);
    EXPECT_EQ(opened, closed) << "every object opened is closed again";
    m.handler = nullptr;
}

TEST_F(TreeUnderCallbacks, AChildRemovedAgainWhileItIsBeingRemoved) {
    // Inside the reset of its procedures, or inside its close; by the item's own removal event or
    // by the camera's; through RemoveChild or through closing the module.
    for (uint32_t step : {kNkMAIDCommand_CapSet, kNkMAIDCommand_Close}) {
        for (int how = 0; how < 3; ++how) {
            SCOPED_TRACE(testing::Message() << "step " << step << ", how " << how);
            ScriptedModule m;
            tagNkMAIDObject* itemObject = nullptr;
            {
                ScriptedRoot r(m);
                ASSERT_TRUE(AddChild(&r.root, kSourceId));
                LPRefObj source = r.root.children[0];
                ASSERT_TRUE(AddChild(source, kItemId));
                itemObject = source->children[0]->object;
                tagNkMAIDObject* sourceObject = source->object;
                tagNkMAIDObject* moduleObject = r.root.object;
                m.onceInside(ScriptedModule::on(step, itemObject), [&] {
                    if (how == 1)
                        m.event(moduleObject, kNkMAIDEvent_RemoveChild, kSourceId);
                    else
                        m.event(sourceObject, kNkMAIDEvent_RemoveChild, kItemId);
                });
                if (how == 0) {
                    EXPECT_TRUE(RemoveChild(source, kItemId));
                    EXPECT_EQ(source->childCount, 0u);
                } else if (how == 1) {
                    expectCameraRemoved([&] { RemoveChild(source, kItemId); });
                    EXPECT_EQ(r.root.childCount, 0u);
                } else {
                    EXPECT_TRUE(Close_Module(&r.root));
                    EXPECT_EQ(r.root.object, nullptr);
                }
            }
            // Closed once; when the camera goes, closing its source may be all there is.
            if (how == 1)
                EXPECT_LE(closesOf(m, itemObject), 1);
            else
                EXPECT_EQ(closesOf(m, itemObject), 1);
        }
    }
}

TEST_F(TreeUnderCallbacks, ADataObjectDroppedWhileItsAcquireIsPrepared) {
    ScriptedModule m;
    ScriptedRoot r(m);
    LPRefObj item = openImageItem(m, r, kSourceId, kItemId);
    ASSERT_NE(item, nullptr);
    tagNkMAIDObject* itemObject = item->object;
    m.onceInside(
        [&](const Call& c) {
            return c.command == kNkMAIDCommand_CapSet && c.param == kNkMAIDCapability_DataProc;
        },
        [&] { m.event(itemObject, kNkMAIDEvent_RemoveChild, kNkMAIDDataObjType_Image); });
    m.calls.clear();
    EXPECT_FALSE(ImageCommandLoop(item, kNkMAIDDataObjType_Image));
    EXPECT_EQ(m.count(kNkMAIDCommand_CapStart), 0) << "nothing started on a closed object";
    EXPECT_EQ(item->childCount, 0u);
}

TEST_F(TreeUnderCallbacks, ACapabilityListReplacedDuringAGet) {
    ScriptedModule m;
    m.capLists[kNkMAIDObjectType_Source].push_back(cap(kNkMAIDCapability_ModuleType,
                                                       kNkMAIDCapType_Unsigned,
                                                       kNkMAIDCapOperation_Get, "Module type"));
    ScriptedRoot r(m);
    ASSERT_TRUE(AddChild(&r.root, kSourceId));
    LPRefObj source = r.root.children[0];
    m.onceInside(ScriptedModule::on(kNkMAIDCommand_CapGet, source->object), [&] {
        m.event(source->object, kNkMAIDEvent_CapChange, kNkMAIDCapability_ModuleType);
    });
    UserDefaults::standard().removeObject(QStringLiteral("prefLastNikonResponse"));
    ASSERT_TRUE(GETUnsignedCapability(source, kNkMAIDCapability_ModuleType));
    EXPECT_EQ(UserDefaults::standard()
                  .objectForKey(QStringLiteral("prefLastNikonResponse"))
                  .toMap()
                  .value(QStringLiteral("key")),
              QVariant(QStringLiteral("Module type")));
}

TEST_F(TreeUnderCallbacks, AFailedEnumerationLeavesAnEmptyList) {
    ScriptedModule m;
    ScriptedRoot r(m);
    ASSERT_TRUE(AddChild(&r.root, kSourceId));
    LPRefObj source = r.root.children[0];
    m.handler = [&](const Call& c) {
        return c.command == kNkMAIDCommand_GetCapInfo ? -5 : m.standard(c);
    };
    MaidFree(source->capInfos);
    source->capInfos = nullptr;
    source->capCount = 0;
    EXPECT_FALSE(EnumCapabilities(source->object, &source->capCount, &source->capInfos));
    EXPECT_EQ(source->capCount, 0u);
    EXPECT_EQ(source->capInfos, nullptr);
    m.handler = nullptr;
}

TEST_F(TreeUnderCallbacks, TheCamerasRemovalFreesWhatTheInterruptedCallHeld) {
    ScriptedModule m;
    m.capLists[kNkMAIDObjectType_Source].push_back(
        cap(kNkMAIDCapability_Children, kNkMAIDCapType_Enum, kNkMAIDCapOperation_Get));
    m.capLists[kNkMAIDObjectType_Source].push_back(
        cap(kNkMAIDCapability_FlashMode, kNkMAIDCapType_Enum,
            kNkMAIDCapOperation_Get | kNkMAIDCapOperation_Set, "Flash"));
    m.handler = [&](const Call& c) {
        if (c.command == kNkMAIDCommand_CapGet) {
            auto* e = wordToPtr<tagNkMAIDEnum>(c.data);
            e->ulType = kNkMAIDArrayType_Unsigned;
            e->ulElements = 2;
            e->wPhysicalBytes = 4;
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapGetArray) {
            auto* e = wordToPtr<tagNkMAIDEnum>(c.data);
            const uint32_t values[] = {0x200, 0x201};
            std::memcpy(wordToPtr<void>(e->pData), values, sizeof values);
            return 0;
        }
        return m.standard(c);
    };
    ScriptedRoot r(m);
    // Inside the array get of an item selection, an enumeration get and an enumeration set.
    const std::function<void(LPRefObj)> calls[] = {
        [](LPRefObj s) {
            uint32_t id = 0;
            SelectItem(s, &id);
        },
        [](LPRefObj s) { GETEnumCapability(s, kNkMAIDCapability_FlashMode); },
        [](LPRefObj s) { SETEnumCapability(s, kNkMAIDCapability_FlashMode, 2); },
    };
    const uint32_t during[] = {kNkMAIDCommand_CapGetArray, kNkMAIDCommand_CapGetArray,
                               kNkMAIDCommand_CapSet};
    for (size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(AddChild(&r.root, kSourceId));
        LPRefObj source = r.root.children[0];
        tagNkMAIDObject* moduleObject = r.root.object;
        m.onceInside(ScriptedModule::on(during[i], source->object),
                     [&] { m.event(moduleObject, kNkMAIDEvent_RemoveChild, kSourceId); });
        expectCameraRemoved([&] { calls[i](source); });
        EXPECT_EQ(r.root.childCount, 0u);
    }
}

TEST_F(TreeUnderCallbacks, ASlowTransferThatKeepsDeliveringIsNotGivenUp) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), folder.path());
    UserDefaults::standard().setObject(QString::fromLatin1(kMaidCommandTimeoutKey), 0.3);
    ScriptedModule m;
    ScriptedRoot r(m);
    LPRefObj item = openImageItem(m, r, kSourceId, kItemId);
    ASSERT_NE(item, nullptr);
    tagNkMAIDObject* dataObject = item->children[0]->object;

    // Eight pieces, or eight progress reports then one piece, 0.1 s apart: 0.8 s in all, much
    // longer than the time-out, but never 0.3 s without a sign of life.
    constexpr uint32_t kSteps = 8;
    for (bool byProgress : {false, true}) {
        SCOPED_TRACE(byProgress);
        tagNkMAIDFileInfo info{};
        info.ulType = kNkMAIDDataObjType_Image | kNkMAIDDataObjType_File;
        info.ulFileDataType = kNkMAIDFileDataType_JPEG;
        info.ulTotalLength = byProgress ? 1 : kSteps;
        info.ulLength = 1;
        auto step = [&m, &info, dataObject, byProgress](uint32_t i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (byProgress) {
                ProgressProc(kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, 0, i + 1, kSteps);
                if (i + 1 < kSteps)
                    return;
            }
            const tagNkMAIDCallback cb = m.callbacks[dataObject][kNkMAIDCapability_DataProc];
            if (!cb.pProc)
                return; // the acquire was given up
            info.ulStart = byProgress ? 0 : i;
            reinterpret_cast<LPMAIDDataProc>(wordToPtr<void>(cb.pProc))(cb.refProc, &info,
                                                                        const_cast<char*>("x"));
        };
        m.handler = [&](const Call& c) {
            if (c.command == kNkMAIDCommand_CapStart)
                for (uint32_t i = 0; i < kSteps; ++i)
                    m.queue.push_back([step, i] { step(i); });
            return m.standard(c);
        };
        QElapsedTimer timer;
        timer.start();
        EXPECT_TRUE(ImageCommandLoop(item, kNkMAIDDataObjType_Image));
        EXPECT_GE(timer.elapsed(), 700);
        m.handler = nullptr;
    }
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files).size(), 2);
}

} // namespace
