#include "Config.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
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

// One "key = value" line being read: the readers of its value, each adding the key's complaint
// when the value does not fit.
struct Entry {
    const std::string& key;
    const std::string& value;
    const std::function<void(const std::string&)>& fail;

    bool number32(uint32_t* out) const {
        uint64_t n = 0;
        if (!parseNumber(value, &n) || n > UINT32_MAX) {
            fail(key + ": expected a number");
            return false;
        }
        *out = uint32_t(n);
        return true;
    }
    void yesNo(bool* out) const {
        if (!parseBool(value, out))
            fail(key + ": expected yes or no");
    }
    // Seconds, not negative and at most `most`; complains with `expected` otherwise.
    void seconds(double most, const char* expected, double* out) const {
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (!end || *end != '\0' || !std::isfinite(v) || v < 0 || v > most)
            fail(key + expected);
        else
            *out = v;
    }
    void idInto(std::set<uint32_t>* ids) const {
        uint32_t v = 0;
        if (number32(&v))
            ids->insert(v);
    }
};

using Reader = void (*)(Config& c, const Entry& e);

const std::map<std::string, Reader>& readers() {
    static const std::map<std::string, Reader> table = {
        {"model", [](Config& c, const Entry& e) { c.model = e.value.substr(0, 255); }},
        {"pictures", [](Config& c, const Entry& e) { e.number32(&c.pictures); }},
        {"picture", [](Config& c, const Entry& e) { c.pictureFiles.push_back(e.value); }},
        {"picture_size",
         [](Config& c, const Entry& e) {
             uint64_t n = 0;
             if (!parseNumber(e.value, &n) || n > UINT32_MAX)
                 e.fail(e.key + ": expected a number below 4 GiB");
             else
                 c.pictureSize = n;
         }},
        {"piece_size",
         [](Config& c, const Entry& e) {
             e.number32(&c.pieceSize);
             if (c.pieceSize == 0)
                 c.pieceSize = 1;
         }},
        {"layout",
         [](Config& c, const Entry& e) {
             if (e.value == "file")
                 c.layout = Layout::File;
             else if (e.value == "rows")
                 c.layout = Layout::Rows;
             else
                 e.fail("layout: expected file or rows");
         }},
        {"row_bytes",
         [](Config& c, const Entry& e) {
             e.number32(&c.rowBytes);
             if (c.rowBytes == 0)
                 c.rowBytes = 1;
         }},
        {"file_type", [](Config& c, const Entry& e) { e.number32(&c.fileType); }},
        {"auto_shot_interval",
         [](Config& c, const Entry& e) {
             e.seconds(HUGE_VAL, ": expected seconds", &c.autoShotInterval);
         }},
        {"burst",
         [](Config& c, const Entry& e) {
             uint64_t n = 0;
             if (!parseNumber(e.value, &n) || n == 0 || n > kMaxBurst)
                 e.fail(e.key + ": expected 1 to " + std::to_string(kMaxBurst) + " frames");
             else
                 c.burst = uint32_t(n);
         }},
        {"announce_shots", [](Config& c, const Entry& e) { e.yesNo(&c.announceShots); }},
        {"bandwidth",
         [](Config& c, const Entry& e) {
             if (!parseRate(e.value, &c.bandwidth))
                 e.fail(e.key + ": expected bytes per second, such as 35000000 or 35M");
         }},
        {"remove_after_transfer",
         [](Config& c, const Entry& e) { e.yesNo(&c.removeAfterTransfer); }},
        {"thumbnails", [](Config& c, const Entry& e) { e.yesNo(&c.thumbnails); }},
        {"liveview_fps",
         [](Config& c, const Entry& e) {
             char* end = nullptr;
             const double v = std::strtod(e.value.c_str(), &end);
             if (!end || *end != '\0' || !(v > 0) || v > kMaxLiveViewFps)
                 e.fail(e.key + ": expected frames per second, above 0 and up to 240");
             else
                 c.liveViewFps = v;
         }},
        {"liveview_size",
         [](Config& c, const Entry& e) {
             uint64_t w = 0, h = 0;
             const auto x = e.value.find('x');
             if (x == std::string::npos || !parseNumber(trim(e.value.substr(0, x)), &w) ||
                 !parseNumber(trim(e.value.substr(x + 1)), &h) || w < kMinLiveViewSide ||
                 h < kMinLiveViewSide || w > kMaxLiveViewSide || h > kMaxLiveViewSide) {
                 e.fail(e.key + ": expected WIDTHxHEIGHT, each 16 to 8192");
                 return;
             }
             c.liveViewWidth = uint32_t(w);
             c.liveViewHeight = uint32_t(h);
         }},
        {"liveview_refuse", [](Config& c, const Entry& e) { e.number32(&c.liveViewRefuse); }},
        {"source_id", [](Config& c, const Entry& e) { e.number32(&c.sourceId); }},
        {"fault_enum_restarts", [](Config& c, const Entry& e) { e.number32(&c.enumRestarts); }},
        {"fault_refuse_open", [](Config& c, const Entry& e) { e.idInto(&c.refuseOpen); }},
        {"fault_unavailable", [](Config& c, const Entry& e) { e.idInto(&c.unavailable); }},
        {"fault_remove_after_pieces",
         [](Config& c, const Entry& e) { e.number32(&c.removeAfterPieces); }},
        {"fault_never_complete", [](Config& c, const Entry& e) { e.idInto(&c.neverComplete); }},
        {"fault_no_image_data", [](Config& c, const Entry& e) { e.idInto(&c.noImageData); }},
        {"fault_refuse_data_open", [](Config& c, const Entry& e) { e.idInto(&c.refuseDataOpen); }},
        {"fault_drop_on_select", [](Config& c, const Entry& e) { e.idInto(&c.dropOnSelect); }},
        {"fault_broken_transfer", [](Config& c, const Entry& e) { e.idInto(&c.brokenTransfer); }},
        {"fault_stall_transfer",
         [](Config& c, const Entry& e) {
             e.seconds(3600, ": expected seconds, up to 3600", &c.stallTransfer);
         }},
        {"fault_lie_sizes",
         [](Config& c, const Entry& e) {
             static const std::map<std::string, SizeLie> lies = {
                 {"none", SizeLie::None},
                 {"overflow", SizeLie::Overflow},
                 {"zero", SizeLie::Zero},
                 {"rows-overflow", SizeLie::RowsOverflow}};
             const auto it = lies.find(e.value);
             if (it != lies.end())
                 c.lieSizes = it->second;
             else
                 e.fail("fault_lie_sizes: expected none, overflow, zero or rows-overflow");
         }},
    };
    return table;
}

} // namespace

Config parseConfig(const std::string& text, std::vector<std::string>* errors) {
    Config c;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    const std::function<void(const std::string&)> fail = [&](const std::string& why) {
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
        const auto reader = readers().find(key);
        if (reader == readers().end())
            fail("unknown key " + key);
        else
            reader->second(c, Entry{key, value, fail});
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
