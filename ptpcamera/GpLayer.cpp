// The layer over the real libgphoto2.

#include "Layer.h"

#include <gphoto2/gphoto2.h>

#include <cstring>
#include <mutex>
#include <utility>

namespace zarv::ptp {
namespace {

// A CameraFile that hands each piece libgphoto2 reads straight to a sink, so that a whole-file
// download never holds the whole file here.
class SinkFile {
public:
    explicit SinkFile(const Camera::Sink& sink) : sink_(sink) {
        // libgphoto2 calls each of them on some paths (size when copying a picture it
        // holds in memory); reading back is never needed.
        static CameraFileHandler handler = {&SinkFile::size, &SinkFile::read, &SinkFile::write};
        gp_file_new_from_handler(&file_, &handler, this);
    }
    ~SinkFile() {
        if (file_)
            gp_file_unref(file_);
    }
    SinkFile(const SinkFile&) = delete;
    SinkFile& operator=(const SinkFile&) = delete;

    CameraFile* file() const { return file_; }
    // What the sink answered last, when it stopped the read.
    int refused() const { return refused_; }

private:
    static int size(void*, uint64_t*) { return GP_OK; }
    static int read(void*, unsigned char*, uint64_t* len) {
        *len = 0;
        return GP_ERROR_NOT_SUPPORTED;
    }
    static int write(void* self, unsigned char* data, uint64_t* len) {
        auto* f = static_cast<SinkFile*>(self);
        const int rc = f->sink_(reinterpret_cast<const char*>(data), *len);
        if (rc < GP_OK)
            f->refused_ = rc;
        return rc < GP_OK ? rc : GP_OK;
    }

    const Camera::Sink& sink_;
    CameraFile* file_ = nullptr;
    int refused_ = GP_OK;
};

class GpCamera : public Camera {
public:
    GpCamera(::Camera* camera, GPContext* context) : camera_(camera), context_(context) {
        gp_context_set_error_func(context_, &GpCamera::onError, this);
    }
    ~GpCamera() override {
        gp_camera_unref(camera_);
        gp_context_unref(context_);
    }

    int list(const std::string& folder, std::vector<std::string>* files,
             std::vector<std::string>* folders) override {
        CameraList* names = nullptr;
        gp_list_new(&names);
        int rc = gp_camera_folder_list_files(camera_, folder.c_str(), names, context_);
        if (rc >= kGpOk)
            rc = collect(names, files);
        gp_list_reset(names);
        if (rc >= kGpOk)
            rc = gp_camera_folder_list_folders(camera_, folder.c_str(), names, context_);
        if (rc >= kGpOk)
            rc = collect(names, folders);
        gp_list_free(names);
        return rc;
    }

    int fileInfo(const FilePath& file, FileInfo* out) override {
        CameraFileInfo info;
        std::memset(&info, 0, sizeof info);
        const int rc = gp_camera_file_get_info(camera_, file.folder.c_str(), file.name.c_str(),
                                               &info, context_);
        if (rc < kGpOk)
            return rc;
        *out = {};
        out->hasSize = (info.file.fields & GP_FILE_INFO_SIZE) != 0;
        out->size = out->hasSize ? info.file.size : 0;
        out->mtime = (info.file.fields & GP_FILE_INFO_MTIME) ? int64_t(info.file.mtime) : 0;
        return kGpOk;
    }

    int read(const FilePath& file, uint64_t offset, char* buffer, uint64_t* size) override {
        return gp_camera_file_read(camera_, file.folder.c_str(), file.name.c_str(),
                                   GP_FILE_TYPE_NORMAL, offset, buffer, size, context_);
    }

    int get(const FilePath& file, const Sink& sink) override {
        SinkFile out(sink);
        if (!out.file())
            return GP_ERROR_NO_MEMORY;
        const int rc = gp_camera_file_get(camera_, file.folder.c_str(), file.name.c_str(),
                                          GP_FILE_TYPE_NORMAL, out.file(), context_);
        return out.refused() < GP_OK ? out.refused() : rc;
    }

