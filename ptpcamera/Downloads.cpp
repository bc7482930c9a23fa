// Pictures from the camera to the program. A picture the camera can size is read when the
// program acquires it, in one job on the camera's thread that queues its pieces as they come
// (partial reads, else the whole file streamed); one it cannot size, or holds in RAM only, is
// fetched whole the moment it is announced, because libgphoto2 keeps only its last two such
// pictures. The pump hands the pieces to the program's data procedure.

#include "ModuleState.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zarv::ptp {
namespace {

using namespace zarv::module;

using ull = unsigned long long;

Item* findItem(Source& s, uint32_t id) {
    for (Item& item : s.items)
        if (item.id == id)
            return &item;
    return nullptr;
}

void progress(uint64_t handle, uint64_t done, uint64_t total) {
    const Object* o = find(handle);
    if (!o || !o->procs[kNkMAIDCapability_ProgressProc].pProc)
        return;
    const tagNkMAIDCallback p = o->procs[kNkMAIDCapability_ProgressProc];
    reinterpret_cast<LPMAIDProgressProc>(wordToPtr<void>(p.pProc))(
        kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, p.refProc, uint32_t(done),
        uint32_t(total));
}

// Camera side: the whole file into memory.
int fetchWhole(Camera& camera, const FilePath& file, std::string* out) {
    return patient([&] {
        out->clear();
        return camera.get(file, [out](const char* bytes, uint64_t size) {
            out->append(bytes, size);
            return int(kGpOk);
        });
    });
}

// Camera side, one job per picture: its pieces into the download's queue, through partial
// reads while the camera answers them, then the whole file for what is left.
void readPicture(Worker& worker, Camera& camera, const std::shared_ptr<Download>& d,
                 const FilePath& file, const std::string& path, uint64_t pieceSize) {
    const uint64_t size = d->size();
    uint64_t queued = 0;
    int rc = kGpOk;
    while (queued < size && !d->cancelled()) {
        const uint64_t want = std::min(pieceSize, size - queued);
        std::shared_ptr<char[]> buffer(new char[want]);
        uint64_t got = 0;
        rc = patient([&] {
            got = want;
            return camera.read(file, queued, buffer.get(), &got);
        });
        if (worker.gone(rc))
            return; // the program hears of the camera's leaving
        if (rc < kGpOk || got == 0 || got > want)
            break;
        if (!d->push({buffer, buffer.get(), got}))
            return;
        queued += got;
    }
    if (d->cancelled())
        return;
    if (queued == size) {
        d->finish();
        return;
    }
    if (rc < kGpOk)
        std::fprintf(stderr,
                     "ZarvPTP: reading %s in pieces failed at byte %llu: %s; downloading "
                     "it whole\n",
                     path.c_str(), ull(queued), resultText(rc).c_str());

    // The whole file again; what is queued already is passed over.
    uint64_t seen = 0;
    std::shared_ptr<char[]> piece;
    uint64_t filled = 0, capacity = 0;
    const auto sink = [&](const char* bytes, uint64_t length) {
        while (length > 0) {
            if (seen < queued || seen >= size) {
                const uint64_t skip =
                    seen < queued ? std::min(length, queued - seen) : length; // past the end
                seen += skip;
                bytes += skip;
                length -= skip;
                continue;
            }
            if (!piece) {
                capacity = std::min(pieceSize, size - seen);
                piece.reset(new char[capacity]);
                filled = 0;
            }
            const uint64_t n = std::min(length, capacity - filled);
            std::memcpy(piece.get() + filled, bytes, n);
            filled += n;
            seen += n;
            bytes += n;
            length -= n;
            if (filled == capacity) {
                if (!d->push({piece, piece.get(), filled}))
                    return int(kGpCancel);
                queued += filled;
                piece.reset();
            }
        }
        return int(kGpOk);
    };
    rc = patient([&] {
        seen = 0; // a read asked again starts from the beginning
        piece.reset();
        return camera.get(file, sink);
    });
    if (worker.gone(rc) || d->cancelled())
        return;
    if (rc >= kGpOk && piece && filled > 0 && d->push({piece, piece.get(), filled}))
        queued += filled; // what a file shorter than announced had
    if (rc < kGpOk) {
        std::fprintf(stderr, "ZarvPTP: download of %s failed at byte %llu: %s\n", path.c_str(),
                     ull(queued), resultText(rc).c_str());
        d->finish("failed");
        return;
    }
    // The library can report a download cut short (or run long) as success: only the
    // announced size counts.
    if (seen != size) {
        std::fprintf(stderr,
                     "ZarvPTP: download of %s stopped at %llu of the %llu bytes the camera "
                     "announced; take the picture again or copy it from the card\n",
                     path.c_str(), ull(std::min(seen, size)), ull(size));
        d->finish("short");
        return;
    }
    d->finish();
}

void endTransfer(uint64_t pendingId, int32_t result) {
    auto it = g_state->transfers.find(pendingId);
    if (it == g_state->transfers.end())
        return;
    Transfer t = std::move(it->second);
    g_state->transfers.erase(it);
    if (t.download)
        t.download->cancel(); // the camera side stops, if it has not yet
    if (result == kNkMAIDResult_NoError) {
        auto s = g_state->sources.find(t.sourceId);
        if (s != g_state->sources.end()) {
            unfetched().fetched(s->second.body, t.item);
            // A picture from the camera's RAM is gone from the body once the program has it.
            if (t.item.bytes && heldInRam(t.item.file))
                std::erase_if(s->second.items,
                              [&t](const Item& item) { return item.id == t.item.id; });
        }
    }
    complete(pendingId, result);
}

// One step of a transfer: its next piece to the program, or its end. Whether it did anything.
bool stepTransfer(uint64_t pendingId) {
    Transfer& t = g_state->transfers.at(pendingId);
    if (!g_state->pending.count(pendingId)) { // completed elsewhere (its object closed)
        if (t.download)
            t.download->cancel();
        g_state->transfers.erase(pendingId);
        return true;
    }
    const uint64_t size = t.item.size;
    Download::Piece piece;
    if (t.item.bytes) {
        const uint64_t n = std::min(g_state->options.pieceSize, size - t.delivered);
        piece = {t.item.bytes, t.item.bytes->data() + t.delivered, n};
    } else if (auto next = t.download->next()) {
        piece = std::move(*next);
    } else {
        std::string failure;
        if (!t.download->ended(&failure))
            return false;
        const bool whole = failure.empty() && t.delivered == size;
        endTransfer(pendingId, whole ? kNkMAIDResult_NoError : kNkMAIDResult_UnexpectedError);
        return true;
    }
    const Object* o = find(t.data);
    const tagNkMAIDCallback dataProc =
        o ? o->procs[kNkMAIDCapability_DataProc] : tagNkMAIDCallback{};
    if (!dataProc.pProc || piece.size > size - t.delivered) {
        endTransfer(pendingId, kNkMAIDResult_UnexpectedError);
        return true;
    }
    const bool last = t.delivered + piece.size == size;
    tagNkMAIDFileInfo info{};
    info.ulType = kNkMAIDDataObjType_Image | kNkMAIDDataObjType_File;
    info.ulFileDataType = t.item.fileType;
    info.ulTotalLength = uint32_t(size);
    info.ulStart = uint32_t(t.delivered);
    info.ulLength = uint32_t(piece.size);
    info.fDiskFile = 0;
    info.fRemoveObject = last && t.item.bytes && heldInRam(t.item.file) ? 1 : 0;
    const uint64_t data = t.data;
    const int32_t result = reinterpret_cast<LPMAIDDataProc>(wordToPtr<void>(dataProc.pProc))(
        dataProc.refProc, &info, const_cast<char*>(piece.bytes));
    // The program may have closed the object, or the module, from inside the callback.
    if (!g_state || !g_state->pending.count(pendingId) || !g_state->transfers.count(pendingId))
        return true;
    Transfer& after = g_state->transfers.at(pendingId);
    after.delivered += piece.size;
    progress(data, after.delivered, size);
    if (!g_state || !g_state->pending.count(pendingId))
        return true;
    if (result != kNkMAIDResult_NoError)
        endTransfer(pendingId, result);
    else if (last && after.item.bytes)
        endTransfer(pendingId, kNkMAIDResult_NoError);
    return true;
}

} // namespace

