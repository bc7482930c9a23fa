#pragma once

// The camera session: one camera opened through one MAID module. It finds the module bundle for
// the attached camera, loads it, opens the module and the camera's source, captures and saves
// pictures, tells the user about them, and reads and writes settings by capability.
//
// Threading: every operation that talks to the module (FindCamera, the probe, CloseMyCamera,
// CleanUp, UnloadCamera, the capture and settings operations) must run on the one queue that
// owns the camera (the camera queue, or the match queue while matching); they block, with fixed
// waits, and are not reentrant. Status texts go to the user defaults from the main queue. The
// notice operations may be called from any thread.

#include "sdk/Function.h"
#include "session/FindCameraResult.h"
#include "session/LiveViewFrame.h"

#include "platform/NotificationCenter.h"
#include "platform/UserNotificationCenter.h"

#include <QMutex>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace zarv {

// The one connection of the process, shared by every session object.
extern LPRefObj pRefMod; // root of the object tree: the opened module; null when none
extern uint32_t ulSrcID; // id of the selected source (the camera); 0 when none
extern LPRefObj pRefSrc; // the opened source, a child of pRefMod; null when none
/// The camera type, refreshed from the source before every settings read or write.
extern uint32_t g_ulCameraType;

class SessionObserverLink;

class ZarvNikonBaseCameraHandler : public UserNotificationCenterDelegate {
public:
    /// init: clears the flags, resets the process-wide connection state (without closing it)
    /// and calls setup().
    ZarvNikonBaseCameraHandler();
    /// dealloc: stops observing. If this session opened the module that is still open, it is
    /// closed here, on the calling thread (which should be the camera queue).
    ~ZarvNikonBaseCameraHandler() override;
    ZarvNikonBaseCameraHandler(const ZarvNikonBaseCameraHandler&) = delete;
    ZarvNikonBaseCameraHandler& operator=(const ZarvNikonBaseCameraHandler&) = delete;

    static QString className() { return QStringLiteral("ZarvNikonBaseCameraHandler"); }
    /// "<ZarvNikonBaseCameraHandler: 0x...>", as log lines name the session.
    QString description() const;

    /// The capability table: capability name -> {"kNkMAIDCapability", "value", "valuetype"},
    /// 27 rows. A fresh copy on every call; needs no camera.
    static QVariantMap GetCapabilityTable();

    /// Takes the default user-notification centre when none is set (and answers as its
    /// delegate), and observes "zarvXNotification" on the distributed centre.
    void setup();
    /// Forgets the user-notification centre.
    void teardown();

    // --- State ---------------------------------------------------------------------------------

    /// The module bundle is loaded and its entry point found.
    bool fModuleLoaded() const { return m_fModuleLoaded; }
    /// Cleared at creation; not otherwise used by the session.
    bool fCameraStatus() const { return m_fCameraStatus; }
    void setFCameraStatus(bool status) { m_fCameraStatus = status; }
    /// Where notices go; not owned, and must outlive the session and the notices it posts.
    UserNotificationCenter* fUserNotifCenter() const;
    void setFUserNotifCenter(UserNotificationCenter* center);
    /// The attached camera as USB watching described it; empty when none.
    QVariantMap fUsbDeviceInfo() const;
    void setFUsbDeviceInfo(const QVariantMap& info);

    // --- Discovery and connection ----------------------------------------------------------------

    /// Module loaded, a source selected and opened.
    bool isCameraConnected() const;
    /// The module bundle the lookup table names for the attached camera, when a file is there.
    std::optional<QString> GetPathToModule() const;
    /// Connects to the attached camera: 0, -1, -2, -3, -4 or -9090 (see the enum above). Takes
    /// at least 750 ms once a module is open, and about 3.25 s when no camera answers.
    int16_t FindCamera();
    /// Tries one module bundle against whatever camera is attached, and releases everything
    /// again: 0 when a camera answered, -1 otherwise. Takes about 1.75 s without a camera.
    /// Leaves the session's own bundle, fModuleLoaded and the connection state alone.
    int16_t SearchCameraWithModulePath(const QString& path);
    /// Whether the bundle at `path` holds an executable for the architecture `type`.
    bool isModuleAtPath(const QString& path, int type) const;
    /// Closes the module (and so the camera) and forgets the source; the bundle stays loaded.
    bool CloseMyCamera();
    /// Forgets the module without sending it anything, releasing the whole object tree.
    int16_t CleanUp();
    /// Closes what is still open, then CleanUp, then unloads the module bundle.
    int16_t UnloadCamera();

    // --- Capture and saving --------------------------------------------------------------------

    /// Asks the camera to take a picture: 0 when asked, -1 without a source, -2 when the module
    /// failed its turn (the connection is then released).
    int16_t GrabImage();
    /// True when the camera lists at least one picture.
    bool CheckIfNewImageGrabbed();
    /// Transfers the camera's first picture to the save folder; at most one per call. A picture
    /// that cannot be fetched (no image data, an item or data that cannot be opened or selected)
    /// is logged, left on the camera and passed over until the next connection; so is a picture
    /// the camera keeps after it was saved.
    void SaveImage();
    /// Gives the module its turns on the connected source while no command runs, so that it can
    /// deliver its events (a module only calls back from inside a call of ours): turns follow
    /// at once while it says it has more to do, up to a bound. Answers how many new pictures
    /// the camera announced since the last call (at the first, since the session was made), and
    /// at the first call of a connection the pictures that were on the camera already. A
    /// camera that went away meanwhile releases the connection. Camera queue only; cheap when
    /// nothing happens.
    uint32_t PumpEvents();
    /// How often the module wants its turns, in milliseconds (its AsyncRate capability); 0 when
    /// it does not say or nothing is open.
    uint32_t AsyncRate();

