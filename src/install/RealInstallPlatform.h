#pragma once

#include <string>

#include "Clock.h"
#include "Diagnostics.h"
#include "FileTransfer.h"
#include "HelperNeighbourTable.h"
#include "InstallWorker.h"
#include "PrivilegedHelper.h"

// The real platform pieces behind one installation of this process: the ICMP echo socket, the neighbour table
// through the helper, libcurl, the steady clock and std::_Exit for the fatal endings. Outlives the worker that
// uses its Platform(); the helper outlives it.
class RealInstallPlatform {
  public:
    RealInstallPlatform(Diagnostics& diagnostics, PrivilegedHelper& helper, std::string remoteFileName);
    InstallWorker::Platform Platform();

  private:
    Diagnostics& m_diagnostics;
    std::string m_remoteFileName;
    PrivilegedHelper& m_helper;
    HelperNeighbourTable m_neighbours;
    CurlFileTransfer m_transfer;
    SteadyClock m_clock;
};
