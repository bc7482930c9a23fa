// The data procedure receives a picture in pieces from a module, which may announce any sizes
// and send pieces of any length in any order. Whatever arrives, every picture completed must be
// on disk exactly as its accepted pieces were sent, nothing may be named before it is complete,
// a refused picture must leave nothing behind, and no file descriptor may leak.

#include "FuzzSupport.h"

#include "platform/DistributedNotificationCenter.h"
#include "platform/UserDefaults.h"
#include "sdk/CallBack.h"
#include "sdk/Function.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace zarv;

namespace {

QString g_save; // the file layout's save folder (made by the data procedure itself)
QString g_rows; // the row layout's folder: the current one

// Piece bytes come from here, so that each piece says where it came from.
constexpr size_t kMaxPiece = 16384;
std::vector<uint8_t> g_pattern;

QStringList pictures(const QString& folder, bool hiddenToo = false) {
    return QDir(folder).entryList(QDir::Files | (hiddenToo ? QDir::Hidden : QDir::Filters()),
                                  QDir::Name);
}

struct Piece {
    uint32_t length = 0;
    const uint8_t* bytes = nullptr;
};

class Transfer {
public:
    explicit Transfer(fuzz::Input& in) : m_in(in) { m_total = in.u16(); }

    void step() {
        const uint8_t op = m_in.byte();
        if (op % 8 == 7) {
            // The transfer is given up and the record is used for the next one.
            DiscardPicture(&m_rec);
            m_rec = {};
            m_expected.clear();
            return;
        }
        changeTotal();
        if (op % 8 < 5)
            filePiece();
        else
            rowPiece();
    }

    void finish() {
        DiscardPicture(&m_rec);
        FUZZ_CHECK(pictures(g_save, true).isEmpty() && pictures(g_rows, true).isEmpty(),
                   "files were left behind: %s %s", qPrintable(pictures(g_save, true).join(' ')),
                   qPrintable(pictures(g_rows, true).join(' ')));
    }

private:
    void changeTotal() {
        switch (m_in.byte() % 16) {
        case 0:
            m_total = m_in.u32();
            break;
        case 1:
            m_total = m_in.u16();
            break;
        default:
            break;
        }
    }

    Piece piece(uint32_t left) {
        Piece p;
        const uint8_t how = m_in.byte();
        p.length = how % 4 == 0 ? left : m_in.u16();
        p.length = std::min<uint32_t>(p.length, kMaxPiece);
        p.bytes = how % 32 == 1 ? nullptr : g_pattern.data() + m_in.byte();
        return p;
    }

    uint32_t left() const { return m_rec.pBuffer ? m_rec.ulTotal - m_rec.ulOffset : m_total; }

    void filePiece() {
        tagNkMAIDFileInfo info{};
        info.ulType = kNkMAIDDataObjType_File | (m_in.byte() & 0x0F);
        static const uint32_t types[] = {kNkMAIDFileDataType_JPEG, kNkMAIDFileDataType_TIFF,
                                         kNkMAIDFileDataType_NEF, kNkMAIDFileDataType_NDF, 3};
        info.ulFileDataType = types[m_in.byte() % 5];
        info.ulTotalLength = m_total;
        const Piece p = piece(left());
        info.ulLength = p.length;
        info.fRemoveObject = m_in.byte() & 1;
        send(&info, p, g_save, true);
    }

    void rowPiece() {
        tagNkMAIDImageInfo info{};
        info.ulType = m_in.byte() & 0x0F;
        info.ulRowBytes = m_in.byte() % 8 == 0 ? m_in.u32() : m_in.byte();
        const uint32_t rowBytes = std::max<uint32_t>(info.ulRowBytes, 1);
        info.ulTotalRows = m_in.byte() % 8 == 0 ? m_in.u32() : m_total / rowBytes;
        Piece p = piece(left());
        // Whole rows only, and never more bytes than the buffer handed over holds.
        info.ulRows = info.ulRowBytes == 0 ? m_in.byte() : p.length / rowBytes;
        p.length = info.ulRowBytes == 0 ? 0 : info.ulRows * info.ulRowBytes;
        info.fRemoveObject = m_in.byte() & 1;
        send(&info, p, g_rows, false);
    }

