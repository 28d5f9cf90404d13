#include "HelperLog.h"

namespace {

constexpr int64_t kWindowMs = 1000;

}  // namespace

void HelperLog::Line(std::string_view line) {
    if (!line.starts_with("refused")) {
        m_sink(line);
        return;
    }
    Flush();
    if (m_window) {
        ++m_heldBack;
        return;
    }
    m_window = true;
    m_windowStart = m_clock();
    m_sink(line);
}

void HelperLog::Flush() {
    if (!m_window || m_clock() - m_windowStart < kWindowMs) {
        return;
    }
    if (m_heldBack > 0) {
        m_sink("refused " + std::to_string(m_heldBack) + " more requests in the second after that");
    }
    m_window = false;
    m_heldBack = 0;
}

int64_t HelperLog::FlushDueMs() const {
    if (!m_window) {
        return -1;
    }
    return std::max<int64_t>(m_windowStart + kWindowMs - m_clock(), 0);
}
