#pragma once

#include "HelperProtocol.h"
#include "HelperRecord.h"
#include "HelperSystem.h"

#include <functional>
#include <string>
#include <string_view>

// The helper's answer to one request: code 0 or a positive errno value, the reply text, and for the socket verbs
// the descriptor to hand over (owned by the caller, -1 when none).
struct HelperResponse {
    int code = 0;
    std::string text;
    int fd = -1;
};

// Carries out requests after the checks, keeps the record of what it added and removes it again. Every change
// of the neighbour table or routes and every refusal goes to the log, one line each.
class HelperCore {
  public:
    using Log = std::function<void(std::string_view line)>;

    HelperCore(HelperSystem& system, HelperPrivileges& privileges, Log log, std::string version);

    HelperResponse Handle(const HelperRequest& request);
    // Removes every entry and route it added; returns how many are gone.
    size_t Cleanup();

    const HelperRecord& Record() const { return m_record; }

  private:
    HelperResponse Hello();
    HelperResponse DhcpSocket(uint16_t port);
    HelperResponse IcmpSocket();
    HelperResponse NeighAdd(const HelperRequest& request);
    HelperResponse NeighFlush(uint32_t address);
    HelperResponse NeighDel(uint32_t address);
    HelperResponse RouteAdd(int index, uint32_t address);
    HelperResponse RouteDel(int index, uint32_t address);

    // The checks shared by the verbs that change the kernel's tables; nothing when they pass.
    std::optional<HelperResponse> CheckTarget(int index, uint32_t address);
    // Removes a recorded entry unless someone else has replaced it since; 0 or the kernel's errno.
    int RemoveNeighbour(const HelperRecord::Entry& entry);
    int RemoveRoute(const HelperRecord::Entry& entry);
    // Deletes the kernel's own (not permanent) entries for address, on one interface or, with index 0, on all.
    int FlushDynamic(const std::vector<HelperNeighbour>& entries, int index, uint32_t address, size_t& flushed);

    HelperResponse Refuse(int code, const std::string& why);
    HelperResponse Done(const std::string& what);

    HelperSystem& m_system;
    HelperPrivileges& m_privileges;
    Log m_log;
    std::string m_version;
    std::string m_request;  // the one being handled, for the log
    HelperRecord m_record;
    bool m_handed67 = false;
    bool m_handed68 = false;
};