void onFileAdded(uint32_t sourceId, Worker& worker, Camera& camera, const FilePath& file) {
    Item item;
    item.file = file;
    item.fileType = fileDataTypeOf(file.name);
    const std::string path = item.path();
    if (!item.fileType) {
        std::fprintf(stderr,
                     "ZarvPTP: %s is not a picture the program saves (a movie, a sound "
                     "or another file); it stays on the camera\n",
                     path.c_str());
        return;
    }
    FileInfo info;
    int rc = patient([&] { return camera.fileInfo(file, &info); });
    if (worker.gone(rc))
        return;
    if (rc >= kGpOk && info.hasSize && info.size > 0) {
        item.size = info.size;
        item.mtime = info.mtime;
    } else {
        auto bytes = std::make_shared<std::string>();
        rc = fetchWhole(camera, file, bytes.get());
        if (worker.gone(rc))
            return;
        if (rc < kGpOk || bytes->empty()) {
            std::fprintf(stderr, "ZarvPTP: cannot download %s: %s; take the picture again\n",
                         path.c_str(), rc < kGpOk ? resultText(rc).c_str() : "it is empty");
            return;
        }
        // Frees the library's copy of a picture in RAM; nothing on the body is deleted.
        if (heldInRam(file))
            camera.remove(file);
        item.size = bytes->size();
        item.mtime = int64_t(std::time(nullptr));
        item.bytes = std::move(bytes);
    }
    worker.deliver([sourceId, item] { addItem(sourceId, item); });
}

