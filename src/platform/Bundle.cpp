#include "Bundle.h"
#include "platform/Log.h"

#include "PropertyList.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <dlfcn.h>

#include <memory>

namespace zarv {
namespace {

constexpr quint32 kMachMagic32 = 0xFEEDFACE;
constexpr quint32 kMachMagic64 = 0xFEEDFACF;
constexpr quint32 kMachCigam32 = 0xCEFAEDFE;
constexpr quint32 kMachCigam64 = 0xCFFAEDFE;
constexpr quint32 kFatMagic = 0xCAFEBABE;
constexpr quint32 kFatMagic64 = 0xCAFEBABF;
constexpr quint32 kFatCigam = 0xBEBAFECA;
constexpr quint32 kFatCigam64 = 0xBFBAFECA;
// Real fat files hold a handful of slices; more means a Java class file or garbage.
constexpr quint32 kMaxFatArchs = 32;

quint32 readU32(const QByteArray& b, qsizetype at, bool bigEndian) {
    const auto* p = reinterpret_cast<const uchar*>(b.constData()) + at;
    return bigEndian ? (quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3])
                     : (quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0]);
}

quint16 readU16(const QByteArray& b, qsizetype at, bool bigEndian) {
    const auto* p = reinterpret_cast<const uchar*>(b.constData()) + at;
    return bigEndian ? quint16(p[0] << 8 | p[1]) : quint16(p[1] << 8 | p[0]);
}

int elfMachineToCpuType(quint16 machine) {
    switch (machine) {
    case 3: // EM_386
        return Bundle::I386;
    case 62: // EM_X86_64
        return Bundle::X86_64;
    case 20: // EM_PPC
        return Bundle::PPC;
    case 21: // EM_PPC64
        return Bundle::PPC64;
    case 40: // EM_ARM
        return Bundle::ARM;
    case 183: // EM_AARCH64
        return Bundle::ARM64;
    default:
        return 0;
    }
}

QString& mainBundleOverride() {
    static QString path;
    return path;
}

QMutex& mainBundleMutex() {
    static QMutex m;
    return m;
}

} // namespace

Bundle::Bundle(const QString& path) : m_path(QDir::cleanPath(path)) {
    m_exists = QFileInfo(m_path).isDir();
    const QString infoPath = m_path + QStringLiteral("/Contents/Info.plist");
    if (!m_exists || !QFileInfo::exists(infoPath))
        return;
    QString error;
    const QVariant info = PropertyList::readFile(infoPath, &error);
    if (info.typeId() == QMetaType::QVariantMap)
        m_info = info.toMap();
    else
        qCWarning(zarvPlatform).noquote()
            << QStringLiteral("Bundle %1 has an unusable Info.plist: %2")
                   .arg(m_path, error.isEmpty() ? QStringLiteral("not a dictionary") : error);
}

Bundle::~Bundle() {
    unload();
}

Bundle& Bundle::mainBundle() {
    // Bundles are never destroyed once handed out, so references stay valid after an override.
    static std::unique_ptr<Bundle> current;
    static QString currentPath;
    QMutexLocker lock(&mainBundleMutex());
    QString path = mainBundleOverride();
    if (path.isEmpty()) {
        const QString dir =
            QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath())
                .absolutePath();
        path = dir.endsWith(QLatin1String("/Contents/MacOS"))
                   ? QDir::cleanPath(dir + QStringLiteral("/../.."))
                   : dir;
    }
    if (!current || currentPath != path) {
        static std::vector<std::unique_ptr<Bundle>> retired;
        if (current)
            retired.push_back(std::move(current));
        current = std::make_unique<Bundle>(path);
        currentPath = path;
    }
    return *current;
}

void Bundle::setMainBundlePath(const QString& path) {
    QMutexLocker lock(&mainBundleMutex());
    mainBundleOverride() = path;
}

QString Bundle::bundleIdentifier() const {
    return m_info.value(QStringLiteral("CFBundleIdentifier")).toString();
}

QString Bundle::resourcePath() const {
    return m_path + QStringLiteral("/Contents/Resources");
}

QString Bundle::pathForResource(const QString& name, const QString& type) const {
    if (name.isEmpty() || name.contains(u'/'))
        return {};
    const QString file =
        type.isEmpty() ? name : name + u'.' + (type.startsWith(u'.') ? type.mid(1) : type);
    const QString path = resourcePath() + u'/' + file;
    return QFileInfo::exists(path) ? path : QString();
}

