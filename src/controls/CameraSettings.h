#pragma once

// The camera's shooting settings as the settings pages and the defaults file see them: which
// capability each pop-up list and slider shows, how a response record becomes a list or a
// slider, which value a choice writes, and the defaults file. Plain functions, no queues, no
// widgets; the capability table is the session's (ZarvNikonBaseCameraHandler).

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <optional>
#include <vector>

namespace zarv {

// Settings keys of the camera controls.
inline const QString kPrefLastNikonResponse = QStringLiteral("prefLastNikonResponse");
inline const QString kPrefNikonSettingsForAllModels =
    QStringLiteral("prefNikonSettingsForAllModels");
inline const QString kPrefDefaultCameraSettings = QStringLiteral("prefDefaultCameraSettings");
inline const QString kPrefCameraSettingsFileVersion =
    QStringLiteral("prefCameraSettingsFileVersion");
inline const QString kPrefCameraConnected = QStringLiteral("prefCameraConnected");
inline const QString kPrefModelOfCurrentConnectedCamera =
    QStringLiteral("prefModelOfCurrentConnectedCamera");

/// Model names used when the camera's device information has none.
inline const QString kUnknownModelForLabels = QStringLiteral("UNKNOWN???NAME");
inline const QString kUnknownModelForSettings = QStringLiteral("WHY is CAMERA NAME NIL???");

/// Texts the lists show instead of choices.
inline const QString kUnsupportedItem = QStringLiteral("< unsupported >");
inline const QString kNothingFoundItem = QStringLiteral("nothing found...");

/// A pop-up list of page one, or a slider container of page two, and the capability it shows.
struct SettingBinding {
    QString identifier; ///< the widget's identifier ("filesizepopup", "tuneflurorescent", ...)
    QString capability; ///< "kNkMAIDCapability_ImageSize", ...
};
/// The eight pop-up lists, in page order.
const std::vector<SettingBinding>& popupBindings();
/// The eight slider containers, in page order.
const std::vector<SettingBinding>& sliderBindings();
/// The sixteen capabilities of the pages, in the order a set is written to the camera.
const QStringList& pageCapabilities();

/// The capability of a pop-up list or slider container, its identifier compared after trimming
/// white space and without regard to case; none for an unknown identifier.
std::optional<QString> capabilityForPopup(const QString& identifier);
std::optional<QString> capabilityForSlider(const QString& container);
/// The identifier of the list or container showing `capability`; none when no widget shows it.
std::optional<QString> widgetForCapability(const QString& capability);

/// One row of the capability table: its code and kind ("enumtype", "rangetype",
/// "unsignedtype"); none when the table has no row or the row's "value" is not a number.
struct CapabilityRow {
    uint32_t code = 0;
    QString kind;
};
std::optional<CapabilityRow> capabilityRow(const QString& capability);

/// A list's contents and selection, from the response record of its read (none when the read
/// left no record). The selection is absent when the record gives none (the list keeps its
/// own). Logs what the read pass logs.
struct PopupList {
    QStringList items;
    std::optional<int> selection;
};
PopupList popupListFromResponse(const std::optional<QVariant>& response);

/// The value a choice at position `tag` (from 0) writes: the tag for "unsignedtype", the tag
/// plus 1 (a position from 1) otherwise. None when the kind is unknown or the tag is negative.
std::optional<uint16_t> valueForChoice(const CapabilityRow& row, int tag);

/// Whether the item titled `title` of the list `popupIdentifier` may be chosen: in the
/// compression-level list not the "raw..." items (any case), in the exposure-mode list none.
bool isChoiceEnabled(const QString& popupIdentifier, const QString& title);

/// A slider's range, value and label, from a range response record. None (logged) when the
/// record is not a dictionary or lacks "lowervalue", "uppervalue" or "currentsetting", or when
/// the numbers are not finite or the range is reversed.
struct SliderSetup {
    QString label;
    double minimum = 0;
    double maximum = 0;
    double value = 0; ///< "currentsetting"
};
std::optional<SliderSetup> sliderFromResponse(const QVariant& response);
/// The whole-number part of a camera's value. Ranges arrive as a lower bound plus steps in
/// floating point, so a value a rounding error short of a whole number (1.9999999999) counts
/// as that number rather than the one below.
double wholePart(double value);
/// The whole step a released slider writes: the whole-number part of `position`, kept within
/// the range.
double sliderStep(double position, double minimum, double maximum);

/// The model name of a camera's device information: its "deviceName", else `fallback`.
QString modelNameOf(const QVariantMap& usbDeviceInfo, const QString& fallback);

// --- The defaults file --------------------------------------------------------------------------

/// Whether a dictionary read from a file may be imported as defaults: not empty, and
/// "cameradevicename" a string that is not blank.
bool isImportableSettingsFile(const QVariantMap& file);

/// What writing a set to the camera does: one write per page capability, in pageCapabilities()
/// order. `refused` names the capabilities whose entry cannot be written (an enumeration
/// position of 0 or less, a "currentsetting" that is not a number, an entry that is not a
/// dictionary); they have no write, the others do, and the set counts as invalid. Whether the
/// camera takes a value (one outside its range, past its list) shows only once it is written.
struct SettingsWrite {
    QString capability;
    CapabilityRow row;
    qint32 value = 0;
};
struct SettingsPlan {
    std::vector<SettingsWrite> writes;
    QStringList refused;
    bool valid() const { return refused.isEmpty(); }
};
SettingsPlan planSettingsWrite(const QVariantMap& settings);
/// A page capability as an alert names it: "kNkMAIDCapability_Aperture" is "Aperture".
QString settingName(const QString& capability);

/// The defaults of one model: its reading plus "cameradevicename", "datesaved" and, when
/// `fileVersion` is given, "prefCameraSettingsFileVersion".
QVariantMap defaultsFromReading(const QVariantMap& reading, const QString& model,
                                const QDateTime& now, const std::optional<QString>& fileVersion);

/// Writes `defaults` atomically as an XML property list into temporaryFolderForApplication():
/// "<model> DefaultCameraSettings_yyyyMMddHHmmss.plist" (local time), or
/// "DefaultCameraSettings_....plist" without a model name. Logs "SAVED" or "Did NOT Save".
/// The path only when the file was written; otherwise none, with the reason in `error`.
std::optional<QString> writeDefaultsFile(const QVariantMap& defaults, const QDateTime& now,
                                         QString* error = nullptr);

/// Reads a settings file chosen for import (bounded in size like every file the program is
/// handed): the root dictionary, or none with the reason in `error` (unreadable, too large,
/// not a property list, not a dictionary).
std::optional<QVariantMap> readSettingsFile(const QString& path, QString* error = nullptr);

} // namespace zarv
