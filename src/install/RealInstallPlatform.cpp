#include "RealInstallPlatform.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

RealInstallPlatform::RealInstallPlatform(Diagnostics& diagnostics, std::string remoteFileName)
    : m_diagnostics(diagnostics), m_remoteFileName(std::move(remoteFileName)) {}

InstallWorker::Platform RealInstallPlatform::Platform() {
    const uint16_t identifier = InstallWorker::ProcessIdentifier();
    return {InstallWorker::RealEchoOpener(identifier),
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
