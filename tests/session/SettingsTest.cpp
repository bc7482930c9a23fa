// Reading and writing camera settings by capability, against the virtual camera.

#include "SessionTestSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

QVariantMap response() {
    return UserDefaults::standard().dictionaryForKey(QStringLiteral("prefLastNikonResponse"));
}

bool hasResponse() {
    return UserDefaults::standard().objectForKey(QStringLiteral("prefLastNikonResponse")).isValid();
}

TEST_F(SessionTest, EveryCapabilityOfTheTableReadsAndWrites) {
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    const QVariantMap table = ZarvNikonBaseCameraHandler::GetCapabilityTable();
    for (auto it = table.begin(); it != table.end(); ++it) {
        const QVariantMap row = it.value().toMap();
        const uint32_t code = row.value("value").toUInt();
        const QString kind = row.value("valuetype").toString();
        SCOPED_TRACE(it.key().toStdString());

        ASSERT_EQ(s.GetCameraInfo(code, kind), 0);
        QVariantMap r = response();
        ASSERT_FALSE(r.isEmpty());
        EXPECT_FALSE(r.value("key").toString().isEmpty());
        EXPECT_FALSE(r.contains("error"));
        if (kind == "enumtype") {
            const QVariantList elements = r.value("elements").toList();
            ASSERT_GE(elements.size(), 2);
            const int current = r.value("currentsetting").toInt();
            EXPECT_GE(current, 1);
            EXPECT_LE(current, elements.size());
            const int wanted = current == 1 ? 2 : 1;
            ASSERT_EQ(s.SetCameraInfo(wanted, code, kind), 0);
            EXPECT_FALSE(hasResponse()) << "a write leaves no record";
            ASSERT_EQ(s.GetCameraInfo(code, kind), 0);
            EXPECT_EQ(response().value("currentsetting").toInt(), wanted);
        } else if (kind == "rangetype") {
            const double lower = r.value("lowervalue").toDouble();
            const double upper = r.value("uppervalue").toDouble();
            ASSERT_LT(lower, upper);
            ASSERT_EQ(s.SetCameraInfo(upper, code, kind), 0);
            ASSERT_EQ(s.GetCameraInfo(code, kind), 0);
            EXPECT_NEAR(response().value("currentsetting").toDouble(), upper, 1e-9);
        } else {
            ASSERT_EQ(kind, "unsignedtype");
            EXPECT_TRUE(r.contains("currentsetting"));
            EXPECT_TRUE(r.contains("unsignedstring"));
        }
    }
    // The one writable unsigned setting.
    ASSERT_EQ(s.SetCameraInfo(0, kNkMAIDCapability_SaveMedia, "unsignedtype"), 0);
    ASSERT_EQ(s.GetCameraInfo(kNkMAIDCapability_SaveMedia, "unsignedtype"), 0);
    EXPECT_EQ(response().value("currentsetting").toInt(), 0);
    EXPECT_TRUE(response().value("unsignedstring").toString().contains("Card Only"));
    EXPECT_NE(g_ulCameraType, 0u) << "the camera type was read from the camera";

    // Kinds ignore letter case; an unknown kind leaves no record and changes nothing.
    ASSERT_EQ(s.GetCameraInfo(kNkMAIDCapability_ImageSize, "EnumType"), 0);
    EXPECT_EQ(response().value("currentsetting").toInt(), 2) << "as written above";
    EXPECT_EQ(s.SetCameraInfo(3, kNkMAIDCapability_ImageSize, "listtype"), 0);
    EXPECT_EQ(s.GetCameraInfo(kNkMAIDCapability_ImageSize, "listtype"), 0);
    EXPECT_FALSE(hasResponse());
    // A position past the list changes nothing.
    ASSERT_EQ(s.SetCameraInfo(70000 + 1, kNkMAIDCapability_ImageSize, "ENUMTYPE"), 0);
    ASSERT_EQ(s.GetImageSize(), 0);
    EXPECT_EQ(response().value("currentsetting").toInt(), 2) << "70001 cut to 16 bits is 4465";
    EXPECT_TRUE(s.isCameraConnected());
}

TEST_F(SessionTest, UnavailableSettingsAndAMissingSource) {
    setCameraConfig("fault_unavailable = 0x8157\n");
    ZarvNikonBaseCameraHandler& s = newSession();
    ASSERT_EQ(s.FindCamera(), 0);
    ASSERT_EQ(s.GetCameraInfo(kNkMAIDCapability_Sensitivity, "enumtype"), 0);
    ASSERT_TRUE(hasResponse());
    // Not available now: the previous record is gone and none replaces it.
    ASSERT_EQ(s.GetCameraInfo(kNkMAIDCapability_ImageSize, "enumtype"), 0);
    EXPECT_FALSE(hasResponse());

    // A source the module will not open.
    const uint32_t real = ulSrcID;
    ulSrcID = 77;
    EXPECT_EQ(s.GetCameraInfo(kNkMAIDCapability_Sensitivity, "enumtype"), 0);
    EXPECT_EQ(response(), (QVariantMap{{"error", "Source Object Can't be opened"}}));
    UserDefaults::standard().removeObject("prefLastNikonResponse");
    EXPECT_EQ(s.GetImageSize(), 0);
    EXPECT_FALSE(hasResponse()) << "the image-size read stores no error";
    ulSrcID = real;
    EXPECT_TRUE(s.CloseMyCamera());
    EXPECT_EQ(s.SetCameraInfo(1, kNkMAIDCapability_ImageSize, "enumtype"), 0);
    EXPECT_EQ(response(), (QVariantMap{{"error", "Source Object Can't be opened"}}));
}

TEST_F(SessionTest, AFailureRaisedDuringASettingIsAnErrorRecord) {
    ZarvNikonBaseCameraHandler& s = newSession("Crafted4");
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_EQ(s.GetCameraInfo(kNkMAIDCapability_ImageSize, "enumtype"), -1);
    EXPECT_TRUE(response().value("error").toString().contains("-126"));
    EXPECT_EQ(s.SetCameraInfo(1, kNkMAIDCapability_ImageSize, "enumtype"), -1);
    EXPECT_TRUE(response().contains("error"));
    EXPECT_EQ(s.GetImageSize(), -1);
    EXPECT_TRUE(s.isCameraConnected()) << "the camera is still there";
    EXPECT_TRUE(s.CloseMyCamera());
    EXPECT_EQ(craftedEvents(), (QStringList{"open 1", "open 2", "close 2", "close 1"}));
    // Forgotten without a close, the whole tree is freed all the same (this module keeps no
    // pointer into it, so a leak would show).
    ASSERT_EQ(s.FindCamera(), 0);
    EXPECT_EQ(s.CleanUp(), 0);
    EXPECT_EQ(s.CleanUp(), 0);
    EXPECT_FALSE(s.isCameraConnected());
}

} // namespace
