// The settings pages' bindings, lists and sliders from response records, the values a choice
// writes, the plan of a set written to the camera, and the defaults file.

#include "../TestSupport.h"
#include "../modules/ModulesTestSupport.h"

#include "controls/CameraSettings.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace zarv;
using namespace zarv::test;

namespace {

QVariantMap entry(const QVariant& current) {
    return {{QStringLiteral("key"), QStringLiteral("Some Setting")},
            {QStringLiteral("currentsetting"), current}};
}

// A full, valid set: every enumeration at its second choice, every range at 1, save media 0.
QVariantMap validSet() {
    QVariantMap set{{QStringLiteral("cameradevicename"), QStringLiteral("Zarv Virtual Camera")}};
    for (const QString& capability : pageCapabilities()) {
        const QString kind = capabilityRow(capability)->kind;
        set.insert(capability, entry(kind == u"enumtype" ? 2 : kind == u"rangetype" ? 1.0 : 0));
    }
    return set;
}

TEST(CameraSettings, BindingsAndTheCapabilityTable) {
    ASSERT_EQ(popupBindings().size(), 8u);
    ASSERT_EQ(sliderBindings().size(), 8u);
    ASSERT_EQ(pageCapabilities().size(), 16);
    // Every capability of the pages is in the table and has exactly one widget.
    for (const QString& capability : pageCapabilities()) {
        SCOPED_TRACE(capability.toStdString());
        const auto row = capabilityRow(capability);
        ASSERT_TRUE(row.has_value());
        const auto widget = widgetForCapability(capability);
        ASSERT_TRUE(widget.has_value());
        EXPECT_EQ(capabilityForPopup(*widget).value_or(capabilityForSlider(*widget).value_or("")),
                  capability);
        const bool isSlider = capabilityForSlider(*widget).has_value();
        EXPECT_EQ(row->kind == u"rangetype", isSlider);
    }
    EXPECT_EQ(capabilityRow("kNkMAIDCapability_SaveMedia")->kind, "unsignedtype");
    EXPECT_EQ(capabilityRow("kNkMAIDCapability_SaveMedia")->code, 33541u);
    EXPECT_FALSE(capabilityRow("kNkMAIDCapability_NoSuchThing"));
    EXPECT_FALSE(widgetForCapability("kNkMAIDCapability_FlashMode"));

    // Identifiers: trimmed, any case; the spellings of the interface.
    EXPECT_EQ(capabilityForPopup("  FileSizePopUp \t"), "kNkMAIDCapability_ImageSize");
    EXPECT_EQ(capabilityForPopup("sensitivitypopop"), "kNkMAIDCapability_Sensitivity");
    EXPECT_FALSE(capabilityForPopup("sensitivitypopup"));
    EXPECT_FALSE(capabilityForPopup("tuneauto")) << "a slider is not a list";
    EXPECT_EQ(capabilityForSlider("TuneFlurorescent"), "kNkMAIDCapability_WBTuneFluorescent");
    EXPECT_EQ(widgetForCapability("kNkMAIDCapability_WBTuneFluorescent"), "tuneflurorescent");
    EXPECT_FALSE(capabilityForSlider(""));
}

TEST(CameraSettings, ListsFromResponseRecords) {
    // Not offered: the placeholder, selection kept.
    PopupList l = popupListFromResponse(std::nullopt);
    EXPECT_EQ(l.items, QStringList{kUnsupportedItem});
    EXPECT_FALSE(l.selection);

    // An enumeration counts from 1: the third choice is index 2.
    l = popupListFromResponse(QVariant(
        QVariantMap{{"elements", QVariantList{"JPEG Basic", "JPEG Normal", "JPEG Fine", "RAW"}},
                    {"currentsetting", 3}}));
    EXPECT_EQ(l.items, (QStringList{"JPEG Basic", "JPEG Normal", "JPEG Fine", "RAW"}));
    EXPECT_EQ(l.selection, 2);

    // An unsigned value counts from 0, one line per value.
    l = popupListFromResponse(QVariant(QVariantMap{
        {"unsignedstring", "Card Only\nSDRAM Only\n  Card + SDRAM\r\n\n"}, {"currentsetting", 1}}));
    EXPECT_EQ(l.items, (QStringList{"Card Only", "SDRAM Only", "Card + SDRAM"}));
    EXPECT_EQ(l.selection, 1);

    // Blank lines only, a failed read, a record that is no dictionary: "nothing found...".
    for (const QVariant& r :
         {QVariant(QVariantMap{{"unsignedstring", " \n\t\n\r\n"}, {"currentsetting", 0}}),
          QVariant(QVariantMap{{"error", "Source Object Can't be opened"}}),
          QVariant(QStringLiteral("garbage"))}) {
        l = popupListFromResponse(r);
        EXPECT_EQ(l.items, QStringList{kNothingFoundItem});
        EXPECT_FALSE(l.selection) << "the placeholder is never a selection";
    }

    // A current setting outside the list, or none, or not a number, keeps the selection.
    for (const QVariant& current :
         {QVariant(0), QVariant(5), QVariant(-3), QVariant(), QVariant(QStringLiteral("2"))}) {
        QVariantMap r{{"elements", QVariantList{"a", "b", "c"}}};
        if (current.isValid())
            r.insert("currentsetting", current);
        EXPECT_FALSE(popupListFromResponse(QVariant(r)).selection)
            << current.toString().toStdString();
    }
}

TEST(CameraSettings, ChoicesAndWhatTheyWrite) {
    const CapabilityRow enumeration{33043, "enumtype"};
    const CapabilityRow saveMedia{33541, "unsignedtype"};
    EXPECT_EQ(valueForChoice(enumeration, 0), 1);
    EXPECT_EQ(valueForChoice(enumeration, 6), 7);
    EXPECT_EQ(valueForChoice(saveMedia, 0), 0);
    EXPECT_EQ(valueForChoice(saveMedia, 2), 2);
    EXPECT_EQ(valueForChoice({1, "EnumType"}, 0), 1) << "kinds ignore case";
    EXPECT_FALSE(valueForChoice(enumeration, -1));
    EXPECT_FALSE(valueForChoice({1, "listtype"}, 0));
    // Cut to 16 bits, position 65536 would write choice 0 of another meaning.
    EXPECT_EQ(valueForChoice(enumeration, 65534), 65535);
    EXPECT_FALSE(valueForChoice(enumeration, 65535));

    EXPECT_FALSE(isChoiceEnabled("compressionlevelpopup", "RAW"));
    EXPECT_FALSE(isChoiceEnabled(" CompressionLevelPopup", "raw + JPEG Fine"));
    EXPECT_FALSE(isChoiceEnabled("compressionlevelpopup", "Raw (12-bit)"));
    EXPECT_TRUE(isChoiceEnabled("compressionlevelpopup", "JPEG Fine"));
    EXPECT_TRUE(isChoiceEnabled("compressionlevelpopup", "Fine (raw-like)"));
    EXPECT_FALSE(isChoiceEnabled("exposuremodepopup", "Program"));
    EXPECT_TRUE(isChoiceEnabled("aperturepopup", "RAW"));
}

TEST(CameraSettings, SlidersFromRangesAndWholeSteps) {
    const auto s = sliderFromResponse(QVariant(QVariantMap{{"key", "WB Tune Sunny"},
                                                           {"lowervalue", -6.0},
                                                           {"uppervalue", 6.0},
                                                           {"currentsetting", 2.0}}));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->label, "WB Tune Sunny");
    EXPECT_EQ(s->minimum, -6.0);
    EXPECT_EQ(s->maximum, 6.0);
    EXPECT_EQ(s->value, 2.0);

