#pragma once

// What the Live View tab shows of a frame, made off the main thread: the frame decoded at the
// size the view needs, the focus-peaking overlay, and the frame's place in the view. Plain code
// on images, tested without a display.

#include "session/LiveViewFrame.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

namespace zarv {

struct LiveViewPicture {
    /// The frame fitted into the view (at most the frame's own size); null when it could not
    /// be decoded.
    QImage image;
    /// The frame at its own size, for the 100 % view; null unless asked for.
    QImage full;
    /// Red where the fitted image has sharp edges; null unless asked for.
    QImage peaking;
    QSize frameSize;
    QRect focusArea; ///< in the frame's pixels; empty when the camera does not say
    uint64_t sequence = 0;
    int64_t readAtNs = 0;
    QString error;
};

struct LiveViewRenderOptions {
    QSize view;            ///< the space the frame is fitted into
    bool full = false;     ///< also keep the frame at its own size
    bool peaking = false;  ///< make the peaking overlay
    int peakingLevel = 60; ///< edge strength, 0-255, above which a pixel is marked
};

/// Decodes the frame's JPEG at the size that fits `options.view` (the JPEG decoder scales by
/// 1/2, 1/4 or 1/8 on the way), with what else is asked for. Any thread.
LiveViewPicture renderLiveViewFrame(const LiveViewFrame& frame,
                                    const LiveViewRenderOptions& options);

/// The overlay of `image`'s sharp edges: opaque red where the luminance gradient exceeds
/// `level`, transparent elsewhere. Same size as `image`.
QImage focusPeaking(const QImage& image, int level);

/// Where a frame of `frame` size stands when fitted and centred in `view`.
QRect fittedRect(const QSize& frame, const QSize& view);

} // namespace zarv

namespace zarv {

/// Counts the frames painted: the rate over the last second, and how long each waited from the
/// camera's read to its paint (to the millisecond, over the whole run).
class LiveViewMeter {
public:
    static constexpr int kLongestMs = 250; ///< the last bucket holds this and longer

    /// A frame read at `readAtNs` was painted at `paintedAtNs` (both steady clock).
    void painted(int64_t readAtNs, int64_t paintedAtNs);
    /// Frames painted in the second before `nowNs`.
    double framesPerSecond(int64_t nowNs) const;
    uint64_t paintedCount() const { return m_painted; }
    /// When the last frame was painted; 0 before any.
    int64_t lastPaintNs() const { return m_recent.empty() ? 0 : m_recent.back(); }
    /// How many frames waited each whole number of milliseconds, 0 to kLongestMs.
    const std::vector<uint64_t>& waits() const { return m_waits; }
    /// The wait that `share` (0-1) of the frames stayed within; 0 before any frame.
    int percentileMs(double share) const;

private:
    std::vector<int64_t> m_recent; // paint times of the last second, oldest first
    std::vector<uint64_t> m_waits = std::vector<uint64_t>(kLongestMs + 1, 0);
    uint64_t m_painted = 0;
};

} // namespace zarv
