#include "ZarvNSNotificationCenter.h"

#include "InboundPayload.h"
#include "OutboundNotifications.h"

#include "platform/Beep.h"
#include "platform/Log.h"

#include <QDebug>

namespace zarv {

ZarvNSNotificationCenter* gZarvNSNotificationCenter = nullptr;

namespace {

const QString kSelf = QStringLiteral("ZarvNSNotificationCenter");
const char* const kSeparator = "===========================================";

} // namespace

ZarvNSNotificationCenter::ZarvNSNotificationCenter(DistributedNotificationCenter* center)
    : m_center(center) {
    Log::inside(zarvMessaging, kSelf, QStringLiteral("init"));
}

ZarvNSNotificationCenter::~ZarvNSNotificationCenter() {
    qCInfo(zarvMessaging, "%s", kSeparator);
    Log::inside(zarvMessaging, kSelf, QStringLiteral("dealloc"));
    qCInfo(zarvMessaging, "%s", kSeparator);
    for (auto token : m_tokens)
        m_center->removeObserver(token);
}

void ZarvNSNotificationCenter::setup() {
    qCInfo(zarvMessaging, "%s", kSeparator);
    Log::inside(zarvMessaging, kSelf, QStringLiteral("setup"));
    qCInfo(zarvMessaging, "%s", kSeparator);
    if (!m_tokens.empty())
        return;
    if (!m_center)
        m_center = &DistributedNotificationCenter::defaultCenter();
    for (const QString& name : {sZarvTillsideNotification, sZarvXNotification})
        m_tokens.push_back(m_center->addObserver(
            name, [this](const Notification& n) { handleDistributedNotificationA(n); }));
}

void ZarvNSNotificationCenter::handleDistributedNotificationA(const Notification& notification) {
    const QString method = QStringLiteral("handleDistributedNotificationA:");
    for (int i = 0; i < 3; ++i)
        qCInfo(zarvMessaging, "%s", kSeparator);
    Log::inside(zarvMessaging, kSelf, method);
    qCInfo(zarvMessaging).noquote()
        << QStringLiteral("Inside %1 => %2...object = [%3]")
               .arg(kSelf, method, Log::quoted(notification.object.toString()));
    qCInfo(zarvMessaging).noquote() << QStringLiteral("Inside %1 => %2...userInfo = [%3]")
                                           .arg(kSelf, method, Log::quoted(notification.userInfo));
    if (notification.userInfo.isEmpty())
        return;
    const InboundPayload payload = readInboundPayload(notification);
    if (!payload.senderApp) {
        // A sender of the wrong type was named by the reader already.
        if (!payload.rejected.contains(QStringLiteral("senderApp")))
            qCInfo(zarvMessaging, "=======NO SENDER APP================");
        return;
    }
    if (payload.senderApp->compare(getApplicationName(), Qt::CaseInsensitive) != 0)
        beep();
}

} // namespace zarv