    int remove(const FilePath& file) override {
        return gp_camera_file_delete(camera_, file.folder.c_str(), file.name.c_str(), context_);
    }

    int waitEvent(int timeoutMs, CameraEvent* event) override {
        CameraEventType type = GP_EVENT_UNKNOWN;
        void* data = nullptr;
        const int rc = gp_camera_wait_for_event(camera_, timeoutMs, &type, &data, context_);
        if (rc < kGpOk)
            return rc;
        *event = {};
        switch (type) {
        case GP_EVENT_TIMEOUT:
            event->kind = CameraEvent::Timeout;
            break;
        case GP_EVENT_FILE_ADDED: {
            const auto* path = static_cast<CameraFilePath*>(data);
            event->kind = CameraEvent::FileAdded;
            event->file = {path->folder, path->name};
            break;
        }
        case GP_EVENT_CAPTURE_COMPLETE:
            event->kind = CameraEvent::CaptureComplete;
            break;
        case GP_EVENT_UNKNOWN:
            event->kind = CameraEvent::Other;
            if (data)
                event->text = static_cast<const char*>(data);
            break;
        default:
            event->kind = CameraEvent::Other;
            break;
        }
        std::free(data);
        return kGpOk;
    }

    int trigger() override { return gp_camera_trigger_capture(camera_, context_); }

    int preview(std::string* jpeg) override {
        CameraFile* file = nullptr;
        int rc = gp_file_new(&file);
        if (rc < GP_OK)
            return rc;
        rc = gp_camera_capture_preview(camera_, file, context_);
        const char* data = nullptr;
        unsigned long size = 0;
        if (rc >= GP_OK)
            rc = gp_file_get_data_and_size(file, &data, &size);
        if (rc >= GP_OK)
            jpeg->assign(data ? data : "", data ? size : 0);
        gp_file_unref(file);
        return rc;
    }

    std::string takeMessage() override { return std::exchange(message_, {}); }
    int getConfig(CameraWidget** root) override {
        return gp_camera_get_config(camera_, root, context_);
    }
    int setConfig(CameraWidget* root) override {
        return gp_camera_set_config(camera_, root, context_);
    }
    int getWidget(const std::string& name, CameraWidget** widget) override {
        return gp_camera_get_single_config(camera_, name.c_str(), widget, context_);
    }
    int setWidget(const std::string& name, CameraWidget* widget) override {
        return gp_camera_set_single_config(camera_, name.c_str(), widget, context_);
    }

    std::string serialNumber() override {
        CameraText summary;
        std::memset(&summary, 0, sizeof summary);
        if (gp_camera_get_summary(camera_, &summary, context_) < kGpOk)
            return {};
        summary.text[sizeof summary.text - 1] = '\0';
        const std::string text = summary.text;
        static const std::string label = "Serial Number:";
        const auto at = text.find(label);
        if (at == std::string::npos)
            return {};
        const auto begin = text.find_first_not_of(' ', at + label.size());
        const auto end = text.find('\n', at);
        if (begin == std::string::npos || (end != std::string::npos && begin >= end))
            return {};
        return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    }

    int exit() override { return gp_camera_exit(camera_, context_); }

private:
    static void onError(GPContext*, const char* text, void* self) {
        if (text)
            static_cast<GpCamera*>(self)->message_ = text;
    }

    static int collect(CameraList* list, std::vector<std::string>* out) {
        const int count = gp_list_count(list);
        for (int i = 0; i < count; ++i) {
            const char* name = nullptr;
            if (gp_list_get_name(list, i, &name) >= kGpOk && name)
                out->push_back(name);
        }
        return count < 0 ? count : kGpOk;
    }

    ::Camera* camera_;
    GPContext* context_;
    std::string message_;
};

class GpLayer : public Layer {
public:
    ~GpLayer() override {
        if (abilities_)
            gp_abilities_list_free(abilities_);
    }

