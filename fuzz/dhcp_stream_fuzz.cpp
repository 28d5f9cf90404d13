// A sequence of arrivals on one DiscoveryCore, as the user-interface thread sees them: port-67 and port-68
// datagrams, XRM answers, re-query ticks and ARP packets in any order. Input: records of one kind byte, a two-byte
// length (least significant byte first) and that many bytes. After every arrival the table passes CheckTable, rows are
// only ever appended, every key belongs to an address that some arrival carried, and an ARP packet never adds a
// row.
#include "FuzzSupport.h"
#include "XrmProtocol.h"

#include <set>
#include <span>
#include <vector>

namespace {

enum Kind { kClient, kServer, kXrm, kTick, kArp, kKinds };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzDiscovery env;
    const DeviceTable& table = env.core.Table();
    std::set<std::string> carried;
    std::vector<std::string> keys;
    size_t position = 0;
    int ticks = 0;
    while (position + 3 <= size) {
        const int kind = data[position] % kKinds;
        const size_t length = std::min<size_t>(data[position + 1] | data[position + 2] << 8, size - position - 3);
        const std::span<const uint8_t> bytes(data + position + 3, length);
        position += 3 + length;
        switch (kind) {
            case kClient:
                carried.insert(DhcpChaddr(bytes.data(), bytes.size()).Text());
                FUZZ_CHECK(env.core.HandleClientPacket(bytes) == 0, "client packet handled");
                break;
            case kServer:
                carried.insert(DhcpChaddr(bytes.data(), bytes.size()).Text());
                FUZZ_CHECK(env.core.HandleServerPacket(bytes) == 0, "server packet handled");
                break;
            case kXrm:
                if (const auto answer = ParseXrmDatagram(bytes)) {
                    XrmDeviceMessage message;
                    message.model = answer->model;
                    message.mac = MacAddress(answer->mac);
                    message.address = "10.213.7.77";
                    carried.insert(MacAddress(answer->mac).Text());
                    env.core.HandleXrmDevice(message);
                }
                break;
            case kArp: {
                const size_t rows = table.RowCount();
                env.core.HandleArp(bytes, 2);
                FUZZ_CHECK(table.RowCount() == rows, "an ARP packet adds no row");
                break;
            }
            default:
                if (env.core.RequeryTimer().Armed() && ticks++ < 100) {
                    env.core.HandleRequeryTick();
                    FUZZ_CHECK(env.core.RequeryTimer().TickCount() <= XrmRequeryTimer::kMaxTicks,
                               "the timer disarms after its last tick");
                }
                break;
        }
        FUZZ_CHECK(env.ui.messages == 0, "no message box");
        CheckTable(table);
        FUZZ_CHECK(table.RowCount() >= keys.size(), "rows are never removed");
        for (size_t row = 0; row < keys.size(); ++row) {
            FUZZ_CHECK(table.Cell(row, kColumnMac) == keys[row], "rows keep their place and key");
        }
        for (size_t row = keys.size(); row < table.RowCount(); ++row) {
            keys.push_back(table.Cell(row, kColumnMac));
            FUZZ_CHECK(carried.count(keys.back()) == 1, "a row belongs to an address that arrived");
        }
        FUZZ_CHECK(env.core.RequeryTimer().Armed() == env.timer.running, "timer state matches the timer");
    }
    return 0;
}
