#include "session/ZarvNikonBaseCameraHandler.h"

#include "messaging/InboundPayload.h"
#include "messaging/OutboundNotifications.h"
#include "messaging/ShotTimeline.h"
#include "modules/Architecture.h"
#include "modules/Description.h"
#include "modules/LookupTable.h"
#include "modules/ModuleInventory.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "sdk/CallBack.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_set>

namespace zarv {

LPRefObj pRefMod = nullptr;
uint32_t ulSrcID = 0;
LPRefObj pRefSrc = nullptr;
uint32_t g_ulCameraType = 0;

namespace {

const QString kPrefNameOfCameraFound = QStringLiteral("prefNameOfCameraFound");
const QString kPrefCameraConnectionMessage = QStringLiteral("prefCameraConnectionMessage");
const QString kPrefLastNikonResponse = QStringLiteral("prefLastNikonResponse");
const QString kPrefShowUserNotifications = QStringLiteral("prefShowUserNotifications");
const QString kUnknownModule = QStringLiteral("Unknown Module.bundle");
const char* const kEntryPointName = "MAIDEntryPoint";

constexpr unsigned long kControllerModeWaitMs = 750;
constexpr unsigned long kSourceRetryWaitMs = 250;
constexpr int kFindCameraTries = 10;
constexpr int kProbeTries = 4;

// The loaded module bundle of the connection. Kept for the life of the process unless a session
// unloads it: like the Mac's bundles, it is never unloaded behind the module's back at exit.
Bundle* g_pModuleBundle = nullptr;
// The session that opened pRefMod; it closes the module if it goes away with it still open.
const ZarvNikonBaseCameraHandler* g_pConnectionOwner = nullptr;

void logLine(const QString& text) {
    qInfo().noquote() << text;
}

// A value as the Mac's "%@" writes it; "(null)" when absent.
QString fmt(const QVariant& value) {
    if (!value.isValid() || value.isNull())
        return QStringLiteral("(null)");
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    if (value.canConvert<qlonglong>() && value.typeId() != QMetaType::QVariantMap &&
        value.typeId() != QMetaType::QVariantList)
        return value.toString();
    return describe(value);
}

QString stringOrEmpty(const QVariant& value) {
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

// Sets a status text from the main queue, where the window's bindings read it.
void setStatusOnMainQueue(const QString& key, const QString& text) {
    DispatchQueue::main().async([key, text] { UserDefaults::standard().setObject(key, text); });
}

void sleepMs(unsigned long ms) {
    QThread::msleep(ms);
}

// Closes a module tree, ignoring every failure: used where the connection is being given up
// and the module must not keep an open module object that would refuse the next open.
void closeQuietly(LPRefObj root) {
    if (!root || !root->object)
        return;
    try {
        if (!Close_Module(root))
            logLine(QStringLiteral("Closing the module failed; its memory is released anyway"));
    } catch (const MaidException& e) {
        logLine(QStringLiteral("Closing the module failed with %1; its memory is released anyway")
                    .arg(e.code()));
    } catch (const std::exception& e) {
        logLine(QStringLiteral("Closing the module failed: %1").arg(QString::fromUtf8(e.what())));
    }
}

// A root node with its object record, as the module is opened with; null when memory is short.
LPRefObj newRootNode() {
    auto* node = static_cast<LPRefObj>(MaidAlloc(sizeof(tagRefObj)));
    if (!node)
        return nullptr;
    *node = tagRefObj{};
    InitRefObj(node);
    node->object = static_cast<tagNkMAIDObject*>(MaidAlloc(sizeof(tagNkMAIDObject)));
    if (!node->object) {
        MaidFree(node);
        return nullptr;
    }
    std::memset(node->object, 0, sizeof(tagNkMAIDObject));
    node->object->refClient = ptrToWord(node);
    return node;
}

// Puts the module in controller mode when it offers the setting. False when the set failed.
bool setControllerMode(LPRefObj root) {
    if (!CheckCapabilityOperation(root, kNkMAIDCapability_ModuleMode, kNkMAIDCapOperation_Set))
        return true;
    return Command_CapSet(root->object, kNkMAIDCapability_ModuleMode, kNkMAIDDataType_Unsigned,
                          kNkMAIDModuleMode_Controller);
}

// The USB bus and device numbers of the camera (udev's BUSNUM and DEVNUM), as
// (bus << 16) | device; 0 when unknown.
uint32_t usbLocationOf(const QVariantMap& usbProperties) {
    bool busOk = false, deviceOk = false;
    const uint bus = usbProperties.value(QStringLiteral("BUSNUM")).toUInt(&busOk);
    const uint device = usbProperties.value(QStringLiteral("DEVNUM")).toUInt(&deviceOk);
    if (!busOk || !deviceOk || bus == 0 || device == 0 || bus > 0xffff || device > 0xffff)
        return 0;
    return (bus << 16) | device;
}

// Tells a module that sees several cameras (and card readers) which one the program found on
// USB, when it takes that. A module that does not is used unchanged.
void tellUsbLocation(LPRefObj root, const QVariantMap& deviceInfo) {
    const uint32_t location =
        usbLocationOf(deviceInfo.value(QStringLiteral("usbproperties")).toMap());
    if (!location ||
        !CheckCapabilityOperation(root, kNkMAIDCapability_UsbLocation, kNkMAIDCapOperation_Set))
        return;
    if (Command_CapSet(root->object, kNkMAIDCapability_UsbLocation, kNkMAIDDataType_Unsigned,
                       location))
        logLine(QStringLiteral("The module is to open the camera on USB bus %1, device %2")
                    .arg(location >> 16)
                    .arg(location & 0xffff));
}

QString activationTypeName(UserNotification::ActivationType type) {
    switch (type) {
    case UserNotification::ActivationType::None:
        return QStringLiteral("NSUserNotificationActivationTypeNone");
    case UserNotification::ActivationType::ContentsClicked:
        return QStringLiteral("NSUserNotificationActivationTypeContentsClicked");
    case UserNotification::ActivationType::ActionButtonClicked:
        return QStringLiteral("NSUserNotificationActivationTypeActionButtonClicked");
    case UserNotification::ActivationType::Replied:
        return QStringLiteral("NSUserNotificationActivationTypeReplied");
    }
    return QString();
}

void removeOldNotifications(UserNotificationCenter* center,
                            const std::optional<QString>& identifier) {
    if (!center)
        return;
    if (!identifier) {
        center->removeAllDeliveredNotifications();
        return;
    }
    for (const UserNotification& n : center->deliveredNotifications())
        if (n.identifier.compare(*identifier, Qt::CaseInsensitive) == 0)
            center->removeDeliveredNotification(n);
}

// Replaces the camera's previous notice with this one, if notices are wanted.
void deliverReplacing(UserNotificationCenter* center, const UserNotification& notice,
                      const QString& owner, const QString& operation) {
    removeOldNotifications(center, notice.identifier);
    if (!UserDefaults::standard().boolForKey(kPrefShowUserNotifications)) {
        logLine(QStringLiteral("Inside %1 => %2...prefShowUserNotifications is disabled...")
                    .arg(owner, operation));
        return;
    }
    if (center)
        center->deliverNotification(notice);
}

// The camera's USB description from a watcher notification or a device dictionary.
struct UsbFacts {
    QVariant product, serial, location, vendor;
    explicit UsbFacts(const QVariantMap& props)
        : product(props.value(QStringLiteral("USB Product Name"))),
          serial(props.value(QStringLiteral("USB Serial Number"))),
          location(props.value(QStringLiteral("locationID"))),
          vendor(props.value(QStringLiteral("USB Vendor Name"))) {}
    QString identifier() const { return QStringLiteral("%1-%2").arg(fmt(product), fmt(location)); }
    QString locationHex() const {
        bool ok = false;
        const qulonglong value = location.toULongLong(&ok);
        return QString::number(ok ? value : 0, 16);
    }
};

// Logs the lookup table's module for a camera, as "Need to <verb> Module: [...]".
void logModuleFor(const QString& owner, const QString& operation, const QString& product,
                  const QString& verb) {
    if (product.isEmpty())
        return;
    const auto table = getNikonLookupTable();
    if (!table || !table->contains(product))
        return;
    const QVariant entry = table->value(product);
    logLine(QStringLiteral("Inside %1 => %2...moduleInfo = [%3]")
                .arg(owner, operation, describe(entry)));
    logLine(QStringLiteral("Need to %1 Module: [%2]")
                .arg(verb, fmt(entry.toMap().value(QStringLiteral("modulename")))));
}

} // namespace

// --- Links that outlive a session --------------------------------------------------------------

// Carries the distributed centre's calls to the session while it exists; the observer keeps the
// link, so a call that arrives while the session goes away finds it gone instead of freed.
class SessionObserverLink {
public:
    std::recursive_mutex mutex;
    ZarvNikonBaseCameraHandler* session = nullptr;
    DistributedNotificationCenter::Token token = 0;
    bool observing = false;
};

namespace {

// The delegate the default centre is given: it forwards to the session that set it up last,
// and answers for itself once that session is gone. Never destroyed: the centre outlives
// every session.
class DelegateProxy : public UserNotificationCenterDelegate {
public:
    bool shouldPresentNotification(UserNotificationCenter& c, const UserNotification& n) override {
        std::lock_guard lock(mutex);
        return target ? target->shouldPresentNotification(c, n) : true;
    }
    void didDeliverNotification(UserNotificationCenter& c, const UserNotification& n) override {
        std::lock_guard lock(mutex);
        if (target)
            target->didDeliverNotification(c, n);
    }
    void didActivateNotification(UserNotificationCenter& c, const UserNotification& n) override {
        std::lock_guard lock(mutex);
        if (target)
            target->didActivateNotification(c, n);
    }
    std::recursive_mutex mutex;
    ZarvNikonBaseCameraHandler* target = nullptr;
};

DelegateProxy& delegateProxy() {
    static auto* proxy = new DelegateProxy;
    return *proxy;
}

} // namespace

// --- Creation ----------------------------------------------------------------------------------

ZarvNikonBaseCameraHandler::ZarvNikonBaseCameraHandler()
    : m_link(new SessionObserverLink), m_itemsSeen(g_ulItemsAnnounced.load()) {
    m_fCameraStatus = false;
    m_fModuleLoaded = false;
    if (pRefMod)
        logLine(QStringLiteral("%1: a new session forgets the open connection of another")
                    .arg(description()));
    pRefMod = nullptr;
    pRefSrc = nullptr;
    ulSrcID = 0;
    g_pConnectionOwner = nullptr;
    setup();
}

ZarvNikonBaseCameraHandler::~ZarvNikonBaseCameraHandler() {
    teardown();
    {
        std::lock_guard lock(delegateProxy().mutex);
        if (delegateProxy().target == this)
            delegateProxy().target = nullptr;
    }
    {
        std::lock_guard lock(m_link->mutex);
        m_link->session = nullptr;
        if (m_link->observing)
            DistributedNotificationCenter::defaultCenter().removeObserver(m_link->token);
        m_link->observing = false;
    }
    // A session dropped while connected would leave the module with an open module object,
    // which the next session could not open again.
    if (g_pConnectionOwner == this && pRefMod) {
        logLine(
            QStringLiteral("%1 goes away while connected: closing the camera").arg(description()));
        CloseMyCamera();
    }
    if (g_pConnectionOwner == this)
        g_pConnectionOwner = nullptr;
}

QString ZarvNikonBaseCameraHandler::description() const {
    return QStringLiteral("<%1: 0x%2>").arg(className(), QString::number(quintptr(this), 16));
}

void ZarvNikonBaseCameraHandler::setup() {
    QMutexLocker locker(&m_mutex);
    if (!m_fUserNotifCenter) {
        m_fUserNotifCenter = &UserNotificationCenter::defaultUserNotificationCenter();
        {
            std::lock_guard lock(delegateProxy().mutex);
            delegateProxy().target = this;
        }
        UserNotificationCenter* center = m_fUserNotifCenter;
        auto install = [center] { center->setDelegate(&delegateProxy()); };
        if (DispatchQueue::main().isCurrent())
            install();
        else
            DispatchQueue::main().async(install);
    }
    locker.unlock();

    std::lock_guard lock(m_link->mutex);
    if (m_link->observing)
        return;
    m_link->session = this;
    std::weak_ptr<SessionObserverLink> weak = m_link;
    m_link->token = DistributedNotificationCenter::defaultCenter().addObserver(
        sZarvXNotification, [weak](const Notification& n) {
            const auto link = weak.lock();
            if (!link)
                return;
            std::lock_guard guard(link->mutex);
            if (link->session)
                link->session->handleSavedImageNotification(n);
        });
    m_link->observing = true;
}

void ZarvNikonBaseCameraHandler::teardown() {
    QMutexLocker locker(&m_mutex);
    m_fUserNotifCenter = nullptr;
}

UserNotificationCenter* ZarvNikonBaseCameraHandler::fUserNotifCenter() const {
    QMutexLocker locker(&m_mutex);
    return m_fUserNotifCenter;
}

void ZarvNikonBaseCameraHandler::setFUserNotifCenter(UserNotificationCenter* center) {
    QMutexLocker locker(&m_mutex);
    m_fUserNotifCenter = center;
}

QVariantMap ZarvNikonBaseCameraHandler::fUsbDeviceInfo() const {
    QMutexLocker locker(&m_mutex);
    return m_fUsbDeviceInfo;
}

void ZarvNikonBaseCameraHandler::setFUsbDeviceInfo(const QVariantMap& info) {
    QMutexLocker locker(&m_mutex);
    m_fUsbDeviceInfo = info;
}

QVariant ZarvNikonBaseCameraHandler::deviceName() const {
    return fUsbDeviceInfo().value(QStringLiteral("deviceName"));
}

// --- Capability table --------------------------------------------------------------------------

QVariantMap ZarvNikonBaseCameraHandler::GetCapabilityTable() {
    struct Row {
        const char* name;
        int32_t value;
        const char* type;
    };
    static const Row rows[] = {
        {"kNkMAIDCapability_ImageSize", 33111, "enumtype"},
        {"kNkMAIDCapability_CompressionLevel", 33040, "enumtype"},
        {"kNkMAIDCapability_WBMode", 33048, "enumtype"},
        {"kNkMAIDCapability_Sensitivity", 33047, "enumtype"},
        {"kNkMAIDCapability_PictureControl", 33326, "enumtype"},
        {"kNkMAIDCapability_LiveViewImageZoomRate", 33343, "enumtype"},
        {"kNkMAIDCapability_LiveViewImageSize", 33619, "enumtype"},
        {"kNkMAIDCapability_WBTuneAuto", 33049, "rangetype"},
        {"kNkMAIDCapability_WBTuneIncandescent", 33050, "rangetype"},
        {"kNkMAIDCapability_WBTuneFluorescent", 33051, "rangetype"},
        {"kNkMAIDCapability_WBTuneSunny", 33052, "rangetype"},
        {"kNkMAIDCapability_WBTuneFlash", 33053, "rangetype"},
        {"kNkMAIDCapability_WBTuneShade", 33054, "rangetype"},
        {"kNkMAIDCapability_WBTuneCloudy", 33055, "rangetype"},
        {"kNkMAIDCapability_FlashMode", 53, "enumtype"},
        {"kNkMAIDCapability_ExposureMode", 33041, "enumtype"},
        {"kNkMAIDCapability_Aperture", 33043, "enumtype"},
        {"kNkMAIDCapability_ShutterSpeed", 33042, "enumtype"},
        {"kNkMAIDCapability_FocusAreaMode", 33057, "enumtype"},
        {"kNkMAIDCapability_FocusPreferredArea", 33058, "enumtype"},
        {"kNkMAIDCapability_FlexibleProgram", 33044, "rangetype"},
        {"kNkMAIDCapability_ExposureComp", 33045, "rangetype"},
        {"kNkMAIDCapability_AsyncRate", 1, "unsignedtype"},
        {"kNkMAIDCapability_Name", 9, "unsignedtype"},
        {"kNkMAIDCapability_ModuleType", 54, "unsignedtype"},
        {"kNkMAIDCapability_Version", 58, "unsignedtype"},
        {"kNkMAIDCapability_SaveMedia", 33541, "unsignedtype"},
    };
    QVariantMap table;
    for (const Row& row : rows) {
        const QString name = QString::fromLatin1(row.name);
        table.insert(name,
                     QVariantMap{{QStringLiteral("kNkMAIDCapability"), name},
                                 {QStringLiteral("value"), row.value},
                                 {QStringLiteral("valuetype"), QString::fromLatin1(row.type)}});
    }
    return table;
}

// --- Discovery and connection ------------------------------------------------------------------

bool ZarvNikonBaseCameraHandler::isCameraConnected() const {
    if (!m_fModuleLoaded) {
        logLine(QStringLiteral("module not loaded yet !!!!!"));
        return false;
    }
    return ulSrcID != 0 && pRefSrc != nullptr;
}

QString ZarvNikonBaseCameraHandler::modulePath(bool* tableNamedModule, QString* moduleName) const {
    const QString name = deviceName().toString();
    *tableNamedModule = false;
    QString file = kUnknownModule;
    if (const auto table = currentNikonLookupTable()) {
        if (const auto named = moduleNameForCamera(*table, name)) {
            *tableNamedModule = true;
            file = *named;
        }
    }
    if (moduleName)
        *moduleName = file;
    // A table from a file may name anything; only a plain name inside the folder is looked at.
    if (!isPlainModuleName(file)) {
        logLine(QStringLiteral("module name is not a plain file name: %1").arg(file));
        return QString();
    }
    QString folder = moduleFolder();
    while (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    return folder + u'/' + file;
}

std::optional<QString> ZarvNikonBaseCameraHandler::GetPathToModule() const {
    bool named = false;
    const QString path = modulePath(&named, nullptr);
    if (path.isEmpty() || !QFileInfo::exists(path))
        return std::nullopt;
    return path;
}

bool ZarvNikonBaseCameraHandler::isModuleAtPath(const QString& path, int type) const {
    return zarv::isModuleAtPath(path, type, className());
}

void ZarvNikonBaseCameraHandler::releaseConnection(bool closeFirst) {
    if (closeFirst)
        closeQuietly(pRefMod);
    CleanUp();
}

int16_t ZarvNikonBaseCameraHandler::FindCamera() {
    const QString op = QStringLiteral("FindCamera");
    logLine(QStringLiteral("%1->%2 .......").arg(description(), op));
    try {
        // A probe may have bound another module since: bind the loaded bundle's entry again.
        if (m_fModuleLoaded) {
            const bool same = g_pModuleBundle && g_pModuleBundle->isLoaded() &&
                              g_pModuleBundle->bundlePath() == m_bundlePath;
            auto entry = same ? reinterpret_cast<LPMAIDEntryPointProc>(
                                    g_pModuleBundle->symbol(kEntryPointName))
                              : nullptr;
            if (entry) {
                g_pMAIDEntryPoint = entry;
            } else {
                logLine(QStringLiteral("%1->%2 the module bundle is no longer loaded")
                            .arg(description(), op));
                m_fModuleLoaded = false;
            }
        }

        if (!m_fModuleLoaded) {
            logLine(QStringLiteral("self.fUsbDeviceInfo = %1").arg(describe(fUsbDeviceInfo())));
            bool named = false;
            QString moduleName;
            const QString path = modulePath(&named, &moduleName);
            if (path.isEmpty() || !QFileInfo::exists(path)) {
                if (named) {
                    logLine(QStringLiteral("module not found at path: %1")
                                .arg(path.isEmpty() ? moduleName : path));
                    return kFindCameraModuleMissing;
                }
                logLine(QStringLiteral("Unable to find corresponding module...."));
                return kFindCameraUnknownModel;
            }
            const int arch = isThis32bitMode() ? Bundle::I386 : Bundle::X86_64;
            if (!isModuleAtPath(path, arch)) {
                logLine(QStringLiteral("We cannot load this lookup table module - needs to be "
                                       "running in: %1 Mode")
                            .arg(isThis32bitMode() ? QStringLiteral("Older 32Bit or PPC")
                                                   : QStringLiteral("64Bit")));
                return kFindCameraWrongArchitecture;
            }

            g_pMAIDEntryPoint = nullptr;
            // The same bundle already loaded is the same bundle, as on the Mac.
            if (!g_pModuleBundle || !g_pModuleBundle->isLoaded() ||
                QFileInfo(g_pModuleBundle->bundlePath()).canonicalFilePath() !=
                    QFileInfo(path).canonicalFilePath()) {
                auto* bundle = new Bundle(path);
                QString error;
                if (!bundle->exists() || !bundle->load(&error)) {
                    if (error.isEmpty())
                        error = QStringLiteral("cannot create the bundle %1").arg(path);
                    delete bundle;
                    logLine(QStringLiteral("UNAble to load bundle with error = %1").arg(error));
                    UserDefaults::standard().setObject(kPrefCameraConnectionMessage, error);
                    return kFindCameraFailed;
                }
                delete g_pModuleBundle;
                g_pModuleBundle = bundle;
            }
            QString error;
            auto entry = reinterpret_cast<LPMAIDEntryPointProc>(
                g_pModuleBundle->symbol(kEntryPointName, &error));
            if (!entry) {
                logLine(QStringLiteral("%1->%2 no %3 in %4: %5")
                            .arg(description(), op, QLatin1String(kEntryPointName), path, error));
                return kFindCameraFailed;
            }
            g_pMAIDEntryPoint = entry;
            m_bundlePath = g_pModuleBundle->bundlePath();
            m_fModuleLoaded = true;
        }

        if (!pRefMod) {
            pRefMod = newRootNode();
            if (!pRefMod) {
                logLine(QStringLiteral(
                    "TNikonBaseCameraHandler2::FindCamera => There is not enough memory."));
                return kFindCameraFailed;
            }
            g_pConnectionOwner = this;
            if (!Command_Open(nullptr, pRefMod->object, 0)) {
                logLine(QStringLiteral(
                    "TNikonBaseCameraHandler2::FindCamera => Module object can't be opened.\n"));
                FreeRefObjTree(pRefMod, true);
                pRefMod = nullptr;
                g_pConnectionOwner = nullptr;
                return kFindCameraModuleNotOpened;
            }
        } else if (pRefMod->capInfos) {
            // Reused module: its list is fetched again.
            MaidFree(pRefMod->capInfos);
            pRefMod->capInfos = nullptr;
            pRefMod->capCount = 0;
        }

        if (!EnumCapabilities(pRefMod->object, &pRefMod->capCount, &pRefMod->capInfos)) {
            logLine(QStringLiteral(
                "TNikonBaseCameraHandler2::FindCamera => Failed in enumeration of capabilities."));
            releaseConnection(true);
            return kFindCameraFailed;
        }
        if (!SetProc(pRefMod)) {
            logLine(QStringLiteral(
                "TNikonBaseCameraHandler2::FindCamera => Failed in setting a call back function."));
            releaseConnection(true);
            return kFindCameraFailed;
        }
        if (!setControllerMode(pRefMod)) {
            logLine(QStringLiteral("TNikonBaseCameraHandler2::FindCamera => Failed in setting "
                                   "kNkMAIDCapability_ModuleMode."));
            return kFindCameraFailed;
        }
        tellUsbLocation(pRefMod, fUsbDeviceInfo());

        sleepMs(kControllerModeWaitMs);

        int retry = kFindCameraTries - 1;
        bool selected = false;
        for (; retry >= 0; --retry) {
            logLine(QStringLiteral("inside findcamera - looping retyrcount = %1").arg(retry));
            if (SelectSource(pRefMod, &ulSrcID)) {
                selected = true;
                break;
            }
            sleepMs(kSourceRetryWaitMs);
        }
        if (!selected) {
            logLine(QStringLiteral(
                "TNikonBaseCameraHandler2::FindCamera => SelectSource returned false\n"));
            releaseConnection(true);
            return kFindCameraFailed;
        }
        logLine(QStringLiteral("inside findcamera - final retyrcount = %1").arg(retry));

        if (ulSrcID != 0) {
            std::printf("ulSrcID = [%i]\n", int(ulSrcID));
            std::fflush(stdout);
            pRefSrc = GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID));
            if (!pRefSrc) {
                int32_t opened = kNkMAIDResult_NoError;
                if (!AddChild(pRefMod, int32_t(ulSrcID), &opened)) {
                    if (opened == kNkMAIDResult_DeviceHeld) {
                        logLine(QStringLiteral("%1->%2 %3 is held by another program: the module "
                                               "cannot open it")
                                    .arg(description(), op, deviceName().toString()));
                        return kFindCameraDeviceHeld;
                    }
                    logLine(QStringLiteral("TNikonBaseCameraHandler2::FindCamera => Source object "
                                           "can't be opened.\n"));
                    return kFindCameraFailed;
                }
                pRefSrc = GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID));
                if (!pRefSrc)
                    logLine(QStringLiteral("GetRefChildPtr_ID FAILED ????\n"));
            }
        } else {
            logLine(QStringLiteral("ulSrcID <=0??????\n"));
        }

