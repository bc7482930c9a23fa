#pragma once

#include <QImage>
#include <QString>

#include <functional>
#include <list>
#include <unordered_map>

namespace zarv::lookout {

/// Decoded pictures by key, the least recently used dropped first once their bytes pass the
/// limit. A picture larger than the limit alone is kept only until the next one arrives.
class ImageCache {
public:
    explicit ImageCache(qsizetype limitBytes) : m_limit(limitBytes) {}

    /// Null when absent; a hit counts as a use.
    QImage find(const QString& key);
    bool contains(const QString& key) const { return m_map.count(key) != 0; }
    /// `extraBytes`: memory that goes with the picture (an overlay), counted against the limit.
    void insert(const QString& key, const QImage& image, qsizetype extraBytes = 0);
    void remove(const QString& key);
    void clear();

    qsizetype bytes() const { return m_bytes; }
    qsizetype limit() const { return m_limit; }
    int count() const { return int(m_map.size()); }
    /// Called with the key of each entry the limit pushes out.
    void setEvictionHandler(std::function<void(const QString&)> handler) {
        m_onEvict = std::move(handler);
    }

private:
    struct Entry {
        QString key;
        QImage image;
        qsizetype bytes;
    };
    void trim();

    qsizetype m_limit;
    std::function<void(const QString&)> m_onEvict;
    qsizetype m_bytes = 0;
    std::list<Entry> m_lru; // most recent first
    std::unordered_map<QString, std::list<Entry>::iterator> m_map;
};

} // namespace zarv::lookout
