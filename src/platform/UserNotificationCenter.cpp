#include "UserNotificationCenter.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>

namespace zarv {

const QString UserNotification::kDefaultSoundName = QStringLiteral("DefaultSoundName");

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// Action keys: "default" is the desktop's own name for a click on the notice itself.
const QString kDefaultAction = QStringLiteral("default");
const QString kButtonAction = QStringLiteral("action");

bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

// Lives on the main thread: receives the server's signals and runs the bus work.
class UserNotificationLink : public QObject {
    Q_OBJECT
public:
    explicit UserNotificationLink(UserNotificationCenter* center) : m_center(center) {}
public slots:
    void closed(uint id, uint /*reason*/) { m_center->serverClosed(id); }
    void invoked(uint id, const QString& key) { m_center->serverActivated(id, key); }

private:
    UserNotificationCenter* m_center;
};

UserNotificationCenter& UserNotificationCenter::defaultUserNotificationCenter() {
    // Never destroyed: work for it may be queued until the process ends.
    static auto* center = new UserNotificationCenter(QDBusConnection::sessionBus());
    return *center;
}

UserNotificationCenter::UserNotificationCenter(const QDBusConnection& connection)
    : m_connection(connection), m_applicationName(QCoreApplication::applicationName()) {
    m_link = new UserNotificationLink(this);
    if (auto* app = QCoreApplication::instance())
        m_link->moveToThread(app->thread());
    if (!m_connection.isConnected()) {
        warnNoServer(QStringLiteral("no session bus: %1").arg(m_connection.lastError().message()));
        return;
    }
    // Naming the service makes QtDBus accept these signals from its owner only.
    m_connection.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), m_link,
                         SLOT(closed(uint, uint)));
    m_connection.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), m_link,
                         SLOT(invoked(uint, QString)));
}

UserNotificationCenter::~UserNotificationCenter() {
    if (m_connection.isConnected()) {
        m_connection.disconnect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"),
                                m_link, SLOT(closed(uint, uint)));
        m_connection.disconnect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"),
                                m_link, SLOT(invoked(uint, QString)));
    }
    if (isMainThread())
        delete m_link;
    else
        m_link->deleteLater();
}

void UserNotificationCenter::setDelegate(UserNotificationCenterDelegate* delegate) {
    m_delegate = delegate;
}

void UserNotificationCenter::setApplicationName(const QString& name) {
    m_applicationName = name;
}

void UserNotificationCenter::setClock(std::function<QDateTime()> clock) {
    QMutexLocker lock(&m_mutex);
    m_clock = std::move(clock);
}

QDateTime UserNotificationCenter::now() const {
    return m_clock ? m_clock() : QDateTime::currentDateTimeUtc();
}

void UserNotificationCenter::deliverNotification(const UserNotification& notification) {
    UserNotification n = notification;
    quint64 replaced = 0;
    {
        QMutexLocker lock(&m_mutex);
        n.actualDeliveryDate = now();
        n.presented = false;
        n.activationType = UserNotification::ActivationType::None;
        n.deliveryNumber = m_nextNumber++;
        if (!n.identifier.isEmpty()) {
            auto old = std::find_if(
                m_delivered.begin(), m_delivered.end(),
                [&](const UserNotification& e) { return e.identifier == n.identifier; });
            if (old != m_delivered.end()) {
                replaced = old->deliveryNumber;
                m_delivered.erase(old);
            }
        }
        m_delivered.append(n);
    }
    QMetaObject::invokeMethod(
        m_link, [this, number = n.deliveryNumber, replaced] { show(number, replaced); },
        Qt::QueuedConnection);
}

QList<UserNotification> UserNotificationCenter::deliveredNotifications() const {
    QMutexLocker lock(&m_mutex);
    return m_delivered;
}

bool UserNotificationCenter::findEntry(quint64 number, UserNotification* out) const {
    QMutexLocker lock(&m_mutex);
    for (const UserNotification& e : m_delivered)
        if (e.deliveryNumber == number) {
            *out = e;
            return true;
        }
    return false;
}

void UserNotificationCenter::removeDeliveredNotification(const UserNotification& notification) {
    QList<quint64> removed;
    {
        QMutexLocker lock(&m_mutex);
        m_delivered.removeIf([&](const UserNotification& e) {
            const bool same = notification.identifier.isEmpty()
                                  ? e.deliveryNumber == notification.deliveryNumber
                                  : e.identifier == notification.identifier;
            if (same)
                removed.append(e.deliveryNumber);
            return same;
        });
    }
    for (quint64 number : removed)
        QMetaObject::invokeMethod(
            m_link, [this, number] { close(number); }, Qt::QueuedConnection);
}

void UserNotificationCenter::removeAllDeliveredNotifications() {
    QList<quint64> removed;
    {
        QMutexLocker lock(&m_mutex);
        for (const UserNotification& e : m_delivered)
            removed.append(e.deliveryNumber);
        m_delivered.clear();
    }
    for (quint64 number : removed)
        QMetaObject::invokeMethod(
            m_link, [this, number] { close(number); }, Qt::QueuedConnection);
}

