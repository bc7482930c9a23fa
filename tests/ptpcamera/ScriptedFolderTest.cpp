// The scripted test bundle's camera, driven through its folder as the end-to-end tests drive it:
// described, held, a dropped picture, unplugged.

#include "ScriptedFolder.h"
#include "PtpClient.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <fstream>

using namespace zarv;
using namespace zarv::ptp;
using namespace zarv::ptp::scripted;
using namespace zarv::ptp::test;

namespace {

void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(PtpScriptedFolder, DrivesTheModuleFromOutside) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::filesystem::path folder = dir.path().toStdString();
    FolderLayer layer(folder);
    Options o;
    o.layer = &layer;
    o.pollMs = 5;
    setOptions(o);
    PtpClient client;
    const auto children = [&] {
        client.call(&client.module, kNkMAIDCommand_EnumChildren, 0, 0, 0);
        tagNkMAIDEnum e{};
        client.call(&client.module, kNkMAIDCommand_CapGet, kNkMAIDCapability_Children,
                    kNkMAIDDataType_EnumPtr, ptrToWord(&e));
        return e.ulElements;
    };

    ASSERT_TRUE(client.openModule());
    EXPECT_EQ(children(), 0u) << "no camera file, no camera";
    write(folder / "camera", "model=Nikon DSC D750\nport=usb:002,003\nusb_product=0x0437\n");
    ASSERT_EQ(children(), 1u);
    write(folder / "held", "");
    EXPECT_EQ(client.openSource(), kNkMAIDResult_DeviceHeld);
    std::filesystem::remove(folder / "held");
    ASSERT_EQ(client.openSource(), kNkMAIDResult_NoError);
    uint32_t type = 0;
    client.call(&client.source, kNkMAIDCommand_CapGet, kNkMAIDCapability_CameraType,
                kNkMAIDDataType_UnsignedPtr, ptrToWord(&type));
    EXPECT_EQ(type, 0x0437u);

    // A dropped file is announced once, with its bytes.
    std::filesystem::create_directory(folder / "shots");
    write(folder / "shots" / ".partial", "ignored");
    write(folder / "shots" / "DSC_0001.JPG", "\xFF\xD8picture\xFF\xD9");
    const uint32_t id = client.waitForItem(1);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(client.startAcquire(id), kNkMAIDResult_NoError);
    ASSERT_TRUE(client.waitForCompletion());
    EXPECT_EQ(client.received, "\xFF\xD8picture\xFF\xD9");
    client.pumpUntil([] { return false; }, 0.2);
    EXPECT_EQ(client.sourceEvents.size(), 1u);

    write(folder / "unplug", "");
    const auto removed = std::make_pair(uint32_t(kNkMAIDEvent_RemoveChild), uint64_t(1));
    EXPECT_TRUE(client.pumpUntil([&] {
        return std::count(client.moduleEvents.begin(), client.moduleEvents.end(), removed) == 1;
    }));
    EXPECT_EQ(children(), 0u);
    client.closeModule();
    setOptions({});
}

} // namespace
