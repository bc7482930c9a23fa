#include "MessagingTestSupport.h"

#include "messaging/ShotTimeline.h"
#include "platform/Bundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>
#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

// One picture through every stage, as the session and the data procedure report it.
void savePicture(ShotTimeline& t, uint32_t item, const QString& path, quint64 bytes = 1000) {
    t.noteFound(item);
    t.noteFirstByte(item);
    t.noteLastByte(item);
    t.noteSynced(item, path, bytes);
    t.noteAnnounced(path);
}

void expectOrdered(const ShotRecord& r) {
    EXPECT_LE(r.shot, r.firstByte);
    EXPECT_LE(r.firstByte, r.lastByte);
    EXPECT_LE(r.lastByte, r.synced);
    EXPECT_LE(r.synced, r.announced);
    // The dates siblings get keep the order too.
    const QVariantMap m = r.toVariantMap();
    const char* const stages[] = {"shot", "firstByte", "lastByte", "synced", "announced"};
    for (size_t i = 1; i < std::size(stages); ++i)
        EXPECT_LE(m.value(stages[i - 1]).toDateTime(), m.value(stages[i]).toDateTime())
            << stages[i - 1] << " after " << stages[i];
}

QStringList linesOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class ShotTimelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        Bundle::setMainBundlePath(ZARV_APP_DIR);
        ASSERT_TRUE(dir.isValid());
    }
    QTemporaryDir dir;
};

