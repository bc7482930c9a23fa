// The per-shot timing records of the program under test, as a user and a sibling see them:
// `zarvctl shots`, its --follow, the log file and the bus message.
#include "EndToEndSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSize>

#include <set>
#include <vector>

using namespace zarv;
using namespace zarv::test;

namespace {

const QString kShots = QStringLiteral("ZarvShotsNotification");

QStringList linesOf(const QByteArray& text) {
    return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
}

QStringList fileLines(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? linesOf(f.readAll()) : QStringList();
}

// One line of `zarvctl shots`, the record of picture `index` (from 0): an announced file, its
// size, its place in the sequence, where it was first seen, and its five times in order.
void expectTimingRecord(const QString& line, qsizetype index,
                        const std::map<QString, int>& pictures, std::set<QString>* paths) {
    QJsonParseError error;
    const QJsonObject r = QJsonDocument::fromJson(line.toUtf8(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    const QString path = r.value("filePath").toString();
    paths->insert(path);
    EXPECT_EQ(pictures.count(path), 1u) << path.toStdString();
    EXPECT_EQ(r.value("bytes").toInteger(), QFileInfo(path).size()) << path.toStdString();
    EXPECT_EQ(r.value("sequence").toInteger(), index + 1);
    // The module announces the picture it takes; those on the card at connection are
    // found by the save unless it announces them too.
    if (index == 2)
        EXPECT_EQ(r.value("shotFrom").toString(), "event");
    else
        EXPECT_TRUE(r.value("shotFrom").toString() == "save" ||
                    r.value("shotFrom").toString() == "event");
    // Times in UTC with milliseconds, a fixed width: their order is their text's.
    QString previous;
    for (const char* stage : {"shot", "firstByte", "lastByte", "synced", "announced"}) {
        const QString time = r.value(stage).toString();
        EXPECT_TRUE(QDateTime::fromString(time, Qt::ISODateWithMs).isValid())
            << stage << ": " << time.toStdString();
        EXPECT_LE(previous, time) << stage << " before the stage ahead of it";
        previous = time;
    }
}

// The files of the pictures announced in "newshot" messages.
QStringList broadcastPaths(const std::vector<QVariantMap>& messages) {
    QStringList sent;
    for (const QVariantMap& m : messages)
        if (m.value("action").toString() == "newshot")
            for (const QVariant& r : m.value("shots").toList())
                sent << r.toMap().value("filePath").toString();
    return sent;
}

// Hostile requests: an id of a megabyte, a count out of range.
void postHostileRequests() {
    auto& center = DistributedNotificationCenter::defaultCenter();
    center.post(QStringLiteral("ZarvNikonAppNotification"), {},
                {{QStringLiteral("senderApp"), QStringLiteral("Hostile")},
                 {QStringLiteral("action"), QStringLiteral("RequestShots")},
                 {QStringLiteral("requestId"), QString(1024 * 1024, u'x')}});
    center.post(QStringLiteral("ZarvNikonAppNotification"), {},
                {{QStringLiteral("senderApp"), QStringLiteral("Hostile")},
                 {QStringLiteral("action"), QStringLiteral("requestshots")},
                 {QStringLiteral("count"), qlonglong(-1)}});
}

// The answers among `all` from `from` on that are not to zarvctl's own requests (those may
// still arrive late, and carry its request id).
std::vector<QVariantMap> hostileAnswers(const std::vector<QVariantMap>& all, size_t from) {
    std::vector<QVariantMap> found;
    for (size_t i = from; i < all.size(); ++i)
        if (all[i].value("action").toString() == "shots" &&
            !all[i].value("requestId").toString().startsWith("zarvctl-"))
            found.push_back(all[i]);
    return found;
}

// `zarvctl shots --follow`, its output gathered as it comes.
struct Follower {
    QProcess process;
    QByteArray out, errors;
    void read() {
        out += process.readAllStandardOutput();
        errors += process.readAllStandardError();
    }
};

// Every picture the program announced has one record: its file, its size, and its five times
// in order, in `zarvctl shots`, in the log file and in --follow; a hostile or oversized request
// is answered with an error and costs no record.
TEST_F(EndToEnd, EveryPictureHasItsTimingRecord) {
    writeConfig(QStringLiteral("pictures = 2\npiece_size = 8192\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    ASSERT_TRUE(waitForPictures(2)) << program.log().toStdString();

    Follower follow;
    follow.process.start(kZarvctl, {QStringLiteral("shots"), QStringLiteral("--follow")});
    ASSERT_TRUE(waitUntil(
        [&] {
            follow.read();
            return follow.errors.contains("following");
        },
        kLong))
        << follow.errors.toStdString();

    ASSERT_EQ(zarvctl(QStringLiteral("grab")), 0);
    ASSERT_TRUE(waitForPictures(3)) << program.log().toStdString();
    const std::map<QString, int> pictures = announced();

    QProcess list;
    list.start(kZarvctl, {QStringLiteral("shots")});
    ASSERT_TRUE(list.waitForFinished(kLong));
    EXPECT_EQ(list.exitCode(), 0) << list.readAllStandardError().toStdString();
    const QStringList lines = linesOf(list.readAllStandardOutput());
    ASSERT_EQ(lines.size(), 3) << lines.join(u'\n').toStdString();
    std::set<QString> paths;
    for (qsizetype i = 0; i < lines.size(); ++i)
        ASSERT_NO_FATAL_FAILURE(expectTimingRecord(lines[i], i, pictures, &paths));
    EXPECT_EQ(paths.size(), 3u);

    // The log file holds the same lines; each announcement also went out on the bus.
    const QString log = dir.path() + QStringLiteral("/state/ZarvNikonCapture/shots.jsonl");
    ASSERT_TRUE(waitUntil([&] { return fileLines(log).size() >= 3; }, kLong));
    EXPECT_EQ(fileLines(log), lines);
    EXPECT_TRUE(waitUntil([&] { return broadcastPaths(named(kShots)).size() >= 3; }, kLong));
    EXPECT_EQ(broadcastPaths(named(kShots)).size(), 3);
    for (const QString& path : broadcastPaths(named(kShots)))
        EXPECT_EQ(paths.count(path), 1u) << path.toStdString();

    // --follow printed what there was, then the new picture, each once.
    ASSERT_TRUE(waitUntil(
        [&] {
            follow.read();
            return linesOf(follow.out).size() >= 3;
        },
        kLong));
    ::kill(pid_t(follow.process.processId()), SIGINT);
    ASSERT_TRUE(follow.process.waitForFinished(kLong));
    follow.read();
    EXPECT_EQ(follow.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(follow.process.exitCode(), 0);
    EXPECT_EQ(linesOf(follow.out), lines);

    const size_t before = named(kShots).size();
    postHostileRequests();
    ASSERT_TRUE(
        waitUntil([&] { return hostileAnswers(named(kShots), before).size() >= 2; }, kLong));
    for (const QVariantMap& answer : hostileAnswers(named(kShots), before)) {
        EXPECT_FALSE(answer.value("error").toString().isEmpty());
        EXPECT_FALSE(answer.contains("shots"));
        EXPECT_FALSE(answer.contains("requestId"));
    }
    QProcess again;
    again.start(kZarvctl, {QStringLiteral("shots")});
    ASSERT_TRUE(again.waitForFinished(kLong));
    EXPECT_EQ(linesOf(again.readAllStandardOutput()), lines);

    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

} // namespace

namespace {

struct CliRun {
    int code = -1;
    QString out, errors;
};

// A baseline JPEG's size from its frame header (this test links no image library).
QSize jpegSize(const QString& path) {
    QFile f(path);
    const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const qsizetype sof = bytes.indexOf(QByteArray("\xff\xc0", 2));
    if (!bytes.startsWith("\xff\xd8") || sof < 0 || sof + 9 > bytes.size())
        return {};
    const auto at = [&](qsizetype i) { return (uchar(bytes[i]) << 8) | uchar(bytes[i + 1]); };
    return QSize(at(sof + 7), at(sof + 5));
}

CliRun zarvctlRun(const QStringList& args) {
    QProcess p;
    p.start(kZarvctl, args);
    CliRun run;
    if (!p.waitForFinished(30000))
        return run;
    run.code = p.exitCode();
    run.out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    run.errors = QString::fromUtf8(p.readAllStandardError()).trimmed();
    return run;
}

// Live view for scripts: one frame to a file (live view started for it alone), start and stop,
// a refusing camera's reasons, and paths the program must not write to.
TEST_F(EndToEnd, ScriptsTakeLiveViewFramesIntoFiles) {
    writeConfig(QStringLiteral("pictures = 0\nliveview_fps = 30\nliveview_size = 640x424\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();

    const QString frame = dir.path() + QStringLiteral("/frame.jpg");
    CliRun run = zarvctlRun({QStringLiteral("liveview"), QStringLiteral("frame"), frame});
    ASSERT_EQ(run.code, 0) << run.errors.toStdString() << program.log().toStdString();
    EXPECT_EQ(run.out, "saved");
    EXPECT_EQ(jpegSize(frame), QSize(640, 424));
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("frame.jpg.*")}).isEmpty())
        << "no temporary file left beside it";
    ASSERT_TRUE(waitUntil([&] { return program.log().contains("Live view stopped"); }, kLong))
        << "live view started for one frame stops after it";

    EXPECT_EQ(zarvctlRun({QStringLiteral("liveview"), QStringLiteral("start")}).out, "started");
    ASSERT_EQ(zarvctlRun({QStringLiteral("liveview"), QStringLiteral("frame"), frame}).code, 0);
    EXPECT_EQ(zarvctlRun({QStringLiteral("liveview"), QStringLiteral("stop")}).out, "stopped");

    // A directory, a relative path and a folder that does not exist are refused, nothing
    // written.
    for (const QString& bad : {dir.path(), QStringLiteral("relative.jpg"),
                               dir.path() + QStringLiteral("/none/frame.jpg")}) {
        const QVariantMap request{{QStringLiteral("senderApp"), QStringLiteral("test")},
                                  {QStringLiteral("action"), QStringLiteral("liveviewframe")},
                                  {QStringLiteral("requestId"), bad},
                                  {QStringLiteral("filePath"), bad}};
        DistributedNotificationCenter::defaultCenter().post(
            QStringLiteral("ZarvNikonAppNotification"), {}, request);
        ASSERT_TRUE(waitUntil(
            [&] {
                for (const Notification& n : received)
                    if (n.name == "ZarvLiveViewNotification" &&
                        n.userInfo.value("requestId") == bad)
                        return !n.userInfo.value("error").toString().isEmpty();
                return false;
            },
            kLong))
            << bad.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/none")));

    // An oversized request id is not echoed back.
    DistributedNotificationCenter::defaultCenter().post(
        QStringLiteral("ZarvNikonAppNotification"), {},
        {{QStringLiteral("senderApp"), QStringLiteral("Hostile")},
         {QStringLiteral("action"), QStringLiteral("LiveViewStart")},
         {QStringLiteral("requestId"), QString(1024 * 1024, u'x')}});
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const QVariantMap& m : named(QStringLiteral("ZarvLiveViewNotification")))
                if (!m.contains("requestId") && m.value("error").toString().contains("requestId"))
                    return true;
            return false;
        },
        kLong));
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

TEST_F(EndToEnd, ARefusedLiveViewTellsTheScriptWhy) {
    writeConfig(QStringLiteral("pictures = 0\nliveview_refuse = 0x8\n"));
    plugCamera();
    Program program(dir.path(), QStringLiteral("program"));
    program.start(arguments(), environment());
    ASSERT_TRUE(waitForStatus(1)) << program.log().toStdString();
    const CliRun run = zarvctlRun({QStringLiteral("liveview"), QStringLiteral("start")});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.errors.contains("Card full")) << run.errors.toStdString();
    EXPECT_EQ(program.stop(), 0) << program.log().toStdString();
}

} // namespace
