#include "DistributedNotificationCenter.h"

#include "Log.h"
#include "Memory.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QDateTime>
#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

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

namespace {

// A received message that cost at least this much to read is followed by a release of memory.
constexpr qsizetype kReleaseAfterBytes = 1024 * 1024;
// How long after such a message the release comes: a flood is released once per interval.
constexpr std::chrono::milliseconds kReleaseDelay{500};

} // namespace

// The context for work handed to the main thread: received notifications, posts from other
// threads, releases of memory. Lives on the main thread.
class DistributedReceiver : public QObject {
    Q_OBJECT
public:
    explicit DistributedReceiver(DistributedNotificationCenter* center) : m_center(center) {}

    // A message read on the connection's thread: its notification for the observers, when it
    // fitted, and whether reading it took enough to give memory back afterwards.
    void receive(const std::optional<Notification>& notification, bool release);

private:
    // Gives freed memory back to the system a moment from now, once however often asked
    // meanwhile.
    void releaseMemorySoon() {
        if (m_releasePending)
            return;
        m_releasePending = true;
        QTimer::singleShot(kReleaseDelay, this, [this] {
            m_releasePending = false;
            Memory::release();
        });
    }

    DistributedNotificationCenter* m_center;
    bool m_releasePending = false;
};

// Receives the bus signal on the connection's own thread and reads it there, so that the message
// is let go on that thread and only plain values travel to the main thread. libdbus stops
// reading while too much received data is held (63 MiB) and starts again from whichever thread
// frees the last of it; QtDBus heeds that only on its own thread, and a message let go on the
// main thread would leave the connection deaf.
class DistributedListener : public QObject {
    Q_OBJECT
public:
    // Where received notifications go; none once the centre is going.
    void setReceiver(DistributedReceiver* receiver) {
        QMutexLocker lock(&m_mutex);
        m_receiver = receiver;
    }

public slots:
    void handle(const QDBusMessage& message);

private:
    QMutex m_mutex;
    DistributedReceiver* m_receiver = nullptr;
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

// Reads a received user info. QtDBus converts whatever asVariant() is asked for in one go (an
// array of texts becomes a whole QStringList, a variant its whole content), so containers are
// entered where they stand and only single basic values are converted, each counted before the
// next is read. Measuring (`keep` false) builds nothing: a message is measured whole before any
// of it is kept, and what does not fit costs no more than its largest single value.
class Reader {
public:
    Reader(Budget& budget, bool keep) : m_budget(budget), m_keep(keep) {}

    // The element at `arg`'s position, which it moves past; invalid when it does not fit.
    // `depth` is the element's own depth; what it holds sits one deeper.
    QVariant element(const QDBusArgument& arg, int depth) {
        if (!m_budget.countValue() || !m_budget.checkDepth(depth))
            return {};
        switch (arg.currentType()) {
        case QDBusArgument::VariantType: {
            // beginStructure() recurses into a variant as into a structure, where asVariant()
            // would hand over its content converted.
            arg.beginStructure();
            QVariant inner = element(arg, depth);
            arg.endStructure();
            return inner;
        }
        case QDBusArgument::BasicType: {
            // QtDBus counts arrays of bytes and of texts as basic.
            const QString signature = arg.currentSignature();
            if (signature == QLatin1String("ay")) {
                QByteArray bytes;
                arg >> bytes;
                return m_budget.countBytes(bytes.size()) ? kept(bytes) : QVariant();
            }
            if (signature.startsWith(u'a'))
                return array(arg, depth);
            return basic(arg, depth);
        }
        case QDBusArgument::ArrayType:
            return array(arg, depth);
        case QDBusArgument::MapType:
            return map(arg, depth);
        case QDBusArgument::StructureType:
            return date(arg);
        default:
            m_budget.fail(QStringLiteral("a value of signature %1").arg(arg.currentSignature()));
            return {};
        }
    }

private:
    QVariant kept(const QVariant& value) const { return m_keep ? value : QVariant(true); }

