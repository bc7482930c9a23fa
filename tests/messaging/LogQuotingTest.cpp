// What other programs send is quoted into the log only in part, and a flood of huge messages
// leaves neither huge log lines nor memory behind.

#include "MessagingTestSupport.h"

#include "messaging/OutboundNotifications.h"
#include "messaging/ZarvNSNotificationCenter.h"
#include "platform/Beep.h"

#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <malloc.h>
#include <unistd.h>

#ifdef __SANITIZE_ADDRESS__
extern "C" void __sanitizer_purge_allocator();
#endif

using namespace zarv;

namespace {

TEST(LogQuoting, LongTextsAreCutAndTheirLengthNamed) {
    const QString small(100, u'a');
    EXPECT_EQ(Log::quoted(small), small);
    const QString limit(Log::kQuoteLimit, u'b');
    EXPECT_EQ(Log::quoted(limit), limit);

    const QString huge(10 * 1024 * 1024, u'c');
    const QString cut = Log::quoted(huge);
    EXPECT_EQ(cut, QString(Log::kQuoteLimit, u'c') + QString::fromUtf8("…(10485760 bytes)"));

    // Lengths in bytes of UTF-8; the cut never splits a character.
    const QString wide = QString(2047, u'é') + QString::fromUtf8("😀") + QString(2000, u'ü');
    const QString wideCut = Log::quoted(wide);
    EXPECT_EQ(wideCut, QString(2047, u'é') + QString::fromUtf8("…(8098 bytes)"));

    // Inside a payload, every text and data value is capped on its own.
    const QVariantMap payload{{"senderApp", huge},
                              {"list", QVariantList{huge, 5}},
                              {"data", QByteArray(100000, 'd')},
                              {"short", "kept"}};
    const QString described = Log::quoted(QVariant(payload));
    EXPECT_LT(described.size(), 5 * (Log::kQuoteLimit * 4 / 3 + 100));
    EXPECT_EQ(described.count(QStringLiteral("(10485760 bytes)")), 2);
    EXPECT_TRUE(described.contains(QStringLiteral("(100000 bytes)")));
    EXPECT_TRUE(described.contains(QStringLiteral("\"short\":\"kept\"")));
}

// Texts a sender can make but no writer would: halves of surrogate pairs, alone or split
// wherever a counter might look at the text in pieces. The length named is what the text
// encodes to, and the part quoted never exceeds the limit.
TEST(LogQuoting, HostileUtf16IsCountedAsItEncodes) {
    const QChar high(0xD83D);
    const QChar low(0xDE00);
    auto euros = [](qsizetype n) { return QString(n, QChar(0x20AC)); };
    QString splitPairs = euros(4 * 4096);
    for (qsizetype at = 4096; at < splitPairs.size(); at += 4096) {
        splitPairs[at - 1] = high;
        splitPairs[at] = low;
    }
    QString loneHighs = euros(3 * 4096);
    QString loneLows = euros(3 * 4096);
    for (qsizetype at = 4096; at < loneHighs.size(); at += 4096) {
        loneHighs[at - 1] = high;
        loneLows[at] = low;
    }
    QString pairs;
    for (int i = 0; i < 1024 * 1024; ++i)
        pairs.append(high).append(low);
    const QList<std::pair<const char*, QString>> cases{
        {"pairs split between pieces", splitPairs},
        {"high halves at the ends of pieces", loneHighs},
        {"low halves at the starts of pieces", loneLows},
        {"only high halves", QString(20000, high)},
        {"only low halves", QString(20000, low)},
        {"a high half at the very end", euros(5000) + high},
        {"two million units of pairs", pairs},
    };
    for (const auto& [what, text] : cases) {
        const QString cut = Log::quoted(text);
        const QString note = QStringLiteral("\u2026(%1 bytes)").arg(text.toUtf8().size());
        if (!cut.endsWith(note)) {
            ADD_FAILURE() << what << ": " << cut.right(40).toStdString() << ", not "
                          << note.toStdString();
            continue;
        }
        const QString kept = cut.chopped(note.size());
        EXPECT_TRUE(text.startsWith(kept)) << what;
        EXPECT_LE(kept.toUtf8().size(), Log::kQuoteLimit) << what;
        EXPECT_GT(kept.toUtf8().size(), Log::kQuoteLimit - 4) << what;
        EXPECT_FALSE(kept.back().isHighSurrogate() && text.at(kept.size()).isLowSurrogate())
            << what << ": a pair cut in two";
    }
}

qint64 residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : -1;
}

// Hands freed memory back, so that what remains is what the program still holds.
qint64 settledResidentBytes() {
#ifdef __SANITIZE_ADDRESS__
    __sanitizer_purge_allocator();
#else
    malloc_trim(0);
#endif
    return residentBytes();
}

TEST(LogQuoting, AFloodOfHugeMessagesLeavesNothingBehind) {
    if (residentBytes() < 0)
        GTEST_SKIP() << "/proc/self/statm cannot be read";
    Log::install(QStringLiteral("test_messaging"));
    Log::setEchoToStderr(false);
    qsizetype longest = 0;
    Log::setSink([&](QtMsgType, const QString& line) { longest = std::max(longest, line.size()); });
    auto previousBeep = setBeepFunction([] {});
    ZarvNSNotificationCenter listener(&DistributedNotificationCenter::defaultCenter());

    auto message = [](int i) {
        QVariantMap info{{"senderApp", QString(10 * 1024 * 1024, QChar(u'a' + i % 26))},
                         {"filePath", QStringLiteral("/tmp/Image_%1.jpg").arg(i)}};
        return Notification{sZarvXNotification, QStringLiteral("test"), info};
    };
    listener.handleDistributedNotificationA(message(0)); // first use of every code path
    const qint64 before = settledResidentBytes();
    for (int i = 1; i <= 200; ++i)
        listener.handleDistributedNotificationA(message(i));
    const qint64 after = settledResidentBytes();

    Log::setSink({});
    setBeepFunction(previousBeep);
    EXPECT_LT(longest, 3 * Log::kQuoteLimit);
    EXPECT_LT(after - before, qint64(32) * 1024 * 1024)
        << "resident memory grew from " << before << " to " << after << " bytes";
}

} // namespace
