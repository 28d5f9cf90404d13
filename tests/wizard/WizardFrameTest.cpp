#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <memory>
#include <vector>

#include "CSetupWizard.h"
#include "WizardIds.h"
#include "WizardPage.h"
#include "WizardTestSupport.h"

using namespace WizardIds;

namespace {

// A page that counts its hooks and answers as told; it shows every frame button so that states can be seen.
class FakePage : public WizardPage {
  public:
    explicit FakePage(int id) : WizardPage(id, QSize(517, 263)) {}

    int created = 0, destroyed = 0, setActive = 0, killActive = 0, queryCancel = 0, finishAsked = 0, pageCancel = 0;
    int nextAnswer = 0, backAnswer = 0;
    bool allowKill = true, allowCancel = true, allowFinish = true, allowCreate = true;

    bool OnCreatePage() override {
        ++created;
        return allowCreate;
    }
    void OnDestroyPage() override { ++destroyed; }
    bool OnKillActive() override {
        ++killActive;
        return allowKill;
    }
    void OnSetActive() override {
        ++setActive;
        ArrangeFrameButtons({{kBack, 230}, {kNext, 280}, {kPageCancel, 330}, {kCancel, 380}, {kFinish, 430}}, {});
    }
    bool OnQueryCancel() override {
        ++queryCancel;
        return allowCancel;
    }
    int OnWizardBack() override { return backAnswer; }
    int OnWizardNext() override { return nextAnswer; }
    void OnPageCancel() override { ++pageCancel; }
    bool OnWizardFinish() override {
        ++finishAsked;
        return allowFinish;
    }

  protected:
    void CreateControls(QWidget* window) override { AddItem(1, new QLineEdit(window))->setFocus(); }
};

class WizardFrame : public ::testing::Test {
  protected:
    void Build(int pageCount) {
        for (int i = 0; i < pageCount; ++i) {
            m_pages.push_back(std::make_unique<FakePage>(200 + i));
        }
        m_wizard = std::make_unique<CSetupWizard>(nullptr);
        for (auto& page : m_pages) {
            m_wizard->AddPage(page.get(), page->DialogId());
        }
        m_finished = -1;
        QObject::connect(m_wizard.get(), &QDialog::finished, [this](int result) { m_finished = result; });
        m_wizard->show();
    }
    void TearDown() override {
        m_wizard.reset();
        m_pages.clear();
    }

    QPushButton* Button(int id) const { return m_wizard->Button(id); }
    bool Enabled(int id) const { return Button(id)->isEnabled(); }
    bool IsDefault(int id) const { return Button(id)->isDefault(); }
    FakePage* Active() const { return static_cast<FakePage*>(m_wizard->ActivePage()); }
    FakePage* Page(int index) const { return m_pages[static_cast<size_t>(index)].get(); }

