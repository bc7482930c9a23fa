// The virtual camera's live view: a checkered scene drifting sideways, seen through the zoom
// and blurred by how far the focus position is from the scene's plane, so that focusing and
// focus peaking can be tried without a body. Frames are made when the program reads one that
// is due, never in the background.

#include "CameraState.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

using namespace zarv;

namespace zarv::vcam {

#ifndef ZARV_VCAM_NO_JPEG
namespace {

constexpr double kScenePlane = 60;    // the focus position at which the scene is sharp
constexpr double kBlurPerStep = 3;    // sensor pixels of blur radius per focus step off the plane
constexpr double kSensorWidth = 6016; // the largest image size's
constexpr double kSensorHeight = 4016;
constexpr double kSquare = 128; // sensor pixels per square of the pattern
constexpr double kDrift = 12;   // sensor pixels the scene moves per frame
constexpr int kQuality = 80;

uint32_t enumValue(uint32_t cap) {
    const EnumSetting& e = g_state->enums[cap];
    return e.current < e.values.size() ? e.values[e.current] : 0;
}

// The larger live-view image size is the configured one, the smaller half of it each way.
void frameSize(uint32_t* width, uint32_t* height) {
    const Config& c = g_state->config;
    const bool small = enumValue(kNkMAIDCapability_LiveViewImageSize) == 1;
    *width = small ? c.liveViewWidth / 2 : c.liveViewWidth;
    *height = small ? c.liveViewHeight / 2 : c.liveViewHeight;
}

// Frame pixels per sensor pixel: the whole sensor at "Full", otherwise the zoom's percentage,
// never less than the whole sensor.
double zoomScale(uint32_t width) {
    const double full = double(width) / kSensorWidth;
    static const double rates[] = {0, 0.25, 1.0 / 3, 0.5, 2.0 / 3, 1.0};
    const uint32_t zoom = enumValue(kNkMAIDCapability_LiveViewImageZoomRate);
    return zoom < std::size(rates) ? std::max(full, rates[zoom]) : full;
}

// The scene at frame n: squares in sensor coordinates, drifting right to left.
void render(int64_t n, uint32_t width, uint32_t height, double scale, std::vector<uint8_t>* rgb) {
    std::vector<int64_t> columns(width), rows(height);
    for (uint32_t x = 0; x < width; ++x)
        columns[x] = int64_t(std::floor(
            ((x + 0.5 - width / 2.0) / scale + kSensorWidth / 2 + double(n) * kDrift) / kSquare));
    for (uint32_t y = 0; y < height; ++y)
        rows[y] =
            int64_t(std::floor(((y + 0.5 - height / 2.0) / scale + kSensorHeight / 2) / kSquare));
    rgb->resize(size_t(width) * height * 3);
    uint8_t* p = rgb->data();
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const bool light = ((columns[x] + rows[y]) & 1) != 0;
            *p++ = light ? 220 : 40;
            *p++ = light ? 205 : 50;
            *p++ = uint8_t(light ? 150 + (columns[x] & 3) * 25 : 70);
        }
}

// A box blur of `radius` each way, edges repeated: along the rows, then down the columns, both
// over whole rows so that the memory is read in order.
void blur(std::vector<uint8_t>* rgb, uint32_t width, uint32_t height, int radius) {
    if (radius <= 0)
        return;
    const size_t stride = size_t(width) * 3;
    const uint64_t window = uint64_t(2 * radius + 1);
    const uint64_t inverse = ((uint64_t(1) << 32) + window - 1) / window; // sum / window
    const auto clampTo = [](int64_t i, uint32_t count) {
        return size_t(std::clamp<int64_t>(i, 0, int64_t(count) - 1));
    };
    std::vector<uint8_t> copy(*rgb);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = copy.data() + y * stride;
        uint8_t* out = rgb->data() + y * stride;
        uint64_t sum[3] = {};
        for (int64_t x = -radius; x <= radius; ++x)
            for (int c = 0; c < 3; ++c)
                sum[c] += in[clampTo(x, width) * 3 + c];
        for (uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                out[x * 3 + c] = uint8_t((sum[c] * inverse) >> 32);
                sum[c] += in[clampTo(int64_t(x) + radius + 1, width) * 3 + c];
                sum[c] -= in[clampTo(int64_t(x) - radius, width) * 3 + c];
            }
    }
    copy = *rgb;
    std::vector<uint32_t> sums(stride, 0);
    const auto row = [&](int64_t y) { return copy.data() + clampTo(y, height) * stride; };
    for (int64_t y = -radius; y <= radius; ++y) {
        const uint8_t* in = row(y);
        for (size_t i = 0; i < stride; ++i)
            sums[i] += in[i];
    }
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* out = rgb->data() + y * stride;
        const uint8_t* entering = row(int64_t(y) + radius + 1);
        const uint8_t* leaving = row(int64_t(y) - radius);
        for (size_t i = 0; i < stride; ++i) {
            out[i] = uint8_t((sums[i] * inverse) >> 32);
            sums[i] += entering[i];
            sums[i] -= leaving[i];
        }
    }
}

