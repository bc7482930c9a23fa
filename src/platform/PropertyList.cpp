#include "PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace zarv::PropertyList {
namespace {

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kAppleEpochOffsetSeconds = 978307200;

// Deeper nesting than this is surely hostile or broken; it also keeps recursion bounded.
constexpr int kMaxDepth = 512;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct CharsDeleter {
    void operator()(char* p) const { std::free(p); }
};
using Chars = std::unique_ptr<char, CharsDeleter>;

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

// QString::fromUtf8 drops a leading byte-order mark; inside a value it is text like any other.
QString fromUtf8(const char* text, qsizetype length = -1) {
    if (!text)
        return {};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder(QByteArrayView(text, length < 0 ? qsizetype(std::strlen(text)) : length));
}

QVariant toVariant(plist_t node, int depth, QString* error) {
    if (depth > kMaxDepth) {
        setError(error, QStringLiteral("nesting deeper than %1 levels").arg(kMaxDepth));
        return {};
    }
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &rawKey, &value);
            Chars key(rawKey);
            if (!value)
                break;
            QVariant v = toVariant(value, depth + 1, error);
            if (!v.isValid()) {
                std::free(it);
                return {};
            }
            map.insert(fromUtf8(key.get()), v);
        }
        std::free(it);
        return map;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        list.reserve(static_cast<qsizetype>(n));
        for (uint32_t i = 0; i < n; ++i) {
            QVariant v = toVariant(plist_array_get_item(node, i), depth + 1, error);
            if (!v.isValid())
                return {};
            list.append(v);
        }
        return list;
    }
    case PLIST_STRING: {
        // Not plist_get_string_val: it asserts (aborting the program) on a NUL inside the text.
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (!text || std::strlen(text) != length) {
            setError(error, QStringLiteral("text holding a NUL character"));
            return {};
        }
        return fromUtf8(text, static_cast<qsizetype>(length));
    }
    case PLIST_KEY: {
        char* raw = nullptr;
        plist_get_key_val(node, &raw);
        Chars s(raw);
        return fromUtf8(s.get());
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return b != 0;
    }
    case PLIST_UINT: {
        // libplist keeps negative integers as their two's complement.
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return QVariant::fromValue(static_cast<qlonglong>(u));
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return QVariant::fromValue(static_cast<qulonglong>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (kAppleEpochOffsetSeconds + sec) * 1000 + usec / 1000;
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        Chars bytes(raw);
        return QByteArray(bytes.get(), static_cast<qsizetype>(length));
    }
    case PLIST_NONE:
        break;
    }
    setError(error, QStringLiteral("unknown value type"));
    return {};
}

QString describe(const QString& where) {
    return where.isEmpty() ? QStringLiteral("the top level") : QStringLiteral("'%1'").arg(where);
}

// libplist takes text as C strings: a NUL character would silently end it there.
bool checkText(const QString& text, const QString& where, QString* error) {
    if (!text.contains(QChar(u'\0')))
        return true;
    setError(error, QStringLiteral("the text at %1 holds a NUL character").arg(describe(where)));
    return false;
}

plist_t fromVariant(const QVariant& value, const QString& where, int depth, QString* error) {
    if (depth > kMaxDepth) {
        setError(error, QStringLiteral("nesting deeper than %1 levels").arg(kMaxDepth));
        return nullptr;
    }
    switch (value.typeId()) {
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QString path = where.isEmpty() ? it.key() : where + u'.' + it.key();
            if (!checkText(it.key(), path, error))
                return nullptr;
            plist_t item = fromVariant(it.value(), path, depth + 1, error);
            if (!item)
                return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item);
        }
        return dict.release();
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        PlistPtr array(plist_new_array());
        const QVariantList list = value.toList();
        for (qsizetype i = 0; i < list.size(); ++i) {
            plist_t item = fromVariant(list.at(i), QStringLiteral("%1[%2]").arg(where).arg(i),
                                       depth + 1, error);
            if (!item)
                return nullptr;
            plist_array_append_item(array.get(), item);
        }
        return array.release();
    }
    case QMetaType::QString:
    case QMetaType::QChar:
    case QMetaType::QUrl: {
        const QString text = value.toString();
        if (!checkText(text, where, error))
            return nullptr;
        return plist_new_string(text.toUtf8().constData());
    }
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return plist_new_uint(static_cast<uint64_t>(value.toULongLong()));
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        if (!std::isfinite(d)) {
            setError(error, QStringLiteral("the number at %1 is not finite").arg(describe(where)));
            return nullptr;
        }
        return plist_new_real(d);
    }
    case QMetaType::QDateTime:
    case QMetaType::QDate: {
        // Whole seconds: the XML form holds no more, and libplist misreads fractions before 2001.
        const qint64 sec = value.toDateTime().toSecsSinceEpoch() - kAppleEpochOffsetSeconds;
        if (sec < std::numeric_limits<int32_t>::min() ||
            sec > std::numeric_limits<int32_t>::max()) {
            setError(error, QStringLiteral("the date at %1 is out of range").arg(describe(where)));
            return nullptr;
        }
        return plist_new_date(static_cast<int32_t>(sec), 0);
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()));
    }
    default:
        break;
    }
    setError(error,
             QStringLiteral("the value at %1 (%2) has no property-list form")
                 .arg(describe(where), value.isValid() ? QString::fromLatin1(value.typeName())
                                                       : QStringLiteral("no value")));
    return nullptr;
}

