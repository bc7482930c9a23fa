#include "Log.h"

#include "DistributedNotificationCenter.h"

#include <QByteArray>
#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(zarvPlatform, "zarv.platform", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvUtil, "zarv.util", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvMessaging, "zarv.messaging", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvSdk, "zarv.sdk", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvUsb, "zarv.usb", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvModules, "zarv.modules", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvSession, "zarv.session", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvControls, "zarv.controls", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvApp, "zarv.app", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvUi, "zarv.ui", QtInfoMsg)
Q_LOGGING_CATEGORY(zarvLookout, "zarv.lookout", QtInfoMsg)

namespace zarv::Log {
namespace {

struct State {
    QMutex mutex;
    std::function<void(QtMsgType, const QString&)> sink;
    QByteArray ident; // syslog keeps the pointer, so it must outlive every openlog
    bool echo = false;
    bool installed = false;
};

State& state() {
    static State s;
    return s;
}

int syslogPriority(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtInfoMsg:
        return LOG_INFO;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_ERR;
    case QtFatalMsg:
        return LOG_CRIT;
    }
    return LOG_NOTICE;
}

void handler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    const QByteArray line = message.toUtf8();
    std::function<void(QtMsgType, const QString&)> sink;
    bool echo = false;
    {
        QMutexLocker lock(&state().mutex);
        sink = state().sink;
        echo = state().echo;
    }
    syslog(syslogPriority(type), "%s", line.constData());
    if (echo) {
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
    }
    if (sink)
        sink(type, message);
}

// UTF-8 length of the character starting at `at`, and how many units it takes. A pair is one
// character of 4 bytes; a lone half is written as '?' by QString::toUtf8, which logs the line.
struct Utf8Step {
    qsizetype bytes;
    qsizetype units;
};

Utf8Step utf8Step(QStringView text, qsizetype at) {
    const char16_t unit = text.at(at).unicode();
    if (unit < 0x80)
        return {1, 1};
    if (unit < 0x800)
        return {2, 1};
    if (QChar::isHighSurrogate(unit) && at + 1 < text.size() &&
        QChar::isLowSurrogate(text.at(at + 1).unicode()))
        return {4, 2};
    if (QChar::isSurrogate(unit))
        return {1, 1};
    return {3, 1};
}

QString lengthNote(qsizetype bytes) {
    return QStringLiteral("\u2026(%1 bytes)").arg(bytes);
}

} // namespace

void install(const QString& ident) {
    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (s.installed)
        return;
    s.ident = ident.toUtf8();
    s.echo = s.echo || isatty(STDERR_FILENO);
    openlog(s.ident.constData(), LOG_PID, LOG_USER);
    qInstallMessageHandler(handler);
    s.installed = true;
}

void setSink(std::function<void(QtMsgType, const QString&)> sink) {
    QMutexLocker lock(&state().mutex);
    state().sink = std::move(sink);
}

void setEchoToStderr(bool on) {
    QMutexLocker lock(&state().mutex);
    state().echo = on;
}

void info(Category category, const QString& text) {
    if (category().isInfoEnabled())
        QMessageLogger(nullptr, 0, nullptr, category().categoryName()).info().noquote() << text;
}

QString insideText(const QString& object, const QString& operation, const QString& rest) {
    return QStringLiteral("Inside %1 => %2...%3").arg(object, operation, rest);
}

void inside(Category category, const QString& object, const QString& operation,
            const QString& rest) {
    info(category, insideText(object, operation, rest));
}

void diagnostic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

QString quoted(const QString& text) {
    // Most texts are short: nothing to count when even all-3-byte characters would fit.
    if (text.size() * 3 <= kQuoteLimit)
        return text;
    qsizetype bytes = 0;
    qsizetype keep = 0;
    while (keep < text.size()) {
        const Utf8Step step = utf8Step(text, keep);
        if (bytes + step.bytes > kQuoteLimit)
            break;
        bytes += step.bytes;
        keep += step.units;
    }
    if (keep == text.size())
        return text;
    // The whole length, encoded a piece at a time rather than as one copy of a huge text. Each
    // piece is encoded on its own, into a buffer of its own size, and never ends inside a pair.
    constexpr qsizetype kPiece = 4096;
    qsizetype total = 0;
    for (qsizetype at = 0; at < text.size();) {
        qsizetype length = std::min(kPiece, text.size() - at);
        if (at + length < text.size() && text.at(at + length - 1).isHighSurrogate())
            --length;
        total += QStringView(text).mid(at, length).toUtf8().size();
        at += length;
    }
    return text.left(keep) + lengthNote(total);
}

QVariant capped(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QString:
        return quoted(value.toString());
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        if (data.size() <= kQuoteLimit)
            return value;
        return QString::fromLatin1(data.left(kQuoteLimit).toBase64()) + lengthNote(data.size());
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QVariantList list = value.toList();
        for (QVariant& element : list)
            element = capped(element);
        return list;
    }
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        QVariantMap map;
        const QVariantMap source = value.toMap();
        for (auto it = source.cbegin(); it != source.cend(); ++it)
            map.insert(quoted(it.key()), capped(it.value()));
        return map;
    }
    default:
        return value;
    }
}

QString quoted(const QVariant& value) {
    return describePropertyValue(capped(value));
}

} // namespace zarv::Log
