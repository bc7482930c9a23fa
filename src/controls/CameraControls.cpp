#include "CameraControls.h"

#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "sdk/CapabilityTable.h"

#include <QMap>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>

namespace zarv {

struct CameraControls::State {
    Options options;
    UserDefaults* defaults = nullptr;
    std::atomic<bool> alive{true};
    // Main thread only.
    Listener listener;
    QMap<QString, PopupList> lists;     // popup identifier -> what it shows
    QMap<QString, SliderSetup> sliders; // container -> range and value shown
    // Written on the camera queue, read on the main thread.
    mutable QMutex mutex;
    std::optional<QString> connectedModel; // the settings' model name while connected
};

namespace {

const QString kClass = QStringLiteral("CameraControlsViewController");

bool isKind(const CapabilityRow& row, const char16_t* kind) {
    return row.kind.compare(QString::fromUtf16(kind), Qt::CaseInsensitive) == 0;
}

} // namespace

// Helpers that need the private State; they run where their names say.
class ControlsWork {
public:
    using State = CameraControls::State;
    using StatePtr = std::shared_ptr<State>;

    static void onMain(const std::shared_ptr<State>& state, std::function<void(State&)> block) {
        DispatchQueue::main().async([state, block = std::move(block)] {
            if (state->alive.load())
                block(*state);
        });
    }

    static void onCamera(const std::shared_ptr<State>& state, std::function<void(State&)> block) {
        state->options.cameraQueue->async([state, block = std::move(block)] {
            if (state->alive.load())
                block(*state);
        });
    }

    static std::shared_ptr<CameraSettingsSubject> session(State& s) {
        return s.options.session ? s.options.session() : nullptr;
    }

    static std::optional<QVariant> takeResponse() {
        const QVariant r = UserDefaults::standard().objectForKey(kPrefLastNikonResponse);
        return r.isValid() ? std::optional<QVariant>(r) : std::nullopt;
    }

    // One read and its record, as one step on the camera queue.
    static std::optional<QVariant> read(CameraSettingsSubject& camera, const CapabilityRow& row) {
        UserDefaults::standard().removeObject(kPrefLastNikonResponse);
        camera.GetCameraInfo(row.code, row.kind);
        return takeResponse();
    }

    // ibPrepareHomeView: the labels, then the pages on the main thread. Camera queue.
    static void prepareHomeView(const StatePtr& state,
                                const std::shared_ptr<CameraSettingsSubject>& camera) {
        State& s = *state;
        const bool connected = camera && camera->isCameraConnected();
        {
            QMutexLocker lock(&s.mutex);
            s.connectedModel = connected ? std::optional<QString>(modelNameOf(
                                               camera->fUsbDeviceInfo(), kUnknownModelForSettings))
                                         : std::nullopt;
        }
        if (connected) {
            s.defaults->setObject(kPrefCameraConnected, true);
            s.defaults->setObject(kPrefModelOfCurrentConnectedCamera, modelLabel(camera.get()));
        }
        const bool pageOne = camera != nullptr;
        onMain(state, [connected, pageOne](State& m) {
            if (!connected) {
                m.defaults->setObject(kPrefModelOfCurrentConnectedCamera, QString());
                m.defaults->setObject(kPrefCameraConnected, false);
            }
            if (m.listener.pagesPrepared)
                m.listener.pagesPrepared(pageOne);
        });
    }

    static QString modelLabel(CameraSettingsSubject* camera) {
        if (!camera)
            return QString();
        return QStringLiteral("Settings For: %1")
            .arg(modelNameOf(camera->fUsbDeviceInfo(), kUnknownModelForLabels));
    }

