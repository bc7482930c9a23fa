#include "platform/Log.h"
#include "session/ZarvNikonBaseCameraHandler.h"

#include "session/SessionSupport.h"

#include "messaging/ShotTimeline.h"
#include "platform/Dispatch.h"
#include "sdk/CallBack.h"

#include <algorithm>
#include <climits>
#include <unordered_set>

namespace zarv {

using namespace session_detail;

// --- Capture and saving ------------------------------------------------------------------------

int16_t ZarvNikonBaseCameraHandler::GrabImage() {
    const QString op = QStringLiteral("GrabImage");
    Log::info(zarvSession, QStringLiteral("%1->%2 .......").arg(description(), op));
    if (!pRefSrc) {
        Log::info(zarvSession, QStringLiteral("GrabImage -> pRefSrc is NIL.\n"));
        return -1;
    }
    try {
        if (!IssueProcess(pRefSrc, kNkMAIDCapability_Capture)) {
            Log::info(zarvSession,
                      QStringLiteral("%1->%2  Failed here1.........\n").arg(description(), op));
            return 0;
        }
        if (!Command_Async(pRefSrc->object)) {
            Log::info(zarvSession,
                      QStringLiteral("%1->%2  Failed here3.........\n").arg(description(), op));
            releaseConnection(true);
            return -2;
        }
    } catch (const MaidException& e) {
        Log::info(zarvSession, QStringLiteral("GrabImage -> VERY BAD....\n"));
        afterSdkFailure(op, e.code());
    } catch (const std::exception&) {
        Log::info(zarvSession, QStringLiteral("GrabImage -> VERY BAD....\n"));
        afterSdkFailure(op, kNkMAIDResult_UnexpectedError);
    }
    return 0;
}

bool ZarvNikonBaseCameraHandler::CheckIfNewImageGrabbed() {
    if (!pRefSrc)
        return false;
    try {
        uint32_t count = 0;
        if (CheckIfNewItem(pRefSrc, &count) && count > 0) {
            Log::info(zarvSession,
                      QStringLiteral("There are %1 item(s) to be saved...").arg(count));
            return true;
        }
    } catch (const MaidException& e) {
        afterSdkFailure(QStringLiteral("CheckIfNewImageGrabbed"), e.code());
    }
    return false;
}

uint32_t ZarvNikonBaseCameraHandler::nextItemToSave() {
    std::vector<uint32_t> items;
    if (!ListItems(pRefSrc, &items))
        return 0;
    // An id the camera no longer lists may come back as another picture: what is kept of the
    // connection's items stays as small as the camera's list.
    const std::unordered_set<uint32_t> listed(items.begin(), items.end());
    std::erase_if(m_skippedItems, [&](uint32_t id) { return !listed.contains(id); });
    std::erase_if(m_failedFetches,
                  [&](const auto& entry) { return !listed.contains(entry.first); });
    // A picture that failed waits behind the others: one that cannot be fetched never holds
    // back those after it.
    uint32_t next = 0;
    int fewest = INT_MAX;
    for (uint32_t id : items) {
        if (id == 0 || m_skippedItems.contains(id))
            continue;
        const auto failed = m_failedFetches.find(id);
        const int failures = failed == m_failedFetches.end() ? 0 : failed->second;
        if (failures < fewest) {
            next = id;
            fewest = failures;
            if (failures == 0)
                break;
        }
    }
    return next;
}

void ZarvNikonBaseCameraHandler::noteFailedFetch(uint32_t itemId) {
    constexpr int kMostFetches = 3;
    const int failures = ++m_failedFetches[itemId];
    if (failures < kMostFetches)
        return;
    m_failedFetches.erase(itemId);
    m_skippedItems.insert(itemId);
    Log::info(zarvSession,
              QStringLiteral("%1->SaveImage passes over item 0x%2 until the camera is connected "
                             "again: it could not be fetched %3 times; it stays on the camera")
                  .arg(description())
                  .arg(itemId, 0, 16)
                  .arg(failures));
    sendUserNotificationForUnsavedPicture(itemId);
}

void ZarvNikonBaseCameraHandler::sendUserNotificationForUnsavedPicture(uint32_t itemId) {
    const UsbFacts usb(fUsbDeviceInfo().value(QStringLiteral("usbproperties")).toMap());
    UserNotification notice;
    notice.title = Log::value(usb.product);
    notice.subtitle = QStringLiteral("Picture Not Saved:");
    notice.informativeText =
        QStringLiteral("picture 0x%1 could not be fetched; it stays on the camera...")
            .arg(itemId, 0, 16);
    notice.identifier = QStringLiteral("%1-unsaved-%2").arg(usb.identifier()).arg(itemId, 0, 16);
    UserNotificationCenter* center = fUserNotifCenter();
    const QString owner = description();
    DispatchQueue::global().async([center, notice, owner] {
        deliverReplacing(center, notice, owner,
                         QStringLiteral("sendUserNotificationForUnsavedPicture"));
    });
}

ZarvNikonBaseCameraHandler::ItemOpening
ZarvNikonBaseCameraHandler::openItemForSaving(uint32_t itemId, QString* why) {
    // Every module call below may let the camera remove the item and its node with it: the node
    // is looked up again after each one, never kept.
    const auto item = [&] { return GetRefChildPtr_ID(pRefSrc, int32_t(itemId)); };
    if (!item()) {
        if (!AddChild(pRefSrc, int32_t(itemId))) {
            Log::info(zarvSession, QStringLiteral("Item object can't be opened.\n"));
            *why = QStringLiteral("it cannot be opened");
            return ItemOpening::Refused;
        }
        Log::info(zarvSession, QStringLiteral("Item object is opened.\n"));
        if (!item()) {
            *why = QStringLiteral("it cannot be opened");
            return ItemOpening::Refused;
        }
    }
    uint32_t dataType = 0;
    if (!SelectData(item(), &dataType)) {
        if (!item())
            return ItemOpening::Dropped;
        Log::info(zarvSession, QStringLiteral("SelectData - failed"));
        *why = QStringLiteral("its data cannot be selected");
        return ItemOpening::Refused;
    }
    Log::info(zarvSession, QStringLiteral("SelectData - succesful"));
    if (!item())
        return ItemOpening::Dropped;
    if (dataType != kNkMAIDDataObjType_Image) {
        *why = QStringLiteral("it has no image data");
        return ItemOpening::Refused;
    }
    // Opened here rather than inside the image loop, so that a refusal is told apart from a
    // transfer that failed (which the next tick tries again).
    if (!GetRefChildPtr_ID(item(), int32_t(kNkMAIDDataObjType_Image)) &&
        !AddChild(item(), int32_t(kNkMAIDDataObjType_Image))) {
        if (!item())
            return ItemOpening::Dropped;
        *why = QStringLiteral("its image data cannot be opened");
        return ItemOpening::Refused;
    }
    return item() ? ItemOpening::Ready : ItemOpening::Dropped;
}

void ZarvNikonBaseCameraHandler::SaveImage() {
    if (!pRefSrc) {
        Log::info(zarvSession, QStringLiteral("SaveImage -> pRefSrc is NIL.\n"));
        return;
    }
    try {
        bool acquiring = false;
        // An item that cannot be fetched is passed over for the rest of the connection (it
        // stays on the camera); otherwise it would come first on every tick and keep every
        // later picture on the card.
        while (const uint32_t itemId = nextItemToSave()) {
            ShotTimeline::shared().noteFound(itemId);
            if (!acquiring)
                setStatusOnMainQueue(kPrefNameOfCameraFound,
                                     QStringLiteral("Acquiring New Image..."));
            acquiring = true;
            QString why;
            const ItemOpening opening = openItemForSaving(itemId, &why);
            if (opening == ItemOpening::Refused) {
                Log::info(zarvSession,
                          QStringLiteral("%1->SaveImage skips item 0x%2 until the camera is "
                                         "connected again: %3; it stays on the camera")
                              .arg(description())
                              .arg(itemId, 0, 16)
                              .arg(why));
                m_skippedItems.insert(itemId);
                continue;
            }
            LPRefObj item = GetRefChildPtr_ID(pRefSrc, int32_t(itemId));
            if (opening == ItemOpening::Dropped || !item) {
                // Nothing to fetch, and nothing to pass over: the camera no longer has it.
                Log::info(zarvSession,
                          QStringLiteral("%1->SaveImage: the camera dropped item 0x%2 before it "
                                         "was fetched")
                              .arg(description())
                              .arg(itemId, 0, 16));
                break;
            }
            g_bFileRemoved = false;
            int32_t outcome = 0;
            const bool fetched = ImageCommandLoop(item, kNkMAIDDataObjType_Image, &outcome);
            if (fetched)
                Log::info(zarvSession, QStringLiteral("ImageCommandLoop - succesful"));
            else
                Log::info(zarvSession, QStringLiteral("ImageCommandLoop - failed"));
            if (fetched)
                m_failedFetches.erase(itemId);
            if (g_bFileRemoved) {
                RemoveChild(pRefSrc, int32_t(itemId));
            } else if (fetched) {
                // Kept on the camera: saved once is enough, and its node serves no more.
                m_skippedItems.insert(itemId);
                RemoveChild(pRefSrc, int32_t(itemId));
            } else if (outcome != kNkMAIDResult_FileError) {
                // A save folder that cannot be written is no fault of the picture's.
                noteFailedFetch(itemId);
            }
            break;
        }
        if (!acquiring)
            return;
        const QVariantMap info = fUsbDeviceInfo();
        const QString name = info.isEmpty() ? QStringLiteral("UNKNOWN???NAME")
                                            : Log::value(info.value(QStringLiteral("deviceName")));
        setStatusOnMainQueue(kPrefNameOfCameraFound, name);
    } catch (const std::exception& e) {
        // The picture being fetched stays on the camera: nothing was written and its item was
        // not dropped, so the next connection fetches it.
        Log::info(zarvSession, QStringLiteral("SaveImage -> VERY BAD....\n"));
        const auto* maid = dynamic_cast<const MaidException*>(&e);
        Log::info(zarvSession, QStringLiteral("%1->SaveImage the camera module failed with %2")
                                   .arg(description())
                                   .arg(maid ? maid->code() : int(kNkMAIDResult_UnexpectedError)));
        pRefSrc = nullptr; // may be freed already, when the camera went away
        releaseConnection(true);
    }
}

uint32_t ZarvNikonBaseCameraHandler::PumpEvents() {
    // Enough turns for a burst's announcements, few enough that a module that always says it
    // has more to do cannot hold the queue.
    constexpr int kMostTurns = 64;
    if (pRefSrc) {
        try {
            for (int turn = 0; turn < kMostTurns && pRefSrc; ++turn)
                if (CallMAIDEntryPoint(pRefSrc->object, kNkMAIDCommand_Async, 0,
                                       kNkMAIDDataType_Null, 0, nullptr,
                                       0) != kNkMAIDResult_Pending)
                    break;
        } catch (const MaidException& e) {
            afterSdkFailure(QStringLiteral("PumpEvents"), e.code());
        } catch (const std::exception&) {
            afterSdkFailure(QStringLiteral("PumpEvents"), kNkMAIDResult_UnexpectedError);
        }
    }
    const uint32_t announced = g_ulItemsAnnounced.load();
    uint32_t fresh = announced - m_itemsSeen;
    m_itemsSeen = announced;
    // The pictures already on the camera when it connected are never announced: the first
    // turns of a connection count them, so that they are fetched at once too.
    if (pRefSrc && pRefSrc != m_sourceListed) {
        m_sourceListed = pRefSrc;
        std::vector<uint32_t> items;
        try {
            if (ListItems(pRefSrc, &items))
                fresh += uint32_t(items.size());
        } catch (const MaidException& e) {
            afterSdkFailure(QStringLiteral("PumpEvents"), e.code());
        }
    }
    return fresh;
}

uint32_t ZarvNikonBaseCameraHandler::AsyncRate() {
    if (!pRefMod ||
        !CheckCapabilityOperation(pRefMod, kNkMAIDCapability_AsyncRate, kNkMAIDCapOperation_Get))
        return 0;
    uint32_t rate = 0;
    try {
        if (!Command_CapGet(pRefMod->object, kNkMAIDCapability_AsyncRate,
                            kNkMAIDDataType_UnsignedPtr, ptrToWord(&rate)))
            return 0;
    } catch (const MaidException& e) {
        afterSdkFailure(QStringLiteral("AsyncRate"), e.code());
        return 0;
    }
    return rate;
}

} // namespace zarv