    const double nan = std::nan("");
    for (const QVariantMap& bad :
         {QVariantMap{{"lowervalue", -6.0}, {"uppervalue", 6.0}}, // no current value
          QVariantMap{{"lowervalue", "-6"}, {"uppervalue", 6.0}, {"currentsetting", 0.0}},
          QVariantMap{{"lowervalue", 6.0}, {"uppervalue", -6.0}, {"currentsetting", 0.0}},
          QVariantMap{{"lowervalue", nan}, {"uppervalue", 6.0}, {"currentsetting", 0.0}},
          QVariantMap{{"lowervalue", -6.0}, {"uppervalue", 6.0}, {"currentsetting", true}}})
        EXPECT_FALSE(sliderFromResponse(QVariant(bad)));
    EXPECT_FALSE(sliderFromResponse(QVariant(QVariantList{1, 2, 3})));

    EXPECT_EQ(sliderStep(1.7, -6, 6), 1.0);
    EXPECT_EQ(sliderStep(-1.7, -6, 6), -1.0);
    const double zero = sliderStep(-0.5, -6, 6);
    EXPECT_EQ(zero, 0.0);
    EXPECT_FALSE(std::signbit(zero)) << "0, not -0, goes to the camera";
    EXPECT_EQ(sliderStep(9.3, -6, 6), 6.0);
    EXPECT_EQ(sliderStep(-40, -6, 6), -6.0);
    EXPECT_EQ(sliderStep(nan, -6, 6), 0.0);
    EXPECT_EQ(sliderStep(-5.0, -4.5, 4.5), -4.0) << "a whole step inside the range";

