// The camera's shooting settings as the module's capabilities, mapped to and from libgphoto2's
// configuration widgets (Nikon's widget names). Pure functions over a widget tree: they never
// talk to the camera.

#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct _CameraWidget;

namespace zarv::ptp {

struct Setting {
    enum Kind { TextEnum, ValueEnum, Range, Unsigned } kind = TextEnum;
    std::vector<std::string> labels; // the widget's choices, as the library gives them
    std::vector<uint32_t> values;    // ValueEnum: the capability value of each label
    uint32_t current = 0;            // enum or range: the index; Unsigned: the value
    double lower = 0, upper = 0;     // Range
    uint32_t steps = 0;              // Range
    bool writable = true;
    std::string widget; // the widget it was read from, by name
};

using Settings = std::map<uint32_t, Setting>; // by capability

// Every mapped capability the tree offers. `root` may also be a single widget read on its own.
Settings readSettings(_CameraWidget* root);

// The capability a widget of that name maps to, 0 for none.
uint32_t capabilityOfWidget(const std::string& name);

// Changes the widget behind a capability in the tree (or that widget, read on its own): for enums
// and ranges `value` is an index, for unsigned capabilities the value. Returns the module's result
// code (NotSupported when the tree lacks the widget, ValueOutOfRange for a value it cannot take).
int32_t applySetting(_CameraWidget* root, uint32_t cap, uint32_t value);

// The capabilities this mapping knows, whether or not a camera offers them.
const std::vector<uint32_t>& mappedCapabilities();

} // namespace zarv::ptp
