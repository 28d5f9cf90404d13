#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

// Drives the timer that repeats the XRM broadcast (main-window timer 1000).
class RequeryTimerControl {
  public:
    virtual ~RequeryTimerControl() = default;
    virtual void StartTimer(int periodMs) = 0;  // (re)starts a repeating timer
    virtual void StopTimer() = 0;
};

// Repeats the XRM broadcast with a doubling period after a DHCP acknowledgement of an XRM camera: at most
// 11 broadcasts after one arming, at intervals P, 2P, 4P, ... (P in 1500..2999 ms). State is guarded by
// the window lock that the caller passes in (it also guards PendingXrmCount).
class XrmRequeryTimer {
  public:
    XrmRequeryTimer(RequeryTimerControl& control, std::mutex& windowLock) : m_control(control), m_lock(windowLock) {}

    static constexpr int kMaxTicks = 10;

    // Port-68 acknowledgement: stores the period (1500 + random % 1500) and arms the timer unless armed.
    void Arm(uint32_t random);
    // One timer tick: doubles the period, posts one broadcast, restarts; disarms after the 11th.
    void Tick(const std::function<void()>& postBroadcast);
    // XRM answer for a known row with nothing pending. The caller holds the window lock.
    void DisarmLocked();

    bool Armed() const;
    int PeriodMs() const;
    int TickCount() const;

  private:
    RequeryTimerControl& m_control;
    std::mutex& m_lock;
    bool m_armed = false;
    int m_periodMs = 0;
    int m_tickCount = 0;
};
