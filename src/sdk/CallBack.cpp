// Event, data, progress and UI-request procedures.

#include "sdk/CallBack.h"
#include "platform/Path.h"

#include "sdk/Function.h"
#include "sdk/Internal.h"

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

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
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
                std::printf("ModEventProc - kNkMAIDEvent_AddChild.\n");
            break;
        case kNkMAIDEvent_RemoveChild:
            RemoveChild(pRef, static_cast<int32_t>(data));
            qWarning().noquote() << "ModEventProc - camera disconnected";
            RaiseMaidFailure(kNkMAIDResult_CameraRemoved);
            break;
        case kNkMAIDEvent_WarmingUp:
            std::printf("Event_WarmingUp to Module object is not supported.\n");
            qInfo().noquote() << "kNkMAIDEvent_WarmingUp to Module object is not supported.\n";
            break;
        case kNkMAIDEvent_WarmedUp:
            std::printf("Event_WarmedUp to Module object is not supported.\n");
            qInfo().noquote() << "kNkMAIDEvent_WarmedUp to Module object is not supported.\n";
            break;
        case kNkMAIDEvent_CapChange:
            refreshCapabilities(pRef);
            std::printf("ModEventProc - kNkMAIDEvent_CapChange(CapID=0x%llX) was changed.\n",
                        static_cast<unsigned long long>(data));
            break;
        case kNkMAIDEvent_OrphanedChildren:
            std::printf("ModEventProc - kNkMAIDEvent_OrphanedChildren.\n");
            break;
        case kNkMAIDEvent_CapChangeValueOnly:
            std::printf("ModEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                        static_cast<unsigned long long>(data));
            break;
        default:
            std::printf("ModEventProc - Detected unknown Event to the Module object.\n");
            std::printf("Detected unknown Event to the Module object.\n");
            break;
        }
        std::fflush(stdout);
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
                qInfo().noquote() << "...kNkMAIDEvent_AddChild...";
            break;
        case kNkMAIDEvent_RemoveChild:
            ShotTimeline::shared().noteGone(static_cast<uint32_t>(data));
            RemoveChild(pRef, static_cast<int32_t>(data));
            qInfo().noquote() << "...camera disconnected...";
            break;
        case kNkMAIDEvent_WarmingUp:
            std::printf("Event_WarmingUp to Source object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmedUp:
            std::printf("Event_WarmedUp to Source object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChange:
            refreshCapabilities(pRef);
            break;
        case kNkMAIDEvent_OrphanedChildren:
        case kNkMAIDEvent_CapChangeValueOnly:
        case kNkMAIDEvent_264:
            break;
        case kNkMAIDEvent_AddPreviewImage:
            std::printf("Event_AddPreviewImage to Item object is not supported.\n");
            break;
        case kNkMAIDEvent_AddVideoObject:
            std::printf("a Video object(ID=0x%llX) added in card.\n",
                        static_cast<unsigned long long>(data));
            break;
        case kNkMAIDEvent_RecordingStoppedByError:
            std::printf("Recording was stopped by error(%lld).\n", static_cast<long long>(data));
            break;
        default:
            std::printf("Detected unknown Event to the Source object.\n");
            break;
        }
        std::fflush(stdout);
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
            std::printf("Event_WarmingUp to Item object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmedUp:
            std::printf("Event_WarmedUp to Item object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChange:
            refreshCapabilities(pRef);
            break;
        case kNkMAIDEvent_OrphanedChildren:
            break;
        case kNkMAIDEvent_CapChangeValueOnly:
            std::printf("ItmEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                        static_cast<unsigned long long>(data));
            break;
        default:
            std::printf("Detected unknown Event to the Item object.\n");
            break;
        }
        std::fflush(stdout);
        return 0;
    });
}

void DatEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data) {
    guarded(0, [&] {
        LPRefObj pRef = nodeOf(refProc);
        switch (ulEvent) {
        case kNkMAIDEvent_AddChild:
            std::printf("Event_AddChild to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_RemoveChild:
            std::printf("Event_RemoveChild to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmingUp:
            std::printf("Event_WarmingUp to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_WarmedUp:
            std::printf("Event_WarmedUp to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChange:
            if (refreshCapabilities(pRef))
                std::printf("DatEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                            static_cast<unsigned long long>(data));
            break;
        case kNkMAIDEvent_OrphanedChildren:
            std::printf("Event_OrphanedChildren to Data object is not supported.\n");
            break;
        case kNkMAIDEvent_CapChangeValueOnly:
            std::printf("DatEventProc - The value of Capability(CapID=0x%llX) was changed.\n",
                        static_cast<unsigned long long>(data));
            break;
        default:
            std::printf("Detected unknown Event to the Data object.\n");
            break;
        }
        std::fflush(stdout);
        return 0;
    });
}

// --- Saving ----------------------------------------------------------------------------------

std::string SaveFolderPath() {
    QString folder = UserDefaults::standard().stringForKey(QStringLiteral("prefSaveFolderPath"));
    if (folder.trimmed().isEmpty()) {
        folder = QDir::homePath() + QStringLiteral("/Pictures/ZarvNikonCapture");
        qWarning().noquote()
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

// Moves `from` to `to` unless `to` exists. False with errno EEXIST when it does.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the flag (FAT, some network shares): link() refuses to overwrite.
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST)
        return false;
    // No hard links either: check, then rename; the window is as small as we can make it.
    struct stat st {};
    if (lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
}

bool ensureFolder(const std::string& folder) {
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec))
        return true;
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder)) {
        qWarning().noquote() << QStringLiteral("Cannot create the save folder %1: %2")
                                    .arg(QString::fromStdString(folder),
                                         QString::fromStdString(ec.message()));
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

// The picture being received: a temporary file in the folder it will be saved in. Each piece is
// written as it arrives, so a picture costs no memory of its size and its last byte is on its
// way to the disk as soon as it arrives. The file gets its final name only once complete and
// synced; until then it is unnamed (O_TMPFILE) or hidden, and it is removed if the transfer ends
// any other way.
struct PictureFile {
    int fd = -1;
    bool fileLayout = false; // fixed by the first piece: it decides the folder
    std::string folder;
    std::string tempPath; // empty for an unnamed temporary file
};

PictureFile* pictureOf(const tagDataRecord* rec) {
    return wordToPtr<PictureFile>(rec->pBuffer);
}

// Opens the temporary file; -118 when memory is short, -117 when the file cannot be made.
int32_t openPicture(tagDataRecord* rec, const std::string& folder) {
    void* memory = MaidAlloc(sizeof(PictureFile));
    if (!memory) {
        std::printf("There is not enough memory.\n");
        return kNkMAIDResult_OutOfMemory;
    }
    auto* picture = new (memory) PictureFile;
    picture->folder = folder;
    picture->fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (picture->fd < 0) {
        // File systems without unnamed files (FAT, network shares): a hidden name instead.
        std::string path = transferFileTemplate(folder);
        picture->fd = mkostemp(path.data(), O_CLOEXEC);
        if (picture->fd >= 0) {
            picture->tempPath = path;
            fchmod(picture->fd, 0644);
        }
    }
    if (picture->fd < 0) {
        qWarning().noquote() << QStringLiteral("problem with fopen file at: %1 (%2)")
                                    .arg(QString::fromStdString(folder), errnoText());
        picture->~PictureFile();
        MaidFree(memory);
        return kNkMAIDResult_FileError;
    }
    rec->pBuffer = ptrToWord(picture);
    return kNkMAIDResult_NoError;
}

bool writeAll(int fd, const uint8_t* bytes, size_t size) {
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        written += size_t(n);
    }
    return true;
}

// Gives the complete file its name unless the name is taken (false with errno EEXIST then).
bool publish(PictureFile* picture, const std::string& path) {
    if (picture->tempPath.empty()) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", picture->fd);
        return linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
    }
    if (!renameNoReplace(picture->tempPath, path))
        return false;
    picture->tempPath.clear();
    return true;
}

void resetRecord(tagDataRecord* rec) {
    rec->pBuffer = 0;
    rec->ulOffset = 0;
    rec->ulTotal = 0;
}

int32_t refuse(tagDataRecord* rec, const QString& why) {
    qWarning().noquote() << QStringLiteral("DataProc refused a piece: %1").arg(why);
    DiscardPicture(rec);
    rec->fFailed = 1;
    return kNkMAIDResult_OutOfMemory;
}

int32_t failWrite(tagDataRecord* rec, const std::string& what) {
    qWarning().noquote() << QStringLiteral("problem with fopen file at: %1 (%2)")
                                .arg(QString::fromStdString(what), errnoText());
    DiscardPicture(rec);
    rec->fFailed = 1;
    return kNkMAIDResult_FileError;
}

// Names the complete row-layout picture <prefix>NNN.raw, the first free number.
int32_t completeRows(tagDataRecord* rec, const char* prefix, uint32_t kind, bool removed) {
    PictureFile* picture = pictureOf(rec);
    if (fsync(picture->fd) != 0)
        return failWrite(rec, picture->folder);
    for (int n = 1;; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%03d.raw", prefix, n);
        if (publish(picture, picture->folder + "/" + name))
            break;
        if (errno != EEXIST || n == 1000000)
            return failWrite(rec, name);
    }
    syncFolder(picture->folder);
    DiscardPicture(rec);
    if (removed && (kind & kNkMAIDDataObjType_Image))
        g_bFileRemoved = true;
    return kNkMAIDResult_NoError;
}

// Names the complete picture <prefix>_<time stamp><extension> in the save folder and announces it.
int32_t completeFile(tagDataRecord* rec, const char* prefix, uint32_t kind, uint32_t fileType,
                     bool removed) {
    PictureFile* picture = pictureOf(rec);
    const std::string folder = picture->folder;
    std::string path = folder + "/" + prefix + "_" + timeStamp() + extensionFor(fileType);
    qInfo().noquote()
        << QStringLiteral("filename to save temp image at: %1").arg(QString::fromStdString(path));
    if (fsync(picture->fd) != 0)
        return failWrite(rec, path);
    // A name already taken gets a fresh time stamp, so two pictures completed in the same
    // millisecond are both kept.
    while (!publish(picture, path)) {
        if (errno != EEXIST)
            return failWrite(rec, path);
        path = folder + "/" + prefix + "_" + timeStamp() + extensionFor(fileType);
    }
    syncFolder(folder);
    ShotTimeline::shared().noteSynced(uint32_t(rec->lID), QString::fromStdString(path),
                                      rec->ulTotal);
    DiscardPicture(rec);
    ++gNikonCameraCaptureCount;
    if (removed && (kind & kNkMAIDDataObjType_Image))
        g_bFileRemoved = true;
    mySendZarvXNotification2(QString::fromStdString(path));
    return kNkMAIDResult_NoError;
}

} // namespace

void DiscardPicture(tagDataRecord* rec) {
    if (!rec)
        return;
    if (PictureFile* picture = pictureOf(rec)) {
        if (picture->fd >= 0)
            ::close(picture->fd);
        if (!picture->tempPath.empty())
            unlink(picture->tempPath.c_str());
        picture->~PictureFile();
        MaidFree(picture);
    }
    resetRecord(rec);
}

int32_t DataProc(uint64_t refProc, void* pDataInfo, void* pData) {
    return guarded<int32_t>(kNkMAIDResult_UnexpectedError, [&]() -> int32_t {
        noteProgress();
        auto* rec = wordToPtr<tagDataRecord>(refProc);
        if (!rec || !pDataInfo) {
            qWarning().noquote() << "DataProc called without its record or information";
            return kNkMAIDResult_UnexpectedError;
        }
        if (rec->fFailed)
            return kNkMAIDResult_OutOfMemory;
        const uint32_t kind = static_cast<const tagNkMAIDDataInfo*>(pDataInfo)->ulType;
        const bool fileLayout = (kind & kNkMAIDDataObjType_File) != 0;
        uint64_t total = 0;
        uint64_t piece = 0;
        uint64_t start = 0;
        uint32_t fileType = 0;
        bool removed = false;
        if (fileLayout) {
            const auto* info = static_cast<const tagNkMAIDFileInfo*>(pDataInfo);
            total = info->ulTotalLength;
            piece = info->ulLength;
            start = info->ulStart;
            fileType = info->ulFileDataType;
            removed = info->fRemoveObject != 0;
        } else {
            const auto* info = static_cast<const tagNkMAIDImageInfo*>(pDataInfo);
            total = uint64_t(info->ulTotalRows) * info->ulRowBytes;
            piece = uint64_t(info->ulRows) * info->ulRowBytes;
            removed = info->fRemoveObject != 0;
        }
        if (total == 0)
            return refuse(rec, QStringLiteral("the picture's total size is 0"));
        if (total > UINT32_MAX)
            return refuse(rec,
                          QStringLiteral("the picture's size (%1 bytes) exceeds 4 GiB").arg(total));
        if (rec->ulOffset > 0 && !rec->pBuffer) {
            std::printf("There is not enough memory.\n");
            return kNkMAIDResult_OutOfMemory;
        }
        if (!rec->pBuffer) {
            ShotTimeline::shared().noteFirstByte(uint32_t(rec->lID));
            // The file layout goes to the save folder, the row layout to the current one.
            const std::string folder = fileLayout ? SaveFolderPath() : std::string(".");
            if (!ensureFolder(folder)) {
                rec->fFailed = 1;
                return kNkMAIDResult_FileError;
            }
            // The save folder may have changed since the start's sweep.
            RemoveLeftoverTransferFilesOnce(folder);
            const int32_t opened = openPicture(rec, folder);
            if (opened != kNkMAIDResult_NoError)
                return opened;
            pictureOf(rec)->fileLayout = fileLayout;
            rec->ulTotal = uint32_t(total);
            rec->ulOffset = 0;
        } else if (pictureOf(rec)->fileLayout != fileLayout) {
            // The picture's file was made in the first piece's folder; a file-layout picture
            // finished there would be announced outside the save folder.
            return refuse(rec, QStringLiteral("the layout changed between pieces"));
        } else if (total != rec->ulTotal) {
            return refuse(rec, QStringLiteral("the total size changed from %1 to %2 bytes")
                                   .arg(rec->ulTotal)
                                   .arg(total));
        }
        // Pieces are written in the order they arrive: one that does not start where the last
        // ended (another transfer's, or one sent twice) would scramble the picture.
        if (fileLayout && start != rec->ulOffset)
            return refuse(rec, QStringLiteral("a piece starts at byte %1 where byte %2 was next")
                                   .arg(start)
                                   .arg(rec->ulOffset));
        if (piece > uint64_t(rec->ulTotal) - rec->ulOffset)
            return refuse(rec,
                          QStringLiteral("a piece of %1 bytes after %2 overflows the %3 announced")
                              .arg(piece)
                              .arg(rec->ulOffset)
                              .arg(rec->ulTotal));
        if (piece > 0 && !pData)
            return refuse(rec, QStringLiteral("a piece without bytes"));
        PictureFile* picture = pictureOf(rec);
        if (piece > 0 && !writeAll(picture->fd, static_cast<const uint8_t*>(pData), size_t(piece)))
            return failWrite(rec, picture->folder);
        // Writeback starts piece by piece, so the sync at the end finds little left to write
        // and the camera's link is not kept waiting on the disk. Failures surface in that sync.
        if (piece > 0)
            ::sync_file_range(picture->fd, off64_t(rec->ulOffset), off64_t(piece),
                              SYNC_FILE_RANGE_WRITE);
        rec->ulOffset += uint32_t(piece);
        if (rec->ulOffset < rec->ulTotal)
            return kNkMAIDResult_NoError;
        ShotTimeline::shared().noteLastByte(uint32_t(rec->lID));

        const char* prefix = (kind & kNkMAIDDataObjType_Image)       ? "Image"
                             : (kind & kNkMAIDDataObjType_Thumbnail) ? "Thumb"
                                                                     : "Unknown";
        return fileLayout ? completeFile(rec, prefix, kind, fileType, removed)
                          : completeRows(rec, prefix, kind, removed);
    });
}

// --- Progress and UI requests ----------------------------------------------------------------

void ProgressProc(uint32_t, uint32_t, uint64_t, uint32_t ulDone, uint32_t ulTotal) {
    noteProgress();
    if (ulTotal == 0) {
        if (ulDone == 0) {
            std::printf("o");
        } else if (ulDone == 1) {
            tms unused{};
            const auto now = static_cast<uint32_t>(times(&unused));
            if (now > g_ulProgressValue + 30 || now < g_ulProgressValue) {
                std::printf("c");
                g_ulProgressValue = now;
            }
        }
    } else if (ulDone == 0) {
        if (g_bFirstCall) {
            g_ulProgressValue = 0;
            g_bFirstCall = false;
            std::printf("\n0       20        40        60        80        100");
            std::printf("\n---------+---------+---------+---------+---------+");
        }
    } else {
        const auto position =
            static_cast<uint32_t>((uint64_t(ulDone) * 50 + ulTotal - 1) / ulTotal);
        while (g_ulProgressValue < position) {
            std::printf("]");
            ++g_ulProgressValue;
        }
        g_ulProgressValue = position;
        if (ulDone == ulTotal) {
            std::printf("\n");
            g_bFirstCall = true;
        }
    }
    std::fflush(stdout);
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
                std::printf("%s\n", wordToPtr<const char>(text));
        if (!isatty(STDIN_FILENO)) {
            const uint32_t answer = safeAnswer(type);
            qWarning().noquote() << QStringLiteral(
                                        "No console to ask the module's question; answering %1")
                                        .arg(answer);
            return answer;
        }
        while (true) {
            std::printf("%s", prompts[type]);
            std::fflush(stdout);
            std::string word;
            if (!(std::cin >> word)) {
                const uint32_t answer = safeAnswer(type);
                qWarning().noquote()
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
