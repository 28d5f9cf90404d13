#include "CommandQueue.h"

int CommandQueue::Put(uint32_t command) {
    {
        std::lock_guard lock(m_mutex);
        if (m_count == kCapacity) {
            return -2;
        }
        m_items[static_cast<size_t>(m_write)] = Item{command, {}};
        m_write = (m_write + 1) % kCapacity;
        ++m_count;
    }
    m_available.release();
    return 0;
}

std::optional<uint32_t> CommandQueue::Take(std::chrono::milliseconds timeout) {
    if (!m_available.try_acquire_for(timeout)) {
        return std::nullopt;
    }
    std::lock_guard lock(m_mutex);
    const uint32_t command = m_items[static_cast<size_t>(m_read)].command;
    m_read = (m_read + 1) % kCapacity;
    --m_count;
    return command;
}
