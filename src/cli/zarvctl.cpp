// zarvctl: talks to ZarvNikonCapture and its sibling programs over the session bus.

#include "platform/DistributedNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <unistd.h>

using namespace zarv;

namespace {

const char* const kUsage =
    "usage: zarvctl listen [--name NAME]... [--count N]\n"
    "       zarvctl post NAME [--object OBJECT] [KEY=TEXT | KEY:=JSON | KEY@=DATE]...\n"
    "       zarvctl grab | status | images\n"
    "       zarvctl shots [--follow]\n"
    "       zarvctl liveview start | stop | frame FILE\n"
    "\n"
    "listen   prints every notification of the session as one JSON line:\n"
    "         {\"name\":...,\"object\":...,\"userInfo\":{...}}; dates as ISO 8601 text,\n"
    "         data as base64 text. --count N stops after N notifications.\n"
    "post     sends a notification. KEY=TEXT gives a string, KEY:=JSON any JSON value\n"
    "         (numbers without a point are integers), KEY@=DATE a date (ISO 8601 or \"now\").\n"
    "grab     asks ZarvNikonCapture to take a picture;\n"
    "status   to send its camera status; images to hand its hot folder to the viewer.\n"
    "shots    prints the timing records of the last pictures ZarvNikonCapture saved, one JSON\n"
    "         line each, oldest first; --follow then prints each new one as it is announced,\n"
    "         until interrupted.\n";

constexpr int kUsageError = 2;

int usage(const QString& problem = {}) {
    if (!problem.isEmpty())
        std::fprintf(stderr, "zarvctl: %s\n", qPrintable(problem));
    std::fputs(kUsage, stderr);
    return kUsageError;
}

// Waits for the bus to answer: everything sent before has then reached it, and match rules
// added before are in force.
void roundTrip() {
    QDBusConnection::sessionBus().interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
}

DistributedNotificationCenter* connectedCenter() {
    auto& center = DistributedNotificationCenter::defaultCenter();
    if (!center.isConnected()) {
        std::fprintf(stderr, "zarvctl: no D-Bus session bus\n");
        return nullptr;
    }
    return &center;
}

bool parseValue(const QString& argument, QString* key, QVariant* value, QString* error) {
    const qsizetype eq = argument.indexOf(QLatin1Char('='));
    if (eq <= 0) {
        *error = QStringLiteral("\"%1\" is not KEY=VALUE").arg(argument);
        return false;
    }
    QString k = argument.left(eq);
    const QString text = argument.mid(eq + 1);
    if (k.endsWith(QLatin1Char(':'))) {
        k.chop(1);
        QJsonParseError parseError;
        // Wrapped so that a bare number, string or boolean parses too.
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &parseError);
        if (parseError.error != QJsonParseError::NoError || doc.array().size() != 1 ||
            doc.array().at(0).isNull()) {
            *error = QStringLiteral("the value of \"%1\" is not JSON (or is null)").arg(k);
            return false;
        }
        *value = doc.array().at(0).toVariant();
    } else if (k.endsWith(QLatin1Char('@'))) {
        k.chop(1);
        const QDateTime date = text == QLatin1String("now")
                                   ? QDateTime::currentDateTimeUtc()
                                   : QDateTime::fromString(text, Qt::ISODateWithMs);
        if (!date.isValid()) {
            *error = QStringLiteral("the value of \"%1\" is not an ISO 8601 date").arg(k);
            return false;
        }
        *value = date;
    } else {
        *value = text;
    }
    if (k.isEmpty()) {
        *error = QStringLiteral("\"%1\" has no key").arg(argument);
        return false;
    }
    *key = k;
    return true;
}

int post(const QString& name, const QString& object, const QVariantMap& userInfo) {
    DistributedNotificationCenter* center = connectedCenter();
    if (!center)
        return 1;
    center->post(name, object.isEmpty() ? QVariant() : QVariant(object), userInfo);
    roundTrip();
    return 0;
}

