#include "ImageCache.h"

namespace zarv::lookout {

QImage ImageCache::find(const QString& key) {
    const auto it = m_map.find(key);
    if (it == m_map.end())
        return {};
    m_lru.splice(m_lru.begin(), m_lru, it->second);
    return it->second->image;
}

void ImageCache::insert(const QString& key, const QImage& image, qsizetype extraBytes) {
    remove(key);
    if (image.isNull())
        return;
    const qsizetype bytes = image.sizeInBytes() + extraBytes;
    m_lru.push_front({key, image, bytes});
    m_map.emplace(key, m_lru.begin());
    m_bytes += bytes;
    trim();
}

void ImageCache::remove(const QString& key) {
    const auto it = m_map.find(key);
    if (it == m_map.end())
        return;
    m_bytes -= it->second->bytes;
    m_lru.erase(it->second);
    m_map.erase(it);
}

void ImageCache::clear() {
    m_lru.clear();
    m_map.clear();
    m_bytes = 0;
}

void ImageCache::trim() {
    // The newest entry always stays, however large.
    while (m_bytes > m_limit && m_lru.size() > 1) {
        const QString key = m_lru.back().key;
        m_bytes -= m_lru.back().bytes;
        m_map.erase(key);
        m_lru.pop_back();
        if (m_onEvict)
            m_onEvict(key);
    }
}

} // namespace zarv::lookout
