#include "DeviceTable.h"

#include <algorithm>
#include <stdexcept>

size_t DeviceTable::Append(DeviceInfo row) {
    const size_t index = m_rows.size();
    for (DeviceTableObserver* observer : m_observers) {
        observer->RowAboutToBeAppended(index);
    }
    m_index.try_emplace(row.cells[kColumnMac], index);
    m_rows.push_back(std::move(row));
    for (DeviceTableObserver* observer : m_observers) {
        observer->RowAppended(index);
    }
    return index;
}

std::optional<size_t> DeviceTable::Find(std::string_view key) const {
    const auto found = m_index.find(key);
    if (found == m_index.end()) {
        return std::nullopt;
    }
    return found->second;
}

void DeviceTable::SetCell(size_t row, size_t column, std::string_view text) {
    std::string& cell = m_rows.at(row).cells.at(column);
    if (cell == text) {
        return;
    }
    cell.assign(text);
    if (column == kColumnMac) {
        // Keys change only here and rarely; a rebuild keeps "first match wins" exact.
        RebuildIndex();
    }
    for (DeviceTableObserver* observer : m_observers) {
        observer->CellChanged(row, column);
    }
}

void DeviceTable::Clear() {
    for (DeviceTableObserver* observer : m_observers) {
        observer->AboutToBeCleared();
    }
    m_rows.clear();
    m_index.clear();
    for (DeviceTableObserver* observer : m_observers) {
        observer->Cleared();
    }
}

void DeviceTable::AddObserver(DeviceTableObserver* observer) {
    if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end()) {
        m_observers.push_back(observer);
    }
}

void DeviceTable::RemoveObserver(DeviceTableObserver* observer) {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

void DeviceTable::RebuildIndex() {
    m_index.clear();
    for (size_t i = 0; i < m_rows.size(); ++i) {
        m_index.try_emplace(m_rows[i].cells[kColumnMac], i);
    }
}
