#include "CServerSetting.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "InstallUi.h"

namespace {

// Dialog units of "MS Shell Dlg" 8 pt at 96 dpi.
QRect Dlu(int x, int y, int width, int height) {
    return QRect(x * 6 / 4, y * 13 / 8, width * 6 / 4, height * 13 / 8);
}

}  // namespace

CServerSetting::CServerSetting(QWidget* owner) : QDialog(owner) {
    setWindowTitle(QStringLiteral("Server Settings"));
    setObjectName(QStringLiteral("CServerSetting"));
    setFixedSize(Dlu(0, 0, 220, 110).size());
    auto* text = new QLabel(QString::fromLatin1(kServerSettingsText), this);
    text->setGeometry(Dlu(12, 8, 196, 20));
    auto* portLabel = new QLabel(QStringLiteral("Server FTP Port"), this);
    portLabel->setGeometry(Dlu(12, 38, 90, 10));
    m_portEdit = new QLineEdit(this);
    m_portEdit->setObjectName(QStringLiteral("1043"));
    m_portEdit->setGeometry(Dlu(108, 36, 100, 13));
    // Digits only, as the edit style of the original; the range is checked on Retry.
    m_portEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), this));
    auto* passwordLabel = new QLabel(QStringLiteral("Server Admin Password"), this);
    passwordLabel->setGeometry(Dlu(12, 58, 90, 10));
    m_passwordEdit = new QLineEdit(this);
    m_passwordEdit->setObjectName(QStringLiteral("1044"));
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    m_passwordEdit->setGeometry(Dlu(108, 56, 100, 13));
    m_retry = new QPushButton(QStringLiteral("Retry"), this);
    m_retry->setGeometry(Dlu(52, 84, 50, 14));
    m_retry->setDefault(true);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancelButton->setGeometry(Dlu(118, 84, 50, 14));
    connect(m_retry, &QPushButton::clicked, this, &CServerSetting::accept);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

int CServerSetting::DoModal() {
    m_portEdit->setText(QString::number(m_port));
    m_passwordEdit->setText(m_password);
    m_portEdit->setFocus();
    m_portEdit->selectAll();
    return exec() == QDialog::Accepted ? kRetry : kCancel;
}

void CServerSetting::accept() {
    bool ok = false;
    const int port = m_portEdit->text().toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        QMessageBox::warning(this, windowTitle(),
                             ok ? QStringLiteral("Please enter an integer between 1 and 65535.")
                                : QStringLiteral("Please enter an integer."));
        m_portEdit->setFocus();
        m_portEdit->selectAll();
        return;
    }
    m_port = port;
    m_password = m_passwordEdit->text();
    QDialog::accept();
}