    QVariant basic(const QDBusArgument& arg, int depth) {
        const QVariant value = arg.asVariant();
        const int type = value.typeId();
        if (type == QMetaType::QString || type == qMetaTypeId<QDBusObjectPath>() ||
            type == qMetaTypeId<QDBusSignature>()) {
            const QString text = type == QMetaType::QString ? value.toString()
                                 : type == qMetaTypeId<QDBusObjectPath>()
                                     ? qvariant_cast<QDBusObjectPath>(value).path()
                                     : qvariant_cast<QDBusSignature>(value).signature();
            return m_budget.countBytes(text.size() * 2) ? kept(text) : QVariant();
        }
        switch (type) {
        case QMetaType::Bool:
        case QMetaType::UChar:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double: {
            // Counted in element() already; canonicalValue counts again, so give that one back.
            --m_budget.values;
            return kept(canonicalValue(value, depth, m_budget));
        }
        default:
            m_budget.fail(QStringLiteral("a value of D-Bus type %1").arg(value.typeName()));
            return {};
        }
    }

    // Every begin needs its end, failure or not: QtDBus frees its readers there.
    QVariant array(const QDBusArgument& arg, int depth) {
        QVariantList out;
        bool ok = true;
        arg.beginArray();
        while (ok && !arg.atEnd()) {
            const QVariant e = element(arg, depth + 1);
            ok = e.isValid();
            if (ok && m_keep)
                out.append(e);
        }
        arg.endArray();
        return ok ? kept(out) : QVariant();
    }

