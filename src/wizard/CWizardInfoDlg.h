#pragma once

// The welcome page (dialog 152): names the camera model and the two steps; stores nothing.

#include "WizardPage.h"

class CWizardInfoDlg : public WizardPage {
    Q_OBJECT
  public:
    static constexpr int kText = 1017;
    CWizardInfoDlg();

    void OnSetActive() override;

  protected:
    void CreateControls(QWidget* window) override;
};
