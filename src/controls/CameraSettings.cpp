#include "CameraSettings.h"

#include "modules/ModuleListFile.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"
#include "sdk/CapabilityTable.h"

#include <QDir>

#include <algorithm>
#include <cmath>
#include <limits>

namespace zarv {
namespace {

QString normalized(const QString& identifier) {
    return identifier.trimmed().toLower();
}

std::optional<QString> capabilityIn(const std::vector<SettingBinding>& bindings,
                                    const QString& identifier) {
    const QString wanted = normalized(identifier);
    for (const SettingBinding& b : bindings)
        if (b.identifier == wanted)
            return b.capability;
    return std::nullopt;
}

// A file name made from a model name that came from a camera or an imported file: no folder
// separators or control characters, and short enough for any file system.
QString fileNameSafe(const QString& text) {
    QString out;
    for (const QChar c : text)
        out += (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control) ? u'_' : c;
    out = out.trimmed();
    while (out.startsWith(u'.'))
        out.remove(0, 1);
    return out.left(120);
}

} // namespace

const std::vector<SettingBinding>& popupBindings() {
    static const std::vector<SettingBinding> b{
        {QStringLiteral("filesizepopup"), QStringLiteral("kNkMAIDCapability_ImageSize")},
        {QStringLiteral("compressionlevelpopup"),
         QStringLiteral("kNkMAIDCapability_CompressionLevel")},
        {QStringLiteral("sensitivitypopop"), QStringLiteral("kNkMAIDCapability_Sensitivity")},
        {QStringLiteral("shutterspeedpopup"), QStringLiteral("kNkMAIDCapability_ShutterSpeed")},
        {QStringLiteral("wbmodepopup"), QStringLiteral("kNkMAIDCapability_WBMode")},
        {QStringLiteral("exposuremodepopup"), QStringLiteral("kNkMAIDCapability_ExposureMode")},
        {QStringLiteral("aperturepopup"), QStringLiteral("kNkMAIDCapability_Aperture")},
        {QStringLiteral("savemediapopup"), QStringLiteral("kNkMAIDCapability_SaveMedia")},
    };
    return b;
}

const std::vector<SettingBinding>& sliderBindings() {
    static const std::vector<SettingBinding> b{
        {QStringLiteral("tunesunlight"), QStringLiteral("kNkMAIDCapability_WBTuneSunny")},
        {QStringLiteral("tuneshade"), QStringLiteral("kNkMAIDCapability_WBTuneShade")},
        {QStringLiteral("tunecloudy"), QStringLiteral("kNkMAIDCapability_WBTuneCloudy")},
        {QStringLiteral("tuneincandescent"),
         QStringLiteral("kNkMAIDCapability_WBTuneIncandescent")},
        {QStringLiteral("tuneflurorescent"), QStringLiteral("kNkMAIDCapability_WBTuneFluorescent")},
        {QStringLiteral("tuneflash"), QStringLiteral("kNkMAIDCapability_WBTuneFlash")},
        {QStringLiteral("tuneauto"), QStringLiteral("kNkMAIDCapability_WBTuneAuto")},
        {QStringLiteral("exposurecomp"), QStringLiteral("kNkMAIDCapability_ExposureComp")},
    };
    return b;
}

const QStringList& pageCapabilities() {
    static const QStringList l{
        QStringLiteral("kNkMAIDCapability_ImageSize"),
        QStringLiteral("kNkMAIDCapability_CompressionLevel"),
        QStringLiteral("kNkMAIDCapability_Sensitivity"),
        QStringLiteral("kNkMAIDCapability_ShutterSpeed"),
        QStringLiteral("kNkMAIDCapability_WBMode"),
        QStringLiteral("kNkMAIDCapability_ExposureMode"),
        QStringLiteral("kNkMAIDCapability_Aperture"),
        QStringLiteral("kNkMAIDCapability_ExposureComp"),
        QStringLiteral("kNkMAIDCapability_WBTuneAuto"),
        QStringLiteral("kNkMAIDCapability_WBTuneIncandescent"),
        QStringLiteral("kNkMAIDCapability_WBTuneFluorescent"),
        QStringLiteral("kNkMAIDCapability_WBTuneSunny"),
        QStringLiteral("kNkMAIDCapability_WBTuneFlash"),
        QStringLiteral("kNkMAIDCapability_WBTuneShade"),
        QStringLiteral("kNkMAIDCapability_WBTuneCloudy"),
        QStringLiteral("kNkMAIDCapability_SaveMedia"),
    };
    return l;
}

std::optional<QString> capabilityForPopup(const QString& identifier) {
    return capabilityIn(popupBindings(), identifier);
}

std::optional<QString> capabilityForSlider(const QString& container) {
    return capabilityIn(sliderBindings(), container);
}

std::optional<QString> widgetForCapability(const QString& capability) {
    for (const auto* bindings : {&popupBindings(), &sliderBindings()})
        for (const SettingBinding& b : *bindings)
            if (b.capability == capability)
                return b.identifier;
    return std::nullopt;
}

std::optional<CapabilityRow> capabilityRow(const QString& capability) {
    static const QVariantMap table = GetCapabilityTable();
    const QVariant row = table.value(capability);
    if (row.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariant code = row.toMap().value(QStringLiteral("value"));
    if (!PropertyList::isNumber(code))
        return std::nullopt;
    return CapabilityRow{code.toUInt(), row.toMap().value(QStringLiteral("valuetype")).toString()};
}

PopupList popupListFromResponse(const std::optional<QVariant>& response) {
    PopupList list;
    if (!response) {
        list.items << kUnsupportedItem;
        return list;
    }
    const QVariantMap record = response->toMap();
    const bool unsignedText = record.contains(QStringLiteral("unsignedstring"));
    const QVariant elements = record.value(QStringLiteral("elements"));
    if (elements.typeId() == QMetaType::QVariantList ||
        elements.typeId() == QMetaType::QStringList) {
        for (const QVariant& e : elements.toList())
            list.items << e.toString();
    } else if (unsignedText) {
        const QString text = record.value(QStringLiteral("unsignedstring")).toString();
        for (const QString& piece : text.split(u'\n')) {
            const QString item = piece.trimmed();
            if (!item.isEmpty())
                list.items << item;
        }
        if (list.items.isEmpty())
            qCInfo(zarvControls).noquote()
                << QStringLiteral("Inside CameraControlsViewController->setupPopupList:... "
                                  "unable to parse out unsignedstring??? = %1")
                       .arg(Log::quoted(text));
    }
    if (list.items.isEmpty()) {
        list.items << kNothingFoundItem;
        return list; // a placeholder has nothing to select
    }
    const QVariant current = record.value(QStringLiteral("currentsetting"));
    if (!PropertyList::isNumber(current)) {
        qCInfo(zarvControls).noquote()
            << "Inside CameraControlsViewController->setupPopupList:... currentsetting is NIL???";
        return list;
    }
    // Enumerations count from 1, unsigned values from 0.
    const double index = wholePart(current.toDouble()) - (unsignedText ? 0 : 1);
    if (index >= 0 && index < double(list.items.size()))
        list.selection = int(index);
    else
        qCWarning(zarvControls).noquote()
            << QStringLiteral("setupPopupList: current setting %1 is not among "
                              "the %2 choices the camera gave; selection kept")
                   .arg(current.toString())
                   .arg(list.items.size());
    return list;
}

std::optional<uint16_t> valueForChoice(const CapabilityRow& row, int tag) {
    if (tag < 0)
        return std::nullopt;
    const QString kind = row.kind.toLower();
    int value = 0;
    if (kind == u"unsignedtype")
        value = tag;
    else if (kind == u"enumtype" || kind == u"rangetype")
        value = tag + 1;
    else
        return std::nullopt;
    // A wider number would be cut to 16 bits and name another choice.
    if (value > std::numeric_limits<uint16_t>::max())
        return std::nullopt;
    return uint16_t(value);
}

bool isChoiceEnabled(const QString& popupIdentifier, const QString& title) {
    const QString list = normalized(popupIdentifier);
    if (list == u"exposuremodepopup")
        return false;
    if (list == u"compressionlevelpopup" && title.toLower().startsWith(u"raw")) {
        qCInfo(zarvControls).noquote()
            << QStringLiteral("Inside CameraControlsViewController => "
                              "validateMenuItem:...Disabling Item = [%1]...")
                   .arg(Log::quoted(title));
        return false;
    }
    return true;
}

std::optional<SliderSetup> sliderFromResponse(const QVariant& response) {
    if (response.typeId() != QMetaType::QVariantMap) {
        qCWarning(zarvControls).noquote()
            << "ibSetupSliderForCapability: the response is not a dictionary";
        return std::nullopt;
    }
    const QVariantMap record = response.toMap();
    const QVariant lower = record.value(QStringLiteral("lowervalue"));
    const QVariant upper = record.value(QStringLiteral("uppervalue"));
    const QVariant current = record.value(QStringLiteral("currentsetting"));
    if (!PropertyList::isNumber(lower) || !PropertyList::isNumber(upper) ||
        !PropertyList::isNumber(current)) {
        qCWarning(zarvControls).noquote()
            << "CameraControlsViewController-ibSetupSliderForCapability: -> "
               "missing one or more keys to fill in slider setup....";
        return std::nullopt;
    }
    SliderSetup setup;
    setup.label = record.value(QStringLiteral("key")).toString();
    setup.minimum = lower.toDouble();
    setup.maximum = upper.toDouble();
    setup.value = current.toDouble();
    if (!std::isfinite(setup.minimum) || !std::isfinite(setup.maximum) ||
        !std::isfinite(setup.value) || setup.minimum > setup.maximum) {
        qCWarning(zarvControls).noquote()
            << QStringLiteral("ibSetupSliderForCapability: unusable range %1 "
                              "to %2 at %3 for \"%4\"; slider left as it was")
                   .arg(setup.minimum)
                   .arg(setup.maximum)
                   .arg(setup.value)
                   .arg(Log::quoted(setup.label));
        return std::nullopt;
    }
    return setup;
}

double wholePart(double value) {
    const double nearest = std::round(value);
    return std::abs(value - nearest) < 1e-9 ? nearest : std::trunc(value);
}

double sliderStep(double position, double minimum, double maximum) {
    double step = std::isnan(position) ? 0.0 : wholePart(position);
    // The whole steps inside the range; a range narrower than one step keeps its own bounds.
    const double low = std::ceil(minimum);
    const double high = std::floor(maximum);
    step = low <= high ? std::clamp(step, low, high) : std::clamp(step, minimum, maximum);
    return step + 0.0; // no negative zero
}

QString modelNameOf(const QVariantMap& usbDeviceInfo, const QString& fallback) {
    const QVariant name = usbDeviceInfo.value(QStringLiteral("deviceName"));
    if (name.typeId() == QMetaType::QString && !name.toString().trimmed().isEmpty())
        return name.toString();
    return fallback;
}

// --- The defaults file --------------------------------------------------------------------------

bool isImportableSettingsFile(const QVariantMap& file) {
    const QVariant name = file.value(QStringLiteral("cameradevicename"));
    return !file.isEmpty() && name.typeId() == QMetaType::QString &&
           !name.toString().trimmed().isEmpty();
}

SettingsPlan planSettingsWrite(const QVariantMap& settings) {
    SettingsPlan plan;
    for (const QString& capability : pageCapabilities()) {
        const std::optional<CapabilityRow> row = capabilityRow(capability);
        if (!row)
            continue;
        qint32 value = 0;
        const QVariant entry = settings.value(capability);
        if (entry.isValid()) {
            if (entry.typeId() != QMetaType::QVariantMap) {
                qCWarning(zarvControls).noquote()
                    << QStringLiteral("setting %1 is not a dictionary").arg(capability);
                plan.refused << capability;
                continue;
            }
            const QVariant current = entry.toMap().value(QStringLiteral("currentsetting"));
            if (current.isValid()) {
                const double number = PropertyList::isNumber(current)
                                          ? wholePart(current.toDouble())
                                          : std::numeric_limits<double>::quiet_NaN();
                if (!(number >= std::numeric_limits<qint32>::min() &&
                      number <= std::numeric_limits<qint32>::max())) {
                    qCWarning(zarvControls).noquote()
                        << QStringLiteral("setting %1: currentsetting %2 is not a 32-bit number")
                               .arg(capability, Log::quoted(current));
                    plan.refused << capability;
                    continue;
                }
                value = qint32(number);
            }
        }
        const QString kind = row->kind.toLower();
        if (kind == u"enumtype" && value <= 0) {
            qCWarning(zarvControls).noquote()
                << "somehing is wrong???? selection cannot be 0 or negative...";
            qCWarning(zarvControls).noquote()
                << QStringLiteral("curselection should be 1-based never Zero allowed = %1 (%2)")
                       .arg(capability)
                       .arg(value);
            plan.refused << capability;
            continue;
        }
        // A position past 16 bits would be cut to another choice; an unsigned setting is never
        // negative.
        if ((kind == u"enumtype" && value > std::numeric_limits<uint16_t>::max()) ||
            (kind == u"unsignedtype" && value < 0)) {
            qCWarning(zarvControls).noquote()
                << QStringLiteral("setting %1: %2 is not a value the camera can offer")
                       .arg(capability)
                       .arg(value);
            plan.refused << capability;
            continue;
        }
        plan.writes.push_back({capability, *row, value});
    }
    return plan;
}

QString settingName(const QString& capability) {
    static const QString prefix = QStringLiteral("kNkMAIDCapability_");
    return capability.startsWith(prefix) ? capability.mid(prefix.size()) : capability;
}

QVariantMap defaultsFromReading(const QVariantMap& reading, const QString& model,
                                const QDateTime& now, const std::optional<QString>& fileVersion) {
    QVariantMap defaults = reading;
    defaults.insert(QStringLiteral("cameradevicename"), model);
    defaults.insert(QStringLiteral("datesaved"), now);
    if (fileVersion)
        defaults.insert(kPrefCameraSettingsFileVersion, *fileVersion);
    return defaults;
}

std::optional<QString> writeDefaultsFile(const QVariantMap& defaults, const QDateTime& now,
                                         QString* error) {
    const QString folder = temporaryFolderForApplication();
    const QString model =
        fileNameSafe(defaults.value(QStringLiteral("cameradevicename")).toString());
    const QString base = model.isEmpty() ? QStringLiteral("DefaultCameraSettings")
                                         : model + QStringLiteral(" DefaultCameraSettings");
    QString reason;
    std::optional<QString> written;
    if (folder.isEmpty()) {
        reason = QStringLiteral("there is no scratch folder to write the defaults file into; "
                                "check that the temporary folder is writable");
    } else {
        const QString path = QDir(folder).filePath(
            base + u'_' + now.toLocalTime().toString(QStringLiteral("yyyyMMddHHmmss")) +
            QStringLiteral(".plist"));
        if (PropertyList::writeFile(path, defaults, PropertyList::Format::Xml, &reason))
            written = path;
    }
    if (written) {
        qCInfo(zarvControls).noquote() << QStringLiteral("createPlistFile: SAVED %1").arg(*written);
    } else {
        qCWarning(zarvControls).noquote()
            << QStringLiteral("createPlistFile: Did NOT Save: %1").arg(reason);
        if (error)
            *error = reason;
    }
    return written;
}

std::optional<QVariantMap> readSettingsFile(const QString& path, QString* error) {
    QString reason;
    // Bounded like every list the program imports.
    std::optional<QByteArray> data =
        PropertyList::readFileData(path, kMaxModuleListFileSize, &reason);
    QVariant value;
    if (data) {
        value = PropertyList::fromData(*data, &reason);
        if (value.isValid() && value.typeId() != QMetaType::QVariantMap)
            reason = QStringLiteral("its root is not a dictionary");
    }
    if (value.typeId() == QMetaType::QVariantMap)
        return value.toMap();
    if (error)
        *error = QStringLiteral("cannot read settings file %1: %2").arg(path, reason);
    return std::nullopt;
}

} // namespace zarv
