#include "session/ZarvNikonBaseCameraHandler.h"

#include "session/SessionSupport.h"

#include "messaging/OutboundNotifications.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"
#include "sdk/CallBack.h"

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
        logLine(QStringLiteral("%1: a new session forgets the open connection of another")
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
        logLine(
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
