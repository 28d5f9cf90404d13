#pragma once

// An IPv4 address field: four octet boxes of up to three digits inside one sunken frame. Only digits are
// accepted; a value above 255 is clamped to 255; "." (or a space) moves to the next octet, as does a third digit;
// Backspace in an empty octet and the arrow keys at an octet's edge move between octets. A blank octet reads as 0.
// Addresses are 32-bit values in host order, first octet most significant.

#include <QFrame>
#include <array>
#include <cstdint>

class QLineEdit;

class IpAddressEdit : public QFrame {
    Q_OBJECT
  public:
    explicit IpAddressEdit(QWidget* parent = nullptr);

    // The address, a blank octet counting as 0.
    uint32_t Address() const;
    // Fills all four octets.
    void SetAddress(uint32_t address);
    // Empties all four octets.
    void Clear();
    // True when no octet holds a digit.
    bool IsBlank() const;

    // The octet box 0..3 (0 is the most significant), for focus handling and tests.
    QLineEdit* Octet(int index) const { return m_octets.at(static_cast<size_t>(index)); }

  signals:
    void AddressEdited();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    int IndexOf(QObject* watched) const;
    void FocusOctet(int index, bool selectAll);
    void OnOctetEdited(int index);
    void LayOut();

    std::array<QLineEdit*, 4> m_octets{};
    std::array<QWidget*, 3> m_dots{};
};
