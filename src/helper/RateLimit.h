#pragma once

#include <algorithm>
#include <cstdint>

// A token bucket: up to burst at once, refilled at perSecond; times are milliseconds of a monotonic clock.
class RateLimit {
  public:
    RateLimit(double burst, double perSecond, int64_t now)
        : m_burst(burst), m_perSecond(perSecond), m_allowance(burst), m_refilled(now) {}

    // False, taking nothing, when the bucket is empty.
    bool Take(int64_t now) {
        m_allowance = std::min(m_burst, m_allowance + static_cast<double>(now - m_refilled) * m_perSecond / 1000.0);
        m_refilled = now;
        if (m_allowance < 1) {
            return false;
        }
        m_allowance -= 1;
        return true;
    }

  private:
    double m_burst;
    double m_perSecond;
    double m_allowance;
    int64_t m_refilled;
};