        if (pRefSrc) {
            m_skippedItems.clear();
            m_failedFetches.clear();
            logLine(QStringLiteral("TNikonBaseCameraHandler2::Found a camera.\n"));
            const QVariant name = deviceName();
            setStatusOnMainQueue(kPrefNameOfCameraFound,
                                 name.isValid() ? name.toString()
                                                : QStringLiteral("Unknown Nikon Camera???"));
            return kFindCameraFound;
        }
        logLine(
            QStringLiteral("%1->%2  FINALLY FAILED to Find Camera......\n").arg(description(), op));
        releaseConnection(true);
        return kFindCameraFailed;
    } catch (const MaidException& e) {
        logLine(QStringLiteral("%1->%2 the camera module failed with %3")
                    .arg(description(), op)
                    .arg(e.code()));
    } catch (const std::exception& e) {
        logLine(QStringLiteral("%1->%2 failed: %3")
                    .arg(description(), op, QString::fromUtf8(e.what())));
    }
    releaseConnection(true);
    return kFindCameraFailed;
}

int16_t ZarvNikonBaseCameraHandler::SearchCameraWithModulePath(const QString& path) {
    const QString prefix =
        QStringLiteral("%1-%2").arg(className(), QStringLiteral("SearchCameraWithModulePath:"));
    if (path.isEmpty() || !QFileInfo::exists(path))
        return -1;
    Bundle bundle(path);
    if (!bundle.exists())
        return -1;
    QString error;
    if (!bundle.load(&error)) {
        logLine(QStringLiteral("%1 -> UNAble to load bundle with error = %2").arg(prefix, error));
        return -1;
    }
    auto entry = reinterpret_cast<LPMAIDEntryPointProc>(bundle.symbol(kEntryPointName, &error));
    if (!entry) {
        logLine(
            QStringLiteral("%1 -> no %2: %3").arg(prefix, QLatin1String(kEntryPointName), error));
        return -1; // the bundle unloads as it goes out of scope
    }
    const LPMAIDEntryPointProc previousEntry = g_pMAIDEntryPoint;
    g_pMAIDEntryPoint = entry;

    LPRefObj root = newRootNode();
    bool found = false;
    if (!root) {
        logLine(QStringLiteral("%1 => There is not enough memory222.").arg(prefix));
    } else {
        bool opened = false;
        try {
            opened = Command_Open(nullptr, root->object, 0);
            if (opened) {
                bool ready = false;
                if (!EnumCapabilities(root->object, &root->capCount, &root->capInfos))
                    logLine(QStringLiteral("%1 => Failed in enumeration of capabilities222.")
                                .arg(prefix));
                else if (!SetProc(root))
                    logLine(QStringLiteral("%1 => Failed in setting a call back function.")
                                .arg(prefix));
                else if (!setControllerMode(root))
                    logLine(QStringLiteral("%1 => Failed in setting kNkMAIDCapability_ModuleMode.")
                                .arg(prefix));
                else
                    ready = true;
                if (ready)
                    tellUsbLocation(root, fUsbDeviceInfo());

                uint32_t sourceId = 0;
                if (ready) {
                    sleepMs(kControllerModeWaitMs);
                    for (int retry = kProbeTries - 1; retry >= 0; --retry) {
                        logLine(
                            QStringLiteral("%1 => looping retyrcount = %2").arg(prefix).arg(retry));
                        if (SelectSource(root, &sourceId)) {
                            logLine(QStringLiteral("%1 => found camera on retrycount = %2...")
                                        .arg(prefix)
                                        .arg(retry));
                            found = true;
                            break;
                        }
                        sleepMs(kSourceRetryWaitMs);
                    }
                }
                if (found && sourceId != 0) {
                    if (!GetRefChildPtr_ID(root, int32_t(sourceId))) {
                        const bool ok = AddChild(root, int32_t(sourceId));
                        std::printf(ok ? "Source object is opened.\n"
                                       : "Source object can't be opened.\n");
                        std::fflush(stdout);
                    }
                    RemoveChild(root, int32_t(sourceId));
                }
                if (!Close_Module(root))
                    logLine(QStringLiteral("%1 problme with closing module").arg(prefix));
            }
        } catch (const MaidException& e) {
            logLine(
                QStringLiteral("%1 the camera module failed with %2").arg(prefix).arg(e.code()));
            found = false;
            if (opened)
                closeQuietly(root);
        } catch (const std::exception& e) {
            logLine(QStringLiteral("%1 failed: %2").arg(prefix, QString::fromUtf8(e.what())));
            found = false;
            if (opened)
                closeQuietly(root);
        }
        FreeRefObjTree(root, true);
    }
    bundle.unload();
    // The probe's module is gone: never leave its entry point bound.
    g_pMAIDEntryPoint = g_pModuleBundle && g_pModuleBundle->isLoaded() ? previousEntry : nullptr;

    if (!found)
        return -1;
    logLine(QStringLiteral("TNikonBaseCameraHandler2::Found a camera.\n"));
    const QVariant name = deviceName();
    setStatusOnMainQueue(kPrefNameOfCameraFound, name.isValid()
                                                     ? name.toString()
                                                     : QStringLiteral("Unknown Nikon Camera???"));
    return 0;
}

