#pragma once

// The procedures the client installs on the module's objects. They run inside the client's entry
// calls (during a pump), on the camera thread, and never let an exception reach the module.

#include "sdk/Function.h"
#include "sdk/Maid.h"
#include "sdk/PictureFile.h" // RemoveLeftoverTransferFiles

#include <atomic>
#include <cstdint>
#include <string>

namespace zarv {

/// Items the camera's source announced (its add-child events) since the process started; the
/// session compares it between pumps to save a picture as soon as the camera has it.
extern std::atomic<uint32_t> g_ulItemsAnnounced;

void ModEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data);
void SrcEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data);
void ItmEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data);
void DatEventProc(uint64_t refProc, uint32_t ulEvent, uint64_t data);
/// Receives a picture in pieces and, once complete, saves it in the save folder (file layout) or
/// the current folder (row layout) and announces it.
int32_t DataProc(uint64_t refProc, void* pDataInfo, void* pData);
void ProgressProc(uint32_t ulCommand, uint32_t ulParam, uint64_t refProc, uint32_t ulDone,
                  uint32_t ulTotal);
uint32_t UIRequestProc(uint64_t refProc, tagNkMAIDUIRequestInfo* pUIRequest);

/// Drops the picture a data record is receiving, if any (its temporary file goes with it).
void DiscardPicture(tagDataRecord* rec);

/// The folder pictures are saved in: "prefSaveFolderPath", tilde expanded; a fallback under the
/// home folder when the setting is empty.
std::string SaveFolderPath();

/// Marks a failure that must unwind to the session (the camera's removal). Callbacks record it;
/// CallMAIDEntryPoint throws it once the outermost module call has returned.
void RaiseMaidFailure(int code);

} // namespace zarv