int listen(const QStringList& args) {
    QStringList names;
    long long count = -1;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--name") && i + 1 < args.size()) {
            names << args[++i];
        } else if (args[i] == QLatin1String("--count") && i + 1 < args.size()) {
            bool ok = false;
            count = args[++i].toLongLong(&ok);
            if (!ok || count <= 0)
                return usage(QStringLiteral("--count needs a positive number"));
        } else {
            return usage(QStringLiteral("unknown argument \"%1\"").arg(args[i]));
        }
    }
    DistributedNotificationCenter* center = connectedCenter();
    if (!center)
        return 1;
    if (names.isEmpty())
        names << QString();
    long long seen = 0;
    for (const QString& name : names)
        center->addObserver(name, [&](const Notification& n) {
            QJsonObject line;
            line.insert(QStringLiteral("name"), n.name);
            line.insert(QStringLiteral("object"), n.object.isValid()
                                                      ? QJsonValue(n.object.toString())
                                                      : QJsonValue(QJsonValue::Null));
            line.insert(QStringLiteral("userInfo"), jsonFromPropertyValue(n.userInfo));
            const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact);
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
            if (count > 0 && ++seen >= count)
                QCoreApplication::exit(0);
        });
    roundTrip();
    std::fprintf(stderr, "zarvctl: listening\n");
    std::fflush(stderr);
    return QCoreApplication::exec();
}

int request(const QString& action) {
    return post(QStringLiteral("ZarvNikonAppNotification"), {},
                {{QStringLiteral("senderApp"), QStringLiteral("zarvctl")},
                 {QStringLiteral("action"), action}});
}

const QString kShotsNotification = QStringLiteral("ZarvShotsNotification");
// The program answers at once; this is for a machine under load.
constexpr int kAnswerTimeoutMs = 10000;

void sayNoAnswer() {
    std::fprintf(stderr,
                 "zarvctl: no answer from ZarvNikonCapture within %d s: is it running on this "
                 "session bus?\n",
                 kAnswerTimeoutMs / 1000);
}