    // The read pass over the sixteen page capabilities. Camera queue.
    static void readPass(const StatePtr& state,
                         const std::shared_ptr<CameraSettingsSubject>& camera) {
        State& s = *state;
        s.defaults->setObject(kPrefModelOfCurrentConnectedCamera, modelLabel(camera.get()));
        if (!camera || !camera->isCameraConnected()) {
            qCInfo(zarvControls).noquote()
                << QStringLiteral("Inside %1->ibReadCurrentCameraSettings:...Camera "
                                  "NOT connected... cannot read from camera..")
                       .arg(kClass);
            return;
        }
        for (const QString& capability : pageCapabilities()) {
            if (!s.alive.load())
                return;
            const std::optional<CapabilityRow> row = capabilityRow(capability);
            const std::optional<QString> widget = widgetForCapability(capability);
            if (!row || !widget)
                continue;
            if (capabilityForPopup(*widget)) {
                const PopupList list = popupListFromResponse(read(*camera, *row));
                onMain(state, [widget = *widget, list](State& m) {
                    m.lists.insert(widget, list);
                    if (m.listener.listChanged)
                        m.listener.listChanged(widget, list);
                });
            } else if (isKind(*row, u"rangetype")) {
                const std::optional<QVariant> response = read(*camera, *row);
                qCInfo(zarvControls).noquote() << "Need to setup slider....";
                if (!response)
                    continue; // not offered: the slider keeps what it showed
                logEntries(*response);
                const std::optional<SliderSetup> setup = sliderFromResponse(*response);
                if (setup)
                    onMain(state, [widget = *widget, setup = *setup](State& m) {
                        showSlider(m, widget, setup);
                    });
            } else {
                qCInfo(zarvControls).noquote() << "what???" << capability;
            }
        }
        onMain(state, [](State& m) {
            if (m.listener.readPassFinished)
                m.listener.readPassFinished();
        });
    }

    // Each entry of a range's response record, as a slider is set up from it.
    static void logEntries(const QVariant& response) {
        const QVariantMap record = response.toMap();
        for (auto it = record.cbegin(); it != record.cend(); ++it)
            qCInfo(zarvControls).noquote()
                << QStringLiteral("obj[%1] has type[%2] with value[%3]")
                       .arg(it.key(), QString::fromLatin1(it.value().typeName()),
                            Log::quoted(it.value()));
    }

    static void showSlider(State& m, const QString& container, const SliderSetup& setup) {
        m.sliders.insert(container, setup);
        if (m.listener.sliderChanged)
            m.listener.sliderChanged(container, setup);
    }

    // ibHandleCameraConnected: pages, the stored defaults written, everything read back.
    // Camera queue.
    static CameraControls::SettingsReport connectedFlow(const StatePtr& state,
                                                        bool applyStoredDefaults) {
        const std::shared_ptr<CameraSettingsSubject> camera = session(*state);
        prepareHomeView(state, camera);
        CameraControls::SettingsReport report;
        if (applyStoredDefaults) {
            const QVariant stored = state->defaults->objectForKey(kPrefDefaultCameraSettings);
            if (stored.typeId() == QMetaType::QVariantMap)
                report = writeSettings(camera, stored.toMap());
        }
        readPass(state, camera);
        return report;
    }

    // Why the camera did not take a write, from a fresh read of the setting; empty when it
    // holds the value written. The session reports no refusal of its own for most kinds, so
    // the camera's value is the judge. Camera queue.
    static QString notTaken(CameraSettingsSubject& camera, const SettingsWrite& write) {
        const std::optional<QVariant> response = read(camera, write.row);
        const QVariantMap record = response ? response->toMap() : QVariantMap();
        if (!response || record.contains(QStringLiteral("error")))
            return QStringLiteral("the camera does not offer it now");
        const QVariant current = record.value(QStringLiteral("currentsetting"));
        if (!PropertyList::isNumber(current))
            return QStringLiteral("the camera gives no current value for it");
        if (wholePart(current.toDouble()) != double(write.value))
            return QStringLiteral("the camera kept %1").arg(current.toDouble());
        return {};
    }

