#include "Picture.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace zarv::vcam {

namespace {
constexpr uint64_t kFullSegment = 65537; // FF FE, a length of 65535, 65533 bytes of text
constexpr uint64_t kMinSegment = 4;
constexpr uint8_t kFill = 'Z';
} // namespace

bool Picture::load(const std::string& path, uint64_t minimumSize, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    return assign(std::move(bytes), minimumSize, error);
}

bool Picture::assign(std::vector<uint8_t> jpeg, uint64_t minimumSize, std::string* error) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
        if (error)
            *error = "not a JPEG file";
        return false;
    }
    m_jpeg = std::move(jpeg);
    m_segmentEnds.clear();
    uint64_t padding = minimumSize > m_jpeg.size() ? minimumSize - m_jpeg.size() : 0;
    if (padding > 0 && padding < kMinSegment)
        padding = kMinSegment;
    uint64_t left = padding;
    uint64_t at = 0;
    while (left > 0) {
        uint64_t segment = std::min(left, kFullSegment);
        // Never leave a remainder too short to be a segment of its own.
        if (left - segment > 0 && left - segment < kMinSegment)
            segment = left - kMinSegment;
        at += segment;
        m_segmentEnds.push_back(at);
        left -= segment;
    }
    m_padding = padding;
    m_size = m_jpeg.size() + padding;
    return true;
}

void Picture::read(uint64_t offset, uint8_t* out, size_t n) const {
    while (n > 0) {
        if (offset >= m_size) {
            std::memset(out, 0, n);
            return;
        }
        size_t chunk;
        if (offset < 2) {
            chunk = std::min<uint64_t>(n, 2 - offset);
            std::memcpy(out, m_jpeg.data() + offset, chunk);
        } else if (offset < 2 + m_padding) {
            const uint64_t p = offset - 2;
            const auto it = std::upper_bound(m_segmentEnds.begin(), m_segmentEnds.end(), p);
            const uint64_t end = *it;
            const uint64_t start = it == m_segmentEnds.begin() ? 0 : *(it - 1);
            const uint64_t length = end - start - 2; // the length field counts itself
            chunk = std::min<uint64_t>(n, end - p);
            for (size_t i = 0; i < chunk; ++i) {
                const uint64_t within = p + i - start;
                uint8_t b = kFill;
                if (within == 0)
                    b = 0xFF;
                else if (within == 1)
                    b = 0xFE;
                else if (within == 2)
                    b = uint8_t(length >> 8);
                else if (within == 3)
                    b = uint8_t(length & 0xFF);
                else {
                    // The rest of the segment is plain fill: copy it in one go.
                    const size_t rest = chunk - i;
                    std::memset(out + i, kFill, rest);
                    break;
                }
                out[i] = b;
            }
        } else {
            const uint64_t p = offset - m_padding;
            chunk = std::min<uint64_t>(n, m_jpeg.size() - p);
            std::memcpy(out, m_jpeg.data() + p, chunk);
        }
        out += chunk;
        offset += chunk;
        n -= chunk;
    }
}

} // namespace zarv::vcam
