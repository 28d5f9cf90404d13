#include <gtest/gtest.h>

#include <QtTest/qtestspontaneevent.h>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWheelEvent>
#include <functional>
#include <memory>

#include "CSetupWizard.h"
#include "CWizardInfoDlg.h"
#include "CWizardNetworkDlg.h"
#include "CWizardRestartDlg.h"
#include "CWizardWirelessDlg.h"
#include "IpAddressEdit.h"
#include "SetupWizardRun.h"
#include "StringTable.h"
#include "WizardIds.h"
#include "WizardMessageBox.h"
#include "WizardTestSupport.h"

using namespace WizardIds;
using W = CWizardWirelessDlg;
using N = CWizardNetworkDlg;

namespace {

constexpr uint32_t kCameraAddress = 0xC0A80032u;  // 192.168.0.50
const std::string kAddressMessage = "You must fill the correct IP address or subnet mask";

// The buttons of the frame that are shown, left to right.
std::vector<int> ShownButtons(const CSetupWizard& wizard) {
    std::vector<std::pair<int, int>> shown;
    for (int id : {kBack, kNext, kFinish, kCancel, kPageCancel}) {
        if (QWidget* button = wizard.Item(id); button->isVisible()) {
            EXPECT_EQ(button->y(), kButtonY);
            EXPECT_EQ(button->size(), QSize(kButtonWidth, kButtonHeight));
            shown.emplace_back(button->x(), id);
        }
    }
    std::sort(shown.begin(), shown.end());
    std::vector<int> ids;
    for (const auto& [x, id] : shown) {
        ids.push_back(id);
    }
    return ids;
}

class WizardPages : public ::testing::Test {
  public:
    void Build(bool wireless) {
        network.m_ipAddress = kCameraAddress;
        network.m_subnetMask = 0xFFFFFF00u;
        network.m_defaultGateway = 0xC0A80001u;
        wizard = std::make_unique<CSetupWizard>(nullptr);
        wizard->AddPage(&welcome, kWelcomePage);
        wizard->AddPage(&network, kNetworkPage);
        if (wireless) {
            wizard->AddPage(&wirelessPage, kWirelessPage);
        }
        wizard->AddPage(&finish, kFinishPage);
        wizard->SetModelNameStringId(wireless ? StringTable::kModelTavix11Plus : StringTable::kModelTavix10);
        wizard->show();
    }
    void Click(int id) { wizard->Button(id)->click(); }
    IpAddressEdit* Field(int id) { return qobject_cast<IpAddressEdit*>(network.Item(id)); }
    QCheckBox* Findable() { return qobject_cast<QCheckBox*>(network.Item(N::kFindable)); }
    QLineEdit* Edit(int id) { return qobject_cast<QLineEdit*>(wirelessPage.Item(id)); }
    QComboBox* Combo(int id) { return qobject_cast<QComboBox*>(wirelessPage.Item(id)); }
    QAbstractButton* Check(int id) { return qobject_cast<QAbstractButton*>(wirelessPage.Item(id)); }
    QString Key(int i) { return Edit(W::kKeyEdits[static_cast<size_t>(i)])->text(); }
    void ToWirelessPage() {
        Build(true);
        Click(kNext);
        Click(kNext);
        ASSERT_EQ(wizard->ActivePage(), &wirelessPage);
    }
    void EnableEncryption() {
        QTest::mouseClick(Check(W::kDataEncryption), Qt::LeftButton);
        ASSERT_TRUE(Check(W::kDataEncryption)->isChecked());
    }

