#include "HelperCameraAssignment.h"

#include "Ipv4Text.h"

#include <cerrno>

#include "HelperProtocol.h"
#include "NeighbourLookup.h"

namespace {

HelperRequest Request(HelperVerb verb, uint32_t address) {
    HelperRequest request;
    request.verb = verb;
    request.address = address;
    return request;
}

}  // namespace

int HelperCameraAssignment::Ask(const HelperRequest& request, const char* what, std::string& error) {
    const PrivilegedHelper::Reply reply = m_helper.Call(request);
    if (reply.code != 0) {
        error = DescribeHelperFailure(std::string(what) + " " + FormatDottedAddress(request.address), reply);
    }
    return reply.code;
}

std::optional<int> HelperCameraAssignment::InterfaceForSubnet(uint32_t address) {
    return LocalInterfaceForSubnet(address);
}

std::optional<NeighbourEntry> HelperCameraAssignment::Lookup(uint32_t address) {
    return LookUpNeighbour(address);
}

int HelperCameraAssignment::Begin(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) {
    HelperRequest request = Request(HelperVerb::InstallBegin, address);
    request.interfaceIndex = interfaceIndex;
    request.mac = mac;
    return Ask(request, "starting the installation of", error);
}

int HelperCameraAssignment::SendAssignEcho(uint32_t address, uint16_t identifier, uint16_t sequence,
                                           std::span<const uint8_t> payload, std::string& error) {
    HelperRequest request = Request(HelperVerb::AssignEcho, address);
    request.identifier = identifier;
    request.sequence = sequence;
    request.payload.assign(payload.begin(), payload.end());
    return Ask(request, "the echo request to", error);
}

bool HelperCameraAssignment::End(uint32_t address, std::string& error) {
    const int code = Ask(Request(HelperVerb::InstallEnd, address), "ending the installation of", error);
    // Nothing of the helper's to remove, or a helper that has ended (a terminal's Ctrl-C reaches it too) and
    // removed what it prepared on the way out: either way it is gone.
    const bool running = m_helper.GetState() == PrivilegedHelper::State::Running;
    return code == 0 || (running && (code == ENOENT || code == EPIPE));
}
