#include "HelperNeighbourTable.h"

#include <cerrno>

namespace {

HelperRequest Request(HelperVerb verb, uint32_t address, int interfaceIndex = 0) {
    HelperRequest request;
    request.verb = verb;
    request.address = address;
    request.interfaceIndex = interfaceIndex;
    return request;
}

}  // namespace

bool HelperNeighbourTable::Ask(const HelperRequest& request, const char* what, bool absentIsFine, std::string& error) {
    const PrivilegedHelper::Reply reply = m_helper.Call(request);
    if (reply.code == 0 ||
        (absentIsFine && reply.code == ENOENT && m_helper.GetState() == PrivilegedHelper::State::Running)) {
        return true;
    }
    error = DescribeHelperFailure(std::string(what) + " " + HelperAddressText(request.address), reply);
    return false;
}

std::optional<int> HelperNeighbourTable::InterfaceForSubnet(uint32_t address) {
    return LocalInterfaceForSubnet(address);
}

bool HelperNeighbourTable::AddPermanent(int interfaceIndex, uint32_t address, const MacAddress& mac,
                                        std::string& error) {
    HelperRequest request = Request(HelperVerb::NeighAdd, address, interfaceIndex);
    request.mac = mac;
    return Ask(request, "adding the neighbour entry for", false, error);
}

bool HelperNeighbourTable::Remove(uint32_t address, std::string& error) {
    return Ask(Request(HelperVerb::NeighDel, address), "removing the neighbour entry for", true, error);
}

bool HelperNeighbourTable::FlushDynamic(uint32_t address, std::string& error) {
    return Ask(Request(HelperVerb::NeighFlush, address), "flushing the neighbour entries for", false, error);
}

bool HelperNeighbourTable::AddHostRoute(int interfaceIndex, uint32_t address, std::string& error) {
    return Ask(Request(HelperVerb::RouteAdd, address, interfaceIndex), "adding the host route to", false, error);
}

bool HelperNeighbourTable::RemoveHostRoute(int interfaceIndex, uint32_t address, std::string& error) {
    return Ask(Request(HelperVerb::RouteDel, address, interfaceIndex), "removing the host route to", true, error);
}
