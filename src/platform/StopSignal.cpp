#include "StopSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

StopSignal::StopSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void StopSignal::Request() {
    {
        std::lock_guard lock(m_mutex);
        if (m_requested) {
            return;
        }
        m_requested = true;
    }
    m_changed.notify_all();
    if (m_fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_fd, &one, sizeof one);
    }
}

bool StopSignal::Requested() const {
    std::lock_guard lock(m_mutex);
    return m_requested;
}

bool StopSignal::WaitMs(uint32_t milliseconds) const {
    std::unique_lock lock(m_mutex);
    return !m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_requested; });
}