// The shot is when the module announced the picture; without that, when the save found it; a
// late event never moves it. Every stage follows the one before, and the record keeps the path,
// the size and the rate.
TEST_F(ShotTimelineTest, StagesAreOrderedAndTheShotComesFromTheEarliestSign) {
    ShotTimeline t;
    std::vector<ShotRecord> heard;
    t.setListener([&](const ShotRecord& r) { heard.push_back(r); });

    const qint64 before = ShotTimeline::now();
    t.noteShot(0x1001);
    sleepMs(3);
    t.noteFound(0x1001);
    t.noteFirstByte(0x1001);
    sleepMs(2);
    t.noteLastByte(0x1001);
    t.noteSynced(0x1001, "/hot/Image_1.jpg", 3000000);
    EXPECT_TRUE(t.records().empty()) << "complete only once announced";
    t.noteAnnounced("/hot/Image_1.jpg");

    // The module's event comes in the middle of the transfer, after the save found the item.
    t.noteFound(0x1002);
    t.noteFirstByte(0x1002);
    t.noteShot(0x1002);
    t.noteLastByte(0x1002);
    t.noteSynced(0x1002, "/hot/Image_2.jpg", 10);
    t.noteAnnounced("/hot/Image_2.jpg");

    // Nothing before the first byte: a module that only delivers.
    t.noteFirstByte(0x1003);
    t.noteSynced(0x1003, "/hot/Image_3.jpg", 10);
    t.noteAnnounced("/hot/Image_3.jpg");

    const std::vector<ShotRecord> records = t.records();
    ASSERT_EQ(records.size(), 3u);
    ASSERT_EQ(heard.size(), 3u);
    for (const ShotRecord& r : records)
        expectOrdered(r);

    const ShotRecord& first = records[0];
    EXPECT_EQ(first.sequence, 1u);
    EXPECT_EQ(first.item, 0x1001u);
    EXPECT_TRUE(first.shotFromEvent);
    EXPECT_GE(first.shot, before);
    EXPECT_GE(first.firstByte - first.shot, 3000) << "the shot is the event, not the save";
    EXPECT_GE(first.lastByte - first.firstByte, 2000);
    EXPECT_NEAR(first.throughput(), 3e12 / double(first.lastByte - first.firstByte), 1.0);

    EXPECT_FALSE(records[1].shotFromEvent) << "a late event does not move the shot";
    EXPECT_FALSE(records[2].shotFromEvent);
    EXPECT_EQ(records[2].shot, records[2].firstByte);

    const QVariantMap m = first.toVariantMap();
    EXPECT_EQ(m.value("filePath").toString(), "/hot/Image_1.jpg");
    EXPECT_EQ(m.value("bytes").toLongLong(), 3000000);
    EXPECT_EQ(m.value("item").toLongLong(), 0x1001);
    EXPECT_EQ(m.value("sequence").toLongLong(), 1);
    EXPECT_EQ(m.value("shotFrom").toString(), "event");
    EXPECT_EQ(records[1].toVariantMap().value("shotFrom").toString(), "save");
    EXPECT_EQ(m.value("announced").toDateTime().toMSecsSinceEpoch(), first.announced / 1000);

    // The log's line is the same record.
    QJsonParseError error;
    const QJsonObject line = QJsonDocument::fromJson(first.toJson(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    EXPECT_EQ(line.value("filePath").toString(), "/hot/Image_1.jpg");
    EXPECT_EQ(line.value("bytes").toInteger(), 3000000);
    EXPECT_TRUE(line.value("shot").toString().endsWith('Z'));
    EXPECT_FALSE(first.toJson().contains('\n'));
}

// A transfer tried again is timed from its own first byte; a dropped item, or one of a connection
// that ended, starts afresh when its id comes back; a picture already on disk still gets its
// record; an announcement is recorded once.
TEST_F(ShotTimelineTest, RetriesDropsAndReusedIds) {
    ShotTimeline t;
    t.noteShot(7);
    t.noteFirstByte(7);
    const qint64 failedAt = ShotTimeline::now();
    sleepMs(3);
    t.noteFirstByte(7); // the first attempt failed; the next tick starts over
    t.noteLastByte(7);
    t.noteSynced(7, "/hot/a.jpg", 10);
    t.noteAnnounced("/hot/a.jpg");
    t.noteAnnounced("/hot/a.jpg");
    ASSERT_EQ(t.records().size(), 1u);
    EXPECT_GT(t.records()[0].firstByte, failedAt);
    EXPECT_TRUE(t.records()[0].shotFromEvent);

    t.noteShot(8);
    t.noteGone(8); // the camera dropped it; its id comes back as another picture
    sleepMs(3);
    const qint64 dropped = ShotTimeline::now();
    savePicture(t, 8, "/hot/b.jpg");

    t.noteShot(9);
    t.noteFirstByte(9);
    t.noteLastByte(9);
    t.noteSynced(9, "/hot/c.jpg", 10);
    t.noteShot(10);
    t.forgetItems(); // the connection ended before the announcement left
    sleepMs(3);
    const qint64 reconnected = ShotTimeline::now();
    savePicture(t, 10, "/hot/d.jpg");
    t.noteAnnounced("/hot/c.jpg");
    t.noteAnnounced("/hot/unknown.jpg");

    const std::vector<ShotRecord> records = t.records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1].filePath, "/hot/b.jpg");
    EXPECT_GE(records[1].shot, dropped) << "the dropped picture's shot time was reused";
    EXPECT_FALSE(records[1].shotFromEvent);
    EXPECT_EQ(records[2].filePath, "/hot/d.jpg");
    EXPECT_GE(records[2].shot, reconnected) << "a shot time of the ended connection was reused";
    EXPECT_EQ(records[3].filePath, "/hot/c.jpg");
    EXPECT_EQ(records[3].item, 9u);
    for (const ShotRecord& r : records)
        expectOrdered(r);
}

// Memory holds the last thousand, oldest first.
TEST_F(ShotTimelineTest, KeepsTheLastThousand) {
    ShotTimeline t;
    for (uint32_t i = 1; i <= ShotTimeline::kKept + 5; ++i)
        savePicture(t, i, QStringLiteral("/hot/%1.jpg").arg(i));
    const std::vector<ShotRecord> all = t.records();
    ASSERT_EQ(all.size(), ShotTimeline::kKept);
    EXPECT_EQ(all.front().sequence, 6u);
    EXPECT_EQ(all.back().sequence, ShotTimeline::kKept + 5);
    const std::vector<ShotRecord> last = t.records(3);
    ASSERT_EQ(last.size(), 3u);
    EXPECT_EQ(last.front().sequence, ShotTimeline::kKept + 3);
    EXPECT_EQ(last.back().filePath, QStringLiteral("/hot/%1.jpg").arg(ShotTimeline::kKept + 5));
}

