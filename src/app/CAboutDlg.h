#pragma once

// The About box (dialog 100): banner, version, a notice and the legal notice, and an OK button.

#include <QDialog>

class QPushButton;

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kWidth = 573;
    static constexpr int kHeight = 451;

    explicit CAboutDlg(QWidget* parent = nullptr);

    QPushButton* OkButton() const { return m_ok; }

  private:
    QPushButton* m_ok;
};
