#pragma once

#include <cstdint>

#include "StopSignal.h"

// Time as the installation sees it: a 32-bit millisecond tick that wraps, and pauses. Behind an interface so
// that the worker's one-second pacing runs in microseconds under test.
class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start, truncated to 32 bits (wraps after about 49 days).
    virtual uint32_t TickCountMs() = 0;
    virtual void SleepMs(uint32_t milliseconds) = 0;
    // A pause that a stop request cuts short; false when it did.
    virtual bool PauseMs(uint32_t milliseconds, const StopSignal& stop) {
        if (stop.Requested()) {
            return false;
        }
        SleepMs(milliseconds);
        return !stop.Requested();
    }
};

// steady_clock and this_thread::sleep_for.
class SteadyClock : public Clock {
  public:
    uint32_t TickCountMs() override;
    void SleepMs(uint32_t milliseconds) override;
    bool PauseMs(uint32_t milliseconds, const StopSignal& stop) override { return stop.WaitMs(milliseconds); }
};
