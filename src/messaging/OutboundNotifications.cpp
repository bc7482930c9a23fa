#include "OutboundNotifications.h"

#include "platform/Bundle.h"

#include <QDebug>
#include <QFileInfo>

namespace zarv {

const QString sZarvXNotification = QStringLiteral("zarvXNotification");
const QString sZarvTillsideNotification = QStringLiteral("zarvTillsideNotification");
const QString sZarvLookoutNotification = QStringLiteral("ZarvLookoutNotification");

QString getApplicationName() {
    return QFileInfo(Bundle::mainBundle().bundlePath()).fileName();
}

// Placeholders until the D-Bus transport lands: they log what they would send.
void mySendZarvXNotification2(const QString& path) {
    qInfo().noquote() << "Inside mySendZarvXNotification2...";
    qInfo().noquote() << QStringLiteral("filePath==%1, ").arg(path);
}

void mySendLookoutAppNotificationWithFilePath(const QVariant& value) {
    qInfo().noquote() << "Dictionary=" << value;
}

bool mySendZarvNikonNotification(QVariantMap* dictionary) {
    return dictionary != nullptr;
}

} // namespace zarv
