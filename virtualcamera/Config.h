#pragma once

// The virtual camera's configuration: a text file of "key = value" lines named by the
// environment variable ZARV_VIRTUAL_CAMERA_CONFIG. Blank lines and lines starting with '#' are
// skipped; numbers are decimal or 0x-prefixed hexadecimal; unknown keys are reported on standard
// error and ignored.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace zarv::vcam {

enum class Layout { File, Rows };
enum class SizeLie { None, Overflow, Zero, RowsOverflow };

/// The most frames one shot may take: a card holds that many and more, but not without bound.
inline constexpr uint32_t kMaxBurst = 1000;
/// Live-view frame sizes and rates a camera could give: no frame of a pixel, none past what
/// one JPEG can hold, none faster than a screen can show.
inline constexpr uint32_t kMinLiveViewSide = 16;
inline constexpr uint32_t kMaxLiveViewSide = 8192;
inline constexpr double kMaxLiveViewFps = 240;

struct Config {
    std::string model = "Zarv Virtual Camera";
    uint32_t pictures = 0;                 // pictures waiting on the card when the camera opens
    std::vector<std::string> pictureFiles; // delivered in turn; empty: the bundled samples
    uint64_t pictureSize = 0;              // pad every picture to at least this many bytes
    uint32_t pieceSize = 65536;            // bytes per data-procedure call
    Layout layout = Layout::File;
    uint32_t rowBytes = 1024;        // row layout: bytes per row
    uint32_t fileType = 1;           // 1 JPEG, 2 TIFF, 4 NEF, 257 NDF
    double autoShotInterval = 0;     // seconds between shots taken by the operator; 0: none
    uint32_t burst = 1;              // frames per shot, taken one per pump (as fast as it can)
    bool announceShots = true;       // the source announces each new picture (add-child)
    uint64_t bandwidth = 0;          // bytes per second the link delivers; 0: no limit
    bool removeAfterTransfer = true; // the camera drops a picture once transferred
    uint32_t sourceId = 1;           // the camera's id under the module
    bool thumbnails = false;         // items also carry a thumbnail data object
    double liveViewFps = 30;         // live-view frames per second
    uint32_t liveViewWidth = 1024;   // live-view frames at the larger live-view image size
    uint32_t liveViewHeight = 680;   //   (the smaller one is half as wide and half as high)
    uint32_t liveViewRefuse = 0;     // live-view warning bits that keep live view from starting
    // Faults.
    uint32_t enumRestarts = 0;         // answer -124 to this many capability-list fetches
    std::set<uint32_t> refuseOpen;     // child ids whose open is refused
    std::set<uint32_t> unavailable;    // capabilities whose get answers -127
    uint32_t removeAfterPieces = 0;    // the camera is unplugged after this many pieces
    std::set<uint32_t> neverComplete;  // capabilities whose start never completes
    SizeLie lieSizes = SizeLie::None;  // data-information records that lie about sizes
    std::set<uint32_t> noImageData;    // items (by id) that carry no image data
    std::set<uint32_t> refuseDataOpen; // items (by id) whose data objects cannot be opened
    std::set<uint32_t> dropOnSelect;   // items (by id) deleted on the camera as they are chosen
    std::set<uint32_t> brokenTransfer; // items (by id) whose every transfer fails after a piece
    double stallTransfer = 0; // seconds the first transfer of each picture stops after a piece
};

/// Reads the file named by ZARV_VIRTUAL_CAMERA_CONFIG, or the defaults when it is unset. A file
/// that cannot be read gives the defaults and a line on standard error.
Config loadConfig();
/// Parses configuration text; problems are appended to `errors`.
Config parseConfig(const std::string& text, std::vector<std::string>* errors);

} // namespace zarv::vcam