bool ZarvNikonBaseCameraHandler::CloseMyCamera() {
    Log::inside(description(), QStringLiteral("CloseMyCamera"));
    if (pRefMod) {
        closeQuietly(pRefMod);
        // Whatever the close could not take down is released without it.
        FreeRefObjTree(pRefMod, true);
    }
    pRefMod = nullptr;
    pRefSrc = nullptr;
    ulSrcID = 0;
    g_pConnectionOwner = nullptr;
    m_skippedItems.clear();
    m_failedFetches.clear();
    return true;
}

int16_t ZarvNikonBaseCameraHandler::CleanUp() {
    Log::inside(description(), QStringLiteral("CleanUp"));
    FreeRefObjTree(pRefMod, true);
    pRefMod = nullptr;
    pRefSrc = nullptr;
    ulSrcID = 0;
    g_pConnectionOwner = nullptr;
    m_skippedItems.clear();
    m_failedFetches.clear();
    ShotTimeline::shared().forgetItems();
    return 0;
}

int16_t ZarvNikonBaseCameraHandler::UnloadCamera() {
    Log::inside(description(), QStringLiteral("UnloadCamera"));
    // Unloading the code of a module that still has an open module object would strand it.
    closeQuietly(pRefMod);
    CleanUp();
    if (g_pModuleBundle && g_pModuleBundle->isLoaded()) {
        logLine(QStringLiteral("executable bundle is loaded..."));
        g_pModuleBundle->unload();
    }
    delete g_pModuleBundle;
    g_pModuleBundle = nullptr;
    m_fModuleLoaded = false;
    g_pMAIDEntryPoint = nullptr;
    return 0;
}

