#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Walks the options of one received BOOTP/DHCP datagram.
// Tolerates: pad bytes (0), a missing end option, the magic cookie at offset 44 or 108 as well as 236
// (options follow the first place it is found). Rejects (ends the walk): a packet whose op has neither of
// its two low bits set, no cookie, an option whose length byte or data would lie past the datagram.
// Never reads past the datagram.
class DhcpOptionWalk {
  public:
    struct Option {
        uint8_t code;
        std::span<const uint8_t> data;
    };

    explicit DhcpOptionWalk(std::span<const uint8_t> datagram) : m_datagram(datagram) {}

    void Reset() {
        m_started = false;
        m_position = 0;
        m_ended = false;
    }
    std::optional<Option> Next();

  private:
    std::span<const uint8_t> m_datagram;
    bool m_started = false;
    size_t m_position = 0;
    bool m_ended = false;
};
