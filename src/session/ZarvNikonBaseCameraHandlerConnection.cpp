#include "session/ZarvNikonBaseCameraHandler.h"

#include "session/SessionSupport.h"

#include "messaging/ShotTimeline.h"
#include "modules/Architecture.h"
#include "modules/LookupTable.h"
#include "modules/ModuleInventory.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <QFileInfo>
#include <QThread>

#include <cstdio>
#include <functional>

namespace zarv {

using namespace session_detail;

// --- Discovery and connection ------------------------------------------------------------------

bool ZarvNikonBaseCameraHandler::isCameraConnected() const {
    if (!m_fModuleLoaded) {
        Log::info(zarvSession, QStringLiteral("module not loaded yet !!!!!"));
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
        Log::info(zarvSession,
                  QStringLiteral("module name is not a plain file name: %1").arg(file));
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

namespace {

// What readying an opened module object can fail on, in the order it is tried.
enum class ModuleReady { Yes, NoCapabilities, NoCallbacks, NoControllerMode };

// Its capabilities, the callbacks, controller mode and, where the module takes it, the camera's
// USB location.
ModuleReady readyModule(LPRefObj root, const QVariantMap& deviceInfo) {
    if (!EnumCapabilities(root->object, &root->capCount, &root->capInfos))
        return ModuleReady::NoCapabilities;
    if (!SetProc(root))
        return ModuleReady::NoCallbacks;
    if (!setControllerMode(root))
        return ModuleReady::NoControllerMode;
    tellUsbLocation(root, deviceInfo);
    return ModuleReady::Yes;
}

// Waits for the module to list a camera: the controller-mode wait, then up to `tries` looks 250
// ms apart, each announced to `looking` with the tries left. The tries left at the look that
// found one, or -1.
int waitForSource(LPRefObj root, int tries, uint32_t* sourceId,
                  const std::function<void(int)>& looking) {
    QThread::msleep(kControllerModeWaitMs);
    for (int retry = tries - 1; retry >= 0; --retry) {
        looking(retry);
        if (SelectSource(root, sourceId))
            return retry;
        QThread::msleep(kSourceRetryWaitMs);
    }
    return -1;
}

} // namespace

int16_t ZarvNikonBaseCameraHandler::FindCamera() {
    const QString op = QStringLiteral("FindCamera");
    Log::info(zarvSession, QStringLiteral("%1->%2 .......").arg(description(), op));
    try {
        if (const int16_t bound = bindModuleBundle(op); bound != kFindCameraFound)
            return bound;
        if (const int16_t opened = openModule(); opened != kFindCameraFound)
            return opened;
        return openSource(op);
    } catch (const MaidException& e) {
        Log::info(zarvSession, QStringLiteral("%1->%2 the camera module failed with %3")
                                   .arg(description(), op)
                                   .arg(e.code()));
    } catch (const std::exception& e) {
        Log::info(zarvSession, QStringLiteral("%1->%2 failed: %3")
                                   .arg(description(), op, QString::fromUtf8(e.what())));
    }
    releaseConnection(true);
    return kFindCameraFailed;
}

int16_t ZarvNikonBaseCameraHandler::bindModuleBundle(const QString& op) {
    // A probe may have bound another module since: bind the loaded bundle's entry again.
    if (m_fModuleLoaded) {
        const bool same = g_pModuleBundle && g_pModuleBundle->isLoaded() &&
                          g_pModuleBundle->bundlePath() == m_bundlePath;
        auto entry =
            same ? reinterpret_cast<LPMAIDEntryPointProc>(g_pModuleBundle->symbol(kEntryPointName))
                 : nullptr;
        if (entry) {
            g_pMAIDEntryPoint = entry;
            return kFindCameraFound;
        }
        Log::info(
            zarvSession,
            QStringLiteral("%1->%2 the module bundle is no longer loaded").arg(description(), op));
        m_fModuleLoaded = false;
    }

    Log::info(zarvSession,
              QStringLiteral("self.fUsbDeviceInfo = %1").arg(Log::describe(fUsbDeviceInfo())));
    bool named = false;
    QString moduleName;
    const QString path = modulePath(&named, &moduleName);
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        if (named) {
            Log::info(zarvSession, QStringLiteral("module not found at path: %1")
                                       .arg(path.isEmpty() ? moduleName : path));
            return kFindCameraModuleMissing;
        }
        Log::info(zarvSession, QStringLiteral("Unable to find corresponding module...."));
        return kFindCameraUnknownModel;
    }
    const int arch = isThis32bitMode() ? Bundle::I386 : Bundle::X86_64;
    if (!isModuleAtPath(path, arch)) {
        Log::info(zarvSession,
                  QStringLiteral("We cannot load this lookup table module - needs to be "
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
            Log::info(zarvSession,
                      QStringLiteral("UNAble to load bundle with error = %1").arg(error));
            UserDefaults::standard().setObject(kPrefCameraConnectionMessage, error);
            return kFindCameraFailed;
        }
        delete g_pModuleBundle;
        g_pModuleBundle = bundle;
    }
    QString error;
    auto entry =
        reinterpret_cast<LPMAIDEntryPointProc>(g_pModuleBundle->symbol(kEntryPointName, &error));
    if (!entry) {
        Log::info(zarvSession,
                  QStringLiteral("%1->%2 no %3 in %4: %5")
                      .arg(description(), op, QLatin1String(kEntryPointName), path, error));
        return kFindCameraFailed;
    }
    g_pMAIDEntryPoint = entry;
    m_bundlePath = g_pModuleBundle->bundlePath();
    m_fModuleLoaded = true;
    return kFindCameraFound;
}

int16_t ZarvNikonBaseCameraHandler::openModule() {
    if (!pRefMod) {
        pRefMod = newRootNode();
        if (!pRefMod) {
            Log::info(zarvSession,
                      QStringLiteral(
                          "TNikonBaseCameraHandler2::FindCamera => There is not enough memory."));
            return kFindCameraFailed;
        }
        g_pConnectionOwner = this;
        if (!Command_Open(nullptr, pRefMod->object, 0)) {
            Log::info(
                zarvSession,
                QStringLiteral(
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

    switch (readyModule(pRefMod, fUsbDeviceInfo())) {
    case ModuleReady::Yes:
        return kFindCameraFound;
    case ModuleReady::NoCapabilities:
        Log::info(
            zarvSession,
            QStringLiteral(
                "TNikonBaseCameraHandler2::FindCamera => Failed in enumeration of capabilities."));
        releaseConnection(true);
        return kFindCameraFailed;
    case ModuleReady::NoCallbacks:
        Log::info(
            zarvSession,
            QStringLiteral(
                "TNikonBaseCameraHandler2::FindCamera => Failed in setting a call back function."));
        releaseConnection(true);
        return kFindCameraFailed;
    case ModuleReady::NoControllerMode:
        Log::info(zarvSession,
                  QStringLiteral("TNikonBaseCameraHandler2::FindCamera => Failed in setting "
                                 "kNkMAIDCapability_ModuleMode."));
        return kFindCameraFailed;
    }
    return kFindCameraFailed;
}

int16_t ZarvNikonBaseCameraHandler::openSource(const QString& op) {
    const int retry = waitForSource(pRefMod, kFindCameraTries, &ulSrcID, [](int left) {
        Log::info(zarvSession,
                  QStringLiteral("inside findcamera - looping retyrcount = %1").arg(left));
    });
    if (retry < 0) {
        Log::info(zarvSession,
                  QStringLiteral(
                      "TNikonBaseCameraHandler2::FindCamera => SelectSource returned false\n"));
        releaseConnection(true);
        return kFindCameraFailed;
    }
    Log::info(zarvSession, QStringLiteral("inside findcamera - final retyrcount = %1").arg(retry));

    if (ulSrcID != 0) {
        Log::diagnostic("ulSrcID = [%i]\n", int(ulSrcID));
        pRefSrc = GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID));
        if (!pRefSrc) {
            int32_t opened = kNkMAIDResult_NoError;
            if (!AddChild(pRefMod, int32_t(ulSrcID), &opened)) {
                if (opened == kNkMAIDResult_DeviceHeld) {
                    Log::info(zarvSession,
                              QStringLiteral("%1->%2 %3 is held by another program: the module "
                                             "cannot open it")
                                  .arg(description(), op, deviceName().toString()));
                    return kFindCameraDeviceHeld;
                }
                Log::info(zarvSession,
                          QStringLiteral("TNikonBaseCameraHandler2::FindCamera => Source object "
                                         "can't be opened.\n"));
                return kFindCameraFailed;
            }
            pRefSrc = GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID));
            if (!pRefSrc)
                Log::info(zarvSession, QStringLiteral("GetRefChildPtr_ID FAILED ????\n"));
        }
    } else {
        Log::info(zarvSession, QStringLiteral("ulSrcID <=0??????\n"));
    }

    if (pRefSrc) {
        m_skippedItems.clear();
        m_failedFetches.clear();
        Log::info(zarvSession, QStringLiteral("TNikonBaseCameraHandler2::Found a camera.\n"));
        const QVariant name = deviceName();
        setStatusOnMainQueue(kPrefNameOfCameraFound,
                             name.isValid() ? name.toString()
                                            : QStringLiteral("Unknown Nikon Camera???"));
        return kFindCameraFound;
    }
    Log::info(
        zarvSession,
        QStringLiteral("%1->%2  FINALLY FAILED to Find Camera......\n").arg(description(), op));
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
        Log::info(zarvSession,
                  QStringLiteral("%1 -> UNAble to load bundle with error = %2").arg(prefix, error));
        return -1;
    }
    auto entry = reinterpret_cast<LPMAIDEntryPointProc>(bundle.symbol(kEntryPointName, &error));
    if (!entry) {
        Log::info(
            zarvSession,
            QStringLiteral("%1 -> no %2: %3").arg(prefix, QLatin1String(kEntryPointName), error));
        return -1; // the bundle unloads as it goes out of scope
    }
    const LPMAIDEntryPointProc previousEntry = g_pMAIDEntryPoint;
    g_pMAIDEntryPoint = entry;

    LPRefObj root = newRootNode();
    bool found = false;
    if (!root) {
        Log::info(zarvSession, QStringLiteral("%1 => There is not enough memory222.").arg(prefix));
    } else {
        bool opened = false;
        try {
            opened = Command_Open(nullptr, root->object, 0);
            if (opened) {
                found = probeOpenedModule(root, prefix);
                if (!Close_Module(root))
                    Log::info(zarvSession,
                              QStringLiteral("%1 problme with closing module").arg(prefix));
            }
        } catch (const MaidException& e) {
            Log::info(
                zarvSession,
                QStringLiteral("%1 the camera module failed with %2").arg(prefix).arg(e.code()));
            found = false;
            if (opened)
                closeQuietly(root);
        } catch (const std::exception& e) {
            Log::info(zarvSession,
                      QStringLiteral("%1 failed: %2").arg(prefix, QString::fromUtf8(e.what())));
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
    Log::info(zarvSession, QStringLiteral("TNikonBaseCameraHandler2::Found a camera.\n"));
    const QVariant name = deviceName();
    setStatusOnMainQueue(kPrefNameOfCameraFound, name.isValid()
                                                     ? name.toString()
                                                     : QStringLiteral("Unknown Nikon Camera???"));
    return 0;
}

bool ZarvNikonBaseCameraHandler::probeOpenedModule(LPRefObj root, const QString& prefix) {
    switch (readyModule(root, fUsbDeviceInfo())) {
    case ModuleReady::Yes:
        break;
    case ModuleReady::NoCapabilities:
        Log::info(zarvSession,
                  QStringLiteral("%1 => Failed in enumeration of capabilities222.").arg(prefix));
        return false;
    case ModuleReady::NoCallbacks:
        Log::info(zarvSession,
                  QStringLiteral("%1 => Failed in setting a call back function.").arg(prefix));
        return false;
    case ModuleReady::NoControllerMode:
        Log::info(
            zarvSession,
            QStringLiteral("%1 => Failed in setting kNkMAIDCapability_ModuleMode.").arg(prefix));
        return false;
    }
    uint32_t sourceId = 0;
    const int retry = waitForSource(root, kProbeTries, &sourceId, [&prefix](int left) {
        Log::info(zarvSession,
                  QStringLiteral("%1 => looping retyrcount = %2").arg(prefix).arg(left));
    });
    if (retry < 0)
        return false;
    Log::info(zarvSession,
              QStringLiteral("%1 => found camera on retrycount = %2...").arg(prefix).arg(retry));
    // Opened, and given back at once: the probe leaves nothing open.
    if (sourceId != 0) {
        if (!GetRefChildPtr_ID(root, int32_t(sourceId))) {
            const bool ok = AddChild(root, int32_t(sourceId));
            Log::diagnostic(ok ? "Source object is opened.\n" : "Source object can't be opened.\n");
        }
        RemoveChild(root, int32_t(sourceId));
    }
    return true;
}

bool ZarvNikonBaseCameraHandler::CloseMyCamera() {
    Log::inside(zarvSession, description(), QStringLiteral("CloseMyCamera"));
    if (pRefMod) {
        closeQuietly(pRefMod);
        // Whatever the close could not take down is released without it.
        FreeRefObjTree(pRefMod, true);
    }
    forgetConnection();
    return true;
}

int16_t ZarvNikonBaseCameraHandler::CleanUp() {
    Log::inside(zarvSession, description(), QStringLiteral("CleanUp"));
    FreeRefObjTree(pRefMod, true);
    forgetConnection();
    ShotTimeline::shared().forgetItems();
    return 0;
}

void ZarvNikonBaseCameraHandler::forgetConnection() {
    pRefMod = nullptr;
    pRefSrc = nullptr;
    ulSrcID = 0;
    g_pConnectionOwner = nullptr;
    m_skippedItems.clear();
    m_failedFetches.clear();
    m_liveViewRunning = false;
}

int16_t ZarvNikonBaseCameraHandler::UnloadCamera() {
    Log::inside(zarvSession, description(), QStringLiteral("UnloadCamera"));
    // Unloading the code of a module that still has an open module object would strand it.
    closeQuietly(pRefMod);
    CleanUp();
    if (g_pModuleBundle && g_pModuleBundle->isLoaded()) {
        Log::info(zarvSession, QStringLiteral("executable bundle is loaded..."));
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
    Log::info(zarvSession, QStringLiteral("%1->%2 the camera module failed with %3")
                               .arg(description(), operation)
                               .arg(code));
    if (pRefSrc && (!pRefMod || GetRefChildPtr_ID(pRefMod, int32_t(ulSrcID)) != pRefSrc)) {
        Log::info(zarvSession,
                  QStringLiteral("%1->%2 the camera is gone").arg(description(), operation));
        pRefSrc = nullptr;
        releaseConnection(true);
    }
}

} // namespace zarv
