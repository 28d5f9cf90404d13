#include "DeviceInfo.h"

#include "Ipv4Text.h"
#include "ModelStrings.h"

namespace {

std::string AddressText(const std::optional<uint32_t>& address) {
    return address ? FormatDottedAddress(*address) : std::string();
}

std::string YesNoText(const std::optional<bool>& value) {
    return value ? std::string(*value ? kYes : kNo) : std::string();
}

std::string_view AssignedText(Assignment assigned) {
    switch (assigned) {
        case Assignment::Pending:
            return kAssignedPending;
        case Assignment::Yes:
            return kAssignedYes;
        case Assignment::No:
            break;
    }
    return kAssignedNo;
}

}  // namespace

DeviceCells DeviceTexts(const CameraRecord& camera) {
    DeviceCells cells;
    cells[kColumnMac] = camera.mac.Text();
    cells[kColumnAddress] = FormatDottedAddress(camera.address);
    cells[kColumnAssigned] = AssignedText(camera.assigned);
    cells[kColumnSubnet] = AddressText(camera.mask);
    cells[kColumnGateway] = AddressText(camera.gateway);
    cells[kColumnDns1] = AddressText(camera.dns1);
    cells[kColumnDns2] = AddressText(camera.dns2);
    cells[kColumnWireless] = YesNoText(camera.wireless);
    cells[kColumnModel] = ModelStringText(camera.model).value_or("");
    cells[kColumnXrmSupport] = YesNoText(camera.xrmSupport);
    return cells;
}
