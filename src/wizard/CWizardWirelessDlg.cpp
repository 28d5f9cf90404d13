#include "CWizardWirelessDlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "Bitmaps.h"
#include "DialogUnits.h"
#include "WizardButton.h"
#include "WizardDialog.h"
#include "WizardIds.h"
#include "WizardMessageBox.h"
#include "WizardRules.h"

using namespace WizardIds;
using DialogUnits::ToPixels;

namespace {

QString CaptionError() {
    return QStringLiteral("Error");
}

QComboBox* Combo(const WizardPage& page, int id) {
    return qobject_cast<QComboBox*>(page.Item(id));
}
QLineEdit* Edit(const WizardPage& page, int id) {
    return qobject_cast<QLineEdit*>(page.Item(id));
}
QAbstractButton* Check(const WizardPage& page, int id) {
    return qobject_cast<QAbstractButton*>(page.Item(id));
}

// The checked index of a radio group given by its ids, -1 when none is checked.
template <size_t N>
int CheckedIndex(const WizardPage& page, const std::array<int, N>& ids) {
    for (size_t i = 0; i < N; ++i) {
        if (QAbstractButton* button = Check(page, ids[i]); button != nullptr && button->isChecked()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

template <size_t N>
void SetCheckedIndex(const WizardPage& page, const std::array<int, N>& ids, int index) {
    for (size_t i = 0; i < N; ++i) {
        if (QAbstractButton* button = Check(page, ids[i])) {
            button->setChecked(static_cast<int>(i) == index);
        }
    }
}

constexpr std::array<int, 2> kModeGroup{CWizardWirelessDlg::kInfrastructure, CWizardWirelessDlg::kAdhoc};
constexpr std::array<int, 2> kFormatGroup{CWizardWirelessDlg::kAscii, CWizardWirelessDlg::kHex};

}  // namespace

CWizardWirelessDlg::CWizardWirelessDlg()
    : WizardPage(kWirelessPage, QSize(DialogUnits::ToPixelsX(345), DialogUnits::ToPixelsY(272))) {}

void CWizardWirelessDlg::CreateControls(QWidget* window) {
    CreateFramesAndLabels(window);
    CreateConnectionControls(window);
    CreateEncryptionControls(window);
    CreateButtonImages(window);

    connect(Combo(*this, kKeyLength), &QComboBox::currentIndexChanged, this, [this] { OnKeyLengthChanged(); });
    connect(Check(*this, kAscii), &QAbstractButton::clicked, this, [this] { OnKeyFormatClicked(false); });
    connect(Check(*this, kHex), &QAbstractButton::clicked, this, [this] { OnKeyFormatClicked(true); });
    connect(Check(*this, kDataEncryption), &QAbstractButton::clicked, this,
            [this](bool checked) { EnableEncryptionGroup(checked); });
}

void CWizardWirelessDlg::CreateFramesAndLabels(QWidget* window) {
    // Group boxes first, so that the controls they frame lie above them.
    auto* modeBox = new QGroupBox(window);
    modeBox->setGeometry(ToPixels(20, 19, 305, 36));
    auto* keyBox = new QGroupBox(QStringLiteral("Change Encryption Key"), window);
    // The page lies over the frame's button row: the box ends left of the buttons rather than running behind them.
    keyBox->setGeometry(ToPixels(20, 163, 193, 92));
    auto* formatBox = new QGroupBox(window);
    formatBox->setGeometry(ToPixels(243, 141, 82, 20));

    auto* title = new QLabel(QStringLiteral("Wireless Interface"), window);
    title->setGeometry(ToPixels(117, 7, 79, 12));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    title->setFont(titleFont);

    const struct {
        int id;
        const char* text;
        int y;
    } labels[] = {
        {1045, "Connection Mode      :", 29},        {1065, "SSID                          :", 61},
        {1066, "Wireless Channel      :", 78},       {0, "TxRate                      :", 93},
        {1067, "Preamble                   :", 108}, {1068, "Auth Mode                :", 134},
        {1069, "WEP Key Length       :", 149},
    };
    for (const auto& l : labels) {
        auto* label = new QLabel(QString::fromLatin1(l.text), window);
        label->setGeometry(ToPixels(26, l.y, 85, 10));
        if (l.id != 0) {
            AddItem(l.id, label);
        }
    }
}

void CWizardWirelessDlg::AddCombo(QWidget* window, int id, QRect geometry, const QStringList& items) {
    auto* combo = AddItem(id, new QComboBox(window));
    combo->addItems(items);
    // Only a click or the keyboard gives a list the focus, and only a focused list takes the wheel.
    combo->setFocusPolicy(Qt::StrongFocus);
    combo->installEventFilter(this);
    combo->setGeometry(geometry.x(), geometry.y(), geometry.width(), DialogUnits::ToPixelsY(13));
}

void CWizardWirelessDlg::CreateConnectionControls(QWidget* window) {
    auto* modeGroup = new QButtonGroup(window);
    auto* infrastructure = AddItem(kInfrastructure, new QRadioButton(QStringLiteral("Infrastructure"), window));
    infrastructure->setGeometry(ToPixels(127, 28, 92, 10));
    auto* adhoc = AddItem(kAdhoc, new QRadioButton(QStringLiteral("Adhoc"), window));
    adhoc->setGeometry(ToPixels(127, 41, 92, 10));
    modeGroup->addButton(infrastructure);
    modeGroup->addButton(adhoc);

    auto* ssid = AddItem(kSsid, new QLineEdit(window));
    ssid->setGeometry(ToPixels(112, 59, 77, 14));
    ssid->setMaxLength(kMaxSsidLength);

    QStringList channels;
    for (int channel = 1; channel <= 11; ++channel) {
        channels << QString::number(channel);
    }
    AddCombo(window, kChannel, ToPixels(112, 76, 48, 135), channels);
    AddCombo(window, kTxRate, ToPixels(112, 91, 77, 135),
             {QStringLiteral("1 Mbps"), QStringLiteral("2 Mbps"), QStringLiteral("5.5 Mbps"), QStringLiteral("11 Mbps"),
              QStringLiteral("22 Mbps")});
    AddCombo(window, kPreamble, ToPixels(112, 106, 77, 135),
             {QStringLiteral("Long preamble"), QStringLiteral("Short preamble")});
}

void CWizardWirelessDlg::CreateEncryptionControls(QWidget* window) {
    auto* encryption = AddItem(kDataEncryption, new QCheckBox(QStringLiteral("Data Encryption"), window));
    // Wider than the template: this font needs more room than the one the layout was drawn for.
    encryption->setGeometry(ToPixels(26, 119, 80, 10));

    AddCombo(window, kAuthentication, ToPixels(112, 132, 77, 135),
             {QStringLiteral("Auto"), QStringLiteral("Shared"), QStringLiteral("Open")});
    AddCombo(window, kKeyLength, ToPixels(112, 147, 48, 74),
             {QStringLiteral("64bit"), QStringLiteral("128bit"), QStringLiteral("256bit")});

    auto* formatGroup = new QButtonGroup(window);
    auto* ascii = AddItem(kAscii, new QRadioButton(QStringLiteral("ASCII"), window));
    ascii->setGeometry(ToPixels(251, 149, 35, 10));
    auto* hex = AddItem(kHex, new QRadioButton(QStringLiteral("HEX"), window));
    hex->setGeometry(ToPixels(291, 149, 28, 10));
    formatGroup->addButton(ascii);
    formatGroup->addButton(hex);

    auto* keyGroup = new QButtonGroup(window);
    constexpr int kKeyRowY[] = {177, 196, 215, 234};
    for (size_t i = 0; i < kKeyEdits.size(); ++i) {
        auto* select = AddItem(kKeySelects[i], new QRadioButton(window));
        select->setGeometry(ToPixels(35, kKeyRowY[i] + 2, 10, 10));
        keyGroup->addButton(select);
        auto* key = AddItem(kKeyEdits[i], new QLineEdit(window));
        key->setGeometry(ToPixels(51, kKeyRowY[i], 152, 14));
    }
}

void CWizardWirelessDlg::CreateButtonImages(QWidget* window) {
    const struct {
        int id;
        int bitmap;
    } images[] = {{kNextImage, Bitmaps::kNext}, {kBackImage, Bitmaps::kBack}, {kExitImage, Bitmaps::kWizardExit}};
    for (const auto& image : images) {
        QPushButton* button = AddItem(image.id, CreateWizardButton(window, image.bitmap));
        // Pictures only: the frame's buttons above them take the clicks and the keyboard.
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
    }
}

// A wheel turned over the page would otherwise change whichever list lies under the mouse, unseen; a new key
// length also wipes all four keys.
bool CWizardWirelessDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel) {
        if (const auto* combo = qobject_cast<QComboBox*>(watched); combo != nullptr && !combo->hasFocus()) {
            event->ignore();
            return true;
        }
    }
    return WizardPage::eventFilter(watched, event);
}

void CWizardWirelessDlg::UpdateData(bool saveAndValidate) {
    // The key length box reports its own changes; a transfer to the controls is no user change.
    QComboBox* keyLength = Combo(*this, kKeyLength);
    const QSignalBlocker blockKeyLength(keyLength);
    const struct {
        int id;
        int* value;
    } combos[] = {{kChannel, &m_channelIndex},
                  {kKeyLength, &m_keyLengthIndex},
                  {kTxRate, &m_txRateIndex},
                  {kPreamble, &m_preambleIndex},
                  {kAuthentication, &m_authenticationIndex}};
    for (const auto& c : combos) {
        if (QComboBox* combo = Combo(*this, c.id)) {
            if (saveAndValidate) {
                *c.value = combo->currentIndex();
            } else {
                combo->setCurrentIndex(*c.value);
            }
        }
    }
    if (QLineEdit* ssid = Edit(*this, kSsid)) {
        if (saveAndValidate) {
            m_ssid = ssid->text().left(kMaxSsidLength);
        } else {
            ssid->setText(m_ssid.left(kMaxSsidLength));
        }
    }
    for (size_t i = 0; i < kKeyEdits.size(); ++i) {
        if (QLineEdit* key = Edit(*this, kKeyEdits[i])) {
            if (saveAndValidate) {
                m_keys[i] = key->text();
            } else {
                key->setText(m_keys[i]);
            }
        }
    }
    if (saveAndValidate) {
        m_keyFormat = CheckedIndex(*this, kFormatGroup);
        m_keySelect = CheckedIndex(*this, kKeySelects);
        m_wirelessMode = CheckedIndex(*this, kModeGroup);
    } else {
        SetCheckedIndex(*this, kFormatGroup, m_keyFormat);
        SetCheckedIndex(*this, kKeySelects, m_keySelect);
        SetCheckedIndex(*this, kModeGroup, m_wirelessMode);
    }
}

void CWizardWirelessDlg::OnInitDialog() {
    WizardPage::OnInitDialog();
    const InstallParams first = WirelessFirstDisplay(InstallParams{});
    m_requiredKeyLength = ::RequiredKeyLength(first.m_keyLengthIndex, first.m_keyFormat);
    m_hexShown = first.m_keyFormat == kKeyFormatHex;
    {
        const QSignalBlocker block(Combo(*this, kKeyLength));
        Combo(*this, kChannel)->setCurrentIndex(first.m_channelIndex);
        Combo(*this, kKeyLength)->setCurrentIndex(first.m_keyLengthIndex);
        Combo(*this, kTxRate)->setCurrentIndex(first.m_txRateIndex);
        Combo(*this, kPreamble)->setCurrentIndex(first.m_preamble);
        Combo(*this, kAuthentication)->setCurrentIndex(first.m_authenticationIndex);
    }
    Edit(*this, kSsid)->setText(QString::fromStdString(first.m_ssid));
    Edit(*this, kSsid)->setMaxLength(kMaxSsidLength);
    SetCheckedIndex(*this, kModeGroup, first.m_wirelessMode);
    SetCheckedIndex(*this, kFormatGroup, first.m_keyFormat);
    SetCheckedIndex(*this, kKeySelects, first.m_keySelect);
    for (size_t i = 0; i < kKeyEdits.size(); ++i) {
        Edit(*this, kKeyEdits[i])->setText(QString::fromStdString(first.m_keys[i]));
    }
    Check(*this, kDataEncryption)->setChecked(first.m_dataEncryption);
    EnableEncryptionGroup(first.m_dataEncryption);
}

void CWizardWirelessDlg::FillKeys() {
    const bool ascii = Check(*this, kAscii)->isChecked();
    const QString text(std::max(m_requiredKeyLength, 0), ascii ? QChar(' ') : QChar('0'));
    for (int id : kKeyEdits) {
        Edit(*this, id)->setText(text);
    }
}

void CWizardWirelessDlg::EnableEncryptionGroup(bool enable) {
    for (int id : {kAuthentication, kKeyLength, kKeyEdits[0], kKeyEdits[1], kKeyEdits[2], kKeyEdits[3], kAscii, kHex,
                   kKeySelects[0], kKeySelects[1], kKeySelects[2], kKeySelects[3]}) {
        if (QWidget* control = Item(id)) {
            control->setEnabled(enable);
        }
    }
}

void CWizardWirelessDlg::OnKeyLengthChanged() {
    UpdateData(true);
    m_requiredKeyLength =
        ::RequiredKeyLength(m_keyLengthIndex, kKeyFormatAscii) * (m_keyFormat == kKeyFormatHex ? 2 : 1);
    FillKeys();
}

void CWizardWirelessDlg::OnKeyFormatClicked(bool hex) {
    if (m_hexShown == hex) {
        return;
    }
    UpdateData(true);
    m_requiredKeyLength = ::RequiredKeyLength(m_keyLengthIndex, hex ? kKeyFormatHex : kKeyFormatAscii);
    FillKeys();
    m_hexShown = hex;
}

void CWizardWirelessDlg::OnSetActive() {
    WizardDialog* frame = Frame();
    ArrangeFrameButtons({{kBack, 330}, {kNext, 380}, {kCancel, 430}}, {kFinish, kPageCancel});
    if (frame == nullptr) {
        return;
    }
    if (QWidget* next = frame->Item(kNext)) {
        next->setFocus(Qt::OtherFocusReason);
    }
    const struct {
        int image;
        int frameButton;
    } copies[] = {{kBackImage, kBack}, {kNextImage, kNext}, {kExitImage, kCancel}};
    for (const auto& copy : copies) {
        QWidget* image = Item(copy.image);
        QWidget* button = frame->Item(copy.frameButton);
        if (image != nullptr && button != nullptr) {
            image->setGeometry(QRect(Window()->mapFrom(frame, button->pos()), button->size()));
            button->update();
        }
    }
}

int CWizardWirelessDlg::OnWizardNext() {
    UpdateData(true);
    InstallParams params;
    CopyTo(params);
    params.m_dataEncryption = Check(*this, kDataEncryption)->isChecked();
    const auto failure = CheckWirelessSettings(params, m_requiredKeyLength);
    // The checks change stored values before they fail: HEX keys are upper-cased and keys normalised once the
    // SSID has passed, and encryption is read from its box at that point too.
    if (IsValidSsid(params.m_ssid)) {
        m_dataEncryption = params.m_dataEncryption;
        for (size_t i = 0; i < m_keys.size(); ++i) {
            m_keys[i] = QString::fromLatin1(params.m_keys[i].data(), static_cast<qsizetype>(params.m_keys[i].size()));
        }
    }
    if (failure) {
        ShowWizardMessage(Window(), CaptionError(), QString::fromStdString(*failure), QMessageBox::Critical);
        return -1;
    }
    const auto answer = ShowWizardMessage(Window(), QStringLiteral("Warning"),
                                          QString::fromLatin1(kConfirmSettingsMessage), QMessageBox::Warning, true);
    return answer == QMessageBox::Ok ? 0 : -1;
}

// The camera's file holds one byte per character, so texts go as Latin-1: key lengths count characters as the
// user typed them, and cutting a key never splits a character.
void CWizardWirelessDlg::CopyTo(InstallParams& params) const {
    params.m_ssid = m_ssid.toLatin1().toStdString();
    params.m_wirelessMode = m_wirelessMode;
    params.m_channelIndex = m_channelIndex;
    params.m_txRateIndex = m_txRateIndex;
    params.m_preamble = m_preambleIndex;
    params.m_dataEncryption = m_dataEncryption;
    params.m_authenticationIndex = m_authenticationIndex;
    params.m_keyLengthIndex = m_keyLengthIndex;
    params.m_keyFormat = m_keyFormat;
    params.m_keySelect = m_keySelect;
    for (size_t i = 0; i < m_keys.size(); ++i) {
        params.m_keys[i] = m_keys[i].toLatin1().toStdString();
    }
}
