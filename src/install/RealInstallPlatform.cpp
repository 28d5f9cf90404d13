#include "RealInstallPlatform.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "RecordStore.h"

RealInstallPlatform::RealInstallPlatform(Diagnostics& diagnostics, PrivilegedHelper& helper, std::string remoteFileName)
    : RealInstallPlatform(diagnostics, helper, std::move(remoteFileName), InstallWorker::ProcessIdentifier()) {}

RealInstallPlatform::RealInstallPlatform(Diagnostics& diagnostics, PrivilegedHelper& helper, std::string remoteFileName,
                                         uint16_t identifier)
    : m_diagnostics(diagnostics),
      m_remoteFileName(std::move(remoteFileName)),
      m_helper(helper),
      m_identifier(identifier),
      m_assignment(helper) {}

InstallWorker::Platform RealInstallPlatform::Platform() {
    return {InstallWorker::RealEchoOpener(m_identifier, m_helper),
            m_assignment,
            m_transfer,
            m_clock,
            m_diagnostics,
            [](int code) {
                std::fflush(nullptr);
                std::_Exit(code);
            },
            m_identifier,
            m_remoteFileName,
            RecordStore::DefaultDirectory(),
            nullptr};
}