    int detect(std::vector<FoundCamera>* cameras) override {
        std::lock_guard lock(mutex_);
        int rc = loadAbilities();
        if (rc < kGpOk)
            return rc;
        GPPortInfoList* ports = nullptr;
        gp_port_info_list_new(&ports);
        rc = gp_port_info_list_load(ports);
        CameraList* found = nullptr;
        gp_list_new(&found);
        GPContext* context = gp_context_new();
        if (rc >= kGpOk)
            rc = gp_abilities_list_detect(abilities_, ports, found, context);
        for (int i = 0; rc >= kGpOk && i < gp_list_count(found); ++i) {
            const char *model = nullptr, *port = nullptr;
            gp_list_get_name(found, i, &model);
            gp_list_get_value(found, i, &port);
            FoundCamera c{model ? model : "", port ? port : "", 0, false};
            CameraAbilities a;
            const int index = gp_abilities_list_lookup_model(abilities_, c.model.c_str());
            if (index >= 0 && gp_abilities_list_get_abilities(abilities_, index, &a) >= kGpOk) {
                c.usbProduct = uint32_t(a.usb_product);
                c.canCapture = (a.operations &
                                (GP_OPERATION_CAPTURE_IMAGE | GP_OPERATION_TRIGGER_CAPTURE)) != 0;
                c.canPreview = (a.operations & GP_OPERATION_CAPTURE_PREVIEW) != 0;
            }
            cameras->push_back(c);
        }
        gp_context_unref(context);
        gp_list_free(found);
        gp_port_info_list_free(ports);
        return rc < kGpOk ? rc : kGpOk;
    }

    int open(const FoundCamera& which, std::unique_ptr<Camera>* out) override {
        std::unique_lock lock(mutex_);
        int rc = loadAbilities();
        if (rc < kGpOk)
            return rc;
        const int index = gp_abilities_list_lookup_model(abilities_, which.model.c_str());
        if (index < 0)
            return index;
        CameraAbilities abilities;
        gp_abilities_list_get_abilities(abilities_, index, &abilities);
        lock.unlock();

        GPPortInfoList* ports = nullptr;
        gp_port_info_list_new(&ports);
        rc = gp_port_info_list_load(ports);
        const int portIndex =
            rc < kGpOk ? rc : gp_port_info_list_lookup_path(ports, which.port.c_str());
        GPPortInfo port;
        if (portIndex >= 0)
            rc = gp_port_info_list_get_info(ports, portIndex, &port);
        else
            rc = portIndex;
        ::Camera* camera = nullptr;
        GPContext* context = gp_context_new();
        gp_camera_new(&camera);
        if (rc >= kGpOk)
            rc = gp_camera_set_abilities(camera, abilities);
        if (rc >= kGpOk)
            rc = gp_camera_set_port_info(camera, port);
        gp_port_info_list_free(ports);
        if (rc >= kGpOk)
            rc = gp_camera_init(camera, context);
        if (rc < kGpOk) {
            gp_camera_unref(camera);
            gp_context_unref(context);
            return rc;
        }
        *out = std::make_unique<GpCamera>(camera, context);
        return kGpOk;
    }

private:
    int loadAbilities() {
        if (abilities_)
            return kGpOk;
        gp_abilities_list_new(&abilities_);
        const int rc = gp_abilities_list_load(abilities_, nullptr);
        if (rc < kGpOk) {
            gp_abilities_list_free(abilities_);
            abilities_ = nullptr;
        }
        return rc;
    }

    std::mutex mutex_;
    CameraAbilitiesList* abilities_ = nullptr;
};

} // namespace

Layer& libgphoto2Layer() {
    static GpLayer layer;
    return layer;
}

std::string resultText(int code) {
    return std::string(gp_result_as_string(code)) + " (" + std::to_string(code) + ")";
}

} // namespace zarv::ptp
