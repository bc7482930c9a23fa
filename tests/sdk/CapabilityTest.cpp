// Typed capability access and value names.

#include "SdkTestSupport.h"

#include <QStringList>
#include <QVariantMap>

using namespace zarv;
using namespace zarv::test;

namespace {

constexpr uint32_t kPacked = 0x9002;
constexpr uint32_t kUnknownEnum = 0x9999;
constexpr uint32_t kEmptyEnum = 0x9998;
constexpr uint32_t kReadOnlyRange = 0x9997;
constexpr uint32_t kG = kNkMAIDCapOperation_Get;
constexpr uint32_t kGS = kNkMAIDCapOperation_Get | kNkMAIDCapOperation_Set;

struct EnumValue {
    uint32_t type;
    std::vector<uint8_t> bytes; // the element array as the module sends it
    uint32_t elements;
    uint16_t size;
    uint32_t current;
};

template <typename T> std::vector<uint8_t> asBytes(const std::vector<T>& v) {
    std::vector<uint8_t> out(v.size() * sizeof(T));
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}

std::vector<uint8_t> stringSlots(const std::vector<std::string>& texts) {
    std::vector<uint8_t> out(texts.size() * 256, 0);
    for (size_t i = 0; i < texts.size(); ++i)
        std::memcpy(out.data() + i * 256, texts[i].c_str(), texts[i].size());
    return out;
}

class Capabilities : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSettings(); }

    void SetUp() override {
        auto& caps = m.capLists[kNkMAIDObjectType_Source];
        caps.push_back(cap(kNkMAIDCapability_FlashMode, kNkMAIDCapType_Enum, kGS, "Flash Mode"));
        caps.push_back(cap(kPacked, kNkMAIDCapType_Enum, kGS, "Packed"));
        caps.push_back(cap(kNkMAIDCapability_ImageSize, kNkMAIDCapType_Enum, kG, "Image Size"));
        caps.push_back(cap(kUnknownEnum, kNkMAIDCapType_Enum, kGS, "Unknown"));
        caps.push_back(cap(kEmptyEnum, kNkMAIDCapType_Enum, kGS, "Empty"));
        caps.push_back(cap(kNkMAIDCapability_ExposureComp, kNkMAIDCapType_Range, kGS, "Comp"));
        caps.push_back(cap(kNkMAIDCapability_FlexibleProgram, kNkMAIDCapType_Range, kGS, "Prog"));
        caps.push_back(cap(kReadOnlyRange, kNkMAIDCapType_Range, kG, "Fixed"));
        caps.push_back(cap(kNkMAIDCapability_CameraWarnings, kNkMAIDCapType_Unsigned, kGS, "Warn"));
        caps.push_back(cap(kNkMAIDCapability_DataTypes, kNkMAIDCapType_Unsigned, kG, "Types"));

        enums[kNkMAIDCapability_FlashMode] = {kNkMAIDArrayType_Unsigned,
                                              asBytes<uint32_t>({0, 3, 262, 999}), 4, 4, 2};
        const std::string packed("A\0BC\0D\0", 7);
        enums[kPacked] = {kNkMAIDArrayType_PackedString,
                          std::vector<uint8_t>(packed.begin(), packed.end()), 7, 1, 1};
        enums[kNkMAIDCapability_ImageSize] = {kNkMAIDArrayType_String,
                                              stringSlots({"6016x4016", "3008x2008"}), 2, 256, 0};
        enums[kUnknownEnum] = {kNkMAIDArrayType_Unsigned, asBytes<uint32_t>({1, 2}), 2, 4, 0};
        enums[kEmptyEnum] = {kNkMAIDArrayType_Unsigned, {}, 0, 4, 0};
        ranges[kNkMAIDCapability_ExposureComp] = range(-3.0, 3.0, 13, 6, 0.0);
        ranges[kNkMAIDCapability_FlexibleProgram] = range(-5.0, 5.0, 0, 0, 1.5);
        ranges[kReadOnlyRange] = range(0.0, 1.0, 0, 0, 0.5);
        unsignedValues[kNkMAIDCapability_CameraWarnings] = 0x4000 | 0x4;
        unsignedValues[kNkMAIDCapability_DataTypes] = 0x9;

        m.handler = [this](const ScriptedModule::Call& c) { return serve(c); };
        root = std::make_unique<ScriptedRoot>(m);
        EXPECT_TRUE(AddChild(&root->root, 1));
        source = root->root.children[0];
        defaults().removeObject(QStringLiteral("prefLastNikonResponse"));
    }
    void TearDown() override { root.reset(); }

    static tagNkMAIDRange range(double lo, double hi, uint32_t steps, uint32_t index, double v) {
        tagNkMAIDRange r{};
        r.lfLower = lo;
        r.lfUpper = hi;
        r.ulSteps = steps;
        r.ulValueIndex = index;
        r.lfValue = v;
        return r;
    }

    static UserDefaults& defaults() { return UserDefaults::standard(); }
    static QVariantMap response() {
        return defaults().dictionaryForKey(QStringLiteral("prefLastNikonResponse"));
    }

    int32_t serve(const ScriptedModule::Call& c) {
        if (c.command == kNkMAIDCommand_CapGet && enums.count(c.param)) {
            const EnumValue& e = enums[c.param];
            auto* out = wordToPtr<tagNkMAIDEnum>(c.data);
            out->ulType = e.type;
            out->ulElements = e.elements;
            out->ulValue = e.current;
            out->wPhysicalBytes = e.size;
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapGetArray && enums.count(c.param)) {
            const EnumValue& e = enums[c.param];
            std::memcpy(wordToPtr<void>(wordToPtr<tagNkMAIDEnum>(c.data)->pData), e.bytes.data(),
                        e.bytes.size());
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapSet && enums.count(c.param)) {
            enums[c.param].current = wordToPtr<tagNkMAIDEnum>(c.data)->ulValue;
            ++sets;
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapGet && ranges.count(c.param)) {
            *wordToPtr<tagNkMAIDRange>(c.data) = ranges[c.param];
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapSet && ranges.count(c.param)) {
            ranges[c.param] = *wordToPtr<tagNkMAIDRange>(c.data);
            ++sets;
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapGet && unsignedValues.count(c.param)) {
            *wordToPtr<uint32_t>(c.data) = unsignedValues[c.param];
            return 0;
        }
        if (c.command == kNkMAIDCommand_CapSet && unsignedValues.count(c.param)) {
            EXPECT_EQ(c.dataType, uint32_t(kNkMAIDDataType_Unsigned));
            unsignedValues[c.param] = uint32_t(c.data);
            ++sets;
            return 0;
        }
        return m.standard(c);
    }

    ScriptedModule m;
    std::unique_ptr<ScriptedRoot> root;
    LPRefObj source = nullptr;
    std::map<uint32_t, EnumValue> enums;
    std::map<uint32_t, tagNkMAIDRange> ranges;
    std::map<uint32_t, uint32_t> unsignedValues;
    int sets = 0;
};

