// The scripted layer driven from outside the process through a folder, so that the whole
// program can be run against a PTP camera that is not there:
//   camera      "model=", "port=" and "usb_product=" lines: the camera detection finds
//   shots/      each new file is a picture the camera announces, with that file's bytes (write
//               it elsewhere and move it in; names starting with a dot are passed over)
//   unplug      while it exists the camera is gone: detection misses it, every call says -7
//   held        while it exists another program holds the camera: the open says -53

#pragma once

#include "ScriptedLayer.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zarv::ptp::scripted {

// Where a dropped picture appears on the camera's card.
inline constexpr const char* kShotFolder = "/store_00010001/DCIM/100NIKON";

// The dropped files announced so far, by name: a camera plugged in again announces only new ones.
struct Announced {
    std::mutex mutex;
    std::set<std::string> names;
};

class FolderCamera : public Camera {
public:
    FolderCamera(std::filesystem::path folder, std::shared_ptr<Script> script,
                 std::shared_ptr<Announced> announced)
        : folder_(std::move(folder)), script_(script), inner_(std::move(script)),
          announced_(std::move(announced)) {}

    int list(const std::string& folder, std::vector<std::string>* files,
             std::vector<std::string>* folders) override {
        return gone() ? kGpIo : inner_.list(folder, files, folders);
    }
    int fileInfo(const FilePath& file, FileInfo* info) override {
        return gone() ? kGpIo : inner_.fileInfo(file, info);
    }
    int read(const FilePath& file, uint64_t offset, char* buffer, uint64_t* size) override {
        return gone() ? kGpIo : inner_.read(file, offset, buffer, size);
    }
    int get(const FilePath& file, const Sink& sink) override {
        return gone() ? kGpIo : inner_.get(file, sink);
    }
    int remove(const FilePath& file) override { return gone() ? kGpIo : inner_.remove(file); }
    int waitEvent(int timeoutMs, CameraEvent* event) override {
        if (gone())
            return kGpIo;
        if (nextShot(event))
            return kGpOk;
        return inner_.waitEvent(timeoutMs, event);
    }
    int trigger() override { return gone() ? kGpIo : inner_.trigger(); }
    int preview(std::string* jpeg) override { return gone() ? kGpIo : inner_.preview(jpeg); }
    std::string takeMessage() override { return inner_.takeMessage(); }
    int getConfig(_CameraWidget** root) override { return gone() ? kGpIo : inner_.getConfig(root); }
    int setConfig(_CameraWidget* root) override { return gone() ? kGpIo : inner_.setConfig(root); }
    int getWidget(const std::string& name, _CameraWidget** widget) override {
        return gone() ? kGpIo : inner_.getWidget(name, widget);
    }
    int setWidget(const std::string& name, _CameraWidget* widget) override {
        return gone() ? kGpIo : inner_.setWidget(name, widget);
    }
    std::string serialNumber() override { return inner_.serialNumber(); }
    int exit() override { return inner_.exit(); }

private:
    bool gone() const {
        std::error_code ec;
        return std::filesystem::exists(folder_ / "unplug", ec);
    }
    // The first dropped file not announced yet, in name order, becomes a picture on the card.
    bool nextShot(CameraEvent* event) {
        std::error_code ec;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(folder_ / "shots", ec))
            if (entry.is_regular_file(ec) && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            const std::string name = file.filename().string();
            {
                std::lock_guard lock(announced_->mutex);
                if (!announced_->names.insert(name).second)
                    continue;
            }
            std::ifstream in(file, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
            const std::string path = std::string(kShotFolder) + "/" + name;
            script_->addFile(path, std::move(bytes));
            event->kind = CameraEvent::FileAdded;
            event->file = pathOf(path);
            return true;
        }
        return false;
    }

    const std::filesystem::path folder_;
    std::shared_ptr<Script> script_;
    ScriptedCamera inner_;
    std::shared_ptr<Announced> announced_;
};

class FolderLayer : public Layer {
public:
    // An empty folder name: no camera is ever found.
    explicit FolderLayer(std::filesystem::path folder) : folder_(std::move(folder)) {
        script_->buildConfig = &nikonTree;
    }

    int detect(std::vector<FoundCamera>* cameras) override {
        cameras->clear();
        if (const auto camera = described(); camera && !has("unplug"))
            cameras->push_back(*camera);
        return kGpOk;
    }
    int open(const FoundCamera&, std::unique_ptr<Camera>* camera) override {
        if (folder_.empty() || has("unplug"))
            return kGpUsbFind;
        if (has("held"))
            return kGpUsbClaim;
        *camera = std::make_unique<FolderCamera>(folder_, script_, announced_);
        return kGpOk;
    }

private:
    bool has(const char* name) const {
        std::error_code ec;
        return !folder_.empty() && std::filesystem::exists(folder_ / name, ec);
    }
    // The camera the "camera" file describes, if there is one.
    std::optional<FoundCamera> described() const {
        if (folder_.empty())
            return std::nullopt;
        std::ifstream in(folder_ / "camera");
        if (!in)
            return std::nullopt;
        FoundCamera camera{"Nikon DSC D850", "usb:001,007", 0x0441, true};
        std::string line;
        while (std::getline(in, line)) {
            const auto equals = line.find('=');
            if (equals == std::string::npos)
                continue;
            const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
            if (key == "model")
                camera.model = value;
            else if (key == "port")
                camera.port = value;
            else if (key == "usb_product")
                camera.usbProduct = uint32_t(std::strtoul(value.c_str(), nullptr, 0));
        }
        return camera;
    }

    const std::filesystem::path folder_;
    std::shared_ptr<Script> script_ = std::make_shared<Script>();
    std::shared_ptr<Announced> announced_ = std::make_shared<Announced>();
};

} // namespace zarv::ptp::scripted
