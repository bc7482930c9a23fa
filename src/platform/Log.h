#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QVariant>

#include <functional>

// One category for each layer, their debug output off unless asked for, one layer at a time:
// QT_LOGGING_RULES="zarv.sdk.debug=true".
Q_DECLARE_LOGGING_CATEGORY(zarvPlatform)
Q_DECLARE_LOGGING_CATEGORY(zarvUtil)
Q_DECLARE_LOGGING_CATEGORY(zarvMessaging)
Q_DECLARE_LOGGING_CATEGORY(zarvSdk)
Q_DECLARE_LOGGING_CATEGORY(zarvUsb)
Q_DECLARE_LOGGING_CATEGORY(zarvModules)
Q_DECLARE_LOGGING_CATEGORY(zarvSession)
Q_DECLARE_LOGGING_CATEGORY(zarvControls)
Q_DECLARE_LOGGING_CATEGORY(zarvApp)
Q_DECLARE_LOGGING_CATEGORY(zarvUi)
Q_DECLARE_LOGGING_CATEGORY(zarvLookout)

namespace zarv {

/// Process-wide logging: every Qt message (qDebug, qInfo, qWarning, qCritical) goes to syslog
/// under the program's name, and also to standard error when that is a terminal.
namespace Log {

/// A layer's category, as Q_DECLARE_LOGGING_CATEGORY declares it (zarvSdk, zarvSession, ...).
using Category = const QLoggingCategory& (*)();

/// Installs the message handler. Call once, early in main(); safe to call again.
void install(const QString& ident);

/// Lets a test see every formatted line; pass an empty function to stop.
/// The sink is called on the logging thread, after the line is formatted.
void setSink(std::function<void(QtMsgType, const QString&)> sink);

/// Sends everything to standard error too, even when it is not a terminal.
void setEchoToStderr(bool on);

/// One line, at info level in `category`, as it stands.
void info(Category category, const QString& text);

/// An operation's entry as the log writes it: "Inside <object> => <operation>...<rest>".
QString insideText(const QString& object, const QString& operation, const QString& rest = {});
/// Logs insideText at info level in `category`.
void inside(Category category, const QString& object, const QString& operation,
            const QString& rest = {});

/// The camera client's diagnostics (printf's format): to standard output at once, never the
/// log, beside what caused them.
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// A property-list value written the way the Mac's "%@" prints a container, for log lines:
/// dictionaries as { key = value; }, arrays as ( a, b ), data as <hex>; strings are quoted
/// when they hold anything but letters, digits, '_', '.' and '$'.
QString describe(const QVariant& value);
/// A value as the Mac's "%@" writes it in a line: texts and numbers as they are, containers as
/// describe() writes them, "(null)" when absent.
QString value(const QVariant& value);

/// The most a log line quotes of one value that came from outside (UTF-8 bytes).
inline constexpr qsizetype kQuoteLimit = 4096;

/// Outside input as a log line may quote it: a text longer than kQuoteLimit bytes is cut there
/// and ends with "…(<its length> bytes)", so a hostile sender cannot flood the log.
QString quoted(const QString& text);
/// `value` with every text and data inside it capped as above (data become texts), for a log
/// line that describes values in a format of its own.
QVariant capped(const QVariant& value);
/// A property value described for the log, every text and data inside it capped as above.
QString quoted(const QVariant& value);

} // namespace Log
} // namespace zarv
