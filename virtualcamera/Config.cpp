#include "Config.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zarv::vcam {

namespace {

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    const auto end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

bool parseNumber(const std::string& text, uint64_t* out) {
    if (text.empty() || text[0] == '-')
        return false;
    // Base 0 would read a leading zero as octal: "010" must be ten.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || !end || *end != '\0')
        return false;
    *out = v;
    return true;
}

bool parseBool(const std::string& text, bool* out) {
    if (text == "1" || text == "yes" || text == "true" || text == "on") {
        *out = true;
        return true;
    }
    if (text == "0" || text == "no" || text == "false" || text == "off") {
        *out = false;
        return true;
    }
    return false;
}

// Bytes per second: a number with an optional decimal multiple (k, M, G, as link speeds are
// given), optionally followed by "B" and "/s": "35000000", "35M", "300 MB/s". A hexadecimal
// number takes no suffix, so that its digits stay its own.
bool parseRate(std::string text, uint64_t* out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return parseNumber(text, out);
    auto dropSuffix = [&](const std::string& suffix) {
        if (text.size() >= suffix.size() &&
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
            text = trim(text.substr(0, text.size() - suffix.size()));
    };
    dropSuffix("/s");
    dropSuffix("B");
    uint64_t multiple = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'k':
        case 'K':
            multiple = 1000;
            break;
        case 'M':
            multiple = 1000 * 1000;
            break;
        case 'G':
            multiple = 1000 * 1000 * 1000;
            break;
        default:
            break;
        }
        if (multiple != 1)
            text = trim(text.substr(0, text.size() - 1));
    }
    uint64_t n = 0;
    if (!parseNumber(text, &n) || n > UINT64_MAX / multiple)
        return false;
    *out = n * multiple;
    return true;
}

} // namespace

Config parseConfig(const std::string& text, std::vector<std::string>* errors) {
    Config c;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        if (errors)
            errors->push_back("line " + std::to_string(lineNo) + ": " + why);
    };
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        const auto eq = t.find('=');
        if (eq == std::string::npos) {
            fail("expected key = value");
            continue;
        }
        const std::string key = trim(t.substr(0, eq));
        const std::string value = trim(t.substr(eq + 1));
        uint64_t n = 0;
        const bool isNumber = parseNumber(value, &n);
        auto number32 = [&](uint32_t* out) {
            if (!isNumber || n > UINT32_MAX)
                fail(key + ": expected a number");
            else
                *out = uint32_t(n);
        };
        if (key == "model") {
            c.model = value.substr(0, 255);
        } else if (key == "pictures") {
            number32(&c.pictures);
        } else if (key == "picture") {
            c.pictureFiles.push_back(value);
        } else if (key == "picture_size") {
            if (!isNumber || n > UINT32_MAX)
                fail(key + ": expected a number below 4 GiB");
            else
                c.pictureSize = n;
        } else if (key == "piece_size") {
            number32(&c.pieceSize);
            if (c.pieceSize == 0)
                c.pieceSize = 1;
        } else if (key == "layout") {
            if (value == "file")
                c.layout = Layout::File;
            else if (value == "rows")
                c.layout = Layout::Rows;
            else
                fail("layout: expected file or rows");
        } else if (key == "row_bytes") {
            number32(&c.rowBytes);
            if (c.rowBytes == 0)
                c.rowBytes = 1;
        } else if (key == "file_type") {
            number32(&c.fileType);
        } else if (key == "auto_shot_interval") {
            char* end = nullptr;
            const double v = std::strtod(value.c_str(), &end);
            if (!end || *end != '\0' || !std::isfinite(v) || v < 0)
                fail(key + ": expected seconds");
            else
                c.autoShotInterval = v;
        } else if (key == "burst") {
            if (!isNumber || n == 0 || n > kMaxBurst)
                fail(key + ": expected 1 to " + std::to_string(kMaxBurst) + " frames");
            else
                c.burst = uint32_t(n);
        } else if (key == "announce_shots") {
            if (!parseBool(value, &c.announceShots))
                fail(key + ": expected yes or no");
        } else if (key == "bandwidth") {
            if (!parseRate(value, &c.bandwidth))
                fail(key + ": expected bytes per second, such as 35000000 or 35M");
        } else if (key == "remove_after_transfer") {
            if (!parseBool(value, &c.removeAfterTransfer))
                fail(key + ": expected yes or no");
        } else if (key == "thumbnails") {
            if (!parseBool(value, &c.thumbnails))
                fail(key + ": expected yes or no");
        } else if (key == "source_id") {
            number32(&c.sourceId);
        } else if (key == "fault_enum_restarts") {
            number32(&c.enumRestarts);
        } else if (key == "fault_refuse_open") {
            uint32_t v = 0;
            number32(&v);
            if (isNumber)
                c.refuseOpen.insert(v);
        } else if (key == "fault_unavailable") {
            uint32_t v = 0;
            number32(&v);
            if (isNumber)
                c.unavailable.insert(v);
        } else if (key == "fault_remove_after_pieces") {
            number32(&c.removeAfterPieces);
        } else if (key == "fault_never_complete") {
            uint32_t v = 0;
            number32(&v);
            if (isNumber)
                c.neverComplete.insert(v);
        } else if (key == "fault_no_image_data" || key == "fault_refuse_data_open" ||
                   key == "fault_drop_on_select" || key == "fault_broken_transfer") {
            uint32_t v = 0;
            number32(&v);
            if (isNumber)
                (key == "fault_no_image_data"      ? c.noImageData
                 : key == "fault_refuse_data_open" ? c.refuseDataOpen
                 : key == "fault_drop_on_select"   ? c.dropOnSelect
                                                   : c.brokenTransfer)
                    .insert(v);
        } else if (key == "fault_stall_transfer") {
            char* end = nullptr;
            const double v = std::strtod(value.c_str(), &end);
            if (!end || *end != '\0' || !std::isfinite(v) || v < 0 || v > 3600)
                fail(key + ": expected seconds, up to 3600");
            else
                c.stallTransfer = v;
        } else if (key == "fault_lie_sizes") {
            if (value == "none")
                c.lieSizes = SizeLie::None;
            else if (value == "overflow")
                c.lieSizes = SizeLie::Overflow;
            else if (value == "zero")
                c.lieSizes = SizeLie::Zero;
            else if (value == "rows-overflow")
                c.lieSizes = SizeLie::RowsOverflow;
            else
                fail("fault_lie_sizes: expected none, overflow, zero or rows-overflow");
        } else {
            fail("unknown key " + key);
        }
    }
    return c;
}

Config loadConfig() {
    const char* path = std::getenv("ZARV_VIRTUAL_CAMERA_CONFIG");
    if (!path || !*path)
        return Config{};
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "ZarvVirtualCamera: cannot read the configuration %s\n", path);
        return Config{};
    }
    std::stringstream text;
    text << file.rdbuf();
    std::vector<std::string> errors;
    Config c = parseConfig(text.str(), &errors);
    // Pictures named relative to the file are found beside it.
    const std::string configPath(path);
    const auto slash = configPath.rfind('/');
    if (slash != std::string::npos)
        for (std::string& picture : c.pictureFiles)
            if (!picture.empty() && picture[0] != '/')
                picture = configPath.substr(0, slash + 1) + picture;
    for (const std::string& e : errors)
        std::fprintf(stderr, "ZarvVirtualCamera: %s: %s\n", path, e.c_str());
    return c;
}

} // namespace zarv::vcam
