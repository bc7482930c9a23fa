#include "platform/Log.h"
#include "session/ZarvNikonBaseCameraHandler.h"

#include "session/SessionSupport.h"

#include <algorithm>
#include <chrono>

namespace zarv {

using namespace session_detail;

namespace {

// No live-view frame comes near this; a module asking for more is not believed.
constexpr uint32_t kLargestFrame = 64u << 20;
// Enough for a 1024 x 680 frame of fine detail; the buffer grows when a camera needs more.
constexpr qsizetype kFirstRoom = 512 * 1024;

// The warning bits' names without the list's trailing separator: "Card unformatted, No card".
QString warningNames(uint32_t bits) {
    char text[256] = {};
    QString names =
        QString::fromLatin1(GetUnsignedString(kNkMAIDCapability_LiveViewWarnings, bits, text))
            .trimmed();
    if (names.endsWith(QLatin1Char(',')))
        names.chop(1);
    return names.isEmpty() ? QStringLiteral("the camera gives no reason (0x%1)").arg(bits, 0, 16)
                           : names;
}

} // namespace

LiveViewStart ZarvNikonBaseCameraHandler::StartLiveView(QString* why) {
    const QString op = QStringLiteral("StartLiveView");
    if (!pRefSrc ||
        !CheckCapabilityOperation(pRefSrc, kNkMAIDCapability_LiveViewStatus,
                                  kNkMAIDCapOperation_Set) ||
        !CheckCapabilityOperation(pRefSrc, kNkMAIDCapability_LiveViewFrame,
                                  kNkMAIDCapOperation_Get)) {
        *why = pRefSrc ? QStringLiteral("This camera's module offers no live view.")
                       : QStringLiteral("No camera is connected.");
        return LiveViewStart::Unsupported;
    }
    try {
        if (Command_CapSet(pRefSrc->object, kNkMAIDCapability_LiveViewStatus,
                           kNkMAIDDataType_Unsigned, 1)) {
            m_liveViewRunning = true;
            Log::info(zarvSession, QStringLiteral("%1->%2 live view runs").arg(description(), op));
            return LiveViewStart::Started;
        }
        uint32_t warnings = 0;
        if (CheckCapabilityOperation(pRefSrc, kNkMAIDCapability_LiveViewWarnings,
                                     kNkMAIDCapOperation_Get))
            Command_CapGet(pRefSrc->object, kNkMAIDCapability_LiveViewWarnings,
                           kNkMAIDDataType_UnsignedPtr, ptrToWord(&warnings));
        *why = warningNames(warnings);
        Log::info(
            zarvSession,
            QStringLiteral("%1->%2 the camera refuses live view: %3").arg(description(), op, *why));
        return LiveViewStart::Refused;
    } catch (const MaidException& e) {
        *why = QStringLiteral("The camera module failed with %1.").arg(e.code());
        afterSdkFailure(op, e.code());
    }
    return LiveViewStart::Failed;
}

bool ZarvNikonBaseCameraHandler::StopLiveView() {
    if (!m_liveViewRunning)
        return true;
    m_liveViewRunning = false;
    if (!pRefSrc)
        return true;
    const bool stopped = Command_CapSet(pRefSrc->object, kNkMAIDCapability_LiveViewStatus,
                                        kNkMAIDDataType_Unsigned, 0);
    Log::info(zarvSession, QStringLiteral("%1->StopLiveView %2")
                               .arg(description(), stopped ? QStringLiteral("live view stopped")
                                                           : QStringLiteral("the module refused")));
    return stopped;
}

LiveViewRead ZarvNikonBaseCameraHandler::ReadLiveViewFrame(LiveViewFrame* frame) {
    if (!m_liveViewRunning || !pRefSrc)
        return LiveViewRead::NotRunning;
    // A frame larger than the room offered waits in the module for a second read with room
    // enough.
    if (m_liveViewBuffer.isEmpty())
        m_liveViewBuffer.resize(kFirstRoom);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto room = uint32_t(m_liveViewBuffer.size());
        tagNkMAIDLiveViewFrame record{};
        record.ulSize = room;
        record.pData = ptrToWord(m_liveViewBuffer.data());
        try {
            if (!Command_CapGet(pRefSrc->object, kNkMAIDCapability_LiveViewFrame,
                                kNkMAIDDataType_LiveViewFramePtr, ptrToWord(&record)))
                return LiveViewRead::NoNewFrame;
        } catch (const MaidException& e) {
            if (e.code() == kNkMAIDResult_ValueOutOfRange && record.ulSize > room &&
                record.ulSize <= kLargestFrame) {
                m_liveViewBuffer.resize(qsizetype(record.ulSize + record.ulSize / 4));
                continue;
            }
            if (e.code() == kNkMAIDResult_UnexpectedError) {
                Log::info(zarvSession,
                          QStringLiteral("%1->ReadLiveViewFrame live view is no longer running")
                              .arg(description()));
                m_liveViewRunning = false;
                return LiveViewRead::NotRunning;
            }
            afterSdkFailure(QStringLiteral("ReadLiveViewFrame"), e.code());
            return pRefSrc ? LiveViewRead::Failed : LiveViewRead::NotRunning;
        }
        if (record.ulSize == 0 || record.ulSize > room) {
            Log::info(zarvSession,
                      QStringLiteral("%1->ReadLiveViewFrame the module answered a frame of %2 "
                                     "bytes into %3; it is dropped")
                          .arg(description())
                          .arg(record.ulSize)
                          .arg(room));
            return LiveViewRead::Failed;
        }
        frame->jpeg = m_liveViewBuffer.left(qsizetype(record.ulSize));
        frame->size = QSize(int(record.ulWidth), int(record.ulHeight));
        frame->focusArea = QRect(int(record.ulFocusLeft), int(record.ulFocusTop),
                                 int(record.ulFocusWidth), int(record.ulFocusHeight));
        frame->sequence = record.ullSequence;
        frame->readAtNs = liveViewClockNs();
        return LiveViewRead::Frame;
    }
    return LiveViewRead::Failed;
}

std::optional<LiveViewFocus> ZarvNikonBaseCameraHandler::ReadLiveViewFocus() {
    if (!pRefSrc || !CheckCapabilityOperation(pRefSrc, kNkMAIDCapability_FocusPosition,
                                              kNkMAIDCapOperation_Get | kNkMAIDCapOperation_Set))
        return std::nullopt;
    tagNkMAIDRange range{};
    try {
        if (!Command_CapGet(pRefSrc->object, kNkMAIDCapability_FocusPosition,
                            kNkMAIDDataType_RangePtr, ptrToWord(&range)))
            return std::nullopt;
    } catch (const MaidException& e) {
        afterSdkFailure(QStringLiteral("ReadLiveViewFocus"), e.code());
        return std::nullopt;
    }
    if (!(range.lfLower < range.lfUpper))
        return std::nullopt;
    return LiveViewFocus{range.lfValue, range.lfLower, range.lfUpper};
}

bool ZarvNikonBaseCameraHandler::SetLiveViewFocus(double value) {
    const std::optional<LiveViewFocus> focus = ReadLiveViewFocus();
    if (!focus)
        return false;
    try {
        return SETRangeCapability(pRefSrc, kNkMAIDCapability_FocusPosition,
                                  std::clamp(value, focus->lower, focus->upper));
    } catch (const MaidException& e) {
        afterSdkFailure(QStringLiteral("SetLiveViewFocus"), e.code());
    }
    return false;
}

} // namespace zarv
