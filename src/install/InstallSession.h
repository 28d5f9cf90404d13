#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "InstallWorker.h"
#include "StopSignal.h"

// One installation on a thread of its own, held by whoever started it. The holder may ask it to stop and joins
// it; the destructor does both, so no installation outlives its holder.
class InstallSession {
  public:
    // Runs on the session's thread; ends early once `stop` is requested.
    using Body = std::function<InstallOutcome(const StopSignal& stop)>;

    explicit InstallSession(Body body);
    ~InstallSession();
    InstallSession(const InstallSession&) = delete;
    InstallSession& operator=(const InstallSession&) = delete;

    void RequestStop() { m_stop.Request(); }
    // False once the body has returned, its cleanup included.
    bool Running() const { return m_running; }
    // Waits for the body to return; its outcome.
    InstallOutcome Join();

  private:
    StopSignal m_stop;
    std::atomic<bool> m_running{true};
    InstallOutcome m_outcome = InstallOutcome::Stopped;
    std::thread m_thread;  // last: it starts once the rest exists
};
