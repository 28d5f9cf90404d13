#include "XrmRequeryTimer.h"

void XrmRequeryTimer::Arm(uint32_t random) {
    std::lock_guard lock(m_lock);
    m_periodMs = static_cast<int>(random % 1500) + 1500;
    if (!m_armed) {
        m_control.StartTimer(m_periodMs);
        m_armed = true;
    }
}

void XrmRequeryTimer::Tick(const std::function<void()>& postBroadcast) {
    int period;
    {
        std::lock_guard lock(m_lock);
        m_periodMs *= 2;
        ++m_tickCount;
        period = m_periodMs;
    }
    postBroadcast();
    m_control.StartTimer(period);
    std::lock_guard lock(m_lock);
    if (m_tickCount > kMaxTicks) {
        m_tickCount = 0;
        m_control.StopTimer();
        m_armed = false;
    }
}

void XrmRequeryTimer::DisarmLocked() {
    m_tickCount = 0;
    m_control.StopTimer();
    m_armed = false;
}

bool XrmRequeryTimer::Armed() const {
    std::lock_guard lock(m_lock);
    return m_armed;
}

int XrmRequeryTimer::PeriodMs() const {
    std::lock_guard lock(m_lock);
    return m_periodMs;
}

int XrmRequeryTimer::TickCount() const {
    std::lock_guard lock(m_lock);
    return m_tickCount;
}
