#pragma once

// Shared pieces of the fuzz targets: a failed property aborts with a message (libFuzzer then keeps the input),
// a fake environment for DiscoveryCore, and the checks that every device table must pass.

#include "CameraAddressFilter.h"
#include "DeviceInfo.h"
#include "DeviceTable.h"
#include "DiscoveryCore.h"
#include "DottedAddress.h"
#include "Ipv4Text.h"
#include "LocalSubnet.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition, what)                                                                          \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: property failed: %s (%s)\n", __FILE__, __LINE__, what, #condition); \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

class FuzzUi : public DiscoveryUi {
  public:
    void ShowMessage(std::string_view, std::string_view) override { ++messages; }
    int messages = 0;
};

class FuzzTimer : public RequeryTimerControl {
  public:
    void StartTimer(int periodMs) override {
        running = true;
        lastPeriod = periodMs;
    }
    void StopTimer() override { running = false; }
    bool running = false;
    int lastPeriod = 0;
};

// A DiscoveryCore on the lab's subnet (10.213.7.0/24) plus a second adapter, with counting hooks.
struct FuzzDiscovery {
    FuzzUi ui;
    FuzzTimer timer;
    int broadcasts = 0;
    uint32_t nextRandom = 0;
    DiscoveryCore core{DiscoveryCore::Hooks{&ui, [this] { ++broadcasts; }, &timer, [this] { return nextRandom++; }}};

    FuzzDiscovery() {
        core.SetAdapters({{"10.213.7.2", "255.255.255.0", "eth0", 2}, {"192.168.1.10", "255.255.255.0", "eth1", 3}});
    }
};

inline bool IsDottedText(std::string_view text) {
    const auto value = ParseDottedAddress(text);
    return value && FormatDottedAddress(*value) == text;
}

// What every table must hold, whatever arrived: keys are upper-case MAC texts inside the camera ranges, no key
// twice, the lookup finds each row, the "Assigned" cell holds one of its three values and the address cells
// that a producer wrote are dotted text.
inline void CheckTable(const DeviceTable& table) {
    std::set<std::string> keys;
    for (size_t row = 0; row < table.RowCount(); ++row) {
        const std::string& key = table.Cell(row, kColumnMac);
        const auto mac = MacAddress::Parse(key, "-");
        FUZZ_CHECK(mac.has_value(), "row key is a MAC text");
        FUZZ_CHECK(mac->Text() == key, "row key is in the canonical form");
        FUZZ_CHECK(CameraAddressFilter(*mac), "row key lies inside the camera ranges");
        FUZZ_CHECK(keys.insert(key).second, "one row per camera");
        FUZZ_CHECK(table.Find(*mac) == row, "lookup finds the row");
        const std::string& assigned = table.Cell(row, kColumnAssigned);
        FUZZ_CHECK(assigned == kAssignedNo || assigned == kAssignedPending || assigned == kAssignedYes,
                   "assigned cell holds a known value");
        FUZZ_CHECK(IsDottedText(table.Cell(row, kColumnAddress)), "address cell is dotted text");
        for (size_t column = kColumnSubnet; column <= kColumnDns2; ++column) {
            const std::string& cell = table.Cell(row, column);
            FUZZ_CHECK(cell.empty() || IsDottedText(cell), "address cells are dotted text");
        }
        for (size_t column : {kColumnWireless, kColumnXrmSupport}) {
            const std::string& cell = table.Cell(row, column);
            FUZZ_CHECK(cell.empty() || cell == kYes || cell == kNo, "YES/NO cells");
        }
    }
}

// The hardware address a DHCP datagram carries (chaddr, bytes 28-33; zeros past a short datagram).
inline MacAddress DhcpChaddr(const uint8_t* data, size_t size) {
    MacAddress::Bytes mac{};
    for (size_t i = 0; i < mac.size(); ++i) {
        mac[i] = 28 + i < size ? data[28 + i] : 0;
    }
    return MacAddress(mac);
}

inline uint32_t DhcpAddressField(const uint8_t* data, size_t size, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = value << 8 | (offset + i < size ? data[offset + i] : 0u);
    }
    return value;
}
