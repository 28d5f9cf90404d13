#pragma once

// The network page (dialog 154): the camera's new address, subnet mask, gateway, two name servers, and whether
// the camera stays findable by the installer. The stored values change only on an accepted Next; the frame's
// Cancel button puts them back into the controls.

#include <cstdint>

#include "InstallParams.h"
#include "WizardPage.h"

class CWizardNetworkDlg : public WizardPage {
    Q_OBJECT
  public:
    static constexpr int kAddress = 1026;
    static constexpr int kMask = 1027;
    static constexpr int kGateway = 1028;
    static constexpr int kPrimaryDns = 1030;
    static constexpr int kSecondaryDns = 1031;
    static constexpr int kFindable = 1036;

    CWizardNetworkDlg();

    // Stored values, host order; all 0 after construction.
    uint32_t m_ipAddress = 0;
    uint32_t m_subnetMask = 0;
    uint32_t m_defaultGateway = 0;
    uint32_t m_primaryDns = 0;
    uint32_t m_secondaryDns = 0;
    int m_findable = 0;

    // The network values of `params`: the new address, "<install enabled>", mask, gateway, name servers.
    void CopyTo(InstallParams& params) const;

    void OnSetActive() override;
    int OnWizardNext() override;
    void OnPageCancel() override;

  protected:
    void CreateControls(QWidget* window) override;
    void UpdateData(bool saveAndValidate) override;
};
