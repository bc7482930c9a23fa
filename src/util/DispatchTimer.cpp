#include "DispatchTimer.h"

#include <chrono>
#include <cmath>

namespace zarv {

std::shared_ptr<DispatchTimer> CreateDispatchTimer(double interval, DispatchQueue* queue,
                                                   DispatchQueue::Block block) {
    // A zero interval would spin; a year is far beyond any use here.
    if (!queue || !block || !std::isfinite(interval) || interval <= 0 || interval > 365.0 * 86400)
        return nullptr;
    const auto ns = std::chrono::nanoseconds(static_cast<std::int64_t>(interval * 1e9));
    return queue->createTimer(ns, std::move(block));
}

} // namespace zarv
