#pragma once

// The camera controls' logic (CameraControlsViewController and the default-settings popover
// without their widgets): the read pass, writes from the lists and sliders, the per-model
// readings, and defaults kept, applied and imported. Every call into the camera session runs on
// the camera queue, a read and the use of its response as one step there; whatever the pages
// show reaches the listeners on the main thread. The main thread never waits for the camera
// queue: operations that need the camera answer through a completion on the main thread.

#include "CameraSettings.h"
#include "modules/ModuleMatchTask.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"

#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace zarv {

/// What the camera controls ask of a camera session (ZarvNikonBaseCameraHandler); device
/// information and the connected state come from MatchSubject. Every call except
/// fUsbDeviceInfo() runs on the camera queue.
class CameraSettingsSubject : public MatchSubject {
public:
    /// Reads a capability; leaves the response record under "prefLastNikonResponse" of the
    /// standard settings (removed first), or none when the camera does not offer it.
    virtual int16_t GetCameraInfo(uint32_t capability, const QString& withType) = 0;
    /// Writes a capability: a position from 1 for "enumtype", the value for the others.
    virtual int16_t SetCameraInfo(const QVariant& value, uint32_t forCapability,
                                  const QString& wtihType) = 0;
};

class CameraControls {
public:
    struct Options {
        /// The queue every call into the session runs on (the camera queue). Required.
        DispatchQueue* cameraQueue = nullptr;
        /// The current session, or null; called on the camera queue only.
        std::function<std::shared_ptr<CameraSettingsSubject>()> session;
        /// Null: UserDefaults::standard(). Must outlive the controls. The session's response
        /// records are read from UserDefaults::standard() whatever this is.
        UserDefaults* defaults = nullptr;
    };

    /// What the pages show, on the main thread. Each may be empty.
    struct Listener {
        /// A list's contents (and selection, when the camera gave one) after a read.
        std::function<void(const QString& popupIdentifier, const PopupList& list)> listChanged;
        /// A slider's range, value and label: after a read, or from the stored readings.
        std::function<void(const QString& container, const SliderSetup& setup)> sliderChanged;
        /// The identifiers of the fine-tune page's subviews: the slider containers there are.
        std::function<QStringList()> fineTuneSubviews;
        /// The pages were prepared: page one shown when a session exists, page two hidden.
        std::function<void(bool pageOneVisible)> pagesPrepared;
        /// A read pass ended (the lists may now be titled and their items enabled).
        std::function<void()> readPassFinished;
    };

    /// What writing a set of settings to the camera came to, by capability name.
    struct SettingsReport {
        QStringList invalid; ///< not written: the set's value cannot be one (a position below 1...)
        QStringList refused; ///< written, but the camera kept another value or does not offer it
    };

    /// A slider's stored reading as reset shows it: the label and the value where the reading
    /// has them; the range stays as the last read set it.
    struct SliderReset {
        std::optional<QString> label;
        std::optional<double> value;
    };

    explicit CameraControls(Options options);
    ~CameraControls();
    CameraControls(const CameraControls&) = delete;
    CameraControls& operator=(const CameraControls&) = delete;

    /// Replaces the listener (main thread); an empty one stops the reports.
    void setListener(Listener listener);

    // --- The pages (main thread; the work goes to the camera queue) ---------------------------
    /// A camera was opened (ibHandleCameraConnected:): the labels and pages are prepared, the
    /// stored defaults written to the camera, then everything read back.
    void ibHandleCameraConnected();
    /// The camera has gone (ibHandleCameraRemoved:): labels cleared, pages prepared again.
    void ibHandleCameraRemoved();
    /// ibPrepareHomeView:: the labels and pages for the current session, connected or not.
    void ibPrepareHomeView();
    /// The read pass over the sixteen capabilities of the pages (ibReadCurrentCameraSettings:).
    void ibReadCurrentCameraSettings();
    /// A choice at position `tag` in the list `popupIdentifier` is written to the camera.
    void ibClickedOnPopupButton(const QString& popupIdentifier, int tag);
    /// A slider of `container` was released at `position`: the whole step is written to the
    /// camera and returned (the slider shows it).
    std::optional<double> ibClickedOnSlider(const QString& container, double position);
    /// The slider of `container` as stored by the last full reading (ReadCurrentCameraSettings,
    /// which saving defaults makes) of the connected camera's model, else of the first stored
    /// model; nothing is written. None without a stored reading for it.
    std::optional<SliderReset> ibClickedOnReset(const QString& container);
    /// Every slider with a container on the fine-tune page from the stored readings (connected
    /// model first, as for reset), reported through sliderChanged.
    void ibSetupFineTuneSettings();

    // --- Defaults (main thread; completions on the main thread) -------------------------------
    /// Reads every capability and keeps the reading as defaults ("prefDefaultCameraSettings").
    void SaveAsDefaults(std::function<void(bool saved)> done);
    /// Writes the stored defaults to a new file in the scratch folder: its path, or none when
    /// there are no defaults or the write failed (logged "Did NOT Save"). Needs no camera.
    std::optional<QString> createPlistFile(QString* error = nullptr);
    /// How applying the stored defaults ended.
    enum class ApplyOutcome {
        Applied,    ///< written to the camera (the report names what was not taken) and read back
        NoDefaults, ///< none are stored
        NoCamera    ///< no camera is connected: nothing written
    };
    /// Writes the stored defaults to the camera and reads everything back.
    void applyDefaults(std::function<void(ApplyOutcome, const SettingsReport&)> done);
    /// How an import ended.
    enum class ImportOutcome {
        Imported,       ///< written to the camera (when one is connected) and kept as defaults
        Unreadable,     ///< not a property list, too large, or empty: said with "Problem with
                        ///< Settings File !", since a file that silently does nothing looks
                        ///< like an import that worked
        NoModelName,    ///< "Problem with Settings File !"
        InvalidSettings ///< "Problem with Loading Camera Settings File !": the valid settings
                        ///< were written, the defaults stay as they were
    };
    /// Reads the file (off the main thread), writes each of its sixteen settings, and when none
    /// is invalid keeps the file as defaults and reads everything back.
    void importDefaults(const QString& path,
                        std::function<void(ImportOutcome, const SettingsReport&)> done);

    // --- On the camera queue (also for tests) ---------------------------------------------------
    /// ReadCurrentCameraSettings: every capability of the table read and filed under the
    /// model's name in "prefNikonSettingsForAllModels". False when nothing could be read.
    bool ReadCurrentCameraSettings();
    /// setCameraSettingsFromDictionary:: each of the sixteen settings written on its own, an
    /// invalid one left out without stopping the others. False when one was invalid; `report`
    /// names those and the ones the camera did not take.
    bool setCameraSettingsFromDictionary(const QVariantMap& settings,
                                         SettingsReport* report = nullptr);

private:
    friend class ControlsWork; // the queued work, which shares the State
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace zarv
