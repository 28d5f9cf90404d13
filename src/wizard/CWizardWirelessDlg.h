#pragma once

// The wireless page (dialog 160): SSID, connection mode, channel, Tx rate, preamble and the WEP settings of a
// wireless camera. The stored values change only when the page reads its controls: in the key format and key
// length handlers and in OnWizardNext, which validates them (WizardRules) and asks for a confirmation.
// The page is taller than the page area and lies over the frame's button row; it keeps its own copies of the
// Back, Next and Exit images under the frame's buttons, which stay above it and take the clicks.

#include <QRect>
#include <QString>
#include <QStringList>
#include <array>

#include "InstallParams.h"
#include "WizardPage.h"

class QComboBox;
class QPushButton;

class CWizardWirelessDlg : public WizardPage {
    Q_OBJECT
  public:
    static constexpr int kInfrastructure = 1046;
    static constexpr int kAdhoc = 1047;
    static constexpr int kSsid = 1027;
    static constexpr int kChannel = 1052;
    static constexpr int kTxRate = 1059;
    static constexpr int kPreamble = 1060;
    static constexpr int kDataEncryption = 1036;
    static constexpr int kAuthentication = 1061;
    static constexpr int kKeyLength = 1053;
    static constexpr int kAscii = 1054;
    static constexpr int kHex = 1055;
    static constexpr std::array<int, 4> kKeySelects{1048, 1049, 1050, 1051};
    static constexpr std::array<int, 4> kKeyEdits{1056, 1057, 1058, 1026};
    static constexpr int kNextImage = 1062;
    static constexpr int kBackImage = 1063;
    static constexpr int kExitImage = 1064;

    CWizardWirelessDlg();

    // Stored values; the wireless settings after Finish.
    QString m_ssid;
    int m_channelIndex = 0;
    int m_keyLengthIndex = 0;
    std::array<QString, 4> m_keys;
    int m_keyFormat = 0;  // 0 ASCII, 1 HEX
    int m_keySelect = 0;
    int m_wirelessMode = 0;  // 0 infrastructure, 1 ad hoc
    int m_txRateIndex = 0;
    int m_authenticationIndex = 0;
    bool m_dataEncryption = false;
    int m_preambleIndex = 0;

    // Working values.
    int RequiredKeyLength() const { return m_requiredKeyLength; }
    bool HexShown() const { return m_hexShown; }

    // The wireless values of `params`; texts as Latin-1 (a character outside it becomes "?").
    void CopyTo(InstallParams& params) const;

    void OnSetActive() override;
    int OnWizardNext() override;

  protected:
    void CreateControls(QWidget* window) override;
    void OnInitDialog() override;
    void UpdateData(bool saveAndValidate) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void CreateFramesAndLabels(QWidget* window);
    void CreateConnectionControls(QWidget* window);
    void CreateEncryptionControls(QWidget* window);
    void CreateButtonImages(QWidget* window);
    void AddCombo(QWidget* window, int id, QRect geometry, const QStringList& items);
    void FillKeys();
    void EnableEncryptionGroup(bool enable);
    void OnKeyLengthChanged();
    // Switches the keys between ASCII and HEX, refilled at the new length; a click on the shown format does nothing.
    void OnKeyFormatClicked(bool hex);

    int m_requiredKeyLength = 0;
    bool m_hexShown = true;
};
