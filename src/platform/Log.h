#pragma once

#include <QString>
#include <QVariant>

#include <functional>

namespace zarv {

/// Process-wide logging: every Qt message (qDebug, qInfo, qWarning, qCritical) goes to syslog
/// under the program's name, and also to standard error when that is a terminal.
namespace Log {

/// Installs the message handler. Call once, early in main(); safe to call again.
void install(const QString& ident);

/// Lets a test see every formatted line; pass an empty function to stop.
/// The sink is called on the logging thread, after the line is formatted.
void setSink(std::function<void(QtMsgType, const QString&)> sink);

/// Sends everything to standard error too, even when it is not a terminal.
void setEchoToStderr(bool on);

/// Logs an operation's entry as "Inside <object> => <operation>...".
void inside(const QString& object, const QString& operation);

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
