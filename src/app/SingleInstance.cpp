#include "SingleInstance.h"
#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDebug>

namespace zarv {

class InstanceAdaptor : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quellbay.ZarvNikonCapture")
public:
    InstanceAdaptor(std::function<void()> onActivate, QObject* parent)
        : QObject(parent), m_onActivate(std::move(onActivate)) {}

public slots:
    Q_SCRIPTABLE void Activate() {
        qCInfo(zarvApp, "Another copy asked this one to come forward");
        if (m_onActivate)
            m_onActivate();
    }

private:
    std::function<void()> m_onActivate;
};

namespace SingleInstance {

Result claim(const QString& serviceName, QObject* parent, std::function<void()> onActivate) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(zarvApp, "No D-Bus session bus: a second copy of the program cannot be detected");
        return Result::NoBus;
    }
    auto* adaptor = new InstanceAdaptor(std::move(onActivate), parent);
    bus.registerObject(QLatin1String(kObjectPath), adaptor, QDBusConnection::ExportScriptableSlots);
    // Not queued and no replacement: the first copy keeps the name for its whole life.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(serviceName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return Result::Owner;
    bus.unregisterObject(QLatin1String(kObjectPath));
    delete adaptor;
    if (!reply.isValid()) {
        qCWarning(zarvApp).noquote() << QStringLiteral("Could not claim %1 on the session bus: %2")
                                            .arg(serviceName, reply.error().message());
        return Result::NoBus;
    }
    const QDBusMessage call =
        QDBusMessage::createMethodCall(serviceName, QLatin1String(kObjectPath),
                                       QLatin1String(kInterface), QStringLiteral("Activate"));
    const QDBusMessage answer = bus.call(call, QDBus::Block, 5000);
    if (answer.type() == QDBusMessage::ErrorMessage)
        qCWarning(zarvApp).noquote()
            << QStringLiteral("The running copy did not answer: %1").arg(answer.errorMessage());
    return Result::Duplicate;
}

} // namespace SingleInstance
} // namespace zarv

#include "SingleInstance.moc"
