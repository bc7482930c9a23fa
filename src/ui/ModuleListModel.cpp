#include "ModuleListModel.h"

#include "platform/PropertyList.h"

#include <QVariantMap>

#include <algorithm>

namespace zarv {

namespace {

// Numbers before texts, numbers by value: product identifiers sort as 1, 2, 10.
int compareProductIDs(const QVariant& a, const QVariant& b) {
    const bool na = PropertyList::isNumber(a), nb = PropertyList::isNumber(b);
    if (na != nb)
        return na ? -1 : 1;
    if (na) {
        const double x = a.toDouble(), y = b.toDouble();
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    return a.toString().compare(b.toString(), Qt::CaseInsensitive);
}

} // namespace

ModuleListModel::ModuleListModel(QObject* parent) : QAbstractTableModel(parent) {}

void ModuleListModel::setEntries(const QVariantList& entries) {
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(size_t(entries.size()));
    for (const QVariant& entry : entries) {
        const QVariantMap map = entry.toMap();
        const QVariant id = map.value(QStringLiteral("productid"));
        m_rows.push_back({map.value(QStringLiteral("devicename")).toString(),
                          map.value(QStringLiteral("modulename")).toString(),
                          PropertyList::isNumber(id) ? id : QVariant(id.toString())});
    }
    sortRows();
    endResetModel();
}

int ModuleListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ModuleListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ModuleListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(m_rows.size()) ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const Row& row = m_rows[size_t(index.row())];
    switch (index.column()) {
    case DeviceName:
        return row.deviceName;
    case ModuleName:
        return row.moduleName;
    case ProductID:
        return row.productID;
    default:
        return {};
    }
}

QVariant ModuleListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case DeviceName:
        return tr("Camera");
    case ModuleName:
        return tr("Module");
    case ProductID:
        return tr("Product ID");
    default:
        return {};
    }
}

void ModuleListModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= ColumnCount)
        return;
    m_sortColumn = column;
    m_sortOrder = order;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const std::vector<int> from = sortRows();
    // The selected row stays selected where the sort moved it.
    std::vector<int> to(from.size());
    for (size_t i = 0; i < from.size(); ++i)
        to[size_t(from[i])] = int(i);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after << this->index(to[size_t(index.row())], index.column());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

std::vector<int> ModuleListModel::sortRows() {
    std::vector<int> order(m_rows.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    if (m_sortColumn < 0)
        return order;
    auto compare = [column = m_sortColumn](const Row& a, const Row& b) {
        switch (column) {
        case DeviceName:
            return a.deviceName.compare(b.deviceName, Qt::CaseInsensitive);
        case ModuleName:
            return a.moduleName.compare(b.moduleName, Qt::CaseInsensitive);
        default:
            return compareProductIDs(a.productID, b.productID);
        }
    };
    const bool ascending = m_sortOrder == Qt::AscendingOrder;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int c = compare(m_rows[size_t(a)], m_rows[size_t(b)]);
        return ascending ? c < 0 : c > 0;
    });
    std::vector<Row> sorted;
    sorted.reserve(m_rows.size());
    for (int i : order)
        sorted.push_back(std::move(m_rows[size_t(i)]));
    m_rows = std::move(sorted);
    return order;
}

} // namespace zarv