    MessageBoxRecorder boxes;
    CWizardInfoDlg welcome;
    CWizardNetworkDlg network;
    CWizardWirelessDlg wirelessPage;
    CWizardRestartDlg finish;
    std::unique_ptr<CSetupWizard> wizard;  // destroyed before the pages
};

TEST_F(WizardPages, WelcomeAndFinishNameTheModelAndOfferTheirButtons) {
    for (bool wireless : {false, true}) {
        Build(wireless);
        const QString model = wireless ? QStringLiteral("Tavix-11+") : QStringLiteral("Tavix-10");
        EXPECT_EQ(qobject_cast<QLabel*>(welcome.Item(CWizardInfoDlg::kText))->text(),
                  QStringLiteral("Welcome to the %1 Setup Wizard. The Wizard will guide you through these two quick "
                                 "steps. Begin by clicking on Next.")
                      .arg(model));
        EXPECT_EQ(ShownButtons(*wizard), (std::vector<int>{kNext, kCancel}));
        Click(kNext);
        EXPECT_EQ(ShownButtons(*wizard), (std::vector<int>{kBack, kNext, kPageCancel, kCancel}));
        if (wireless) {
            Click(kNext);
            EXPECT_EQ(wizard->ActivePage(), &wirelessPage);
            EXPECT_EQ(ShownButtons(*wizard), (std::vector<int>{kBack, kNext, kCancel}));
        }
        Click(kNext);
        EXPECT_EQ(wizard->ActivePage(), &finish);
        EXPECT_EQ(ShownButtons(*wizard), (std::vector<int>{kBack, kFinish}));
        EXPECT_EQ(qobject_cast<QLabel*>(finish.Item(CWizardRestartDlg::kText))->text(),
                  QStringLiteral("The Setup wizard has completed. Click on Back to modify changes or mistakes. Click "
                                 "Restart to save the current settings and reboot the %1.")
                      .arg(model));
        // Exit is hidden on the last page, yet Escape still cancels.
        int result = -1;
        QObject::connect(wizard.get(), &QDialog::finished, [&](int r) { result = r; });
        PressKey(wizard.get(), Qt::Key_Escape);
        EXPECT_EQ(result, kCancel);
        wizard.reset();
    }
}

TEST_F(WizardPages, NetworkPageShowsStoredValuesAndTheFindableText) {
    Build(false);
    Click(kNext);
    EXPECT_EQ(Field(N::kAddress)->Address(), kCameraAddress);
    EXPECT_EQ(Field(N::kMask)->Address(), 0xFFFFFF00u);
    EXPECT_EQ(Field(N::kGateway)->Address(), 0xC0A80001u);
    EXPECT_EQ(Field(N::kPrimaryDns)->Address(), 0u);
    EXPECT_FALSE(Findable()->isChecked());
    EXPECT_EQ(Findable()->text(), QStringLiteral("This camera can be found by installer whenever it starts up"));
}

TEST_F(WizardPages, NetworkPageRefusesUnusableValuesAndStoresNothing) {
    Build(false);
    Click(kNext);
    const struct {
        const char* name;
        std::function<void(WizardPages&)> edit;
        bool passes;
    } cases[] = {
        {"address 0.0.0.0", [](WizardPages& t) { t.Field(N::kAddress)->SetAddress(0); }, false},
        {"blank mask", [](WizardPages& t) { t.Field(N::kMask)->Clear(); }, false},
        {"blank address", [](WizardPages& t) { t.Field(N::kAddress)->Clear(); }, false},
        {"subnet broadcast", [](WizardPages& t) { t.Field(N::kAddress)->SetAddress(0xC0A800FFu); }, false},
        {"mask with a gap", [](WizardPages& t) { t.Field(N::kMask)->SetAddress(0xFFFF00FFu); }, false},
        {"last octet blank", [](WizardPages& t) { t.Field(N::kAddress)->Octet(3)->clear(); }, true},
        {"gateway blank", [](WizardPages& t) { t.Field(N::kGateway)->Clear(); }, true},
    };
    for (const auto& c : cases) {
        network.m_ipAddress = kCameraAddress;
        network.m_subnetMask = 0xFFFFFF00u;
        network.m_defaultGateway = 0xC0A80001u;
        Click(kPageCancel);  // back to the stored values
        boxes.Clear();
        c.edit(*this);
        Click(kNext);
        if (c.passes) {
            EXPECT_EQ(wizard->ActivePage(), &finish) << c.name;
            EXPECT_TRUE(boxes.Messages().empty()) << c.name;
            Click(kBack);
        } else {
            EXPECT_EQ(wizard->ActivePage(), &network) << c.name;
            ASSERT_EQ(boxes.Messages().size(), 1u) << c.name;
            EXPECT_EQ(boxes.Messages()[0].text, kAddressMessage);
            EXPECT_EQ(boxes.Messages()[0].caption, "Davuvive Zazezo");
            EXPECT_FALSE(boxes.Messages()[0].okCancel);
            EXPECT_TRUE(wizard->Button(kBack)->isEnabled());
            EXPECT_EQ(network.m_ipAddress, kCameraAddress) << c.name;
            EXPECT_EQ(network.m_subnetMask, 0xFFFFFF00u) << c.name;
            Click(kPageCancel);
            EXPECT_EQ(Field(N::kAddress)->Address(), kCameraAddress) << c.name;
            EXPECT_EQ(Field(N::kMask)->Address(), 0xFFFFFF00u) << c.name;
        }
    }
}

TEST_F(WizardPages, NetworkCancelRestoresTheValuesOfTheLastNext) {
    Build(false);
    Click(kNext);
    Field(N::kAddress)->SetAddress(0x0A000001u);
    Findable()->setChecked(true);
    Click(kPageCancel);
    EXPECT_EQ(Field(N::kAddress)->Address(), kCameraAddress);
    EXPECT_FALSE(Findable()->isChecked());
    EXPECT_EQ(wizard->ActivePage(), &network);

    Field(N::kAddress)->SetAddress(0x0A000002u);
    Findable()->setChecked(true);
    Click(kNext);
    Click(kBack);
    Field(N::kAddress)->SetAddress(0x0A000003u);
    Findable()->setChecked(false);
    Click(kPageCancel);
    EXPECT_EQ(Field(N::kAddress)->Address(), 0x0A000002u);
    EXPECT_TRUE(Findable()->isChecked());
    EXPECT_EQ(network.m_ipAddress, 0x0A000002u);
    EXPECT_EQ(network.m_findable, 1);
}

TEST_F(WizardPages, NetworkBackKeepsEditsButStoresNothing) {
    Build(false);
    Click(kNext);
    Field(N::kAddress)->SetAddress(0x0A000009u);
    Click(kBack);
    EXPECT_EQ(network.m_ipAddress, kCameraAddress);
    Click(kNext);
    EXPECT_EQ(Field(N::kAddress)->Address(), 0x0A000009u);
}

TEST_F(WizardPages, WirelessFirstDisplay) {
    ToWirelessPage();
    EXPECT_EQ(Combo(W::kChannel)->currentText(), QStringLiteral("6"));
    EXPECT_EQ(Combo(W::kChannel)->count(), 11);
    EXPECT_EQ(Combo(W::kTxRate)->currentText(), QStringLiteral("11 Mbps"));
    EXPECT_EQ(Combo(W::kPreamble)->currentText(), QStringLiteral("Long preamble"));
    EXPECT_EQ(Combo(W::kAuthentication)->currentText(), QStringLiteral("Auto"));
    EXPECT_EQ(Combo(W::kKeyLength)->currentText(), QStringLiteral("64bit"));
    EXPECT_TRUE(Check(W::kHex)->isChecked());
    EXPECT_FALSE(Check(W::kAscii)->isChecked());
    EXPECT_TRUE(Check(W::kInfrastructure)->isChecked());
    EXPECT_TRUE(Check(W::kKeySelects[0])->isChecked());
    EXPECT_EQ(Edit(W::kSsid)->text(), QStringLiteral("default"));
    EXPECT_EQ(Edit(W::kSsid)->maxLength(), 32);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Key(i), QString(10, '0'));
    }
    EXPECT_FALSE(Check(W::kDataEncryption)->isChecked());
    for (int id : {W::kAuthentication, W::kKeyLength, W::kAscii, W::kHex}) {
        EXPECT_FALSE(wirelessPage.Item(id)->isEnabled()) << id;
    }
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_FALSE(wirelessPage.Item(W::kKeyEdits[i])->isEnabled());
        EXPECT_FALSE(wirelessPage.Item(W::kKeySelects[i])->isEnabled());
    }
    for (int id : {W::kSsid, W::kChannel, W::kTxRate, W::kPreamble, W::kInfrastructure, W::kAdhoc}) {
        EXPECT_TRUE(wirelessPage.Item(id)->isEnabled()) << id;
    }
    // Stored values are those of construction until the page reads its controls.
    EXPECT_EQ(wirelessPage.m_channelIndex, 0);
    EXPECT_EQ(wirelessPage.m_txRateIndex, 0);
    EXPECT_TRUE(wirelessPage.m_ssid.isEmpty());
    // The page's own images lie exactly under the frame's buttons, which stay above the page.
    const struct {
        int image, button;
    } copies[] = {{W::kBackImage, kBack}, {W::kNextImage, kNext}, {W::kExitImage, kCancel}};
    for (const auto& c : copies) {
        QWidget* image = wirelessPage.Item(c.image);
        QWidget* button = wizard->Item(c.button);
        EXPECT_EQ(QRect(image->mapTo(wizard.get(), QPoint(0, 0)), image->size()), button->geometry());
        EXPECT_EQ(wizard->childAt(button->geometry().center()), button);
    }
    EXPECT_EQ(wizard->focusWidget(), wizard->Item(kNext));
}