// Called after the SDK layer raised a failure: if the camera's source went with it (a removal
// frees the source's node), the connection is given up, so nothing points at freed memory.
void ZarvNikonBaseCameraHandler::afterSdkFailure(const QString& operation, int code) {
    logLine(QStringLiteral("%1->%2 the camera module failed with %3")
                .arg(description(), operation)
                .arg(code));
    if (pRefSrc && (!pRefMod || GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID)) != pRefSrc)) {
        logLine(QStringLiteral("%1->%2 the camera is gone").arg(description(), operation));
        pRefSrc = nullptr;
        releaseConnection(true);
    }
}

// --- Capture and saving ------------------------------------------------------------------------

int16_t ZarvNikonBaseCameraHandler::GrabImage() {
    const QString op = QStringLiteral("GrabImage");
    logLine(QStringLiteral("%1->%2 .......").arg(description(), op));
    if (!pRefSrc) {
        logLine(QStringLiteral("GrabImage -> pRefSrc is NIL.\n"));
        return -1;
    }
    try {
        if (!IssueProcess(pRefSrc, kNkMAIDCapability_Capture)) {
            logLine(QStringLiteral("%1->%2  Failed here1.........\n").arg(description(), op));
            return 0;
        }
        if (!Command_Async(pRefSrc->object)) {
            logLine(QStringLiteral("%1->%2  Failed here3.........\n").arg(description(), op));
            releaseConnection(true);
            return -2;
        }
    } catch (const MaidException& e) {
        logLine(QStringLiteral("GrabImage -> VERY BAD....\n"));
        afterSdkFailure(op, e.code());
    } catch (const std::exception&) {
        logLine(QStringLiteral("GrabImage -> VERY BAD....\n"));
        afterSdkFailure(op, kNkMAIDResult_UnexpectedError);
    }
    return 0;
}

