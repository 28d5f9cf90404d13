#pragma once

#include "HelperProtocol.h"

#include <cstdint>
#include <vector>

// What the helper has added to the kernel: at most kHelperMaxRecords neighbour entries and host routes together,
// one neighbour entry and one route per address. Only what is recorded here is ever removed.
class HelperRecord {
  public:
    enum class Kind { Neighbour, Route };

    struct Entry {
        Kind kind = Kind::Neighbour;
        int interfaceIndex = 0;
        uint32_t address = 0;  // host order
        MacAddress mac;        // neighbour entries only
    };

    // Nothing for an address without an entry of that kind.
    const Entry* Find(Kind kind, uint32_t address) const;
    bool Full() const { return m_entries.size() >= kHelperMaxRecords; }
    // Records the entry, replacing the one of the same kind and address; false (nothing recorded) when that
    // would exceed the limit.
    bool Put(const Entry& entry);
    void Remove(Kind kind, uint32_t address);
    // In the order added.
    const std::vector<Entry>& Entries() const { return m_entries; }

  private:
    std::vector<Entry> m_entries;
};
