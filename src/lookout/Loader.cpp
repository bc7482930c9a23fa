#include "Loader.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace zarv::lookout {

namespace {

// Workers give way to the window's thread, so that it turns within a frame even when every core
// decodes: Qt's thread priorities change nothing for ordinary threads on Linux, a thread's own
// nice value does (and threads it starts inherit it). Thumbnails give way to everything else on
// the machine. The name tells the threads apart in `top -H` and in traces.
void becomeWorker(const char* name, int nice) {
    thread_local bool done = false;
    if (!done) {
        ::setpriority(PRIO_PROCESS, id_t(::gettid()), nice);
        ::pthread_setname_np(::pthread_self(), name);
        done = true;
    }
}

qint64 now() {
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

Loader::Loader(QObject* parent)
    : QObject(parent), m_generation(std::make_shared<std::atomic<quint64>>(0)) {
    initializePictureReading();
    // One thread for the picture asked for, one ahead; thumbnails never hold either up.
    m_viewPool.setMaxThreadCount(2);
    m_thumbnailPool.setMaxThreadCount(1);
    const auto evict = [this](const QString& key) { m_results.remove(key); };
    m_viewBytes.setEvictionHandler(evict);
    m_fullBytes.setEvictionHandler(evict);
}

Loader::~Loader() {
    m_generation->fetch_add(1);
    m_viewPool.clear();
    m_thumbnailPool.clear();
    m_viewPool.waitForDone();
    m_thumbnailPool.waitForDone();
}

namespace {

// With and without the clipping overlay are different results: one still being made without it
// never stands in for one asked for with it.
QString resultKey(const QString& path, bool full, QSize box, bool clipping) {
    const QLatin1String overlay(clipping ? "+clipping" : "");
    if (full)
        return QStringLiteral("full%1:%2").arg(overlay, path);
    return QStringLiteral("%1x%2%3:%4").arg(box.width()).arg(box.height()).arg(overlay, path);
}

QString keyOf(const Shown& s) {
    return resultKey(s.path, s.full, s.box, s.withClipping);
}

} // namespace

QString Loader::key(const QString& path, bool full) const {
    return resultKey(path, full, m_box, m_clipping);
}

void Loader::setViewBox(QSize box) {
    if (!box.isValid() || box.isEmpty() || box == m_box)
        return;
    m_box = box;
}

void Loader::setClipping(bool on) {
    m_clipping = on;
}

std::shared_ptr<const Shown> Loader::cached(const QString& path, bool full) const {
    return m_results.value(key(path, full));
}

void Loader::request(const QString& path, bool full) {
    const QString k = key(path, full);
    m_wantedKey = k;
    if (const auto hit = m_results.value(k)) {
        (full ? m_fullBytes : m_viewBytes).find(k); // a use
        m_generation->fetch_add(1);
        emit shown(hit);
        return;
    }
    m_generation->fetch_add(1);
    if (!m_running.contains(k))
        m_askedAt.insert(k, now());
    start(path, full, false);
}

void Loader::prefetch(const QString& path) {
    if (m_results.contains(key(path, false)))
        return;
    start(path, false, true);
}

void Loader::start(const QString& path, bool full, bool prefetch) {
    const QString k = key(path, full);
    if (m_running.contains(k))
        return;
    m_running.insert(k);
    const quint64 generation = m_generation->load();
    const auto current = m_generation;
    const QSize box = m_box;
    const bool clipping = m_clipping;
    const qint64 askedAt = m_askedAt.value(k, now());
    m_viewPool.start(
        [this, current, generation, path, full, prefetch, box, clipping, k, askedAt] {
            becomeWorker("lookout-view", 2);
            // Superseded before it began: a flood of announcements decodes only the last.
            if (!prefetch && current->load() != generation) {
                QMetaObject::invokeMethod(
                    this,
                    [this, k, path, full] {
                        m_running.remove(k);
                        if (k == m_wantedKey) // asked for again meanwhile
                            start(path, full, false);
                    },
                    Qt::QueuedConnection);
                return;
            }
            auto result = std::make_shared<Shown>();
            result->path = path;
            result->full = full;
            result->box = box;
            result->withClipping = clipping;
            result->askedAt = askedAt;
            result->startedAt = now();
            QElapsedTimer clock;
            clock.start();
            // On screen, a stand-in from the same bytes goes first while the fitted decode runs;
            // it is never cached and gives way to anything newer.
            QuickPicture quick;
            if (!full && !prefetch)
                quick = [&](Decoded&& stand) {
                    if (current->load() != generation)
                        return;
                    auto q = std::make_shared<Shown>(*result);
                    q->decoded = std::move(stand);
                    q->decodedAt = now();
                    QMetaObject::invokeMethod(
                        this,
                        [this, q = std::shared_ptr<const Shown>(std::move(q))] { finished(q); },
                        Qt::QueuedConnection);
                };
            result->decoded = decodePicture(path, full ? QSize() : box, true, quick);
            if (!full)
                fitToBox(result->decoded, box);
            result->decodeMs = clock.elapsed();
            result->decodedAt = now();
            const bool picture = !result->decoded.image.isNull();
            if (picture) {
                // On screen first; the histogram and overlay follow.
                QMetaObject::invokeMethod(
                    this, [this, r = std::shared_ptr<const Shown>(result)] { finished(r); },
                    Qt::QueuedConnection);
                auto analysed = std::make_shared<Shown>(*result);
                analysed->analysed = true;
                analysed->histogram = histogramOf(analysed->decoded.image);
                if (clipping)
                    analysed->clipping = clippingOverlay(analysed->decoded.image);
                result = std::move(analysed);
            } else {
                result->analysed = true;
            }
            QMetaObject::invokeMethod(
                this,
                [this, k, r = std::shared_ptr<const Shown>(std::move(result))] {
                    m_running.remove(k);
                    m_askedAt.remove(k);
                    finished(r);
                },
                Qt::QueuedConnection);
        },
        prefetch ? 0 : 1);
}

void Loader::storeCached(const std::shared_ptr<const Shown>& result) {
    if (result->decoded.image.isNull() || !result->analysed || result->decoded.quick)
        return; // a file may be fixed, or arrive whole, later: ask again then
    if (!result->full && result->box != m_box)
        return;
    const QString k = keyOf(*result);
    m_results.insert(k, result);
    (result->full ? m_fullBytes : m_viewBytes)
        .insert(k, result->decoded.image, result->clipping.sizeInBytes());
}

void Loader::finished(const std::shared_ptr<const Shown>& result) {
    storeCached(result);
    if (keyOf(*result) == m_wantedKey)
        emit shown(result);
}

QImage Loader::thumbnail(const QString& path) {
    const QImage hit = m_thumbnails.find(path);
    if (!hit.isNull() || m_thumbnailsFailed.contains(path) || m_thumbnailsAsked.contains(path))
        return hit;
    // The latest asked goes first: what the filmstrip shows now.
    m_thumbnailPriority = std::min(m_thumbnailPriority + 1, 1 << 30);
    startThumbnail(path, m_thumbnailPriority);
    return {};
}

void Loader::queueThumbnails(const QStringList& newestLast) {
    for (qsizetype i = newestLast.size() - 1; i >= 0; --i) {
        const QString& path = newestLast.at(i);
        if (!m_thumbnails.contains(path) && !m_thumbnailsAsked.contains(path) &&
            !m_thumbnailsFailed.contains(path))
            startThumbnail(path, -1); // behind whatever the filmstrip asks for
    }
}

void Loader::startThumbnail(const QString& path, int priority) {
    m_thumbnailsAsked.insert(path);
    m_thumbnailPool.start(
        [this, path] {
            becomeWorker("lookout-thumb", 10);
            Decoded d = makeThumbnail(path, thumbnailBox());
            QMetaObject::invokeMethod(
                this,
                [this, path, image = std::move(d.image)] {
                    if (!m_thumbnailsAsked.remove(path))
                        return; // cleared meanwhile
                    if (image.isNull()) {
                        m_thumbnailsFailed.insert(path);
                    } else {
                        m_thumbnails.insert(path, image);
                        ++m_thumbnailsDone;
                    }
                    emit thumbnailReady(path);
                },
                Qt::QueuedConnection);
        },
        priority);
}

void Loader::clear() {
    m_generation->fetch_add(1);
    m_viewPool.clear();
    m_thumbnailPool.clear();
    m_results.clear();
    m_viewBytes.clear();
    m_fullBytes.clear();
    m_thumbnails.clear();
    m_thumbnailsAsked.clear();
    m_thumbnailsFailed.clear();
    m_running.clear();
    m_askedAt.clear();
}

} // namespace zarv::lookout
