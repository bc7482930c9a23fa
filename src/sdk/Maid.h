#pragma once

// The MAID module contract: the records exchanged with a camera-control module and the numbers
// of its commands, data types, results, capabilities and events. Plain C++ with no dependency
// beyond the standard library, so that the virtual camera module shares it.
//
// Every record has the same byte layout in 32-bit and 64-bit builds: pointer slots are 64 bits
// wide (use ptrToWord/wordToPtr) and the static_asserts below pin each size and offset.

#include <cstddef>
#include <cstdint>

namespace zarv {

// Commands (the second argument of the entry point).
enum : uint32_t {
    kNkMAIDCommand_Async = 0,
    kNkMAIDCommand_Open = 1,
    kNkMAIDCommand_Close = 2,
    kNkMAIDCommand_GetCapCount = 3,
    kNkMAIDCommand_GetCapInfo = 4,
    kNkMAIDCommand_CapStart = 5,
    kNkMAIDCommand_CapSet = 6,
    kNkMAIDCommand_CapGet = 7,
    kNkMAIDCommand_CapGetArray = 9,
    kNkMAIDCommand_EnumChildren = 13,
};

// Data types (how the data word is to be read).
enum : uint32_t {
    kNkMAIDDataType_Null = 0,
    kNkMAIDDataType_Unsigned = 3,
    kNkMAIDDataType_UnsignedPtr = 6,
    kNkMAIDDataType_CallbackPtr = 13,
    kNkMAIDDataType_RangePtr = 14,
    kNkMAIDDataType_EnumPtr = 16,
    kNkMAIDDataType_ObjectPtr = 17,
    kNkMAIDDataType_CapInfoPtr = 18,
};

// Results. 0 and 1 are success; a start also succeeds with 164 to 166.
enum : int32_t {
    kNkMAIDResult_NoError = 0,
    kNkMAIDResult_Pending = 1,
    kNkMAIDResult_Started1 = 164,
    kNkMAIDResult_Started2 = 165,
    kNkMAIDResult_Started3 = 166,
    kNkMAIDResult_CameraRemoved = -20, // carried to the session when the camera goes away
    kNkMAIDResult_FileError = -117,    // a picture file cannot be created or written
    kNkMAIDResult_OutOfMemory = -118,  // a piece cannot be stored
    kNkMAIDResult_SetChanged = -124,   // the set changed during an enumeration: start again
    kNkMAIDResult_NotAvailable = -127, // the capability is not available now
    kNkMAIDResult_UnexpectedError = -126,
    kNkMAIDResult_ValueOutOfRange = -128,
    kNkMAIDResult_NotSupported = -129,
    kNkMAIDResult_TimedOut = -130,   // ours: a wait was given up (time-out, object closed)
    kNkMAIDResult_DeviceHeld = -131, // ours: another process holds the camera's USB device
};

// Object kinds (bytes 0-3 of the object record).
enum : uint32_t {
    kNkMAIDObjectType_Module = 1,
    kNkMAIDObjectType_Source = 2,
    kNkMAIDObjectType_Item = 3,
    kNkMAIDObjectType_DataObj = 4,
};

// Capability types this system handles; the others are the module's business.
enum : uint32_t {
    kNkMAIDCapType_Process = 1,
    kNkMAIDCapType_Unsigned = 3,
    kNkMAIDCapType_Callback = 6,
    kNkMAIDCapType_Enum = 12,
    kNkMAIDCapType_Range = 13,
    kNkMAIDCapType_String = 15,
    kNkMAIDCapType_LiveViewFrame = 0x1001, // ours: read as a tagNkMAIDLiveViewFrame
};

// Ours: a 256-byte NUL-terminated text (for string capabilities), and a live-view frame record
// (tagNkMAIDLiveViewFrame).
enum : uint32_t {
    kNkMAIDDataType_StringPtr = 8,
    kNkMAIDDataType_LiveViewFramePtr = 0x1001,
};

// Operation bits of a capability.
enum : uint32_t {
    kNkMAIDCapOperation_Start = 0x1,
    kNkMAIDCapOperation_Get = 0x2,
    kNkMAIDCapOperation_Set = 0x4,
};

// Element types of an enumeration.
enum : uint32_t {
    kNkMAIDArrayType_Unsigned = 2,
    kNkMAIDArrayType_PackedString = 7,
    kNkMAIDArrayType_String = 8,
};

// Events.
enum : uint32_t {
    kNkMAIDEvent_AddChild = 0,
    kNkMAIDEvent_RemoveChild = 1,
    kNkMAIDEvent_WarmingUp = 2,
    kNkMAIDEvent_WarmedUp = 3,
    kNkMAIDEvent_CapChange = 4,
    kNkMAIDEvent_OrphanedChildren = 5,
    kNkMAIDEvent_CapChangeValueOnly = 6,
    kNkMAIDEvent_AddPreviewImage = 263,
    kNkMAIDEvent_264 = 264,
    kNkMAIDEvent_AddVideoObject = 265,
    kNkMAIDEvent_RecordingStoppedByError = 266,
};

// Kind bits of a data-information record, and the data-type bits of capability 12.
enum : uint32_t {
    kNkMAIDDataObjType_Image = 0x1,
    kNkMAIDDataObjType_Sound = 0x2,
    kNkMAIDDataObjType_Video = 0x4,
    kNkMAIDDataObjType_Thumbnail = 0x8,
    kNkMAIDDataObjType_File = 0x10,
};

// File types of the file layout.
enum : uint32_t {
    kNkMAIDFileDataType_JPEG = 1,
    kNkMAIDFileDataType_TIFF = 2,
    kNkMAIDFileDataType_NEF = 4,
    kNkMAIDFileDataType_NDF = 257,
    // Ours: pictures that Nikon's own types do not name, saved under their own extension.
    kNkMAIDFileDataType_NRW = 0x1001,  // Nikon's raw format of its compact cameras
    kNkMAIDFileDataType_HEIF = 0x1002, // HEIF (".hif" on Nikon bodies)
};

// UI-request types and answers.
enum : uint32_t {
    kNkMAIDUIRequestType_Ok = 0,
    kNkMAIDUIRequestType_OkCancel = 1,
    kNkMAIDUIRequestType_YesNo = 2,
    kNkMAIDUIRequestType_YesNoCancel = 3,
    kNkMAIDUIRequestResult_None = 0,
    kNkMAIDUIRequestResult_Ok = 1,
    kNkMAIDUIRequestResult_Cancel = 2,
    kNkMAIDUIRequestResult_Yes = 3,
    kNkMAIDUIRequestResult_No = 4,
};

// Capabilities of the contract.
enum : uint32_t {
    kNkMAIDCapability_AsyncRate = 1,
    kNkMAIDCapability_ProgressProc = 2,
    kNkMAIDCapability_EventProc = 3,
    kNkMAIDCapability_DataProc = 4,
    kNkMAIDCapability_UIRequestProc = 5,
    kNkMAIDCapability_Children = 7,
    kNkMAIDCapability_Name = 9,
    kNkMAIDCapability_DataTypes = 12,
    kNkMAIDCapability_Capture = 17,
    kNkMAIDCapability_Acquire = 20,
    kNkMAIDCapability_FlashMode = 53,
    kNkMAIDCapability_ModuleType = 54,
    kNkMAIDCapability_Version = 58,
    kNkMAIDCapability_ModuleMode = 0x8101,
    kNkMAIDCapability_CompressionLevel = 0x8110,
    kNkMAIDCapability_ExposureMode = 0x8111,
    kNkMAIDCapability_ShutterSpeed = 0x8112,
    kNkMAIDCapability_Aperture = 0x8113,
    kNkMAIDCapability_FlexibleProgram = 0x8114,
    kNkMAIDCapability_ExposureComp = 0x8115,
    kNkMAIDCapability_MeteringMode = 0x8116,
    kNkMAIDCapability_Sensitivity = 0x8117,
    kNkMAIDCapability_WBMode = 0x8118,
    kNkMAIDCapability_WBTuneAuto = 0x8119,
    kNkMAIDCapability_WBTuneIncandescent = 0x811A,
    kNkMAIDCapability_WBTuneFluorescent = 0x811B,
    kNkMAIDCapability_WBTuneSunny = 0x811C,
    kNkMAIDCapability_WBTuneFlash = 0x811D,
    kNkMAIDCapability_WBTuneShade = 0x811E,
    kNkMAIDCapability_WBTuneCloudy = 0x811F,
    kNkMAIDCapability_FocusMode = 0x8120,
    kNkMAIDCapability_FocusAreaMode = 0x8121,
    kNkMAIDCapability_FocusPreferredArea = 0x8122,
    kNkMAIDCapability_ImageSize = 0x8157,
    kNkMAIDCapability_RawJpegImageStatus = 0x81B5,
    kNkMAIDCapability_CameraType = 0x81D7,
    kNkMAIDCapability_PictureControl = 0x822E,
    kNkMAIDCapability_LiveViewStatus = 0x823E,
    kNkMAIDCapability_LiveViewImageZoomRate = 0x823F,
    kNkMAIDCapability_FlourescentType = 0x824D,
    kNkMAIDCapability_CameraWarnings = 0x825E,
    kNkMAIDCapability_MovieStatus = 0x8298,
    kNkMAIDCapability_LiveViewWarnings = 0x8299,
    kNkMAIDCapability_SaveMedia = 0x8305,
    kNkMAIDCapability_LiveViewImageSize = 0x8353,
    // Ours, in a range the contract leaves free. Set on the module before its children are
    // enumerated: the USB bus and device number of the camera the program found,
    // (bus << 16) | device, so that a module that sees several cameras offers that one only.
    kNkMAIDCapability_UsbLocation = 0xF001,
    // Ours: the newest live-view frame, read with a get (data type 0x1001) into a
    // tagNkMAIDLiveViewFrame while live view runs (LiveViewStatus set to 1). A read answers
    // -127 (not available now) when no frame is newer than the last one read, -128 (value out of
    // range) with ulSize set to the bytes needed when the buffer is too small (the frame is then
    // still there for the next read), and -126 when live view is not running. A camera that
    // refuses to start live view answers the set of LiveViewStatus with -127 and tells why in
    // LiveViewWarnings.
    kNkMAIDCapability_LiveViewFrame = 0xF002,
    // Ours: the lens's focus position, a range from 0 (nearest) to 100 (infinity), so that the
    // program can focus by hand while it shows live view.
    kNkMAIDCapability_FocusPosition = 0xF003,
};

/// Module mode value that puts the module under the program's control.
constexpr uint32_t kNkMAIDModuleMode_Controller = 1;
/// Child id of the root (module) node.
constexpr int32_t kRootObjectId = 0x8000;

/// A pointer in a 64-bit slot.
inline uint64_t ptrToWord(const void* p) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}
template <typename T> inline T* wordToPtr(uint64_t w) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(w));
}