TEST_F(Capabilities, EnumerationsOfEachElementTypeReadIntoTheResponse) {
    ASSERT_TRUE(GETEnumCapability(source, kNkMAIDCapability_FlashMode));
    QVariantMap r = response();
    EXPECT_EQ(r.value("key").toString(), "Flash Mode");
    EXPECT_EQ(r.value("elements").toStringList(),
              QStringList({"Normal", "Red Eye Reduction", "flash off", "FlashMode 999"}));
    EXPECT_EQ(r.value("currentsetting").toInt(), 3);

    ASSERT_TRUE(GETEnumCapability(source, kPacked));
    EXPECT_EQ(response().value("elements").toStringList(), QStringList({"A", "BC", "D"}));
    EXPECT_EQ(response().value("currentsetting").toInt(), 2);

    ASSERT_TRUE(GETEnumCapability(source, kNkMAIDCapability_ImageSize));
    EXPECT_EQ(response().value("elements").toStringList(), QStringList({"6016x4016", "3008x2008"}));
    EXPECT_EQ(response().value("currentsetting").toInt(), 1);

    ASSERT_TRUE(GETEnumCapability(source, kUnknownEnum));
    EXPECT_EQ(response().value("elements").toStringList(),
              QStringList({"Undefined String", "Undefined String"}));

    // No elements: true, but no response and no array fetched.
    defaults().removeObject(QStringLiteral("prefLastNikonResponse"));
    m.calls.clear();
    EXPECT_TRUE(GETEnumCapability(source, kEmptyEnum));
    EXPECT_TRUE(response().isEmpty());
    EXPECT_EQ(m.count(kNkMAIDCommand_CapGetArray), 0);

    // A wrong kind, a missing capability, a bad element size: false, nothing stored.
    EXPECT_FALSE(GETEnumCapability(source, kNkMAIDCapability_ExposureComp));
    EXPECT_FALSE(GETRangeCapability(source, kNkMAIDCapability_FlashMode));
    EXPECT_FALSE(GETUnsignedCapability(source, kPacked));
    EXPECT_FALSE(GETEnumCapability(source, 0x1234));
    EXPECT_FALSE(GETEnumCapability(nullptr, kNkMAIDCapability_FlashMode));
    enums[kPacked].size = 4;
    EXPECT_FALSE(GETEnumCapability(source, kPacked));
    enums[kPacked].type = 5;
    EXPECT_FALSE(GETEnumCapability(source, kPacked));
    EXPECT_TRUE(response().isEmpty());
}