    // setCameraSettingsFromDictionary:. Every setting is written on its own, so that one the
    // set or the camera gets wrong costs only itself. Camera queue.
    static CameraControls::SettingsReport
    writeSettings(const std::shared_ptr<CameraSettingsSubject>& camera,
                  const QVariantMap& settings) {
        const SettingsPlan plan = planSettingsWrite(settings);
        CameraControls::SettingsReport report;
        report.invalid = plan.refused;
        if (!plan.valid())
            qCWarning(zarvControls).noquote()
                << QStringLiteral("setCameraSettingsFromDictionary: not written, "
                                  "invalid in the set: %1")
                       .arg(plan.refused.join(QStringLiteral(", ")));
        if (!camera || !camera->isCameraConnected()) {
            qCInfo(zarvControls).noquote()
                << "setCameraSettingsFromDictionary: no camera connected, "
                   "nothing written";
            return report;
        }
        for (const SettingsWrite& w : plan.writes) {
            qCInfo(zarvControls).noquote() << QStringLiteral("about to set capability[%1] = %2...")
                                                  .arg(w.capability)
                                                  .arg(w.value);
            const int16_t result = camera->SetCameraInfo(
                isKind(w.row, u"rangetype") ? QVariant(double(w.value)) : QVariant(w.value),
                w.row.code, w.row.kind);
            const QString why = result != 0
                                    ? QStringLiteral("the camera session answered %1").arg(result)
                                    : notTaken(*camera, w);
            if (why.isEmpty())
                continue;
            qCWarning(zarvControls).noquote() << QStringLiteral("setting %1 = %2 not taken: %3")
                                                     .arg(w.capability)
                                                     .arg(w.value)
                                                     .arg(why);
            report.refused << w.capability;
        }
        return report;
    }

    // ReadCurrentCameraSettings. Camera queue.
    static bool readEverything(State& s) {
        const std::shared_ptr<CameraSettingsSubject> camera = session(s);
        if (!camera || !camera->isCameraConnected()) {
            qCWarning(zarvControls).noquote() << "ReadCurrentCameraSettings: no camera connected";
            return false;
        }
        const QString model = modelNameOf(camera->fUsbDeviceInfo(), kUnknownModelForSettings);
        static const QVariantMap table = GetCapabilityTable();
        QVariantMap reading;
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            const std::optional<CapabilityRow> row = capabilityRow(it.key());
            if (!row)
                continue;
            qCInfo(zarvControls).noquote()
                << QStringLiteral("%1-ReadCurrentCameraSettings  Get Setting for "
                                  "key = %2...")
                       .arg(kClass, it.key());
            const std::optional<QVariant> response = read(*camera, *row);
            const QVariantMap record = response ? response->toMap() : QVariantMap();
            if (response && response->typeId() == QMetaType::QVariantMap &&
                !record.contains(QStringLiteral("error")))
                reading.insert(it.key(), record);
            else if (record.contains(QStringLiteral("error")))
                qCWarning(zarvControls).noquote()
                    << QStringLiteral("capabilitystring[%1] returned errorstring = %2")
                           .arg(it.key(), Log::quoted(record.value(QStringLiteral("error"))));
            else
                qCWarning(zarvControls).noquote()
                    << QStringLiteral("capabilitystring[%1] got back NIL????").arg(it.key());
        }
        if (reading.isEmpty()) {
            qCWarning(zarvControls).noquote()
                << QStringLiteral("%1->ReadCurrentCameraSettings Current Camera Settings is nil "
                                  "or empty")
                       .arg(kClass);
            return false;
        }
        QVariantMap all = s.defaults->dictionaryForKey(kPrefNikonSettingsForAllModels);
        all.insert(model, reading);
        s.defaults->setObject(kPrefNikonSettingsForAllModels, all);
        return true;
    }

    // The stored reading the sliders come from: the connected model's when the store has it,
    // else the first model's (another model's ranges are still that camera's own). None when
    // nothing is stored; with `all`, every stored reading. Main thread.
    static std::optional<QVariantMap> storedSettings(State& s, QVariantMap* all = nullptr) {
        const QVariantMap store = s.defaults->dictionaryForKey(kPrefNikonSettingsForAllModels);
        if (all)
            *all = store;
        if (store.isEmpty())
            return std::nullopt;
        std::optional<QString> model;
        {
            QMutexLocker lock(&s.mutex);
            model = s.connectedModel;
        }
        return (model && store.contains(*model) ? store.value(*model) : store.cbegin().value())
            .toMap();
    }

