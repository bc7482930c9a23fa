#include "Filmstrip.h"

#include "Loader.h"

#include <QFileInfo>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace zarv::lookout {

FilmstripModel::FilmstripModel(Session& session, Loader& loader, QObject* parent)
    : QAbstractListModel(parent), m_session(session), m_loader(loader) {}

int FilmstripModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_session.count();
}

QVariant FilmstripModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_session.count())
        return {};
    const QString& path = m_session.at(index.row());
    switch (role) {
    case Qt::DecorationRole:
        return m_loader.thumbnail(path);
    case Qt::DisplayRole:
        return QFileInfo(path).fileName();
    case Qt::ToolTipRole:
        return path;
    case Qt::UserRole:
        return path;
    default:
        return {};
    }
}

int FilmstripModel::announce(const QStringList& paths, bool hotFolder) {
    QStringList fresh;
    fresh.reserve(paths.size());
    QSet<QString> seen;
    for (const QString& p : paths)
        if (m_session.indexOf(p) < 0 && !seen.contains(p)) {
            seen.insert(p);
            fresh.append(p);
        }
    if (fresh.isEmpty())
        return 0;
    const int before = m_session.count();
    const bool drops = before + int(fresh.size()) > Session::kMaxPictures;
    if (drops)
        beginResetModel();
    else
        beginInsertRows({}, before, before + int(fresh.size()) - 1);
    const int added = hotFolder ? m_session.addHotFolder(fresh) : m_session.announce(fresh);
    if (drops)
        endResetModel();
    else
        endInsertRows();
    return added;
}

void FilmstripModel::thumbnailChanged(const QString& path) {
    const int row = m_session.indexOf(path);
    if (row >= 0)
        emit dataChanged(index(row), index(row), {Qt::DecorationRole});
}

void FilmstripDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    painter->save();
    const QRect cell = option.rect.adjusted(4, 4, -4, -4);
    const bool current = option.state.testFlag(QStyle::State_Selected);
    painter->fillRect(option.rect, QColor(0x26, 0x26, 0x28));
    const QImage thumb = index.data(Qt::DecorationRole).value<QImage>();
    if (!thumb.isNull()) {
        QSize s = thumb.size().scaled(cell.size(), Qt::KeepAspectRatio);
        s = s.boundedTo(thumb.size());
        const QRect r(cell.center() - QPoint(s.width() / 2, s.height() / 2), s);
        painter->drawImage(r, thumb);
    } else {
        painter->fillRect(cell.adjusted(8, 6, -8, -6), QColor(0x33, 0x33, 0x36));
        painter->setPen(QColor(150, 150, 150));
        painter->drawText(cell, Qt::AlignCenter,
                          QFileInfo(index.data(Qt::DisplayRole).toString()).suffix().toUpper());
    }
    if (current) {
        painter->setPen(QPen(QColor(255, 196, 0), 3));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option.rect.adjusted(2, 2, -2, -2));
    }
    painter->restore();
}

Filmstrip::Filmstrip(QWidget* parent) : QListView(parent) {
    setObjectName(QStringLiteral("filmstrip"));
    setViewMode(QListView::IconMode);
    setFlow(QListView::LeftToRight);
    setWrapping(false);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setSpacing(0);
    setFocusPolicy(Qt::NoFocus); // the arrow keys belong to the window
    setItemDelegate(new FilmstripDelegate(this));
    setFixedHeight(FilmstripDelegate::cellSize().height() +
                   horizontalScrollBar()->sizeHint().height() + 2 * frameWidth() + 2);
    setStyleSheet(QStringLiteral("QListView { background: #262628; border: none; }"));
}

} // namespace zarv::lookout
