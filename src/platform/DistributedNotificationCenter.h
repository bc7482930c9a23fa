#pragma once

#include "NotificationCenter.h"

#include <QDBusConnection>
#include <QJsonValue>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class QDBusMessage;

namespace zarv {

class DistributedListener;
class DistributedReceiver;

/// Notifications between the programs of one desktop session, carried by the D-Bus session bus.
///
/// Wire format (a public contract with the sibling programs): one broadcast signal
///   path      /com/quellbay/DistributedNotificationCenter
///   interface com.quellbay.DistributedNotificationCenter
///   member    Notification
///   arguments (s name, s object, a{sv} userInfo)
/// An absent object travels as "". In the user info, strings are `s`, integers `x` (`t` above
/// the signed range), reals `d`, booleans `b`, data `ay`, arrays `av`, dictionaries `a{sv}`, and
/// a date is the structure `(sd)` ("date", seconds since 1970-01-01 UTC). Receivers also accept
/// every other integer type, `o` and `g` as strings and any array type.
///
/// A received message that does not fit (another signature, a structure that is not a date, a
/// dictionary key that is not a string, nesting deeper than maxDepth, more than maxValues
/// values, more than maxBytes of text and data) is ignored with a log line naming its sender, its
/// name and why. Messages are read on the connection's own thread and measured before any of
/// them is kept; a refused or large one is followed, a moment later, by giving freed memory back
/// to the system (Memory::release).
class DistributedNotificationCenter {
public:
    using Observer = NotificationCenter::Observer;
    using Token = NotificationCenter::Token;

    static constexpr const char* kPath = "/com/quellbay/DistributedNotificationCenter";
    static constexpr const char* kInterface = "com.quellbay.DistributedNotificationCenter";
    static constexpr const char* kMember = "Notification";
    static constexpr int maxDepth = 16;
    static constexpr int maxValues = 100000;
    static constexpr qsizetype maxBytes = 32 * 1024 * 1024;

    /// The program's centre on the session bus, created on first use. Needs a QCoreApplication.
    /// Without a session bus it logs one warning and delivers only to this program's observers.
    static DistributedNotificationCenter& defaultCenter();

    /// A centre on a given connection (tests use a second connection to play a sibling).
    explicit DistributedNotificationCenter(const QDBusConnection& connection);
    ~DistributedNotificationCenter();
    DistributedNotificationCenter(const DistributedNotificationCenter&) = delete;
    DistributedNotificationCenter& operator=(const DistributedNotificationCenter&) = delete;

    /// True when connected to a bus; false means local delivery only.
    bool isConnected() const;

    /// Observes notifications of one name, or of every name when `name` is empty. Observers are
    /// called on the main thread; an exception thrown by one is logged and goes no further.
    /// Safe from any thread.
    Token addObserver(const QString& name, Observer observer);
    void removeObserver(Token token);

    /// Posts a notification to every program of the session, this one included. Never waits:
    /// called on the main thread it sends at once, from elsewhere it is handed to the main
    /// thread. Values with no form on the wire are dropped with a log line. An empty or
    /// non-string object is sent as "".
    void post(const QString& name, const QVariant& object = {}, const QVariantMap& userInfo = {});
    void post(const Notification& notification) {
        post(notification.name, notification.object, notification.userInfo);
    }

    /// Brings a value to the form a receiver gets back from the wire (integers as qlonglong,
    /// dates in UTC to the millisecond, string lists as lists...). Returns an invalid QVariant
    /// for a value with no such form and, when `error` is given, what it was.
    static QVariant canonical(const QVariant& value, QString* error = nullptr);

    /// Reads one received message. False, with the reason, when it is not a notification this
    /// centre accepts.
    static bool decodeMessage(const QDBusMessage& message, Notification* out, QString* error);

private:
    friend class DistributedReceiver;
    void send(const Notification& notification);
    void deliverLocally(const Notification& notification);

    QDBusConnection m_connection;
    bool m_connected = false;
    NotificationCenter m_observers;
    DistributedReceiver* m_receiver = nullptr; // lives on the main thread
    DistributedListener* m_listener = nullptr; // lives on the connection's thread
};

/// A property-list value as JSON: dates as ISO 8601 text in UTC with milliseconds, data as
/// base64 text. For logs and for tools that print what they receive.
QJsonValue jsonFromPropertyValue(const QVariant& value);

/// One line of compact JSON for a value, for log lines.
QString describePropertyValue(const QVariant& value);

} // namespace zarv
