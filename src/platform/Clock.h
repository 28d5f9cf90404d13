#pragma once

#include <cstdint>

// Time as the installation sees it: a 32-bit millisecond tick that wraps, and pauses. Behind an interface so
// that the worker's one-second pacing runs in microseconds under test.
class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start, truncated to 32 bits (wraps after about 49 days).
    virtual uint32_t TickCountMs() = 0;
    virtual void SleepMs(uint32_t milliseconds) = 0;
};

// steady_clock and this_thread::sleep_for.
class SteadyClock : public Clock {
  public:
    uint32_t TickCountMs() override;
    void SleepMs(uint32_t milliseconds) override;
};