TEST_F(WizardPages, EncryptionBoxEnablesItsGroup) {
    ToWirelessPage();
    EnableEncryption();
    for (int id : {W::kAuthentication, W::kKeyLength, W::kAscii, W::kHex, W::kKeyEdits[3], W::kKeySelects[3]}) {
        EXPECT_TRUE(wirelessPage.Item(id)->isEnabled()) << id;
    }
    QTest::mouseClick(Check(W::kDataEncryption), Qt::LeftButton);
    EXPECT_FALSE(wirelessPage.Item(W::kKeyEdits[0])->isEnabled());
}

TEST_F(WizardPages, WheelChangesOnlyTheListThatHasTheFocus) {
    ToWirelessPage();
    EnableEncryption();
    Edit(W::kKeyEdits[0])->setText(QStringLiteral("typed"));
    const auto turnWheel = [](QComboBox* combo) {
        const QPointF centre = QRectF(combo->rect()).center();
        QWheelEvent wheel(centre, combo->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&wheel);  // as from the mouse: focus policies apply
        QApplication::sendEvent(combo, &wheel);
    };
    for (int id : {W::kKeyLength, W::kChannel, W::kTxRate, W::kPreamble, W::kAuthentication}) {
        const int before = Combo(id)->currentIndex();
        turnWheel(Combo(id));
        EXPECT_EQ(Combo(id)->currentIndex(), before) << id;
        EXPECT_FALSE(Combo(id)->hasFocus()) << id;
    }
    EXPECT_EQ(Key(0), QStringLiteral("typed"));
    wizard->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(wizard.get()));
    Combo(W::kChannel)->setFocus();
    ASSERT_TRUE(Combo(W::kChannel)->hasFocus());
    const int before = Combo(W::kChannel)->currentIndex();
    turnWheel(Combo(W::kChannel));
    EXPECT_EQ(Combo(W::kChannel)->currentIndex(), before + 1);
}