    // Steps added up in floating point can land a rounding error short of a whole number:
    // still that number, read back as a slider, a list position and a value to apply.
    const double one = 0.7 + 0.1 + 0.1 + 0.1;
    ASSERT_EQ(std::trunc(one), 0.0) << "the test needs the rounding error";
    EXPECT_EQ(wholePart(one), 1.0);
    EXPECT_EQ(wholePart(-one), -1.0);
    EXPECT_EQ(wholePart(1.7), 1.0);
    EXPECT_EQ(sliderStep(one, -5, 5), 1.0);
    const PopupList list = popupListFromResponse(QVariant(
        QVariantMap{{"elements", QStringList{"a", "b", "c"}}, {"currentsetting", one + 1}}));
    EXPECT_EQ(list.selection, 1);
    QVariantMap set = validSet();
    set.insert("kNkMAIDCapability_ExposureComp", entry(one));
    for (const SettingsWrite& w : planSettingsWrite(set).writes) {
        if (w.capability == u"kNkMAIDCapability_ExposureComp") {
            EXPECT_EQ(w.value, 1);
        }
    }
}

TEST(CameraSettings, ModelNamesAndImportableFiles) {
    EXPECT_EQ(modelNameOf({{"deviceName", "Nikon D750"}}, kUnknownModelForSettings), "Nikon D750");
    EXPECT_EQ(modelNameOf({}, kUnknownModelForSettings), "WHY is CAMERA NAME NIL???");
    EXPECT_EQ(modelNameOf({{"deviceName", "  "}}, kUnknownModelForLabels), "UNKNOWN???NAME");
    EXPECT_EQ(modelNameOf({{"deviceName", 42}}, kUnknownModelForLabels), "UNKNOWN???NAME");

    EXPECT_TRUE(isImportableSettingsFile({{"cameradevicename", "Nikon D750"}}));
    EXPECT_FALSE(isImportableSettingsFile({}));
    EXPECT_FALSE(isImportableSettingsFile({{"cameradevicename", " \t\n"}}));
    EXPECT_FALSE(isImportableSettingsFile({{"cameradevicename", 750}}));
    EXPECT_FALSE(isImportableSettingsFile({{"kNkMAIDCapability_Aperture", entry(2)}}));
}

