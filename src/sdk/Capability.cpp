// Capability access by type. Gets leave their result under "prefLastNikonResponse".

#include "platform/Log.h"
#include "sdk/Function.h"

#include "sdk/Internal.h"

#include "platform/UserDefaults.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>
#include <cstring>

namespace zarv {

using namespace sdk_internal;

namespace {

const QString kResponseKey = QStringLiteral("prefLastNikonResponse");

void storeResponse(const QVariantMap& response) {
    UserDefaults::standard().setObject(kResponseKey, response);
}

// The capability's record when the node offers it with the given type and it may be got.
const tagNkMAIDCapInfo* readableCap(LPRefObj pRefObj, uint32_t ulCapID, uint32_t type) {
    if (!pRefObj || !pRefObj->object || pRefObj->capCount == 0)
        return nullptr;
    const tagNkMAIDCapInfo* info = GetCapInfo(pRefObj, ulCapID);
    if (!info || info->ulType != type || !(info->ulOperations & kNkMAIDCapOperation_Get))
        return nullptr;
    return info;
}

bool maySet(const tagNkMAIDCapInfo* info) {
    return (info->ulOperations & kNkMAIDCapOperation_Set) != 0;
}

const char* const kCannotChange = "This value cannot be changed. Enter '0' to exit.\n>";

uint16_t bytesFor(uint32_t elementType) {
    switch (elementType) {
    case kNkMAIDArrayType_Unsigned:
        return 4;
    case kNkMAIDArrayType_PackedString:
        return 1;
    case kNkMAIDArrayType_String:
        return 256;
    default:
        return 0;
    }
}

// Fetches the element array into a fresh buffer; null on failure.
MaidPtr<uint8_t> fetchArray(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum) {
    MaidPtr<uint8_t> array(
        static_cast<uint8_t*>(MaidAlloc(size_t(pEnum->ulElements) * pEnum->wPhysicalBytes)));
    if (!array)
        return nullptr;
    pEnum->pData = ptrToWord(array.get());
    if (!Command_CapGetArray(pRefObj->object, ulCapID, kNkMAIDDataType_EnumPtr, ptrToWord(pEnum))) {
        pEnum->pData = 0;
        return nullptr;
    }
    return array;
}

QStringList elementTexts(uint32_t ulCapID, const tagNkMAIDEnum& stEnum, const uint8_t* array) {
    QStringList texts;
    switch (stEnum.ulType) {
    case kNkMAIDArrayType_Unsigned:
        for (uint32_t i = 0; i < stEnum.ulElements; ++i) {
            uint32_t value;
            std::memcpy(&value, array + size_t(i) * 4, 4);
            char name[64];
            texts << QString::fromUtf8(GetEnumString(ulCapID, value, name));
        }
        break;
    case kNkMAIDArrayType_PackedString: {
        // Each text ends at its NUL; a last text without one ends at the byte count.
        size_t at = 0;
        while (at < stEnum.ulElements) {
            const auto* start = reinterpret_cast<const char*>(array + at);
            const size_t len = strnlen(start, stEnum.ulElements - at);
            texts << QString::fromUtf8(start, qsizetype(len));
            at += len + 1;
        }
        break;
    }
    case kNkMAIDArrayType_String:
        for (uint32_t i = 0; i < stEnum.ulElements; ++i) {
            const auto* slot = reinterpret_cast<const char*>(array + size_t(i) * 256);
            texts << QString::fromUtf8(slot, qsizetype(strnlen(slot, 256)));
        }
        break;
    default:
        break;
    }
    return texts;
}

enum class Direction { Get, Set };

bool enumVariant(const char* name, LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum,
                 uint32_t elementType, Direction direction, uint16_t wPosition) {
    TreeGuard guard;
    const tagNkMAIDCapInfo* info = readableCap(pRefObj, ulCapID, kNkMAIDCapType_Enum);
    if (!info || !pEnum || pEnum->ulType != elementType ||
        pEnum->wPhysicalBytes != bytesFor(elementType))
        return false;
    if (pEnum->ulElements == 0) {
        Log::diagnostic("There is no element in this capability. Enter '0' to exit.\n>");
        return true;
    }
    if (direction == Direction::Set) {
        if (!maySet(info)) {
            Log::diagnostic("%s", kCannotChange);
            return true;
        }
        if (wPosition == 0 || wPosition > pEnum->ulElements)
            return true;
    }
    const MaidPtr<uint8_t> array = fetchArray(pRefObj, ulCapID, pEnum);
    if (!array)
        return false;
    if (direction == Direction::Get) {
        QVariantMap response;
        response.insert(QStringLiteral("key"), QString::fromUtf8(info->szDescription));
        const QStringList texts = elementTexts(ulCapID, *pEnum, array.get());
        if (!texts.isEmpty())
            response.insert(QStringLiteral("elements"), texts);
        response.insert(QStringLiteral("currentsetting"), qlonglong(pEnum->ulValue) + 1);
        storeResponse(response);
        Log::diagnostic("%s -> Current Setting: %d\n", name, int(pEnum->ulValue + 1));
        pEnum->pData = 0;
        return true;
    }
    pEnum->ulValue = wPosition - 1u;
    const bool ok =
        Command_CapSet(pRefObj->object, ulCapID, kNkMAIDDataType_EnumPtr, ptrToWord(pEnum));
    if (!ok && elementType == kNkMAIDArrayType_PackedString)
        Log::diagnostic("%s -> Command_CapSet failed...\n", name);
    pEnum->pData = 0;
    return ok;
}

// Gets the enumeration record and hands it to the variant of its element type.
bool enumDispatch(LPRefObj pRefObj, uint32_t ulCapID, Direction direction, uint16_t wPosition) {
    TreeGuard guard;
    const tagNkMAIDCapInfo* info = readableCap(pRefObj, ulCapID, kNkMAIDCapType_Enum);
    if (!info)
        return false;
    tagNkMAIDEnum stEnum{};
    if (!Command_CapGet(pRefObj->object, ulCapID, kNkMAIDDataType_EnumPtr, ptrToWord(&stEnum)))
        return false;
    const bool get = direction == Direction::Get;
    switch (stEnum.ulType) {
    case kNkMAIDArrayType_Unsigned:
        return get ? GETEnumUnsignedCapability(pRefObj, ulCapID, &stEnum)
                   : SETEnumUnsignedCapability(pRefObj, ulCapID, &stEnum, wPosition);
    case kNkMAIDArrayType_PackedString:
        return get ? GETEnumPackedStringCapability(pRefObj, ulCapID, &stEnum)
                   : SETEnumPackedStringCapability(pRefObj, ulCapID, &stEnum, wPosition);
    case kNkMAIDArrayType_String:
        return get ? GETEnumStringCapability(pRefObj, ulCapID, &stEnum)
                   : SETEnumStringCapability(pRefObj, ulCapID, &stEnum, wPosition);
    default:
        return false;
    }
}

double currentRangeValue(const tagNkMAIDRange& range) {
    if (range.ulSteps == 0)
        return range.lfValue;
    if (range.ulSteps == 1)
        return range.lfLower; // a single step: avoid dividing by zero
    return range.lfLower +
           (range.lfUpper - range.lfLower) * range.ulValueIndex / double(range.ulSteps - 1);
}

} // namespace

bool GETEnumCapability(LPRefObj pRefObj, uint32_t ulCapID) {
    return enumDispatch(pRefObj, ulCapID, Direction::Get, 0);
}

bool SETEnumCapability(LPRefObj pRefObj, uint32_t ulCapID, uint16_t wPosition) {
    return enumDispatch(pRefObj, ulCapID, Direction::Set, wPosition);
}

bool GETEnumUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum) {
    return enumVariant("GETEnumUnsignedCapability", pRefObj, ulCapID, pEnum,
                       kNkMAIDArrayType_Unsigned, Direction::Get, 0);
}