QString Bundle::pathForImageResource(const QString& name) const {
    // Drawn images first: they stay sharp at any scale.
    static const QStringList kImageTypes{QStringLiteral("svg"), QStringLiteral("png")};
    if (kImageTypes.contains(QFileInfo(name).suffix(), Qt::CaseInsensitive))
        return pathForResource(name);
    for (const QString& type : kImageTypes) {
        if (QString path = pathForResource(name, type); !path.isEmpty())
            return path;
    }
    return {};
}

QString Bundle::pathForAuxiliaryExecutable(const QString& name) const {
    if (name.isEmpty() || name.contains(u'/'))
        return {};
    const QString path = m_path + QStringLiteral("/Contents/MacOS/") + name;
    return QFileInfo(path).isFile() ? path : QString();
}

QString Bundle::executablePath() const {
    const QString name = m_info.value(QStringLiteral("CFBundleExecutable")).toString();
    return pathForAuxiliaryExecutable(name);
}

QList<int> Bundle::executableArchitectures() const {
    const QString exe = executablePath();
    return exe.isEmpty() ? QList<int>() : architecturesOfFile(exe);
}

QList<int> Bundle::architecturesOfFile(const QString& path, QString* error) {
    auto fail = [&](const QString& reason) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, reason);
        return QList<int>();
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    const QByteArray head = file.read(8 + kMaxFatArchs * 32);
    if (head.size() < 8)
        return fail(QStringLiteral("too short to be an executable"));

    if (head.startsWith("\x7F"
                        "ELF")) {
        if (head.size() < 20)
            return fail(QStringLiteral("truncated ELF header"));
        const char data = head.at(5); // 1 little endian, 2 big endian
        if (data != 1 && data != 2)
            return fail(QStringLiteral("ELF header with an unknown byte order"));
        const int cpu = elfMachineToCpuType(readU16(head, 18, data == 2));
        return cpu ? QList<int>{cpu} : fail(QStringLiteral("ELF file for an unknown machine"));
    }

    const quint32 magic = readU32(head, 0, true);
    if (magic == kMachMagic32 || magic == kMachMagic64)
        return {static_cast<int>(readU32(head, 4, true))};
    if (magic == kMachCigam32 || magic == kMachCigam64)
        return {static_cast<int>(readU32(head, 4, false))};
    if (magic == kFatMagic || magic == kFatMagic64 || magic == kFatCigam || magic == kFatCigam64) {
        const bool big = magic == kFatMagic || magic == kFatMagic64;
        const qsizetype entrySize = (magic == kFatMagic64 || magic == kFatCigam64) ? 32 : 20;
        const quint32 count = readU32(head, 4, big);
        if (count == 0 || count > kMaxFatArchs)
            return fail(QStringLiteral("not a universal binary (%1 slices)").arg(count));
        if (head.size() < 8 + qsizetype(count) * entrySize)
            return fail(QStringLiteral("truncated universal binary header"));
        QList<int> archs;
        for (quint32 i = 0; i < count; ++i)
            archs.append(static_cast<int>(readU32(head, 8 + qsizetype(i) * entrySize, big)));
        return archs;
    }
    return fail(QStringLiteral("not an executable (neither ELF nor Mach-O)"));
}

int Bundle::currentArchitecture() {
#if defined(__x86_64__)
    return X86_64;
#elif defined(__i386__)
    return I386;
#elif defined(__aarch64__)
    return ARM64;
#elif defined(__arm__)
    return ARM;
#elif defined(__powerpc64__)
    return PPC64;
#elif defined(__powerpc__)
    return PPC;
#else
    return 0;
#endif
}

bool Bundle::load(QString* error) {
    if (m_handle)
        return true;
    const QString exe = executablePath();
    if (exe.isEmpty()) {
        if (error)
            *error = QStringLiteral("bundle %1 has no executable").arg(m_path);
        return false;
    }
    dlerror();
    m_handle = dlopen(QFile::encodeName(exe).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* why = dlerror();
        if (error)
            *error =
                QStringLiteral("cannot load %1: %2")
                    .arg(exe, why ? QString::fromLocal8Bit(why) : QStringLiteral("unknown reason"));
        return false;
    }
    return true;
}

void Bundle::unload() {
    if (m_handle) {
        dlclose(m_handle);
        m_handle = nullptr;
    }
}

void* Bundle::symbol(const char* name, QString* error) const {
    if (!m_handle) {
        if (error)
            *error = QStringLiteral("bundle %1 is not loaded").arg(m_path);
        return nullptr;
    }
    dlerror();
    void* address = dlsym(m_handle, name);
    if (!address && error) {
        const char* why = dlerror();
        *error = why ? QString::fromLocal8Bit(why)
                     : QStringLiteral("symbol %1 is null").arg(QLatin1String(name));
    }
    return address;
}

} // namespace zarv
