#include "Session.h"

#include <algorithm>

namespace zarv::lookout {

int Session::announce(const QStringList& paths) {
    int added = 0;
    for (const QString& path : paths) {
        if (m_index.contains(path))
            continue;
        m_index.insert(path, int(m_paths.size()));
        m_paths.push_back(path);
        ++added;
    }
    // In steps, so that a flood does not renumber the whole session at every message.
    if (count() > kMaxPictures)
        dropOldest(count() - kMaxPictures + kMaxPictures / 10);
    if (added > 0 && (m_following || m_current < 0)) {
        m_current = count() - 1;
        m_following = true;
    }
    return added;
}

int Session::addHotFolder(QStringList paths) {
    std::sort(paths.begin(), paths.end());
    return announce(paths);
}

void Session::select(int index) {
    if (m_paths.empty())
        return;
    m_current = std::clamp(index, 0, count() - 1);
    m_following = m_current == count() - 1;
}

void Session::last() {
    if (m_paths.empty())
        return;
    m_current = count() - 1;
    m_following = true;
}

void Session::dropOldest(int n) {
    m_paths.erase(m_paths.begin(), m_paths.begin() + n);
    m_index.clear();
    for (size_t i = 0; i < m_paths.size(); ++i)
        m_index.insert(m_paths[i], int(i));
    m_dropped += n;
    if (m_current >= 0)
        m_current = std::max(0, m_current - n);
}

} // namespace zarv::lookout
