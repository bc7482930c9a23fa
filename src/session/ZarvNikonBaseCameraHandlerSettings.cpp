#include "platform/Log.h"
#include "session/ZarvNikonBaseCameraHandler.h"

#include "session/SessionSupport.h"

#include "platform/UserDefaults.h"

#include <cstdio>
#include <functional>

namespace zarv {

using namespace session_detail;

// --- Settings ----------------------------------------------------------------------------------

bool ZarvNikonBaseCameraHandler::openSourceForSettings(const QString& operation, bool storeErrors,
                                                       LPRefObj* source, int16_t* result) {
    *source = pRefMod ? GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID)) : nullptr;
    if (*source)
        return true;
    if (!pRefMod || !AddChild(pRefMod, int32_t(ulSrcID))) {
        Log::diagnostic("Source object can't be opened.\n");
        if (storeErrors)
            UserDefaults::standard().setObject(
                kPrefLastNikonResponse,
                QVariantMap{
                    {QStringLiteral("error"), QStringLiteral("Source Object Can't be opened")}});
        *result = 0;
        return false;
    }
    Log::diagnostic("Source object is opened.\n");
    *source = GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID));
    if (*source)
        return true;
    Log::info(zarvSession,
              QStringLiteral("%1-%2 -> pRefSrc is NIL.\n").arg(className(), operation));
    if (storeErrors)
        UserDefaults::standard().setObject(
            kPrefLastNikonResponse,
            QVariantMap{{QStringLiteral("error"), QStringLiteral("pRefSrc is nil????")}});
    *result = -1;
    return false;
}

void ZarvNikonBaseCameraHandler::refreshCameraType(LPRefObj source) {
    // A camera that does not list the camera type keeps the last one known; asking for it
    // anyway would fail every settings operation on such a camera.
    if (!CheckCapabilityOperation(source, kNkMAIDCapability_CameraType, kNkMAIDCapOperation_Get))
        return;
    Command_CapGet(source->object, kNkMAIDCapability_CameraType, kNkMAIDDataType_UnsignedPtr,
                   ptrToWord(&g_ulCameraType));
}

void ZarvNikonBaseCameraHandler::logResponse(const QString& operation) {
    const QVariant response = UserDefaults::standard().objectForKey(kPrefLastNikonResponse);
    Log::info(zarvSession, QStringLiteral("%1->%2 .......Got back response = %3")
                               .arg(description(), operation, Log::value(response)));
}

int16_t
ZarvNikonBaseCameraHandler::runSettingsOperation(const QString& operation, bool storeErrors,
                                                 const std::function<void(LPRefObj)>& body) {
    LPRefObj source = nullptr;
    int16_t result = 0;
    try {
        if (!openSourceForSettings(operation, storeErrors, &source, &result))
            return result;
        refreshCameraType(source);
        Log::info(zarvSession, QStringLiteral("start....."));
        body(source);
    } catch (const MaidException& e) {
        if (storeErrors)
            UserDefaults::standard().setObject(
                kPrefLastNikonResponse,
                QVariantMap{{QStringLiteral("error"),
                             QStringLiteral("Camera module failed with %1").arg(e.code())}});
        afterSdkFailure(operation, e.code());
        result = -1;
    }
    logResponse(operation);
    return result;
}

void ZarvNikonBaseCameraHandler::logCapabilityEntry(const QString& operation, uint32_t capability) {
    Log::info(zarvSession, QStringLiteral("%1->%2 .......capability = 0x%3")
                               .arg(description(), operation,
                                    QStringLiteral("%1").arg(capability, 4, 16, QChar(u'0'))));
    UserDefaults::standard().removeObject(kPrefLastNikonResponse);
}

int16_t ZarvNikonBaseCameraHandler::GetCameraInfo(uint32_t capability, const QString& withType) {
    const QString op = QStringLiteral("GetCameraInfo:withType:");
    logCapabilityEntry(op, capability);
    return runSettingsOperation(op, true, [&](LPRefObj source) {
        if (withType.compare(QLatin1String("enumtype"), Qt::CaseInsensitive) == 0)
            GETEnumCapability(source, capability);
        else if (withType.compare(QLatin1String("rangetype"), Qt::CaseInsensitive) == 0)
            GETRangeCapability(source, capability);
        else if (withType.compare(QLatin1String("unsignedtype"), Qt::CaseInsensitive) == 0)
            GETUnsignedCapability(source, capability);
    });
}

int16_t ZarvNikonBaseCameraHandler::SetCameraInfo(const QVariant& value, uint32_t forCapability,
                                                  const QString& wtihType) {
    const QString op = QStringLiteral("SetCameraInfo:forCapability:wtihType:");
    logCapabilityEntry(op, forCapability);
    return runSettingsOperation(op, true, [&](LPRefObj source) {
        if (wtihType.compare(QLatin1String("enumtype"), Qt::CaseInsensitive) == 0) {
            SETEnumCapability(source, forCapability, uint16_t(value.toULongLong()));
        } else if (wtihType.compare(QLatin1String("rangetype"), Qt::CaseInsensitive) == 0) {
            SETRangeCapability(source, forCapability, value.toDouble());
        } else if (wtihType.compare(QLatin1String("unsignedtype"), Qt::CaseInsensitive) == 0) {
            Log::info(zarvSession,
                      QStringLiteral("%1-> WHAT the HECK??? [0x%2] for value=[%3].....")
                          .arg(op, QString::number(forCapability, 16))
                          .arg(value.toLongLong()));
            if (!SETUnsignedCapability(source, forCapability, uint32_t(value.toULongLong())))
                Log::info(zarvSession,
                          QStringLiteral("%1->%2 .......Failed to SETUnsignedCapability !!!!!!!!")
                              .arg(description(), op));
        }
    });
}

int16_t ZarvNikonBaseCameraHandler::GetImageSize() {
    const QString op = QStringLiteral("GetImageSize");
    Log::info(zarvSession, QStringLiteral("%1->%2 .......").arg(description(), op));
    return runSettingsOperation(
        op, false, [](LPRefObj source) { GETEnumCapability(source, kNkMAIDCapability_ImageSize); });
}

std::optional<QString>
ZarvNikonBaseCameraHandler::getCapabilityTypeStringFromCapability(uint32_t capability) {
    if (capability == kNkMAIDCapability_CompressionLevel)
        return QStringLiteral("enumstring");
    return std::nullopt;
}

} // namespace zarv
