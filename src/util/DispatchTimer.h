#pragma once

#include "platform/Dispatch.h"

#include <memory>

namespace zarv {

/// A started timer that runs `block` on `queue` one interval after now and then every interval
/// (seconds), until the caller cancels it. Gives null when no timer can be made: no queue, or
/// an interval that is not a positive finite number.
std::shared_ptr<DispatchTimer> CreateDispatchTimer(double interval, DispatchQueue* queue,
                                                   DispatchQueue::Block block);

} // namespace zarv
