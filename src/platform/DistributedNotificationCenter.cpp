#include "DistributedNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cmath>
#include <limits>
#include <numeric>

namespace zarv {
namespace wire {

// A date on the wire: the structure ("date", seconds since 1970 UTC).
struct Date {
    double seconds = 0;
};

QDBusArgument& operator<<(QDBusArgument& arg, const Date& date) {
    arg.beginStructure();
    arg << QStringLiteral("date") << date.seconds;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, Date& date) {
    QString tag;
    arg.beginStructure();
    arg >> tag >> date.seconds;
    arg.endStructure();
    return arg;
}

} // namespace wire
} // namespace zarv

Q_DECLARE_METATYPE(zarv::wire::Date)

namespace zarv {

// Receives the bus signal on the main thread; also the context for work handed to that thread.
class DistributedReceiver : public QObject {
    Q_OBJECT
public:
    explicit DistributedReceiver(DistributedNotificationCenter* center) : m_center(center) {}
public slots:
    void handle(const QDBusMessage& message) { m_center->receive(message); }

private:
    DistributedNotificationCenter* m_center;
};

namespace {

// Limits what one notification may hold, in either direction.
struct Budget {
    int values = 0;
    qsizetype bytes = 0;
    QString error;

    bool fail(const QString& why) {
        if (error.isEmpty())
            error = why;
        return false;
    }
    bool countValue() {
        if (++values > DistributedNotificationCenter::maxValues)
            return fail(QStringLiteral("more than %1 values")
                            .arg(DistributedNotificationCenter::maxValues));
        return true;
    }
    bool countBytes(qsizetype n) {
        bytes += n;
        if (bytes > DistributedNotificationCenter::maxBytes)
            return fail(QStringLiteral("more than %1 bytes of text and data")
                            .arg(DistributedNotificationCenter::maxBytes));
        return true;
    }
    bool checkDepth(int depth) {
        if (depth > DistributedNotificationCenter::maxDepth)
            return fail(QStringLiteral("values nested deeper than %1 levels")
                            .arg(DistributedNotificationCenter::maxDepth));
        return true;
    }
};

QVariant canonicalValue(const QVariant& value, int depth, Budget& budget) {
    if (!budget.countValue() || !budget.checkDepth(depth))
        return {};
    switch (value.typeId()) {
    case QMetaType::QString: {
        const QString s = value.toString();
        return budget.countBytes(s.size() * 2) ? QVariant(s) : QVariant();
    }
    case QMetaType::QByteArray: {
        const QByteArray b = value.toByteArray();
        return budget.countBytes(b.size()) ? QVariant(b) : QVariant();
    }
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong();
        if (u <= qulonglong(std::numeric_limits<qlonglong>::max()))
            return qlonglong(u);
        return u;
    }
    case QMetaType::Float:
    case QMetaType::Double:
        return value.toDouble();
    case QMetaType::QDateTime: {
        const QDateTime dt = value.toDateTime();
        if (!dt.isValid()) {
            budget.fail(QStringLiteral("an invalid date"));
            return {};
        }
        return QDateTime::fromMSecsSinceEpoch(dt.toMSecsSinceEpoch(), Qt::UTC);
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QVariantList out;
        for (const QVariant& e : value.toList()) {
            QVariant c = canonicalValue(e, depth + 1, budget);
            if (!c.isValid())
                return {};
            out.append(c);
        }
        return out;
    }
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        QVariantMap out;
        const QVariantMap in = value.toMap();
        for (auto it = in.cbegin(); it != in.cend(); ++it) {
            QVariant c = canonicalValue(it.value(), depth + 1, budget);
            if (!c.isValid() || !budget.countBytes(it.key().size() * 2))
                return {};
            out.insert(it.key(), c);
        }
        return out;
    }
    default:
        budget.fail(value.isValid() ? QStringLiteral("a value of type %1").arg(value.typeName())
                                    : QStringLiteral("an empty value"));
        return {};
    }
}