bool GETEnumPackedStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum) {
    return enumVariant("GETEnumPackedStringCapability", pRefObj, ulCapID, pEnum,
                       kNkMAIDArrayType_PackedString, Direction::Get, 0);
}

bool GETEnumStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum) {
    return enumVariant("GETEnumStringCapability", pRefObj, ulCapID, pEnum, kNkMAIDArrayType_String,
                       Direction::Get, 0);
}

bool SETEnumUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum,
                               uint16_t wPosition) {
    return enumVariant("SETEnumUnsignedCapability", pRefObj, ulCapID, pEnum,
                       kNkMAIDArrayType_Unsigned, Direction::Set, wPosition);
}

bool SETEnumPackedStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum,
                                   uint16_t wPosition) {
    return enumVariant("SETEnumPackedStringCapability", pRefObj, ulCapID, pEnum,
                       kNkMAIDArrayType_PackedString, Direction::Set, wPosition);
}

bool SETEnumStringCapability(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDEnum* pEnum,
                             uint16_t wPosition) {
    return enumVariant("SETEnumStringCapability", pRefObj, ulCapID, pEnum, kNkMAIDArrayType_String,
                       Direction::Set, wPosition);
}

namespace {

// Reads a range capability and prints its description; null when it cannot be read.
const tagNkMAIDCapInfo* readRange(LPRefObj pRefObj, uint32_t ulCapID, tagNkMAIDRange* range) {
    const tagNkMAIDCapInfo* info = readableCap(pRefObj, ulCapID, kNkMAIDCapType_Range);
    if (!info)
        return nullptr;
    if (!Command_CapGet(pRefObj->object, ulCapID, kNkMAIDDataType_RangePtr, ptrToWord(range)))
        return nullptr;
    Log::diagnostic("[%s]\n", info->szDescription);
    return info;
}

} // namespace

