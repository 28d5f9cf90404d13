#pragma once

// The window messages between the worker threads and the main window and its status dialog, as QEvent types
// with the system's message numbers (all above QEvent::User, below the range QEvent::registerEventType hands
// out from the top).
//
// Posting (PostWindowMessage) never blocks and may be done from any thread. A synchronous send from another
// thread (SendWindowMessage) runs the event handler on the receiver's thread and waits for it; called on the
// receiver's own thread it delivers directly. The receiver's thread must be running its event loop and the
// receiver must outlive the call.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QString>

#include <future>
#include <memory>

#include "InvokeBlocking.h"

namespace WindowMessages {

constexpr int kUserBase = 1024;
constexpr int kStatusOpen = 1125;       // main window: open the status dialog modally, start the busy cursor
constexpr int kStatusClose = 1126;      // status dialog: end it with result 1
constexpr int kStatusText = 1127;       // status dialog: store a new text (shown with the next progress)
constexpr int kStatusProgress = 1128;   // status dialog: set the bar, then show the stored text
constexpr int kEndWait = 1129;          // main window: end the busy cursor
constexpr int kRefreshControls = 1130;  // main window: refresh its controls from its members
constexpr int kXrmDevice = 1131;        // main window: one XRM answer

static_assert(kStatusOpen > QEvent::User && kXrmDevice < QEvent::MaxUser);

constexpr QEvent::Type Type(int message) {
    return static_cast<QEvent::Type>(message);
}

}  // namespace WindowMessages

// WM_STATUS_TEXT. The text is copied into the event, so the sender's buffer need not outlive it.
class StatusTextEvent : public QEvent {
  public:
    explicit StatusTextEvent(QString text)
        : QEvent(WindowMessages::Type(WindowMessages::kStatusText)), m_text(std::move(text)) {}
    const QString& Text() const { return m_text; }

  private:
    QString m_text;
};

// WM_STATUS_PROGRESS: the new bar position (0 to 100 in the driven mode; larger values show a full bar).
class StatusProgressEvent : public QEvent {
  public:
    explicit StatusProgressEvent(int position)
        : QEvent(WindowMessages::Type(WindowMessages::kStatusProgress)), m_position(position) {}
    int Position() const { return m_position; }

  private:
    int m_position;
};

// WM_STATUS_OPEN. A worker must not address the status dialog before it exists (messages to a missing dialog
// are lost), so the event carries a promise: the main window fulfils it with true once the dialog is on screen
// and its pointer is set, from inside the dialog's modal run. If the event is never handled (the window went
// away first) its destruction fulfils it with false, so a waiting worker is always released.
class StatusOpenEvent : public QEvent {
  public:
    StatusOpenEvent() : QEvent(WindowMessages::Type(WindowMessages::kStatusOpen)) {}
    ~StatusOpenEvent() override { Fulfil(false); }

    std::future<bool> Opened() { return m_opened.get_future(); }
    // Once only; later calls do nothing.
    void Fulfil(bool opened) {
        if (!m_fulfilled) {
            m_fulfilled = true;
            m_opened.set_value(opened);
        }
    }

  private:
    std::promise<bool> m_opened;
    bool m_fulfilled = false;
};

// Queues `event` for `receiver`, which takes ownership. Any thread.
inline void PostWindowMessage(QObject* receiver, QEvent* event) {
    QCoreApplication::postEvent(receiver, event);
}

// Delivers `event` to `receiver` on the receiver's thread and waits until it has been handled; returns whether
// the receiver accepted it; false, unhandled, when `stop` is requested before it is.
inline bool SendWindowMessage(QObject* receiver, QEvent& event, const StopSignal* stop = nullptr) {
    return InvokeBlocking(
        receiver, [receiver, &event] { return QCoreApplication::sendEvent(receiver, &event); }, stop);
}