    void send(void* info, const Piece& p, const QString& folder, bool fileLayout) {
        const bool fresh = m_rec.pBuffer == 0;
        const bool failedBefore = m_rec.fFailed != 0;
        const int announced = gNikonCameraCaptureCount;
        const int32_t result = DataProc(ptrToWord(&m_rec), info, const_cast<uint8_t*>(p.bytes));
        if (failedBefore)
            FUZZ_CHECK(result != kNkMAIDResult_NoError, "a piece after a refusal was accepted");
        if (result != kNkMAIDResult_NoError) {
            FUZZ_CHECK(m_rec.pBuffer == 0, "a refused picture is still open");
            m_expected.clear();
            return;
        }
        if (fresh)
            m_expected.clear();
        if (p.length > 0)
            m_expected.append(reinterpret_cast<const char*>(p.bytes), p.length);
        if (m_rec.pBuffer != 0) {
            FUZZ_CHECK(m_rec.ulOffset == uint32_t(m_expected.size()),
                       "%u bytes counted, %lld accepted", m_rec.ulOffset,
                       static_cast<long long>(m_expected.size()));
            FUZZ_CHECK(pictures(folder).isEmpty(), "a picture was named before it was complete");
            return;
        }
        // Complete: one new picture holding exactly what was accepted.
        const QStringList names = pictures(folder);
        FUZZ_CHECK(names.size() == 1, "%lld pictures after one completed",
                   static_cast<long long>(names.size()));
        QFile file(folder + u'/' + names.first());
        FUZZ_CHECK(file.open(QIODevice::ReadOnly), "cannot read %s", qPrintable(names.first()));
        FUZZ_CHECK(file.readAll() == m_expected, "%s does not hold the %lld bytes sent",
                   qPrintable(names.first()), static_cast<long long>(m_expected.size()));
        file.remove();
        if (fileLayout)
            FUZZ_CHECK(gNikonCameraCaptureCount == announced + 1,
                       "a completed picture was not counted once");
        m_expected.clear();
    }

    fuzz::Input& m_in;
    tagDataRecord m_rec{};
    uint32_t m_total = 0;
    QByteArray m_expected;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const QString scratch = fuzz::initialize(argc, argv);
    g_save = scratch + QStringLiteral("/save");
    g_rows = scratch + QStringLiteral("/rows");
    QDir().mkpath(g_rows);
    UserDefaults::setStandardIdentifier(QStringLiteral("com.quellbay.ZarvNikonCapture.fuzz"));
    UserDefaults::standard().setObject(QStringLiteral("prefSaveFolderPath"), g_save);
    // Pictures are announced on the bus: connect now, not amid the descriptor count.
    DistributedNotificationCenter::defaultCenter();
    g_pattern.resize(kMaxPiece + 256);
    for (size_t i = 0; i < g_pattern.size(); ++i)
        g_pattern[i] = uint8_t(i * 131 + i / 251);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // Only while the input runs: libFuzzer reads and writes its corpus by relative paths.
    const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(home >= 0 && chdir(g_rows.toLocal8Bit().constData()) == 0, "cannot enter %s",
               qPrintable(g_rows));
    const int descriptors = fuzz::openDescriptors();
    {
        Transfer transfer(in);
        for (int steps = 0; steps < 64 && !in.atEnd(); ++steps)
            transfer.step();
        transfer.finish();
    }
    fuzz::drainEvents();
    FUZZ_CHECK(fuzz::openDescriptors() == descriptors, "%d file descriptors leaked",
               fuzz::openDescriptors() - descriptors);
    FUZZ_CHECK(fchdir(home) == 0, "cannot go back to the starting folder");
    ::close(home);
    return 0;
}
