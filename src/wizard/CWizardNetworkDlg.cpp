#include "CWizardNetworkDlg.h"

#include <QCheckBox>
#include <QLabel>

#include "DialogUnits.h"
#include "IpAddressEdit.h"
#include "StringTable.h"
#include "WizardIds.h"
#include "WizardMessageBox.h"
#include "WizardRules.h"

using namespace WizardIds;

namespace {

struct AddressRow {
    int id;
    const char* label;
    int y;
};
constexpr AddressRow kRows[] = {
    {CWizardNetworkDlg::kAddress, "IP Address", 24},          {CWizardNetworkDlg::kMask, "Subnet Mask", 44},
    {CWizardNetworkDlg::kGateway, "Default Gateway", 64},     {CWizardNetworkDlg::kPrimaryDns, "Primary DNS", 84},
    {CWizardNetworkDlg::kSecondaryDns, "Secondary DNS", 104},
};

}  // namespace

CWizardNetworkDlg::CWizardNetworkDlg()
    : WizardPage(kNetworkPage, QSize(DialogUnits::ToPixelsX(345), DialogUnits::ToPixelsY(162))) {}

void CWizardNetworkDlg::CreateControls(QWidget* window) {
    auto* title = new QLabel(QStringLiteral("Set IP Address"), window);
    title->setGeometry(DialogUnits::ToPixels(113, 9, 94, 14));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    title->setFont(titleFont);
    for (const AddressRow& row : kRows) {
        auto* label = new QLabel(QString::fromLatin1(row.label), window);
        label->setGeometry(DialogUnits::ToPixels(46, row.y + 3, 62, 8));
        auto* field = AddItem(row.id, new IpAddressEdit(window));
        field->setGeometry(DialogUnits::ToPixels(111, row.y, 100, 15));
    }
    auto* findable = AddItem(kFindable, new QCheckBox(QStringLiteral("Use this IP whenever system boots"), window));
    findable->setGeometry(DialogUnits::ToPixels(46, 129, 285, 10));
}

void CWizardNetworkDlg::UpdateData(bool saveAndValidate) {
    struct Binding {
        int id;
        uint32_t* value;
    };
    const Binding bindings[] = {
        {kAddress, &m_ipAddress},     {kMask, &m_subnetMask},           {kGateway, &m_defaultGateway},
        {kPrimaryDns, &m_primaryDns}, {kSecondaryDns, &m_secondaryDns},
    };
    for (const Binding& binding : bindings) {
        auto* field = qobject_cast<IpAddressEdit*>(Item(binding.id));
        if (field == nullptr) {
            continue;
        }
        if (saveAndValidate) {
            *binding.value = field->Address();
        } else {
            field->SetAddress(*binding.value);
        }
    }
    if (auto* findable = qobject_cast<QCheckBox*>(Item(kFindable))) {
        if (saveAndValidate) {
            m_findable = findable->isChecked() ? 1 : 0;
        } else {
            findable->setChecked(m_findable != 0);
        }
    }
}

void CWizardNetworkDlg::OnSetActive() {
    ArrangeFrameButtons({{kBack, 280}, {kNext, 330}, {kPageCancel, 380}, {kCancel, 430}}, {kFinish});
    if (auto* findable = qobject_cast<QCheckBox*>(Item(kFindable))) {
        findable->setText(QString::fromStdString(StringTable::Load(StringTable::kFindOnStartup)));
    }
}

int CWizardNetworkDlg::OnWizardNext() {
    // The controls are checked before anything is stored, so Cancel after a refusal still brings back the
    // values of the last accepted Next.
    const auto* address = qobject_cast<IpAddressEdit*>(Item(kAddress));
    const auto* mask = qobject_cast<IpAddressEdit*>(Item(kMask));
    const auto failure =
        CheckNetworkAddresses(address != nullptr ? address->Address() : 0, mask != nullptr ? mask->Address() : 0);
    if (!failure) {
        UpdateData(true);
        return 0;
    }
    ShowWizardMessage(Window(), QString::fromStdString(StringTable::Load(StringTable::kProductName)),
                      QString::fromStdString(*failure), QMessageBox::NoIcon);
    return -1;
}

void CWizardNetworkDlg::OnPageCancel() {
    UpdateData(false);
}

void CWizardNetworkDlg::CopyTo(InstallParams& params) const {
    params.m_newAddress = m_ipAddress;
    params.m_installEnabled = m_findable != 0;
    params.m_subnetMask = m_subnetMask;
    params.m_gateway = m_defaultGateway;
    params.m_primaryDns = m_primaryDns;
    params.m_secondaryDns = m_secondaryDns;
}
