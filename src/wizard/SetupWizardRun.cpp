#include "SetupWizardRun.h"

#include <memory>

#include "CSetupWizard.h"
#include "CWizardInfoDlg.h"
#include "CWizardNetworkDlg.h"
#include "CWizardRestartDlg.h"
#include "CWizardWirelessDlg.h"
#include "StringTable.h"
#include "WizardIds.h"

std::optional<InstallParams> RunSetupWizard(QWidget* owner, const CameraRecord& camera) {
    // The pages outlive the frame window: the frame is destroyed first.
    CWizardInfoDlg welcome;
    CWizardNetworkDlg network;
    CWizardWirelessDlg wireless;
    CWizardRestartDlg finish;

    InstallParams params =
        InstallParams::ForCamera(camera, SettingsForSegment(camera, camera.address, SystemSegmentFacts()));
    const bool wirelessCamera = camera.wireless.value_or(false);
    network.m_ipAddress = params.m_newAddress;
    network.m_subnetMask = params.m_subnetMask;
    network.m_defaultGateway = params.m_gateway;
    network.m_primaryDns = params.m_primaryDns;
    network.m_secondaryDns = params.m_secondaryDns;
    network.m_findable = 0;

    int result = 0;
    {
        CSetupWizard wizard(owner);
        wizard.AddPage(&welcome, WizardIds::kWelcomePage);
        wizard.AddPage(&network, WizardIds::kNetworkPage);
        if (wirelessCamera) {
            wizard.AddPage(&wireless, WizardIds::kWirelessPage);
        }
        wizard.AddPage(&finish, WizardIds::kFinishPage);
        wizard.SetModelNameStringId(wirelessCamera ? StringTable::kModelTavix11Plus : StringTable::kModelTavix10);
        result = wizard.exec();
    }
    if (result != WizardIds::kFinish) {
        return std::nullopt;
    }
    network.CopyTo(params);
    if (wirelessCamera) {
        wireless.CopyTo(params);
    }
    return params;
}
