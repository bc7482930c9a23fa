#include "Settings.h"

#include "sdk/Maid.h"

#include <gphoto2/gphoto2-widget.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace zarv::ptp {
namespace {

struct Mapping {
    uint32_t cap;
    Setting::Kind kind;
    std::vector<const char*> widgets; // first one the tree has wins
};

const std::vector<Mapping>& mappings() {
    static const std::vector<Mapping> table = {
        {kNkMAIDCapability_ShutterSpeed, Setting::TextEnum, {"shutterspeed"}},
        {kNkMAIDCapability_Aperture, Setting::TextEnum, {"f-number", "aperture"}},
        {kNkMAIDCapability_Sensitivity, Setting::TextEnum, {"iso"}},
        {kNkMAIDCapability_WBMode, Setting::TextEnum, {"whitebalance"}},
        {kNkMAIDCapability_ImageSize, Setting::TextEnum, {"imagesize"}},
        {kNkMAIDCapability_CompressionLevel, Setting::TextEnum, {"imagequality"}},
        {kNkMAIDCapability_ExposureMode, Setting::ValueEnum, {"expprogram"}},
        {kNkMAIDCapability_ExposureComp, Setting::Range, {"exposurecompensation"}},
        {kNkMAIDCapability_WBTuneIncandescent, Setting::Range, {"tungstenwhitebias"}},
        {kNkMAIDCapability_WBTuneFluorescent, Setting::Range, {"flourescentwhitebias"}},
        {kNkMAIDCapability_WBTuneSunny, Setting::Range, {"daylightwhitebias"}},
        {kNkMAIDCapability_WBTuneFlash, Setting::Range, {"flashwhitebias"}},
        {kNkMAIDCapability_WBTuneShade, Setting::Range, {"shadewhitebias"}},
        {kNkMAIDCapability_WBTuneCloudy, Setting::Range, {"cloudywhitebias"}},
        {kNkMAIDCapability_SaveMedia, Setting::Unsigned, {"capturetarget"}},
    };
    return table;
}

// Nikon's exposure programs by their untranslated labels.
const std::map<std::string, uint32_t>& exposureModes() {
    static const std::map<std::string, uint32_t> modes = {
        {"P", 0},
        {"A", 1},
        {"S", 2},
        {"M", 3},
        {"Auto", 5},
        {"Portrait", 6},
        {"Landscape", 7},
        {"Macro", 8},
        {"Sports", 9},
        {"Children", 12},
        {"Automatic (No Flash)", 13},
        {"Scene", 14},
        {"Effects", 17},
    };
    return modes;
}

// Labels the mapping has no value for get values of their own, past any the contract names.
constexpr uint32_t kUnnamedExposureMode = 0x10000;

// Where pictures go: 1 "SDRAM" is the computer, 0 "Card" the body's card.
constexpr const char* kTargetRam = "Internal RAM";
constexpr const char* kTargetCard = "Memory card";

const Mapping* mappingFor(uint32_t cap) {
    for (const Mapping& m : mappings())
        if (m.cap == cap)
            return &m;
    return nullptr;
}

std::string nameOf(CameraWidget* w) {
    const char* name = nullptr;
    gp_widget_get_name(w, &name);
    return name ? name : "";
}

// The mapped widget in a tree, or the widget itself when it is one read on its own.
CameraWidget* findWidget(CameraWidget* root, const Mapping& m) {
    const std::string own = nameOf(root);
    for (const char* name : m.widgets) {
        if (own == name)
            return root;
        CameraWidget* w = nullptr;
        if (gp_widget_get_child_by_name(root, name, &w) >= GP_OK)
            return w;
    }
    return nullptr;
}

CameraWidgetType typeOf(CameraWidget* w) {
    CameraWidgetType type = GP_WIDGET_WINDOW;
    gp_widget_get_type(w, &type);
    return type;
}

bool hasChoices(CameraWidget* w) {
    const CameraWidgetType type = typeOf(w);
    return type == GP_WIDGET_RADIO || type == GP_WIDGET_MENU;
}

std::vector<std::string> choicesOf(CameraWidget* w) {
    std::vector<std::string> out;
    const int count = gp_widget_count_choices(w);
    for (int i = 0; i < count; ++i) {
        const char* c = nullptr;
        if (gp_widget_get_choice(w, i, &c) >= GP_OK && c)
            out.emplace_back(c);
    }
    return out;
}

std::string textValue(CameraWidget* w) {
    const char* value = nullptr;
    if (gp_widget_get_value(w, &value) < GP_OK || !value)
        return {};
    return value;
}

// Numbers in labels ("-0.333", "+1") read the same whatever the process locale is.
bool parseNumber(const std::string& text, double* out) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, *out);
    return ec == std::errc() && ptr == end;
}

bool readEnum(CameraWidget* w, Setting* s) {
    if (!hasChoices(w))
        return false;
    s->labels = choicesOf(w);
    const std::string value = textValue(w);
    size_t index = 0;
    while (index < s->labels.size() && s->labels[index] != value)
        ++index;
    if (index == s->labels.size())
        s->labels.push_back(value); // a value the body holds but does not list
    s->current = uint32_t(index);
    return true;
}

