#include "SerialQueue.h"

#include <utility>

SerialQueue::SerialQueue() : m_thread([this] { Run(); }) {}

SerialQueue::~SerialQueue() {
    Finish();
}

void SerialQueue::Post(std::function<void()> call) {
    std::lock_guard lock(m_mutex);
    if (m_finishing) {
        return;
    }
    m_calls.push_back(std::move(call));
    m_changed.notify_all();
}

bool SerialQueue::Idle() const {
    std::lock_guard lock(m_mutex);
    return m_calls.empty() && !m_calling;
}

void SerialQueue::Finish() {
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void SerialQueue::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return !m_calls.empty() || m_finishing; });
        if (m_calls.empty()) {
            return;
        }
        std::function<void()> call = std::move(m_calls.front());
        m_calls.pop_front();
        m_calling = true;
        lock.unlock();
        call();
        lock.lock();
        m_calling = false;
    }
}
