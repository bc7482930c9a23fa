// Names for capability values.

#include "sdk/Function.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zarv {

namespace {

struct Name {
    uint32_t value;
    const char* text;
};

struct EnumNames {
    uint32_t capability;
    const Name* names;
    size_t count;
    const char* fallback;
};

constexpr Name kFlashMode[] = {{0, "Normal"},
                               {1, "Rear-sync"},
                               {2, "Slow-sync"},
                               {3, "Red Eye Reduction"},
                               {4, "Slow-sync Red Eye Reduction"},
                               {5, "SlowRear-sync"},
                               {262, "flash off"}};
constexpr Name kExposureMode[] = {{0, "Program"}, {1, "Aperture"}, {2, "Speed"},     {3, "Manual"},
                                  {5, "Auto"},    {6, "Portrait"}, {7, "Landscape"}, {8, "Closeup"},
                                  {9, "Sports"},  {12, "Child"},   {13, "FlashOff"}, {14, "Scene"},
                                  {17, "Effects"}};
constexpr Name kMeteringMode[] = {{0, "Matrix"}, {1, "CenterWeighted"}, {2, "Spot"}};
constexpr Name kFocusMode[] = {{0, "MF"}, {1, "AF-S"}, {2, "AF-C"}, {3, "AF-A"}, {4, "AF-F"}};
constexpr Name kPictureControl[] = {{0, "Undefined"}, {1, "Standard"},   {2, "Neutral"},
                                    {3, "Vivid"},     {4, "Monochrome"}, {5, "Portrait"},
                                    {6, "Landscape"}};
constexpr Name kZoomRate[] = {{0, "Full"}, {1, "25%"}, {2, "33%"},
                              {3, "50%"},  {4, "66%"}, {5, "100%"}};
constexpr Name kSaveMedia[] = {{0, "Card"}, {1, "SDRAM"}, {2, "Card + SDRAM"}};
constexpr Name kLiveViewSize[] = {{1, "QVGA"}, {2, "VGA"}};

template <size_t N> constexpr EnumNames table(uint32_t cap, const Name (&names)[N], const char* f) {
    return {cap, names, N, f};
}

const EnumNames kEnumNames[] = {
    table(kNkMAIDCapability_FlashMode, kFlashMode, "FlashMode %u"),
    table(kNkMAIDCapability_ExposureMode, kExposureMode, "ExposureMode %u"),
    table(kNkMAIDCapability_MeteringMode, kMeteringMode, "MeteringMode %u"),
    table(kNkMAIDCapability_FocusMode, kFocusMode, "FocusMode %u"),
    {kNkMAIDCapability_FocusPreferredArea, nullptr, 0, "FocusPreferredArea :%u"},
    table(kNkMAIDCapability_PictureControl, kPictureControl, "Picture Control %u"),
    table(kNkMAIDCapability_LiveViewImageZoomRate, kZoomRate, "LiveViewImageZoomRate %u"),
    table(kNkMAIDCapability_SaveMedia, kSaveMedia, "SaveMedia %u"),
    table(kNkMAIDCapability_LiveViewImageSize, kLiveViewSize, "LiveViewImageSize %u"),
};

// A fixed list of "%d : text\n" lines, the same whatever the value.
struct Line {
    int number;
    const char* format;
};

constexpr Line kModuleType[] = {{1, "%d : Scanner\n"}, {2, "%d : Camera\n"}};
constexpr Line kMeteringLines[] = {
    {0, "%d : Matrix\n"}, {1, "%d : CenterWeighted\n"}, {2, "%d : Spot\n"}};
constexpr Line kFocusLines[] = {{0, "%d : MF\n"},
                                {1, "%d : AF-S\n"},
                                {2, "%d : AF-C\n"},
                                {3, "%d : AF-A\n"},
                                {4, "%d : AF-F\n"}};
constexpr Line kRawJpegLines[] = {{0, "%d : Single\n"}, {1, "%d : Raw + Jpeg\n"}};
constexpr Line kOnOffLines[] = {{0, "%d : OFF\n"}, {1, "%d : ON\n"}};
constexpr Line kFluorescentLines[] = {
    {0, "%d : Sodium-vapor lamps\n"},      {1, "%d : Warm-white fluorescent\n"},
    {2, "%d : White fluorescent\n"},       {3, "%d : Cool-white fluorescent\n"},
    {4, "%d : Day white fluorescent\n"},   {5, "%d : Daylight fluorescent\n"},
    {6, "%d : High temp. mercury-vapor\n"}};

constexpr Name kDataTypeBits[] = {
    {0x1, "Image, "}, {0x2, "Sound, "}, {0x4, "Video, "}, {0x8, "Thumbnail, "}, {0x10, "File "}};
constexpr Name kWarningBits[] = {{0x80000000, "ExposureMode other than P,S,A,M, "},
                                 {0x4000000, "Saving Image, "},
                                 {0x1000000, "Retractable lens Warning, "},
                                 {0x200000, "Bulb warning, "},
                                 {0x100000, "Card No Formatted, "},
                                 {0x80000, "Card Error, "},
                                 {0x40000, "Card Protected, "},
                                 {0x20000, "High Temperature, "},
                                 {0x8000, "Executing Capture, "},
                                 {0x4000, "No Card, "},
                                 {0x1000, "Sdram, "},
                                 {0x800, "NonCPU Lens and Manual mode, "},
                                 {0x200, "TTL, "},
                                 {0x100, "Battery, "},
                                 {0x20, "FEE, "},
                                 {0x10, "Button, "},
                                 {0x4, "Sequence, "}};
constexpr Name kLiveViewWarningBits[] = {{0x1000, "LiveViewZoom, "},   {0x800, "Card protected, "},
                                         {0x400, "Recording movie, "}, {0x200, "Movie in buffer, "},
                                         {0x8, "Card full, "},         {0x4, "Card unformatted, "},
                                         {0x2, "Card error, "},        {0x1, "No card, "}};

constexpr size_t kUnsignedStringSize = 256;

template <size_t N> char* lines(const Line (&list)[N], char* psz) {
    size_t used = 0;
    for (const Line& line : list) {
        const int n =
            std::snprintf(psz + used, kUnsignedStringSize - used, line.format, line.number);
        if (n > 0)
            used = std::min(kUnsignedStringSize - 1, used + size_t(n));
    }
    return psz;
}

template <size_t N> char* bits(const Name (&list)[N], uint32_t value, char* psz) {
    psz[0] = '\0';
    for (const Name& bit : list)
        if (value & bit.value)
            std::strncat(psz, bit.text, kUnsignedStringSize - 2 - std::strlen(psz));
    std::strcat(psz, "\n");
    return psz;
}

} // namespace

