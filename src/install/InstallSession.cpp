#include "InstallSession.h"

#include <utility>

InstallSession::InstallSession(Body body)
    : m_thread([this, body = std::move(body)] {
          m_outcome = body(m_stop);
          m_running = false;
      }) {}

InstallSession::~InstallSession() {
    RequestStop();
    Join();
}

InstallOutcome InstallSession::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return m_outcome;
}
