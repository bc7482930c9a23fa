#include "LiveViewRendering.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <cstdlib>

namespace zarv {

namespace {

// A camera's frame is never near this; a header that claims more is not decoded.
constexpr qint64 kMostPixels = 64ll << 20;

} // namespace

QRect fittedRect(const QSize& frame, const QSize& view) {
    if (frame.isEmpty() || view.isEmpty())
        return {};
    const QSize fitted = frame.scaled(view, Qt::KeepAspectRatio).boundedTo(frame);
    return QRect(QPoint((view.width() - fitted.width()) / 2, (view.height() - fitted.height()) / 2),
                 fitted);
}

QImage focusPeaking(const QImage& image, int level) {
    if (image.isNull())
        return {};
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    QImage overlay(gray.size(), QImage::Format_ARGB32_Premultiplied);
    overlay.fill(Qt::transparent);
    const int w = gray.width();
    const int h = gray.height();
    const QRgb mark = qRgba(255, 32, 32, 255);
    for (int y = 1; y + 1 < h; ++y) {
        const uchar* above = gray.constScanLine(y - 1);
        const uchar* row = gray.constScanLine(y);
        const uchar* below = gray.constScanLine(y + 1);
        auto* out = reinterpret_cast<QRgb*>(overlay.scanLine(y));
        for (int x = 1; x + 1 < w; ++x) {
            // Central differences: a blurred edge spreads its step over several pixels and
            // stays under the level; a sharp one does not.
            const int gx = std::abs(int(row[x + 1]) - int(row[x - 1]));
            const int gy = std::abs(int(below[x]) - int(above[x]));
            if (gx + gy > level)
                out[x] = mark;
        }
    }
    return overlay;
}

LiveViewPicture renderLiveViewFrame(const LiveViewFrame& frame,
                                    const LiveViewRenderOptions& options) {
    LiveViewPicture picture;
    picture.focusArea = frame.focusArea;
    picture.sequence = frame.sequence;
    picture.readAtNs = frame.readAtNs;
    QBuffer buffer;
    buffer.setData(frame.jpeg);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "JPEG");
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > kMostPixels) {
        picture.error = QStringLiteral("The camera sent a frame that is not a JPEG picture.");
        return picture;
    }
    picture.frameSize = size;
    const QSize fitted = fittedRect(size, options.view).size();
    if (options.full) {
        picture.full = reader.read();
        if (!picture.full.isNull() && !fitted.isEmpty())
            picture.image =
                picture.full.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    } else {
        if (!fitted.isEmpty() && fitted != size)
            reader.setScaledSize(fitted);
        picture.image = reader.read();
    }
    if (picture.image.isNull()) {
        picture.error =
            QStringLiteral("A live-view frame could not be decoded: %1").arg(reader.errorString());
        picture.full = {};
        return picture;
    }
    if (options.peaking)
        picture.peaking = focusPeaking(picture.image, options.peakingLevel);
    return picture;
}

} // namespace zarv

namespace zarv {

void LiveViewMeter::painted(int64_t readAtNs, int64_t paintedAtNs) {
    ++m_painted;
    const int64_t waitedMs = std::max<int64_t>(0, (paintedAtNs - readAtNs) / 1000000);
    ++m_waits[size_t(std::min<int64_t>(waitedMs, kLongestMs))];
    m_recent.push_back(paintedAtNs);
    const int64_t oldest = paintedAtNs - 1000000000;
    m_recent.erase(m_recent.begin(),
                   std::upper_bound(m_recent.begin(), m_recent.end(), oldest - 1));
}

double LiveViewMeter::framesPerSecond(int64_t nowNs) const {
    const int64_t from = nowNs - 1000000000;
    return double(m_recent.end() - std::upper_bound(m_recent.begin(), m_recent.end(), from));
}

int LiveViewMeter::percentileMs(double share) const {
    if (m_painted == 0)
        return 0;
    const auto wanted = uint64_t(share * double(m_painted) + 0.5);
    uint64_t seen = 0;
    for (size_t ms = 0; ms < m_waits.size(); ++ms) {
        seen += m_waits[ms];
        if (seen >= std::max<uint64_t>(wanted, 1))
            return int(ms);
    }
    return kLongestMs;
}

} // namespace zarv