    QVariant map(const QDBusArgument& arg, int depth) {
        const QString signature = arg.currentSignature();
        if (!signature.startsWith(QLatin1String("a{s"))) {
            m_budget.fail(
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
            ok = m_budget.countBytes(key.size() * 2);
            if (ok) {
                const QVariant v = element(arg, depth + 1);
                ok = v.isValid();
                if (ok && m_keep)
                    out.insert(key, v);
            }
            arg.endMapEntry();
        }
        arg.endMap();
        return ok ? kept(out) : QVariant();
    }

    QVariant date(const QDBusArgument& arg) {
        const QString signature = arg.currentSignature();
        if (signature != QLatin1String("(sd)")) {
            m_budget.fail(QStringLiteral("a structure %1 that is not a date").arg(signature));
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
            m_budget.fail(QStringLiteral("a structure (sd) that is not a date"));
            return {};
        }
        return kept(
            QDateTime::fromMSecsSinceEpoch(qint64(std::llround(date.seconds * 1000.0)), Qt::UTC));
    }

    Budget& m_budget;
    bool m_keep;
};

// What decoding a message cost, roughly, in bytes: its texts and data and a value's own size for
// each value. Known also for a message refused for what it holds.
struct Cost {
    qsizetype bytes = 0;
    void add(const Budget& budget) {
        bytes = budget.bytes + qsizetype(budget.values) * qsizetype(sizeof(QVariant));
    }
};

bool decode(const QDBusMessage& message, Notification* out, QString* error, Cost* cost) {
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
    const QString name = args.at(0).toString();
    const QString object = args.at(1).toString();
    if (name.isEmpty())
        return fail(QStringLiteral("its name is empty"));
    const QVariant& info = args.at(2);
    if (info.typeId() != qMetaTypeId<QDBusArgument>())
        return fail(
            QStringLiteral("its user info holds a value of D-Bus type %1").arg(info.typeName()));
    // Measured first, on a reader of its own; the one that keeps starts again from the top.
    Budget measured;
    const bool fits =
        measured.countBytes((name.size() + object.size()) * 2) &&
        Reader(measured, false).element(qvariant_cast<QDBusArgument>(info), 0).isValid();
    if (cost)
        cost->add(measured);
    if (!fits)
        return fail(QStringLiteral("its user info holds %1").arg(measured.error));
    Budget budget;
    budget.countBytes((name.size() + object.size()) * 2);
    const QVariant userInfo = Reader(budget, true).element(qvariant_cast<QDBusArgument>(info), 0);
    if (userInfo.typeId() != QMetaType::QVariantMap)
        return fail(QStringLiteral("its user info holds %1").arg(budget.error));
    if (out)
        *out =
            Notification{name, object.isEmpty() ? QVariant() : QVariant(object), userInfo.toMap()};
    return true;
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
        qCWarning(zarvPlatform,
                  "No D-Bus session bus (%s): distributed notifications reach only this program",
                  qPrintable(m_connection.lastError().message()));
        return;
    }
    m_listener = new DistributedListener;
    // The bus interface object is a child of the connection's own object, so it lives on the
    // connection's thread.
    if (QDBusConnectionInterface* bus = m_connection.interface())
        m_listener->moveToThread(bus->thread());
    // Handed over on the listener's own thread before it hears anything, so that what was made
    // here is ordered before it reads.
    QMetaObject::invokeMethod(
        m_listener,
        [listener = m_listener, receiver = m_receiver] { listener->setReceiver(receiver); },
        m_listener->thread() == QThread::currentThread() ? Qt::DirectConnection
                                                         : Qt::BlockingQueuedConnection);
    m_connected =
        m_connection.connect(QString(), QLatin1String(kPath), QLatin1String(kInterface),
                             QLatin1String(kMember), m_listener, SLOT(handle(QDBusMessage)));
    if (!m_connected)
        qCWarning(zarvPlatform,
                  "Cannot listen on the D-Bus session bus (%s): distributed notifications reach "
                  "only this program",
                  qPrintable(m_connection.lastError().message()));
}

DistributedNotificationCenter::~DistributedNotificationCenter() {
    if (m_connected)
        m_connection.disconnect(QString(), QLatin1String(kPath), QLatin1String(kInterface),
                                QLatin1String(kMember), m_listener, SLOT(handle(QDBusMessage)));
    if (m_listener) {
        // A message the listener is reading meanwhile goes nowhere.
        m_listener->setReceiver(nullptr);
        // QtDBus would hear of its end through a blocking call from the connection's thread,
        // which waits for a connection that may be going meanwhile; its hook is gone already.
        QObject::disconnect(m_listener, &QObject::destroyed, nullptr, nullptr);
        // Deleted on its own thread, after everything done with it here.
        QMetaObject::invokeMethod(
            m_listener, [listener = m_listener] { delete listener; }, Qt::QueuedConnection);
    }
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
            qCCritical(zarvPlatform, "An observer of \"%s\" failed: %s", qPrintable(n.name),
                       e.what());
        } catch (...) {
            qCCritical(zarvPlatform, "An observer of \"%s\" failed", qPrintable(n.name));
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
        qCWarning(zarvPlatform, "A distributed notification without a name was not posted");
        return;
    }
    Budget budget;
    QVariantMap info;
    for (auto it = notification.userInfo.cbegin(); it != notification.userInfo.cend(); ++it) {
        Budget one;
        QVariant c = canonicalValue(it.value(), 1, one);
        if (!c.isValid()) {
            qCWarning(zarvPlatform, "Distributed notification \"%s\": \"%s\" dropped, it holds %s",
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
        qCWarning(zarvPlatform, "Distributed notification \"%s\" not posted: it holds %s",
                  qPrintable(notification.name), qPrintable(budget.error));
        return;
    }
    QString object;
    if (notification.object.typeId() == QMetaType::QString)
        object = notification.object.toString();
    else if (notification.object.isValid())
        qCWarning(zarvPlatform,
                  "Distributed notification \"%s\": its object is not a string and is not sent",
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
        qCWarning(zarvPlatform,
                  "Distributed notification \"%s\" could not go out on the bus (%s); only this "
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
    return decode(message, out, error, nullptr);
}

void DistributedListener::handle(const QDBusMessage& message) {
    Notification n;
    QString error;
    Cost cost;
    bool decoded = false;
    try {
        decoded = decode(message, &n, &error, &cost);
    } catch (const std::exception& e) {
        error = QString::fromLocal8Bit(e.what());
    }
    if (!decoded) {
        const QVariantList args = message.arguments();
        const QString what =
            !args.isEmpty() && args.at(0).typeId() == QMetaType::QString
                ? QStringLiteral(" named \"%1\"").arg(Log::quoted(args.at(0).toString()))
                : QString();
        qCWarning(zarvPlatform).noquote()
            << QStringLiteral("Ignored a distributed notification from %1%2: %3")
                   .arg(message.service(), what, error);
    }
    // A refused message may have cost anything the bus carries to read, more than is counted
    // here; what it took is handed back to the system rather than kept for reuse.
    const bool release = !decoded || cost.bytes >= kReleaseAfterBytes;
    std::optional<Notification> notification;
    if (decoded)
        notification = std::move(n);
    QMutexLocker lock(&m_mutex);
    if (DistributedReceiver* receiver = m_receiver)
        QMetaObject::invokeMethod(
            receiver,
            [receiver, notification = std::move(notification), release] {
                receiver->receive(notification, release);
            },
            Qt::QueuedConnection);
}

void DistributedReceiver::receive(const std::optional<Notification>& notification, bool release) {
    if (release)
        releaseMemorySoon();
    if (notification)
        m_center->m_observers.post(*notification);
}

} // namespace zarv

#include "DistributedNotificationCenter.moc"
