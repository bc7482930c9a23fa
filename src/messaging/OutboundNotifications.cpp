#include "OutboundNotifications.h"
#include "ShotTimeline.h"

#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"

#include <QDebug>
#include <QFileInfo>

namespace zarv {

const QString sZarvXNotification = QStringLiteral("zarvXNotification");
const QString sZarvTillsideNotification = QStringLiteral("zarvTillsideNotification");
const QString sZarvLookoutNotification = QStringLiteral("ZarvLookoutNotification");

QString getApplicationName() {
    return QFileInfo(Bundle::mainBundle().bundlePath()).fileName();
}

void mySendZarvXNotification2(const QString& path) {
    qCInfo(zarvMessaging).noquote() << QStringLiteral("Inside %1...").arg(QLatin1String(__func__));
    QVariantMap payload;
    payload.insert(QStringLiteral("senderApp"), getApplicationName());
    payload.insert(QStringLiteral("filePath"), QString(path));
    qCInfo(zarvMessaging).noquote() << QStringLiteral("filePath==%1, ").arg(Log::quoted(path));
    // The caller (the data callback on the camera queue) goes on at once.
    DispatchQueue::main().async([payload, path] {
        DistributedNotificationCenter::defaultCenter().post(sZarvXNotification,
                                                            QStringLiteral("test"), payload);
        ShotTimeline::shared().noteAnnounced(path);
    });
}

void mySendLookoutAppNotificationWithFilePath(const QVariant& value) {
    QVariantMap payload;
    payload.insert(QStringLiteral("senderApp"), getApplicationName());
    payload.insert(QStringLiteral("action"), QStringLiteral("newImageToDisplayForLookout"));
    payload.insert(QStringLiteral("value"), value);
    qCInfo(zarvMessaging).noquote() << QStringLiteral("Dictionary=%1").arg(Log::quoted(payload));
    DispatchQueue::main().async([payload] {
        DistributedNotificationCenter::defaultCenter().post(sZarvLookoutNotification,
                                                            QStringLiteral("test"), payload);
    });
}

bool mySendZarvNikonNotification(QVariantMap* dictionary) {
    const char* function = __func__;
    qCInfo(zarvMessaging).noquote() << QStringLiteral("Inside %1...").arg(QLatin1String(function));
    bool sent = false;
    if (dictionary) {
        dictionary->insert(QStringLiteral("senderApp"), getApplicationName());
        DispatchQueue::main().async([payload = *dictionary, function] {
            DistributedNotificationCenter::defaultCenter().post(sZarvXNotification, {}, payload);
            qCInfo(zarvMessaging).noquote()
                << QStringLiteral("%1 -> sent NSDistributedNotification...%2")
                       .arg(QLatin1String(function), Log::quoted(payload));
        });
        sent = true;
    }
    qCInfo(zarvMessaging).noquote() << QStringLiteral("%1 -> done...").arg(QLatin1String(function));
    return sent;
}

} // namespace zarv
