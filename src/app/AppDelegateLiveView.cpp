#include "AppDelegatePrivate.h"
#include "platform/Log.h"

#include "messaging/InboundPayload.h"
#include "messaging/OutboundNotifications.h"
#include "platform/DistributedNotificationCenter.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace zarv {

namespace {

const QString kLiveViewNotification = QStringLiteral("ZarvLiveViewNotification");
constexpr qsizetype kLongestRequestId = 128; // as for the timing records

// A frame goes only where a regular file may stand: written beside it and renamed into place,
// so that a reader never sees half a frame and a link in its place is replaced, not followed.
bool writeFrameFile(const QString& path, const QByteArray& jpeg, QString* why) {
    if (!QDir::isAbsolutePath(path)) {
        *why = QStringLiteral("\"%1\" is not an absolute path.").arg(path);
        return false;
    }
    const QFileInfo target(path);
    if (target.exists() && !target.isSymLink() && !target.isFile()) {
        *why = QStringLiteral("\"%1\" is not a file.").arg(path);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size() || !file.commit()) {
        *why = QStringLiteral("The frame could not be written to \"%1\": %2")
                   .arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

void AppDelegate::handleLiveViewRequest(const QString& what, const Notification& notification) {
    const InboundPayload payload = readInboundPayload(notification);
    const QVariant idValue = notification.userInfo.value(QStringLiteral("requestId"));
    const bool idRefused = idValue.isValid() && (idValue.typeId() != QMetaType::QString ||
                                                 idValue.toString().size() > kLongestRequestId);
    const QString requestId = idRefused ? QString() : idValue.toString();
    // Answers leave from the main thread, as every post.
    const LiveViewAnswer answer = [this, what, requestId](const QString& result,
                                                          const QString& error,
                                                          const QString& path) {
        QVariantMap info{{QStringLiteral("senderApp"), getApplicationName()},
                         {QStringLiteral("action"), QStringLiteral("liveview")},
                         {QStringLiteral("request"), what}};
        if (!requestId.isEmpty())
            info.insert(QStringLiteral("requestId"), requestId);
        info.insert(error.isEmpty() ? QStringLiteral("result") : QStringLiteral("error"),
                    error.isEmpty() ? result : error);
        if (!path.isEmpty())
            info.insert(QStringLiteral("filePath"), path);
        onMain([info] {
            DistributedNotificationCenter::defaultCenter().post(kLiveViewNotification, {}, info);
        });
    };
    if (idRefused) {
        answer({},
               QStringLiteral("\"requestId\" must be a string of at most %1 characters.")
                   .arg(kLongestRequestId),
               {});
    } else if (what == QLatin1String("liveviewstart")) {
        m_liveView->hold(LiveView::RemoteHolder, [answer](bool started, const QString& why) {
            answer(QStringLiteral("started"), started ? QString() : why, {});
        });
    } else if (what == QLatin1String("liveviewstop")) {
        m_liveView->release(LiveView::RemoteHolder);
        answer(QStringLiteral("stopped"), {}, {});
    } else if (!payload.filePath || payload.filePath->isEmpty()) {
        answer({}, QStringLiteral("A frame needs a \"filePath\" to be written to."), {});
    } else {
        writeNextLiveViewFrame(QDir::cleanPath(*payload.filePath), answer);
    }
}

void AppDelegate::writeNextLiveViewFrame(const QString& path, const LiveViewAnswer& answer) {
    m_liveView->grabFrame(
        [this, answer, path](std::optional<LiveViewFrame> frame, const QString& why) {
            if (!frame) {
                answer({}, why, path);
                return;
            }
            // Off the camera queue: a slow disk must not hold up the pictures.
            onGlobal([answer, path, jpeg = frame->jpeg] {
                QString failure;
                if (writeFrameFile(path, jpeg, &failure)) {
                    answer(QStringLiteral("saved"), {}, path);
                } else {
                    Log::info(zarvApp, failure);
                    answer({}, failure, path);
                }
            });
        });
}

} // namespace zarv
