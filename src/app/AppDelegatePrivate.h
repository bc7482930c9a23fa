#pragma once

// Helpers shared by the controller's source files; nothing outside them includes this.

#include "AppDelegate.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <QDebug>
#include <QPointer>
#include <QString>

#include <chrono>
#include <thread>

namespace zarv {

namespace appdelegate {

inline const QString kClassName = QStringLiteral("AppDelegate");
inline const QString kSaveFolder = QStringLiteral("prefSaveFolderPath");
inline const QString kTextView = QStringLiteral("prefTextViewString1");
inline const QString kLaunchIn32BitMode = QStringLiteral("prefLaunchIn32BitMode");
/// Headless runs take the offer to relaunch in the other architecture for a module.
inline const QString kHeadlessAcceptsRelaunch = QStringLiteral("prefHeadlessAcceptsRelaunch");
/// Headless runs release a camera the desktop's automounter holds, without asking.
inline const QString kHeadlessReleasesCamera = QStringLiteral("prefHeadlessReleasesCamera");
inline const QString kAddFromFileNotification = QStringLiteral("ZarvNotificationAddFromFile");

inline UserDefaults& defaults() {
    return UserDefaults::standard();
}

/// The 32-bit program to switch to: this one when it is the 32-bit program, else the bundle's
/// "<executable>_32", or empty when there is none (`wanted` then names it).
QString executable32Path(QString* wanted);
/// Why this system cannot switch to the 32-bit program, or empty when it can.
QString why32bitCannotRun();

inline void inside(const char* operation) {
    Log::inside(zarvApp, kClassName, QLatin1String(operation));
}

// What another program sent is quoted, never written whole into the log.
inline void logNotification(const Notification& notification) {
    Log::info(zarvApp, QStringLiteral("object = %1, userInfo = %2")
                           .arg(Log::quoted(notification.object.toString()),
                                Log::quoted(notification.userInfo)));
}

// The mini panel's count of pictures saved since the camera arrived; nothing before the first.
inline void publishNewImageCount(int count) {
    defaults().setObject(QStringLiteral("prefNewImageCountString"),
                         count <= 0   ? QString()
                         : count == 1 ? QStringLiteral("1 picture")
                                      : QStringLiteral("%1 pictures").arg(count));
}

} // namespace appdelegate

using namespace appdelegate;

} // namespace zarv
