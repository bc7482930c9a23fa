// Started by the tests without a session bus: posts through the program's centre and reports
// what reached its own observers.

#include "messaging/OutboundNotifications.h"
#include "platform/DistributedNotificationCenter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

#include <cstdio>

using namespace zarv;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    auto& center = DistributedNotificationCenter::defaultCenter();
    int delivered = 0;
    QString when;
    center.addObserver({}, [&](const Notification& n) {
        ++delivered;
        if (n.userInfo.value("when").typeId() == QMetaType::QDateTime)
            when = QStringLiteral("date");
        if (delivered == 2)
            QCoreApplication::quit();
    });
    QVariantMap status{{"when", QDateTime::currentDateTimeUtc()}};
    mySendZarvXNotification2(QStringLiteral("/tmp/Image_1.jpg"));
    mySendZarvNikonNotification(&status);
    QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(3); });
    const int rc = app.exec();
    std::printf("connected=%s delivered=%d when=%s\n", center.isConnected() ? "true" : "false",
                delivered, qPrintable(when));
    return rc;
}
