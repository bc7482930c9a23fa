// A distributed notification's user info comes from any program on the session bus. The fuzz
// bytes build one (any nesting of variants, dictionaries, arrays, structures and basic values);
// it goes through QtDBus's own marshalling and reaches the decoder exactly as QtDBus delivers a
// received message: a call to ourselves, which QtDBus carries in-process. Whatever arrives must
// be refused with a reason or decoded into a value the rest of the program can use.

#include "FuzzSupport.h"

#include "platform/DistributedNotificationCenter.h"
#include "platform/PropertyList.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>

using namespace zarv;

namespace {

// Structures of two fields: (sd) is how a date travels; any other tag is not a date.
struct Pair {
    QString tag;
    double value = 0;
};

QDBusArgument& operator<<(QDBusArgument& arg, const Pair& p) {
    arg.beginStructure();
    arg << p.tag << p.value;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, Pair& p) {
    arg.beginStructure();
    arg >> p.tag >> p.value;
    arg.endStructure();
    return arg;
}

} // namespace

Q_DECLARE_METATYPE(Pair)

namespace {

constexpr const char* kPath = "/fuzz";
// D-Bus allows 32 nested arrays and 32 nested structures; stay inside so that most messages go.
constexpr int kMaxNesting = 24;

int g_handled = 0;

QVariant content(fuzz::Input& in, int depth);

Pair pair(fuzz::Input& in) {
    return Pair{in.flag() ? QStringLiteral("date") : in.text(8), in.real()};
}

void writeMap(QDBusArgument& arg, fuzz::Input& in, int depth) {
    arg.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    for (int n = in.byte() % 6; n > 0 && !in.atEnd(); --n) {
        arg.beginMapEntry();
        arg << in.text(16) << QDBusVariant(content(in, depth + 1));
        arg.endMapEntry();
    }
    arg.endMap();
}

template <typename T> QVariant typedArray(fuzz::Input& in, T (*element)(fuzz::Input&)) {
    QDBusArgument arg;
    arg.beginArray(QMetaType::fromType<T>());
    for (int n = in.byte() % 6; n > 0; --n)
        arg << element(in);
    arg.endArray();
    return QVariant::fromValue(arg);
}

// A value that holds no other value: kinds 0 to 13.
QVariant scalar(fuzz::Input& in, int kind) {
    switch (kind) {
    case 0:
        return in.text(32);
    case 1:
        return int(in.u32());
    case 2:
        return qlonglong(in.u64());
    case 3:
        return qulonglong(in.u64());
    case 4:
        return in.real();
    case 5:
        return in.flag();
    case 6:
        return in.bytes(32);
    case 7:
        return QVariant::fromValue(uchar(in.byte()));
    case 8:
        return QVariant::fromValue(short(in.u16()));
    case 9:
        return QVariant::fromValue(ushort(in.u16()));
    case 10:
        return QVariant::fromValue(uint(in.u32()));
    case 11:
        return QVariant::fromValue(QDBusObjectPath(QStringLiteral("/p/n%1").arg(in.byte())));
    case 12: {
        static const char* const signatures[] = {"s", "a{sv}", "(sd)", "av", "ay"};
        return QVariant::fromValue(QDBusSignature(QLatin1String(signatures[in.byte() % 5])));
    }
    default: { // 13
        QStringList list;
        for (int n = in.byte() % 4; n > 0; --n)
            list.append(in.text(8));
        return list;
    }
    }
}

// A value that holds others (or a malformed one): kinds 14 to 23.
QVariant container(fuzz::Input& in, int kind, int depth) {
    switch (kind) {
    case 14:
        return QVariant::fromValue(QDBusVariant(content(in, depth + 1)));
    case 15: {
        QDBusArgument arg;
        writeMap(arg, in, depth);
        return QVariant::fromValue(arg);
    }
    case 16: {
        QDBusArgument arg;
        arg.beginArray(QMetaType::fromType<QDBusVariant>());
        for (int n = in.byte() % 6; n > 0 && !in.atEnd(); --n)
            arg << QDBusVariant(content(in, depth + 1));
        arg.endArray();
        return QVariant::fromValue(arg);
    }
    case 17: {
        // Keys that are not strings.
        QDBusArgument arg;
        arg.beginMap(QMetaType::fromType<int>(), QMetaType::fromType<QDBusVariant>());
        for (int n = in.byte() % 4; n > 0 && !in.atEnd(); --n) {
            arg.beginMapEntry();
            arg << int(in.u32()) << QDBusVariant(content(in, depth + 1));
            arg.endMapEntry();
        }
        arg.endMap();
        return QVariant::fromValue(arg);
    }
    case 18: {
        QDBusArgument arg;
        arg << pair(in);
        return QVariant::fromValue(arg);
    }
    case 19: {
        // A structure that is not a date.
        QDBusArgument arg;
        arg.beginStructure();
        arg << in.text(8) << int(in.u32());
        arg.endStructure();
        return QVariant::fromValue(arg);
    }
    case 20:
        return in.flag() ? typedArray<int>(in, [](fuzz::Input& i) { return int(i.u32()); })
                         : typedArray<double>(in, [](fuzz::Input& i) { return i.real(); });
    case 21: {
        QDBusArgument arg;
        arg.beginArray(QMetaType::fromType<QVariantMap>());
        for (int n = in.byte() % 4; n > 0 && !in.atEnd(); --n)
            writeMap(arg, in, depth + 1);
        arg.endArray();
        return QVariant::fromValue(arg);
    }
    case 22:
        return typedArray<Pair>(in, pair);
    default: {
        QDBusArgument arg;
        arg.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
        for (int n = in.byte() % 4; n > 0; --n) {
            arg.beginMapEntry();
            arg << in.text(8) << in.text(8);
            arg.endMapEntry();
        }
        arg.endMap();
        return QVariant::fromValue(arg);
    }
    }
}

// One value as the content of a variant.
QVariant content(fuzz::Input& in, int depth) {
    const uint8_t op = in.byte();
    const bool leaf = depth >= kMaxNesting || in.atEnd();
    const int kind = leaf ? op % 14 : op % 24;
    return kind < 14 ? scalar(in, kind) : container(in, kind, depth);
}

void checkDecoded(const Notification& n) {
    QString error;
    const QVariant info(n.userInfo);
    // Observers get values in the form the centre itself posts.
    const QVariant canonical = DistributedNotificationCenter::canonical(info, &error);
    FUZZ_CHECK(canonical.isValid(), "a decoded user info is not canonical: %s", qPrintable(error));
    describePropertyValue(info);
}

class Receiver : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        ++g_handled;
        Notification n;
        QString error;
        const bool decoded = DistributedNotificationCenter::decodeMessage(message, &n, &error);
        if (qEnvironmentVariableIsSet("ZARV_FUZZ_VERBOSE"))
            std::fprintf(stderr, "%s: %s\n", qPrintable(message.signature()),
                         decoded ? qPrintable(describePropertyValue(n.userInfo))
                                 : qPrintable(error));
        if (decoded) {
            checkDecoded(n);
        } else {
            FUZZ_CHECK(!error.isEmpty(), "a refused notification gave no reason");
        }
        connection.send(message.createReply());
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(argc, argv);
    qDBusRegisterMetaType<Pair>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "skipped: no D-Bus session bus (run inside dbus-run-session)\n");
        std::exit(77);
    }
    static Receiver receiver;
    FUZZ_CHECK(bus.registerVirtualObject(QLatin1String(kPath), &receiver),
               "cannot register %s on the session bus", kPath);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage message =
        QDBusMessage::createMethodCall(bus.baseService(), QLatin1String(kPath),
                                       QLatin1String(DistributedNotificationCenter::kInterface),
                                       QLatin1String(DistributedNotificationCenter::kMember));
    const uint8_t shape = in.byte();
    const QString name = shape & 1 ? in.text(32) : QStringLiteral("com.quellbay.fuzz");
    QVariant userInfo;
    if (shape % 4 == 2) {
        // Mostly the right signature, so that the decoder gets to the values.
        userInfo = content(in, 0);
    } else {
        QDBusArgument arg;
        writeMap(arg, in, 0);
        userInfo = QVariant::fromValue(arg);
    }
    message.setArguments({name, in.text(16), userInfo});
    const int before = g_handled;
    const QDBusMessage reply = bus.call(message);
    // Only a message QtDBus could not marshal (too deep for D-Bus) never reaches the decoder.
    FUZZ_CHECK(g_handled == before + 1 || reply.type() == QDBusMessage::ErrorMessage,
               "the message was not delivered in-process: %s", qPrintable(reply.errorMessage()));
    // QtDBus posts its own clean-up; without this the queue grows by the input.
    fuzz::drainEvents();
    return 0;
}
