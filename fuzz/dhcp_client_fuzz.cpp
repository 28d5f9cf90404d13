// One datagram on port 67, through the whole path from bytes to row: seen once, then answered by XRM, then seen
// again. A camera yields exactly one row in every step; anything else yields none.
#include "FuzzSupport.h"

#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzDiscovery env;
    const std::span<const uint8_t> datagram(data, size);
    const MacAddress chaddr = DhcpChaddr(data, size);
    const bool camera = CameraAddressFilter(chaddr);

    FUZZ_CHECK(env.core.HandleClientPacket(datagram, 2) == 0, "client packet handled");
    FUZZ_CHECK(env.ui.messages == 0, "no message box");
    CheckTable(env.core.Table());
    FUZZ_CHECK(env.core.Table().RowCount() <= 1, "at most one row from one packet");
    if (!camera) {
        FUZZ_CHECK(env.core.Table().RowCount() == 0, "a foreign address adds no row");
        FUZZ_CHECK(env.broadcasts == 0, "a foreign address starts no search");
        return 0;
    }
    if (env.core.Table().RowCount() == 0) {
        // Only the subnet test drops a camera's client packet.
        const uint32_t ciaddr = DhcpAddressField(data, size, 12);
        FUZZ_CHECK(ciaddr != 0 && !IsOnLocalSubnet(ciaddr, env.core.Adapters()), "camera dropped only off-subnet");
        FUZZ_CHECK(env.broadcasts == 0, "a dropped packet starts no search");
        return 0;
    }
    const DeviceTable& table = env.core.Table();
    const std::string key = chaddr.Text();
    FUZZ_CHECK(table.Cell(0, kColumnMac) == key, "the row is keyed by chaddr");
    FUZZ_CHECK(env.broadcasts == 1, "a new row posts one search");
    const std::string firstAssigned = table.Cell(0, kColumnAssigned);
    const std::string firstXrm = table.Cell(0, kColumnXrmSupport);
    FUZZ_CHECK(firstAssigned != kAssignedYes, "DHCP alone never says Yes");
    FUZZ_CHECK(env.core.PendingXrmCount() == (firstAssigned == kAssignedPending ? 1 : 0), "pending count follows");
    FUZZ_CHECK(table.Record(0).arrivalInterface == 2, "arrival interface remembered");

    // Seen again before any answer: nothing changes.
    FUZZ_CHECK(env.core.HandleClientPacket(datagram) == 0, "repeat handled");
    FUZZ_CHECK(table.RowCount() == 1 && env.broadcasts == 1, "a repeat adds no row and no search");
    FUZZ_CHECK(table.Cell(0, kColumnAssigned) == firstAssigned, "a repeat leaves the state");

    // The camera answers the search, then sends the same packet again: the "Yes" row falls back by the same rule.
    XrmDeviceMessage answer;
    answer.mac = chaddr;
    answer.address = "10.213.7.50";
    answer.model = "QM52X3";
    env.core.HandleXrmDevice(answer);
    CheckTable(table);
    FUZZ_CHECK(table.RowCount() == 1 && table.Cell(0, kColumnAssigned) == kAssignedYes, "answer marks the row");
    FUZZ_CHECK(env.core.PendingXrmCount() == 0, "answer settles the pending count");
    FUZZ_CHECK(env.core.HandleClientPacket(datagram) == 0, "packet after answer handled");
    CheckTable(table);
    FUZZ_CHECK(table.RowCount() == 1 && env.broadcasts == 1, "still one row, no new search");
    FUZZ_CHECK(table.Cell(0, kColumnAssigned) == firstAssigned, "same rule as for a new row");
    FUZZ_CHECK(table.Cell(0, kColumnXrmSupport) == firstXrm, "same XRM text as for a new row");
    return 0;
}
