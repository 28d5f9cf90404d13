#pragma once

#include "HelperCore.h"
#include "HelperLiveness.h"
#include "HelperLog.h"
#include "HelperRelay.h"
#include "NetlinkHelperSystem.h"

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

// An AF_UNIX SOCK_SEQPACKET socket that is not listening: what descriptor 3 and every attached channel must be.
bool IsSeqPacketPair(int fd);

// The helper's serve loop on descriptor 3, one step per event: wait for anything, serve the relays, probes and
// liveness checks that are ready, read one request and answer it, and end (removing everything this helper
// added) when the program is gone, an end signal arrives or waiting fails.
class HelperServer {
  public:
    // signals: a signalfd of the end signals.
    HelperServer(HelperCore& core, HelperRelay& relay, NetlinkHelperSystem& system, HelperLiveness& liveness,
                 HelperLog& log, int signals);

    // Serves until the end; returns the exit status.
    int Run();

  private:
    enum class Step { Serve, End };

    // Polls the program's socket, the end signals, the liveness socket, the relays and the probes.
    bool Wait();
    void RelayReady();
    Step ReadRequest();
    // False when the program can no longer be reached.
    bool Answer(uint32_t token, const HelperResponse& response);
    int End(const std::string& why);

    HelperCore& m_core;
    HelperRelay& m_relay;
    NetlinkHelperSystem& m_system;
    HelperLiveness& m_liveness;
    HelperLog& m_log;
    int m_signals;
    std::vector<pollfd> m_fds;
    size_t m_relays = 0;  // how many of m_fds after the first three are the relays'
    int64_t m_lastDropReport = 0;
};
