#pragma once

#include <QByteArray>
#include <QRect>
#include <QSize>

#include <chrono>
#include <cstdint>

namespace zarv {

/// One live-view frame as the camera gave it: a JPEG with its size, the camera's frame number
/// and, where the camera says, the area it focuses on (in the frame's pixels).
struct LiveViewFrame {
    QByteArray jpeg;
    QSize size;
    QRect focusArea; ///< empty when the camera does not say
    uint64_t sequence = 0;
    int64_t readAtNs = 0; ///< steady clock, when the read answered
};

/// The clock frames are stamped with (steady, shared by every process of the machine), in ns.
inline int64_t liveViewClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// How a frame read ended.
enum class LiveViewRead {
    Frame,      ///< a frame newer than the last one read
    NoNewFrame, ///< none since the last read: ask again later
    NotRunning, ///< live view is not running (never started, stopped, or the camera left)
    Failed,     ///< the module failed the read; it is logged
};

/// The camera's focus position while live view runs, where its module lets the program move it.
struct LiveViewFocus {
    double value = 0;
    double lower = 0;
    double upper = 0;
};

/// How a start ended.
enum class LiveViewStart {
    Started,
    Unsupported, ///< no camera, or one whose module offers no live view
    Refused,     ///< the camera said no; the reasons come with it
    Failed,      ///< the module failed; it is logged
};

} // namespace zarv