bool GETRangeCapability(LPRefObj pRefObj, uint32_t ulCapID) {
    TreeGuard guard;
    tagNkMAIDRange range{};
    const tagNkMAIDCapInfo* info = readRange(pRefObj, ulCapID, &range);
    if (!info)
        return false;
    const double value = currentRangeValue(range);
    if (!maySet(info)) {
        Log::diagnostic("%s", kCannotChange);
        return true;
    }
    QVariantMap response;
    response.insert(QStringLiteral("key"), QString::fromUtf8(info->szDescription));
    response.insert(QStringLiteral("currentsetting"), value);
    response.insert(QStringLiteral("uppervalue"), range.lfUpper);
    response.insert(QStringLiteral("lowervalue"), range.lfLower);
    storeResponse(response);
    Log::diagnostic("Current Value: %f  (Max: %f  Min: %f)\n", value, range.lfUpper, range.lfLower);
    return true;
}

bool SETRangeCapability(LPRefObj pRefObj, uint32_t ulCapID, double lfValue) {
    TreeGuard guard;
    tagNkMAIDRange range{};
    const tagNkMAIDCapInfo* info = readRange(pRefObj, ulCapID, &range);
    if (!info)
        return false;
    if (!maySet(info)) {
        Log::diagnostic("READONLY - Current Value: %f  (Max: %f  Min: %f)\n",
                        currentRangeValue(range), range.lfUpper, range.lfLower);
        Log::diagnostic("%s", kCannotChange);
        return true;
    }
    if (range.ulSteps == 0) {
        range.lfValue = lfValue;
    } else if (range.lfUpper != range.lfLower) {
        // Truncated toward zero and not clamped: the module judges the index.
        range.ulValueIndex = static_cast<uint32_t>(static_cast<int64_t>(
            (range.ulSteps - 1) * (lfValue - range.lfLower) / (range.lfUpper - range.lfLower)));
    } else {
        range.ulValueIndex = 0;
    }
    return Command_CapSet(pRefObj->object, ulCapID, kNkMAIDDataType_RangePtr, ptrToWord(&range));
}

bool GETUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID) {
    TreeGuard guard;
    const tagNkMAIDCapInfo* info = readableCap(pRefObj, ulCapID, kNkMAIDCapType_Unsigned);
    if (!info)
        return false;
    uint32_t value = 0;
    if (!Command_CapGet(pRefObj->object, ulCapID, kNkMAIDDataType_UnsignedPtr, ptrToWord(&value)))
        return false;
    char text[256];
    GetUnsignedString(ulCapID, value, text);
    Log::diagnostic("[%s]\n%s", info->szDescription, text);
    Log::diagnostic("Current Value for GETUnsignedCapabiity: %d\n", int(value));
    QVariantMap response;
    response.insert(QStringLiteral("key"), QString::fromUtf8(info->szDescription));
    response.insert(QStringLiteral("currentsetting"), qlonglong(value));
    response.insert(QStringLiteral("unsignedstring"), QString::fromUtf8(text));
    storeResponse(response);
    return true;
}

bool SETUnsignedCapability(LPRefObj pRefObj, uint32_t ulCapID, uint32_t ulValue) {
    TreeGuard guard;
    const tagNkMAIDCapInfo* info = readableCap(pRefObj, ulCapID, kNkMAIDCapType_Unsigned);
    if (!info)
        return false;
    uint32_t old = 0;
    if (!Command_CapGet(pRefObj->object, ulCapID, kNkMAIDDataType_UnsignedPtr, ptrToWord(&old)))
        return false;
    Log::diagnostic("Current Old Value: %d\n", int(old));
    Log::diagnostic("New Value to Set: %d\n", int(ulValue));
    if (!maySet(info)) {
        Log::diagnostic("%s", kCannotChange);
        return true;
    }
    Log::diagnostic("New Value to Command_CapSet: %d\n", int(ulValue));
    return Command_CapSet(pRefObj->object, ulCapID, kNkMAIDDataType_Unsigned, ulValue);
}

} // namespace zarv
