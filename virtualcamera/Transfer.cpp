// The virtual camera's pictures: shots onto the card, transfers in pieces over a paced link, and
// the faults of the configuration (unplugging, stalls, broken transfers, untrue sizes).

#include "CameraState.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zarv;
using namespace zarv::module;

namespace zarv::vcam {

void addPictureToCard() {
    Item item;
    item.id = g_state->nextItemId++;
    item.picture = g_state->nextPicture++;
    g_state->card.push_back(item);
}

namespace {

uint64_t sourceHandle() {
    for (const auto& [h, o] : g_state->objects)
        if (o.kind == kNkMAIDObjectType_Source)
            return h;
    return 0;
}

// One frame: a new picture on the card, announced to the open source unless the camera keeps
// quiet about new pictures.
void takeFrame(bool announceLater) {
    addPictureToCard();
    const uint32_t id = g_state->card.back().id;
    if (!g_state->config.announceShots)
        return;
    const uint64_t src = sourceHandle();
    if (!src)
        return;
    if (announceLater)
        g_state->actions.push_back([src, id] { sendEvent(src, kNkMAIDEvent_AddChild, id); });
    else
        sendEvent(src, kNkMAIDEvent_AddChild, id);
}

// The link streams a transfer at the configured rate from its start: a piece is there once its
// bytes have had their time on the link, and the pump blocks until then, as a USB read does. A
// program slower than the link finds the next piece waiting.
void paceLink(Transfer& t, uint64_t bytes) {
    const uint64_t rate = g_state->config.bandwidth;
    if (rate == 0)
        return;
    using Clock = std::chrono::steady_clock;
    t.linkDue += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(bytes) / double(rate)));
    std::this_thread::sleep_until(t.linkDue);
}