    static QVariant storedResponse(const QVariantMap& settings, const QString& capability) {
        const QVariant response = settings.value(capability);
        qCInfo(zarvControls).noquote()
            << QStringLiteral("info[%1] = %2").arg(capability, Log::quoted(response));
        return response;
    }
};

CameraControls::CameraControls(Options options) : m_state(std::make_shared<State>()) {
    m_state->options = std::move(options);
    m_state->defaults =
        m_state->options.defaults ? m_state->options.defaults : &UserDefaults::standard();
}

CameraControls::~CameraControls() {
    m_state->alive.store(false);
}

void CameraControls::setListener(Listener listener) {
    m_state->listener = std::move(listener);
}

using StatePtr = ControlsWork::StatePtr;

void CameraControls::ibHandleCameraConnected() {
    const StatePtr state = m_state;
    ControlsWork::onCamera(state, [state](State&) { ControlsWork::connectedFlow(state, true); });
}

void CameraControls::ibHandleCameraRemoved() {
    ibPrepareHomeView();
}

void CameraControls::ibPrepareHomeView() {
    const StatePtr state = m_state;
    ControlsWork::onCamera(state, [state](State& s) {
        ControlsWork::prepareHomeView(state, ControlsWork::session(s));
    });
}

void CameraControls::ibReadCurrentCameraSettings() {
    const StatePtr state = m_state;
    ControlsWork::onCamera(
        state, [state](State& s) { ControlsWork::readPass(state, ControlsWork::session(s)); });
}

void CameraControls::ibClickedOnPopupButton(const QString& popupIdentifier, int tag) {
    const std::optional<QString> capability = capabilityForPopup(popupIdentifier);
    if (!capability)
        return;
    const std::optional<CapabilityRow> row = capabilityRow(*capability);
    const std::optional<uint16_t> value = row ? valueForChoice(*row, tag) : std::nullopt;
    // Only a choice the camera listed at the last read may be written.
    const auto shown = m_state->lists.constFind(popupIdentifier.trimmed().toLower());
    const bool listed = shown != m_state->lists.cend() && tag >= 0 && tag < shown->items.size() &&
                        shown->items.value(tag) != kUnsupportedItem &&
                        shown->items.value(tag) != kNothingFoundItem &&
                        isChoiceEnabled(popupIdentifier, shown->items.value(tag));
    if (!value || !listed) {
        qCWarning(zarvControls).noquote()
            << QStringLiteral("%1: choice %2 of %3 is not one the camera "
                              "offered; nothing written")
                   .arg(popupIdentifier.trimmed())
                   .arg(tag)
                   .arg(*capability);
        return;
    }
    ControlsWork::onCamera(m_state, [row = *row, value = *value](State& s) {
        const auto camera = ControlsWork::session(s);
        if (camera && camera->isCameraConnected())
            camera->SetCameraInfo(QVariant::fromValue(uint(value)), row.code, row.kind);
    });
}

std::optional<double> CameraControls::ibClickedOnSlider(const QString& container, double position) {
    const QString name = container.trimmed().toLower();
    const std::optional<QString> capability = capabilityForSlider(name);
    const std::optional<CapabilityRow> row = capability ? capabilityRow(*capability) : std::nullopt;
    if (!row || !isKind(*row, u"rangetype"))
        return std::nullopt;
    const auto shown = m_state->sliders.find(name);
    if (shown == m_state->sliders.end()) {
        qCWarning(zarvControls).noquote()
            << QStringLiteral("%1: no range read from the camera yet; nothing written").arg(name);
        return std::nullopt;
    }
    qCInfo(zarvControls).noquote()
        << QStringLiteral("slider value as double = %1..").arg(position, 5, 'f', 2);
    const double whole = std::isfinite(position) ? std::trunc(position) : 0.0;
    qCInfo(zarvControls).noquote()
        << QStringLiteral("slider value as int    = %1..")
               .arg(qint64(std::clamp(whole, double(INT_MIN), double(INT_MAX))));
    const double step = sliderStep(position, shown->minimum, shown->maximum);
    shown->value = step;
    ControlsWork::onCamera(m_state, [row = *row, step](State& s) {
        const auto camera = ControlsWork::session(s);
        if (camera && camera->isCameraConnected())
            camera->SetCameraInfo(step, row.code, row.kind);
    });
    return step;
}

