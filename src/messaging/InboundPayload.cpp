#include "InboundPayload.h"
#include "platform/Log.h"

#include <QDebug>
#include <QFile>

#include <climits>

namespace zarv {
namespace {

template <typename T>
std::optional<T> take(const QVariantMap& info, const QString& key, const char* what,
                      const QString& notificationName, QStringList* rejected) {
    const auto it = info.constFind(key);
    if (it == info.cend())
        return std::nullopt;
    if (it->metaType() == QMetaType::fromType<T>())
        return it->value<T>();
    rejected->append(key);
    qCWarning(zarvMessaging).noquote()
        << QStringLiteral("Notification \"%1\": \"%2\" is not %3: ignored")
               .arg(notificationName, key, QLatin1String(what));
    return std::nullopt;
}

} // namespace

InboundPayload readInboundPayload(const Notification& notification) {
    const QVariantMap& info = notification.userInfo;
    const QString& name = notification.name;
    InboundPayload p;
    p.senderApp = take<QString>(info, QStringLiteral("senderApp"), "a string", name, &p.rejected);
    p.action = take<QString>(info, QStringLiteral("action"), "a string", name, &p.rejected);
    p.filePath = take<QString>(info, QStringLiteral("filePath"), "a string", name, &p.rejected);
    // Nothing this long names a file; passed on, it would only burden notices and siblings.
    if (p.filePath) {
        const qsizetype bytes = QFile::encodeName(*p.filePath).size();
        if (bytes >= PATH_MAX) {
            p.filePath.reset();
            p.rejected.append(QStringLiteral("filePath"));
            qCWarning(zarvMessaging).noquote()
                << QStringLiteral("Notification \"%1\": \"filePath\" is %2 bytes long, more than "
                                  "any file name can be: ignored")
                       .arg(name)
                       .arg(bytes);
        }
    }
    p.appstartup = take<QDateTime>(info, QStringLiteral("appstartup"), "a date", name, &p.rejected);
    return p;
}

} // namespace zarv