bool ZarvNikonBaseCameraHandler::CheckIfNewImageGrabbed() {
    if (!pRefSrc)
        return false;
    try {
        uint32_t count = 0;
        if (CheckIfNewItem(pRefSrc, &count) && count > 0) {
            logLine(QStringLiteral("There are %1 item(s) to be saved...").arg(count));
            return true;
        }
    } catch (const MaidException& e) {
        afterSdkFailure(QStringLiteral("CheckIfNewImageGrabbed"), e.code());
    }
    return false;
}

uint32_t ZarvNikonBaseCameraHandler::nextItemToSave() {
    std::vector<uint32_t> items;
    if (!ListItems(pRefSrc, &items))
        return 0;
    // An id the camera no longer lists may come back as another picture: what is kept of the
    // connection's items stays as small as the camera's list.
    const std::unordered_set<uint32_t> listed(items.begin(), items.end());
    std::erase_if(m_skippedItems, [&](uint32_t id) { return !listed.contains(id); });
    std::erase_if(m_failedFetches,
                  [&](const auto& entry) { return !listed.contains(entry.first); });
    // A picture that failed waits behind the others: one that cannot be fetched never holds
    // back those after it.
    uint32_t next = 0;
    int fewest = INT_MAX;
    for (uint32_t id : items) {
        if (id == 0 || m_skippedItems.contains(id))
            continue;
        const auto failed = m_failedFetches.find(id);
        const int failures = failed == m_failedFetches.end() ? 0 : failed->second;
        if (failures < fewest) {
            next = id;
            fewest = failures;
            if (failures == 0)
                break;
        }
    }
    return next;
}

