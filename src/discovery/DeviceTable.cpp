#include "DeviceTable.h"

#include <algorithm>
#include <stdexcept>

size_t DeviceTable::Append(const CameraRecord& camera) {
    const size_t index = m_rows.size();
    for (DeviceTableObserver* observer : m_observers) {
        observer->RowAboutToBeAppended(index);
    }
    m_index.try_emplace(camera.mac, index);
    m_rows.push_back({camera, DeviceTexts(camera)});
    for (DeviceTableObserver* observer : m_observers) {
        observer->RowAppended(index);
    }
    return index;
}

std::optional<size_t> DeviceTable::Find(const MacAddress& mac) const {
    const auto found = m_index.find(mac);
    if (found == m_index.end()) {
        return std::nullopt;
    }
    return found->second;
}

void DeviceTable::Update(size_t row, const CameraRecord& camera) {
    Row& current = m_rows.at(row);
    const bool keyChanged = current.record.mac != camera.mac;
    DeviceCells cells = DeviceTexts(camera);
    current.record = camera;
    std::swap(current.cells, cells);
    if (keyChanged) {
        // Keys change rarely; a rebuild keeps "first match wins" exact.
        RebuildIndex();
    }
    for (size_t column = 0; column < kDeviceColumnCount; ++column) {
        if (cells[column] != current.cells[column]) {
            for (DeviceTableObserver* observer : m_observers) {
                observer->CellChanged(row, column);
            }
        }
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
        m_index.try_emplace(m_rows[i].record.mac, i);
    }
}
