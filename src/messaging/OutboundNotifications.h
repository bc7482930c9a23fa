#pragma once

#include <QString>
#include <QVariant>

namespace zarv {

// Names of the family's notifications.
extern const QString sZarvXNotification;        // "zarvXNotification"
extern const QString sZarvTillsideNotification; // "zarvTillsideNotification"
extern const QString sZarvLookoutNotification;  // "ZarvLookoutNotification"

/// The application's name as siblings see it: the main bundle folder's name
/// ("ZarvNikonCapture.app").
QString getApplicationName();

/// Announces a newly saved picture ("zarvXNotification", object "test", "senderApp" and
/// "filePath"). Returns at once; the post leaves from the main thread later.
void mySendZarvXNotification2(const QString& path);

/// Asks the viewer Lookout to show one path (a string) or several (a list of strings).
void mySendLookoutAppNotificationWithFilePath(const QVariant& value);

/// Sends the status message assembled by the controller. `dictionary` stands for the mutable
/// dictionary: null means there is nothing to send. Adds "senderApp" to it. True when handed on
/// for posting.
bool mySendZarvNikonNotification(QVariantMap* dictionary);

} // namespace zarv
