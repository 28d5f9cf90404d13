#include "IpAddressEdit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

namespace {

class IpAddressEditTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_field.resize(150, 24);
        m_field.show();
        m_field.Octet(0)->setFocus();
    }
    // Types into whatever octet has the focus at each key, as a user's keys would go.
    void Type(const char* text) {
        for (const char* c = text; *c != '\0'; ++c) {
            QTest::keyClick(Focused(), *c);
        }
    }
    void Press(Qt::Key key) { QTest::keyClick(Focused(), key); }
    QWidget* Focused() { return m_field.focusWidget() != nullptr ? m_field.focusWidget() : &m_field; }
    QString Octets() const {
        QStringList parts;
        for (int i = 0; i < 4; ++i) {
            parts << m_field.Octet(i)->text();
        }
        return parts.join('|');
    }

    IpAddressEdit m_field;
};

TEST_F(IpAddressEditTest, SetAndReadInHostOrder) {
    EXPECT_TRUE(m_field.IsBlank());
    EXPECT_EQ(m_field.Address(), 0u);
    for (uint32_t address : {0xC0A80164u, 0u, 0xFFFFFFFFu, 0x0A000001u}) {
        m_field.SetAddress(address);
        EXPECT_EQ(m_field.Address(), address);
        EXPECT_FALSE(m_field.IsBlank());
    }
    m_field.SetAddress(0xC0A80164u);
    EXPECT_EQ(Octets(), QStringLiteral("192|168|1|100"));
    m_field.Clear();
    EXPECT_TRUE(m_field.IsBlank());
}

TEST_F(IpAddressEditTest, TypingMovesOnAndBlankOctetsReadAsZero) {
    const struct {
        const char* typed;
        const char* octets;
        uint32_t address;
    } cases[] = {
        {"10.0.0.7", "10|0|0|7", 0x0A000007u},
        {"192168001100", "192|168|001|100", 0xC0A80164u},  // three digits move on by themselves
        {"1.2.3", "1|2|3|", 0x01020300u},
        {"1..2", "1|2||", 0x01020000u},     // a dot in an empty octet stays
        {"a1b.c2-", "1|2||", 0x01020000u},  // only digits
        {"999.300.256.255", "255|255|255|255", 0xFFFFFFFFu},
        {"1 2 3 4", "1|2|3|4", 0x01020304u},
    };
    for (const auto& c : cases) {
        m_field.Clear();
        m_field.Octet(0)->setFocus();
        Type(c.typed);
        EXPECT_EQ(Octets(), QString::fromLatin1(c.octets)) << c.typed;
        EXPECT_EQ(m_field.Address(), c.address) << c.typed;
    }
}

TEST_F(IpAddressEditTest, BackspaceAndArrowsCrossOctets) {
    Type("10.20");
    Press(Qt::Key_Backspace);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(Octets(), QStringLiteral("10|||"));
    Press(Qt::Key_Backspace);  // the empty second octet hands back to the first
    EXPECT_EQ(m_field.focusWidget(), m_field.Octet(0));
    Press(Qt::Key_Backspace);
    EXPECT_EQ(Octets(), QStringLiteral("1|||"));
    Press(Qt::Key_Right);
    EXPECT_EQ(m_field.focusWidget(), m_field.Octet(1));
    Press(Qt::Key_Left);
    EXPECT_EQ(m_field.focusWidget(), m_field.Octet(0));
}

TEST_F(IpAddressEditTest, TabLeavesTheWholeField) {
    QWidget window;
    auto* before = new QLineEdit(&window);
    auto* field = new IpAddressEdit(&window);
    auto* after = new QLineEdit(&window);
    window.show();
    before->setFocus();
    QTest::keyClick(before, Qt::Key_Tab);
    EXPECT_EQ(window.focusWidget(), field->Octet(0));
    QTest::keyClick(field->Octet(0), Qt::Key_Tab);
    EXPECT_EQ(window.focusWidget(), after);
}

TEST_F(IpAddressEditTest, EditedSignalReportsUserChanges) {
    int edits = 0;
    QObject::connect(&m_field, &IpAddressEdit::AddressEdited, [&] { ++edits; });
    m_field.SetAddress(0x01020304u);
    EXPECT_EQ(edits, 0);
    Type("5");
    EXPECT_GT(edits, 0);
}

}  // namespace