TEST(CameraSettings, PlanOfASetNamesEachBadEntryAndWritesTheOthers) {
    SettingsPlan plan = planSettingsWrite(validSet());
    ASSERT_TRUE(plan.valid());
    ASSERT_EQ(plan.writes.size(), 16u);
    for (size_t i = 0; i < plan.writes.size(); ++i)
        EXPECT_EQ(plan.writes[i].capability, pageCapabilities()[int(i)]) << "in page order";
    EXPECT_EQ(plan.writes[0].value, 2);

    // No fine-tune entries: the eight ranges are written as 0; whole numbers only.
    QVariantMap set = validSet();
    for (const SettingBinding& b : sliderBindings())
        set.remove(b.capability);
    set.insert("kNkMAIDCapability_Aperture", entry(4.9));
    plan = planSettingsWrite(set);
    ASSERT_TRUE(plan.valid());
    int zeros = 0;
    for (const SettingsWrite& w : plan.writes) {
        if (w.row.kind == u"rangetype")
            zeros += w.value == 0;
        if (w.capability == u"kNkMAIDCapability_Aperture") {
            EXPECT_EQ(w.value, 4);
        }
    }
    EXPECT_EQ(zeros, 8);

    // Each of these makes the set invalid and has no write; the fifteen others keep theirs.
    const QList<std::pair<QString, QVariant>> spoilers{
        {"kNkMAIDCapability_Aperture", entry(0)},
        {"kNkMAIDCapability_ImageSize", entry(-2)},
        {"kNkMAIDCapability_ShutterSpeed", QVariantMap{{"key", "no current setting"}}},
        {"kNkMAIDCapability_WBMode", entry(QStringLiteral("3"))},
        {"kNkMAIDCapability_WBTuneSunny", entry(true)},
        {"kNkMAIDCapability_ExposureComp", entry(1e12)},
        {"kNkMAIDCapability_Sensitivity", QVariantList{entry(2)}},
        {"kNkMAIDCapability_SaveMedia", QStringLiteral("Card")},
        {"kNkMAIDCapability_SaveMedia", entry(-1)},
        {"kNkMAIDCapability_Aperture", entry(70001)},
        {"kNkMAIDCapability_WBTuneShade", entry(std::nan(""))},
    };
    for (const auto& [capability, bad] : spoilers) {
        QVariantMap spoiled = validSet();
        spoiled.insert(capability, bad);
        plan = planSettingsWrite(spoiled);
        EXPECT_EQ(plan.refused, QStringList{capability}) << capability.toStdString();
        EXPECT_FALSE(plan.valid());
        EXPECT_EQ(plan.writes.size(), 15u) << capability.toStdString();
        for (const SettingsWrite& w : plan.writes)
            EXPECT_NE(w.capability, capability);
    }
    EXPECT_EQ(settingName("kNkMAIDCapability_WBTuneSunny"), "WBTuneSunny");
    // An enumeration missing from the set counts as position 0.
    set = validSet();
    set.remove("kNkMAIDCapability_ExposureMode");
    EXPECT_EQ(planSettingsWrite(set).refused, QStringList{"kNkMAIDCapability_ExposureMode"});
}

class DefaultsFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }
    QTemporaryDir tmp;
    ScopedEnvironment tmpdir{"TMPDIR", tmp.path()};
    FakeApplication app;
    const QDateTime now = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7), Qt::LocalTime);
};