TEST_F(Capabilities, SettingAnEnumerationPosition) {
    EXPECT_TRUE(SETEnumCapability(source, kNkMAIDCapability_FlashMode, 1));
    EXPECT_EQ(enums[kNkMAIDCapability_FlashMode].current, 0u);
    EXPECT_TRUE(SETEnumCapability(source, kNkMAIDCapability_FlashMode, 4));
    EXPECT_EQ(enums[kNkMAIDCapability_FlashMode].current, 3u);
    // Position 0 and one past the count succeed and change nothing.
    sets = 0;
    EXPECT_TRUE(SETEnumCapability(source, kNkMAIDCapability_FlashMode, 0));
    EXPECT_TRUE(SETEnumCapability(source, kNkMAIDCapability_FlashMode, 5));
    EXPECT_EQ(sets, 0);
    // Packed strings count bytes; a read-only list is left alone.
    EXPECT_TRUE(SETEnumCapability(source, kPacked, 3));
    EXPECT_EQ(enums[kPacked].current, 2u);
    EXPECT_TRUE(SETEnumCapability(source, kNkMAIDCapability_ImageSize, 2));
    EXPECT_EQ(enums[kNkMAIDCapability_ImageSize].current, 0u);
    EXPECT_EQ(sets, 1);
}

TEST_F(Capabilities, SteppedAndContinuousRanges) {
    ASSERT_TRUE(GETRangeCapability(source, kNkMAIDCapability_ExposureComp));
    QVariantMap r = response();
    EXPECT_DOUBLE_EQ(r.value("currentsetting").toDouble(), 0.0);
    EXPECT_DOUBLE_EQ(r.value("uppervalue").toDouble(), 3.0);
    EXPECT_DOUBLE_EQ(r.value("lowervalue").toDouble(), -3.0);
    ranges[kNkMAIDCapability_ExposureComp].ulValueIndex = 12;
    ASSERT_TRUE(GETRangeCapability(source, kNkMAIDCapability_ExposureComp));
    EXPECT_DOUBLE_EQ(response().value("currentsetting").toDouble(), 3.0);

    EXPECT_TRUE(SETRangeCapability(source, kNkMAIDCapability_ExposureComp, 1.0));
    EXPECT_EQ(ranges[kNkMAIDCapability_ExposureComp].ulValueIndex, 8u);
    EXPECT_TRUE(SETRangeCapability(source, kNkMAIDCapability_ExposureComp, -0.6));
    EXPECT_EQ(ranges[kNkMAIDCapability_ExposureComp].ulValueIndex, 4u) << "truncated";
    EXPECT_TRUE(SETRangeCapability(source, kNkMAIDCapability_ExposureComp, 10.0));
    EXPECT_EQ(ranges[kNkMAIDCapability_ExposureComp].ulValueIndex, 26u) << "not clamped";

    ASSERT_TRUE(GETRangeCapability(source, kNkMAIDCapability_FlexibleProgram));
    EXPECT_DOUBLE_EQ(response().value("currentsetting").toDouble(), 1.5);
    EXPECT_TRUE(SETRangeCapability(source, kNkMAIDCapability_FlexibleProgram, -2.25));
    EXPECT_DOUBLE_EQ(ranges[kNkMAIDCapability_FlexibleProgram].lfValue, -2.25);

    // Read-only: true, nothing stored, nothing set.
    defaults().removeObject(QStringLiteral("prefLastNikonResponse"));
    sets = 0;
    EXPECT_TRUE(GETRangeCapability(source, kReadOnlyRange));
    EXPECT_TRUE(response().isEmpty());
    EXPECT_TRUE(SETRangeCapability(source, kReadOnlyRange, 0.7));
    EXPECT_EQ(sets, 0);
}

TEST_F(Capabilities, UnsignedValuesCarryTheirDescription) {
    ASSERT_TRUE(GETUnsignedCapability(source, kNkMAIDCapability_CameraWarnings));
    QVariantMap r = response();
    EXPECT_EQ(r.value("key").toString(), "Warn");
    EXPECT_EQ(r.value("currentsetting").toLongLong(), 0x4004);
    EXPECT_EQ(r.value("unsignedstring").toString(), "No Card, Sequence, \n");
    EXPECT_TRUE(SETUnsignedCapability(source, kNkMAIDCapability_CameraWarnings, 7));
    EXPECT_EQ(unsignedValues[kNkMAIDCapability_CameraWarnings], 7u);
    sets = 0;
    EXPECT_TRUE(SETUnsignedCapability(source, kNkMAIDCapability_DataTypes, 1)) << "read-only";
    EXPECT_EQ(sets, 0);
}

