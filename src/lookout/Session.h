#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

namespace zarv::lookout {

/// The session's pictures in the order they arrived (the newest last), which one is shown, and
/// whether the view follows the newest. Plain data: the window draws whatever it says.
class Session {
public:
    /// The filmstrip never holds more than this many pictures; the oldest go first.
    static constexpr int kMaxPictures = 20000;

    int count() const { return int(m_paths.size()); }
    const QString& at(int index) const { return m_paths.at(size_t(index)); }
    int indexOf(const QString& path) const { return m_index.value(path, -1); }
    /// -1 when the session is empty.
    int current() const { return m_current; }
    QString currentPath() const { return m_current < 0 ? QString() : at(m_current); }
    bool following() const { return m_following; }

    /// New pictures, newest last. Known ones stay where they are. While following, the newest
    /// becomes the current one; otherwise the current picture stays. Returns how many were new.
    int announce(const QStringList& paths);
    /// The hot folder's pictures, in no particular order: the unknown ones join in name order
    /// (the capture program's names sort by time) before being treated as announced.
    int addHotFolder(QStringList paths);

    /// The operator's choice: follows again only when it is the newest picture.
    void select(int index);
    void next() { select(m_current + 1); }
    void previous() { select(m_current - 1); }
    void first() { select(0); }
    /// Shows the newest and follows again.
    void last();

    /// How many pictures were dropped from the front since the start (they shift every index).
    int dropped() const { return m_dropped; }

private:
    void dropOldest(int n);

    std::vector<QString> m_paths;
    QHash<QString, int> m_index;
    int m_current = -1;
    bool m_following = true;
    int m_dropped = 0;
};

} // namespace zarv::lookout
