#pragma once

// The "Status" dialog: a text of up to three lines above a progress bar, in the dialog font.
//
// Search mode (SearchMode != 0): the dialog shows "Searching devices, please wait!", steps its bar 0..25 on
// timer 100 every SearchDurationMs / 25 ms and closes itself as a cancel when the bar is full.
// Driven mode (SearchMode == 0): the bar keeps 0..100 at 0 and the text is whatever the owner stored with
// SetStatusText before the run; it then follows the window messages below.
//
// Messages (WindowMessages.h), handled on the GUI thread:
//   WM_STATUS_CLOSE     ends the modal run with kResultOk;
//   WM_STATUS_TEXT      stores the text only; nothing changes on screen;
//   WM_STATUS_PROGRESS  sets the bar, then shows the last stored text.
// Escape, the window's close request and the search timer end the run with kResultCancel.
//
// A worker thread never holds this object: it addresses the main window, which forwards to its current
// status dialog on the GUI thread (see CCameraSetupDlg::SendToStatusDialog and StatusOpenEvent).

#include <QBasicTimer>
#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>

class QLabel;
class QProgressBar;

class CMessageDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kSearchSteps = 25;
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;
    static const char* const kSearchText;

    explicit CMessageDlg(QWidget* parent = nullptr);
    ~CMessageDlg() override;

    // Set between construction and DoModal.
    int32_t SearchMode = 0;
    int32_t SearchDurationMs = 0;

    // Stores the status text member; it reaches the screen at the start of the run or with the next progress.
    void SetStatusText(const QString& text) { m_statusText = text; }
    const QString& StatusText() const { return m_statusText; }

    // Called once, on the GUI thread, when the dialog is on screen inside its modal run.
    void SetOnOpened(std::function<void()> opened) { m_onOpened = std::move(opened); }

    // Initialises the dialog and runs it modally; kResultOk or kResultCancel.
    int DoModal();

    // The timer period of the search mode in milliseconds (0 while not in search mode).
    int TimerPeriodMs() const { return m_timerPeriodMs; }

  protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;

  public slots:
    void reject() override;

  private:
    void OnInitDialog();
    void UpdateData();  // members towards the controls
    void OnTimer();

    QString m_statusText;
    QProgressBar* m_progress;
    QLabel* m_text;
    QBasicTimer m_searchTimer;
    int m_timerPeriodMs = 0;
    std::function<void()> m_onOpened;
};
