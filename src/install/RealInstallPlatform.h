#pragma once

#include <cstdint>
#include <string>

#include "Clock.h"
#include "Diagnostics.h"
#include "FileTransfer.h"
#include "HelperCameraAssignment.h"
#include "InstallPlatformSource.h"
#include "InstallWorker.h"
#include "PrivilegedHelper.h"

// The real platform pieces behind one installation of this process: the ICMP echo socket (or the helper's echo
// channel), the camera's assignment through the helper, libcurl, the steady clock and std::_Exit for the fatal endings.
// Outlives the worker that uses its Platform(); the helper outlives it.
class RealInstallPlatform : public InstallPlatformSource {
  public:
    // The process's only installation: the process identifier.
    RealInstallPlatform(Diagnostics& diagnostics, PrivilegedHelper& helper, std::string remoteFileName);
    // One of several installations at once: its own identifier.
    RealInstallPlatform(Diagnostics& diagnostics, PrivilegedHelper& helper, std::string remoteFileName,
                        uint16_t identifier);
    InstallWorker::Platform Platform() override;

  private:
    Diagnostics& m_diagnostics;
    std::string m_remoteFileName;
    PrivilegedHelper& m_helper;
    uint16_t m_identifier;
    HelperCameraAssignment m_assignment;
    CurlFileTransfer m_transfer;
    SteadyClock m_clock;
};
