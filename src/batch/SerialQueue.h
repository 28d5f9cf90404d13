#pragma once

// Runs the calls posted to it one after another, in the order posted, on a thread of its own: whoever posts never
// waits for a slow call (a disk that stalls, an observer writing to a full pipe).

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class SerialQueue {
  public:
    SerialQueue();
    // Finish.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Ignored once Finish has been called.
    void Post(std::function<void()> call);
    // Nothing queued and no call under way.
    bool Idle() const;
    // Makes the calls queued and ends the thread; returns once they are made. Not from a call of this queue.
    void Finish();

  private:
    void Run();

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_calls;
    bool m_calling = false;
    bool m_finishing = false;
    std::thread m_thread;  // last: it starts once the rest exists
};
