#include "DeviceTableModel.h"

#include <QSize>

DeviceTableModel::DeviceTableModel(DeviceTable& table, QObject* parent) : QAbstractTableModel(parent), m_table(table) {
    m_table.AddObserver(this);
}

DeviceTableModel::~DeviceTableModel() {
    m_table.RemoveObserver(this);
}

int DeviceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_table.RowCount());
}

int DeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kDeviceColumnCount);
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= m_table.RowCount() ||
        index.column() < 0 || static_cast<size_t>(index.column()) >= kDeviceColumnCount) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(
                m_table.Cell(static_cast<size_t>(index.row()), static_cast<size_t>(index.column())));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        default:
            return {};
    }
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || static_cast<size_t>(section) >= kDeviceColumnCount) {
        return {};
    }
    const DeviceColumnInfo& column = kDeviceColumns[static_cast<size_t>(section)];
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromUtf8(column.header.data(), static_cast<qsizetype>(column.header.size()));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        case Qt::SizeHintRole:
            return QSize(column.width, -1);  // height left to the view
        default:
            return {};
    }
}

void DeviceTableModel::RowAboutToBeAppended(size_t row) {
    beginInsertRows(QModelIndex(), static_cast<int>(row), static_cast<int>(row));
}

void DeviceTableModel::RowAppended(size_t) {
    endInsertRows();
}

void DeviceTableModel::CellChanged(size_t row, size_t column) {
    const QModelIndex changed = index(static_cast<int>(row), static_cast<int>(column));
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

void DeviceTableModel::AboutToBeCleared() {
    beginResetModel();
}

void DeviceTableModel::Cleared() {
    endResetModel();
}
