#pragma once

#include "DeviceTable.h"

#include <QAbstractTableModel>

// Shows a DeviceTable in a Qt item view: ten columns with the table's headers, the display text of each
// cell, left-aligned; header section sizes (Qt::SizeHintRole) are the column widths, 0 for hidden columns.
// Holds no copy: it reads the table and follows its changes. The table must outlive the model.
class DeviceTableModel : public QAbstractTableModel, private DeviceTableObserver {
    Q_OBJECT
  public:
    explicit DeviceTableModel(DeviceTable& table, QObject* parent = nullptr);
    ~DeviceTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  private:
    void RowAboutToBeAppended(size_t row) override;
    void RowAppended(size_t row) override;
    void CellChanged(size_t row, size_t column) override;
    void AboutToBeCleared() override;
    void Cleared() override;

    DeviceTable& m_table;
};
