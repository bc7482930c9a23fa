#include "JpegBands.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace zarv::lookout {
namespace {

constexpr uint8_t kSoi = 0xD8, kEoi = 0xD9, kSos = 0xDA, kDri = 0xDD, kDnl = 0xDC;
constexpr uint8_t kRst0 = 0xD0, kRst7 = 0xD7;

bool isRestart(uint8_t marker) {
    return marker >= kRst0 && marker <= kRst7;
}

// Frames other than baseline and extended sequential Huffman: progressive, lossless,
// arithmetic-coded, hierarchical.
bool isOtherFrame(uint8_t marker) {
    return marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

// What the header says, and where its entropy-coded data lies.
struct Layout {
    QByteArray header;       // the segments every band needs, without the file's metadata
    qsizetype heightAt = -1; // the frame's height field in `header`
    int width = 0, height = 0;
    int mcuWidth = 8, mcuHeight = 8;
    int restartInterval = 0;
    qsizetype dataStart = 0; // the first byte after the scan header
};

std::optional<Layout> readLayout(const uint8_t* d, qsizetype n) {
    if (n < 4 || d[0] != 0xFF || d[1] != kSoi)
        return std::nullopt;
    Layout l;
    l.header.append("\xFF\xD8", 2);
    int components = 0;
    qsizetype p = 2;
    while (true) {
        while (p < n && d[p] == 0xFF && p + 1 < n && d[p + 1] == 0xFF)
            ++p; // fill bytes
        if (p + 4 > n || d[p] != 0xFF)
            return std::nullopt;
        const uint8_t marker = d[p + 1];
        if (marker == kEoi || marker == kSoi || isRestart(marker) || marker == kDnl ||
            isOtherFrame(marker))
            return std::nullopt;
        const qsizetype length = be16(d + p + 2);
        if (length < 2 || p + 2 + length > n)
            return std::nullopt;
        const uint8_t* s = d + p + 4; // the segment's body
        const qsizetype body = length - 2;
        if (marker == 0xC0 || marker == 0xC1) {
            if (body < 6 || components != 0)
                return std::nullopt;
            components = s[5];
            if (components < 1 || components > 4 || body < 6 + 3 * components || s[0] != 8)
                return std::nullopt;
            l.height = be16(s + 1);
            l.width = be16(s + 3);
            int maxH = 1, maxV = 1;
            for (int c = 0; c < components; ++c) {
                const int h = s[6 + 3 * c + 1] >> 4, v = s[6 + 3 * c + 1] & 0x0F;
                if (h < 1 || h > 4 || v < 1 || v > 4)
                    return std::nullopt;
                maxH = std::max(maxH, h);
                maxV = std::max(maxV, v);
            }
            // A single component is coded block by block, whatever its sampling factors.
            if (components > 1) {
                l.mcuWidth = 8 * maxH;
                l.mcuHeight = 8 * maxV;
            }
            if (l.width == 0 || l.height == 0) // a height given after the scan (DNL)
                return std::nullopt;
            l.heightAt = l.header.size() + 5;
        } else if (marker == kDri) {
            if (body != 2)
                return std::nullopt;
            l.restartInterval = be16(s);
        } else if (marker == kSos) {
            // One scan holding every component: the only kind cut here.
            if (components == 0 || body < 1 || s[0] != components)
                return std::nullopt;
            l.header.append(reinterpret_cast<const char*>(d + p), 2 + length);
            l.dataStart = p + 2 + length;
            return l;
        }
        // Metadata (EXIF and its thumbnail, XMP, comments) is left out of every band; JFIF and
        // Adobe's segment, which say how the colours are coded, are kept.
        const bool metadata =
            (marker >= 0xE1 && marker <= 0xEF && marker != 0xEE) || marker == 0xFE;
        if (!metadata)
            l.header.append(reinterpret_cast<const char*>(d + p), 2 + length);
        p += 2 + length;
    }
}

} // namespace

JpegCut splitJpegAtRestarts(const QByteArray& jpeg, int bands) {
    const auto* d = reinterpret_cast<const uint8_t*>(jpeg.constData());
    const qsizetype n = jpeg.size();
    if (bands < 2)
        return {};
    const auto layout = readLayout(d, n);
    if (!layout || layout->restartInterval == 0)
        return {};
    const Layout& l = *layout;
    const int64_t perRow = (l.width + l.mcuWidth - 1) / l.mcuWidth;
    const int64_t rows = (l.height + l.mcuHeight - 1) / l.mcuHeight;
    const int64_t intervals = (perRow * rows + l.restartInterval - 1) / l.restartInterval;

    // Every restart marker, checked against the count and numbering the header implies.
    std::vector<qsizetype> restarts;
    restarts.reserve(size_t(std::min<int64_t>(intervals, 1 << 20)));
    qsizetype end = -1;
    for (qsizetype q = l.dataStart; q + 1 < n;) {
        const void* ff = std::memchr(d + q, 0xFF, size_t(n - q - 1));
        if (!ff)
            break;
        q = static_cast<const uint8_t*>(ff) - d;
        const uint8_t next = d[q + 1];
        if (next == 0x00) {
            q += 2;
        } else if (next == 0xFF) {
            q += 1;
        } else if (isRestart(next)) {
            if (next != kRst0 + restarts.size() % 8 || int64_t(restarts.size()) >= intervals)
                return {};
            restarts.push_back(q);
            q += 2;
        } else {
            end = q;
            break;
        }
    }
    if (end < 0 || d[end + 1] != kEoi || int64_t(restarts.size()) != intervals - 1)
        return {};

    // Where each band begins: after the marker ending the interval that ends a row, as near as
    // may be to an even share of the coded bytes. Huffman decoding, the bulk of the work, goes
    // by the bytes, and a picture's detail (and so its bytes) is seldom spread evenly down it.
    const auto atRowStart = [&](int64_t k) { return k * l.restartInterval % perRow == 0; };
    // Where the coded data of interval `k` begins: after the marker that ends the one before.
    const auto startOf = [&](int64_t k) {
        return k == 0 ? l.dataStart : restarts[size_t(k - 1)] + 2;
    };
    std::vector<int64_t> cuts{0}; // in intervals done
    for (int b = 1; b < bands; ++b) {
        const qsizetype want = l.dataStart + (end - l.dataStart) * b / bands;
        int64_t best = -1;
        for (int64_t k = cuts.back() + 1; k < intervals; ++k) {
            if (!atRowStart(k))
                continue;
            if (best < 0 || std::abs(startOf(k) - want) < std::abs(startOf(best) - want))
                best = k;
            if (startOf(k) >= want)
                break;
        }
        if (best > cuts.back())
            cuts.push_back(best);
    }
    if (cuts.size() < 2)
        return {};

    // The JPEG of the intervals [first, last), both at row starts (or `last` the end).
    const auto bandOf = [&](int64_t first, int64_t last) {
        const bool toEnd = last == intervals;
        const qsizetype from = startOf(first);
        const qsizetype to = toEnd ? end : restarts[size_t(last - 1)];
        JpegBand band;
        band.top = int(first * l.restartInterval / perRow * l.mcuHeight);
        band.height = toEnd ? l.height - band.top
                            : int((last - first) * l.restartInterval / perRow * l.mcuHeight);
        band.jpeg.reserve(l.header.size() + (to - from) + 2);
        band.jpeg.append(l.header);
        band.jpeg[l.heightAt] = char(band.height >> 8);
        band.jpeg[l.heightAt + 1] = char(band.height & 0xFF);
        const qsizetype base = band.jpeg.size();
        band.jpeg.append(reinterpret_cast<const char*>(d + from), to - from);
        band.jpeg.append("\xFF\xD9", 2);
        // The band's own markers count from RST0 again.
        char* bytes = band.jpeg.data();
        for (int64_t i = first; i < (toEnd ? int64_t(restarts.size()) : last - 1); ++i)
            bytes[base + (restarts[size_t(i)] - from) + 1] = char(kRst0 + (i - first) % 8);
        return band;
    };
    JpegCut out;
    cuts.push_back(intervals);
    for (size_t b = 0; b + 1 < cuts.size(); ++b)
        out.bands.push_back(bandOf(cuts[b], cuts[b + 1]));
    // Around each seam, the rows of blocks on either side: their colours are smoothed across it.
    for (size_t b = 1; b + 1 < cuts.size(); ++b) {
        int64_t before = cuts[b] - 1, after = cuts[b] + 1;
        while (before > 0 && !atRowStart(before))
            --before;
        while (after < intervals && !atRowStart(after))
            ++after;
        out.seams.push_back(bandOf(std::max<int64_t>(before, 0), after));
    }
    return out;
}

} // namespace zarv::lookout
