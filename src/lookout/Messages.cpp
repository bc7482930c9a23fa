#include "Messages.h"

#include <QFile>

#include <climits>

namespace zarv::lookout {

bool isAcceptablePath(const QString& path) {
    if (path.isEmpty() || !path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
        return false;
    return QFile::encodeName(path).size() < PATH_MAX;
}

namespace {

std::optional<QString> stringOf(const QVariantMap& info, const QString& key) {
    const auto it = info.constFind(key);
    if (it == info.cend() || it->metaType() != QMetaType::fromType<QString>())
        return std::nullopt;
    return it->toString();
}

// Paths from a value that is one string or a list; anything else in a list is counted, not used.
void takePaths(const QVariant& value, Inbound* in) {
    QVariantList list;
    if (value.metaType() == QMetaType::fromType<QString>())
        list.append(value);
    else if (value.metaType() == QMetaType::fromType<QVariantList>())
        list = value.toList();
    else if (value.metaType() == QMetaType::fromType<QStringList>())
        for (const QString& s : value.toStringList())
            list.append(s);
    else {
        in->problem = QStringLiteral("\"value\" is neither a path nor a list of paths");
        return;
    }
    for (const QVariant& v : std::as_const(list)) {
        if (v.metaType() != QMetaType::fromType<QString>()) {
            ++in->rejected;
            continue;
        }
        const QString path = v.toString();
        // The capture program sends one empty entry for an empty hot folder: that is no error.
        if (path.isEmpty())
            continue;
        if (!isAcceptablePath(path) || in->paths.size() >= kMaxPathsPerMessage) {
            ++in->rejected;
            continue;
        }
        in->paths.append(path);
    }
    in->paths.removeDuplicates();
}

} // namespace

Inbound readInbound(const Notification& notification) {
    Inbound in;
    const QVariantMap& info = notification.userInfo;
    const std::optional<QString> sender = stringOf(info, QStringLiteral("senderApp"));
    if (!sender) {
        in.problem = QStringLiteral("no \"senderApp\" string");
        return in;
    }
    if (sender->compare(kSenderApp, Qt::CaseInsensitive) == 0)
        return in; // our own request coming back

    if (notification.name == kLookoutNotification) {
        const std::optional<QString> action = stringOf(info, QStringLiteral("action"));
        if (!action || action->compare(kShowAction, Qt::CaseInsensitive) != 0) {
            in.problem = QStringLiteral("its \"action\" is not \"%1\"").arg(kShowAction);
            return in;
        }
        const QVariant value = info.value(QStringLiteral("value"));
        takePaths(value, &in);
        // A list answers "getlistofimages"; a single path is one new picture.
        const bool list = value.metaType() != QMetaType::fromType<QString>();
        if (!in.paths.isEmpty())
            in.kind = list ? Inbound::Kind::HotFolder : Inbound::Kind::Show;
        else if (list && in.problem.isEmpty() && in.rejected == 0)
            in.kind = Inbound::Kind::HotFolder; // an empty hot folder
        else if (in.problem.isEmpty())
            in.problem = QStringLiteral("no usable path in \"value\"");
        if (in.kind == Inbound::Kind::HotFolder &&
            sender->compare(kCaptureApp, Qt::CaseInsensitive))
            in.kind = Inbound::Kind::Show; // only the capture program knows the hot folder
        return in;
    }
    if (notification.name == kSavedNotification) {
        if (info.contains(QStringLiteral("filePath"))) {
            const std::optional<QString> path = stringOf(info, QStringLiteral("filePath"));
            if (path && isAcceptablePath(*path)) {
                in.kind = Inbound::Kind::Saved;
                in.paths.append(*path);
            } else {
                in.rejected = 1;
                in.problem = QStringLiteral("\"filePath\" is not an absolute path");
            }
            return in;
        }
        if (sender->compare(kCaptureApp, Qt::CaseInsensitive) != 0)
            return in;
        in.kind = Inbound::Kind::Status;
        const QVariant status = info.value(QStringLiteral("cameraStatus"));
        if (status.metaType() == QMetaType::fromType<qlonglong>() ||
            status.metaType() == QMetaType::fromType<int>())
            in.cameraConnected = status.toLongLong() == 1;
        in.cameraName = stringOf(info, QStringLiteral("cameraName")).value_or(QString());
        in.saveFolder = stringOf(info, QStringLiteral("prefSaveFolderPath")).value_or(QString());
        in.launched = stringOf(info, QStringLiteral("senderAppStatus")) ==
                      QStringLiteral("statusAppLaunched");
        return in;
    }
    return in;
}

} // namespace zarv::lookout
