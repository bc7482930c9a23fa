#pragma once

#include "Session.h"

#include <QAbstractListModel>
#include <QListView>
#include <QStyledItemDelegate>

namespace zarv::lookout {

class Loader;

/// The session's pictures for the filmstrip, the newest at the end. Changes to the session go
/// through it, so that the view hears of every row.
class FilmstripModel : public QAbstractListModel {
    Q_OBJECT
public:
    FilmstripModel(Session& session, Loader& loader, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    /// Session::announce / addHotFolder, with the rows announced to the view. Returns the
    /// number of new pictures.
    int announce(const QStringList& paths, bool hotFolder);
    /// A thumbnail arrived.
    void thumbnailChanged(const QString& path);

private:
    Session& m_session;
    Loader& m_loader;
};

/// Draws one thumbnail in its cell: the picture fitted, a frame around the current one.
class FilmstripDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    static QSize cellSize() { return {156, 108}; }
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return cellSize();
    }
};

/// One row of thumbnails that scrolls sideways.
class Filmstrip : public QListView {
    Q_OBJECT
public:
    explicit Filmstrip(QWidget* parent = nullptr);
};

} // namespace zarv::lookout