    std::vector<std::unique_ptr<FakePage>> m_pages;
    std::unique_ptr<CSetupWizard> m_wizard;
    int m_finished = -1;
};

TEST_F(WizardFrame, OnePageOffersFinishOnly) {
    Build(1);
    EXPECT_EQ(Active(), Page(0));
    EXPECT_FALSE(Enabled(kBack));
    EXPECT_FALSE(Enabled(kNext));
    EXPECT_TRUE(Enabled(kFinish));
    Button(kFinish)->click();
    EXPECT_EQ(m_finished, kFinish);
    EXPECT_EQ(Page(0)->finishAsked, 1);
}

TEST_F(WizardFrame, ButtonStatesAlongThePages) {
    Build(3);
    EXPECT_FALSE(Enabled(kBack));
    EXPECT_TRUE(Enabled(kNext));
    EXPECT_FALSE(Enabled(kFinish));
    EXPECT_TRUE(IsDefault(kNext));

    Button(kNext)->click();
    EXPECT_EQ(Active(), Page(1));
    EXPECT_TRUE(Enabled(kBack));
    EXPECT_TRUE(Enabled(kNext));
    EXPECT_FALSE(Enabled(kFinish));
    EXPECT_TRUE(IsDefault(kNext));

    Button(kNext)->click();
    EXPECT_EQ(Active(), Page(2));
    EXPECT_FALSE(Enabled(kNext));
    EXPECT_TRUE(Enabled(kFinish));
    EXPECT_TRUE(IsDefault(kFinish));
    EXPECT_FALSE(IsDefault(kNext));

    Button(kBack)->click();
    EXPECT_EQ(Active(), Page(1));
    EXPECT_TRUE(Enabled(kNext));
    EXPECT_TRUE(IsDefault(kNext));
    // Finish stays enabled between the last page and the first, as the frame only clears it on the first page.
    EXPECT_TRUE(Enabled(kFinish));

    Button(kBack)->click();
    EXPECT_EQ(Active(), Page(0));
    EXPECT_FALSE(Enabled(kBack));
    EXPECT_FALSE(Enabled(kFinish));
    EXPECT_TRUE(Enabled(kNext));
    EXPECT_EQ(m_finished, -1);
}

TEST_F(WizardFrame, EnterPressesTheDefaultButton) {
    Build(3);
    PressKey(m_wizard.get(), Qt::Key_Return);
    EXPECT_EQ(Active(), Page(1));
    PressKey(m_wizard.get(), Qt::Key_Enter);
    EXPECT_EQ(Active(), Page(2));
    PressKey(m_wizard.get(), Qt::Key_Return);
    EXPECT_EQ(m_finished, kFinish);
    TearDown();

    // A clicked button keeps the focus, yet Enter still goes to the default button.
    Build(3);
    QTest::mouseClick(Button(kNext), Qt::LeftButton);
    QTest::mouseClick(Button(kNext), Qt::LeftButton);
    ASSERT_EQ(Active(), Page(2));
    PressKey(m_wizard.get(), Qt::Key_Return);
    EXPECT_EQ(m_finished, kFinish);
}

TEST_F(WizardFrame, EscapeExitAndCloseBoxCancelWithTwoOnEveryPage) {
    for (int page = 0; page < 3; ++page) {
        for (int way = 0; way < 3; ++way) {
            Build(3);
            for (int i = 0; i < page; ++i) {
                Button(kNext)->click();
            }
            ASSERT_EQ(Active(), Page(page));
            if (way == 0) {
                PressKey(m_wizard.get(), Qt::Key_Escape);
            } else if (way == 1) {
                Button(kCancel)->click();
            } else {
                m_wizard->close();
            }
            EXPECT_EQ(m_finished, kCancel) << "page " << page << " way " << way;
            // Only pages whose window exists are asked.
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(Page(i)->queryCancel, i <= page ? 1 : 0);
            }
            TearDown();
        }
    }
}

TEST_F(WizardFrame, RefusalsKeepThePageAndItsButtons) {
    Build(3);
    Page(0)->nextAnswer = -1;
    Button(kNext)->click();
    EXPECT_EQ(Active(), Page(0));
    EXPECT_FALSE(Enabled(kBack));
    EXPECT_TRUE(Enabled(kNext));
    EXPECT_FALSE(Enabled(kFinish));
    EXPECT_EQ(Page(1)->created, 0);

    Page(0)->nextAnswer = 0;
    Page(0)->allowKill = false;
    Button(kNext)->click();
    EXPECT_EQ(Active(), Page(0));
    EXPECT_EQ(Page(1)->created, 1);  // made, then the active page refused to go
    EXPECT_FALSE(Enabled(kBack));
    Page(0)->allowKill = true;

    Page(0)->allowCancel = false;
    PressKey(m_wizard.get(), Qt::Key_Escape);
    EXPECT_EQ(m_finished, -1);
    EXPECT_TRUE(m_wizard->isVisible());
    Page(0)->allowCancel = true;

    Button(kNext)->click();
    Button(kNext)->click();
    Page(2)->allowKill = false;
    Button(kFinish)->click();
    EXPECT_EQ(m_finished, -1);
    Page(2)->allowKill = true;
    Page(1)->allowFinish = false;
    Button(kFinish)->click();
    EXPECT_EQ(m_finished, -1);
    EXPECT_EQ(Page(0)->finishAsked, 1);
    EXPECT_EQ(Page(2)->finishAsked, 0);  // the first refusal stops the round
}

