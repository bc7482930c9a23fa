#pragma once

#include "platform/NotificationCenter.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace zarv::lookout {

inline const QString kSenderApp = QStringLiteral("ZarvLookout.app");
inline const QString kCaptureApp = QStringLiteral("ZarvNikonCapture.app");
inline const QString kCaptureService = QStringLiteral("com.quellbay.ZarvNikonCapture");
inline const QString kLookoutNotification = QStringLiteral("ZarvLookoutNotification");
inline const QString kSavedNotification = QStringLiteral("zarvXNotification");
inline const QString kCaptureRequest = QStringLiteral("ZarvNikonAppNotification");
inline const QString kShowAction = QStringLiteral("newImageToDisplayForLookout");

/// At most this many paths are taken from one message; the rest are dropped with a log line.
inline constexpr int kMaxPathsPerMessage = 10000;

/// What one received notification asks of the viewer. Every key is checked for its type, as the
/// capture program checks what it receives: a key of the wrong type counts as absent.
struct Inbound {
    enum class Kind {
        Ignored,   // not for us, or nothing usable in it (see `problem`)
        Show,      // ZarvLookoutNotification: show these pictures (newest last)
        HotFolder, // the same, answering "getlistofimages": a list, in no particular order
        Saved,     // zarvXNotification with filePath: a picture was saved
        Status,    // zarvXNotification without filePath: the capture program's status
    };
    Kind kind = Kind::Ignored;
    QStringList paths;
    /// Entries passed over (wrong type, empty, relative, too long, over the limit).
    int rejected = 0;
    QString problem;
    // Status only.
    std::optional<bool> cameraConnected;
    QString cameraName;
    QString saveFolder;
    bool launched = false; // the capture program has just started
};

/// Reads a notification from the session bus. Our own messages (senderApp ZarvLookout.app,
/// compared without regard to case) and those without a string senderApp are ignored.
Inbound readInbound(const Notification& notification);

/// Whether `path` may name a picture: absolute, no NUL, shorter than PATH_MAX bytes.
bool isAcceptablePath(const QString& path);

} // namespace zarv::lookout