void ZarvNikonBaseCameraHandler::noteFailedFetch(uint32_t itemId) {
    constexpr int kMostFetches = 3;
    const int failures = ++m_failedFetches[itemId];
    if (failures < kMostFetches)
        return;
    m_failedFetches.erase(itemId);
    m_skippedItems.insert(itemId);
    logLine(QStringLiteral("%1->SaveImage passes over item 0x%2 until the camera is connected "
                           "again: it could not be fetched %3 times; it stays on the camera")
                .arg(description())
                .arg(itemId, 0, 16)
                .arg(failures));
    sendUserNotificationForUnsavedPicture(itemId);
}

void ZarvNikonBaseCameraHandler::sendUserNotificationForUnsavedPicture(uint32_t itemId) {
    const UsbFacts usb(fUsbDeviceInfo().value(QStringLiteral("usbproperties")).toMap());
    UserNotification notice;
    notice.title = fmt(usb.product);
    notice.subtitle = QStringLiteral("Picture Not Saved:");
    notice.informativeText =
        QStringLiteral("picture 0x%1 could not be fetched; it stays on the camera...")
            .arg(itemId, 0, 16);
    notice.identifier = QStringLiteral("%1-unsaved-%2").arg(usb.identifier()).arg(itemId, 0, 16);
    UserNotificationCenter* center = fUserNotifCenter();
    const QString owner = description();
    DispatchQueue::global().async([center, notice, owner] {
        deliverReplacing(center, notice, owner,
                         QStringLiteral("sendUserNotificationForUnsavedPicture"));
    });
}

ZarvNikonBaseCameraHandler::ItemOpening
ZarvNikonBaseCameraHandler::openItemForSaving(uint32_t itemId, QString* why) {
    // Every module call below may let the camera remove the item and its node with it: the node
    // is looked up again after each one, never kept.
    const auto item = [&] { return GetRefChildPtr_ID(pRefSrc, int32_t(itemId)); };
    if (!item()) {
        if (!AddChild(pRefSrc, int32_t(itemId))) {
            logLine(QStringLiteral("Item object can't be opened.\n"));
            *why = QStringLiteral("it cannot be opened");
            return ItemOpening::Refused;
        }
        logLine(QStringLiteral("Item object is opened.\n"));
        if (!item()) {
            *why = QStringLiteral("it cannot be opened");
            return ItemOpening::Refused;
        }
    }
    uint32_t dataType = 0;
    if (!SelectData(item(), &dataType)) {
        if (!item())
            return ItemOpening::Dropped;
        logLine(QStringLiteral("SelectData - failed"));
        *why = QStringLiteral("its data cannot be selected");
        return ItemOpening::Refused;
    }
    logLine(QStringLiteral("SelectData - succesful"));
    if (!item())
        return ItemOpening::Dropped;
    if (dataType != kNkMAIDDataObjType_Image) {
        *why = QStringLiteral("it has no image data");
        return ItemOpening::Refused;
    }
    // Opened here rather than inside the image loop, so that a refusal is told apart from a
    // transfer that failed (which the next tick tries again).
    if (!GetRefChildPtr_ID(item(), int32_t(kNkMAIDDataObjType_Image)) &&
        !AddChild(item(), int32_t(kNkMAIDDataObjType_Image))) {
        if (!item())
            return ItemOpening::Dropped;
        *why = QStringLiteral("its image data cannot be opened");
        return ItemOpening::Refused;
    }
    return item() ? ItemOpening::Ready : ItemOpening::Dropped;
}

void ZarvNikonBaseCameraHandler::SaveImage() {
    if (!pRefSrc) {
        logLine(QStringLiteral("SaveImage -> pRefSrc is NIL.\n"));
        return;
    }
    try {
        bool acquiring = false;
        // An item that cannot be fetched is passed over for the rest of the connection (it
        // stays on the camera); otherwise it would come first on every tick and keep every
        // later picture on the card.
        while (const uint32_t itemId = nextItemToSave()) {
            ShotTimeline::shared().noteFound(itemId);
            if (!acquiring)
                setStatusOnMainQueue(kPrefNameOfCameraFound,
                                     QStringLiteral("Acquiring New Image..."));
            acquiring = true;
            QString why;
            const ItemOpening opening = openItemForSaving(itemId, &why);
            if (opening == ItemOpening::Refused) {
                logLine(QStringLiteral("%1->SaveImage skips item 0x%2 until the camera is "
                                       "connected again: %3; it stays on the camera")
                            .arg(description())
                            .arg(itemId, 0, 16)
                            .arg(why));
                m_skippedItems.insert(itemId);
                continue;
            }
            LPRefObj item = GetRefChildPtr_ID(pRefSrc, int32_t(itemId));
            if (opening == ItemOpening::Dropped || !item) {
                // Nothing to fetch, and nothing to pass over: the camera no longer has it.
                logLine(QStringLiteral("%1->SaveImage: the camera dropped item 0x%2 before it "
                                       "was fetched")
                            .arg(description())
                            .arg(itemId, 0, 16));
                break;
            }
            g_bFileRemoved = false;
            int32_t outcome = 0;
            const bool fetched = ImageCommandLoop(item, kNkMAIDDataObjType_Image, &outcome);
            if (fetched)
                logLine(QStringLiteral("ImageCommandLoop - succesful"));
            else
                logLine(QStringLiteral("ImageCommandLoop - failed"));
            if (fetched)
                m_failedFetches.erase(itemId);
            if (g_bFileRemoved) {
                RemoveChild(pRefSrc, int32_t(itemId));
            } else if (fetched) {
                // Kept on the camera: saved once is enough, and its node serves no more.
                m_skippedItems.insert(itemId);
                RemoveChild(pRefSrc, int32_t(itemId));
            } else if (outcome != kNkMAIDResult_FileError) {
                // A save folder that cannot be written is no fault of the picture's.
                noteFailedFetch(itemId);
            }
            break;
        }
        if (!acquiring)
            return;
        const QVariantMap info = fUsbDeviceInfo();
        const QString name = info.isEmpty() ? QStringLiteral("UNKNOWN???NAME")
                                            : fmt(info.value(QStringLiteral("deviceName")));
        setStatusOnMainQueue(kPrefNameOfCameraFound, name);
    } catch (const std::exception& e) {
        // The picture being fetched stays on the camera: nothing was written and its item was
        // not dropped, so the next connection fetches it.
        logLine(QStringLiteral("SaveImage -> VERY BAD....\n"));
        const auto* maid = dynamic_cast<const MaidException*>(&e);
        logLine(QStringLiteral("%1->SaveImage the camera module failed with %2")
                    .arg(description())
                    .arg(maid ? maid->code() : int(kNkMAIDResult_UnexpectedError)));
        pRefSrc = nullptr; // may be freed already, when the camera went away
        releaseConnection(true);
    }
}