bool loadPicture(size_t index, Picture* picture) {
    const Config& c = g_state->config;
    std::string path;
    if (!c.pictureFiles.empty()) {
        path = c.pictureFiles[index % c.pictureFiles.size()];
    } else {
        static const char* const samples[] = {"sample1.jpg", "sample2.jpg", "sample3.jpg"};
        path = g_state->resources + "/" + samples[index % 3];
    }
    std::string error;
    if (!picture->load(path, c.pictureSize, &error)) {
        std::fprintf(stderr, "ZarvVirtualCamera: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The camera is unplugged: the module tells the program, then drops what was waiting.
void unplug() {
    g_state->cameraPresent = false;
    g_state->card.clear();
    const uint32_t sourceId = g_state->config.sourceId;
    uint64_t module = 0;
    for (const auto& [h, o] : g_state->objects)
        if (o.kind == kNkMAIDObjectType_Module)
            module = h;
    sendEvent(module, kNkMAIDEvent_RemoveChild, sourceId);
    // Whatever the program left open below the module can no longer complete.
    std::vector<uint64_t> ids;
    for (const auto& [id, p] : g_state->pending)
        if (p.object != module)
            ids.push_back(id);
    for (uint64_t id : ids)
        complete(id, kNkMAIDResult_UnexpectedError);
}

// The bytes of the transfer's next piece: whole rows in the row layout.
uint64_t nextPiece(const Transfer& t) {
    const Config& c = g_state->config;
    if (c.layout == Layout::Rows) {
        const uint64_t rows = std::max<uint64_t>(1, c.pieceSize / c.rowBytes);
        return std::min<uint64_t>(t.size - t.offset, rows * c.rowBytes);
    }
    return std::min<uint64_t>(t.size - t.offset, c.pieceSize);
}

// Hands one piece to the program's data procedure, described in the configured layout (and
// with the configured lies about its sizes); the procedure's result.
int32_t deliverPiece(const Transfer& t, const tagNkMAIDCallback& dataProc, uint8_t* bytes,
                     uint64_t piece, bool removed) {
    const Config& c = g_state->config;
    const auto proc = reinterpret_cast<LPMAIDDataProc>(wordToPtr<void>(dataProc.pProc));
    if (c.layout == Layout::File) {
        tagNkMAIDFileInfo info{};
        info.ulType = t.kindBits | kNkMAIDDataObjType_File;
        info.ulFileDataType = c.fileType;
        info.ulTotalLength = uint32_t(t.size);
        info.ulStart = uint32_t(t.offset);
        info.ulLength = uint32_t(piece);
        info.fDiskFile = 0;
        info.fRemoveObject = removed ? 1 : 0;
        if (c.lieSizes == SizeLie::Overflow)
            info.ulTotalLength = uint32_t(t.size / 2);
        else if (c.lieSizes == SizeLie::Zero)
            info.ulTotalLength = 0;
        return proc(dataProc.refProc, &info, bytes);
    }
    tagNkMAIDImageInfo info{};
    info.ulType = t.kindBits;
    info.ulWidth = c.rowBytes;
    info.ulTotalRows = uint32_t(t.size / c.rowBytes);
    info.ulRows = uint32_t(piece / c.rowBytes);
    info.ulRowBytes = c.rowBytes;
    info.fRemoveObject = removed ? 1 : 0;
    if (c.lieSizes == SizeLie::RowsOverflow) {
        info.ulTotalRows = 0x10000;
        info.ulRowBytes = 0x10001;
    } else if (c.lieSizes == SizeLie::Zero) {
        info.ulTotalRows = 0;
    } else if (c.lieSizes == SizeLie::Overflow) {
        info.ulTotalRows = std::max<uint32_t>(1, info.ulTotalRows / 2);
    }
    return proc(dataProc.refProc, &info, bytes);
}

// Tells the data object's progress procedure, if any, how far the transfer is.
void reportProgress(const Transfer& t, uint32_t done) {
    const Object* o = find(t.data);
    if (!o)
        return;
    const tagNkMAIDCallback p = o->procs[kNkMAIDCapability_ProgressProc];
    if (p.pProc)
        reinterpret_cast<LPMAIDProgressProc>(wordToPtr<void>(p.pProc))(
            kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, p.refProc, done, uint32_t(t.size));
}

// Transferred: the camera drops the picture from its card.
void dropTransferred(const Transfer& t) {
    if (const Object* dataObj = find(t.data))
        if (const Object* itemObj = find(dataObj->parent)) {
            const uint32_t itemId = itemObj->id;
            auto& card = g_state->card;
            for (auto it = card.begin(); it != card.end(); ++it)
                if (it->id == itemId) {
                    card.erase(it);
                    break;
                }
        }
}

void transferStep(std::shared_ptr<Transfer> t);

// The next piece on a later pump; the first transfer of a picture set to stall stops after
// its first piece.
void scheduleNext(const std::shared_ptr<Transfer>& t) {
    if (t->pieces == 1 && g_state->config.stallTransfer > 0 &&
        g_state->stalled.insert(t->itemId).second)
        t->resumeAt = std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(g_state->config.stallTransfer));
    g_state->actions.push_back([t] { transferStep(t); });
}

void transferStep(std::shared_ptr<Transfer> t) {
    if (!g_state->pending.count(t->pending))
        return; // cancelled
    // A stalled transfer keeps its place without holding the pump.
    if (std::chrono::steady_clock::now() < t->resumeAt) {
        g_state->actions.push_back([t] { transferStep(t); });
        return;
    }
    if (t->broken && t->pieces > 0) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const Object* o = find(t->data);
    if (!o) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const tagNkMAIDCallback dataProc = o->procs[kNkMAIDCapability_DataProc];
    if (!dataProc.pProc) {
        complete(t->pending, kNkMAIDResult_UnexpectedError);
        return;
    }
    const Config& c = g_state->config;
    if (!t->started) {
        t->started = true;
        t->linkDue = std::chrono::steady_clock::now();
        reportProgress(*t, 0);
    }
    const uint64_t piece = nextPiece(*t);
    // One buffer for the whole transfer, left uninitialised: the picture fills it.
    if (!t->buffer)
        t->buffer.reset(new uint8_t[std::max<uint64_t>(piece, 1)]);
    uint8_t* bytes = t->buffer.get();
    t->picture.read(t->offset, bytes, size_t(piece));
    paceLink(*t, piece);
    const bool last = t->offset + piece >= t->size;
    const int32_t result = deliverPiece(*t, dataProc, bytes, piece, last && c.removeAfterTransfer);
    if (!g_state || !g_state->pending.count(t->pending))
        return; // the program closed the object from inside the callback
    t->offset += piece;
    ++t->pieces;
    ++g_state->piecesDelivered;
    reportProgress(*t, uint32_t(t->offset));
    if (!g_state || !g_state->pending.count(t->pending))
        return;
    if (result != kNkMAIDResult_NoError) {
        complete(t->pending, result);
        return;
    }
    if (g_state->config.removeAfterPieces != 0 &&
        g_state->piecesDelivered >= g_state->config.removeAfterPieces) {
        unplug();
        return;
    }
    if (!last) {
        scheduleNext(t);
        return;
    }
    if (g_state->config.removeAfterTransfer)
        dropTransferred(*t);
    complete(t->pending, kNkMAIDResult_NoError);
}

} // namespace

// A shot: a burst of frames, the first at once, each further one on the next pump, as fast as
// the camera takes them.
void takeShot() {
    takeFrame(true);
    for (uint32_t frame = 1; frame < g_state->config.burst; ++frame)
        g_state->actions.push_back([] {
            if (g_state->cameraPresent)
                takeFrame(false);
        });
}

// The operator deletes a picture on the camera: it leaves the card, and the source tells the
// program before anything else happens.
void dropItem(uint64_t source, uint32_t id) {
    std::erase_if(g_state->card, [id](const Item& item) { return item.id == id; });
    g_state->actions.push_front([source, id] { sendEvent(source, kNkMAIDEvent_RemoveChild, id); });
}

int32_t startAcquire(uint64_t handle, uint64_t pendingId) {
    const Object* dataObj = find(handle);
    const Object* itemObj = dataObj ? find(dataObj->parent) : nullptr;
    const Item* item = itemObj ? findItem(itemObj->id) : nullptr;
    if (!item)
        return kNkMAIDResult_UnexpectedError;
    if (!dataObj->procs[kNkMAIDCapability_DataProc].pProc)
        return kNkMAIDResult_UnexpectedError;
    auto t = std::make_shared<Transfer>();
    t->data = handle;
    t->pending = pendingId;
    t->kindBits = dataObj->id; // the data id is its kind bit
    t->itemId = item->id;
    t->broken = g_state->config.brokenTransfer.count(item->id) != 0;
    if (!loadPicture(item->picture, &t->picture))
        return kNkMAIDResult_UnexpectedError;
    t->size = t->picture.size();
    if (g_state->config.layout == Layout::Rows) {
        const uint64_t rb = g_state->config.rowBytes;
        t->size = (t->size + rb - 1) / rb * rb;
    }
    if (t->size > UINT32_MAX)
        return kNkMAIDResult_UnexpectedError;
    g_state->actions.push_back([t] { transferStep(t); });
    return kNkMAIDResult_NoError;
}

} // namespace zarv::vcam
