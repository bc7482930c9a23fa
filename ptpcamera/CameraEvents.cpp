// The PTP module on each camera's own thread: reading the settings and the card, and the
// camera's events (pictures, changed settings, a full card), handed to the pump.

#include "ModuleState.h"

#include <gphoto2/gphoto2-widget.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zarv::ptp {

using Clock = std::chrono::steady_clock;

Settings readCameraSettings(Camera& camera) {
    CameraWidget* root = nullptr;
    if (patient([&] { return camera.getConfig(&root); }) < kGpOk || !root)
        return {};
    Settings s = readSettings(root);
    gp_widget_free(root);
    return s;
}

// One widget read on its own, as the setting it maps to (none when it maps to none).
Settings readWidget(Camera& camera, const std::string& name) {
    CameraWidget* w = nullptr;
    if (patient([&] { return camera.getWidget(name, &w); }) < kGpOk || !w)
        return {};
    Settings s = readSettings(w);
    gp_widget_free(w);
    return s;
}

// Worker side: the files of a folder and those below it.
void listFolder(Camera& camera, const std::string& folder, std::vector<Item>* out) {
    std::vector<std::string> files, folders;
    if (camera.list(folder, &files, &folders) < kGpOk)
        return;
    const std::string prefix = folder == "/" ? "/" : folder + "/";
    for (const std::string& name : files) {
        Item item;
        item.file = {folder, name};
        item.fileType = fileDataTypeOf(name);
        FileInfo info;
        if (item.fileType && camera.fileInfo(item.file, &info) >= kGpOk && info.hasSize) {
            item.size = info.size;
            item.mtime = info.mtime;
            out->push_back(item);
        }
    }
    for (const std::string& sub : folders)
        listFolder(camera, prefix + sub, out);
}

namespace {

// Pump side: settings the camera's thread read again.
void takeSettings(uint32_t sourceId, Settings read, bool whole) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || read.empty())
        return;
    if (whole)
        it->second.settings = std::move(read);
    else
        for (auto& [cap, setting] : read)
            it->second.settings[cap] = std::move(setting);
}

// libgphoto2 names the widget of a changed property and its new value:
// PTP Property 500d changed, "shutterspeed" to "1/250"
bool changedWidget(const std::string& text, std::string* name, std::string* value) {
    static const std::string nameAt = "changed, \"", valueAt = "\" to \"";
    const auto begin = text.find(nameAt);
    const auto middle = begin == std::string::npos ? begin : text.find(valueAt, begin);
    if (middle == std::string::npos || text.back() != '"')
        return false;
    *name = text.substr(begin + nameAt.size(), middle - begin - nameAt.size());
    const auto from = middle + valueAt.size();
    *value = text.substr(from, text.size() - 1 - std::min(from, text.size() - 1));
    return true;
}

// Pump side: a setting changed on the body. The event says to what, so the camera need not be
// asked; where the value is not one the setting lists, the widget is read again on its own.
void noteChange(uint32_t sourceId, uint32_t cap, const std::string& name,
                const std::string& value) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || !it->second.worker)
        return;
    Source& s = it->second;
    auto setting = s.settings.find(cap);
    if (setting != s.settings.end()) {
        Setting& now = setting->second;
        const auto label = std::find(now.labels.begin(), now.labels.end(), value);
        if (label != now.labels.end()) {
            now.current = uint32_t(label - now.labels.begin());
            return;
        }
        // A continuous range names its value as a number ("%f").
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (now.kind == Setting::Range && now.labels.empty() && end && *end == '\0' &&
            !value.empty() && now.steps > 1 && now.upper > now.lower) {
            const double at = (v - now.lower) / (now.upper - now.lower) * double(now.steps - 1);
            now.current = uint32_t(std::clamp(std::lround(at), 0L, long(now.steps - 1)));
            return;
        }
    }
    Worker* w = s.worker.get();
    w->post([w, sourceId, name](Camera& camera) {
        Settings read = readWidget(camera, name);
        w->deliver([sourceId, read = std::move(read)]() mutable {
            takeSettings(sourceId, std::move(read), false);
        });
    });
}

// Pump side: the body says its card is full; pictures into its RAM still arrive.
void noteCardFull(uint32_t sourceId) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end() || it->second.cardFull)
        return;
    it->second.cardFull = true;
    std::fprintf(stderr,
                 "ZarvPTP: the card in %s is full: free some room on it, or set \"Save to\" "
                 "to the camera's RAM (SDRAM)\n",
                 it->second.camera.model.c_str());
}

void onOtherEvent(uint32_t sourceId, Worker& worker, const CameraEvent& e, Body* body) {
    // libgphoto2 passes the StoreFull event on as its code: "PTP Event 400a, Param1 00010001".
    if (e.text.rfind("PTP Event 400a", 0) == 0) {
        worker.deliver([sourceId] { noteCardFull(sourceId); });
        return;
    }
    std::string name, value;
    if (changedWidget(e.text, &name, &value)) {
        if (const uint32_t cap = capabilityOfWidget(name))
            worker.deliver([=] { noteChange(sourceId, cap, name, value); });
        return;
    }
    // A new lens or mode may change what the settings can take: all of them again, once
    // a burst of such changes has settled.
    if (e.text.rfind("PTP Deviceinfo changed", 0) == 0)
        body->settingsDirty = true;
}

// Between events: the settings once they have settled, and the body handed back to its own
// controls once a capture from the computer is over.
void betweenEvents(uint32_t sourceId, Worker& worker, Camera& camera, Body* body) {
    const auto now = Clock::now();
    if (body->settingsDirty && now - body->lastRead >= std::chrono::milliseconds(500)) {
        body->settingsDirty = false;
        body->lastRead = now;
        Settings read = readCameraSettings(camera);
        worker.deliver([sourceId, read = std::move(read)]() mutable {
            takeSettings(sourceId, std::move(read), true);
        });
    }
    // Live view keeps the body in PC mode; stopping it hands the body back.
    if (body->handBack && !body->liveView && now - body->capturedAt >= g_options.handBackAfter &&
        (body->pictureSince || now - body->capturedAt >= std::chrono::seconds(10))) {
        body->handBack = false;
        handBackControls(worker, camera);
    }
}

} // namespace

void handBackControls(Worker& worker, Camera& camera) {
    CameraWidget* w = nullptr;
    if (camera.getWidget("controlmode", &w) >= kGpOk && w) {
        gp_widget_set_value(w, "0");
        const int rc = camera.setWidget("controlmode", w);
        gp_widget_free(w);
        if (!worker.gone(rc) && rc < kGpOk)
            std::fprintf(stderr, "ZarvPTP: cannot hand the body back to its own controls: %s\n",
                         resultText(rc).c_str());
    }
}

void onCameraEvent(uint32_t sourceId, Worker& worker, Camera& camera, const CameraEvent& e,
                   Body* body) {
    switch (e.kind) {
    case CameraEvent::FileAdded:
        body->pictureSince = true;
        onFileAdded(sourceId, worker, camera, e.file);
        break;
    case CameraEvent::CaptureComplete:
        body->pictureSince = true;
        break;
    case CameraEvent::Other:
        onOtherEvent(sourceId, worker, e, body);
        break;
    case CameraEvent::Timeout:
        break;
    }
    betweenEvents(sourceId, worker, camera, body);
}

} // namespace zarv::ptp