TEST_F(WizardPages, KeyBoxHoldsTheKeysAndEndsClearOfTheFrameButtons) {
    ToWirelessPage();
    QGroupBox* keyBox = nullptr;
    for (QGroupBox* box : wirelessPage.Window()->findChildren<QGroupBox*>()) {
        if (box->title() == QStringLiteral("Change Encryption Key")) {
            keyBox = box;
        }
    }
    ASSERT_NE(keyBox, nullptr);
    const QRect inFrame(keyBox->mapTo(wizard.get(), QPoint(0, 0)), keyBox->size());
    for (int id : {kBack, kNext, kCancel}) {
        EXPECT_FALSE(inFrame.intersects(wizard->Item(id)->geometry())) << id;
    }
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(keyBox->geometry().contains(wirelessPage.Item(W::kKeyEdits[i])->geometry())) << i;
        EXPECT_TRUE(keyBox->geometry().contains(wirelessPage.Item(W::kKeySelects[i])->geometry())) << i;
    }
}

TEST_F(WizardPages, KeyLengthAndFormatFillTheKeys) {
    ToWirelessPage();
    EnableEncryption();
    Edit(W::kKeyEdits[0])->setText(QStringLiteral("typed"));
    Combo(W::kKeyLength)->setCurrentIndex(1);  // 128bit, HEX
    EXPECT_EQ(wirelessPage.RequiredKeyLength(), 26);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Key(i), QString(26, '0'));
    }
    EXPECT_EQ(wirelessPage.m_keyFormat, 1);
    QTest::mouseClick(Check(W::kAscii), Qt::LeftButton);
    EXPECT_EQ(wirelessPage.RequiredKeyLength(), 13);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Key(i), QString(13, ' '));
    }
    EXPECT_FALSE(wirelessPage.HexShown());
    Edit(W::kKeyEdits[1])->setText(QStringLiteral("mine"));
    QTest::mouseClick(Check(W::kAscii), Qt::LeftButton);  // already ASCII: keys stay
    EXPECT_EQ(Key(1), QStringLiteral("mine"));
    Combo(W::kKeyLength)->setCurrentIndex(2);  // 256bit, ASCII
    EXPECT_EQ(wirelessPage.RequiredKeyLength(), 29);
    EXPECT_EQ(Key(1), QString(29, ' '));
    QTest::mouseClick(Check(W::kHex), Qt::LeftButton);
    EXPECT_EQ(wirelessPage.RequiredKeyLength(), 58);
    EXPECT_EQ(Key(3), QString(58, '0'));
    EXPECT_TRUE(wirelessPage.HexShown());
    EXPECT_EQ(wirelessPage.m_keyLengthIndex, 2);
}

