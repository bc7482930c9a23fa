#include "session/ZarvNikonBaseCameraHandler.h"
#include "platform/Log.h"

#include "session/SessionSupport.h"

#include "messaging/OutboundNotifications.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"
#include "sdk/CallBack.h"
#include "sdk/CapabilityTable.h"

#include <mutex>

namespace zarv {

using namespace session_detail;

LPRefObj pRefMod = nullptr;
uint32_t ulSrcID = 0;
LPRefObj pRefSrc = nullptr;
uint32_t g_ulCameraType = 0;

// --- Links that outlive a session --------------------------------------------------------------

// Carries the distributed centre's calls to the session while it exists; the observer keeps the
// link, so a call that arrives while the session goes away finds it gone instead of freed.
class SessionObserverLink {
public:
    std::recursive_mutex mutex;
    ZarvNikonBaseCameraHandler* session = nullptr;
    DistributedNotificationCenter::Token token = 0;
    bool observing = false;
};

namespace {

// The delegate the default centre is given: it forwards to the session that set it up last,
// and answers for itself once that session is gone. Never destroyed: the centre outlives
// every session.
class DelegateProxy : public UserNotificationCenterDelegate {
public:
    bool shouldPresentNotification(UserNotificationCenter& c, const UserNotification& n) override {
        std::lock_guard lock(mutex);
        return target ? target->shouldPresentNotification(c, n) : true;
    }
    void didDeliverNotification(UserNotificationCenter& c, const UserNotification& n) override {
        std::lock_guard lock(mutex);
        if (target)
            target->didDeliverNotification(c, n);
    }
    void didActivateNotification(UserNotificationCenter& c, const UserNotification& n) override {
        std::lock_guard lock(mutex);
        if (target)
            target->didActivateNotification(c, n);
    }
    std::recursive_mutex mutex;
    ZarvNikonBaseCameraHandler* target = nullptr;
};

DelegateProxy& delegateProxy() {
    static auto* proxy = new DelegateProxy;
    return *proxy;
}

} // namespace

// --- Creation ----------------------------------------------------------------------------------

ZarvNikonBaseCameraHandler::ZarvNikonBaseCameraHandler()
    : m_link(new SessionObserverLink), m_itemsSeen(g_ulItemsAnnounced.load()) {
    m_fCameraStatus = false;
    m_fModuleLoaded = false;
    if (pRefMod)
        Log::info(zarvSession,
                  QStringLiteral("%1: a new session forgets the open connection of another")
                      .arg(description()));
    pRefMod = nullptr;
    pRefSrc = nullptr;
    ulSrcID = 0;
    g_pConnectionOwner = nullptr;
    setup();
}

ZarvNikonBaseCameraHandler::~ZarvNikonBaseCameraHandler() {
    teardown();
    {
        std::lock_guard lock(delegateProxy().mutex);
        if (delegateProxy().target == this)
            delegateProxy().target = nullptr;
    }
    {
        std::lock_guard lock(m_link->mutex);
        m_link->session = nullptr;
        if (m_link->observing)
            DistributedNotificationCenter::defaultCenter().removeObserver(m_link->token);
        m_link->observing = false;
    }
    // A session dropped while connected would leave the module with an open module object,
    // which the next session could not open again.
    if (g_pConnectionOwner == this && pRefMod) {
        Log::info(
            zarvSession,
            QStringLiteral("%1 goes away while connected: closing the camera").arg(description()));
        CloseMyCamera();
    }
    if (g_pConnectionOwner == this)
        g_pConnectionOwner = nullptr;
}

QString ZarvNikonBaseCameraHandler::description() const {
    return QStringLiteral("<%1: 0x%2>").arg(className(), QString::number(quintptr(this), 16));
}

void ZarvNikonBaseCameraHandler::setup() {
    QMutexLocker locker(&m_mutex);
    if (!m_fUserNotifCenter) {
        m_fUserNotifCenter = &UserNotificationCenter::defaultUserNotificationCenter();
        {
            std::lock_guard lock(delegateProxy().mutex);
            delegateProxy().target = this;
        }
        UserNotificationCenter* center = m_fUserNotifCenter;
        auto install = [center] { center->setDelegate(&delegateProxy()); };
        if (DispatchQueue::main().isCurrent())
            install();
        else
            DispatchQueue::main().async(install);
    }
    locker.unlock();

    std::lock_guard lock(m_link->mutex);
    if (m_link->observing)
        return;
    m_link->session = this;
    std::weak_ptr<SessionObserverLink> weak = m_link;
    m_link->token = DistributedNotificationCenter::defaultCenter().addObserver(
        sZarvXNotification, [weak](const Notification& n) {
            const auto link = weak.lock();
            if (!link)
                return;
            std::lock_guard guard(link->mutex);
            if (link->session)
                link->session->handleSavedImageNotification(n);
        });
    m_link->observing = true;
}

void ZarvNikonBaseCameraHandler::teardown() {
    QMutexLocker locker(&m_mutex);
    m_fUserNotifCenter = nullptr;
}

UserNotificationCenter* ZarvNikonBaseCameraHandler::fUserNotifCenter() const {
    QMutexLocker locker(&m_mutex);
    return m_fUserNotifCenter;
}

void ZarvNikonBaseCameraHandler::setFUserNotifCenter(UserNotificationCenter* center) {
    QMutexLocker locker(&m_mutex);
    m_fUserNotifCenter = center;
}

QVariantMap ZarvNikonBaseCameraHandler::fUsbDeviceInfo() const {
    QMutexLocker locker(&m_mutex);
    return m_fUsbDeviceInfo;
}

void ZarvNikonBaseCameraHandler::setFUsbDeviceInfo(const QVariantMap& info) {
    QMutexLocker locker(&m_mutex);
    m_fUsbDeviceInfo = info;
}

QVariant ZarvNikonBaseCameraHandler::deviceName() const {
    return fUsbDeviceInfo().value(QStringLiteral("deviceName"));
}

// --- Capability table --------------------------------------------------------------------------

QVariantMap ZarvNikonBaseCameraHandler::GetCapabilityTable() {
    return zarv::GetCapabilityTable();
}

} // namespace zarv
