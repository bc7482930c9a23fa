#include "NotificationCenter.h"

#include <QMutexLocker>

#include <algorithm>

namespace zarv {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, Observer observer) {
    QMutexLocker lock(&m_mutex);
    const Token token = m_next++;
    m_entries.push_back({token, name, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    QMutexLocker lock(&m_mutex);
    std::erase_if(m_entries, [token](const Entry& e) { return e.token == token; });
}

bool NotificationCenter::isRegistered(Token token) const {
    QMutexLocker lock(&m_mutex);
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<Entry> matching;
    {
        QMutexLocker lock(&m_mutex);
        for (const Entry& e : m_entries)
            if (e.name.isEmpty() || e.name == notification.name)
                matching.push_back(e);
    }
    // Called without the lock so observers may post, add and remove.
    for (const Entry& e : matching)
        if (isRegistered(e.token))
            (*e.observer)(notification);
}

void NotificationCenter::post(const QString& name, const QVariant& object,
                              const QVariantMap& userInfo) {
    post(Notification{name, object, userInfo});
}

} // namespace zarv