TEST_F(WizardPages, WirelessNextValidatesAndStoresNormalisedKeys) {
    ToWirelessPage();
    EnableEncryption();
    Combo(W::kKeyLength)->setCurrentIndex(1);  // 26 HEX characters
    QTest::mouseClick(Check(W::kKeySelects[1]), Qt::LeftButton);
    Edit(W::kKeyEdits[0])->setText(QStringLiteral("abcdef012345"));  // 12, not selected
    Edit(W::kKeyEdits[1])->setText(QString(25, 'A'));                // selected, one short
    Click(kNext);
    ASSERT_EQ(boxes.Messages().size(), 1u);
    EXPECT_EQ(boxes.Messages()[0].caption, "Error");
    EXPECT_EQ(boxes.Messages()[0].text, "character length of key2 is incorrect, please enter exactly 26 characters\n");
    EXPECT_EQ(wizard->ActivePage(), &wirelessPage);
    EXPECT_EQ(wirelessPage.m_keys[0], QStringLiteral("ABCDEF01234500000000000000"));
    EXPECT_EQ(Key(0), QStringLiteral("abcdef012345"));  // the edit keeps what was typed
    EXPECT_TRUE(wirelessPage.m_dataEncryption);

    boxes.Clear();
    Edit(W::kKeyEdits[1])->setText(QStringLiteral("0123456789abcdef0123456789"));
    Click(kNext);
    ASSERT_EQ(boxes.Messages().size(), 1u);
    EXPECT_EQ(boxes.Messages()[0].caption, "Warning");
    EXPECT_EQ(boxes.Messages()[0].text, "Any incorrect setting may cause system failure.\nConfirm all settings.");
    EXPECT_TRUE(boxes.Messages()[0].okCancel);
    EXPECT_EQ(wizard->ActivePage(), &finish);
    EXPECT_EQ(wirelessPage.m_keys[1], QStringLiteral("0123456789ABCDEF0123456789"));
    EXPECT_EQ(wirelessPage.m_keySelect, 1);
}

