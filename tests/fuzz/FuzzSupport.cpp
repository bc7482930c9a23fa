#include "FuzzSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <cstring>

namespace zarv::fuzz {

double Input::real() {
    const uint8_t kind = byte();
    if (kind % 4 == 0) {
        double d = 0;
        const uint64_t bits = u64();
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    return double(int32_t(u32())) / double(1 + byte());
}

QByteArray Input::bytes(size_t max) {
    const size_t length = std::min<size_t>({byte(), max, remaining()});
    QByteArray out(reinterpret_cast<const char*>(m_data + m_pos), qsizetype(length));
    m_pos += length;
    return out;
}

QString Input::text(size_t max) {
    QString s = QString::fromUtf8(bytes(max));
    s.replace(QChar(u'\0'), QChar(u' '));
    return s;
}

QByteArray Input::rest() {
    QByteArray out(reinterpret_cast<const char*>(m_data + m_pos), qsizetype(remaining()));
    m_pos = m_size;
    return out;
}

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

QString initialize(int* argc, char*** argv) {
    if (!qEnvironmentVariableIsSet("ZARV_FUZZ_VERBOSE"))
        qInstallMessageHandler(quiet);
    const QString base = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                             ? QStringLiteral("/dev/shm")
                             : QDir::tempPath();
    QByteArray pattern = (base + QStringLiteral("/zarv-fuzz-XXXXXX")).toLocal8Bit();
    FUZZ_CHECK(mkdtemp(pattern.data()), "cannot make a scratch folder in %s", qPrintable(base));
    const QString scratch = QString::fromLocal8Bit(pattern);
    for (const char* sub : {"home", "tmp", "config"})
        QDir(scratch).mkdir(QLatin1String(sub));
    qputenv("HOME", (scratch + QStringLiteral("/home")).toLocal8Bit());
    qputenv("TMPDIR", (scratch + QStringLiteral("/tmp")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (scratch + QStringLiteral("/config")).toLocal8Bit());
    // Kept for the life of the process; the folder goes with it.
    static auto* app = new QCoreApplication(*argc, *argv);
    (void)app;
    std::atexit([] {
        const QByteArray folder = qgetenv("HOME");
        QDir(QFileInfo(QString::fromLocal8Bit(folder)).path()).removeRecursively();
    });
    return scratch;
}

void drainEvents() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void emptyFolder(const QString& path) {
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

} // namespace zarv::fuzz
