#pragma once

#include <QDBusConnection>
#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

#include <functional>
#include <map>

namespace zarv {

class UserNotificationLink;

/// One desktop notice.
struct UserNotification {
    enum class ActivationType { None, ContentsClicked, ActionButtonClicked, Replied };

    QString identifier; // notices with the same identifier replace each other
    QString title;
    QString subtitle;
    QString informativeText;
    QString soundName;           // empty: silent; kDefaultSoundName: the desktop's usual sound
    bool hasReplyButton = false; // kept, but the desktop protocol offers no reply field
    bool hasActionButton = false;
    QString actionButtonTitle;

    // Filled in by the centre.
    QDateTime actualDeliveryDate;
    bool presented = false; // handed to the desktop's notification server
    ActivationType activationType = ActivationType::None;
    quint64 deliveryNumber = 0; // tells apart notices without identifier

    static const QString kDefaultSoundName;
};

class UserNotificationCenter;

/// Told about notices; every call comes on the main thread.
class UserNotificationCenterDelegate {
public:
    virtual ~UserNotificationCenterDelegate() = default;
    /// Whether to show the notice on the desktop; it is in the delivered list either way.
    virtual bool shouldPresentNotification(UserNotificationCenter&, const UserNotification&) {
        return true;
    }
    virtual void didDeliverNotification(UserNotificationCenter&, const UserNotification&) {}
    /// The user clicked the notice (ContentsClicked) or its action button (ActionButtonClicked).
    virtual void didActivateNotification(UserNotificationCenter&, const UserNotification&) {}
};

/// Desktop notices through org.freedesktop.Notifications, with the program's own list of
/// delivered notices so that they can be listed by age, replaced and removed. Delivering and
/// removing are safe from any thread and never wait for the desktop: the list changes at once,
/// the bus calls leave from the main thread. Without a notification server the list works as
/// usual and one warning is logged. A notice the desktop closes leaves the list.
class UserNotificationCenter {
public:
    /// The program's centre on the session bus, created on first use.
    static UserNotificationCenter& defaultUserNotificationCenter();

    explicit UserNotificationCenter(const QDBusConnection& connection);
    ~UserNotificationCenter();
    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

    /// The delegate is not owned; clear it before it goes away. Main thread only.
    void setDelegate(UserNotificationCenterDelegate* delegate);
    UserNotificationCenterDelegate* delegate() const { return m_delegate; }

    /// The application name shown by the desktop; the Qt application name by default.
    void setApplicationName(const QString& name);

    /// Adds the notice to the delivered list, replacing one with the same identifier (on the
    /// desktop too), then shows it unless the delegate says otherwise.
    void deliverNotification(const UserNotification& notification);

    /// The notices delivered and not removed, oldest first.
    QList<UserNotification> deliveredNotifications() const;

    /// Removes the delivered notice with the notification's identifier (or, without one, that
    /// very delivery) from the list and from the desktop.
    void removeDeliveredNotification(const UserNotification& notification);
    void removeAllDeliveredNotifications();

    /// Replaces the clock that dates deliveries; for tests.
    void setClock(std::function<QDateTime()> clock);

private:
    friend class UserNotificationLink;
    QDateTime now() const;
    void show(quint64 number, quint64 replaced);
    void close(quint64 number);
    void notifyReplied(quint64 number, quint32 serverId, const QString& error);
    void serverClosed(quint32 serverId);
    void serverActivated(quint32 serverId, const QString& actionKey);
    void warnNoServer(const QString& why);
    // Lookups under the mutex.
    bool findEntry(quint64 number, UserNotification* out) const;

    QDBusConnection m_connection;
    UserNotificationLink* m_link = nullptr; // lives on the main thread
    UserNotificationCenterDelegate* m_delegate = nullptr;
    QString m_applicationName;

    mutable QMutex m_mutex;
    QList<UserNotification> m_delivered;
    std::function<QDateTime()> m_clock;
    quint64 m_nextNumber = 1;
    // Main thread only: delivery number -> the desktop's number for notices shown there (0
    // while Notify has not answered).
    std::map<quint64, quint32> m_onDesktop;
    // Main thread only: a notice still waiting for its number -> the notice replacing it.
    std::map<quint64, quint64> m_waiting;
    bool m_warned = false;
};

} // namespace zarv
