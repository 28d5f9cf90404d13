#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A request to stop, made once from any thread and seen by the waits of the thread that is asked: its pauses
// return early, and a descriptor becomes readable for the waits that poll sockets.
class StopSignal {
  public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Request();
    bool Requested() const;
    // Waits up to `milliseconds`; false when the stop came first.
    bool WaitMs(uint32_t milliseconds) const;
    // Readable once Request has been called; -1 when no descriptor could be made (the waits then run their time).
    int Fd() const { return m_fd; }

  private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_requested = false;
    int m_fd = -1;
};