/// The module's object record, 24 bytes. The program allocates it and sets refClient to its
/// own tree node before opening; the module fills the rest.
struct tagNkMAIDObject {
    uint32_t ulType;    // 0: object kind
    uint32_t ulID;      // 4: the module's
    uint64_t refClient; // 8: the program's node
    uint64_t refModule; // 16: the module's
};

/// One capability as the module describes it, 272 bytes.
struct tagNkMAIDCapInfo {
    uint32_t ulID;           // 0
    uint32_t ulType;         // 4: 3 unsigned, 12 enumeration, 13 range, others the module's
    uint32_t ulVisibility;   // 8: not read
    uint32_t ulOperations;   // 12: 2 may get, 4 may set
    char szDescription[256]; // 16: NUL-terminated
};

/// A callback installed through capabilities 2 to 5 with data type 13.
struct tagNkMAIDCallback {
    uint64_t pProc;   // the procedure
    uint64_t refProc; // handed back to it as its reference
};

/// Enumeration record (data type 16).
struct tagNkMAIDEnum {
    uint32_t ulType;         // 0: element type, 2 unsigned, 7 packed string, 8 string
    uint32_t ulElements;     // 4: element count (packed strings: total bytes)
    uint32_t ulValue;        // 8: current index from 0
    uint32_t ulDefault;      // 12: not read
    uint16_t wPhysicalBytes; // 16: bytes per element: 4, 1 or 256
    uint16_t wReserved;      // 18
    uint32_t ulReserved;     // 20
    uint64_t pData;          // 24: element array, the caller's
};

