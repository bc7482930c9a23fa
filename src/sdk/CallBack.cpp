// Event, data, progress and UI-request procedures.

#include "sdk/CallBack.h"
#include "platform/Log.h"
#include "platform/Path.h"

#include "sdk/Function.h"
#include "sdk/Internal.h"
#include "sdk/PictureFile.h"

#include "messaging/OutboundNotifications.h"
#include "messaging/ShotTimeline.h"
#include "platform/UserDefaults.h"

#include <QDebug>
#include <QDir>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>

#include <sys/times.h>
#include <unistd.h>

namespace zarv {

bool g_bFileRemoved = false;
std::atomic<uint32_t> g_ulItemsAnnounced{0};
int32_t gNikonCameraCaptureCount = 0;
uint32_t g_ulProgressValue = 0;
bool g_bFirstCall = true;

using namespace sdk_internal;

namespace {

LPRefObj nodeOf(uint64_t refProc) {
    return wordToPtr<tagRefObj>(refProc);
}

bool refreshCapabilities(LPRefObj pRef) {
    retireBlock(pRef->capInfos);
    pRef->capInfos = nullptr;
    pRef->capCount = 0;
    return EnumCapabilities(pRef->object, &pRef->capCount, &pRef->capInfos);
}

// Opens an announced child unless it is open already: a module announcing a child twice (or
// answering an enumeration with children we know) must not make two nodes of one id.
bool addOnce(LPRefObj pRef, int32_t id) {
    return GetRefChildPtr_ID(pRef, id) == nullptr && AddChild(pRef, id);
}

// Opens a newly announced child and asks it for its own children.
bool addAndEnumerate(LPRefObj pRef, uint64_t data) {
    const auto id = static_cast<int32_t>(data);
    if (!addOnce(pRef, id))
        return false;
    if (LPRefObj child = GetRefChildPtr_ID(pRef, id))
        EnumChildrten(child->object);
    return true;
}

} // namespace

void ModEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data) {
    guarded(0, [&] {
        LPRefObj pRef = nodeOf(refProc);
        switch (ulEvent) {
        case kNkMAIDEvent_AddChild:
            if (addAndEnumerate(pRef, data))
                Log::diagnostic("ModEventProc - kNkMAIDEvent_AddChild.\n");
            break;
        case kNkMAIDEvent_RemoveChild:
            RemoveChild(pRef, static_cast<int32_t>(data));
            qCWarning(zarvSdk).noquote() << "ModEventProc - camera disconnected";
            RaiseMaidFailure(kNkMAIDResult_CameraRemoved);
            break;
        case kNkMAIDEvent_WarmingUp:
            Log::diagnostic("Event_WarmingUp to Module object is not supported.\n");
            qCInfo(zarvSdk).noquote()
                << "kNkMAIDEvent_WarmingUp to Module object is not supported.\n";
            break;
        case kNkMAIDEvent_WarmedUp:
            Log::diagnostic("Event_WarmedUp to Module object is not supported.\n");
            qCInfo(zarvSdk).noquote()
                << "kNkMAIDEvent_WarmedUp to Module object is not supported.\n";
            break;
        case kNkMAIDEvent_CapChange:
            refreshCapabilities(pRef);
            Log::diagnostic("ModEventProc - kNkMAIDEvent_CapChange(CapID=0x%llX) was changed.\n",
                            static_cast<unsigned long long>(data));
            break;
        case kNkMAIDEvent_OrphanedChildren:
            Log::diagnostic("ModEventProc - kNkMAIDEvent_OrphanedChildren.\n");
            break;
        case kNkMAIDEvent_CapChangeValueOnly:
            Log::diagnostic("ModEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                            static_cast<unsigned long long>(data));
            break;
        default:
            Log::diagnostic("ModEventProc - Detected unknown Event to the Module object.\n");
            Log::diagnostic("Detected unknown Event to the Module object.\n");
            break;
        }
        return 0;
    });
}

void SrcEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data) {
    guarded(0, [&] {
        LPRefObj pRef = nodeOf(refProc);
        switch (ulEvent) {
        case kNkMAIDEvent_AddChild:
            ShotTimeline::shared().noteShot(static_cast<uint32_t>(data));
            ++g_ulItemsAnnounced;
            if (addAndEnumerate(pRef, data))
                qCInfo(zarvSdk).noquote() << "...kNkMAIDEvent_AddChild...";
            break;
        case kNkMAIDEvent_RemoveChild:
            ShotTimeline::shared().noteGone(static_cast<uint32_t>(data));
            RemoveChild(pRef, static_cast<int32_t>(data));
            qCInfo(zarvSdk).noquote() << "...camera disconnected...";
            break;
        case kNkMAIDEvent_WarmingUp:
            Log::diagnostic("Event_WarmingUp to Source object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmedUp:
            Log::diagnostic("Event_WarmedUp to Source object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChange:
            refreshCapabilities(pRef);
            break;
        case kNkMAIDEvent_OrphanedChildren:
        case kNkMAIDEvent_CapChangeValueOnly:
        case kNkMAIDEvent_264:
            break;
        case kNkMAIDEvent_AddPreviewImage:
            Log::diagnostic("Event_AddPreviewImage to Item object is not supported.\n");
            break;
        case kNkMAIDEvent_AddVideoObject:
            Log::diagnostic("a Video object(ID=0x%llX) added in card.\n",
                            static_cast<unsigned long long>(data));
            break;
        case kNkMAIDEvent_RecordingStoppedByError:
            Log::diagnostic("Recording was stopped by error(%lld).\n",
                            static_cast<long long>(data));
            break;
        default:
            Log::diagnostic("Detected unknown Event to the Source object.\n");
            break;
        }
        return 0;
    });
}

void ItmEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data) {
    guarded(0, [&] {
        LPRefObj pRef = nodeOf(refProc);
        switch (ulEvent) {
        case kNkMAIDEvent_AddChild:
            addOnce(pRef, static_cast<int32_t>(data));
            break;
        case kNkMAIDEvent_RemoveChild:
            RemoveChild(pRef, static_cast<int32_t>(data));
            break;
        case kNkMAIDEvent_WarmingUp:
            Log::diagnostic("Event_WarmingUp to Item object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmedUp:
            Log::diagnostic("Event_WarmedUp to Item object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChange:
            refreshCapabilities(pRef);
            break;
        case kNkMAIDEvent_OrphanedChildren:
            break;
        case kNkMAIDEvent_CapChangeValueOnly:
            Log::diagnostic("ItmEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                            static_cast<unsigned long long>(data));
            break;
        default:
            Log::diagnostic("Detected unknown Event to the Item object.\n");
            break;
        }
        return 0;
    });
}

void DatEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data) {
    guarded(0, [&] {
        LPRefObj pRef = nodeOf(refProc);
        switch (ulEvent) {
        case kNkMAIDEvent_AddChild:
            Log::diagnostic("Event_AddChild to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_RemoveChild:
            Log::diagnostic("Event_RemoveChild to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmingUp:
            Log::diagnostic("Event_WarmingUp to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmedUp:
            Log::diagnostic("Event_WarmedUp to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChange:
            if (refreshCapabilities(pRef))
                Log::diagnostic(
                    "DatEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                    static_cast<unsigned long long>(data));
            break;
        case kNkMAIDEvent_OrphanedChildren:
            Log::diagnostic("Event_OrphanedChildren to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChangeValueOnly:
            Log::diagnostic("DatEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                            static_cast<unsigned long long>(data));
            break;
        default:
            Log::diagnostic("Detected unknown Event to the Data object.\n");
            break;
        }
        return 0;
    });
}

// --- Saving ----------------------------------------------------------------------------------

std::string SaveFolderPath() {
    QString folder = UserDefaults::standard().stringForKey(QStringLiteral("prefSaveFolderPath"));
    if (folder.trimmed().isEmpty()) {
        folder = QDir::homePath() + QStringLiteral("/Pictures/ZarvNikonCapture");
        qCWarning(zarvSdk).noquote()
            << QStringLiteral("prefSaveFolderPath is not set; saving in %1").arg(folder);
    }
    return expandingTildeInPath(folder).toStdString();
}

namespace {

std::string timeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(now.tv_nsec / 1000000));
    return text;
}

bool ensureFolder(const std::string& folder) {
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec))
        return true;
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder)) {
        qCWarning(zarvSdk).noquote()
            << QStringLiteral("Cannot create the save folder %1: %2")
                   .arg(QString::fromStdString(folder), QString::fromStdString(ec.message()));
        return false;
    }
    return true;
}

const char* extensionFor(uint32_t fileType) {
    switch (fileType) {
    case kNkMAIDFileDataType_JPEG:
        return ".jpg";
    case kNkMAIDFileDataType_TIFF:
        return ".tif";
    case kNkMAIDFileDataType_NEF:
        return ".nef";
    case kNkMAIDFileDataType_NDF:
        return ".ndf";
    case kNkMAIDFileDataType_NRW:
        return ".nrw";
    case kNkMAIDFileDataType_HEIF:
        return ".hif";
    default:
        return ".dat";
    }
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// One piece as the module describes it, in either layout.
struct Piece {
    uint32_t kind = 0;
    bool fileLayout = false;
    uint64_t total = 0;  // the picture's size in bytes
    uint64_t length = 0; // this piece's
    uint64_t start = 0;  // where it goes (file layout only)
    uint32_t fileType = 0;
    bool removed = false;
};

Piece describePiece(const void* pDataInfo) {
    Piece p;
    p.kind = static_cast<const tagNkMAIDDataInfo*>(pDataInfo)->ulType;
    p.fileLayout = (p.kind & kNkMAIDDataObjType_File) != 0;
    if (p.fileLayout) {
        const auto* info = static_cast<const tagNkMAIDFileInfo*>(pDataInfo);
        p.total = info->ulTotalLength;
        p.length = info->ulLength;
        p.start = info->ulStart;
        p.fileType = info->ulFileDataType;
        p.removed = info->fRemoveObject != 0;
    } else {
        const auto* info = static_cast<const tagNkMAIDImageInfo*>(pDataInfo);
        p.total = uint64_t(info->ulTotalRows) * info->ulRowBytes;
        p.length = uint64_t(info->ulRows) * info->ulRowBytes;
        p.removed = info->fRemoveObject != 0;
    }
    return p;
}

// The picture being received, behind the data record's buffer word: its file (see PictureFile)
// in the folder it will be saved in, so a picture costs no memory of its size and its last byte
// is on its way to the disk as soon as it arrives.
struct Reception {
    PictureFile file;
    bool fileLayout = false; // fixed by the first piece: it decides the folder
};

Reception* receptionOf(const tagDataRecord* rec) {
    return wordToPtr<Reception>(rec->pBuffer);
}

// Makes the picture's file; -118 when memory is short, -117 when the file cannot be made.
int32_t openPicture(tagDataRecord* rec, const std::string& folder, bool fileLayout) {
    void* memory = MaidAlloc(sizeof(Reception));
    if (!memory) {
        Log::diagnostic("There is not enough memory.\n");
        return kNkMAIDResult_OutOfMemory;
    }
    auto* reception = new (memory) Reception;
    if (!reception->file.begin(folder)) {
        qCWarning(zarvSdk).noquote() << QStringLiteral("problem with fopen file at: %1 (%2)")
                                            .arg(QString::fromStdString(folder), errnoText());
        reception->~Reception();
        MaidFree(memory);
        return kNkMAIDResult_FileError;
    }
    reception->fileLayout = fileLayout;
    rec->pBuffer = ptrToWord(reception);
    return kNkMAIDResult_NoError;
}

void resetRecord(tagDataRecord* rec) {
    rec->pBuffer = 0;
    rec->ulOffset = 0;
    rec->ulTotal = 0;
}

int32_t refuse(tagDataRecord* rec, const QString& why) {
    qCWarning(zarvSdk).noquote() << QStringLiteral("DataProc refused a piece: %1").arg(why);
    DiscardPicture(rec);
    rec->fFailed = 1;
    return kNkMAIDResult_OutOfMemory;
}

int32_t failWrite(tagDataRecord* rec, const std::string& what) {
    qCWarning(zarvSdk).noquote() << QStringLiteral("problem with fopen file at: %1 (%2)")
                                        .arg(QString::fromStdString(what), errnoText());
    DiscardPicture(rec);
    rec->fFailed = 1;
    return kNkMAIDResult_FileError;
}

// The first piece makes the picture's file, and every piece must fit the picture. 0 to take
// the piece, or the result that refuses it.
int32_t admit(tagDataRecord* rec, const Piece& p, const void* pData) {
    if (p.total == 0)
        return refuse(rec, QStringLiteral("the picture's total size is 0"));
    if (p.total > UINT32_MAX)
        return refuse(rec,
                      QStringLiteral("the picture's size (%1 bytes) exceeds 4 GiB").arg(p.total));
    if (rec->ulOffset > 0 && !rec->pBuffer) {
        Log::diagnostic("There is not enough memory.\n");
        return kNkMAIDResult_OutOfMemory;
    }
    if (!rec->pBuffer) {
        ShotTimeline::shared().noteFirstByte(uint32_t(rec->lID));
        // The file layout goes to the save folder, the row layout to the current one.
        const std::string folder = p.fileLayout ? SaveFolderPath() : std::string(".");
        if (!ensureFolder(folder)) {
            rec->fFailed = 1;
            return kNkMAIDResult_FileError;
        }
        // The save folder may have changed since the start's sweep.
        RemoveLeftoverTransferFilesOnce(folder);
        const int32_t opened = openPicture(rec, folder, p.fileLayout);
        if (opened != kNkMAIDResult_NoError)
            return opened;
        rec->ulTotal = uint32_t(p.total);
        rec->ulOffset = 0;
    } else if (receptionOf(rec)->fileLayout != p.fileLayout) {
        // The picture's file was made in the first piece's folder; a file-layout picture
        // finished there would be announced outside the save folder.
        return refuse(rec, QStringLiteral("the layout changed between pieces"));
    } else if (p.total != rec->ulTotal) {
        return refuse(rec, QStringLiteral("the total size changed from %1 to %2 bytes")
                               .arg(rec->ulTotal)
                               .arg(p.total));
    }
    // Pieces are written in the order they arrive: one that does not start where the last
    // ended (another transfer's, or one sent twice) would scramble the picture.
    if (p.fileLayout && p.start != rec->ulOffset)
        return refuse(rec, QStringLiteral("a piece starts at byte %1 where byte %2 was next")
                               .arg(p.start)
                               .arg(rec->ulOffset));
    if (p.length > uint64_t(rec->ulTotal) - rec->ulOffset)
        return refuse(rec, QStringLiteral("a piece of %1 bytes after %2 overflows the %3 announced")
                               .arg(p.length)
                               .arg(rec->ulOffset)
                               .arg(rec->ulTotal));
    if (p.length > 0 && !pData)
        return refuse(rec, QStringLiteral("a piece without bytes"));
    return kNkMAIDResult_NoError;
}

// Names the complete row-layout picture <prefix>NNN.raw, the first free number.
int32_t completeRows(tagDataRecord* rec, const char* prefix, const Piece& p) {
    PictureFile& file = receptionOf(rec)->file;
    const auto numbered = [prefix](int attempt) -> std::string {
        const int n = attempt + 1;
        if (n > 1000000)
            return {};
        char name[64];
        std::snprintf(name, sizeof name, "%s%03d.raw", prefix, n);
        return name;
    };
    std::string name;
    if (!file.finish(numbered, &name))
        return failWrite(rec, name.empty() ? file.folder() : name);
    DiscardPicture(rec);
    if (p.removed && (p.kind & kNkMAIDDataObjType_Image))
        g_bFileRemoved = true;
    return kNkMAIDResult_NoError;
}

// Names the complete picture <prefix>_<time stamp><extension> in the save folder and announces it.
int32_t completeFile(tagDataRecord* rec, const char* prefix, const Piece& p) {
    PictureFile& file = receptionOf(rec)->file;
    const std::string folder = file.folder();
    // Appended piece by piece: GCC 12 at -O3 mistakes "_" + std::string for an overlapping copy.
    const auto stamped = [&] {
        std::string stampedName(prefix);
        stampedName += '_';
        stampedName += timeStamp();
        stampedName += extensionFor(p.fileType);
        return stampedName;
    };
    const std::string first = stamped();
    qCInfo(zarvSdk).noquote() << QStringLiteral("filename to save temp image at: %1")
                                     .arg(QString::fromStdString(folder + "/" + first));
    // A name already taken gets a fresh time stamp, so two pictures completed in the same
    // millisecond are both kept.
    std::string name;
    if (!file.finish([&](int attempt) { return attempt == 0 ? first : stamped(); }, &name))
        return failWrite(rec, folder + "/" + (name.empty() ? first : name));
    const std::string path = folder + "/" + name;
    ShotTimeline::shared().noteSynced(uint32_t(rec->lID), QString::fromStdString(path),
                                      rec->ulTotal);
    DiscardPicture(rec);
    ++gNikonCameraCaptureCount;
    if (p.removed && (p.kind & kNkMAIDDataObjType_Image))
        g_bFileRemoved = true;
    // The program hears its own announcement back (from the bus like any sibling, or directly
    // when there is no bus): the application's observer of "zarvXNotification" counts the
    // picture for the mini panel, the camera session's posts the desktop notice and asks Lookout
    // to show it.
    mySendZarvXNotification2(QString::fromStdString(path));
    return kNkMAIDResult_NoError;
}

} // namespace

void DiscardPicture(tagDataRecord* rec) {
    if (!rec)
        return;
    if (Reception* reception = receptionOf(rec)) {
        reception->~Reception();
        MaidFree(reception);
    }
    resetRecord(rec);
}

int32_t DataProc(uint64_t refProc, void* pDataInfo, void* pData) {
    return guarded<int32_t>(kNkMAIDResult_UnexpectedError, [&]() -> int32_t {
        noteProgress();
        auto* rec = wordToPtr<tagDataRecord>(refProc);
        if (!rec || !pDataInfo) {
            qCWarning(zarvSdk).noquote() << "DataProc called without its record or information";
            return kNkMAIDResult_UnexpectedError;
        }
        if (rec->fFailed)
            return kNkMAIDResult_OutOfMemory;
        const Piece p = describePiece(pDataInfo);
        if (const int32_t refused = admit(rec, p, pData); refused != kNkMAIDResult_NoError)
            return refused;
        PictureFile& file = receptionOf(rec)->file;
        if (!file.append(pData, size_t(p.length)))
            return failWrite(rec, file.folder());
        rec->ulOffset += uint32_t(p.length);
        if (rec->ulOffset < rec->ulTotal)
            return kNkMAIDResult_NoError;
        ShotTimeline::shared().noteLastByte(uint32_t(rec->lID));

        const char* prefix = (p.kind & kNkMAIDDataObjType_Image)       ? "Image"
                             : (p.kind & kNkMAIDDataObjType_Thumbnail) ? "Thumb"
                                                                       : "Unknown";
        return p.fileLayout ? completeFile(rec, prefix, p) : completeRows(rec, prefix, p);
    });
}

// --- Progress and UI requests ----------------------------------------------------------------

void ProgressProc(uint32_t, uint32_t, uint64_t, uint32_t ulDone, uint32_t ulTotal) {
    noteProgress();
    if (ulTotal == 0) {
        if (ulDone == 0) {
            Log::diagnostic("o");
        } else if (ulDone == 1) {
            tms unused{};
            const auto now = static_cast<uint32_t>(times(&unused));
            if (now > g_ulProgressValue + 30 || now < g_ulProgressValue) {
                Log::diagnostic("c");
                g_ulProgressValue = now;
            }
        }
    } else if (ulDone == 0) {
        if (g_bFirstCall) {
            g_ulProgressValue = 0;
            g_bFirstCall = false;
            Log::diagnostic("\n0       20        40        60        80        100");
            Log::diagnostic("\n---------+---------+---------+---------+---------+");
        }
    } else {
        const auto position =
            static_cast<uint32_t>((uint64_t(ulDone) * 50 + ulTotal - 1) / ulTotal);
        while (g_ulProgressValue < position) {
            Log::diagnostic("]");
            ++g_ulProgressValue;
        }
        g_ulProgressValue = position;
        if (ulDone == ulTotal) {
            Log::diagnostic("\n");
            g_bFirstCall = true;
        }
    }
}

namespace {

// The answer that can do no harm when nobody is there to choose.
uint32_t safeAnswer(uint32_t type) {
    switch (type) {
    case kNkMAIDUIRequestType_Ok:
        return kNkMAIDUIRequestResult_Ok;
    case kNkMAIDUIRequestType_YesNo:
        return kNkMAIDUIRequestResult_No;
    default:
        return kNkMAIDUIRequestResult_Cancel;
    }
}

} // namespace

uint32_t UIRequestProc(uint64_t, tagNkMAIDUIRequestInfo* pUIRequest) {
    return guarded<uint32_t>(kNkMAIDUIRequestResult_None, [&]() -> uint32_t {
        if (!pUIRequest)
            return kNkMAIDUIRequestResult_None;
        const uint32_t type = pUIRequest->ulType;
        static const char* const prompts[] = {
            "\nPress 'O' key. ('O': OK)\n>",
            "\nPress 'O' or 'C' key. ('O': OK   'C': Cancel)\n>",
            "\nPress 'Y' or 'N' key. ('Y': Yes   'N': No)\n>",
            "\nPress 'Y' or 'N' or 'C' key. ('Y': Yes   'N': No   'C': Cancel)\n>",
        };
        if (type > kNkMAIDUIRequestType_YesNoCancel)
            return kNkMAIDUIRequestResult_None;
        for (uint64_t text : {pUIRequest->lpPrompt, pUIRequest->lpDetail})
            if (text)
                Log::diagnostic("%s\n", wordToPtr<const char>(text));
        if (!isatty(STDIN_FILENO)) {
            const uint32_t answer = safeAnswer(type);
            qCWarning(zarvSdk).noquote()
                << QStringLiteral("No console to ask the module's question; answering %1")
                       .arg(answer);
            return answer;
        }
        while (true) {
            Log::diagnostic("%s", prompts[type]);
            std::string word;
            if (!(std::cin >> word)) {
                const uint32_t answer = safeAnswer(type);
                qCWarning(zarvSdk).noquote()
                    << QStringLiteral("The console closed before an answer; answering %1")
                           .arg(answer);
                return answer;
            }
            const char c = char(std::toupper(static_cast<unsigned char>(word[0])));
            if (c == 'O' && type <= kNkMAIDUIRequestType_OkCancel)
                return kNkMAIDUIRequestResult_Ok;
            if (c == 'C' &&
                (type == kNkMAIDUIRequestType_OkCancel || type == kNkMAIDUIRequestType_YesNoCancel))
                return kNkMAIDUIRequestResult_Cancel;
            if (c == 'Y' && type >= kNkMAIDUIRequestType_YesNo)
                return kNkMAIDUIRequestResult_Yes;
            if (c == 'N' && type >= kNkMAIDUIRequestType_YesNo)
                return kNkMAIDUIRequestResult_No;
        }
    });
}

} // namespace zarv
