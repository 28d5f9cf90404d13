#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <semaphore>

// A ring of ten commands between any number of posters and one worker.
class CommandQueue {
  public:
    static constexpr int kCapacity = 10;
    enum Command : uint32_t { kBroadcast = 1, kStop = 2 };

    // 0, or -2 when the ring is full (the command is lost).
    int Put(uint32_t command);
    // Waits up to `timeout` for a command.
    std::optional<uint32_t> Take(std::chrono::milliseconds timeout);

  private:
    struct Item {
        uint32_t command;
        std::array<uint8_t, 12> unused;
    };
    std::array<Item, kCapacity> m_items{};
    int m_count = 0;
    int m_read = 0;
    int m_write = 0;
    std::mutex m_mutex;
    std::counting_semaphore<kCapacity> m_available{0};
};