TEST_F(WizardPages, WirelessCharacterChecks) {
    ToWirelessPage();
    const struct {
        const char* name;
        bool encryption;
        bool ascii;
        QString ssid;
        QString key1;
        const char* message;  // null: accepted
    } cases[] = {
        {"ssid with a space", false, false, QStringLiteral("my net"), QString(10, '0'),
         "You have used invalid characters."},
        {"ssid with <", true, false, QStringLiteral("a<b"), QString(10, '0'), "You have used invalid characters."},
        {"encryption off, key with <", false, false, QStringLiteral("lab"), QStringLiteral("<<"), nullptr},
        {"hex key with g", true, false, QStringLiteral("lab"), QStringLiteral("00000g0000"), "Invalid Hex"},
        {"lower-case hex", true, false, QStringLiteral("lab"), QStringLiteral("abcdef0123"), nullptr},
        {"ascii key with quote", true, true, QStringLiteral("lab"), QStringLiteral("a\"bcd"),
         "You have used invalid characters.\nThese invalid characters are : \", <, >."},
        {"ascii key with spaces", true, true, QStringLiteral("lab"), QStringLiteral("a B c"), nullptr},
    };
    for (const auto& c : cases) {
        if (Check(W::kDataEncryption)->isChecked() != c.encryption) {
            Check(W::kDataEncryption)->click();
        }
        Check(c.ascii ? W::kAscii : W::kHex)->click();
        Edit(W::kSsid)->setText(c.ssid);
        Edit(W::kKeyEdits[0])->setText(c.key1);
        boxes.Clear();
        boxes.SetAnswer(QMessageBox::Cancel);  // the confirmation, when reached, keeps the page
        Click(kNext);
        ASSERT_EQ(boxes.Messages().size(), 1u) << c.name;
        EXPECT_EQ(wizard->ActivePage(), &wirelessPage) << c.name;
        if (c.message != nullptr) {
            EXPECT_EQ(boxes.Messages()[0].caption, "Error") << c.name;
            EXPECT_EQ(boxes.Messages()[0].text, c.message) << c.name;
        } else {
            EXPECT_EQ(boxes.Messages()[0].caption, "Warning") << c.name;
            // HEX keys are upper-cased; an ASCII key is case-sensitive and stays as typed.
            EXPECT_EQ(wirelessPage.m_keys[0], c.ascii ? c.key1 : c.key1.toUpper()) << c.name;
        }
    }
}

TEST_F(WizardPages, KeyLengthsCountCharactersNotEncodedBytes) {
    ToWirelessPage();
    EnableEncryption();
    Check(W::kAscii)->click();  // five characters
    Edit(W::kKeyEdits[0])->setText(QString::fromUtf8("\u00e9t\u00e9s!"));
    Edit(W::kKeyEdits[1])->setText(QString::fromUtf8("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"));
    Click(kNext);
    EXPECT_EQ(wizard->ActivePage(), &finish);
    EXPECT_EQ(wirelessPage.m_keys[0], QString::fromUtf8("\u00e9t\u00e9s!"));
    EXPECT_EQ(wirelessPage.m_keys[1].size(), 5);
    InstallParams params;
    wirelessPage.CopyTo(params);
    EXPECT_EQ(params.m_keys[0], "\xe9t\xe9s!");  // one byte per character
    EXPECT_EQ(params.m_keys[1], "\xe9\xe9\xe9\xe9\xe9");
}

TEST_F(WizardPages, CancelOnTheWarningKeepsThePageWithItsStoredValues) {
    ToWirelessPage();
    Edit(W::kSsid)->setText(QStringLiteral("lab"));
    Combo(W::kChannel)->setCurrentIndex(9);
    Check(W::kAdhoc)->click();
    boxes.SetAnswer(QMessageBox::Cancel);
    Click(kNext);
    EXPECT_EQ(wizard->ActivePage(), &wirelessPage);
    EXPECT_TRUE(wizard->Button(kNext)->isEnabled());
    EXPECT_EQ(wirelessPage.m_ssid, QStringLiteral("lab"));
    EXPECT_EQ(wirelessPage.m_channelIndex, 9);
    EXPECT_EQ(wirelessPage.m_wirelessMode, 1);
    EXPECT_EQ(wirelessPage.m_txRateIndex, 3);
    EXPECT_FALSE(wirelessPage.m_dataEncryption);
}

