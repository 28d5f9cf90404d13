#pragma once

#include "DeviceInfo.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
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
    const DeviceInfo& Row(size_t row) const { return m_rows.at(row); }
    const std::string& Cell(size_t row, size_t column) const { return m_rows.at(row).cells.at(column); }

    // Appends at the end; returns the new row's index.
    size_t Append(DeviceInfo row);
    // Exact whole-string match on column 0; the first matching row wins. Does not scan the table.
    std::optional<size_t> Find(std::string_view key) const;
    // Unchanged text notifies nobody. Out-of-range row or column throws std::out_of_range.
    void SetCell(size_t row, size_t column, std::string_view text);
    void Clear();

    void AddObserver(DeviceTableObserver* observer);
    void RemoveObserver(DeviceTableObserver* observer);

  private:
    struct KeyHash {
        using is_transparent = void;
        size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };
    void RebuildIndex();

    std::vector<DeviceInfo> m_rows;
    std::unordered_map<std::string, size_t, KeyHash, std::equal_to<>> m_index;  // key -> first row
    std::vector<DeviceTableObserver*> m_observers;
};
