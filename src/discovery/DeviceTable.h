#pragma once

#include "DeviceInfo.h"

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// Told of every change, so that a view can follow the table without a copy of its own. Calls come on the
// thread that changed the table (the user-interface thread).
class DeviceTableObserver {
  public:
    virtual ~DeviceTableObserver() = default;
    virtual void RowAboutToBeAppended(size_t row) = 0;
    virtual void RowAppended(size_t row) = 0;
    virtual void CellChanged(size_t row, size_t column) = 0;
    virtual void AboutToBeCleared() = 0;
    virtual void Cleared() = 0;
};

// The list of found cameras, in order of discovery. Rows are appended and the whole table is cleared;
// rows are never removed one by one or reordered. Not thread-safe: one thread owns it.
class DeviceTable {
  public:
    size_t RowCount() const { return m_rows.size(); }
    const CameraRecord& Record(size_t row) const { return m_rows.at(row).record; }
    const DeviceCells& Cells(size_t row) const { return m_rows.at(row).cells; }
    const std::string& Cell(size_t row, size_t column) const { return m_rows.at(row).cells.at(column); }

    // Appends at the end; returns the new row's index.
    size_t Append(const CameraRecord& camera);
    // The first row of this hardware address. Does not scan the table.
    std::optional<size_t> Find(const MacAddress& mac) const;
    // Replaces the row's record; observers hear of each cell whose text changed. An out-of-range row throws
    // std::out_of_range.
    void Update(size_t row, const CameraRecord& camera);
    void Clear();

    void AddObserver(DeviceTableObserver* observer);
    void RemoveObserver(DeviceTableObserver* observer);

  private:
    struct Row {
        CameraRecord record;
        DeviceCells cells;  // made once per change: views read them far more often
    };
    struct MacHash {
        size_t operator()(const MacAddress& mac) const {
            size_t hash = 0;
            for (const uint8_t byte : mac.Octets()) {
                hash = hash * 131 + byte;
            }
            return hash;
        }
    };
    void RebuildIndex();

    std::vector<Row> m_rows;
    std::unordered_map<MacAddress, size_t, MacHash> m_index;  // -> first row
    std::vector<DeviceTableObserver*> m_observers;
};