std::optional<CameraControls::SliderReset>
CameraControls::ibClickedOnReset(const QString& container) {
    const QString name = container.trimmed().toLower();
    const std::optional<QString> capability = capabilityForSlider(name);
    if (!capability)
        return std::nullopt;
    const std::optional<QVariantMap> settings = ControlsWork::storedSettings(*m_state);
    if (!settings)
        return std::nullopt;
    const QVariant response = ControlsWork::storedResponse(*settings, *capability);
    if (response.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariantMap record = response.toMap();
    SliderReset reset;
    if (const QVariant key = record.value(QStringLiteral("key")); key.isValid())
        reset.label = key.toString();
    const QVariant current = record.value(QStringLiteral("currentsetting"));
    if (PropertyList::isNumber(current) && std::isfinite(current.toDouble()))
        reset.value = current.toDouble();
    // What a released slider is kept within stays the last read's range.
    const auto shown = m_state->sliders.find(name);
    if (shown != m_state->sliders.end()) {
        if (reset.value)
            shown->value = *reset.value;
        if (reset.label)
            shown->label = *reset.label;
    }
    return reset;
}

void CameraControls::ibSetupFineTuneSettings() {
    State& s = *m_state;
    const QStringList subviews =
        s.listener.fineTuneSubviews ? s.listener.fineTuneSubviews() : QStringList();
    for (const QString& identifier : subviews)
        qCInfo(zarvControls).noquote()
            << QStringLiteral("found subview with identifier[%1]").arg(identifier);
    QVariantMap all;
    const std::optional<QVariantMap> settings = ControlsWork::storedSettings(s, &all);
    if (!settings)
        return;
    qCInfo(zarvControls).noquote() << QStringLiteral("all the nikon models = (%1)")
                                          .arg(Log::quoted(all.keys().join(QStringLiteral(", "))));
    qCInfo(zarvControls).noquote()
        << QStringLiteral("current setting: %1").arg(Log::quoted(*settings));
    for (const SettingBinding& b : sliderBindings()) {
        const QVariant response = ControlsWork::storedResponse(*settings, b.capability);
        if (!subviews.contains(b.identifier, Qt::CaseInsensitive)) {
            qCInfo(zarvControls).noquote() << "Dont know which slider to setup???...";
            continue;
        }
        qCInfo(zarvControls).noquote()
            << QStringLiteral("found subview with identifier[%1]").arg(b.identifier);
        if (response.isValid())
            if (const std::optional<SliderSetup> setup = sliderFromResponse(response))
                ControlsWork::showSlider(s, b.identifier, *setup);
        qCInfo(zarvControls).noquote() << "now we can setup slider...";
    }
}

void CameraControls::SaveAsDefaults(std::function<void(bool saved)> done) {
    const StatePtr state = m_state;
    ControlsWork::onCamera(state, [state, done = std::move(done)](State& s) {
        bool saved = false;
        if (!ControlsWork::readEverything(s)) {
            qCWarning(zarvControls).noquote()
                << "Inside MyPopoverForCameraSettingViewController => "
                   "SaveAsDefaults...Unable to read camera settings";
        } else {
            const auto camera = ControlsWork::session(s);
            const QString model = modelNameOf(camera ? camera->fUsbDeviceInfo() : QVariantMap(),
                                              kUnknownModelForSettings);
            const QVariant reading =
                s.defaults->dictionaryForKey(kPrefNikonSettingsForAllModels).value(model);
            if (reading.typeId() == QMetaType::QVariantMap) {
                const QVariant version = s.defaults->objectForKey(kPrefCameraSettingsFileVersion);
                saved = s.defaults->setObject(
                    kPrefDefaultCameraSettings,
                    defaultsFromReading(reading.toMap(), model, QDateTime::currentDateTime(),
                                        version.isValid()
                                            ? std::optional<QString>(version.toString())
                                            : std::nullopt));
            }
        }
        ControlsWork::onMain(state, [done, saved](State&) {
            if (done)
                done(saved);
        });
    });
}

std::optional<QString> CameraControls::createPlistFile(QString* error) {
    const QVariant stored = m_state->defaults->objectForKey(kPrefDefaultCameraSettings);
    if (stored.typeId() != QMetaType::QVariantMap) {
        if (error)
            *error = QStringLiteral("no default camera settings are kept yet; save the camera's "
                                    "settings as defaults first");
        return std::nullopt;
    }
    return writeDefaultsFile(stored.toMap(), QDateTime::currentDateTime(), error);
}

void CameraControls::applyDefaults(std::function<void(ApplyOutcome, const SettingsReport&)> done) {
    const StatePtr state = m_state;
    const QVariant stored = state->defaults->objectForKey(kPrefDefaultCameraSettings);
    if (stored.typeId() != QMetaType::QVariantMap) {
        ControlsWork::onMain(state, [done](State&) {
            if (done)
                done(ApplyOutcome::NoDefaults, {});
        });
        return;
    }
    // The connected flow writes the stored defaults and reads everything back; without a
    // camera nothing was applied, and the answer says so.
    ControlsWork::onCamera(state, [state, done = std::move(done)](State& s) {
        const auto camera = ControlsWork::session(s);
        const bool connected = camera && camera->isCameraConnected();
        const SettingsReport report = ControlsWork::connectedFlow(state, true);
        const ApplyOutcome outcome = connected ? ApplyOutcome::Applied : ApplyOutcome::NoCamera;
        ControlsWork::onMain(state, [done, outcome, report](State&) {
            if (done)
                done(outcome, report);
        });
    });
}

void CameraControls::importDefaults(
    const QString& path, std::function<void(ImportOutcome, const SettingsReport&)> done) {
    const StatePtr state = m_state;
    auto finish = [state, done](ImportOutcome outcome, const SettingsReport& report = {}) {
        ControlsWork::onMain(state, [done, outcome, report](State&) {
            if (done)
                done(outcome, report);
        });
    };
    DispatchQueue::global().async([state, path, finish] {
        if (!state->alive.load())
            return;
        QString error;
        const std::optional<QVariantMap> file = readSettingsFile(path, &error);
        if (!file || file->isEmpty()) {
            qCWarning(zarvControls).noquote()
                << (file ? QStringLiteral("settings file %1 is empty").arg(path) : error);
            finish(ImportOutcome::Unreadable);
            return;
        }
        if (!isImportableSettingsFile(*file)) {
            finish(ImportOutcome::NoModelName);
            return;
        }
        ControlsWork::onCamera(state, [state, file = *file, finish](State& s) {
            const SettingsReport report =
                ControlsWork::writeSettings(ControlsWork::session(s), file);
            if (!report.invalid.isEmpty()) {
                finish(ImportOutcome::InvalidSettings, report);
                return;
            }
            s.defaults->setObject(kPrefDefaultCameraSettings, file);
            // Written just above: the pages are prepared and read back without a second write.
            ControlsWork::connectedFlow(state, false);
            finish(ImportOutcome::Imported, report);
        });
    });
}

bool CameraControls::ReadCurrentCameraSettings() {
    return ControlsWork::readEverything(*m_state);
}

bool CameraControls::setCameraSettingsFromDictionary(const QVariantMap& settings,
                                                     SettingsReport* report) {
    const SettingsReport written =
        ControlsWork::writeSettings(ControlsWork::session(*m_state), settings);
    if (report)
        *report = written;
    return written.invalid.isEmpty();
}

} // namespace zarv
