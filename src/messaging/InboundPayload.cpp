#include "InboundPayload.h"

#include <QDebug>

namespace zarv {
namespace {

template <typename T>
std::optional<T> take(const QVariantMap& info, const QString& key, QMetaType::Type type,
                      const char* what, const QString& notificationName, QStringList* rejected) {
    const auto it = info.constFind(key);
    if (it == info.cend())
        return std::nullopt;
    if (it->typeId() == type)
        return it->value<T>();
    rejected->append(key);
    qWarning().noquote() << QStringLiteral("Notification \"%1\": \"%2\" is not %3: ignored")
                                .arg(notificationName, key, QLatin1String(what));
    return std::nullopt;
}

} // namespace

InboundPayload readInboundPayload(const Notification& notification) {
    const QVariantMap& info = notification.userInfo;
    const QString& name = notification.name;
    InboundPayload p;
    p.senderApp = take<QString>(info, QStringLiteral("senderApp"), QMetaType::QString, "a string",
                                name, &p.rejected);
    p.action = take<QString>(info, QStringLiteral("action"), QMetaType::QString, "a string", name,
                             &p.rejected);
    p.filePath = take<QString>(info, QStringLiteral("filePath"), QMetaType::QString, "a string",
                               name, &p.rejected);
    p.appstartup = take<QDateTime>(info, QStringLiteral("appstartup"), QMetaType::QDateTime,
                                   "a date", name, &p.rejected);
    return p;
}

} // namespace zarv
