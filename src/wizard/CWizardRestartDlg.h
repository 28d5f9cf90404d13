#pragma once

// The finish page (dialog 155): tells that Restart saves the settings and reboots the named camera model.

#include "WizardPage.h"

class CWizardRestartDlg : public WizardPage {
    Q_OBJECT
  public:
    static constexpr int kText = 1070;
    CWizardRestartDlg();

    void OnSetActive() override;

  protected:
    void CreateControls(QWidget* window) override;
};
