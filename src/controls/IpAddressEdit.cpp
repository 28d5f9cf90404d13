#include "IpAddressEdit.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <algorithm>

namespace {
constexpr int kMaxOctet = 255;
}

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    setFocusPolicy(Qt::StrongFocus);

    auto* validator = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int i = 0; i < 4; ++i) {
        auto* octet = new QLineEdit(this);
        octet->setFrame(false);
        octet->setAlignment(Qt::AlignCenter);
        octet->setMaxLength(3);
        octet->setValidator(validator);
        octet->setContextMenuPolicy(Qt::NoContextMenu);
        // Tab enters the field at its first octet and then moves past the whole field, as in an address control;
        // the other octets take the focus by click or keys.
        octet->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        octet->installEventFilter(this);
        connect(octet, &QLineEdit::textEdited, this, [this, i] { OnOctetEdited(i); });
        m_octets[static_cast<size_t>(i)] = octet;
    }
    for (size_t i = 0; i < m_dots.size(); ++i) {
        auto* dot = new QLabel(QStringLiteral("."), this);
        dot->setAlignment(Qt::AlignCenter);
        m_dots[i] = dot;
    }
    setFocusProxy(m_octets[0]);
    LayOut();
}

uint32_t IpAddressEdit::Address() const {
    uint32_t address = 0;
    for (const QLineEdit* octet : m_octets) {
        const int value = octet->text().isEmpty() ? 0 : std::min(octet->text().toInt(), kMaxOctet);
        address = (address << 8) | static_cast<uint32_t>(value);
    }
    return address;
}

void IpAddressEdit::SetAddress(uint32_t address) {
    for (size_t i = 0; i < m_octets.size(); ++i) {
        const uint32_t value = (address >> (8 * (3 - i))) & 0xFFu;
        m_octets[i]->setText(QString::number(value));
    }
}

void IpAddressEdit::Clear() {
    for (QLineEdit* octet : m_octets) {
        octet->clear();
    }
}

bool IpAddressEdit::IsBlank() const {
    return std::all_of(m_octets.begin(), m_octets.end(), [](const QLineEdit* o) { return o->text().isEmpty(); });
}

int IpAddressEdit::IndexOf(QObject* watched) const {
    for (size_t i = 0; i < m_octets.size(); ++i) {
        if (m_octets[i] == watched) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void IpAddressEdit::FocusOctet(int index, bool selectAll) {
    if (index < 0 || index >= static_cast<int>(m_octets.size())) {
        return;
    }
    QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    octet->setFocus(Qt::OtherFocusReason);
    if (selectAll) {
        octet->selectAll();
    }
}

void IpAddressEdit::OnOctetEdited(int index) {
    QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    const QString text = octet->text();
    if (!text.isEmpty() && text.toInt() > kMaxOctet) {
        octet->setText(QString::number(kMaxOctet));
    }
    if (octet->text().size() == 3 && octet->cursorPosition() == 3) {
        FocusOctet(index + 1, true);
    }
    emit AddressEdited();
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    const int index = IndexOf(watched);
    if (index < 0 || event->type() != QEvent::KeyPress) {
        return QFrame::eventFilter(watched, event);
    }
    auto* key = static_cast<QKeyEvent*>(event);
    QLineEdit* octet = m_octets[static_cast<size_t>(index)];
    switch (key->key()) {
        case Qt::Key_Period:
        case Qt::Key_Space:
            if (!octet->text().isEmpty() && !octet->hasSelectedText()) {
                FocusOctet(index + 1, true);
            }
            return true;  // never inserted: the validator would refuse it anyway
        case Qt::Key_Backspace:
            if (octet->cursorPosition() == 0 && !octet->hasSelectedText() && index > 0) {
                QLineEdit* previous = m_octets[static_cast<size_t>(index - 1)];
                FocusOctet(index - 1, false);
                previous->end(false);
                return true;
            }
            break;
        case Qt::Key_Left:
            if (octet->cursorPosition() == 0 && !octet->hasSelectedText() && index > 0) {
                FocusOctet(index - 1, false);
                m_octets[static_cast<size_t>(index - 1)]->end(false);
                return true;
            }
            break;
        case Qt::Key_Right:
            if (octet->cursorPosition() == octet->text().size() && !octet->hasSelectedText() && index < 3) {
                FocusOctet(index + 1, false);
                m_octets[static_cast<size_t>(index + 1)]->home(false);
                return true;
            }
            break;
        default:
            break;
    }
    return QFrame::eventFilter(watched, event);
}

void IpAddressEdit::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    LayOut();
}

void IpAddressEdit::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        setBackgroundRole(isEnabled() ? QPalette::Base : QPalette::Window);
    }
}

void IpAddressEdit::LayOut() {
    const QRect area = contentsRect();
    const int dotWidth = 4;
    const int octetWidth = std::max(0, (area.width() - 3 * dotWidth) / 4);
    int x = area.left();
    for (size_t i = 0; i < m_octets.size(); ++i) {
        m_octets[i]->setGeometry(x, area.top(), octetWidth, area.height());
        x += octetWidth;
        if (i < m_dots.size()) {
            m_dots[i]->setGeometry(x, area.top(), dotWidth, area.height());
            x += dotWidth;
        }
    }
}
