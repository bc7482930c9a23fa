// A scripted libgphoto2 for the PTP module's tests and its scripted test bundle: files with
// their bytes and announced sizes, a queue of events and failures the camera reports, and a
// configuration tree built by hand.

#pragma once

#include "Layer.h"

#include <gphoto2/gphoto2-widget.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zarv::ptp::scripted {

struct Script {
    std::mutex mutex;
    int openResult = kGpOk;
    std::vector<FoundCamera> cameras = {{"Nikon DSC D850", "usb:001,007", 0x0441}};
    std::string serial = "3002417";
    struct File {
        std::string bytes;
        uint64_t announced = 0;      // what fileInfo says
        int64_t mtime = 1700000000;  // what fileInfo says
        uint64_t cutAt = UINT64_MAX; // reads stop delivering here, reporting success
        bool sized = true;           // false: file information fails, as for a picture in RAM
    };
    std::map<std::string, File> files;              // by "folder/name"
    std::deque<std::pair<int, CameraEvent>> events; // result code and event, in order
    int readsBeforeFailure = -1;                    // then every read fails with readFailure
    int readFailure = kGpIo;
    bool partialReads = true;  // false: reads answer "not supported"
    int readDelayMs = 0;       // each read takes this long, as over a slow link
    int busyAnswers = 0;       // the next this many calls say the camera is busy
    int triggerResult = kGpOk; // what a trigger answers
    std::string captureAdds;   // "folder/name" a trigger announces
    // Live view: each preview answers the next of these (result and frame), then the last
    // one again; none: previews are not supported.
    std::deque<std::pair<int, std::string>> previews;
    std::string message;                       // what the library reports with a failure
    std::map<std::string, std::string> values; // widget values by name
    std::function<CameraWidget*(const std::map<std::string, std::string>&)> buildConfig;
    // What happened
    int reads = 0, wholeGets = 0, triggers = 0, exits = 0, setConfigs = 0, deleted = 0;
    int getConfigs = 0, getWidgets = 0, setWidgets = 0, previewCalls = 0;
    std::vector<std::string> calls;   // "preview", "trigger", "waitEvent" in the order made
    std::vector<std::string> removed; // "folder/name" of each file removed
    std::string said;                 // the message not yet taken
    uint64_t largestRead = 0;

    void addFile(const std::string& path, std::string bytes) {
        std::lock_guard lock(mutex);
        File f;
        f.announced = bytes.size();
        f.bytes = std::move(bytes);
        files[path] = std::move(f);
    }
    void push(int rc, CameraEvent e = {}) {
        std::lock_guard lock(mutex);
        events.emplace_back(rc, std::move(e));
    }
    template <typename T> T read(const std::function<T(Script&)>& f) {
        std::lock_guard lock(mutex);
        return f(*this);
    }
};

inline std::string key(const FilePath& p) {
    return p.folder + "/" + p.name;
}

inline FilePath pathOf(const std::string& k) {
    const auto slash = k.rfind('/');
    return {k.substr(0, slash), k.substr(slash + 1)};
}

// A widget standing alone, as libgphoto2 gives one read on its own.
inline CameraWidget* copyOf(CameraWidget* w) {
    CameraWidgetType type;
    gp_widget_get_type(w, &type);
    const char *name = nullptr, *label = nullptr;
    gp_widget_get_name(w, &name);
    gp_widget_get_label(w, &label);
    CameraWidget* out = nullptr;
    gp_widget_new(type, label ? label : "", &out);
    gp_widget_set_name(out, name ? name : "");
    int readonly = 0;
    gp_widget_get_readonly(w, &readonly);
    gp_widget_set_readonly(out, readonly);
    if (type == GP_WIDGET_RANGE) {
        float lo = 0, hi = 0, step = 0, value = 0;
        gp_widget_get_range(w, &lo, &hi, &step);
        gp_widget_get_value(w, &value);
        gp_widget_set_range(out, lo, hi, step);
        gp_widget_set_value(out, &value);
    } else if (type == GP_WIDGET_TOGGLE) {
        int on = 0;
        gp_widget_get_value(w, &on);
        gp_widget_set_value(out, &on);
    } else if (type == GP_WIDGET_RADIO || type == GP_WIDGET_MENU || type == GP_WIDGET_TEXT) {
        for (int i = 0; i < gp_widget_count_choices(w); ++i) {
            const char* c = nullptr;
            if (gp_widget_get_choice(w, i, &c) >= GP_OK && c)
                gp_widget_add_choice(out, c);
        }
        const char* value = nullptr;
        gp_widget_get_value(w, &value);
        if (value)
            gp_widget_set_value(out, value);
    }
    gp_widget_set_changed(out, 0);
    return out;
}

