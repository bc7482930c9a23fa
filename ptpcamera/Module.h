// The PTP camera module over libgphoto2: the entry point's work, and the knobs the tests turn.

#pragma once

#include "sdk/Maid.h"

#include <chrono>
#include <cstdint>

namespace zarv::ptp {

class Layer;

// The module's entry point (exported as MAIDEntryPoint by the bundle). Called from one thread.
int32_t entry(tagNkMAIDObject* object, uint32_t command, uint32_t param, uint32_t dataType,
              uint64_t data, LPMAIDCompletionProc complete, uint64_t ref);

struct Options {
    Layer* layer = nullptr;       // null: the real libgphoto2
    uint64_t pieceSize = 1 << 20; // bytes per data-procedure call
    // How often a camera's thread asks the camera for events while it has nothing else to do.
    int pollMs = 30;
    bool listCard = false; // pictures already on the card become items too
    int busyRetries = 20;  // a busy camera is asked again this many times, 50 ms apart
    // After a capture from the computer, the body returns to its own controls once this long
    // has passed without another.
    std::chrono::milliseconds handBackAfter{1000};
};

// Takes effect when the module object is next opened.
void setOptions(const Options& options);

} // namespace zarv::ptp
