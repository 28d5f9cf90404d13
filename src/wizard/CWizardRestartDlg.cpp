#include "CWizardRestartDlg.h"

#include <QLabel>

#include "CSetupWizard.h"
#include "DialogUnits.h"
#include "StringTable.h"
#include "WizardIds.h"

using namespace WizardIds;

CWizardRestartDlg::CWizardRestartDlg()
    : WizardPage(kFinishPage, QSize(DialogUnits::ToPixelsX(345), DialogUnits::ToPixelsY(162))) {}

void CWizardRestartDlg::CreateControls(QWidget* window) {
    auto* text = AddItem(kText, new QLabel(window));
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setGeometry(DialogUnits::ToPixels(25, 32, 293, 25));
}

void CWizardRestartDlg::OnSetActive() {
    ArrangeFrameButtons({{kBack, 380}, {kFinish, 430}}, {kPageCancel, kNext, kCancel});
    const auto* frame = qobject_cast<const CSetupWizard*>(Frame());
    const std::string model = frame != nullptr ? frame->ModelName().toStdString() : std::string();
    if (auto* text = qobject_cast<QLabel*>(Item(kText))) {
        text->setText(QString::fromStdString(StringTable::Format(StringTable::kFinishText, model)));
    }
}