/// Range record (data type 14).
struct tagNkMAIDRange {
    double lfValue;          // 0: current value (continuous ranges)
    double lfDefault;        // 8: not read
    uint32_t ulValueIndex;   // 16: current step index
    uint32_t ulDefaultIndex; // 20: not read
    double lfLower;          // 24
    double lfUpper;          // 32
    uint32_t ulSteps;        // 40: 0 for a continuous range
    uint32_t ulReserved;     // 44
};

/// First four bytes of every data-information record.
struct tagNkMAIDDataInfo {
    uint32_t ulType; // kind bits: 1 image, 8 thumbnail, 16 file layout
};

/// Data-information record of the file layout.
struct tagNkMAIDFileInfo {
    uint32_t ulType;         // 0: kind bits
    uint32_t ulFileDataType; // 4: 1 JPEG, 2 TIFF, 4 NEF, 257 NDF
    uint32_t ulTotalLength;  // 8: whole file
    uint32_t ulStart;        // 12: offset of this piece (not read)
    uint32_t ulLength;       // 16: this piece
    uint8_t fDiskFile;       // 20: not read
    uint8_t fRemoveObject;   // 21: the camera dropped the picture after sending it
    uint16_t wReserved;      // 22
};

/// Data-information record of the row layout.
struct tagNkMAIDImageInfo {
    uint32_t ulType;         // 0: kind bits
    uint32_t ulWidth;        // 4: not read
    uint32_t ulTotalRows;    // 8
    uint32_t ulReserved[4];  // 12: colour space and the like, not read
    uint32_t ulRows;         // 28: rows in this piece
    uint32_t ulRowBytes;     // 32: bytes per row
    uint32_t ulReserved2[2]; // 36
    uint16_t wReserved;      // 44
    uint8_t fRemoveObject;   // 46: the camera dropped the picture after sending it
    uint8_t bReserved;       // 47
};

