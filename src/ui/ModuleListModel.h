#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <vector>

namespace zarv {

/// The module list ("prefNikonLookupArray") as a table: camera, module, product identifier.
/// Sorting reorders the rows in place, and a new list keeps the last sort, so a table of ten
/// thousand cameras shows without a proxy's copying or a per-cell widget item.
class ModuleListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { DeviceName, ModuleName, ProductID, ColumnCount };

    explicit ModuleListModel(QObject* parent = nullptr);

    /// Replaces the rows with the list's entries (dictionaries with "devicename", "modulename"
    /// and "productid"; anything else shows as an empty row).
    void setEntries(const QVariantList& entries);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    struct Row {
        QString deviceName;
        QString moduleName;
        QVariant productID; // a number, or its text when the list holds something else
    };
    /// Sorts by the last sort asked for; returns the old row of each new row.
    std::vector<int> sortRows();

    std::vector<Row> m_rows;
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};

} // namespace zarv
