#pragma once

#include <QMutex>
#include <QString>
#include <QVariant>

#include <functional>
#include <vector>

namespace zarv {

/// One notification: a name, an optional object and a dictionary of extra information.
struct Notification {
    QString name;
    QVariant object;
    QVariantMap userInfo;
};

/// The process-local notification centre. Observers are called synchronously, on the thread
/// that posts, in the order they were added. Safe from any thread; an observer may add or remove
/// observers (itself included) while being called.
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = quint64;

    static NotificationCenter& defaultCenter();

    /// Observes notifications of one name, or of every name when `name` is empty.
    Token addObserver(const QString& name, Observer observer);
    /// After this returns no new call of that observer starts; one already running on another
    /// thread finishes.
    void removeObserver(Token token);
    void post(const Notification& notification);
    void post(const QString& name, const QVariant& object = {}, const QVariantMap& userInfo = {});

private:
    struct Entry {
        Token token;
        QString name;
        std::shared_ptr<Observer> observer;
    };
    bool isRegistered(Token token) const;

    mutable QMutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_next = 1;
};

} // namespace zarv