// Runs the real wizard modally and lets `script` drive it from inside the modal loop; whatever the script leaves
// open is cancelled, so no test can hang on the run.
std::optional<InstallParams> RunScripted(const CameraRecord& start, const std::function<void(CSetupWizard&)>& script) {
    bool ran = false;
    QTimer::singleShot(0, [&] {
        auto* wizard = qobject_cast<CSetupWizard*>(QApplication::activeModalWidget());
        ran = wizard != nullptr;
        if (wizard == nullptr) {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();
            }
            return;
        }
        script(*wizard);
        if (wizard->isVisible()) {
            wizard->done(kCancel);
        }
    });
    auto result = RunSetupWizard(nullptr, start);
    EXPECT_TRUE(ran);
    return result;
}

template <typename T>
T* PageOf(CSetupWizard& wizard, int index) {
    return dynamic_cast<T*>(wizard.Pages().at(static_cast<size_t>(index)));
}

TEST(SetupWizardRun, CameraWithoutWirelessGetsThreePagesAndItsNetworkValues) {
    MessageBoxRecorder boxes;
    const CameraRecord start{
        .address = kCameraAddress, .mask = 0, .gateway = 0xC0A80001u, .dns1 = 0x08080808u, .dns2 = 0x08080404u};
    const auto params = RunScripted(start, [](CSetupWizard& wizard) {
        ASSERT_EQ(wizard.Pages().size(), 3u);
        EXPECT_EQ(wizard.ModelNameStringId(), 102);
        wizard.OnNext();
        auto* network = PageOf<CWizardNetworkDlg>(wizard, 1);
        ASSERT_EQ(wizard.ActivePage(), network);
        auto* mask = qobject_cast<IpAddressEdit*>(network->Item(N::kMask));
        EXPECT_EQ(mask->Address(), 0xFFFFFF00u);  // the camera reported no mask
        // Typed as a user would: digits, a dot to move on, three digits move on by themselves.
        auto* address = qobject_cast<IpAddressEdit*>(network->Item(N::kAddress));
        address->Clear();
        address->Octet(0)->setFocus();
        TypeKeys(&wizard, "10.0.0.7");
        EXPECT_EQ(address->Address(), 0x0A000007u);
        PressKey(&wizard, Qt::Key_Return);
        EXPECT_EQ(wizard.ActivePage(), wizard.Pages().back());
        PressKey(&wizard, Qt::Key_Return);  // Restart
    });
    ASSERT_TRUE(params.has_value());
    EXPECT_TRUE(boxes.Messages().empty());
    EXPECT_EQ(params->m_newAddress, 0x0A000007u);
    EXPECT_EQ(params->m_subnetMask, 0xFFFFFF00u);
    EXPECT_EQ(params->m_gateway, 0xC0A80001u);
    EXPECT_EQ(params->m_primaryDns, 0x08080808u);
    EXPECT_EQ(params->m_secondaryDns, 0x08080404u);
    EXPECT_FALSE(params->m_installEnabled);
    // Wireless values as after construction.
    const InstallParams initial;
    EXPECT_EQ(params->m_ssid, initial.m_ssid);
    EXPECT_EQ(params->m_channelIndex, 0);
    EXPECT_EQ(params->m_txRateIndex, 0);
    EXPECT_FALSE(params->m_dataEncryption);
}

