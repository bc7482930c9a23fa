// A 60 MiB picture through the PTP module in its 1 MiB pieces over the scripted layer, written to
// a file by the data procedure, against writing the same bytes in the same pieces; and the peak
// memory the download adds, which must stay below one piece plus 16 MiB.

#include "PtpClient.h"
#include "ScriptedLayer.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace zarv;
using namespace zarv::ptp;
using namespace zarv::ptp::scripted;
using namespace zarv::ptp::test;

namespace {

constexpr uint64_t kSize = uint64_t(60) << 20;
constexpr uint64_t kPiece = uint64_t(1) << 20;
FILE* g_out = nullptr;

long peakKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

int32_t writePiece(uint64_t, void* info, void* bytes) {
    const auto* fi = static_cast<tagNkMAIDFileInfo*>(info);
    return std::fwrite(bytes, 1, fi->ulLength, g_out) == fi->ulLength ? kNkMAIDResult_NoError
                                                                      : kNkMAIDResult_FileError;
}

} // namespace

int main(int argc, char** argv) {
    const std::string target = argc > 1 ? argv[1] : "/tmp/zarv-ptp-bench.bin";
    ScriptedLayer layer;
    std::string picture(kSize, '\0');
    for (uint64_t i = 0; i < kSize; i += 4096)
        picture[i] = char(i >> 12);
    const std::string path = "/store_00010001/DCIM/100D850/DSC_0001.JPG";
    layer.script->addFile(path, std::move(picture));
    const std::string& bytes = layer.script->files[path].bytes;

    // The plain write, piece by piece.
    auto start = std::chrono::steady_clock::now();
    g_out = std::fopen(target.c_str(), "wb");
    for (uint64_t at = 0; at < kSize; at += kPiece)
        std::fwrite(bytes.data() + at, 1, kPiece, g_out);
    std::fclose(g_out);
    const double plain =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // The module's own settings, as shipped (its event poll, its piece size): only the layer is
    // the scripted one.
    Options o;
    o.layer = &layer;
    setOptions(o);
    PtpClient client;
    if (!client.openModule() || client.openSource() != kNkMAIDResult_NoError)
        return 1;
    CameraEvent e;
    e.kind = CameraEvent::FileAdded;
    e.file = pathOf(path);
    layer.script->push(kGpOk, e);
    const uint32_t id = client.waitForItem();
    const long before = peakKiB();
    g_out = std::fopen(target.c_str(), "wb");
    start = std::chrono::steady_clock::now();
    if (client.open(&client.source, id, &client.item) != kNkMAIDResult_NoError ||
        client.open(&client.item, kNkMAIDDataObjType_Image, &client.data) != kNkMAIDResult_NoError)
        return 1;
    client.setProc(&client.data, kNkMAIDCapability_DataProc, reinterpret_cast<void*>(&writePiece));
    client.callAsync(&client.data, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire,
                     kNkMAIDDataType_Null, 0);
    if (!client.waitForCompletion(120) || client.lastResult != kNkMAIDResult_NoError)
        return 1;
    const double module =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fclose(g_out);
    const long added = peakKiB() - before;
    client.closeModule();
    std::remove(target.c_str());

    const double mib = double(kSize) / (1 << 20);
    std::printf("plain write:  %.1f MiB/s\n", mib / plain);
    std::printf("module:       %.1f MiB/s (%.2f of the plain write)\n", mib / module,
                plain / module);
    std::printf("peak memory added: %ld KiB (limit %llu KiB)\n", added,
                static_cast<unsigned long long>((kPiece >> 10) + (16 << 10)));
    return added < long((kPiece >> 10) + (16 << 10)) ? 0 : 2;
}