uint32_t ZarvNikonBaseCameraHandler::PumpEvents() {
    // Enough turns for a burst's announcements, few enough that a module that always says it
    // has more to do cannot hold the queue.
    constexpr int kMostTurns = 64;
    if (pRefSrc) {
        try {
            for (int turn = 0; turn < kMostTurns && pRefSrc; ++turn)
                if (CallMAIDEntryPoint(pRefSrc->object, kNkMAIDCommand_Async, 0,
                                       kNkMAIDDataType_Null, 0, nullptr,
                                       0) != kNkMAIDResult_Pending)
                    break;
        } catch (const MaidException& e) {
            afterSdkFailure(QStringLiteral("PumpEvents"), e.code());
        } catch (const std::exception&) {
            afterSdkFailure(QStringLiteral("PumpEvents"), kNkMAIDResult_UnexpectedError);
        }
    }
    const uint32_t announced = g_ulItemsAnnounced.load();
    uint32_t fresh = announced - m_itemsSeen;
    m_itemsSeen = announced;
    // The pictures already on the camera when it connected are never announced: the first
    // turns of a connection count them, so that they are fetched at once too.
    if (pRefSrc && pRefSrc != m_sourceListed) {
        m_sourceListed = pRefSrc;
        std::vector<uint32_t> items;
        try {
            if (ListItems(pRefSrc, &items))
                fresh += uint32_t(items.size());
        } catch (const MaidException& e) {
            afterSdkFailure(QStringLiteral("PumpEvents"), e.code());
        }
    }
    return fresh;
}

uint32_t ZarvNikonBaseCameraHandler::AsyncRate() {
    if (!pRefMod ||
        !CheckCapabilityOperation(pRefMod, kNkMAIDCapability_AsyncRate, kNkMAIDCapOperation_Get))
        return 0;
    uint32_t rate = 0;
    try {
        if (!Command_CapGet(pRefMod->object, kNkMAIDCapability_AsyncRate,
                            kNkMAIDDataType_UnsignedPtr, ptrToWord(&rate)))
            return 0;
    } catch (const MaidException& e) {
        afterSdkFailure(QStringLiteral("AsyncRate"), e.code());
        return 0;
    }
    return rate;
}

// --- Notices -----------------------------------------------------------------------------------

void ZarvNikonBaseCameraHandler::handleSavedImageNotification(const Notification& notification) {
    logLine(QStringLiteral("%1->handleSavedImageNotification: object = %2, userInfo = %3")
                .arg(description(), fmt(Log::capped(notification.object)),
                     describe(Log::capped(notification.userInfo))));
    const InboundPayload payload = readInboundPayload(notification);
    const QString sender = payload.senderApp.value_or(QString());
    const QString path = payload.filePath.value_or(QString());
    if (sender.isEmpty() || path.isEmpty())
        return;
    sendUserNotificationForNewImage(path);
    mySendLookoutAppNotificationWithFilePath(path);
}

void ZarvNikonBaseCameraHandler::sendUserNotificationForNewImage(const QString& path) {
    const UsbFacts usb(fUsbDeviceInfo().value(QStringLiteral("usbproperties")).toMap());
    UserNotification notice;
    notice.title = fmt(usb.product);
    notice.subtitle = QStringLiteral("Found New Image:");
    notice.informativeText = path.isEmpty()
                                 ? QStringLiteral("saved image...")
                                 : QFileInfo(path).completeBaseName() + QStringLiteral("...");
    notice.hasReplyButton = false;
    notice.soundName = QString();
    notice.hasActionButton = false;
    notice.actionButtonTitle = QStringLiteral("ACTION1");
    notice.identifier = usb.identifier();

    UserNotificationCenter* center = fUserNotifCenter();
    const QString owner = description();
    DispatchQueue::global().async([center, notice, owner] {
        deliverReplacing(center, notice, owner, QStringLiteral("sendUserNotificationForNewImage"));
    });
}

void ZarvNikonBaseCameraHandler::removeOldNotificationsWithIdentifer(
    const std::optional<QString>& identifier) {
    removeOldNotifications(fUserNotifCenter(), identifier);
}

void ZarvNikonBaseCameraHandler::handleUsbDeviceAdded(const Notification& notification) {
    const QString op = QStringLiteral("handleUsbDeviceAdded:");
    logLine(QStringLiteral("Inside %1 => %2...notification = %3")
                .arg(description(), op, describe(Log::capped(notification.userInfo))));
    const UsbFacts usb(notification.userInfo.value(QStringLiteral("usbproperties")).toMap());
    const QString product = stringOrEmpty(usb.product);
    if (product.isEmpty())
        return;
    logModuleFor(description(), op, product, QStringLiteral("Load"));
    UserNotification notice;
    notice.identifier = usb.identifier();
    notice.title = QStringLiteral("Found Device Vendor: %1").arg(fmt(usb.vendor));
    notice.subtitle = QStringLiteral(": %1 at 0x%2").arg(product, usb.locationHex());
    notice.informativeText = QStringLiteral("SN: %1").arg(fmt(usb.serial));
    notice.soundName = UserNotification::kDefaultSoundName;
    notice.hasReplyButton = false;
    notice.hasActionButton = false;
    notice.actionButtonTitle = QStringLiteral("ACTION1");

    UserNotificationCenter* center = fUserNotifCenter();
    const QString owner = description();
    DispatchQueue::global().async(
        [center, notice, owner, op] { deliverReplacing(center, notice, owner, op); });
}

void ZarvNikonBaseCameraHandler::handleUsbDeviceRemoved(const Notification& notification) {
    const QString op = QStringLiteral("handleUsbDeviceRemoved:");
    logLine(QStringLiteral("Inside %1 => %2...notification = %3")
                .arg(description(), op, describe(Log::capped(notification.userInfo))));
    const UsbFacts usb(notification.userInfo.value(QStringLiteral("usbproperties")).toMap());
    const QString product = stringOrEmpty(usb.product);
    logModuleFor(description(), op, product, QStringLiteral("Close"));
    UserNotification notice;
    notice.identifier = usb.identifier();
    notice.title = QStringLiteral("!! DEVICE REMOVED !!");
    notice.subtitle = QStringLiteral(" %1 at 0x%2").arg(fmt(usb.product), usb.locationHex());
    notice.informativeText = QStringLiteral("SN: %1").arg(fmt(usb.serial));
    notice.soundName = UserNotification::kDefaultSoundName;
    notice.hasReplyButton = false;
    notice.hasActionButton = false;
    deliverReplacing(fUserNotifCenter(), notice, description(), op);
    logLine(QStringLiteral("Inside %1 => %2...DONE...").arg(description(), op));
}