// A canonical value in the form QtDBus marshals as described in the header.
QVariant toWire(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QDateTime:
        return QVariant::fromValue(
            wire::Date{double(value.toDateTime().toMSecsSinceEpoch()) / 1000.0});
    case QMetaType::QVariantList: {
        QVariantList out;
        for (const QVariant& e : value.toList())
            out.append(toWire(e));
        return out;
    }
    case QMetaType::QVariantMap: {
        QVariantMap out;
        const QVariantMap in = value.toMap();
        for (auto it = in.cbegin(); it != in.cend(); ++it)
            out.insert(it.key(), toWire(it.value()));
        return out;
    }
    default:
        return value;
    }
}

QVariant fromArgument(const QDBusArgument& arg, int depth, Budget& budget);

// A value as QtDBus hands it over: basic types decoded, containers as QDBusArgument.
QVariant fromReceived(const QVariant& value, int depth, Budget& budget) {
    if (!budget.countValue() || !budget.checkDepth(depth))
        return {};
    const int type = value.typeId();
    if (type == qMetaTypeId<QDBusArgument>())
        return fromArgument(qvariant_cast<QDBusArgument>(value), depth, budget);
    if (type == qMetaTypeId<QDBusVariant>())
        return fromReceived(qvariant_cast<QDBusVariant>(value).variant(), depth, budget);
    if (type == qMetaTypeId<QDBusObjectPath>())
        return qvariant_cast<QDBusObjectPath>(value).path();
    if (type == qMetaTypeId<QDBusSignature>())
        return qvariant_cast<QDBusSignature>(value).signature();
    switch (type) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Bool:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QStringList: {
        // Counted once here already; canonicalValue counts again, so give that one back.
        --budget.values;
        return canonicalValue(value, depth, budget);
    }
    default:
        budget.fail(QStringLiteral("a value of D-Bus type %1").arg(value.typeName()));
        return {};
    }
}

// `depth` is the argument's own depth; its elements sit one deeper.
QVariant fromArgument(const QDBusArgument& arg, int depth, Budget& budget) {
    switch (arg.currentType()) {
    case QDBusArgument::BasicType:
    case QDBusArgument::VariantType: {
        // A basic value handed over as an argument: read it as a plain value.
        --budget.values;
        return fromReceived(arg.asVariant(), depth, budget);
    }
    case QDBusArgument::ArrayType: {
        if (arg.currentSignature() == QLatin1String("ay")) {
            QByteArray bytes;
            arg >> bytes;
            return budget.countBytes(bytes.size()) ? QVariant(bytes) : QVariant();
        }
        // Every begin needs its end, failure or not: QtDBus frees its readers there.
        QVariantList out;
        bool ok = true;
        arg.beginArray();
        while (ok && !arg.atEnd()) {
            QVariant e = fromReceived(arg.asVariant(), depth + 1, budget);
            ok = e.isValid();
            out.append(e);
        }
        arg.endArray();
        return ok ? QVariant(out) : QVariant();
    }
    case QDBusArgument::MapType: {
        const QString signature = arg.currentSignature();
        if (!signature.startsWith(QLatin1String("a{s"))) {
            budget.fail(
                QStringLiteral("a dictionary with keys that are not strings (%1)").arg(signature));
            return {};
        }
        QVariantMap out;
        bool ok = true;
        arg.beginMap();
        while (ok && !arg.atEnd()) {
            arg.beginMapEntry();
            QString key;
            arg >> key;
            ok = budget.countBytes(key.size() * 2);
            if (ok) {
                QVariant v = fromReceived(arg.asVariant(), depth + 1, budget);
                ok = v.isValid();
                out.insert(key, v);
            }
            arg.endMapEntry();
        }
        arg.endMap();
        return ok ? QVariant(out) : QVariant();
    }
    case QDBusArgument::StructureType: {
        const QString signature = arg.currentSignature();
        if (signature != QLatin1String("(sd)")) {
            budget.fail(QStringLiteral("a structure %1 that is not a date").arg(signature));
            return {};
        }
        wire::Date date;
        QString tag;
        arg.beginStructure();
        arg >> tag >> date.seconds;
        arg.endStructure();
        // Beyond this QDateTime cannot hold it; far beyond anything a sibling means anyway.
        constexpr double limit = 1e14;
        if (tag != QLatin1String("date") || !std::isfinite(date.seconds) ||
            std::fabs(date.seconds) > limit) {
            budget.fail(QStringLiteral("a structure (sd) that is not a date"));
            return {};
        }
        return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(date.seconds * 1000.0)), Qt::UTC);
    }
    default:
        budget.fail(QStringLiteral("a value of signature %1").arg(arg.currentSignature()));
        return {};
    }
}

bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

DistributedNotificationCenter& DistributedNotificationCenter::defaultCenter() {
    // Never destroyed: posts and deliveries may be queued until the process ends.
    static auto* center = new DistributedNotificationCenter(QDBusConnection::sessionBus());
    return *center;
}

DistributedNotificationCenter::DistributedNotificationCenter(const QDBusConnection& connection)
    : m_connection(connection) {
    qDBusRegisterMetaType<wire::Date>();
    m_receiver = new DistributedReceiver(this);
    if (auto* app = QCoreApplication::instance())
        m_receiver->moveToThread(app->thread());
    if (!m_connection.isConnected()) {
        qWarning("No D-Bus session bus (%s): distributed notifications reach only this program",
                 qPrintable(m_connection.lastError().message()));
        return;
    }
    m_connected =
        m_connection.connect(QString(), QLatin1String(kPath), QLatin1String(kInterface),
                             QLatin1String(kMember), m_receiver, SLOT(handle(QDBusMessage)));
    if (!m_connected)
        qWarning("Cannot listen on the D-Bus session bus (%s): distributed notifications reach "
                 "only this program",
                 qPrintable(m_connection.lastError().message()));
}

DistributedNotificationCenter::~DistributedNotificationCenter() {
    if (m_connected)
        m_connection.disconnect(QString(), QLatin1String(kPath), QLatin1String(kInterface),
                                QLatin1String(kMember), m_receiver, SLOT(handle(QDBusMessage)));
    if (isMainThread())
        delete m_receiver;
    else
        m_receiver->deleteLater();
}

bool DistributedNotificationCenter::isConnected() const {
    return m_connected;
}

DistributedNotificationCenter::Token DistributedNotificationCenter::addObserver(const QString& name,
                                                                                Observer observer) {
    return m_observers.addObserver(name, [observer = std::move(observer)](const Notification& n) {
        try {
            observer(n);
        } catch (const std::exception& e) {
            qCritical("An observer of \"%s\" failed: %s", qPrintable(n.name), e.what());
        } catch (...) {
            qCritical("An observer of \"%s\" failed", qPrintable(n.name));
        }
    });
}

void DistributedNotificationCenter::removeObserver(Token token) {
    m_observers.removeObserver(token);
}

void DistributedNotificationCenter::post(const QString& name, const QVariant& object,
                                         const QVariantMap& userInfo) {
    Notification n{name, object, userInfo};
    if (isMainThread()) {
        send(n);
        return;
    }
    QMetaObject::invokeMethod(
        m_receiver, [this, n = std::move(n)] { send(n); }, Qt::QueuedConnection);
}

QVariant DistributedNotificationCenter::canonical(const QVariant& value, QString* error) {
    Budget budget;
    QVariant c = canonicalValue(value, 0, budget);
    if (error)
        *error = budget.error;
    return c;
}