// One line per picture; past the limit the file becomes shots.jsonl.1 (only one previous file is
// kept) and no line is lost or cut at the turn; a line a crash cut short stays on its own.
TEST_F(ShotTimelineTest, LogLinesRotateWithoutLoss) {
    ShotTimeline t;
    const QString folder = dir.path() + "/state/ZarvNikonCapture";
    const QString path = folder + "/shots.jsonl";
    constexpr qint64 limit = 4096;
    t.setLogFile(path, limit);
    for (uint32_t i = 1; i <= 60; ++i)
        savePicture(t, i, QStringLiteral("/hot/Image_%1.jpg").arg(i, 20, 10, QChar('0')));
    t.flush();

    EXPECT_EQ(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0)
        << "the state folder is the user's own";
    EXPECT_LE(QFileInfo(path).size(), limit);
    EXPECT_LE(QFileInfo(path + ".1").size(), limit);
    EXPECT_FALSE(QFileInfo::exists(path + ".2"));
    const QStringList lines = linesOf(path + ".1") + linesOf(path);
    ASSERT_FALSE(lines.isEmpty());
    const std::vector<ShotRecord> kept = t.records();
    const qsizetype skipped = qsizetype(kept.size()) - lines.size(); // in older rotations
    ASSERT_GT(skipped, 0) << "the limit was never reached";
    for (qsizetype i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].toUtf8(), kept[size_t(skipped + i)].toJson()) << "line " << i;

    // A crash left half a line.
    t.setLogFile(path);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("{\"sequence\":6");
    }
    savePicture(t, 100, "/hot/after-crash.jpg");
    t.flush();
    const QStringList after = linesOf(path);
    ASSERT_GE(after.size(), 2);
    EXPECT_EQ(after.last().toUtf8(), t.records().back().toJson());
    EXPECT_EQ(after[after.size() - 2], "{\"sequence\":6");
}