void UserNotificationCenter::show(quint64 number, quint64 replaced) {
    quint32 replacesId = 0;
    if (auto it = m_onDesktop.find(replaced); replaced && it != m_onDesktop.end()) {
        if (it->second == 0) {
            // The notice it replaces has no desktop number yet: wait for it, so that the
            // desktop replaces rather than stacks.
            m_waiting[replaced] = number;
            return;
        }
        replacesId = it->second;
        m_onDesktop.erase(it);
    }
    UserNotification n;
    bool present = findEntry(number, &n);
    if (present && m_delegate)
        present = m_delegate->shouldPresentNotification(*this, n);
    if (!present) {
        if (replacesId)
            m_connection.send(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                             QStringLiteral("CloseNotification"))
                              << replacesId);
        if (findEntry(number, &n) && m_delegate)
            m_delegate->didDeliverNotification(*this, n);
        return;
    }

    QStringList actions{kDefaultAction, QString()};
    if (n.hasActionButton)
        actions << kButtonAction
                << (n.actionButtonTitle.isEmpty() ? QStringLiteral("Show") : n.actionButtonTitle);
    QVariantMap hints;
    if (!n.soundName.isEmpty())
        hints.insert(QStringLiteral("sound-name"),
                     n.soundName == UserNotification::kDefaultSoundName
                         ? QStringLiteral("message-new-instant")
                         : n.soundName);
    QStringList body;
    for (const QString& part : {n.subtitle, n.informativeText})
        if (!part.isEmpty())
            body << part;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << m_applicationName << replacesId << QString() << n.title << body.join(QLatin1Char('\n'))
         << actions << hints << int(-1);

    m_onDesktop[number] = 0;
    auto* watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(call), m_link);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, m_link,
                     [this, number](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         QDBusPendingReply<uint> reply = *w;
                         notifyReplied(number, reply.isError() ? 0 : reply.value(),
                                       reply.isError() ? reply.error().message() : QString());
                     });
    {
        QMutexLocker lock(&m_mutex);
        for (UserNotification& e : m_delivered)
            if (e.deliveryNumber == number) {
                e.presented = true;
                n = e;
            }
    }
    if (m_delegate)
        m_delegate->didDeliverNotification(*this, n);
}

void UserNotificationCenter::notifyReplied(quint64 number, quint32 serverId, const QString& error) {
    auto it = m_onDesktop.find(number);
    if (auto waiting = m_waiting.find(number); waiting != m_waiting.end()) {
        // Replaced while the server was answering: the replacement goes out now.
        const quint64 next = waiting->second;
        m_waiting.erase(waiting);
        if (it != m_onDesktop.end()) {
            if (error.isEmpty() && serverId)
                it->second = serverId;
            else
                m_onDesktop.erase(it);
        }
        if (!error.isEmpty())
            warnNoServer(error);
        show(next, number);
        return;
    }
    if (!error.isEmpty()) {
        if (it != m_onDesktop.end())
            m_onDesktop.erase(it);
        QMutexLocker lock(&m_mutex);
        for (UserNotification& e : m_delivered)
            if (e.deliveryNumber == number)
                e.presented = false;
        lock.unlock();
        warnNoServer(error);
        return;
    }
    // Whatever took the notice out of the list queued its own step here, which finds the
    // number; only a notice closed while the server was answering is no longer mapped.
    if (it == m_onDesktop.end()) {
        if (serverId)
            m_connection.send(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                             QStringLiteral("CloseNotification"))
                              << serverId);
        return;
    }
    it->second = serverId;
}

void UserNotificationCenter::close(quint64 number) {
    auto it = m_onDesktop.find(number);
    if (it == m_onDesktop.end())
        return;
    const quint32 serverId = it->second;
    m_onDesktop.erase(it);
    if (serverId)
        m_connection.send(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                         QStringLiteral("CloseNotification"))
                          << serverId);
}

void UserNotificationCenter::serverClosed(quint32 serverId) {
    auto it = std::find_if(m_onDesktop.begin(), m_onDesktop.end(),
                           [&](const auto& p) { return serverId && p.second == serverId; });
    if (it == m_onDesktop.end())
        return; // not ours, or closed by us
    const quint64 number = it->first;
    m_onDesktop.erase(it);
    QMutexLocker lock(&m_mutex);
    m_delivered.removeIf([&](const UserNotification& e) { return e.deliveryNumber == number; });
}

void UserNotificationCenter::serverActivated(quint32 serverId, const QString& actionKey) {
    auto it = std::find_if(m_onDesktop.begin(), m_onDesktop.end(),
                           [&](const auto& p) { return serverId && p.second == serverId; });
    if (it == m_onDesktop.end())
        return;
    UserNotification::ActivationType type;
    if (actionKey == kDefaultAction)
        type = UserNotification::ActivationType::ContentsClicked;
    else if (actionKey == kButtonAction)
        type = UserNotification::ActivationType::ActionButtonClicked;
    else {
        qCWarning(zarvPlatform, "Desktop notice %u: unknown action \"%s\" ignored", serverId,
                  qPrintable(actionKey.left(100)));
        return;
    }
    const quint64 number = it->first;
    UserNotification n;
    {
        QMutexLocker lock(&m_mutex);
        bool found = false;
        for (UserNotification& e : m_delivered)
            if (e.deliveryNumber == number) {
                e.activationType = type;
                n = e;
                found = true;
            }
        if (!found)
            return;
    }
    if (m_delegate)
        m_delegate->didActivateNotification(*this, n);
}

void UserNotificationCenter::warnNoServer(const QString& why) {
    if (m_warned) {
        qCDebug(zarvPlatform, "Desktop notice not shown: %s", qPrintable(why));
        return;
    }
    m_warned = true;
    qCWarning(zarvPlatform,
              "No desktop notification server (%s): notices are kept in the program's list only",
              qPrintable(why));
}

} // namespace zarv

#include "UserNotificationCenter.moc"