// "64 MiB", or the bytes when the limit is not a whole number of MiB.
QString sizeText(qsizetype bytes) {
    constexpr qsizetype kMiB = qsizetype(1) << 20;
    return bytes % kMiB == 0 ? QStringLiteral("%1 MiB").arg(bytes / kMiB)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

bool looksLikeXml(const QByteArray& data) {
    // Skip a byte-order mark and leading white space.
    qsizetype i = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (i < data.size() && QChar::isSpace(static_cast<uchar>(data.at(i))))
        ++i;
    return i < data.size() && data.at(i) == '<';
}

// Closes a descriptor however the read ends.
struct Descriptor {
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

// Only a regular file has an end that comes and a size known before reading.
bool isRegular(const struct stat& info, QString* error) {
    if (S_ISREG(info.st_mode))
        return true;
    const mode_t mode = info.st_mode;
    const char* kind = S_ISDIR(mode)                    ? "a folder"
                       : S_ISFIFO(mode)                 ? "a pipe"
                       : S_ISSOCK(mode)                 ? "a socket"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                        : "a special file";
    setError(error, QStringLiteral("it is %1, not a regular file").arg(QLatin1String(kind)));
    return false;
}

} // namespace

// A pipe or a device could block the reading thread for ever or feed it without end (and the
// start-up with it, where the stop signals wait for the event loop), so neither is opened for
// reading.
std::optional<QByteArray> readFileData(const QString& path, qsizetype maxSize, QString* error,
                                       bool* tooLarge) {
    if (tooLarge)
        *tooLarge = false;
    const QByteArray native = QFile::encodeName(path);
    struct stat info = {};
    // Checked before opening too: opening some devices already does something.
    if (::stat(native.constData(), &info) != 0) {
        setError(error, qt_error_string(errno));
        return std::nullopt;
    }
    if (!isRegular(info, error))
        return std::nullopt;
    // Non-blocking: what was checked may have been replaced by a pipe since.
    const Descriptor file(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
        setError(error, qt_error_string(errno));
        return std::nullopt;
    }
    if (!isRegular(info, error))
        return std::nullopt;
    if (info.st_size > maxSize) {
        setError(error, QStringLiteral("it is larger than %1").arg(sizeText(maxSize)));
        if (tooLarge)
            *tooLarge = true;
        return std::nullopt;
    }
    // Room for one byte more than announced, to notice a file that grows meanwhile.
    QByteArray data(static_cast<qsizetype>(info.st_size) + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < data.size()) {
        const ssize_t n =
            ::read(file.fd, data.data() + got, static_cast<size_t>(data.size() - got));
        if (n < 0 && errno == EINTR)
            continue; // a signal's handler ran; the stop itself waits for the event loop
        if (n < 0) {
            setError(error, qt_error_string(errno));
            return std::nullopt;
        }
        if (n == 0)
            break;
        got += n;
    }
    if (got == data.size()) {
        setError(error, QStringLiteral("it grew while being read; try again"));
        return std::nullopt;
    }
    data.truncate(got);
    return data;
}

namespace {

// Big-endian unsigned integer of `size` bytes at `pos`, or nullopt when it is not inside `data`.
std::optional<uint64_t> readBigEndian(const QByteArray& data, uint64_t pos, uint64_t size) {
    if (size == 0 || size > 8 || pos > uint64_t(data.size()) || size > data.size() - pos)
        return std::nullopt;
    uint64_t value = 0;
    for (uint64_t i = 0; i < size; ++i)
        value = (value << 8) | static_cast<uint8_t>(data.at(qsizetype(pos + i)));
    return value;
}

// True when a UTF-16 string object of a binary list holds U+0000. libplist aborts on such a
// dictionary key (its key getter asserts), so the list is refused before it is parsed. Anything
// else malformed is left to libplist, which refuses it.
bool binaryHoldsNulText(const QByteArray& data) {
    constexpr qsizetype kTrailer = 32;
    if (data.size() < 8 + kTrailer)
        return false;
    const qsizetype trailer = data.size() - kTrailer;
    const auto offsetSize = readBigEndian(data, trailer + 6, 1);
    const auto count = readBigEndian(data, trailer + 8, 8);
    const auto table = readBigEndian(data, trailer + 24, 8);
    if (!offsetSize || !count || !table || *offsetSize == 0 || *table > uint64_t(trailer))
        return false;
    const uint64_t objects = std::min<uint64_t>(*count, (uint64_t(trailer) - *table) / *offsetSize);
    for (uint64_t i = 0; i < objects; ++i) {
        const auto offset = readBigEndian(data, *table + i * *offsetSize, *offsetSize);
        const auto marker = offset ? readBigEndian(data, *offset, 1) : std::nullopt;
        if (!marker || (*marker >> 4) != 0x6)
            continue;
        uint64_t length = *marker & 0xF;
        uint64_t pos = *offset + 1;
        if (length == 0xF) {
            const auto intMarker = readBigEndian(data, pos, 1);
            if (!intMarker || (*intMarker >> 4) != 0x1)
                continue;
            const uint64_t size = uint64_t(1) << (*intMarker & 0xF);
            const auto n = readBigEndian(data, pos + 1, size);
            if (!n)
                continue;
            length = *n;
            pos += 1 + size;
        }
        for (uint64_t c = 0; c < length; ++c) {
            const auto unit = readBigEndian(data, pos + 2 * c, 2);
            if (!unit)
                break;
            if (*unit == 0)
                return true;
        }
    }
    return false;
}

} // namespace

// libplist takes sizes as 32-bit lengths (always true in a 32-bit build).
static bool fitsInPlistSize(const QByteArray& data) {
    return quint64(data.size()) <= std::numeric_limits<uint32_t>::max();
}

bool isBinary(const QByteArray& data) {
    return fitsInPlistSize(data) &&
           plist_is_binary(data.constData(), static_cast<uint32_t>(data.size()));
}

QVariant fromData(const QByteArray& data, QString* error) {
    if (data.isEmpty()) {
        setError(error, QStringLiteral("the data is empty"));
        return {};
    }
    if (!fitsInPlistSize(data)) {
        setError(error, QStringLiteral("the data is larger than 4 GiB"));
        return {};
    }
    const auto length = static_cast<uint32_t>(data.size());
    plist_t raw = nullptr;
    QString kind;
    if (plist_is_binary(data.constData(), length)) {
        if (binaryHoldsNulText(data)) {
            setError(error,
                     QStringLiteral("binary property list with text holding a NUL character"));
            return {};
        }
        kind = QStringLiteral("binary");
        plist_from_bin(data.constData(), length, &raw);
    } else if (looksLikeXml(data)) {
        // XML can hold no NUL byte, and libplist aborts on text holding one.
        if (data.contains('\0')) {
            setError(error, QStringLiteral("malformed XML property list: it holds a NUL byte"));
            return {};
        }
        kind = QStringLiteral("XML");
        plist_from_xml(data.constData(), length, &raw);
    } else {
        setError(error, QStringLiteral("not a property list (neither XML nor binary)"));
        return {};
    }
    PlistPtr root(raw);
    if (!root) {
        setError(error, QStringLiteral("malformed or truncated %1 property list").arg(kind));
        return {};
    }
    return toVariant(root.get(), 0, error);
}

QVariant readFile(const QString& path, QString* error) {
    QString reason;
    const std::optional<QByteArray> data = readFileData(path, kMaxFileSize, &reason);
    QVariant value = data ? fromData(*data, &reason) : QVariant();
    if (!value.isValid())
        setError(error, QStringLiteral("cannot read property list %1: %2").arg(path, reason));
    return value;
}

QByteArray toData(const QVariant& value, Format format, QString* error) {
    PlistPtr root(fromVariant(value, QString(), 0, error));
    if (!root)
        return {};
    char* raw = nullptr;
    uint32_t length = 0;
    if (format == Format::Xml)
        plist_to_xml(root.get(), &raw, &length);
    else
        plist_to_bin(root.get(), &raw, &length);
    Chars bytes(raw);
    if (!bytes || length == 0) {
        setError(error, QStringLiteral("the property list could not be serialised"));
        return {};
    }
    return QByteArray(bytes.get(), static_cast<qsizetype>(length));
}

bool canRepresent(const QVariant& value, QString* error) {
    return PlistPtr(fromVariant(value, QString(), 0, error)) != nullptr;
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    if (file.write(bytes) != bytes.size()) {
        setError(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setError(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool writeFile(const QString& path, const QVariant& value, Format format, QString* error) {
    QString reason;
    const QByteArray bytes = toData(value, format, &reason);
    if (bytes.isEmpty()) {
        setError(error, QStringLiteral("cannot write property list %1: %2").arg(path, reason));
        return false;
    }
    return writeFileAtomically(path, bytes, error);
}

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

} // namespace zarv::PropertyList