/// A request to show a question to the user.
struct tagNkMAIDUIRequestInfo {
    uint32_t ulType;      // 0: 0 to 3
    uint32_t ulDefault;   // 4: not read
    uint8_t fSync;        // 8: not read
    uint8_t bReserved[7]; // 9
    uint64_t lpPrompt;    // 16: first text, or 0
    uint64_t lpDetail;    // 24: second text, or 0
};

/// One live-view frame (capability 0xF002): a JPEG picture in the caller's buffer.
struct tagNkMAIDLiveViewFrame {
    uint32_t ulWidth;       // 0: pixels
    uint32_t ulHeight;      // 4
    uint32_t ulFocusLeft;   // 8: the focus area in frame pixels; all four 0 when there is none
    uint32_t ulFocusTop;    // 12
    uint32_t ulFocusWidth;  // 16
    uint32_t ulFocusHeight; // 20
    uint64_t ullSequence;   // 24: frame number since live view started, from 0; gaps are frames
                            //     nobody read
    uint32_t ulSize;        // 32: in: bytes the buffer holds; out: the frame's JPEG bytes
    uint32_t ulReserved;    // 36
    uint64_t pData;         // 40: the caller's buffer
};

// Procedure types. References travel as 64-bit words.
using LPMAIDCompletionProc = void (*)(tagNkMAIDObject* pObject, uint32_t ulCommand,
                                      uint32_t ulParam, uint32_t ulDataType, uint64_t data,
                                      uint64_t refComplete, int32_t nResult);