bool readRange(CameraWidget* w, Setting* s) {
    const CameraWidgetType type = typeOf(w);
    if (type == GP_WIDGET_RANGE) {
        float lower = 0, upper = 0, step = 0, value = 0;
        gp_widget_get_range(w, &lower, &upper, &step);
        gp_widget_get_value(w, &value);
        if (!(step > 0) || upper < lower)
            return false;
        s->lower = lower;
        s->upper = upper;
        s->steps = uint32_t(std::lround((upper - lower) / step)) + 1;
        const long index = std::lround((value - lower) / step);
        s->current = uint32_t(std::clamp<long>(index, 0, long(s->steps) - 1));
        return true;
    }
    if (!readEnum(w, s) || s->labels.empty())
        return false;
    // A stepped range over numeric choices, lowest first.
    std::vector<double> numbers;
    for (const std::string& label : s->labels) {
        double n = 0;
        if (!parseNumber(label, &n))
            return false;
        numbers.push_back(n);
    }
    for (size_t i = 1; i < numbers.size(); ++i)
        if (numbers[i] <= numbers[i - 1])
            return false;
    s->lower = numbers.front();
    s->upper = numbers.back();
    s->steps = uint32_t(numbers.size());
    return true;
}

bool readUnsigned(CameraWidget* w, Setting* s) {
    if (!hasChoices(w))
        return false;
    s->labels = choicesOf(w);
    const std::string value = textValue(w);
    if (value == kTargetRam)
        s->current = 1;
    else if (value == kTargetCard)
        s->current = 0;
    else
        return false;
    return true;
}

int setText(CameraWidget* w, const std::string& text) {
    return gp_widget_set_value(w, text.c_str());
}

bool readSetting(CameraWidget* w, const Mapping& m, Setting* out) {
    Setting s;
    s.kind = m.kind;
    s.widget = nameOf(w);
    int readonly = 0;
    gp_widget_get_readonly(w, &readonly);
    s.writable = readonly == 0;
    bool ok = false;
    switch (m.kind) {
    case Setting::TextEnum:
        ok = readEnum(w, &s);
        break;
    case Setting::ValueEnum:
        ok = readEnum(w, &s);
        for (size_t i = 0; ok && i < s.labels.size(); ++i) {
            const auto it = exposureModes().find(s.labels[i]);
            s.values.push_back(it != exposureModes().end() ? it->second
                                                           : kUnnamedExposureMode + uint32_t(i));
        }
        break;
    case Setting::Range:
        ok = readRange(w, &s);
        break;
    case Setting::Unsigned:
        ok = readUnsigned(w, &s);
        break;
    }
    if (ok)
        *out = std::move(s);
    return ok;
}

} // namespace

const std::vector<uint32_t>& mappedCapabilities() {
    static const std::vector<uint32_t> caps = [] {
        std::vector<uint32_t> out;
        for (const Mapping& m : mappings())
            out.push_back(m.cap);
        return out;
    }();
    return caps;
}

uint32_t capabilityOfWidget(const std::string& name) {
    for (const Mapping& m : mappings())
        for (const char* w : m.widgets)
            if (name == w)
                return m.cap;
    return 0;
}

Settings readSettings(CameraWidget* root) {
    Settings out;
    if (!root)
        return out;
    for (const Mapping& m : mappings()) {
        Setting s;
        if (CameraWidget* w = findWidget(root, m); w && readSetting(w, m, &s))
            out[m.cap] = std::move(s);
    }
    return out;
}

int32_t applySetting(CameraWidget* root, uint32_t cap, uint32_t value) {
    const Mapping* m = mappingFor(cap);
    CameraWidget* w = m && root ? findWidget(root, *m) : nullptr;
    if (!w)
        return kNkMAIDResult_NotSupported;
    Setting now;
    if (!readSetting(w, *m, &now))
        return kNkMAIDResult_NotSupported;
    if (!now.writable)
        return kNkMAIDResult_NotSupported;
    int rc = GP_OK;
    switch (m->kind) {
    case Setting::TextEnum:
    case Setting::ValueEnum:
        if (value >= now.labels.size())
            return kNkMAIDResult_ValueOutOfRange;
        rc = setText(w, now.labels[value]);
        break;
    case Setting::Range:
        if (value >= now.steps)
            return kNkMAIDResult_ValueOutOfRange;
        if (typeOf(w) == GP_WIDGET_RANGE) {
            float lower = 0, upper = 0, step = 0;
            gp_widget_get_range(w, &lower, &upper, &step);
            const float v = lower + float(value) * step;
            rc = gp_widget_set_value(w, &v);
        } else {
            rc = setText(w, now.labels[value]);
        }
        break;
    case Setting::Unsigned: {
        // "Card + SDRAM" keeps the picture on the card; the module downloads it either way.
        if (value > 2)
            return kNkMAIDResult_ValueOutOfRange;
        const char* target = value == 1 ? kTargetRam : kTargetCard;
        bool offered = false;
        for (const std::string& label : now.labels)
            offered = offered || label == target;
        if (!offered)
            return kNkMAIDResult_ValueOutOfRange;
        rc = setText(w, target);
        break;
    }
    }
    if (rc < GP_OK)
        return kNkMAIDResult_UnexpectedError;
    gp_widget_set_changed(w, 1);
    return kNkMAIDResult_NoError;
}

} // namespace zarv::ptp