void printShots(const QVariantList& shots) {
    for (const QVariant& shot : shots) {
        const QByteArray text =
            QJsonDocument(jsonFromPropertyValue(shot).toObject()).toJson(QJsonDocument::Compact);
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}

qlonglong sequenceOf(const QVariant& shot) {
    return shot.toMap().value(QStringLiteral("sequence")).toLongLong();
}

QString newRequestId() {
    return QStringLiteral("zarvctl-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(QRandomGenerator::global()->generate());
}

int shots(const QStringList& args) {
    bool follow = false;
    for (const QString& arg : args) {
        if (arg != QLatin1String("--follow"))
            return usage(QStringLiteral("unknown argument \"%1\"").arg(arg));
        follow = true;
    }
    DistributedNotificationCenter* center = connectedCenter();
    if (!center)
        return 1;
    const QString requestId = newRequestId();
    bool answered = false;
    QVariantList early; // announced while the answer was on its way
    const auto startFollowing = [&](qlonglong lastPrinted) {
        answered = true;
        QVariantList later;
        for (const QVariant& shot : std::as_const(early))
            if (sequenceOf(shot) > lastPrinted)
                later.append(shot);
        early.clear();
        printShots(later);
        std::fprintf(stderr, "zarvctl: following\n");
        std::fflush(stderr);
    };
    center->addObserver(kShotsNotification, [&](const Notification& n) {
        const QString action = n.userInfo.value(QStringLiteral("action")).toString();
        const QVariantList list = n.userInfo.value(QStringLiteral("shots")).toList();
        if (action == QLatin1String("newshot") && follow) {
            if (answered)
                printShots(list);
            else
                early.append(list);
            return;
        }
        if (action != QLatin1String("shots") || answered ||
            n.userInfo.value(QStringLiteral("requestId")).toString() != requestId)
            return;
        if (n.userInfo.contains(QStringLiteral("error"))) {
            answered = true;
            std::fprintf(stderr, "zarvctl: ZarvNikonCapture refused the request: %s\n",
                         qPrintable(n.userInfo.value(QStringLiteral("error")).toString()));
            QCoreApplication::exit(1);
            return;
        }
        printShots(list);
        if (follow)
            startFollowing(list.isEmpty() ? 0 : sequenceOf(list.last()));
        else
            QCoreApplication::exit(0);
    });
    roundTrip();
    center->post(QStringLiteral("ZarvNikonAppNotification"), {},
                 {{QStringLiteral("senderApp"), QStringLiteral("zarvctl")},
                  {QStringLiteral("action"), QStringLiteral("requestshots")},
                  {QStringLiteral("requestId"), requestId}});
    QTimer::singleShot(kAnswerTimeoutMs, [&] {
        if (answered)
            return;
        sayNoAnswer();
        if (follow)
            startFollowing(0); // it may start later
        else
            QCoreApplication::exit(1);
    });
    if (follow) {
        // Every line is out already: an interruption is the normal end.
        std::signal(SIGINT, [](int) { _exit(0); });
        std::signal(SIGTERM, [](int) { _exit(0); });
    }
    return QCoreApplication::exec();
}

const QString kLiveViewNotification = QStringLiteral("ZarvLiveViewNotification");

int liveView(const QStringList& args) {
    const QString what = args.value(0);
    const bool frame = what == QLatin1String("frame");
    if (!(what == QLatin1String("start") || what == QLatin1String("stop") || frame) ||
        args.size() != (frame ? 2 : 1))
        return usage(QStringLiteral("liveview takes start, stop or frame FILE"));
    DistributedNotificationCenter* center = connectedCenter();
    if (!center)
        return 1;
    const QString requestId = newRequestId();
    QVariantMap info{{QStringLiteral("senderApp"), QStringLiteral("zarvctl")},
                     {QStringLiteral("action"), QStringLiteral("liveview") + what},
                     {QStringLiteral("requestId"), requestId}};
    if (frame)
        info.insert(QStringLiteral("filePath"), QFileInfo(args[1]).absoluteFilePath());
    bool answered = false;
    center->addObserver(kLiveViewNotification, [&](const Notification& n) {
        if (answered || n.userInfo.value(QStringLiteral("requestId")).toString() != requestId)
            return;
        answered = true;
        const QString error = n.userInfo.value(QStringLiteral("error")).toString();
        if (!error.isEmpty() || !n.userInfo.contains(QStringLiteral("result"))) {
            std::fprintf(stderr, "zarvctl: live view %s failed: %s\n", qPrintable(what),
                         qPrintable(error.isEmpty() ? QStringLiteral("no result") : error));
            QCoreApplication::exit(1);
            return;
        }
        std::printf("%s\n", qPrintable(n.userInfo.value(QStringLiteral("result")).toString()));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    roundTrip();
    center->post(QStringLiteral("ZarvNikonAppNotification"), {}, info);
    QTimer::singleShot(kAnswerTimeoutMs, [&] {
        if (answered)
            return;
        sayNoAnswer();
        QCoreApplication::exit(1);
    });
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zarvctl"));
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == QLatin1String("listen"))
        return listen(args);
    if (command == QLatin1String("grab") || command == QLatin1String("status") ||
        command == QLatin1String("images")) {
        if (!args.isEmpty())
            return usage(QStringLiteral("%1 takes no arguments").arg(command));
        const QString action = command == QLatin1String("grab")     ? QStringLiteral("grabimage")
                               : command == QLatin1String("status") ? "requestcamerastatus"
                                                                    : "getlistofimages";
        return request(action);
    }
    if (command == QLatin1String("shots"))
        return shots(args);
    if (command == QLatin1String("liveview"))
        return liveView(args);
    if (command == QLatin1String("post")) {
        if (args.isEmpty() || args.first().startsWith(QLatin1String("--")))
            return usage(QStringLiteral("post needs a notification name"));
        const QString name = args.takeFirst();
        QString object;
        QVariantMap info;
        for (qsizetype i = 0; i < args.size(); ++i) {
            if (args[i] == QLatin1String("--object")) {
                if (i + 1 >= args.size())
                    return usage(QStringLiteral("--object needs a value"));
                object = args[++i];
                continue;
            }
            QString key, error;
            QVariant value;
            if (!parseValue(args[i], &key, &value, &error))
                return usage(error);
            info.insert(key, value);
        }
        return post(name, object, info);
    }
    return usage(QStringLiteral("unknown command \"%1\"").arg(command));
}