    // --- Live view -----------------------------------------------------------------------------
    // Camera queue only, like every call that talks to the module.

    /// Starts the camera's live view. Refused comes with the camera's reasons in `why` (its
    /// live-view warnings, as their names); the other outcomes with a sentence.
    LiveViewStart StartLiveView(QString* why);
    /// Stops live view; nothing happens when it does not run. False when the module refused.
    bool StopLiveView();
    /// Whether this connection's live view runs, as far as the session knows.
    bool isLiveViewRunning() const { return m_liveViewRunning; }
    /// Reads the newest frame, when there is one newer than the last read. Never waits for one.
    LiveViewRead ReadLiveViewFrame(LiveViewFrame* frame);
    /// The focus position, when the module lets the program move it; none otherwise.
    std::optional<LiveViewFocus> ReadLiveViewFocus();
    /// Moves the focus; false when the module refused or offers no focus position.
    bool SetLiveViewFocus(double value);

    // --- Notices -------------------------------------------------------------------------------

    /// "zarvXNotification" from this or a sibling program: with "senderApp" and "filePath",
    /// posts the new-image notice and asks Lookout to show the file.
    void handleSavedImageNotification(const Notification& notification);
    /// Posts the new-image notice for a saved file (empty: none), from the global queue.
    void sendUserNotificationForNewImage(const QString& path = QString());
    /// Removes delivered notices whose identifier equals this one, ignoring case; with none,
    /// every delivered notice.
    void removeOldNotificationsWithIdentifer(const std::optional<QString>& identifier);
    /// The camera-arrived notice (from the global queue) for the watcher's notification.
    void handleUsbDeviceAdded(const Notification& notification);
    /// The camera-removed notice, delivered on the calling thread.
    void handleUsbDeviceRemoved(const Notification& notification);

    // UserNotificationCenterDelegate.
    bool shouldPresentNotification(UserNotificationCenter& center,
                                   const UserNotification& notification) override;
    void didDeliverNotification(UserNotificationCenter& center,
                                const UserNotification& notification) override;
    void didActivateNotification(UserNotificationCenter& center,
                                 const UserNotification& notification) override;

    // --- Settings ------------------------------------------------------------------------------
    // Reads leave their result in the user default "prefLastNikonResponse" (removed first);
    // failures leave {"error": text} there. Kinds are compared ignoring case.

    /// Reads a capability of kind "enumtype", "rangetype" or "unsignedtype".
    int16_t GetCameraInfo(uint32_t capability, const QString& withType);
    /// Writes a capability: the 1-based position for "enumtype", the value for the others.
    int16_t SetCameraInfo(const QVariant& value, uint32_t forCapability, const QString& wtihType);
    /// Reads kNkMAIDCapability_ImageSize as an enumeration.
    int16_t GetImageSize();
    /// "enumstring" for kNkMAIDCapability_CompressionLevel, none for every other code.
    static std::optional<QString> getCapabilityTypeStringFromCapability(uint32_t capability);

private:
    // Forgets the module tree and what this connection knew of its pictures.
    void forgetConnection();
    QString modulePath(bool* tableNamedModule, QString* moduleName) const;
    // The shared frame of the settings operations: open the source, refresh the camera type,
    // run the body, turn an SDK failure into -1 (and an "error" record when storeErrors).
    int16_t runSettingsOperation(const QString& operation, bool storeErrors,
                                 const std::function<void(LPRefObj)>& body);
    void logCapabilityEntry(const QString& operation, uint32_t capability);
    bool openSourceForSettings(const QString& operation, bool storeErrors, LPRefObj* source,
                               int16_t* result);
    void refreshCameraType(LPRefObj source);
    void logResponse(const QString& operation);
    void afterSdkFailure(const QString& operation, int code);
    void releaseConnection(bool closeFirst);
    // FindCamera's three steps: the module's bundle bound, its module object opened and ready,
    // the camera's source opened. Each answers kFindCameraFound to go on.
    int16_t bindModuleBundle(const QString& operation);
    int16_t openModule();
    int16_t openSource(const QString& operation);
    // The probe's work on its opened module object: readied, a camera looked for, its source
    // opened and closed again. Whether a camera answered.
    bool probeOpenedModule(LPRefObj root, const QString& prefix);
    // The listed item not passed over that failed least often (the first of those); 0 when
    // none.
    uint32_t nextItemToSave();
    // Counts a failed fetch of the item; after a few, passes it over for this connection.
    void noteFailedFetch(uint32_t itemId);
    void sendUserNotificationForUnsavedPicture(uint32_t itemId);
    enum class ItemOpening { Ready, Refused, Dropped };
    // Opens the item and its image data for fetching. Refused comes with the reason; Dropped
    // means the camera removed the item meanwhile.
    ItemOpening openItemForSaving(uint32_t itemId, QString* why);
    QVariant deviceName() const;

    std::atomic<bool> m_fModuleLoaded = false;
    QString m_bundlePath; // the bundle this session loaded
    bool m_fCameraStatus = false;
    mutable QMutex m_mutex; // guards the two properties below
    UserNotificationCenter* m_fUserNotifCenter = nullptr;
    QVariantMap m_fUsbDeviceInfo;
    std::shared_ptr<SessionObserverLink> m_link;
    std::set<uint32_t> m_skippedItems;       // items of this connection not to fetch (again)
    std::map<uint32_t, int> m_failedFetches; // items of this connection that failed, by id
    uint32_t m_itemsSeen;                    // g_ulItemsAnnounced at the last PumpEvents
    LPRefObj m_sourceListed = nullptr;       // the source whose pictures PumpEvents last counted
    bool m_liveViewRunning = false;
    QByteArray m_liveViewBuffer; // where frames are read; grows to the largest
};

} // namespace zarv
