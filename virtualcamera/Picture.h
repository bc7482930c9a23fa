#pragma once

// A picture the virtual camera delivers: a JPEG file, optionally padded to a given size with
// comment segments right after its start marker, so that it stays a decodable JPEG of any size
// without ever being held whole in memory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zarv::vcam {

class Picture {
public:
    /// Reads a JPEG file; false (with the reason in *error) when it cannot be read or is not a
    /// JPEG.
    bool load(const std::string& path, uint64_t minimumSize, std::string* error);
    /// Uses bytes already in memory.
    bool assign(std::vector<uint8_t> jpeg, uint64_t minimumSize, std::string* error);

    uint64_t size() const { return m_size; }
    /// Copies bytes [offset, offset + n) of the picture; bytes past the end read as 0.
    void read(uint64_t offset, uint8_t* out, size_t n) const;

private:
    std::vector<uint8_t> m_jpeg;
    std::vector<uint64_t> m_segmentEnds; // end offsets (from the padding's start) of each segment
    uint64_t m_padding = 0;
    uint64_t m_size = 0;
};

} // namespace zarv::vcam
