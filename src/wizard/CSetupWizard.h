#pragma once

// The Setup Wizard's frame (dialog 156, "Setup Wizard"): the banner, the page area, and the Back, Next, Restart,
// Exit and Cancel image buttons, which the pages arrange. It knows nothing of cameras; the pages read the model
// name through ModelNameStringId().

#include "WizardDialog.h"

class CSetupWizard : public WizardDialog {
    Q_OBJECT
  public:
    explicit CSetupWizard(QWidget* owner);

    // String-table id of the camera model's name, set before the run; 0 after construction.
    int ModelNameStringId() const { return m_modelNameStringId; }
    void SetModelNameStringId(int id) { m_modelNameStringId = id; }
    // The model name text (up to 29 characters), empty without one.
    QString ModelName() const;

  protected:
    void OnInitDialog() override;

  private:
    int m_modelNameStringId = 0;
};
