#pragma once

// The per-shot timing record: when the program learnt of each picture, when its first and last
// bytes arrived, when it was on disk under its final name and when it was announced. The last
// records are kept in memory, appended to a log file as JSON lines and handed to siblings on
// request over the bus.

#include "platform/NotificationCenter.h"

#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace zarv {

/// "ZarvShotsNotification": the program's answer to a "requestshots" action, and the record of
/// each picture as it is announced.
extern const QString sZarvShotsNotification;

/// The times of one picture as wall-clock microseconds since 1970, all read from one monotonic
/// source, so that shot <= firstByte <= lastByte <= synced <= announced always holds.
struct ShotRecord {
    quint64 sequence = 0; // 1 for the first picture of this run
    uint32_t item = 0;    // the camera's id of the picture
    QString filePath;
    quint64 bytes = 0;
    bool shotFromEvent = false; // the module announced the picture; else the save found it
    qint64 shot = 0;
    qint64 firstByte = 0;
    qint64 lastByte = 0;
    qint64 synced = 0;
    qint64 announced = 0;

    /// Bytes per second from the first to the last byte; 0 when they coincide.
    double throughput() const;
    /// The record as siblings receive it and as the log keeps it: "sequence", "item",
    /// "filePath", "bytes", "shotFrom" ("event" or "save"), the five times as dates and
    /// "throughput" (when not 0).
    QVariantMap toVariantMap() const;
    /// toVariantMap() as one line of compact JSON, without the line end.
    QByteArray toJson() const;
};

/// Collects the times of each picture as the session, the data procedure and the announcement
/// report them, keyed by the camera's item id until the picture has its file, then by its path.
/// Thread-safe. The note operations take no more than a short lock and never touch a disk.
class ShotTimeline {
public:
    static constexpr size_t kKept = 1000;
    static constexpr qint64 kRotateBytes = 10 * 1024 * 1024;
    static constexpr qsizetype kMaxRequestIdLength = 128;
    /// Full answers handed out at most this many times per second (a burst may use a second's).
    static constexpr int kAnswersPerSecond = 10;

    /// The program's timeline.
    static ShotTimeline& shared();
    ShotTimeline();
    ~ShotTimeline();
    ShotTimeline(const ShotTimeline&) = delete;
    ShotTimeline& operator=(const ShotTimeline&) = delete;

    /// The time as the timeline stamps it: microseconds since 1970, the wall clock as it read
    /// when the process first asked, advanced by the monotonic clock (never going back).
    static qint64 now();

    /// The module announced the item (its add-child event): the shot.
    void noteShot(uint32_t item);
    /// The save found the item; the shot time when the module announced nothing.
    void noteFound(uint32_t item);
    /// The first piece of the item's picture arrived (again, when an earlier transfer failed).
    void noteFirstByte(uint32_t item);
    /// The last piece arrived and was written.
    void noteLastByte(uint32_t item);
    /// The picture is synced under its final name.
    void noteSynced(uint32_t item, const QString& path, quint64 bytes);
    /// The picture at `path` was announced: its record is complete, kept, logged and handed to
    /// the listener (on the calling thread, the main one in the program). Unknown paths are
    /// ignored.
    void noteAnnounced(const QString& path);
    /// The camera dropped the item before it was saved.
    void noteGone(uint32_t item);
    /// The connection ended: item ids mean nothing any more. Pictures already saved keep
    /// waiting for their announcement.
    void forgetItems();

    /// The last `count` complete records, oldest first.
    std::vector<ShotRecord> records(size_t count = kKept) const;

    using Listener = std::function<void(const ShotRecord&)>;
    /// Called with each complete record; empty stops.
    void setListener(Listener listener);

    /// Appends each complete record as a JSON line to `path`, making its folder as needed, and
    /// renames the file to `path`.1 (replacing it) first when the line would take it past
    /// `rotateAt` bytes. Writes run on a queue of their own: a slow or full disk delays nothing
    /// else. A failure is logged once until a line is written again; the records stay in
    /// memory. An empty path stops logging.
    void setLogFile(const QString& path, qint64 rotateAt = kRotateBytes);
    /// Waits until every line handed to the log so far is written or has failed.
    void flush();
    /// $XDG_STATE_HOME/ZarvNikonCapture/shots.jsonl, or under ~/.local/state.
    static QString defaultLogPath();

    /// The answer to a sibling's "requestshots": "senderApp", "action" = "shots", its
    /// "requestId" echoed (a text of at most kMaxRequestIdLength characters), and "shots" (the
    /// last "count" records, 1 to kKept, all by default) or "error" saying what was wrong.
    QVariantMap answer(const QVariantMap& request);

private:
    struct Pending;
    class LogWriter;
    // The item's record, made with its shot at `at` when there is none. m_mutex held.
    Pending& pendingFor(uint32_t item, bool fromEvent, qint64 at);
    bool takeAnswerToken(); // m_mutex held

    mutable QMutex m_mutex;
    std::vector<Pending> m_items; // by item, until synced
    std::vector<Pending> m_saved; // by path, until announced
    std::deque<ShotRecord> m_records;
    quint64 m_sequence = 0;
    Listener m_listener;
    std::shared_ptr<LogWriter> m_writer;
    double m_answerTokens = kAnswersPerSecond;
    std::chrono::steady_clock::time_point m_answerRefill{};
};

/// Posts the answer to a "requestshots" request of the program's timeline.
void answerShotsRequest(const Notification& request);
/// Posts a complete record to the siblings ("action" = "newshot", "shots" = [record]).
void postShotRecord(const ShotRecord& record);

} // namespace zarv