/// The module's one exported function, "MAIDEntryPoint". Completion procedure and reference are
/// null for synchronous calls.
using LPMAIDEntryPointProc = int32_t (*)(tagNkMAIDObject* pObject, uint32_t ulCommand,
                                         uint32_t ulParam, uint32_t ulDataType, uint64_t data,
                                         LPMAIDCompletionProc pfnComplete, uint64_t refComplete);
using LPMAIDEventProc = void (*)(uint64_t refProc, uint32_t ulEvent, uint64_t data);
using LPMAIDDataProc = int32_t (*)(uint64_t refProc, void* pDataInfo, void* pData);
using LPMAIDProgressProc = void (*)(uint32_t ulCommand, uint32_t ulParam, uint64_t refProc,
                                    uint32_t ulDone, uint32_t ulTotal);
using LPMAIDUIRequestProc = uint32_t (*)(uint64_t refProc, tagNkMAIDUIRequestInfo* pInfo);

// The layouts are part of the contract: the same on every build.
static_assert(sizeof(tagNkMAIDObject) == 24);
static_assert(offsetof(tagNkMAIDObject, refClient) == 8);
static_assert(offsetof(tagNkMAIDObject, refModule) == 16);
static_assert(sizeof(tagNkMAIDCapInfo) == 272);
static_assert(offsetof(tagNkMAIDCapInfo, ulOperations) == 12);
static_assert(offsetof(tagNkMAIDCapInfo, szDescription) == 16);
static_assert(sizeof(tagNkMAIDCallback) == 16);
static_assert(sizeof(tagNkMAIDEnum) == 32);
static_assert(offsetof(tagNkMAIDEnum, wPhysicalBytes) == 16);
static_assert(offsetof(tagNkMAIDEnum, pData) == 24);
static_assert(sizeof(tagNkMAIDRange) == 48);
static_assert(offsetof(tagNkMAIDRange, ulValueIndex) == 16);
static_assert(offsetof(tagNkMAIDRange, lfLower) == 24);
static_assert(offsetof(tagNkMAIDRange, lfUpper) == 32);
static_assert(offsetof(tagNkMAIDRange, ulSteps) == 40);
static_assert(sizeof(tagNkMAIDFileInfo) == 24);
static_assert(offsetof(tagNkMAIDFileInfo, ulFileDataType) == 4);
static_assert(offsetof(tagNkMAIDFileInfo, ulTotalLength) == 8);
static_assert(offsetof(tagNkMAIDFileInfo, ulLength) == 16);
static_assert(offsetof(tagNkMAIDFileInfo, fRemoveObject) == 21);
static_assert(sizeof(tagNkMAIDImageInfo) == 48);
static_assert(offsetof(tagNkMAIDImageInfo, ulTotalRows) == 8);
static_assert(offsetof(tagNkMAIDImageInfo, ulRows) == 28);
static_assert(offsetof(tagNkMAIDImageInfo, ulRowBytes) == 32);
static_assert(offsetof(tagNkMAIDImageInfo, fRemoveObject) == 46);
static_assert(sizeof(tagNkMAIDLiveViewFrame) == 48);
static_assert(offsetof(tagNkMAIDLiveViewFrame, ullSequence) == 24);
static_assert(offsetof(tagNkMAIDLiveViewFrame, ulSize) == 32);
static_assert(offsetof(tagNkMAIDLiveViewFrame, pData) == 40);
static_assert(sizeof(tagNkMAIDUIRequestInfo) == 32);
static_assert(offsetof(tagNkMAIDUIRequestInfo, lpPrompt) == 16);
static_assert(offsetof(tagNkMAIDUIRequestInfo, lpDetail) == 24);

} // namespace zarv
