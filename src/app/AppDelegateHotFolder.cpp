#include "AppDelegatePrivate.h"
#include "platform/Log.h"

#include "AppSupport.h"
#include "MatchListShare.h"
#include "messaging/InboundPayload.h"
#include "messaging/OutboundNotifications.h"
#include "modules/ModuleInventory.h"
#include "platform/Beep.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Path.h"
#include "sdk/Function.h"
#include "util/ShellCommand.h"

#include <QFileInfo>

namespace zarv {

// --- Saved images and the hot folder ---------------------------------------------------------

void AppDelegate::handleSavedImageNotification(const Notification& notification) {
    for (int i = 0; i < 3; ++i)
        Log::info(zarvApp, QStringLiteral("==================================="));
    logNotification(notification);
    const InboundPayload payload = readInboundPayload(notification);
    if (payload.senderApp && payload.filePath) {
        currentMiscellaneousQueue().async([this] {
            const int count = ++m_newImageCount;
            publishNewImageCount(count);
            Log::info(zarvApp,
                      Log::insideText(kClassName, "handleSavedImageNotification:",
                                      QStringLiteral("self.fNewImageCount = %1").arg(count)));
        });
    } else if (payload.appstartup) {
        Log::info(zarvApp, Log::insideText(kClassName, "handleSavedImageNotification:",
                                           QStringLiteral("Just appstartup at [%1]...")
                                               .arg(describePropertyValue(*payload.appstartup))));
    } else {
        Log::info(zarvApp, Log::insideText(kClassName, "handleSavedImageNotification:",
                                           QStringLiteral("Did NOT really save an image?????...")));
    }
}

void AppDelegate::ibSendAllItemsInHotFolder() {
    DispatchQueue::global().async([] {
        const QVariant setting = defaults().objectForKey(kSaveFolder);
        if (setting.typeId() != QMetaType::QString)
            return;
        const QString folder = standardizingPath(setting.toString());
        if (!QFileInfo(folder).isDir())
            return;
        const QStringList list = hotFolderPictures(folder);
        Log::info(
            zarvApp,
            QStringLiteral("array[%1] = %2").arg(list.size()).arg(list.join(QStringLiteral(", "))));
        mySendLookoutAppNotificationWithFilePath(QVariant(list));
    });
}

void AppDelegate::ibFindOldImages() {
    const QString folder = standardizingPath(defaults().stringForKey(kSaveFolder));
    const std::optional<QString> output =
        runShellCommand(oldImagesCommand(folder, QStringLiteral("+60")));
    if (output)
        Log::info(zarvApp, QStringLiteral("cmd returned:\n%1").arg(*output));
    else
        Log::info(zarvApp, QStringLiteral("done..."));
    Log::info(zarvApp, QStringLiteral("done... done...."));
}

void AppDelegate::doRevealItem1() {
    revealItemInFinder(defaults().stringForKey(kSaveFolder));
}

void AppDelegate::doRevealItem2() {
    const std::optional<QStringList> paths = getDefaultSearchPaths();
    if (!paths || paths->isEmpty()) {
        beep();
        return;
    }
    revealItemInFinder(paths->first());
    NotificationCenter::defaultCenter().post(kAddFromFileNotification, paths->first());
}

void AppDelegate::doRevealItem3() {
    // Never the shared temporary folder: others' files are no business of this program.
    QString folder = temporaryFolderForApplication(IfMissing::GiveNothing);
    if (folder.isEmpty())
        folder = userTemporaryDirectory(IfMissing::GiveNothing);
    revealItemInFinder(folder);
}

void AppDelegate::ibShareItem(const QStringList& items) {
    composeEmail(shareSubject(), QString(), items, supportAddress(defaults()),
                 [](const QString&) {});
}

void AppDelegate::ibShowCount() {
    Log::info(zarvApp,
              Log::insideText(
                  kClassName, "ibShowCount:",
                  QStringLiteral("self.fNewImageCount.intValue = %1").arg(m_newImageCount.load())));
    Log::info(
        zarvApp,
        Log::insideText(
            kClassName, "ibShowCount:",
            QStringLiteral("    gNikonCameraCaptureCount = %1").arg(gNikonCameraCaptureCount)));
}

} // namespace zarv