class ScriptedCamera : public Camera {
public:
    explicit ScriptedCamera(std::shared_ptr<Script> s) : s_(std::move(s)) {}

    int list(const std::string& folder, std::vector<std::string>* files,
             std::vector<std::string>* folders) override {
        std::lock_guard lock(s_->mutex);
        const std::string prefix = folder == "/" ? "/" : folder + "/";
        for (const auto& [k, f] : s_->files) {
            const FilePath p = pathOf(k);
            if (p.folder == folder) {
                files->push_back(p.name);
            } else if (p.folder.rfind(prefix, 0) == 0) {
                const std::string rest = p.folder.substr(prefix.size());
                const std::string sub = rest.substr(0, rest.find('/'));
                if (std::find(folders->begin(), folders->end(), sub) == folders->end())
                    folders->push_back(sub);
            }
        }
        return kGpOk;
    }
    int fileInfo(const FilePath& file, FileInfo* info) override {
        std::lock_guard lock(s_->mutex);
        if (busy())
            return kGpCameraBusy;
        const auto it = s_->files.find(key(file));
        if (it == s_->files.end())
            return -108; // file not found
        if (!it->second.sized)
            return kGpError;
        *info = {};
        info->hasSize = true;
        info->size = it->second.announced;
        info->mtime = it->second.mtime;
        return kGpOk;
    }
    int read(const FilePath& file, uint64_t offset, char* buffer, uint64_t* size) override {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(s_->read<int>([](Script& s) { return s.readDelayMs; })));
        std::lock_guard lock(s_->mutex);
        if (busy())
            return kGpCameraBusy;
        if (!s_->partialReads)
            return kGpNotSupported;
        ++s_->reads;
        s_->largestRead = std::max(s_->largestRead, *size);
        if (s_->readsBeforeFailure == 0)
            return s_->readFailure;
        if (s_->readsBeforeFailure > 0)
            --s_->readsBeforeFailure;
        const auto it = s_->files.find(key(file));
        if (it == s_->files.end() || !it->second.sized)
            return it == s_->files.end() ? -108 : kGpError;
        const uint64_t end = std::min<uint64_t>(it->second.bytes.size(), it->second.cutAt);
        const uint64_t n = offset >= end ? 0 : std::min(*size, end - offset);
        if (n)
            std::memcpy(buffer, it->second.bytes.data() + offset, n);
        *size = n;
        return kGpOk;
    }
    int get(const FilePath& file, const Sink& sink) override {
        std::string bytes;
        {
            std::lock_guard lock(s_->mutex);
            if (busy())
                return kGpCameraBusy;
            ++s_->wholeGets;
            const auto it = s_->files.find(key(file));
            if (it == s_->files.end())
                return -108;
            bytes = it->second.bytes.substr(
                0, std::min<uint64_t>(it->second.bytes.size(), it->second.cutAt));
        }
        // In chunks, as libgphoto2 hands them over.
        constexpr uint64_t kChunk = 64 * 1024;
        for (uint64_t at = 0; at < bytes.size(); at += kChunk) {
            const int rc = sink(bytes.data() + at, std::min<uint64_t>(kChunk, bytes.size() - at));
            if (rc < kGpOk)
                return rc;
        }
        return kGpOk;
    }
    int remove(const FilePath& file) override {
        std::lock_guard lock(s_->mutex);
        ++s_->deleted;
        s_->removed.push_back(key(file));
        return s_->files.erase(key(file)) ? kGpOk : -108;
    }
    int waitEvent(int timeoutMs, CameraEvent* event) override {
        {
            std::lock_guard lock(s_->mutex);
            note("waitEvent");
            if (!s_->events.empty()) {
                auto [rc, e] = s_->events.front();
                s_->events.pop_front();
                *event = e;
                return rc;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        *event = {};
        return kGpOk;
    }
    int trigger() override {
        std::lock_guard lock(s_->mutex);
        if (busy())
            return kGpCameraBusy;
        ++s_->triggers;
        note("trigger");
        if (s_->triggerResult < kGpOk)
            return s_->triggerResult;
        if (!s_->captureAdds.empty()) {
            CameraEvent e;
            e.kind = CameraEvent::FileAdded;
            e.file = pathOf(s_->captureAdds);
            s_->events.emplace_back(kGpOk, e);
        }
        return kGpOk;
    }
    int preview(std::string* jpeg) override {
        std::lock_guard lock(s_->mutex);
        ++s_->previewCalls;
        note("preview");
        if (s_->previews.empty())
            return kGpNotSupported;
        const auto [rc, bytes] = s_->previews.front();
        if (s_->previews.size() > 1)
            s_->previews.pop_front();
        if (rc >= kGpOk)
            *jpeg = bytes;
        else
            s_->said = s_->message;
        return rc;
    }
    std::string takeMessage() override {
        std::lock_guard lock(s_->mutex);
        return std::exchange(s_->said, {});
    }
    int getConfig(CameraWidget** root) override {
        std::lock_guard lock(s_->mutex);
        ++s_->getConfigs;
        if (!s_->buildConfig)
            return kGpNotSupported;
        *root = s_->buildConfig(s_->values);
        return kGpOk;
    }
    int setConfig(CameraWidget* root) override {
        std::lock_guard lock(s_->mutex);
        ++s_->setConfigs;
        store(root);
        return kGpOk;
    }
    int getWidget(const std::string& name, CameraWidget** widget) override {
        std::lock_guard lock(s_->mutex);
        ++s_->getWidgets;
        if (!s_->buildConfig)
            return kGpNotSupported;
        CameraWidget* root = s_->buildConfig(s_->values);
        CameraWidget* found = nullptr;
        int rc = gp_widget_get_child_by_name(root, name.c_str(), &found);
        if (rc >= kGpOk)
            *widget = copyOf(found);
        gp_widget_free(root);
        return rc;
    }
    int setWidget(const std::string&, CameraWidget* widget) override {
        std::lock_guard lock(s_->mutex);
        ++s_->setWidgets;
        store(widget);
        return kGpOk;
    }
    std::string serialNumber() override {
        std::lock_guard lock(s_->mutex);
        return s_->serial;
    }
    int exit() override {
        std::lock_guard lock(s_->mutex);
        ++s_->exits;
        return kGpOk;
    }

private:
    // Keeps the value of every widget the module changed.
    void store(CameraWidget* w) {
        for (int i = 0; i < gp_widget_count_children(w); ++i) {
            CameraWidget* child = nullptr;
            if (gp_widget_get_child(w, i, &child) >= kGpOk)
                store(child);
        }
        const char* name = nullptr;
        gp_widget_get_name(w, &name);
        if (!name || !gp_widget_changed(w))
            return;
        std::string& value = s_->values[name];
        {
            CameraWidgetType type;
            gp_widget_get_type(w, &type);
            if (type == GP_WIDGET_RANGE) {
                float f = 0;
                gp_widget_get_value(w, &f);
                value = std::to_string(f);
            } else if (type == GP_WIDGET_TOGGLE) {
                int on = 0;
                gp_widget_get_value(w, &on);
                value = std::to_string(on);
            } else {
                const char* text = nullptr;
                gp_widget_get_value(w, &text);
                value = text ? text : "";
            }
        }
    }
    // Consecutive looks at the events count once, so that the order stays readable.
    void note(const char* call) {
        if (s_->calls.size() < 10000 && (s_->calls.empty() || s_->calls.back() != call))
            s_->calls.push_back(call);
    }
    bool busy() {
        if (s_->busyAnswers <= 0)
            return false;
        --s_->busyAnswers;
        return true;
    }
    std::shared_ptr<Script> s_;
};

class ScriptedLayer : public Layer {
public:
    std::shared_ptr<Script> script = std::make_shared<Script>();

    int detect(std::vector<FoundCamera>* cameras) override {
        std::lock_guard lock(script->mutex);
        *cameras = script->cameras;
        return kGpOk;
    }
    int open(const FoundCamera&, std::unique_ptr<Camera>* camera) override {
        {
            std::lock_guard lock(script->mutex);
            if (script->openResult < kGpOk)
                return script->openResult;
        }
        *camera = std::make_unique<ScriptedCamera>(script);
        return kGpOk;
    }
};

// Hand-built widget trees with Nikon's widget names.
inline CameraWidget* addRadio(CameraWidget* parent, const char* name,
                              const std::vector<const char*>& choices, const std::string& value) {
    CameraWidget* w = nullptr;
    gp_widget_new(GP_WIDGET_RADIO, name, &w);
    gp_widget_set_name(w, name);
    for (const char* c : choices)
        gp_widget_add_choice(w, c);
    gp_widget_set_value(w, value.c_str());
    gp_widget_append(parent, w);
    return w;
}

inline CameraWidget* addRange(CameraWidget* parent, const char* name, float lo, float hi,
                              float step, float value) {
    CameraWidget* w = nullptr;
    gp_widget_new(GP_WIDGET_RANGE, name, &w);
    gp_widget_set_name(w, name);
    gp_widget_set_range(w, lo, hi, step);
    gp_widget_set_value(w, &value);
    gp_widget_append(parent, w);
    return w;
}

inline std::string valueOr(const std::map<std::string, std::string>& v, const std::string& name,
                           const std::string& fallback) {
    const auto it = v.find(name);
    return it == v.end() ? fallback : it->second;
}

// A D850-like tree: the settings the module maps, in a section as libgphoto2 lays them out.
inline CameraWidget* nikonTree(const std::map<std::string, std::string>& v) {
    CameraWidget *root = nullptr, *section = nullptr;
    gp_widget_new(GP_WIDGET_WINDOW, "Camera and Driver Configuration", &root);
    gp_widget_new(GP_WIDGET_SECTION, "Capture Settings", &section);
    gp_widget_append(root, section);
    addRadio(section, "shutterspeed", {"1/4000", "1/250", "1/60", "1", "30"},
             valueOr(v, "shutterspeed", "1/250"));
    addRadio(section, "f-number", {"f/2.8", "f/4", "f/5.6", "f/8"},
             valueOr(v, "f-number", "f/5.6"));
    addRadio(section, "iso", {"100", "200", "400", "800"}, valueOr(v, "iso", "100"));
    addRadio(section, "whitebalance", {"Automatic", "Daylight", "Tungsten", "Cloudy"},
             valueOr(v, "whitebalance", "Automatic"));
    addRadio(section, "imagesize", {"8256x5504", "6192x4128", "4128x2752"},
             valueOr(v, "imagesize", "8256x5504"));
    addRadio(section, "imagequality", {"JPEG Basic", "JPEG Normal", "JPEG Fine", "NEF (Raw)"},
             valueOr(v, "imagequality", "JPEG Fine"));
    addRadio(section, "expprogram", {"M", "P", "A", "S", "U1"}, valueOr(v, "expprogram", "P"));
    addRadio(section, "exposurecompensation",
             {"-1", "-0.666", "-0.333", "0", "0.333", "0.666", "1"},
             valueOr(v, "exposurecompensation", "0"));
    addRange(section, "tungstenwhitebias", -6, 6, 1,
             std::stof(valueOr(v, "tungstenwhitebias", "0")));
    addRadio(section, "capturetarget", {"Internal RAM", "Memory card"},
             valueOr(v, "capturetarget", "Internal RAM"));
    CameraWidget* viewfinder = nullptr;
    gp_widget_new(GP_WIDGET_TOGGLE, "Nikon Viewfinder", &viewfinder);
    gp_widget_set_name(viewfinder, "viewfinder");
    const int on = std::stoi(valueOr(v, "viewfinder", "0"));
    gp_widget_set_value(viewfinder, &on);
    gp_widget_append(section, viewfinder);
    CameraWidget* mode = nullptr;
    gp_widget_new(GP_WIDGET_TEXT, "Set Nikon Control Mode", &mode);
    gp_widget_set_name(mode, "controlmode");
    gp_widget_set_value(mode, valueOr(v, "controlmode", "0").c_str());
    gp_widget_append(section, mode);
    return root;
}

} // namespace zarv::ptp::scripted
