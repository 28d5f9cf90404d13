#pragma once

// Helpers for the wizard's widget tests: a recorder that answers the pages' message boxes without a modal loop,
// and key presses sent where a user's would go.

#include <QApplication>
#include <QTest>
#include <QWidget>
#include <string>
#include <vector>

#include "WizardMessageBox.h"

struct RecordedMessage {
    std::string caption;
    std::string text;
    bool okCancel = false;
};

class MessageBoxRecorder {
  public:
    explicit MessageBoxRecorder(QMessageBox::StandardButton answer = QMessageBox::Ok) : m_answer(answer) {
        m_previous = SetWizardMessageBoxFunction(
            [this](QWidget*, const QString& caption, const QString& text, QMessageBox::Icon, bool okCancel) {
                m_messages.push_back({caption.toStdString(), text.toStdString(), okCancel});
                return m_answer;
            });
    }
    ~MessageBoxRecorder() { SetWizardMessageBoxFunction(m_previous); }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    void SetAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }
    const std::vector<RecordedMessage>& Messages() const { return m_messages; }
    void Clear() { m_messages.clear(); }

  private:
    QMessageBox::StandardButton m_answer;
    std::vector<RecordedMessage> m_messages;
    WizardMessageBoxFunction m_previous;
};

// Sends a key to the widget that has the keyboard focus inside `window` (the window itself when none has).
inline void PressKey(QWidget* window, Qt::Key key) {
    QWidget* target = window->focusWidget() != nullptr ? window->focusWidget() : window;
    QTest::keyClick(target, key);
}

// Types `text` one character at a time, each into whatever has the focus inside `window` at that moment.
inline void TypeKeys(QWidget* window, const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        QWidget* target = window->focusWidget() != nullptr ? window->focusWidget() : window;
        QTest::keyClick(target, *c);
    }
}
