// The capability mapping both ways, over widget trees built by hand with Nikon's names.

#include "Settings.h"
#include "ScriptedLayer.h"

#include "sdk/Maid.h"

#include <gtest/gtest.h>

#include <clocale>

using namespace zarv;
using namespace zarv::ptp;
using namespace zarv::ptp::scripted;

namespace {

struct Tree {
    CameraWidget* root;
    explicit Tree(CameraWidget* r) : root(r) {}
    ~Tree() { gp_widget_free(root); }
    std::string text(const char* name) const {
        CameraWidget* w = nullptr;
        const char* v = nullptr;
        if (gp_widget_get_child_by_name(root, name, &w) < GP_OK ||
            gp_widget_get_value(w, &v) < GP_OK)
            return "?";
        return v ? v : "";
    }
    bool changed(const char* name) const {
        CameraWidget* w = nullptr;
        return gp_widget_get_child_by_name(root, name, &w) >= GP_OK && gp_widget_changed(w);
    }
};

TEST(PtpSettings, ReadsEveryMappedWidget) {
    Tree t(nikonTree({{"expprogram", "U1"}, {"exposurecompensation", "-0.333"}}));
    const Settings s = readSettings(t.root);

    const Setting& speed = s.at(kNkMAIDCapability_ShutterSpeed);
    EXPECT_EQ(speed.kind, Setting::TextEnum);
    EXPECT_EQ(speed.labels, (std::vector<std::string>{"1/4000", "1/250", "1/60", "1", "30"}));
    EXPECT_EQ(speed.current, 1u);
    EXPECT_EQ(s.at(kNkMAIDCapability_Aperture).current, 2u);
    EXPECT_EQ(s.at(kNkMAIDCapability_CompressionLevel).labels.back(), "NEF (Raw)");

    // Exposure programs carry the contract's values; one it does not name still gets its own.
    const Setting& mode = s.at(kNkMAIDCapability_ExposureMode);
    ASSERT_EQ(mode.values.size(), 5u);
    EXPECT_EQ(mode.values[0], 3u); // M
    EXPECT_EQ(mode.values[1], 0u); // P
    EXPECT_EQ(mode.values[2], 1u); // A
    EXPECT_EQ(mode.values[3], 2u); // S
    EXPECT_GT(mode.values[4], 17u);
    EXPECT_EQ(mode.current, 4u);

    // Numeric choices make a stepped range; a range widget one of its own.
    const Setting& comp = s.at(kNkMAIDCapability_ExposureComp);
    EXPECT_EQ(comp.kind, Setting::Range);
    EXPECT_DOUBLE_EQ(comp.lower, -1.0);
    EXPECT_DOUBLE_EQ(comp.upper, 1.0);
    EXPECT_EQ(comp.steps, 7u);
    EXPECT_EQ(comp.current, 2u);
    const Setting& bias = s.at(kNkMAIDCapability_WBTuneIncandescent);
    EXPECT_DOUBLE_EQ(bias.lower, -6.0);
    EXPECT_EQ(bias.steps, 13u);
    EXPECT_EQ(bias.current, 6u);

    EXPECT_EQ(s.at(kNkMAIDCapability_SaveMedia).current, 1u); // Internal RAM: the computer
    EXPECT_EQ(s.count(kNkMAIDCapability_WBTuneCloudy), 0u);   // not in this tree
}

TEST(PtpSettings, OddTreesAreReadSafely) {
    CameraWidget* root = nullptr;
    gp_widget_new(GP_WIDGET_WINDOW, "root", &root);
    Tree t(root);
    // A value the body holds but does not list stays selectable.
    addRadio(root, "iso", {"100", "200"}, "64");
    // Choices that are not numbers, or not in order, make no range.
    addRadio(root, "exposurecompensation", {"-1", "zero", "1"}, "-1");
    addRadio(root, "tungstenwhitebias", {"1", "0", "-1"}, "0");
    // A capture target the mapping does not know is not offered as a value it is not.
    addRadio(root, "capturetarget", {"Somewhere"}, "Somewhere");
    // A text widget where a choice is expected.
    CameraWidget* text = nullptr;
    gp_widget_new(GP_WIDGET_TEXT, "shutterspeed", &text);
    gp_widget_set_name(text, "shutterspeed");
    gp_widget_set_value(text, "1/125");
    gp_widget_append(root, text);

    const Settings s = readSettings(t.root);
    ASSERT_EQ(s.count(kNkMAIDCapability_Sensitivity), 1u);
    EXPECT_EQ(s.at(kNkMAIDCapability_Sensitivity).labels.back(), "64");
    EXPECT_EQ(s.at(kNkMAIDCapability_Sensitivity).current, 2u);
    EXPECT_EQ(s.count(kNkMAIDCapability_ExposureComp), 0u);
    EXPECT_EQ(s.count(kNkMAIDCapability_WBTuneIncandescent), 0u);
    EXPECT_EQ(s.count(kNkMAIDCapability_SaveMedia), 0u);
    EXPECT_EQ(s.count(kNkMAIDCapability_ShutterSpeed), 0u);
    EXPECT_TRUE(readSettings(nullptr).empty());
}

TEST(PtpSettings, WritesGoToTheRightWidgetAndRefuseWhatItCannotTake) {
    Tree t(nikonTree({}));
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_ShutterSpeed, 2), kNkMAIDResult_NoError);
    EXPECT_EQ(t.text("shutterspeed"), "1/60");
    EXPECT_TRUE(t.changed("shutterspeed"));
    EXPECT_FALSE(t.changed("iso"));

    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_ExposureComp, 6), kNkMAIDResult_NoError);
    EXPECT_EQ(t.text("exposurecompensation"), "1");
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_ExposureMode, 0), kNkMAIDResult_NoError);
    EXPECT_EQ(t.text("expprogram"), "M");

    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_WBTuneIncandescent, 12),
              kNkMAIDResult_NoError);
    CameraWidget* w = nullptr;
    float bias = 0;
    gp_widget_get_child_by_name(t.root, "tungstenwhitebias", &w);
    gp_widget_get_value(w, &bias);
    EXPECT_FLOAT_EQ(bias, 6.0f);

    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_SaveMedia, 0), kNkMAIDResult_NoError);
    EXPECT_EQ(t.text("capturetarget"), "Memory card");
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_SaveMedia, 1), kNkMAIDResult_NoError);
    EXPECT_EQ(t.text("capturetarget"), "Internal RAM");

    // Past the end of the choices, the range, or the save media values.
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_ShutterSpeed, 5),
              kNkMAIDResult_ValueOutOfRange);
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_WBTuneIncandescent, 13),
              kNkMAIDResult_ValueOutOfRange);
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_SaveMedia, 3), kNkMAIDResult_ValueOutOfRange);
    EXPECT_EQ(t.text("shutterspeed"), "1/60");
    // Widgets the tree lacks, capabilities the mapping lacks.
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_WBTuneCloudy, 0), kNkMAIDResult_NotSupported);
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_FlashMode, 0), kNkMAIDResult_NotSupported);
    EXPECT_EQ(applySetting(nullptr, kNkMAIDCapability_ShutterSpeed, 0), kNkMAIDResult_NotSupported);
}

TEST(PtpSettings, ReadOnlyWidgetsAreNotWritten) {
    Tree t(nikonTree({}));
    CameraWidget* w = nullptr;
    gp_widget_get_child_by_name(t.root, "iso", &w);
    gp_widget_set_readonly(w, 1);
    EXPECT_FALSE(readSettings(t.root).at(kNkMAIDCapability_Sensitivity).writable);
    EXPECT_EQ(applySetting(t.root, kNkMAIDCapability_Sensitivity, 1), kNkMAIDResult_NotSupported);
    EXPECT_EQ(t.text("iso"), "100");
}

TEST(PtpSettings, NumbersReadTheSameInAnyLocale) {
    // Where the decimal separator is a comma, "-0.333" must still be a number.
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    Tree t(nikonTree({}));
    const Settings s = readSettings(t.root);
    std::setlocale(LC_NUMERIC, "C");
    ASSERT_EQ(s.count(kNkMAIDCapability_ExposureComp), 1u);
    EXPECT_DOUBLE_EQ(s.at(kNkMAIDCapability_ExposureComp).lower, -1.0);
}

} // namespace
