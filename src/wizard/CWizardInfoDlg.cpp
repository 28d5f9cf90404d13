#include "CWizardInfoDlg.h"

#include <QLabel>

#include "CSetupWizard.h"
#include "DialogUnits.h"
#include "StringTable.h"
#include "WizardIds.h"

using namespace WizardIds;

CWizardInfoDlg::CWizardInfoDlg()
    : WizardPage(kWelcomePage, QSize(DialogUnits::ToPixelsX(345), DialogUnits::ToPixelsY(162))) {}

void CWizardInfoDlg::CreateControls(QWidget* window) {
    auto* text = AddItem(kText, new QLabel(window));
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setGeometry(DialogUnits::ToPixels(20, 34, 282, 21));
    auto* step1 = AddItem(1020, new QLabel(QStringLiteral("Step 1. Set Internet connection"), window));
    step1->move(DialogUnits::ToPixelsX(41), DialogUnits::ToPixelsY(66));
    step1->adjustSize();
    auto* step2 = AddItem(1021, new QLabel(QStringLiteral("Step 2. Restart"), window));
    step2->move(DialogUnits::ToPixelsX(41), DialogUnits::ToPixelsY(87));
    step2->adjustSize();
}

void CWizardInfoDlg::OnSetActive() {
    ArrangeFrameButtons({{kNext, 380}, {kCancel, 430}}, {kBack, kPageCancel, kFinish});
    const auto* frame = qobject_cast<const CSetupWizard*>(Frame());
    const std::string model = frame != nullptr ? frame->ModelName().toStdString() : std::string();
    if (auto* text = qobject_cast<QLabel*>(Item(kText))) {
        text->setText(QString::fromStdString(StringTable::Format(StringTable::kWelcomeText, model)));
    }
}