// A log that cannot be written (its folder blocked by a file, a full disk) is reported once;
// every picture is still announced and kept in memory, and the log resumes when it can.
TEST_F(ShotTimelineTest, AnUnwritableLogIsReportedOnceAndCostsNothingElse) {
    LogCapture log;
    ShotTimeline t;
    int heard = 0;
    t.setListener([&](const ShotRecord&) { ++heard; });
    const QString blocked = dir.path() + "/blocked";
    {
        QFile f(blocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QString path = blocked + "/ZarvNikonCapture/shots.jsonl";
    t.setLogFile(path);
    for (uint32_t i = 1; i <= 5; ++i)
        savePicture(t, i, QStringLiteral("/hot/%1.jpg").arg(i));
    t.flush();
    EXPECT_EQ(heard, 5);
    EXPECT_EQ(t.records().size(), 5u);
    EXPECT_EQ(log.count("Cannot write the shot log"), 1) << log.lines().join('\n').toStdString();
    EXPECT_TRUE(log.contains(path));

    ASSERT_TRUE(QFile::remove(blocked));
    savePicture(t, 6, "/hot/6.jpg");
    t.flush();
    EXPECT_EQ(linesOf(path).size(), 1);
    EXPECT_TRUE(log.contains("is written again"));

    // A full disk: writes fail whole, and leave no part of a line.
    if (!QFileInfo::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full to stand for a full disk";
    const QString full = dir.path() + "/full/shots.jsonl";
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/full"));
    ASSERT_TRUE(QFile::link("/dev/full", full));
    t.setLogFile(full);
    for (uint32_t i = 7; i <= 9; ++i)
        savePicture(t, i, QStringLiteral("/hot/%1.jpg").arg(i));
    t.flush();
    EXPECT_EQ(log.count("Cannot write the shot log"), 2);
    EXPECT_EQ(heard, 9);
    EXPECT_EQ(t.records().size(), 9u);
}

// The answer to a sibling: every record or the last few, the request's id echoed; a request that
// is malformed, hostile or one of a flood gets an error, and the records are all still there.
TEST_F(ShotTimelineTest, RequestsAreAnsweredAndHostileOnesGetAnError) {
    ShotTimeline t;
    for (uint32_t i = 1; i <= 3; ++i)
        savePicture(t, i, QStringLiteral("/hot/%1.jpg").arg(i));

    QVariantMap a = t.answer({});
    EXPECT_EQ(a.value("action").toString(), "shots");
    EXPECT_EQ(a.value("senderApp").toString(), "ZarvNikonCapture.app");
    EXPECT_FALSE(a.contains("error"));
    ASSERT_EQ(a.value("shots").toList().size(), 3);
    EXPECT_EQ(a.value("shots").toList().front().toMap(), t.records().front().toVariantMap());

    a = t.answer({{"requestId", "zarvctl-42"}, {"count", qlonglong(2)}});
    EXPECT_EQ(a.value("requestId").toString(), "zarvctl-42");
    ASSERT_EQ(a.value("shots").toList().size(), 2);
    EXPECT_EQ(a.value("shots").toList().back().toMap().value("sequence").toLongLong(), 3);

    const std::vector<QVariantMap> hostile = {
        {{"requestId", QString(ShotTimeline::kMaxRequestIdLength + 1, 'x')}},
        {{"requestId", QString(4 * 1024 * 1024, 'x')}},
        {{"requestId", qlonglong(5)}},
        {{"requestId", QVariantMap{{"a", 1}}}},
        {{"count", qlonglong(0)}},
        {{"count", qlonglong(-1)}},
        {{"count", qlonglong(ShotTimeline::kKept + 1)}},
        {{"count", std::numeric_limits<qulonglong>::max()}},
        {{"count", std::numeric_limits<qlonglong>::min()}},
        {{"count", 2.5}},
        {{"count", "2"}},
        {{"count", true}},
    };
    for (const QVariantMap& request : hostile) {
        a = t.answer(request);
        EXPECT_FALSE(a.value("error").toString().isEmpty())
            << describePropertyValue(request).left(200).toStdString();
        EXPECT_FALSE(a.contains("shots"));
        EXPECT_LE(a.value("requestId").toString().size(), ShotTimeline::kMaxRequestIdLength);
    }
    EXPECT_EQ(t.answer({}).value("shots").toList().size(), 3);

    int refused = 0;
    for (int i = 0; i < 100; ++i)
        refused += t.answer({}).contains("error") ? 1 : 0;
    EXPECT_GE(refused, 100 - 2 * ShotTimeline::kAnswersPerSecond) << "a flood answered in full";
    sleepMs(300);
    EXPECT_EQ(t.answer({}).value("shots").toList().size(), 3) << "still refused after the flood";
    EXPECT_EQ(t.records().size(), 3u);
}

// The largest answer, a thousand records of long paths, crosses the bus whole, with its dates.
TEST_F(ShotTimelineTest, TheFullAnswerCrossesTheBus) {
    auto& center = DistributedNotificationCenter::defaultCenter();
    if (!center.isConnected())
        GTEST_SKIP() << "needs a session bus";
    ShotTimeline t;
    const QString folder = "/" + QString(3900, 'f');
    for (uint32_t i = 1; i <= ShotTimeline::kKept; ++i)
        savePicture(t, i, folder + QStringLiteral("/Image_%1.jpg").arg(i));
    Recorder recorder(center, sZarvShotsNotification);
    center.post(sZarvShotsNotification, {}, t.answer({{"requestId", "big"}}));
    ASSERT_TRUE(recorder.waitFor(1, 30000));
    const QVariantMap got = recorder.seen().front().userInfo;
    EXPECT_EQ(got.value("requestId").toString(), "big");
    const QVariantList shots = got.value("shots").toList();
    ASSERT_EQ(shots.size(), qsizetype(ShotTimeline::kKept));
    EXPECT_EQ(shots.back().toMap(), t.records().back().toVariantMap());
    EXPECT_EQ(shots.front().toMap().value("announced").typeId(), QMetaType::QDateTime);
}

} // namespace