char* GetEnumString(uint32_t ulCapID, uint32_t ulValue, char* psz) {
    constexpr size_t kSize = 33;
    for (const EnumNames& entry : kEnumNames) {
        if (entry.capability != ulCapID)
            continue;
        for (size_t i = 0; i < entry.count; ++i) {
            if (entry.names[i].value == ulValue) {
                std::snprintf(psz, kSize, "%s", entry.names[i].text);
                return psz;
            }
        }
        if (ulCapID == kNkMAIDCapability_PictureControl && ulValue >= 201 && ulValue <= 209)
            std::snprintf(psz, kSize, "Custom Picture Contol %d", int(ulValue) - 200);
        else
            std::snprintf(psz, kSize, entry.fallback, ulValue);
        return psz;
    }
    std::snprintf(psz, kSize, "Undefined String");
    return psz;
}

char* GetUnsignedString(uint32_t ulCapID, uint32_t ulValue, char* psz) {
    psz[0] = '\0';
    switch (ulCapID) {
    case kNkMAIDCapability_DataTypes:
        return bits(kDataTypeBits, ulValue, psz);
    case kNkMAIDCapability_ModuleType:
        return lines(kModuleType, psz);
    case kNkMAIDCapability_MeteringMode:
        return lines(kMeteringLines, psz);
    case kNkMAIDCapability_FocusMode:
        return lines(kFocusLines, psz);
    case kNkMAIDCapability_RawJpegImageStatus:
        return lines(kRawJpegLines, psz);
    case kNkMAIDCapability_LiveViewStatus:
    case kNkMAIDCapability_MovieStatus:
        return lines(kOnOffLines, psz);
    case kNkMAIDCapability_FlourescentType:
        return lines(kFluorescentLines, psz);
    case kNkMAIDCapability_CameraWarnings:
        return bits(kWarningBits, ulValue, psz);
    case kNkMAIDCapability_LiveViewWarnings:
        return bits(kLiveViewWarningBits, ulValue, psz);
    case kNkMAIDCapability_SaveMedia:
        std::snprintf(psz, kUnsignedStringSize, "Card Only\nSDRAM Only\nCard + SDRAM\n");
        return psz;
    default:
        return psz;
    }
}

} // namespace zarv