void DistributedNotificationCenter::send(const Notification& notification) {
    if (notification.name.isEmpty()) {
        qWarning("A distributed notification without a name was not posted");
        return;
    }
    Budget budget;
    QVariantMap info;
    for (auto it = notification.userInfo.cbegin(); it != notification.userInfo.cend(); ++it) {
        Budget one;
        QVariant c = canonicalValue(it.value(), 1, one);
        if (!c.isValid()) {
            qWarning("Distributed notification \"%s\": \"%s\" dropped, it holds %s",
                     qPrintable(notification.name), qPrintable(it.key()), qPrintable(one.error));
            continue;
        }
        budget.values += one.values;
        budget.bytes += one.bytes;
        info.insert(it.key(), c);
    }
    budget.countBytes(
        std::accumulate(info.keyBegin(), info.keyEnd(), qsizetype(0),
                        [](qsizetype n, const QString& k) { return n + k.size() * 2; }));
    budget.countValue();
    if (!budget.error.isEmpty()) {
        qWarning("Distributed notification \"%s\" not posted: it holds %s",
                 qPrintable(notification.name), qPrintable(budget.error));
        return;
    }
    QString object;
    if (notification.object.typeId() == QMetaType::QString)
        object = notification.object.toString();
    else if (notification.object.isValid())
        qWarning("Distributed notification \"%s\": its object is not a string and is not sent",
                 qPrintable(notification.name));

    Notification canonicalNotification{notification.name,
                                       object.isEmpty() ? QVariant() : QVariant(object), info};
    if (!m_connected) {
        deliverLocally(canonicalNotification);
        return;
    }
    QDBusMessage message = QDBusMessage::createSignal(
        QLatin1String(kPath), QLatin1String(kInterface), QLatin1String(kMember));
    message.setArguments({notification.name, object, toWire(info)});
    if (!m_connection.send(message)) {
        qWarning("Distributed notification \"%s\" could not go out on the bus (%s); only this "
                 "program sees it",
                 qPrintable(notification.name), qPrintable(m_connection.lastError().message()));
        deliverLocally(canonicalNotification);
    }
}

void DistributedNotificationCenter::deliverLocally(const Notification& notification) {
    QMetaObject::invokeMethod(
        m_receiver, [this, notification] { m_observers.post(notification); }, Qt::QueuedConnection);
}

bool DistributedNotificationCenter::decodeMessage(const QDBusMessage& message, Notification* out,
                                                  QString* error) {
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (message.signature() != QLatin1String("ssa{sv}"))
        return fail(
            QStringLiteral("its arguments are (%1), not (ssa{sv})").arg(message.signature()));
    const QVariantList args = message.arguments();
    if (args.size() != 3)
        return fail(QStringLiteral("it has %1 arguments, not 3").arg(args.size()));
    Budget budget;
    const QString name = args.at(0).toString();
    const QString object = args.at(1).toString();
    if (name.isEmpty())
        return fail(QStringLiteral("its name is empty"));
    if (!budget.countBytes((name.size() + object.size()) * 2))
        return fail(budget.error);
    const QVariant info = fromReceived(args.at(2), 0, budget);
    if (info.typeId() != QMetaType::QVariantMap)
        return fail(QStringLiteral("its user info holds %1").arg(budget.error));
    if (out)
        *out = Notification{name, object.isEmpty() ? QVariant() : QVariant(object), info.toMap()};
    return true;
}

void DistributedNotificationCenter::receive(const QDBusMessage& message) {
    Notification n;
    QString error;
    try {
        if (!decodeMessage(message, &n, &error)) {
            qWarning("Ignored a distributed notification from %s: %s",
                     qPrintable(message.service()), qPrintable(error));
            return;
        }
    } catch (const std::exception& e) {
        qWarning("Ignored a distributed notification from %s: %s", qPrintable(message.service()),
                 e.what());
        return;
    }
    m_observers.post(n);
}

QJsonValue jsonFromPropertyValue(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return QJsonValue::Null;
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        QJsonObject o;
        const QVariantMap m = value.toMap();
        for (auto it = m.cbegin(); it != m.cend(); ++it)
            o.insert(it.key(), jsonFromPropertyValue(it.value()));
        return o;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray a;
        for (const QVariant& e : value.toList())
            a.append(jsonFromPropertyValue(e));
        return a;
    }
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return qint64(value.toLongLong());
    case QMetaType::ULongLong:
    case QMetaType::Float:
    case QMetaType::Double:
        return value.toDouble();
    case QMetaType::QDateTime:
        return value.toDateTime().toUTC().toString(Qt::ISODateWithMs);
    case QMetaType::QByteArray:
        return QString::fromLatin1(value.toByteArray().toBase64());
    default:
        return value.toString();
    }
}

QString describePropertyValue(const QVariant& value) {
    const QJsonValue json = jsonFromPropertyValue(value);
    if (json.isObject())
        return QString::fromUtf8(QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact));
    if (json.isArray())
        return QString::fromUtf8(QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact));
    if (json.isNull())
        return QStringLiteral("(null)");
    return json.isString() ? json.toString() : json.toVariant().toString();
}

} // namespace zarv

#include "DistributedNotificationCenter.moc"
