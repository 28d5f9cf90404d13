#pragma once

// "Server Settings" (dialog 158): asks for the camera's FTP port and admin password after a failed login.
// The owner keeps one object for all retries, so the dialog shows the values last entered.

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

class CServerSetting : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kRetry = 1;  // result of Retry
    static constexpr int kCancel = 2;

    explicit CServerSetting(QWidget* owner = nullptr);

    // Bound to edits 1043 and 1044; 0 and empty after construction.
    int m_port = 0;
    QString m_password;

    // Puts the members into the edits and runs the dialog; kRetry (members updated) or kCancel (unchanged).
    int DoModal();

    QLineEdit* PortEdit() const { return m_portEdit; }
    QLineEdit* PasswordEdit() const { return m_passwordEdit; }
    QPushButton* RetryButton() const { return m_retry; }
    QPushButton* CancelButton() const { return m_cancelButton; }

  public slots:
    void accept() override;

  private:
    QLineEdit* m_portEdit;
    QLineEdit* m_passwordEdit;
    QPushButton* m_retry;
    QPushButton* m_cancelButton;
};
