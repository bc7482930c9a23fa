// Live view over libgphoto2: started by turning the body's viewfinder on and fetching a first
// frame, fed by one preview fetch at a time in the camera thread's idle turns, stopped by
// turning the viewfinder off and handing the body back to its own controls.

#include "ModuleState.h"

#include <gphoto2/gphoto2-widget.h>

#include <cstdio>
#include <cstring>

namespace zarv::ptp {

using namespace zarv::module;

bool jpegSize(std::string_view jpeg, uint32_t* width, uint32_t* height) {
    const auto* p = reinterpret_cast<const uint8_t*>(jpeg.data());
    const size_t n = jpeg.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return false;
    size_t at = 2;
    while (at + 4 <= n) {
        if (p[at] != 0xFF)
            return false;
        const uint8_t marker = p[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) { // no length follows
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) // the image or its data before any frame header
            return false;
        const size_t length = size_t(p[at + 2]) << 8 | p[at + 3];
        if (length < 2)
            return false;
        // C4, C8 and CC share the range with the frame headers but are tables.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            if (length < 8 || at + 9 > n)
                return false;
            const uint32_t h = uint32_t(p[at + 5]) << 8 | p[at + 6];
            const uint32_t w = uint32_t(p[at + 7]) << 8 | p[at + 8];
            if (!w || !h) // a height given later (DNL) is not what a body sends
                return false;
            *width = w;
            *height = h;
            return true;
        }
        at += 2 + length;
    }
    return false;
}

uint32_t liveViewWarningsFor(const std::string& said) {
    // libgphoto2's reasons for a Nikon body that refuses ("Liveview cannot start: ...").
    static const struct {
        const char* text;
        uint32_t bit;
    } reasons[] = {
        {"no card or card protected", 0x1},
        {"Card protected", 0x800},
        {"Card unformatted", 0x4},
        {"Card error", 0x2},
    };
    for (const auto& r : reasons)
        if (said.find(r.text) != std::string::npos)
            return r.bit;
    return kLiveViewRefused;
}

namespace {

// The body's live view on or off through its viewfinder widget; a body without one leaves it
// to the first preview.
int setViewfinder(Camera& camera, int on) {
    CameraWidget* w = nullptr;
    if (camera.getWidget("viewfinder", &w) < kGpOk || !w)
        return kGpOk;
    gp_widget_set_value(w, &on);
    const int rc = camera.setWidget("viewfinder", w);
    gp_widget_free(w);
    return rc;
}

// Camera side: one frame, or the reason there is none.
int fetchFrame(Camera& camera, LiveFeed::Frame* frame, std::string* why) {
    const int rc = camera.preview(&frame->jpeg);
    if (rc < kGpOk) {
        const std::string said = camera.takeMessage();
        *why = said.empty() ? resultText(rc) : said + " (" + resultText(rc) + ")";
        return rc;
    }
    if (!jpegSize(frame->jpeg, &frame->width, &frame->height)) {
        *why = "the frame (" + std::to_string(frame->jpeg.size()) + " bytes) is not a JPEG";
        return kGpError;
    }
    return kGpOk;
}

// Program side: the next frame is fetched in the camera thread's next idle turn, unless one
// is under way.
void requestFrame(Source& s) {
    if (!s.worker || !s.live->claimFetch())
        return;
    Worker* worker = s.worker.get();
    auto live = s.live;
    worker->postIdle([worker, live, body = s.onCamera, model = s.camera.model](Camera& camera) {
        if (!live->running()) {
            live->fetched(nullptr);
            return;
        }
        LiveFeed::Frame frame;
        std::string why;
        const int rc = fetchFrame(camera, &frame, &why);
        // A body that keeps failing is said to once, not at every frame.
        if (rc < kGpOk) {
            if (!worker->gone(rc) && !body->liveFailing)
                std::fprintf(stderr, "ZarvPTP: no live-view frame from %s: %s\n", model.c_str(),
                             why.c_str());
            body->liveFailing = true;
            live->fetched(nullptr);
            return;
        }
        body->liveFailing = false;
        live->fetched(&frame);
    });
}

} // namespace