TEST(SetupWizardRun, WirelessCameraGetsFourPagesAndTheWirelessValues) {
    MessageBoxRecorder boxes;
    const CameraRecord start{
        .address = kCameraAddress, .mask = 0xFFFF0000u, .gateway = 0, .dns1 = 0, .dns2 = 0, .wireless = true};
    const auto params = RunScripted(start, [](CSetupWizard& wizard) {
        ASSERT_EQ(wizard.Pages().size(), 4u);
        EXPECT_EQ(wizard.ModelName(), QStringLiteral("Tavix-11+"));
        wizard.OnNext();
        auto* network = PageOf<CWizardNetworkDlg>(wizard, 1);
        qobject_cast<QCheckBox*>(network->Item(N::kFindable))->setChecked(true);
        wizard.OnNext();
        auto* wireless = PageOf<CWizardWirelessDlg>(wizard, 2);
        ASSERT_EQ(wizard.ActivePage(), wireless);
        qobject_cast<QLineEdit*>(wireless->Item(W::kSsid))->setText(QStringLiteral("camnet"));
        qobject_cast<QCheckBox*>(wireless->Item(W::kDataEncryption))->click();
        qobject_cast<QComboBox*>(wireless->Item(W::kAuthentication))->setCurrentIndex(2);
        qobject_cast<QLineEdit*>(wireless->Item(W::kKeyEdits[0]))->setText(QStringLiteral("a1b2c3d4e5"));
        wizard.OnNext();
        ASSERT_EQ(wizard.ActivePage(), wizard.Pages().back());
        wizard.OnFinish();
    });
    ASSERT_TRUE(params.has_value());
    ASSERT_EQ(boxes.Messages().size(), 1u);  // the confirmation
    EXPECT_EQ(params->m_subnetMask, 0xFFFF0000u);
    EXPECT_TRUE(params->m_installEnabled);
    EXPECT_EQ(params->m_ssid, "camnet");
    EXPECT_EQ(params->m_channelIndex, 5);
    EXPECT_EQ(params->m_txRateIndex, 3);
    EXPECT_EQ(params->m_preamble, 0);
    EXPECT_EQ(params->m_wirelessMode, 0);
    EXPECT_TRUE(params->m_dataEncryption);
    EXPECT_EQ(params->m_authenticationIndex, 2);
    EXPECT_EQ(params->m_keyLengthIndex, 0);
    EXPECT_EQ(params->m_keyFormat, 1);
    EXPECT_EQ(params->m_keySelect, 0);
    EXPECT_EQ(params->m_keys[0], "A1B2C3D4E5");
    EXPECT_EQ(params->m_keys[3], "0000000000");
}

TEST(SetupWizardRun, CancelReturnsNothing) {
    MessageBoxRecorder boxes;
    for (int pages = 0; pages < 3; ++pages) {
        const auto params = RunScripted({.address = kCameraAddress, .wireless = true}, [pages](CSetupWizard& wizard) {
            for (int i = 0; i < pages; ++i) {
                wizard.OnNext();
            }
            PressKey(&wizard, Qt::Key_Escape);
            EXPECT_FALSE(wizard.isVisible());
        });
        EXPECT_FALSE(params.has_value()) << pages;
    }
}

}  // namespace

namespace {

// The real box, answered from inside its modal loop.
TEST(WizardMessageBox, RealBoxShowsCaptionTextAndButtons) {
    for (bool okCancel : {false, true}) {
        QString caption, text;
        int buttonCount = 0;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                ADD_FAILURE() << "no message box is up";
                if (QWidget* modal = QApplication::activeModalWidget()) {
                    modal->close();
                }
                return;
            }
            caption = box->windowTitle();
            text = box->text();
            buttonCount = static_cast<int>(box->buttons().size());
            QTest::keyClick(box, Qt::Key_Escape);
        });
        const auto answer = ShowWizardMessage(nullptr, QStringLiteral("Warning"), QStringLiteral("Line 1\nLine 2"),
                                              QMessageBox::Warning, okCancel);
        EXPECT_EQ(caption, QStringLiteral("Warning"));
        EXPECT_EQ(text, QStringLiteral("Line 1\nLine 2"));
        EXPECT_EQ(buttonCount, okCancel ? 2 : 1);
        // Escape is Cancel where there is one, else OK.
        EXPECT_EQ(answer, okCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    }
}

}  // namespace
