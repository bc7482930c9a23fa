#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace zarv {

/// Property lists mapped onto QVariant: dictionaries are QVariantMap, arrays QVariantList,
/// strings QString, integers qlonglong, reals double, booleans bool, dates QDateTime (UTC),
/// data QByteArray. Reading accepts XML and binary lists; writing gives XML or binary.
/// Dates are written to the whole second, which is all the XML form holds.
/// Every function is reentrant; none touches shared state.
namespace PropertyList {

enum class Format { Xml, Binary };

/// Parses a property list held in memory. On failure returns an invalid QVariant and, when
/// `error` is given, the reason.
QVariant fromData(const QByteArray& data, QString* error = nullptr);

/// Reads a property list file. On failure returns an invalid QVariant; the error names the file
/// and the reason.
QVariant readFile(const QString& path, QString* error = nullptr);

/// The largest file readFile reads.
inline constexpr qsizetype kMaxFileSize = qsizetype(64) << 20;

/// The bytes of a regular file of at most `maxSize` bytes (a pipe or a device is refused, never
/// opened for reading), reading nothing past the limit. On failure returns none and the reason;
/// `tooLarge` tells a file over the limit from the other failures.
std::optional<QByteArray> readFileData(const QString& path, qsizetype maxSize,
                                       QString* error = nullptr, bool* tooLarge = nullptr);

/// True when the data is a binary property list (by its header; it may still be malformed).
bool isBinary(const QByteArray& data);

/// Serialises a value. Fails (empty result and an error) when the value, or anything nested in
/// it, has no property-list form, such as an invalid QVariant: nothing is dropped silently.
QByteArray toData(const QVariant& value, Format format, QString* error = nullptr);

/// True when the value, and everything nested in it, has a property-list form.
bool canRepresent(const QVariant& value, QString* error = nullptr);

/// True for the values a property list stores as <integer> or <real>.
bool isNumber(const QVariant& value);

/// Writes a value to a file atomically: the data goes to a temporary file beside the target,
/// is flushed to disk, then renamed over the target. On any failure (a full disk, no write
/// permission) the previous file stays as it was and the error names the file and the reason.
bool writeFile(const QString& path, const QVariant& value, Format format = Format::Xml,
               QString* error = nullptr);

/// Writes bytes to a file with the same atomic guarantee as writeFile.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error = nullptr);

} // namespace PropertyList
} // namespace zarv