bool ZarvNikonBaseCameraHandler::shouldPresentNotification(UserNotificationCenter&,
                                                           const UserNotification&) {
    return true;
}

void ZarvNikonBaseCameraHandler::didDeliverNotification(UserNotificationCenter&,
                                                        const UserNotification&) {}

void ZarvNikonBaseCameraHandler::didActivateNotification(UserNotificationCenter&,
                                                         const UserNotification& notification) {
    logLine(activationTypeName(notification.activationType));
    if (notification.activationType == UserNotification::ActivationType::ActionButtonClicked &&
        notification.actionButtonTitle.compare(QLatin1String("action1"), Qt::CaseInsensitive) == 0)
        logLine(QStringLiteral("do some action1"));
}

// --- Settings ----------------------------------------------------------------------------------

bool ZarvNikonBaseCameraHandler::openSourceForSettings(const QString& operation, bool storeErrors,
                                                       LPRefObj* source, int16_t* result) {
    *source = pRefMod ? GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID)) : nullptr;
    if (*source)
        return true;
    if (!pRefMod || !AddChild(pRefMod, int32_t(ulSrcID))) {
        std::printf("Source object can't be opened.\n");
        std::fflush(stdout);
        if (storeErrors)
            UserDefaults::standard().setObject(
                kPrefLastNikonResponse,
                QVariantMap{
                    {QStringLiteral("error"), QStringLiteral("Source Object Can't be opened")}});
        *result = 0;
        return false;
    }
    std::printf("Source object is opened.\n");
    std::fflush(stdout);
    *source = GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID));
    if (*source)
        return true;
    logLine(QStringLiteral("%1-%2 -> pRefSrc is NIL.\n").arg(className(), operation));
    if (storeErrors)
        UserDefaults::standard().setObject(
            kPrefLastNikonResponse,
            QVariantMap{{QStringLiteral("error"), QStringLiteral("pRefSrc is nil????")}});
    *result = -1;
    return false;
}

void ZarvNikonBaseCameraHandler::refreshCameraType(LPRefObj source) {
    // A camera that does not list the camera type keeps the last one known; asking for it
    // anyway would fail every settings operation on such a camera.
    if (!CheckCapabilityOperation(source, kNkMAIDCapability_CameraType, kNkMAIDCapOperation_Get))
        return;
    Command_CapGet(source->object, kNkMAIDCapability_CameraType, kNkMAIDDataType_UnsignedPtr,
                   ptrToWord(&g_ulCameraType));
}

void ZarvNikonBaseCameraHandler::logResponse(const QString& operation) {
    const QVariant response = UserDefaults::standard().objectForKey(kPrefLastNikonResponse);
    logLine(QStringLiteral("%1->%2 .......Got back response = %3")
                .arg(description(), operation, fmt(response)));
}

int16_t
ZarvNikonBaseCameraHandler::runSettingsOperation(const QString& operation, bool storeErrors,
                                                 const std::function<void(LPRefObj)>& body) {
    LPRefObj source = nullptr;
    int16_t result = 0;
    try {
        if (!openSourceForSettings(operation, storeErrors, &source, &result))
            return result;
        refreshCameraType(source);
        logLine(QStringLiteral("start....."));
        body(source);
    } catch (const MaidException& e) {
        if (storeErrors)
            UserDefaults::standard().setObject(
                kPrefLastNikonResponse,
                QVariantMap{{QStringLiteral("error"),
                             QStringLiteral("Camera module failed with %1").arg(e.code())}});
        afterSdkFailure(operation, e.code());
        result = -1;
    }
    logResponse(operation);
    return result;
}

void ZarvNikonBaseCameraHandler::logCapabilityEntry(const QString& operation, uint32_t capability) {
    logLine(QStringLiteral("%1->%2 .......capability = 0x%3")
                .arg(description(), operation,
                     QStringLiteral("%1").arg(capability, 4, 16, QChar(u'0'))));
    UserDefaults::standard().removeObject(kPrefLastNikonResponse);
}

int16_t ZarvNikonBaseCameraHandler::GetCameraInfo(uint32_t capability, const QString& withType) {
    const QString op = QStringLiteral("GetCameraInfo:withType:");
    logCapabilityEntry(op, capability);
    return runSettingsOperation(op, true, [&](LPRefObj source) {
        if (withType.compare(QLatin1String("enumtype"), Qt::CaseInsensitive) == 0)
            GETEnumCapability(source, capability);
        else if (withType.compare(QLatin1String("rangetype"), Qt::CaseInsensitive) == 0)
            GETRangeCapability(source, capability);
        else if (withType.compare(QLatin1String("unsignedtype"), Qt::CaseInsensitive) == 0)
            GETUnsignedCapability(source, capability);
    });
}

int16_t ZarvNikonBaseCameraHandler::SetCameraInfo(const QVariant& value, uint32_t forCapability,
                                                  const QString& wtihType) {
    const QString op = QStringLiteral("SetCameraInfo:forCapability:wtihType:");
    logCapabilityEntry(op, forCapability);
    return runSettingsOperation(op, true, [&](LPRefObj source) {
        if (wtihType.compare(QLatin1String("enumtype"), Qt::CaseInsensitive) == 0) {
            SETEnumCapability(source, forCapability, uint16_t(value.toULongLong()));
        } else if (wtihType.compare(QLatin1String("rangetype"), Qt::CaseInsensitive) == 0) {
            SETRangeCapability(source, forCapability, value.toDouble());
        } else if (wtihType.compare(QLatin1String("unsignedtype"), Qt::CaseInsensitive) == 0) {
            logLine(QStringLiteral("%1-> WHAT the HECK??? [0x%2] for value=[%3].....")
                        .arg(op, QString::number(forCapability, 16))
                        .arg(value.toLongLong()));
            if (!SETUnsignedCapability(source, forCapability, uint32_t(value.toULongLong())))
                logLine(QStringLiteral("%1->%2 .......Failed to SETUnsignedCapability !!!!!!!!")
                            .arg(description(), op));
        }
    });
}

int16_t ZarvNikonBaseCameraHandler::GetImageSize() {
    const QString op = QStringLiteral("GetImageSize");
    logLine(QStringLiteral("%1->%2 .......").arg(description(), op));
    return runSettingsOperation(
        op, false, [](LPRefObj source) { GETEnumCapability(source, kNkMAIDCapability_ImageSize); });
}

std::optional<QString>
ZarvNikonBaseCameraHandler::getCapabilityTypeStringFromCapability(uint32_t capability) {
    if (capability == kNkMAIDCapability_CompressionLevel)
        return QStringLiteral("enumstring");
    return std::nullopt;
}

} // namespace zarv
