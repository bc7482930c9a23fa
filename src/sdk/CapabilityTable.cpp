// The capability table: the capabilities the program reads and writes, by name.

#include "sdk/CapabilityTable.h"

#include <QString>

#include <cstdint>

namespace zarv {

QVariantMap GetCapabilityTable() {
    struct Row {
        const char* name;
        int32_t value;
        const char* type;
    };
    static const Row rows[] = {
        {"kNkMAIDCapability_ImageSize", 33111, "enumtype"},
        {"kNkMAIDCapability_CompressionLevel", 33040, "enumtype"},
        {"kNkMAIDCapability_WBMode", 33048, "enumtype"},
        {"kNkMAIDCapability_Sensitivity", 33047, "enumtype"},
        {"kNkMAIDCapability_PictureControl", 33326, "enumtype"},
        {"kNkMAIDCapability_LiveViewImageZoomRate", 33343, "enumtype"},
        {"kNkMAIDCapability_LiveViewImageSize", 33619, "enumtype"},
        {"kNkMAIDCapability_WBTuneAuto", 33049, "rangetype"},
        {"kNkMAIDCapability_WBTuneIncandescent", 33050, "rangetype"},
        {"kNkMAIDCapability_WBTuneFluorescent", 33051, "rangetype"},
        {"kNkMAIDCapability_WBTuneSunny", 33052, "rangetype"},
        {"kNkMAIDCapability_WBTuneFlash", 33053, "rangetype"},
        {"kNkMAIDCapability_WBTuneShade", 33054, "rangetype"},
        {"kNkMAIDCapability_WBTuneCloudy", 33055, "rangetype"},
        {"kNkMAIDCapability_FlashMode", 53, "enumtype"},
        {"kNkMAIDCapability_ExposureMode", 33041, "enumtype"},
        {"kNkMAIDCapability_Aperture", 33043, "enumtype"},
        {"kNkMAIDCapability_ShutterSpeed", 33042, "enumtype"},
        {"kNkMAIDCapability_FocusAreaMode", 33057, "enumtype"},
        {"kNkMAIDCapability_FocusPreferredArea", 33058, "enumtype"},
        {"kNkMAIDCapability_FlexibleProgram", 33044, "rangetype"},
        {"kNkMAIDCapability_ExposureComp", 33045, "rangetype"},
        {"kNkMAIDCapability_AsyncRate", 1, "unsignedtype"},
        {"kNkMAIDCapability_Name", 9, "unsignedtype"},
        {"kNkMAIDCapability_ModuleType", 54, "unsignedtype"},
        {"kNkMAIDCapability_Version", 58, "unsignedtype"},
        {"kNkMAIDCapability_SaveMedia", 33541, "unsignedtype"},
    };
    QVariantMap table;
    for (const Row& row : rows) {
        const QString name = QString::fromLatin1(row.name);
        table.insert(name,
                     QVariantMap{{QStringLiteral("kNkMAIDCapability"), name},
                                 {QStringLiteral("value"), row.value},
                                 {QStringLiteral("valuetype"), QString::fromLatin1(row.type)}});
    }
    return table;
}

} // namespace zarv
