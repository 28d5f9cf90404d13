#include "RealInstallPlatform.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

RealInstallPlatform::RealInstallPlatform(Diagnostics& diagnostics, PrivilegedHelper& helper, std::string remoteFileName)
    : m_diagnostics(diagnostics), m_remoteFileName(std::move(remoteFileName)), m_helper(helper), m_neighbours(helper) {}

InstallWorker::Platform RealInstallPlatform::Platform() {
    const uint16_t identifier = InstallWorker::ProcessIdentifier();
    return {InstallWorker::RealEchoOpener(identifier, m_helper),
            m_neighbours,
            m_transfer,
            m_clock,
            m_diagnostics,
            [](int code) {
                std::fflush(nullptr);
                std::_Exit(code);
            },
            identifier,
            m_remoteFileName};
}
