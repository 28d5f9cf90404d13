#include "HelperRecord.h"

#include <algorithm>

const HelperRecord::Entry* HelperRecord::Find(Kind kind, uint32_t address) const {
    for (const Entry& entry : m_entries) {
        if (entry.kind == kind && entry.address == address) {
            return &entry;
        }
    }
    return nullptr;
}

bool HelperRecord::Put(const Entry& entry) {
    for (Entry& existing : m_entries) {
        if (existing.kind == entry.kind && existing.address == entry.address) {
            existing = entry;
            return true;
        }
    }
    if (Full()) {
        return false;
    }
    m_entries.push_back(entry);
    return true;
}

void HelperRecord::Remove(Kind kind, uint32_t address) {
    std::erase_if(m_entries, [&](const Entry& entry) { return entry.kind == kind && entry.address == address; });
}
