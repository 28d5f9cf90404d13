#include "SelectedCamera.h"

#include <arpa/inet.h>

namespace {

// Readers hold cells in 19-byte buffers.
std::string ReadCell(const DeviceTable& table, size_t row, size_t column) {
    return table.Cell(row, column).substr(0, 18);
}

uint32_t InetAddr(const std::string& text) {
    return ntohl(::inet_addr(text.c_str()));
}

}  // namespace

SelectedCamera SelectedCameraFromRow(const DeviceTable& table, size_t row) {
    SelectedCamera camera;
    camera.address = InetAddr(ReadCell(table, row, kColumnAddress));
    camera.mask = InetAddr(ReadCell(table, row, kColumnSubnet));
    camera.gateway = InetAddr(ReadCell(table, row, kColumnGateway));
    camera.dns1 = InetAddr(ReadCell(table, row, kColumnDns1));
    camera.dns2 = InetAddr(ReadCell(table, row, kColumnDns2));
    camera.mac = ReadCell(table, row, kColumnMac);
    camera.wireless = ReadCell(table, row, kColumnWireless) == kYes;
    return camera;
}