int64_t threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool makeFrame(int64_t n) {
    LiveView& lv = g_state->liveView;
    const int64_t cpuStart = threadCpuNs();
    struct Account {
        LiveView& lv;
        int64_t start;
        ~Account() {
            ++lv.framesMade;
            lv.makingCpuNs += threadCpuNs() - start;
        }
    } account{lv, cpuStart};
    frameSize(&lv.width, &lv.height);
    const double scale = zoomScale(lv.width);
    const double offPlane =
        std::abs(g_state->ranges[kNkMAIDCapability_FocusPosition].value - kScenePlane);
    const int radius = std::min<int>(int(std::lround(offPlane * kBlurPerStep * scale)),
                                     int(std::min(lv.width, lv.height) / 4));
    std::vector<uint8_t> rgb;
    render(n, lv.width, lv.height, scale, &rgb);
    blur(&rgb, lv.width, lv.height, radius);
    lv.made = -1;
    if (!encodeJpeg(rgb.data(), lv.width, lv.height, kQuality, &lv.jpeg))
        return false;
    lv.made = n;
    return true;
}

int64_t dueFrame(const LiveView& lv) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - lv.start).count();
    return int64_t(std::floor(elapsed * g_state->config.liveViewFps));
}

} // namespace
#endif

int32_t setLiveViewStatus(uint32_t dataType, uint64_t data) {
    if (dataType != kNkMAIDDataType_Unsigned)
        return kNkMAIDResult_UnexpectedError;
    if (data > 1)
        return kNkMAIDResult_ValueOutOfRange;
    LiveView& lv = g_state->liveView;
    if (data == 0) {
        if (lv.framesMade > 0)
            std::fprintf(stderr,
                         "ZarvVirtualCamera: live view stops: %lld frames made in %.0f ms of "
                         "CPU\n",
                         static_cast<long long>(lv.framesMade), double(lv.makingCpuNs) / 1e6);
        lv = LiveView{};
        g_state->unsignedValues[kNkMAIDCapability_LiveViewStatus] = 0;
        return kNkMAIDResult_NoError;
    }
#ifdef ZARV_VCAM_NO_JPEG
    return kNkMAIDResult_NotSupported;
#else
    if (!g_state->cameraPresent)
        return kNkMAIDResult_UnexpectedError;
    // The reasons are in LiveViewWarnings from the start.
    if (g_state->config.liveViewRefuse != 0)
        return kNkMAIDResult_NotAvailable;
    if (!lv.running) {
        lv = LiveView{};
        lv.running = true;
        lv.start = std::chrono::steady_clock::now();
    }
    g_state->unsignedValues[kNkMAIDCapability_LiveViewStatus] = 1;
    return kNkMAIDResult_NoError;
#endif
}

int32_t readLiveViewFrame(uint32_t dataType, uint64_t data) {
#ifdef ZARV_VCAM_NO_JPEG
    (void)dataType;
    (void)data;
    return kNkMAIDResult_NotSupported;
#else
    auto* frame = wordToPtr<tagNkMAIDLiveViewFrame>(data);
    if (dataType != kNkMAIDDataType_LiveViewFramePtr || !frame)
        return kNkMAIDResult_UnexpectedError;
    LiveView& lv = g_state->liveView;
    if (!lv.running)
        return kNkMAIDResult_UnexpectedError;
    const int64_t due = dueFrame(lv);
    if (due <= lv.lastRead)
        return kNkMAIDResult_NotAvailable;
    if (lv.made != due && !makeFrame(due))
        return kNkMAIDResult_UnexpectedError;
    frame->ulWidth = lv.width;
    frame->ulHeight = lv.height;
    frame->ulFocusWidth = lv.width / 6;
    frame->ulFocusHeight = lv.height / 6;
    frame->ulFocusLeft = (lv.width - frame->ulFocusWidth) / 2;
    frame->ulFocusTop = (lv.height - frame->ulFocusHeight) / 2;
    frame->ullSequence = uint64_t(due);
    const uint32_t room = frame->pData ? frame->ulSize : 0;
    frame->ulSize = uint32_t(lv.jpeg.size());
    if (room < lv.jpeg.size())
        return kNkMAIDResult_ValueOutOfRange; // kept for a read with room enough
    std::memcpy(wordToPtr<uint8_t>(frame->pData), lv.jpeg.data(), lv.jpeg.size());
    lv.lastRead = due;
    return kNkMAIDResult_NoError;
#endif
}

} // namespace zarv::vcam
