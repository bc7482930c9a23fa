#include "ShotTimeline.h"
#include "platform/Log.h"

#include "OutboundNotifications.h"
#include "platform/Dispatch.h"
#include "platform/DistributedNotificationCenter.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zarv {

const QString sZarvShotsNotification = QStringLiteral("ZarvShotsNotification");

namespace {

QDateTime dateOf(qint64 micros) {
    return QDateTime::fromMSecsSinceEpoch(micros / 1000, Qt::UTC);
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

double ShotRecord::throughput() const {
    const qint64 micros = lastByte - firstByte;
    return micros > 0 ? double(bytes) * 1e6 / double(micros) : 0.0;
}

QVariantMap ShotRecord::toVariantMap() const {
    QVariantMap map{
        {QStringLiteral("sequence"), qlonglong(sequence)},
        {QStringLiteral("item"), qlonglong(item)},
        {QStringLiteral("filePath"), filePath},
        {QStringLiteral("bytes"), qlonglong(bytes)},
        {QStringLiteral("shotFrom"),
         shotFromEvent ? QStringLiteral("event") : QStringLiteral("save")},
        {QStringLiteral("shot"), dateOf(shot)},
        {QStringLiteral("firstByte"), dateOf(firstByte)},
        {QStringLiteral("lastByte"), dateOf(lastByte)},
        {QStringLiteral("synced"), dateOf(synced)},
        {QStringLiteral("announced"), dateOf(announced)},
    };
    if (const double rate = throughput(); rate > 0)
        map.insert(QStringLiteral("throughput"), rate);
    return map;
}

QByteArray ShotRecord::toJson() const {
    return QJsonDocument(jsonFromPropertyValue(toVariantMap()).toObject())
        .toJson(QJsonDocument::Compact);
}

// --- The log file --------------------------------------------------------------------------------

// Appends lines to the log on a queue of its own. Only that queue touches the file.
class ShotTimeline::LogWriter {
public:
    LogWriter(const QString& path, qint64 rotateAt)
        : m_path(path), m_rotateAt(rotateAt),
          m_queue(DispatchQueue::createSerial(QStringLiteral("com.quellbay.zarv.shots.log"))) {}

    void append(QByteArray line) {
        m_queue->async([this, line = std::move(line)] { write(line); });
    }
    void flush() {
        m_queue->sync([] {});
    }

private:
    void write(QByteArray line) {
        line.append('\n');
        const QByteArray path = QFile::encodeName(m_path);
        const QString folder = QFileInfo(m_path).absolutePath();
        if (!QFileInfo(folder).isDir()) {
            if (!QDir().mkpath(folder))
                return fail(QStringLiteral("its folder %1 cannot be made").arg(folder));
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        // Readable for the check of the last byte; non-blocking, so that a pipe put in the
        // file's place cannot hold the queue at open.
        constexpr int flags = O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        int fd = ::open(path.constData(), flags, 0600);
        if (fd < 0)
            return fail(errnoText(errno));
        struct stat st {};
        const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        off_t size = regular ? st.st_size : 0;
        if (regular && size > 0 && size + line.size() > m_rotateAt) {
            ::close(fd);
            if (::rename(path.constData(), QFile::encodeName(m_path + QStringLiteral(".1"))) != 0)
                return fail(QStringLiteral("it cannot be renamed to %1.1: %2")
                                .arg(QFileInfo(m_path).fileName(), errnoText(errno)));
            fd = ::open(path.constData(), flags, 0600);
            if (fd < 0)
                return fail(errnoText(errno));
            size = 0;
        }
        // A line cut short by an earlier crash stays apart from this one.
        char last = '\n';
        if (regular && size > 0 && pread(fd, &last, 1, size - 1) == 1 && last != '\n')
            line.prepend('\n');
        qsizetype written = 0;
        while (written < line.size()) {
            const ssize_t n =
                ::write(fd, line.constData() + written, size_t(line.size() - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int error = n == 0 ? ENOSPC : errno;
                // No half line stays behind to spoil the next one.
                if (regular && written > 0 && ftruncate(fd, size) != 0)
                    qCWarning(zarvMessaging).noquote()
                        << QStringLiteral("The shot log %1 keeps a cut line").arg(m_path);
                ::close(fd);
                return fail(errnoText(error));
            }
            written += n;
        }
        ::close(fd);
        if (m_failing)
            qCInfo(zarvMessaging).noquote()
                << QStringLiteral("The shot log %1 is written again").arg(m_path);
        m_failing = false;
    }

    void fail(const QString& why) {
        if (!m_failing)
            qCWarning(zarvMessaging).noquote()
                << QStringLiteral("Cannot write the shot log %1: %2. Shot times are kept in "
                                  "memory only (the last %3) until it can be written again: free "
                                  "space on its disk or make its folder writable.")
                       .arg(m_path, why)
                       .arg(ShotTimeline::kKept);
        m_failing = true;
    }

    const QString m_path;
    const qint64 m_rotateAt;
    bool m_failing = false;
    std::shared_ptr<DispatchQueue> m_queue; // last: stopped first, while the rest still lives
};

// --- The timeline ----------------------------------------------------------------------------

// Each stage is stamped no earlier than the one before it, whatever the order of the reports.
struct ShotTimeline::Pending {
    uint32_t item = 0;
    bool fromEvent = false;
    QString path;
    quint64 bytes = 0;
    qint64 shot = 0;
    qint64 firstByte = 0;
    qint64 lastByte = 0;
    qint64 synced = 0;
};

ShotTimeline& ShotTimeline::shared() {
    // Never destroyed: the camera queue may still report while the process exits.
    static auto* const timeline = new ShotTimeline;
    return *timeline;
}

ShotTimeline::ShotTimeline() = default;
ShotTimeline::~ShotTimeline() = default;

qint64 ShotTimeline::now() {
    using namespace std::chrono;
    static const auto wallStart = system_clock::now();
    static const auto monotonicStart = steady_clock::now();
    return duration_cast<microseconds>(wallStart.time_since_epoch()).count() +
           duration_cast<microseconds>(steady_clock::now() - monotonicStart).count();
}

ShotTimeline::Pending& ShotTimeline::pendingFor(uint32_t item, bool fromEvent, qint64 at) {
    const auto it = std::find_if(m_items.begin(), m_items.end(),
                                 [&](const Pending& p) { return p.item == item; });
    if (it != m_items.end())
        return *it;
    // A module announcing items that are never fetched must not grow this without bound.
    if (m_items.size() >= kKept)
        m_items.erase(m_items.begin());
    Pending& p = m_items.emplace_back();
    p.item = item;
    p.fromEvent = fromEvent;
    p.shot = at;
    return p;
}

void ShotTimeline::noteShot(uint32_t item) {
    const qint64 at = now();
    QMutexLocker lock(&m_mutex);
    pendingFor(item, true, at);
}

void ShotTimeline::noteFound(uint32_t item) {
    const qint64 at = now();
    QMutexLocker lock(&m_mutex);
    pendingFor(item, false, at);
}

void ShotTimeline::noteFirstByte(uint32_t item) {
    const qint64 at = now();
    QMutexLocker lock(&m_mutex);
    Pending& p = pendingFor(item, false, at);
    p.firstByte = std::max(at, p.shot);
    p.lastByte = 0;
}

void ShotTimeline::noteLastByte(uint32_t item) {
    const qint64 at = now();
    QMutexLocker lock(&m_mutex);
    Pending& p = pendingFor(item, false, at);
    if (!p.firstByte)
        p.firstByte = std::max(at, p.shot);
    p.lastByte = std::max(at, p.firstByte);
}

void ShotTimeline::noteSynced(uint32_t item, const QString& path, quint64 bytes) {
    const qint64 at = now();
    QMutexLocker lock(&m_mutex);
    Pending p = pendingFor(item, false, at);
    std::erase_if(m_items, [&](const Pending& q) { return q.item == item; });
    if (!p.firstByte)
        p.firstByte = std::max(at, p.shot);
    if (!p.lastByte)
        p.lastByte = std::max(at, p.firstByte);
    p.synced = std::max(at, p.lastByte);
    p.path = path;
    p.bytes = bytes;
    if (m_saved.size() >= kKept)
        m_saved.erase(m_saved.begin());
    m_saved.push_back(std::move(p));
}

void ShotTimeline::noteAnnounced(const QString& path) {
    const qint64 at = now();
    ShotRecord record;
    Listener listener;
    std::shared_ptr<LogWriter> writer;
    {
        QMutexLocker lock(&m_mutex);
        const auto it = std::find_if(m_saved.begin(), m_saved.end(),
                                     [&](const Pending& p) { return p.path == path; });
        if (it == m_saved.end())
            return;
        record.sequence = ++m_sequence;
        record.item = it->item;
        record.filePath = it->path;
        record.bytes = it->bytes;
        record.shotFromEvent = it->fromEvent;
        record.shot = it->shot;
        record.firstByte = it->firstByte;
        record.lastByte = it->lastByte;
        record.synced = it->synced;
        record.announced = std::max(at, it->synced);
        m_saved.erase(it);
        m_records.push_back(record);
        if (m_records.size() > kKept)
            m_records.pop_front();
        listener = m_listener;
        writer = m_writer;
    }
    if (writer)
        writer->append(record.toJson());
    if (listener)
        listener(record);
}

void ShotTimeline::noteGone(uint32_t item) {
    QMutexLocker lock(&m_mutex);
    std::erase_if(m_items, [&](const Pending& p) { return p.item == item; });
}

void ShotTimeline::forgetItems() {
    QMutexLocker lock(&m_mutex);
    m_items.clear();
}

std::vector<ShotRecord> ShotTimeline::records(size_t count) const {
    QMutexLocker lock(&m_mutex);
    const size_t n = std::min(count, m_records.size());
    return {m_records.end() - std::ptrdiff_t(n), m_records.end()};
}

void ShotTimeline::setListener(Listener listener) {
    QMutexLocker lock(&m_mutex);
    m_listener = std::move(listener);
}

void ShotTimeline::setLogFile(const QString& path, qint64 rotateAt) {
    std::shared_ptr<LogWriter> old;
    {
        QMutexLocker lock(&m_mutex);
        old = std::exchange(m_writer,
                            path.isEmpty() ? nullptr : std::make_shared<LogWriter>(path, rotateAt));
    }
    if (old)
        old->flush();
}

void ShotTimeline::flush() {
    std::shared_ptr<LogWriter> writer;
    {
        QMutexLocker lock(&m_mutex);
        writer = m_writer;
    }
    if (writer)
        writer->flush();
}

QString ShotTimeline::defaultLogPath() {
    // Only an absolute path counts; anything else is ignored, as for the other XDG folders.
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/ZarvNikonCapture/shots.jsonl");
}

// --- Requests --------------------------------------------------------------------------------

bool ShotTimeline::takeAnswerToken() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - m_answerRefill).count();
    m_answerRefill = now;
    m_answerTokens =
        std::min<double>(kAnswersPerSecond, m_answerTokens + seconds * kAnswersPerSecond);
    if (m_answerTokens < 1)
        return false;
    m_answerTokens -= 1;
    return true;
}

QVariantMap ShotTimeline::answer(const QVariantMap& request) {
    QVariantMap answer{{QStringLiteral("senderApp"), getApplicationName()},
                       {QStringLiteral("action"), QStringLiteral("shots")}};
    const auto error = [&](const QString& text) {
        answer.insert(QStringLiteral("error"), text);
        return answer;
    };
    const QVariant id = request.value(QStringLiteral("requestId"));
    if (id.isValid()) {
        if (id.typeId() != QMetaType::QString || id.toString().size() > kMaxRequestIdLength)
            return error(QStringLiteral("\"requestId\" must be a text of at most %1 characters")
                             .arg(kMaxRequestIdLength));
        answer.insert(QStringLiteral("requestId"), id);
    }
    qlonglong count = kKept;
    const QVariant asked = request.value(QStringLiteral("count"));
    if (asked.isValid()) {
        const int type = asked.typeId();
        const bool whole = type == QMetaType::Int || type == QMetaType::UInt ||
                           type == QMetaType::LongLong || type == QMetaType::ULongLong;
        // Beyond the signed range is out of range too, and must not wrap into it.
        const bool fits = type != QMetaType::ULongLong || asked.toULongLong() <= kKept;
        count = whole && fits ? asked.toLongLong() : 0;
        if (count < 1 || count > qlonglong(kKept))
            return error(
                QStringLiteral("\"count\" must be a whole number from 1 to %1").arg(kKept));
    }
    {
        QMutexLocker lock(&m_mutex);
        if (!takeAnswerToken())
            return error(QStringLiteral("too many requests: ask again in a second"));
    }
    QVariantList shots;
    for (const ShotRecord& record : records(size_t(count)))
        shots.append(record.toVariantMap());
    answer.insert(QStringLiteral("shots"), shots);
    return answer;
}

void answerShotsRequest(const Notification& request) {
    DistributedNotificationCenter::defaultCenter().post(
        sZarvShotsNotification, {}, ShotTimeline::shared().answer(request.userInfo));
}

void postShotRecord(const ShotRecord& record) {
    DistributedNotificationCenter::defaultCenter().post(
        sZarvShotsNotification, {},
        {{QStringLiteral("senderApp"), getApplicationName()},
         {QStringLiteral("action"), QStringLiteral("newshot")},
         {QStringLiteral("shots"), QVariantList{record.toVariantMap()}}});
}

} // namespace zarv
