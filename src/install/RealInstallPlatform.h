#pragma once

#include <string>

#include "Clock.h"
#include "Diagnostics.h"
#include "FileTransfer.h"
#include "InstallWorker.h"
#include "NeighbourTable.h"

// The real platform pieces behind one installation of this process: the ICMP echo socket, rtnetlink, libcurl,
// the steady clock and std::_Exit for the fatal endings. Outlives the worker that uses its Platform().
class RealInstallPlatform {
  public:
    RealInstallPlatform(Diagnostics& diagnostics, std::string remoteFileName);
    InstallWorker::Platform Platform();

  private:
    Diagnostics& m_diagnostics;
    std::string m_remoteFileName;
    NetlinkNeighbourTable m_neighbours;
    CurlFileTransfer m_transfer;
    SteadyClock m_clock;
};