TEST_F(Capabilities, UnavailableIsQuietAndOtherFailuresUnwind) {
    m.handler = [this](const ScriptedModule::Call& c) -> int32_t {
        if (c.command == kNkMAIDCommand_CapGet && c.param == kNkMAIDCapability_FlashMode)
            return kNkMAIDResult_NotAvailable;
        if (c.command == kNkMAIDCommand_CapGet && c.param == kPacked)
            return -5;
        return serve(c);
    };
    EXPECT_FALSE(GETEnumCapability(source, kNkMAIDCapability_FlashMode));
    EXPECT_TRUE(response().isEmpty());
    EXPECT_THROW(GETEnumCapability(source, kPacked), MaidException);
}

TEST(ValueNames, EnumerationElements) {
    char b[33];
    struct Case {
        uint32_t cap, value;
        const char* text;
    } cases[] = {
        {kNkMAIDCapability_FlashMode, 4, "Slow-sync Red Eye Reduction"},
        {kNkMAIDCapability_FlashMode, 262, "flash off"},
        {kNkMAIDCapability_FlashMode, 6, "FlashMode 6"},
        {kNkMAIDCapability_ExposureMode, 17, "Effects"},
        {kNkMAIDCapability_ExposureMode, 4, "ExposureMode 4"},
        {kNkMAIDCapability_ExposureMode, 13, "FlashOff"},
        {kNkMAIDCapability_MeteringMode, 1, "CenterWeighted"},
        {kNkMAIDCapability_MeteringMode, 3, "MeteringMode 3"},
        {kNkMAIDCapability_FocusMode, 4, "AF-F"},
        {kNkMAIDCapability_FocusPreferredArea, 0, "FocusPreferredArea :0"},
        {kNkMAIDCapability_PictureControl, 205, "Custom Picture Contol 5"},
        {kNkMAIDCapability_PictureControl, 210, "Picture Control 210"},
        {kNkMAIDCapability_PictureControl, 200, "Picture Control 200"},
        {kNkMAIDCapability_PictureControl, 4, "Monochrome"},
        {kNkMAIDCapability_LiveViewImageZoomRate, 4, "66%"},
        {kNkMAIDCapability_SaveMedia, 2, "Card + SDRAM"},
        {kNkMAIDCapability_LiveViewImageSize, 2, "VGA"},
        {kNkMAIDCapability_LiveViewImageSize, 0, "LiveViewImageSize 0"},
        {kNkMAIDCapability_LiveViewImageZoomRate, 4294967295u, "LiveViewImageZoomRate 4294967295"},
        {kNkMAIDCapability_ImageSize, 1, "Undefined String"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(GetEnumString(c.cap, c.value, b), c.text) << c.cap << " " << c.value;
}

TEST(ValueNames, UnsignedDescriptions) {
    char b[256];
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_DataTypes, 0x9, b), "Image, Thumbnail, \n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_DataTypes, 0x1F, b),
                 "Image, Sound, Video, Thumbnail, File \n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_CameraWarnings, 0, b), "\n");
    EXPECT_STREQ(GetUnsignedString(0x4242, 5, b), "");
    for (uint32_t v : {0u, 1u, 77u})
        EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_ModuleType, v, b),
                     "1 : Scanner\n2 : Camera\n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_MeteringMode, 9, b),
                 "0 : Matrix\n1 : CenterWeighted\n2 : Spot\n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_FocusMode, 0, b),
                 "0 : MF\n1 : AF-S\n2 : AF-C\n3 : AF-A\n4 : AF-F\n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_RawJpegImageStatus, 0, b),
                 "0 : Single\n1 : Raw + Jpeg\n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_LiveViewStatus, 0, b), "0 : OFF\n1 : ON\n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_MovieStatus, 1, b), "0 : OFF\n1 : ON\n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_FlourescentType, 0, b),
                 "0 : Sodium-vapor lamps\n1 : Warm-white fluorescent\n2 : White fluorescent\n"
                 "3 : Cool-white fluorescent\n4 : Day white fluorescent\n"
                 "5 : Daylight fluorescent\n6 : High temp. mercury-vapor\n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_LiveViewWarnings, 0x1C0F, b),
                 "LiveViewZoom, Card protected, Recording movie, Card full, Card unformatted, "
                 "Card error, No card, \n");
    EXPECT_STREQ(GetUnsignedString(kNkMAIDCapability_SaveMedia, 1, b),
                 "Card Only\nSDRAM Only\nCard + SDRAM\n");
    // Every warning bit: the longest text, 255 bytes with its NUL.
    GetUnsignedString(kNkMAIDCapability_CameraWarnings, 0xFFFFFFFF, b);
    EXPECT_EQ(std::strlen(b), 254u);
    EXPECT_EQ(std::string(b).substr(0, 34), "ExposureMode other than P,S,A,M, S");
    EXPECT_EQ(std::string(b).substr(std::strlen(b) - 11), "Sequence, \n");
}

} // namespace
