#include "WizardButton.h"

#include "CSkinButton.h"
#include "WizardIds.h"

QPushButton* CreateWizardButton(QWidget* parent, int bitmapId) {
    auto* button = new CSkinButton(parent);
    button->SetBitmaps(bitmapId, Qt::white);
    // A skinned button takes the focus when clicked, also when Enter clicked it as the default. Were it an
    // auto-default button, that focus would make it the target of the next Enter (Back after the last Next);
    // Enter must keep going to the button the frame made the default.
    button->setAutoDefault(false);
    button->resize(WizardIds::kButtonWidth, WizardIds::kButtonHeight);
    return button;
}