TEST_F(DefaultsFile, WrittenAtomicallyIntoTheScratchFolderAndReadBack) {
    const QVariantMap defaults = defaultsFromReading({{"kNkMAIDCapability_Aperture", entry(3)}},
                                                     "Nikon D750", now, QStringLiteral("1.0"));
    EXPECT_EQ(defaults.value("cameradevicename"), "Nikon D750");
    EXPECT_EQ(defaults.value("datesaved").toDateTime(), now);
    EXPECT_EQ(defaults.value("prefCameraSettingsFileVersion"), "1.0");
    EXPECT_FALSE(
        defaultsFromReading({}, "X", now, std::nullopt).contains("prefCameraSettingsFileVersion"));

    QString error;
    const auto path = writeDefaultsFile(defaults, now, &error);
    ASSERT_TRUE(path) << error.toStdString();
    EXPECT_EQ(QFileInfo(*path).absolutePath(), temporaryFolderForApplication());
    EXPECT_EQ(QFileInfo(*path).fileName(), "Nikon D750 DefaultCameraSettings_20260304050607.plist");
    const auto back = readSettingsFile(*path, &error);
    ASSERT_TRUE(back) << error.toStdString();
    EXPECT_EQ(back->value("cameradevicename"), "Nikon D750");
    EXPECT_EQ(back->value("kNkMAIDCapability_Aperture").toMap().value("currentsetting"), 3);
    EXPECT_TRUE(isImportableSettingsFile(*back));

    // The same second: the same name, the later replaces the earlier.
    QVariantMap later = defaults;
    later.insert("kNkMAIDCapability_Aperture", entry(5));
    ASSERT_EQ(writeDefaultsFile(later, now), path);
    EXPECT_EQ(readSettingsFile(*path)
                  ->value("kNkMAIDCapability_Aperture")
                  .toMap()
                  .value("currentsetting"),
              5);

    // Without a model name; a model name that tries to leave the folder stays inside it.
    EXPECT_EQ(QFileInfo(*writeDefaultsFile({}, now)).fileName(),
              "DefaultCameraSettings_20260304050607.plist");
    const auto hostile = writeDefaultsFile({{"cameradevicename", "../../../etc/evil"}}, now);
    ASSERT_TRUE(hostile);
    EXPECT_EQ(QFileInfo(*hostile).absolutePath(), temporaryFolderForApplication());
    EXPECT_EQ(QFileInfo(*hostile).fileName(),
              "_.._.._etc_evil DefaultCameraSettings_20260304050607.plist");
}

TEST_F(DefaultsFile, AFailedWriteGivesNoPath) {
    // A folder where the file should go: no rename can replace it, even for root.
    const QString target = QDir(temporaryFolderForApplication())
                               .filePath("Nikon D750 DefaultCameraSettings_20260304050607.plist");
    ASSERT_TRUE(QDir().mkpath(target));
    LogCapture log;
    QString error;
    EXPECT_FALSE(writeDefaultsFile({{"cameradevicename", "Nikon D750"}}, now, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(log.contains("Did NOT Save"));
    EXPECT_FALSE(log.contains("SAVED"));
    EXPECT_TRUE(QFileInfo(target).isDir()) << "left as it was";
}

TEST_F(DefaultsFile, ImportedFilesThatAreNotSettings) {
    auto write = [&](const QString& name, const QByteArray& bytes) {
        const QString path = tmp.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    };
    QString error;
    EXPECT_FALSE(readSettingsFile(write("text.plist", "just some words\n"), &error));
    EXPECT_TRUE(error.contains("text.plist")) << error.toStdString();
    EXPECT_FALSE(readSettingsFile(tmp.filePath("missing.plist")));
    EXPECT_FALSE(readSettingsFile(tmp.path()));
    const QString array = tmp.filePath("array.plist");
    ASSERT_TRUE(PropertyList::writeFile(array, QVariantList{1, 2}));
    EXPECT_FALSE(readSettingsFile(array, &error));
    EXPECT_TRUE(error.contains("not a dictionary")) << error.toStdString();
    // Larger than any list the program imports: refused without reading it all.
    const QString huge = tmp.filePath("huge.plist");
    {
        QFile f(huge);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(17) << 20));
    }
    EXPECT_FALSE(readSettingsFile(huge, &error));
    // An empty dictionary reads, and is not importable.
    const QString empty = tmp.filePath("empty.plist");
    ASSERT_TRUE(PropertyList::writeFile(empty, QVariantMap{}));
    ASSERT_TRUE(readSettingsFile(empty));
    EXPECT_FALSE(isImportableSettingsFile(*readSettingsFile(empty)));
}

} // namespace
