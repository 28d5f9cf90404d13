// One datagram on port 68 for a camera that the table already may or may not know: first for an unknown camera,
// then again, then after an XRM answer (column 9 "YES"), when an acknowledgement must arm the re-query timer.
#include "FuzzSupport.h"
#include "Ipv4Text.h"

#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzDiscovery env;
    const std::span<const uint8_t> datagram(data, size);
    const MacAddress chaddr = DhcpChaddr(data, size);
    const uint32_t ciaddr = DhcpAddressField(data, size, 12);
    const uint32_t yiaddr = DhcpAddressField(data, size, 16);
    const DeviceTable& table = env.core.Table();

    FUZZ_CHECK(env.core.HandleServerPacket(datagram) == 0, "server packet handled");
    FUZZ_CHECK(env.ui.messages == 0, "no message box");
    CheckTable(table);
    const bool kept = CameraAddressFilter(chaddr) && ciaddr == 0 && IsOnLocalSubnet(yiaddr, env.core.Adapters());
    FUZZ_CHECK(table.RowCount() == (kept ? 1u : 0u), "a row exactly for a fresh camera on the subnet");
    FUZZ_CHECK(env.broadcasts == 0 && !env.timer.running, "a server packet alone searches nothing");
    if (!kept) {
        return 0;
    }
    FUZZ_CHECK(table.Cell(0, kColumnMac) == chaddr.Text(), "the row is keyed by chaddr");
    FUZZ_CHECK(table.Cell(0, kColumnAddress) == FormatDottedAddress(yiaddr), "the row holds yiaddr");
    FUZZ_CHECK(table.Cell(0, kColumnAssigned) == kAssignedNo, "a server packet adds a row with No");
    for (size_t column = kColumnSubnet; column <= kColumnDns2; ++column) {
        FUZZ_CHECK(!table.Cell(0, column).empty(), "address cells are written");
    }
    FUZZ_CHECK(table.Cell(0, kColumnXrmSupport).empty(), "XRM cell stays empty");
    const DeviceCells first = table.Cells(0);

    FUZZ_CHECK(env.core.HandleServerPacket(datagram) == 0, "repeat handled");
    FUZZ_CHECK(table.RowCount() == 1, "a repeat adds no row");
    FUZZ_CHECK(table.Cells(0) == first, "a repeat for a camera without XRM changes nothing");
    FUZZ_CHECK(!env.timer.running, "no timer for a camera without XRM");

    XrmDeviceMessage answer;
    answer.mac = chaddr;
    answer.address = "10.213.7.51";
    env.core.HandleXrmDevice(answer);
    FUZZ_CHECK(table.Cell(0, kColumnXrmSupport) == kYes, "answer marks XRM support");
    FUZZ_CHECK(env.core.HandleServerPacket(datagram) == 0, "packet after answer handled");
    CheckTable(table);
    FUZZ_CHECK(table.RowCount() == 1, "still one row");
    // Only an acknowledgement moves the row to "------", and it arms the timer with a period of 1500..2999 ms.
    const bool pending = table.Cell(0, kColumnAssigned) == kAssignedPending;
    FUZZ_CHECK(pending || table.Cell(0, kColumnAssigned) == kAssignedYes, "row is Yes or pending");
    FUZZ_CHECK(pending == env.core.RequeryTimer().Armed(), "timer armed exactly by an acknowledgement");
    FUZZ_CHECK(pending == env.timer.running, "timer started exactly by an acknowledgement");
    if (pending) {
        FUZZ_CHECK(env.timer.lastPeriod >= 1500 && env.timer.lastPeriod <= 2999, "re-query period in range");
    }
    for (size_t column = kColumnSubnet; column <= kColumnDns2; ++column) {
        FUZZ_CHECK(table.Cell(0, column) == first[column], "the same packet writes the same addresses");
    }
    return 0;
}
