// What the module makes of file names, of the cameras libgphoto2 finds, and the memory of the
// pictures a body announced that were not fetched.

#include "Pictures.h"

#include "sdk/Maid.h"

#include <gtest/gtest.h>

using namespace zarv;
using namespace zarv::ptp;

namespace {

TEST(PtpPictures, PicturesKeepTheirOwnTypeAndOtherFilesAreNone) {
    EXPECT_EQ(fileDataTypeOf("DSC_0001.NEF"), uint32_t(kNkMAIDFileDataType_NEF));
    EXPECT_EQ(fileDataTypeOf("dsc_0001.nrw"), uint32_t(kNkMAIDFileDataType_NRW));
    EXPECT_EQ(fileDataTypeOf("a.tif"), uint32_t(kNkMAIDFileDataType_TIFF));
    EXPECT_EQ(fileDataTypeOf("capt0000.jpg"), uint32_t(kNkMAIDFileDataType_JPEG));
    EXPECT_EQ(fileDataTypeOf("DSC_0002.HIF"), uint32_t(kNkMAIDFileDataType_HEIF));
    for (const char* name : {"DSC_0003.MOV", "DSC_0004.MP4", "DSC_0005.WAV", "noextension",
                             "NIKON001.DSC", "archive.jpg.gz"})
        EXPECT_EQ(fileDataTypeOf(name), 0u) << name;
}

TEST(PtpPictures, OnlyCamerasThatShootAndTheOneAskedForAreOffered) {
    const std::vector<FoundCamera> found = {
        {"Mass Storage Camera", "disk:/media/card", 0, true},
        {"USB PTP Class Camera", "usb:", 0, true},
        {"Nikon DSC D750", "usb:001,009", 0x0437, true},
        {"Nikon Coolpix S3300", "usb:002,004", 0x0190, false},
        {"Nikon DSC D850", "usb:003,012", 0x0441, true},
    };
    const auto offered = [&found](uint32_t location) {
        std::vector<std::string> ports;
        for (const FoundCamera& c : found)
            if (!passedOver(c, location))
                ports.push_back(c.port);
        return ports;
    };
    EXPECT_EQ(offered(0), (std::vector<std::string>{"usb:001,009", "usb:003,012"}));
    EXPECT_EQ(offered((3u << 16) | 12u), std::vector<std::string>{"usb:003,012"});
    EXPECT_TRUE(offered((1u << 16) | 4u).empty());
    EXPECT_EQ(usbPort((1u << 16) | 9u), "usb:001,009");
}

TEST(PtpPictures, APictureIsKnownByPathSizeAndTimeAndRememberedPerBody) {
    Item first;
    first.file = {"/store_00010001/DCIM/100NIKON", "DSC_0001.JPG"};
    first.size = 1000;
    first.mtime = 100;
    Item again = first;
    again.id = 7;
    EXPECT_TRUE(first.samePicture(again));
    // After a format the numbering restarts: the same path is another picture.
    Item afterFormat = first;
    afterFormat.mtime = 200;
    EXPECT_FALSE(first.samePicture(afterFormat));
    // Pictures held in memory are never taken for one another by their names.
    Item ram;
    ram.file = {"/", "capt0000.jpg"};
    ram.bytes = std::make_shared<const std::string>("x");
    Item ram2 = ram;
    ram2.bytes = std::make_shared<const std::string>("x");
    EXPECT_FALSE(ram.samePicture(ram2));
    EXPECT_TRUE(heldInRam(ram.file));
    EXPECT_FALSE(heldInRam(first.file));

    Unfetched memory;
    memory.add("D750#1", first);
    memory.add("D750#1", again); // the same picture announced twice
    memory.add("D750#1", ram);
    memory.add("D750#1", ram2);
    memory.add("D850#2", afterFormat);
    memory.fetched("D750#1", ram);
    const std::vector<Item> waiting = memory.take("D750#1");
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_TRUE(waiting[0].samePicture(first));
    EXPECT_EQ(waiting[1].bytes, ram2.bytes);
    EXPECT_TRUE(memory.take("D750#1").empty());
    EXPECT_EQ(memory.take("D850#2").size(), 1u);
}

} // namespace