int32_t startLiveView(Source& s) {
    if (s.gone || !s.worker)
        return kNkMAIDResult_UnexpectedError;
    if (s.live->running())
        return kNkMAIDResult_NoError;
    Worker& worker = *s.worker;
    LiveFeed::Frame first;
    std::string why;
    bool refused = false;
    const int rc = worker.call([&](Camera& camera) -> int {
        camera.takeMessage();
        int r = patient([&] { return setViewfinder(camera, 1); });
        if (r < kGpOk) {
            const std::string said = camera.takeMessage();
            why = said.empty() ? resultText(r) : said + " (" + resultText(r) + ")";
        } else {
            r = fetchFrame(camera, &first, &why);
        }
        if (worker.gone(r))
            return r;
        if (r < kGpOk) {
            refused = true;
            // Whatever the library started is undone, and the body is its own again.
            setViewfinder(camera, 0);
            handBackControls(worker, camera);
            return kGpOk;
        }
        s.onCamera->liveView = true;
        return r;
    });
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: cannot start live view on %s: %s\n", s.camera.model.c_str(),
                     resultText(rc).c_str());
        return kNkMAIDResult_UnexpectedError;
    }
    if (refused) {
        s.liveWarnings = liveViewWarningsFor(why);
        std::fprintf(stderr, "ZarvPTP: %s refuses live view: %s\n", s.camera.model.c_str(),
                     why.c_str());
        return kNkMAIDResult_NotAvailable;
    }
    s.liveWarnings = 0;
    s.live->start(std::move(first));
    return kNkMAIDResult_NoError;
}

int32_t stopLiveView(Source& s) {
    if (!s.live->running())
        return kNkMAIDResult_NoError;
    s.live->stop();
    if (s.gone || !s.worker)
        return kNkMAIDResult_NoError;
    Worker& worker = *s.worker;
    int stopped = kGpOk;
    const int rc = worker.call([&](Camera& camera) -> int {
        stopped = patient([&] { return setViewfinder(camera, 0); });
        if (worker.gone(stopped))
            return stopped;
        s.onCamera->liveView = false;
        // A shot still under way hands the body back once it is over.
        if (!s.onCamera->handBack)
            handBackControls(worker, camera);
        return kGpOk;
    });
    if (rc < kGpOk || stopped < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: cannot stop live view on %s: %s\n", s.camera.model.c_str(),
                     resultText(rc < kGpOk ? rc : stopped).c_str());
        return worker.isGone() ? kNkMAIDResult_NoError : kNkMAIDResult_UnexpectedError;
    }
    return kNkMAIDResult_NoError;
}

int32_t readLiveViewFrame(Source& s, uint32_t dataType, uint64_t data) {
    auto* out = wordToPtr<tagNkMAIDLiveViewFrame>(data);
    if (dataType != kNkMAIDDataType_LiveViewFramePtr || !out)
        return kNkMAIDResult_UnexpectedError;
    if (s.gone || !s.live->running())
        return kNkMAIDResult_UnexpectedError;
    const std::shared_ptr<const LiveFeed::Frame> frame = s.live->unread();
    if (!frame) {
        requestFrame(s);
        return kNkMAIDResult_NotAvailable;
    }
    const uint32_t room = out->pData ? out->ulSize : 0;
    out->ulWidth = frame->width;
    out->ulHeight = frame->height;
    // libgphoto2 does not pass on where the body focuses.
    out->ulFocusLeft = out->ulFocusTop = out->ulFocusWidth = out->ulFocusHeight = 0;
    out->ullSequence = frame->sequence;
    out->ulSize = uint32_t(frame->jpeg.size());
    if (room < frame->jpeg.size()) {
        s.live->hold(true);
        return kNkMAIDResult_ValueOutOfRange;
    }
    std::memcpy(wordToPtr<uint8_t>(out->pData), frame->jpeg.data(), frame->jpeg.size());
    s.live->hold(false);
    s.live->markRead(frame->sequence);
    requestFrame(s);
    return kNkMAIDResult_NoError;
}

} // namespace zarv::ptp
