#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The helper's log: every change goes out; refusals (lines that start with "refused") go out at most one a
// second, and those held back are summed up in one line when the second is over, so that a flood of bad
// requests cannot flood the log.
class HelperLog {
  public:
    using Sink = std::function<void(std::string_view line)>;
    // Milliseconds of a monotonic clock.
    using Clock = std::function<int64_t()>;

    HelperLog(Sink sink, Clock clock) : m_sink(std::move(sink)), m_clock(std::move(clock)) {}

    void Line(std::string_view line);
    // Writes the summary of held-back refusals once their second is over; the loop calls it when woken.
    void Flush();
    // Milliseconds until Flush has something to write; -1 when nothing is held back.
    int64_t FlushDueMs() const;

  private:
    Sink m_sink;
    Clock m_clock;
    int64_t m_windowStart = 0;
    bool m_window = false;
    uint64_t m_heldBack = 0;
};
