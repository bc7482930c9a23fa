#pragma once

#include "Analysis.h"
#include "ImageCache.h"
#include "PictureFile.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QThreadPool>

#include <atomic>
#include <memory>

namespace zarv::lookout {

/// One picture ready for the screen: fitted to the view (or at full size), with what goes
/// with it. Shared between threads, never changed once made.
struct Shown {
    QString path;
    bool full = false; // at 100 %, else fitted to `box`
    QSize box;         // the view's size in device pixels it was made for
    Decoded decoded;   // image already at the size it is drawn
    // The picture is handed over as soon as it is decoded, and again with these once they are
    // made from it: painting never waits for them.
    bool analysed = false;
    Histogram histogram;
    bool withClipping = false; // asked for with the overlay
    QImage clipping;           // the overlay, once analysed
    qint64 decodeMs = 0;
    // When it was asked for, taken up by a thread and ready to draw (ms since 1970).
    qint64 askedAt = 0;
    qint64 startedAt = 0;
    qint64 decodedAt = 0;
};

/// Decodes pictures off the main thread: the picture on screen first (fitted to the view, or at
/// full size for 100 %), its neighbours ahead of time, the filmstrip's thumbnails on a thread of
/// their own at low priority. Keeps bounded caches of all three. Main thread only.
class Loader : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kViewCacheBytes = 96ll << 20;
    static constexpr qsizetype kFullCacheBytes = 160ll << 20;
    static constexpr qsizetype kThumbnailCacheBytes = 64ll << 20;
    static QSize thumbnailBox() { return {144, 96}; }

    explicit Loader(QObject* parent = nullptr);
    ~Loader() override;

    /// The fitted view's size in device pixels; pictures are made for it.
    void setViewBox(QSize box);
    QSize viewBox() const { return m_box; }
    /// Whether pictures come with their clipping overlay.
    void setClipping(bool on);

    /// Asks for `path` fitted (or at full size): from the cache at once (shown() is emitted
    /// before this returns), else decoded as soon as a thread is free, and shown() is emitted
    /// twice: at once without its histogram (and clipping overlay), then with them. A newer
    /// request supersedes one not yet started.
    void request(const QString& path, bool full);
    /// Decodes ahead into the cache, after whatever was asked for.
    void prefetch(const QString& path);
    /// The cached result, or null.
    std::shared_ptr<const Shown> cached(const QString& path, bool full) const;

    /// The filmstrip's picture for `path`, or null; a miss asks for it (the latest asked first).
    QImage thumbnail(const QString& path);
    /// Queues thumbnails without asking for any at once (the whole session, newest first).
    void queueThumbnails(const QStringList& newestLast);
    int thumbnailsReady() const { return m_thumbnailsDone; }
    int thumbnailsPending() const { return int(m_thumbnailsAsked.size()); }
    /// Forgets everything queued and cached (the caches' memory goes back).
    void clear();

signals:
    void shown(std::shared_ptr<const zarv::lookout::Shown> result);
    void thumbnailReady(const QString& path);

private:
    QString key(const QString& path, bool full) const;
    void start(const QString& path, bool full, bool prefetch);
    void finished(const std::shared_ptr<const Shown>& result);
    void startThumbnail(const QString& path, int priority);
    void storeCached(const std::shared_ptr<const Shown>& result);

    QSize m_box{1280, 800};
    bool m_clipping = false;
    QThreadPool m_viewPool;
    QThreadPool m_thumbnailPool;
    std::shared_ptr<std::atomic<quint64>> m_generation;
    QString m_wantedKey; // what is on screen or about to be
    QSet<QString> m_running;
    QHash<QString, qint64> m_askedAt;
    // Cached results: the images are counted against the byte limits.
    QHash<QString, std::shared_ptr<const Shown>> m_results;
    ImageCache m_viewBytes{kViewCacheBytes};
    ImageCache m_fullBytes{kFullCacheBytes};
    ImageCache m_thumbnails{kThumbnailCacheBytes};
    QSet<QString> m_thumbnailsAsked;
    QSet<QString> m_thumbnailsFailed;
    int m_thumbnailPriority = 0;
    int m_thumbnailsDone = 0;
};

} // namespace zarv::lookout