void addItem(uint32_t sourceId, Item item) {
    auto it = g_state->sources.find(sourceId);
    if (it == g_state->sources.end())
        return;
    Source& s = it->second;
    for (const Item& known : s.items)
        if (known.samePicture(item))
            return;
    if (!heldInRam(item.file))
        s.cardFull = false; // it took a picture after all
    item.id = s.nextItemId++;
    s.items.push_back(item);
    unfetched().add(s.body, item);
    sendEvent(handleFor(kNkMAIDObjectType_Source, sourceId), kNkMAIDEvent_AddChild, item.id);
}

int32_t startAcquire(const Object& dataObj, uint64_t handle, uint64_t pendingId) {
    Source* s = sourceOf(dataObj);
    const Object* itemObj = find(dataObj.parent);
    const Item* item = s && itemObj ? findItem(*s, itemObj->id) : nullptr;
    if (!item || !s->worker || s->gone)
        return kNkMAIDResult_UnexpectedError;
    if (!dataObj.procs[kNkMAIDCapability_DataProc].pProc)
        return kNkMAIDResult_UnexpectedError;
    if (item->size == 0 || item->size > UINT32_MAX) {
        std::fprintf(stderr, "ZarvPTP: %s announces %llu bytes, which cannot be delivered\n",
                     item->path().c_str(), ull(item->size));
        return kNkMAIDResult_UnexpectedError;
    }
    Transfer t;
    t.data = handle;
    t.pending = pendingId;
    t.sourceId = s->id;
    t.item = *item;
    if (!item->bytes) {
        t.download = std::make_shared<Download>(item->size, g_state->doorbell);
        Worker* w = s->worker.get();
        const uint64_t pieceSize = g_state->options.pieceSize;
        w->post([w, d = t.download, file = item->file, path = item->path(),
                 pieceSize](Camera& camera) { readPicture(*w, camera, d, file, path, pieceSize); });
    }
    g_state->transfers[pendingId] = std::move(t);
    progress(handle, 0, item->size);
    return kNkMAIDResult_NoError;
}

bool pumpTransfers() {
    std::vector<uint64_t> ids;
    for (const auto& [id, t] : g_state->transfers)
        ids.push_back(id);
    bool did = false;
    for (uint64_t id : ids) {
        if (!g_state || !g_state->open)
            break;
        if (g_state->transfers.count(id))
            did = stepTransfer(id) || did;
    }
    return did;
}

void cancelTransfers(const std::function<bool(uint64_t)>& on) {
    std::erase_if(g_state->transfers, [&on](auto& entry) {
        if (!on(entry.second.data))
            return false;
        if (entry.second.download)
            entry.second.download->cancel();
        return true;
    });
}

} // namespace zarv::ptp