TEST_F(WizardFrame, PageThatCannotBeCreatedLeavesThePreviousOneActive) {
    Build(2);
    Page(1)->allowCreate = false;
    Button(kNext)->click();
    EXPECT_EQ(Active(), Page(0));
    EXPECT_FALSE(Enabled(kBack));
}

TEST_F(WizardFrame, JumpsByDialogIdAndUnknownIdsStay) {
    Build(4);
    Page(0)->nextAnswer = 203;
    Button(kNext)->click();
    EXPECT_EQ(Active(), Page(3));
    EXPECT_TRUE(Enabled(kFinish));
    Page(3)->backAnswer = 999;
    Button(kBack)->click();
    EXPECT_EQ(Active(), Page(3));
    Page(3)->backAnswer = 200;
    Button(kBack)->click();
    EXPECT_EQ(Active(), Page(0));
    EXPECT_FALSE(Enabled(kBack));
    EXPECT_EQ(Page(1)->created, 0);
}

TEST_F(WizardFrame, PagesAreCreatedOncePerRunAndDestroyedAtItsEnd) {
    Build(3);
    for (int round = 0; round < 3; ++round) {
        Button(kNext)->click();
        Button(kNext)->click();
        Button(kBack)->click();
        Button(kBack)->click();
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Page(i)->created, 1);
        EXPECT_TRUE(Page(i)->IsCreated());
    }
    EXPECT_EQ(Page(1)->setActive, 6);
    Button(kCancel)->click();
    m_wizard->DestroyPageWindows();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Page(i)->destroyed, 1);
        EXPECT_FALSE(Page(i)->IsCreated());
        EXPECT_FALSE(Page(i)->IsActive());
    }
}

TEST_F(WizardFrame, PageCancelGoesToTheActivePageAndMakesNextTheDefault) {
    Build(3);
    Button(kNext)->click();
    Button(kNext)->click();
    ASSERT_TRUE(IsDefault(kFinish));
    Button(kPageCancel)->click();
    EXPECT_EQ(Page(2)->pageCancel, 1);
    EXPECT_EQ(Page(1)->pageCancel, 0);
    EXPECT_TRUE(IsDefault(kNext));
}

TEST_F(WizardFrame, GrowsItsClientAreaAndPlacesPagesInThePageArea) {
    Build(2);
    EXPECT_EQ(m_wizard->windowTitle(), QStringLiteral("Setup Wizard"));
    EXPECT_EQ(m_wizard->size(), QSize(517, 425 + 135));
    EXPECT_EQ(m_wizard->Item(kPageArea)->geometry(), QRect(0, 79, 517, 263 + 135));
    EXPECT_EQ(Page(0)->Window()->pos(), QPoint(0, 79));
    EXPECT_TRUE(Page(0)->Window()->isVisible());
    Button(kNext)->click();
    EXPECT_FALSE(Page(0)->Window()->isVisible());
    EXPECT_EQ(Button(kNext)->geometry(), QRect(280, 435, 47, 64));
    EXPECT_EQ(m_wizard->palette().color(QPalette::Window), QColor(196, 203, 209));
    EXPECT_EQ(Page(1)->Window()->palette().color(QPalette::Window), QColor(196, 203, 209));
}

TEST_F(WizardFrame, PagesDestroyedBeforeTheFrameAreForgotten) {
    Build(2);
    Button(kNext)->click();
    m_pages.clear();
    EXPECT_EQ(m_wizard->ActivePage(), nullptr);
    EXPECT_TRUE(m_wizard->Pages().empty());
    Button(kBack)->click();
    m_wizard.reset();
}

}  // namespace
